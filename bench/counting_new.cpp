// corvane-bench's operator new and delete: they count.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "process_figures.h"

// Every allocation of the process is counted, the module's included: the
// module's calls to operator new resolve to these.
namespace {
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::int64_t> liveBlocks{0};
}  // namespace
void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    ++liveBlocks;
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (p != nullptr) --liveBlocks;
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  if (p != nullptr) --liveBlocks;
  std::free(p);
}

std::int64_t bench::liveHeapBlocks() {
  return liveBlocks.load();
}

std::uint64_t bench::allocationsMade() {
  return allocations.load();
}
