// Thread ids of the portable thread service, and what its seams tell. Which
// file the build compiles decides: thread_ids_plain.cpp (ids counted up and
// never reused, nothing told), or a test build's, whose ids come from a small
// pool and are reused as threads end, as Windows does, and which tells the
// stand-in kit of every hold of a module lock and every thread handle.
#pragma once

#include "winthread.h"

namespace threadids {

// An id for a thread CreateThread makes; never 0.
DWORD take();
// The thread with this id has ended.
void give(DWORD id);
// The calling thread's id when CreateThread did not make it; never 0 and
// never that of a running thread CreateThread made.
DWORD foreign();
// A module lock taken (+1) or given back (-1) by the calling thread.
void lockNoted(int delta);
// A thread handle made (+1) or closed (-1).
void handleNoted(int delta);

}  // namespace threadids
