// What both platforms' module heap watchers share.
#pragma once

#include <atomic>

namespace host::moduleheap::detail {

extern std::atomic<bool> watching;
// One allocation of the module: counted; true when it is the one to fail.
bool allocationFails();

}  // namespace host::moduleheap::detail
