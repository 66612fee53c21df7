#include "control/listener_link.h"

#include <new>

ListenerLink* ListenerLink::make(CorvaneAdaptor* adaptor) noexcept {
  return new (std::nothrow) ListenerLink(adaptor);
}

void ListenerLink::release() noexcept {
  if (uses_.fetch_sub(1) == 1) delete this;
}

void ListenerLink::cut() noexcept {
  while (lock_.test_and_set(std::memory_order_acquire)) {
  }
  adaptor_ = nullptr;
  lock_.clear(std::memory_order_release);
}
