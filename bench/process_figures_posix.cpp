#include <dirent.h>
#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "process_figures.h"

namespace bench {

ProcessFigures readProcess() {
  malloc_trim(0);
  ProcessFigures f;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) f.residentKiB = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) f.threads = std::atol(line.c_str() + 8);
  }
  const struct mallinfo2 heap = mallinfo2();
  f.heapKiB = static_cast<std::int64_t>((heap.uordblks + heap.hblkhd) / 1024);
  f.heapBlocks = liveHeapBlocks();
  if (DIR* dir = opendir("/proc/self/fd")) {
    f.handles = -1;  // the one reading the folder
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++f.handles;
    closedir(dir);
  }
  return f;
}

const char* handlesName() {
  return "descriptors";
}

}  // namespace bench
