#include <atomic>

#include "module_heap.h"
#include "module_heap_common.h"

namespace host::moduleheap {
namespace detail {

std::atomic<bool> watching{false};

namespace {
std::atomic<std::uint64_t> count{0};
std::atomic<std::uint64_t> countdown{0};
std::atomic<std::uint64_t> failures{0};
}  // namespace

bool allocationFails() {
  ++count;
  std::uint64_t left = countdown.load();
  while (left != 0 && !countdown.compare_exchange_weak(left, left - 1)) {
  }
  if (left != 1) return false;
  ++failures;
  return true;
}

}  // namespace detail

void unwatch() {
  detail::watching = false;
}

std::uint64_t allocations() {
  return detail::count.load();
}

void failAllocation(std::uint64_t nth) {
  detail::countdown = nth;
}

std::uint64_t failed() {
  return detail::failures.load();
}

}  // namespace host::moduleheap
