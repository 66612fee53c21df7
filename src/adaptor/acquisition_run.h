// What an adaptor shares with its acquisition thread, and the adaptor's two
// host locks, which the thread may outlive the adaptor's hold on.
#pragma once

#include <atomic>

#include "adaptor/corvane_adaptor.h"

// The adaptor's acquire lock and capture-flag lock. The adaptor holds one use
// and each acquisition thread another, so that a thread let go keeps the
// locks its holders are on until it has destroyed them; the last use destroys
// the locks.
struct AdaptorLocks {
  ICriticalSection* acquire = nullptr;
  ICriticalSection* flag = nullptr;
  std::atomic<int> uses{1};

  void use() noexcept { ++uses; }
  // Destroys the locks, and this, with the last use.
  void release() noexcept;
};

// openDevice makes it before the thread starts; closeDevice frees it once the
// thread has ended, or, when the thread was let go from a host call on it,
// the first entry into the module that finds the thread ended does.
struct AcquisitionRun {
  AcquisitionRun(CorvaneAdaptor* owner, IAdaptorManager* hostManager)
      : adaptor(owner), manager(hostManager) {}

  CorvaneAdaptor* adaptor;
  IAdaptorManager* manager;
  AdaptorLocks* locks = nullptr;  // a use of its own while the thread runs
  CvEngineHandle engine = nullptr;
  // Held on the module while the thread runs (see FreeLibraryAndExitThread).
  HMODULE module = nullptr;
  // Format 7 frames are sized by the region the camera was started with: a
  // region set since then waits for the next open.
  bool format7 = false;
  int width = 0;
  int height = 0;

  // The thread's holder on the acquire lock; null when the host gave none.
  IAutoCriticalSection* frameHold = nullptr;
  // The module's own gate, which holds whatever the host's locks do: the
  // thread raises it before it reads the capture flag and lowers it when the
  // cycle is over; a stop lowers the flag, then waits for the gate to fall.
  std::atomic<bool> inCycle{false};
  // Set and read on the thread alone: a stop or start made by a host call on
  // the thread ends the cycle in progress, undelivered, and the run with it.
  bool endCycle = false;
  // Let go: set on the thread alone, by a close or a destruction made from a
  // host call on it. From then on the thread touches nothing of the adaptor;
  // it owns the engine, and its handle waits in the list of threads let go.
  bool detached = false;
  HANDLE handle = nullptr;
  AcquisitionRun* nextLetGo = nullptr;
};

DWORD WINAPI AcquisitionThread(LPVOID parameter);

// Threads let go keep running module code until they end, so the module must
// not be unloaded before: they are kept here (without allocating). Each entry
// into the module joins those that have ended (their stacks and handles go
// back at once, not at the end of the session); uninitializeAdaptor, the
// host's last call before it unloads the module, waits for the rest.
void keepLetGo(AcquisitionRun* run) noexcept;
void joinEndedThreads() noexcept;
void endLetGoThreads() noexcept;
