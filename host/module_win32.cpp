#include <cstring>

#include "module.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

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

std::pair<std::uintptr_t, std::uintptr_t> imageOf(void* library) {
  if (library == nullptr) return {0, 0};
  const auto base = reinterpret_cast<std::uintptr_t>(library);
  const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(library);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + static_cast<std::uintptr_t>(dos->e_lfanew));
  return {base, base + nt->OptionalHeader.SizeOfImage};
}

namespace {

// The address a thread was started at, as the system keeps it.
std::uintptr_t startAddress(DWORD threadId) {
  using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  constexpr int kStartAddress = 9;  // ThreadQuerySetWin32StartAddress
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
  if (thread == nullptr || query == nullptr) return 0;
  void* address = nullptr;
  if (query(thread, kStartAddress, &address, sizeof address, nullptr) != 0) address = nullptr;
  CloseHandle(thread);
  return reinterpret_cast<std::uintptr_t>(address);
}

}  // namespace

int threadCount(std::uintptr_t begin, std::uintptr_t end) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 thread{};
  thread.dwSize = sizeof thread;
  for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread)) {
    if (thread.th32OwnerProcessID != GetCurrentProcessId()) continue;
    if (begin == end) {
      ++count;
      continue;
    }
    const std::uintptr_t start = startAddress(thread.th32ThreadID);
    if (start >= begin && start < end) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace host::platform
