#define WIN32_LEAN_AND_MEAN
#define PSAPI_VERSION 2
#include <windows.h>
// After windows.h:
#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

#include "process_figures.h"

namespace bench {

ProcessFigures readProcess() {
  ProcessFigures f;
  // Every heap of the process: the C runtime's of every module among them.
  std::vector<HANDLE> heaps(64);
  DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  if (count > heaps.size()) {
    heaps.resize(count);
    count = GetProcessHeaps(count, heaps.data());
  }
  std::int64_t bytes = 0, blocks = 0;
  for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) == 0) continue;
      bytes += entry.cbData;
      ++blocks;
    }
    HeapUnlock(heaps[i]);
  }
  f.heapKiB = bytes / 1024;
  f.heapBlocks = blocks;
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
    f.residentKiB = static_cast<std::int64_t>(memory.WorkingSetSize / 1024);
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) f.handles = handles;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    f.threads = 0;
    for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread))
      if (thread.th32OwnerProcessID == GetCurrentProcessId()) ++f.threads;
    CloseHandle(snapshot);
  }
  return f;
}

const char* handlesName() {
  return "handles";
}

}  // namespace bench
