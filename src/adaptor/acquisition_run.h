// What an adaptor's acquisition thread shares with it. openDevice makes it
// before the thread starts; closeDevice frees it once the thread has ended, or,
// when the thread was let go from a host callback on it, uninitializeAdaptor.
#pragma once

#include "adaptor/corvane_adaptor.h"

struct AcquisitionRun {
  AcquisitionRun(CorvaneAdaptor* owner, IAdaptorManager* hostManager)
      : adaptor(owner), manager(hostManager) {}

  CorvaneAdaptor* adaptor;
  IAdaptorManager* manager;
  // Format 7 frames are sized by the region the camera was started with: a
  // region set since then waits for the next open.
  bool format7 = false;
  int width = 0;
  int height = 0;
  // The thread's holder on acquireLock.
  IAutoCriticalSection* frameHold = nullptr;
  // Let go from a host callback on the thread. Only the thread itself sets it,
  // so the thread reads it without a lock after each host call: from then on it
  // touches nothing of the adaptor, and owns the engine and its own handle.
  bool detached = false;
  CvEngineHandle engine = nullptr;
  HANDLE handle = nullptr;
  AcquisitionRun* nextLetGo = nullptr;
};

void captureRun(AcquisitionRun& run);

// Threads let go keep running module code until they end, so the module must
// not be unloaded before: they are kept here (without allocating) and waited
// for by uninitializeAdaptor, the host's last call before it unloads the module.
void keepLetGo(AcquisitionRun* run) noexcept;
void endLetGoThreads() noexcept;
