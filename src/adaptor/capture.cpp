// startCapture, stopCapture and the acquisition thread.
#include "adaptor/acquisition_run.h"
#include "adaptor/boundary.h"

namespace {

constexpr int kHardwareTrigger = 2;
constexpr DWORD kFrameWaitMs = 2000;
constexpr char kThreadWarning[] = "CorvaneImaq:acquireThread";

// What a capture run has said already: each of these once a run.
struct RunNotes {
  bool noBuffer = false;
  bool noEngine = false;
  bool failed = false;
};

void warnOnce(bool& said, const char* message) {
  if (said) return;
  said = true;
  adaptorWarn(kThreadWarning, "%s", message);
}

}  // namespace

bool CorvaneAdaptor::startCapture() {
  bool started = false;
  Failure why;
  if (shielded([&] { started = start(); }, why)) return started;
  // No run may go on that the host was told did not start.
  setCaptureFlag(false);
  reportError(this, "startCapture", why);
  return false;
}

bool CorvaneAdaptor::start() {
  if (!manager->deviceIsOpen()) return false;
  if (manager->deviceIsAcquiring()) return true;
  IEngine* engine = manager->engine();
  if (engine == nullptr) {
    adaptorError(this, "startCapture", "The host gave no engine to take the frames.");
    return false;
  }
  ITriggerSetting* trigger = engine->currentTrigger();
  if (trigger != nullptr && trigger->triggerType() == kHardwareTrigger) {
    const std::uint32_t condition = trigger->triggerCondition();
    const std::uint32_t source = trigger->triggerSource();
    SetTriggerRegister(true, source, condition);
  } else {
    SetTriggerRegister(false, 0, 0);
  }
  setCaptureFlag(true);
  PostThreadMessageA(threadId, WM_USER, 0, 0);
  // The running state is not examined: a camera whose state cannot be read is
  // started all the same.
  std::uint8_t running = 0;
  CvIsCameraRunning(device->cameraHandle, &running);
  if (running != 0) CvStopCamera(device->cameraHandle);
  // Capture has started as far as the host goes; a camera that does not start
  // (no bandwidth left on its bus, say) sends no frames, and says why here once.
  if (CvStatus status = CvStartCamera(device->cameraHandle, &startup))
    adaptorWarn("CorvaneImaq:startCapture", "Failed to start the camera: %s",
                StatusText(status).c_str());
  return true;
}

bool CorvaneAdaptor::stopCapture() {
  Failure why;
  if (!shielded([&] { stop(); }, why)) {
    // Whatever failed, the camera does not stream on.
    setCaptureFlag(false);
    CvStopCamera(device->cameraHandle);
    reportWarning("CorvaneImaq:stopCapture", "Stopping failed", why);
  }
  return true;
}

void CorvaneAdaptor::stop() {
  if (!manager->deviceIsAcquiring()) return;
  setCaptureFlag(false);
  // Waits for the frame in progress: the camera never stops mid-frame. From a
  // host callback on the acquisition thread the frame in progress is this one,
  // and the thread holds the lock already.
  IAutoCriticalSection* hold =
      onAcquisitionThread() ? nullptr : createAutoCriticalSection(acquireLock, true);
  std::uint8_t running = 0;
  CvStatus stopped = 0;
  // A camera whose state cannot be read is stopped all the same: one left
  // streaming keeps its bus bandwidth from every other camera on that bus.
  if (CvIsCameraRunning(device->cameraHandle, &running) != 0 || running != 0)
    stopped = CvStopCamera(device->cameraHandle);
  if (hold != nullptr) hold->leave();
  imaqkit::destroy(hold);
  if (stopped != 0)
    adaptorWarn("CorvaneImaq:stopCapture", "Failed to stop the camera: %s",
                StatusText(stopped).c_str());
}

namespace {

// One frame wait and, when a frame came, its delivery. Returns early when a host
// callback let the thread go: nothing of the adaptor may be touched then.
void cycle(AcquisitionRun& run, RunNotes& notes) {
  CorvaneAdaptor& adaptor = *run.adaptor;
  IAdaptorManager* manager = run.manager;
  void* data = nullptr;
  const CvStatus status = CvGetNextCompleteFrame(&data, adaptor.receiveEngine, kFrameWaitMs);
  if (status != 0 || data == nullptr) {
    // A success without an image is no frame either.
    adaptorWarn(kThreadWarning, "Failed to receive frame from camera: %s",
                status == 0 ? "no image" : StatusText(status).c_str());
    return;
  }
  if (manager->frameWanted()) {
    if (run.detached) return;
    int offsetX = 0, offsetY = 0, width = run.width, height = run.height;
    if (!run.format7) adaptor.getROI(offsetX, offsetY, width, height);
    const std::uint32_t type = adaptor.getFrameType();
    IEngine* engine = manager->engine();
    IFrameBuffer* frame = engine != nullptr ? engine->newFrame(type, width, height) : nullptr;
    if (engine == nullptr) {
      warnOnce(notes.noEngine, "The host gave no engine; frames are counted, not delivered.");
    } else if (frame == nullptr) {
      warnOnce(notes.noBuffer, "The host gave no frame buffer; frames are counted, not delivered.");
    } else {
      if (run.format7) {
        // The camera sends only the region.
        frame->setImage(data, width, height, 0, 0);
      } else {
        const int maxHeight = adaptor.getMaxHeight();
        const int maxWidth = adaptor.getMaxWidth();
        frame->setImage(data, maxWidth, maxHeight, offsetX, offsetY);
      }
      frame->setTime(getCurrentTime());
      engine->deliverFrame(frame);
      if (run.detached) return;
    }
  }
  manager->countFrame();
}

}  // namespace

void captureRun(AcquisitionRun& run) {
  CorvaneAdaptor& adaptor = *run.adaptor;
  IAdaptorManager* manager = run.manager;
  RunNotes notes;
  do {
    // The flag is read once the lock is held: a stop clears it before it takes
    // the lock, so a frame the engine still holds never follows a stop.
    run.frameHold->enter();
    if (!adaptor.readCaptureFlag()) {
      run.frameHold->leave();
      return;
    }
    Failure why;
    const bool done = shielded([&] { cycle(run, notes); }, why);
    if (run.detached) return;
    run.frameHold->leave();
    if (!done && !notes.failed) {
      notes.failed = true;
      reportWarning(kThreadWarning, "A frame was lost", why);
    }
  } while (manager->acquisitionActive() && !run.detached);
}

DWORD WINAPI AcquisitionThread(LPVOID parameter) {
  auto* run = static_cast<AcquisitionRun*>(parameter);
  Failure why;
  const bool ended = shielded(
      [&] {
        CorvaneAdaptor& adaptor = *run->adaptor;
        IAdaptorManager* manager = run->manager;
        // Without its lock holder the thread cannot run safely: it ends before
        // taking messages, and openDevice reports that the thread could not be made.
        run->frameHold = createAutoCriticalSection(adaptor.acquireLock, false);
        if (run->frameHold == nullptr) return;
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
          if (msg.message != WM_USER || !manager->acquisitionActive()) continue;
          if (run->detached) return;
          captureRun(*run);
          if (run->detached) return;
        }
      },
      why);
  if (!ended && !run->detached) reportWarning(kThreadWarning, "The thread ended early", why);
  if (!run->detached) {
    // The adaptor frees the run once the thread has ended.
    imaqkit::destroy(run->frameHold);
    run->frameHold = nullptr;
    return 0;
  }
  // Let go: the callback that closed the device has returned, so nothing uses
  // the engine any more. The run stays for endLetGoThreads.
  CvStopIsochReceiveEngine(run->engine);
  CvDeleteIsochReceiveEngine(run->engine);
  return 0;
}

namespace {
std::atomic<AcquisitionRun*> letGo{nullptr};
}  // namespace

void keepLetGo(AcquisitionRun* run) noexcept {
  run->nextLetGo = letGo.load();
  while (!letGo.compare_exchange_weak(run->nextLetGo, run)) {
  }
}

void endLetGoThreads() noexcept {
  for (AcquisitionRun* run = letGo.exchange(nullptr); run != nullptr;) {
    AcquisitionRun* next = run->nextLetGo;
    WaitForSingleObject(run->handle, INFINITE);
    CloseHandle(run->handle);
    delete run;
    run = next;
  }
}
