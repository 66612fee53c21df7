// The module's C++ runtime takes its storage from msvcrt's malloc through the
// module's import table: the entry for malloc is pointed here while watching.
#include <cstdlib>
#include <cstring>

#include "module_heap.h"
#include "module_heap_common.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace host::moduleheap {
namespace {

using Malloc = void*(__cdecl*)(std::size_t);

void* __cdecl watchedMalloc(std::size_t size) {
  if (detail::watching.load(std::memory_order_relaxed) && detail::allocationFails()) return nullptr;
  return std::malloc(size);
}

// The import table slot through which a module calls dll!function, or null.
void** importSlot(HMODULE module, const char* dll, const char* function) {
  auto* base = reinterpret_cast<std::uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       d->Name != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
        base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
        return reinterpret_cast<void**>(&slots->u1.Function);
    }
  }
  return nullptr;
}

}  // namespace

bool watch(const Module& module, std::string& error) {
  HMODULE handle = GetModuleHandleA(module.path().c_str());
  void** slot = handle != nullptr ? importSlot(handle, "msvcrt.dll", "malloc") : nullptr;
  if (slot == nullptr) {
    error = "the module imports no malloc from msvcrt.dll";
    return false;
  }
  DWORD was = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was)) {
    error = "the module's import table cannot be written";
    return false;
  }
  Malloc hook = watchedMalloc;
  std::memcpy(slot, &hook, sizeof hook);
  VirtualProtect(slot, sizeof *slot, was, &was);
  detail::watching = true;
  return true;
}

}  // namespace host::moduleheap
