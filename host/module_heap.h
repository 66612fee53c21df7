// The module's own heap, watched: its allocations counted, and any one of them
// failed on command, as a process that runs out of memory fails it. Tests use
// it to prove that nothing the module throws for want of memory reaches the host.
//
// On Linux the module's calls to operator new resolve to the program's, which
// module_heap_posix.cpp replaces (link it into test programs only; it tells
// the module's calls from the others' by where they come from). On Windows the
// module carries its own C++ runtime, whose operator new takes its storage from
// msvcrt's malloc; module_heap_win32.cpp redirects the module's import of
// malloc.
#pragma once

#include <cstdint>
#include <string>

#include "module.h"

namespace host::moduleheap {

// Starts watching the loaded module: from now on its allocations are counted
// (the count goes on from where it was).
// False with error when the module cannot be watched.
bool watch(const Module& module, std::string& error);
// Stops watching (before the module is unloaded); the count stays.
void unwatch();
// The module's allocations since watch.
std::uint64_t allocations();
// Makes the nth of the module's allocations from now fail (1 = the next); 0 cancels.
void failAllocation(std::uint64_t nth);
// Allocations failed so far.
std::uint64_t failed();

}  // namespace host::moduleheap
