// The program's operator new: it tells the module's allocations from the rest
// by the address they are called from, which lies in the module's code.
#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "module_heap.h"
#include "module_heap_common.h"

namespace host::moduleheap {
namespace {

struct CodeRange {
  std::uintptr_t begin = 0, end = 0;
};
// The module's executable segments; read only while watching.
CodeRange ranges[4];
std::atomic<int> rangeCount{0};

bool fromModule(const void* caller) {
  const auto address = reinterpret_cast<std::uintptr_t>(caller);
  const int n = rangeCount.load(std::memory_order_acquire);
  for (int i = 0; i < n; ++i)
    if (address >= ranges[i].begin && address < ranges[i].end) return true;
  return false;
}

void* allocate(std::size_t size, const void* caller) {
  if (detail::watching.load(std::memory_order_relaxed) && fromModule(caller) &&
      detail::allocationFails())
    return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

bool watch(const Module& module, std::string& error) {
  Dl_info info{};
  const void* entry = reinterpret_cast<const void*>(module.entry().initializeAdaptor);
  if (entry == nullptr || dladdr(entry, &info) == 0 || info.dli_fname == nullptr) {
    error = "cannot find the module's code";
    return false;
  }
  struct Search {
    const char* name;
    int found;
  } search{info.dli_fname, 0};
  detail::watching = false;
  rangeCount = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* object, std::size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (object->dlpi_name == nullptr || std::strcmp(object->dlpi_name, s->name) != 0) return 0;
        for (int i = 0; i < object->dlpi_phnum && s->found < 4; ++i) {
          const ElfW(Phdr)& segment = object->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
          ranges[s->found].begin = object->dlpi_addr + segment.p_vaddr;
          ranges[s->found].end = ranges[s->found].begin + segment.p_memsz;
          ++s->found;
        }
        return 1;
      },
      &search);
  if (search.found == 0) {
    error = std::string("no code of ") + info.dli_fname + " among the loaded objects";
    return false;
  }
  rangeCount.store(search.found, std::memory_order_release);
  detail::watching = true;
  return true;
}

}  // namespace host::moduleheap

// Storage comes from malloc and goes back to free, for every form the module
// or anything else in the program may use.
void* operator new(std::size_t size) {
  if (void* p = host::moduleheap::allocate(size, __builtin_return_address(0))) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return host::moduleheap::allocate(size, __builtin_return_address(0));
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
