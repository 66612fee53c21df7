#include <cstring>

#include "module.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace host::platform {

const char kModuleFileName[] = "CorvaneImaq.dll";
const char kBusLibraryFileName[] = "BL1394.dll";

void* openLibrary(const std::string& path, std::string& error) {
  // The module's own folder is searched for the bus libraries it imports.
  HMODULE library = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (library == nullptr) error = "Windows error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* findSymbol(void* library, const char* name) {
  FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library), name);
  void* address = nullptr;
  static_assert(sizeof symbol == sizeof address);
  std::memcpy(&address, &symbol, sizeof address);
  return address;
}

void closeLibrary(void* library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

bool isLoaded(const std::string& path) {
  return GetModuleHandleA(path.c_str()) != nullptr;
}

void* findLoadedSymbol(const char* library, const char* name) {
  HMODULE loaded = GetModuleHandleA(library);
  return loaded != nullptr ? findSymbol(loaded, name) : nullptr;
}

std::string programDirectory() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return ".\\";
  std::string text(path, n);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

}  // namespace host::platform
