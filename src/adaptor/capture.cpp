// startCapture and stopCapture.
#include <mutex>

#include "adaptor/acquisition_run.h"
#include "adaptor/boundary.h"

namespace {

constexpr int kHardwareTrigger = 2;
// More frames than a receive engine keeps: an engine that hands out success
// without an image for ever must not hold a start here.
constexpr int kMaxFramesEmptied = 64;

}  // namespace

bool CorvaneAdaptor::startCapture() {
  Operation operation(*this);
  bool started = false;
  Failure why;
  if (shielded([&] { started = start(); }, why)) return started;
  // No run may go on that the host was told did not start.
  setCaptureFlag(false);
  reportError(this, "startCapture", why);
  return false;
}

bool CorvaneAdaptor::start() {
  // Every host call below may close the device, on this thread or another,
  // or destroy the adaptor: the start looks again after each.
  const unsigned closes = closesSoFar();
  const unsigned words = captureWordsSoFar();
  if (!manager->deviceIsOpen() || doomed()) return false;
  if (manager->deviceIsAcquiring()) return true;
  if (doomed()) return false;
  IEngine* engine = manager->engine();
  if (doomed()) return false;
  if (engine == nullptr) {
    adaptorError(this, "startCapture", "The host gave no engine to take the frames.");
    return false;
  }
  ITriggerSetting* trigger = engine->currentTrigger();
  int type = 0;
  if (trigger != nullptr && !doomed()) type = trigger->triggerType();
  if (doomed()) return false;
  if (type == kHardwareTrigger) {
    const std::uint32_t condition = trigger->triggerCondition();
    const std::uint32_t source = doomed() ? 0 : trigger->triggerSource();
    if (doomed()) return false;
    SetTriggerRegister(true, source, condition);
  } else {
    SetTriggerRegister(false, 0, 0);
  }
  if (doomed() || closedSince(closes)) return false;
  bool ended = false;
  {
    std::lock_guard<RecursiveLock> hold(stateLock_);
    if (threadHandle == nullptr) return false;
    ended = WaitForSingleObject(threadHandle, 0) == WAIT_OBJECT_0;
  }
  if (ended) {
    adaptorError(this, "startCapture",
                 "The image acquisition thread has ended; close the device and open it again.");
    return false;
  }
  // Between runs, under the acquire lock: a camera left running is stopped
  // first, then the engine gives up what it finished before this start.
  IAutoCriticalSection* hold = nullptr;
  if (onAcquisitionThread()) {
    // From a host call on the thread, inside its cycle: that cycle ends undelivered.
    endCycleHere();
  } else {
    hold = holdBetweenCycles();
  }
  {
    std::lock_guard<RecursiveLock> state(stateLock_);
    if (!closedSince(closes)) {
      stopCamera();
      emptyEngine();
    }
  }
  release(hold);
  if (doomed() || closedSince(closes)) return false;
  // The flag goes up, then the thread is told and the camera starts, each a
  // decision against a close on any thread: a close that began first is seen
  // here, one that begins later sees the flag up and stops the camera.
  IAutoCriticalSection* flagHold = holdFlag();
  bool raised = false;
  bool overtaken = false;
  bool running = false;
  {
    std::lock_guard<RecursiveLock> state(stateLock_);
    // A start or a stop made inside this start's host calls is the later
    // word: this one neither starts again nor undoes a stop.
    overtaken = captureWords_ != words;
    running = captureFlag;
    if (!overtaken && !doomed() && !closedSince(closes) && threadHandle != nullptr) {
      raised = captureFlag = true;
      ++captureWords_;
    }
  }
  imaqkit::destroy(flagHold);
  if (overtaken) return running && !doomed() && !closedSince(closes);
  bool started = false;
  CvStatus status = 0;
  if (raised) {
    std::lock_guard<RecursiveLock> state(stateLock_);
    // The holder's destruction is a host call too: a start or a stop made
    // inside it is the later word.
    overtaken = captureWords_ != words + 1;
    running = captureFlag;
    if (!overtaken && !doomed() && !closedSince(closes) && threadHandle != nullptr) {
      PostThreadMessageA(threadId, WM_USER, 0, 0);
      status = CvStartCamera(device->cameraHandle, &startup);
      started = true;
    }
  }
  if (overtaken) return running && !doomed() && !closedSince(closes);
  if (!started || doomed() || closedSince(closes)) return false;
  // Capture has started as far as the host goes; a camera that does not start
  // (no bandwidth left on its bus, say) sends no frames, and says why here once.
  if (status != 0)
    adaptorWarn("CorvaneImaq:startCapture", "Failed to start the camera: %s",
                StatusText(status).c_str());
  return true;
}

IAutoCriticalSection* CorvaneAdaptor::holdFlag() noexcept {
  try {
    return createAutoCriticalSection(captureFlagLock, true);
  } catch (...) {
    return nullptr;
  }
}

IAutoCriticalSection* CorvaneAdaptor::holdBetweenCycles() {
  IAutoCriticalSection* hold = createAutoCriticalSection(acquireLock, true);
  // The host's lock keeps the thread out of its cycle; without one, or
  // should the thread have none, the module's own gate does.
  waitForCycleEnd();
  return hold;
}

void CorvaneAdaptor::release(IAutoCriticalSection* hold) noexcept {
  if (hold == nullptr) return;
  // Destroying a holder gives its lock back, should the host's leave fail.
  try {
    hold->leave();
  } catch (...) {
  }
  imaqkit::destroy(hold);
}

// REQUIRES: stateLock_ (a close on another thread deletes the engine).
void CorvaneAdaptor::emptyEngine() noexcept {
  if (receiveEngine == nullptr) return;
  void* data = nullptr;
  for (int i = 0; i < kMaxFramesEmptied; ++i)
    if (CvGetNextCompleteFrame(&data, receiveEngine, 0) != 0) return;
}

// A camera whose state cannot be read is stopped all the same: one left
// streaming keeps its bus bandwidth from every other camera on that bus.
CvStatus CorvaneAdaptor::stopCamera() noexcept {
  std::uint8_t running = 0;
  if (CvIsCameraRunning(device->cameraHandle, &running) != 0 || running != 0)
    return CvStopCamera(device->cameraHandle);
  return 0;
}

bool CorvaneAdaptor::stopCapture() {
  Operation operation(*this);
  Failure why;
  if (!shielded([&] { stop(); }, why)) {
    // Whatever failed, the camera does not stream on, and the cycle in
    // progress ends before it stops.
    captureFlag = false;
    if (onAcquisitionThread()) {
      endCycleHere();
    } else {
      waitForCycleEnd();
    }
    if (stopCamera() != 0) cameraMayRun_ = true;
    reportWarning("CorvaneImaq:stopCapture", "Stopping failed", why);
  }
  return true;
}

void CorvaneAdaptor::stop() {
  if (!manager->deviceIsAcquiring()) return;
  {
    std::lock_guard<RecursiveLock> state(stateLock_);
    ++captureWords_;
  }
  setCaptureFlag(false);
  CvStatus stopped = 0;
  if (onAcquisitionThread()) {
    // From a host call on the thread: the cycle in progress is the caller's,
    // and it ends undelivered once the call returns.
    endCycleHere();
    stopped = stopCamera();
  } else {
    // Waits for the frame in progress: the camera never stops mid-frame.
    IAutoCriticalSection* hold = holdBetweenCycles();
    // A host call in the holder may have started again: this stop is the later word.
    if (captureFlag) captureFlag = false;
    stopped = stopCamera();
    release(hold);
  }
  if (stopped != 0) {
    cameraMayRun_ = true;
    adaptorWarn("CorvaneImaq:stopCapture", "Failed to stop the camera: %s",
                StatusText(stopped).c_str());
  }
  // A host call since the camera stopped (the holder's release, the warning)
  // may have started again: this stop is the later word.
  if (captureFlag.exchange(false)) {
    if (onAcquisitionThread()) {
      endCycleHere();
    } else {
      waitForCycleEnd();
    }
    stopCamera();
  }
}
