// What the process holds, read the platform's way, for the runs that must
// prove that nothing grows: the soak and the reset.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace bench {

// A figure the platform does not report is -1.
struct ProcessFigures {
  std::int64_t residentKiB = -1;  // resident set (Linux), working set (Windows)
  std::int64_t heapKiB = -1;      // heap in use: malloc's, or the busy blocks of every process heap
  std::int64_t heapBlocks = -1;   // blocks in use: operator new's (counted by corvane-bench), or
                                  // the busy blocks of every process heap (Windows)
  std::int64_t handles = -1;      // open descriptors (Linux) or handles (Windows)
  std::int64_t threads = -1;
};

// Gives memory the allocator keeps but nothing uses back first (Linux), so
// that the resident size shows what is alive.
ProcessFigures readProcess();

// What the platform calls its handles: "descriptors" or "handles".
const char* handlesName();

inline nlohmann::json toJson(const ProcessFigures& f) {
  return {{"resident_kib", f.residentKiB},
          {"heap_kib", f.heapKiB},
          {"heap_blocks", f.heapBlocks},
          {handlesName(), f.handles},
          {"threads", f.threads}};
}

// Blocks of operator new alive in the whole process (corvane-bench counts
// them; on Linux the module's and the bus's allocations are among them).
std::int64_t liveHeapBlocks();
// Calls of operator new so far, in the whole process (corvane-bench's own on
// Windows, where every library has a C++ runtime of its own).
std::uint64_t allocationsMade();

}  // namespace bench
