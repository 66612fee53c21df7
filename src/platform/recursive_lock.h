// A lock that the thread holding it may take again, for std::lock_guard.
// On Windows it is a critical section: there the C++ runtime's
// std::recursive_mutex makes its winpthreads lock on first use and never
// gives it back (with a static initialiser it has no destructor), which cost
// 24 bytes of the host's heap for every adaptor ever made.
#pragma once

#if defined(_WIN32)
#include "winthread.h"

class RecursiveLock {
 public:
  RecursiveLock() { InitializeCriticalSection(&section_); }
  ~RecursiveLock() { DeleteCriticalSection(&section_); }
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};
#else
#include <mutex>

// Elsewhere the thread service's file makes it (a test build swaps in a lock
// of its scheduler's).
class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock();
  void unlock();

 private:
  alignas(std::recursive_mutex) unsigned char storage_[sizeof(std::recursive_mutex)];
};
#endif
