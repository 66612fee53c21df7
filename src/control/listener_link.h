// What a property's listeners share with their adaptor.
#pragma once

#include <atomic>

class CorvaneAdaptor;

// How listeners reach their adaptor. The host keeps the listeners and may call
// them on any of its threads, while another destroys the adaptor or after it
// did: the adaptor lets go of the link first thing in its destruction, and a
// call that finds it let go answers without the camera. Shared by the adaptor
// and its listeners; the last of them frees it.
class ListenerLink {
 public:
  // Made by the adaptor, holding its use.
  static ListenerLink* make(CorvaneAdaptor* adaptor) noexcept;
  void use() noexcept { uses_.fetch_add(1); }
  void release() noexcept;
  // The adaptor's destruction: no call enters from now on.
  void cut() noexcept;

 private:
  friend class ListenerCall;
  explicit ListenerLink(CorvaneAdaptor* adaptor) : adaptor_(adaptor) {}
  std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  CorvaneAdaptor* adaptor_;
  std::atomic<int> uses_{1};
};
