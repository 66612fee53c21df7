// openDevice and closeDevice: channel, start-up record, Format 7 preparation,
// receive engine and acquisition thread.
#include <memory>
#include <mutex>
#include <utility>

#include "adaptor/acquisition_run.h"
#include "adaptor/boundary.h"

namespace {

constexpr std::uint32_t kFormat7 = 7;
constexpr std::uint8_t kNoChannel = 255;
constexpr UINT kWakeUp = WM_USER + 1;
constexpr DWORD kThreadEndWaitMs = 10000;
// Dual packet mode pays off from this share of a bus cycle on (0x42a6ae14).
constexpr float kDualPacketShare = 83.34f;

}  // namespace

bool CorvaneAdaptor::openDevice() {
  Operation operation(*this);
  bool opened = false;
  Failure why;
  // What an open that threw had made went with it (nothing throws once
  // the thread runs).
  if (shielded([&] { opened = open(); }, why)) return opened;
  reportError(this, "openDevice", why);
  return false;
}

bool CorvaneAdaptor::open() {
  if (manager->deviceIsOpen()) return true;
  if (doomed()) return false;
  // One open at a time: an open made inside this one's host calls (or on
  // another host thread meanwhile) would make a second thread and engine
  // and replace the start-up record under this one's feet.
  const DWORD me = GetCurrentThreadId();
  const char* busy = nullptr;
  {
    std::lock_guard<RecursiveLock> hold(stateLock_);
    if (closer_ != 0 && closer_ == me) {
      busy = "The device is being closed.";
    } else if (opener_ != 0) {
      busy = "The device is already being opened.";
    } else {
      opener_ = me;
    }
  }
  if (busy != nullptr) {
    adaptorError(this, "openDevice", "%s", busy);
    return false;
  }
  struct Opening {
    CorvaneAdaptor& adaptor;
    ~Opening() {
      std::lock_guard<RecursiveLock> hold(adaptor.stateLock_);
      adaptor.opener_ = 0;
    }
  } opening{*this};
  // The host says closed, yet this adaptor's thread and engine may still run
  // (the host never called closeDevice): end them as closeDevice would, so
  // that no thread is lost and no two threads pull from one engine.
  shutdownDevice();
  // A close from here on (inside a host call below) undoes this open.
  const unsigned closes = closesSoFar();
  delete startup.image;
  startup = CameraStartupRecord{};
  startup.tag = CV_CAMERA_STARTUP_TAG;
  // What may run out of memory comes first: nothing of the library's is held yet.
  auto shared = std::make_unique<AcquisitionRun>(this, manager);
  shared->locks = locks_;
  std::unique_ptr<Format7ImageRecord> image;
  if (format->formatNumber == kFormat7) image = std::make_unique<Format7ImageRecord>();

  std::uint8_t channel = 0;
  if (CvGetAvailableIsoChannel(device->cameraHandle, &channel) != 0) channel = kNoChannel;
  startup.channel = channel;
  if (channel == kNoChannel) {
    adaptorError(this, "openDevice", "Failed to find available isochronous receive channel.");
    return false;
  }
  startup.formatNumber = format->formatNumber;
  startup.mode = format->mode;
  startup.frameRate = format->frameRate;
  startup.flag = 1;
  startup.speed = device->speed;

  bool dualPacket = false;
  std::uint32_t dualPacketCaps = 0;
  if (image) {
    startup.image = image.release();
    Format7ImageRecord& meant = *startup.image;
    meant.tag = CV_FORMAT7_IMAGE_TAG;
    meant.colorCoding = format->colorCoding;
    int offsetX = 0, offsetY = 0, width = 0, height = 0;
    getROI(offsetX, offsetY, width, height);
    meant.width = static_cast<std::uint16_t>(width);
    meant.height = static_cast<std::uint16_t>(height);
    meant.left = static_cast<std::uint16_t>(offsetX);
    meant.top = static_cast<std::uint16_t>(offsetY);
    CvSetCameraStartupInfo(device->cameraHandle, &startup);  // status not examined

    Format7InfoRecord info{};
    info.tag = CV_FORMAT7_INFO_TAG;
    info.mode = format->mode;
    info.speed = startup.speed;
    info.image = &meant;
    // The library may fill the image record too, with what the camera holds
    // now; a camera that refused or ignored the start-up holds another region
    // or coding. Only the packet size is taken: the camera starts with the
    // coding and the region meant, the ones the host is told.
    const Format7ImageRecord kept = meant;
    const CvStatus status =
        CvQueryCameraRegister(device->cameraHandle, kCvRegFormat7Info, &info, sizeof info);
    meant = kept;
    std::uint16_t packetSize = 0;
    if (status == 0) {
      packetSize = info.packetSize;
    } else {
      adaptorWarn("CorvaneImaq:GetPacketSize", "Failed to read F7Registers: %s",
                  StatusText(status).c_str());
      if (doomed()) return false;
    }
    meant.packetSize = packetSize;

    std::uint32_t presence = 0;
    if (CvGetSpecialFeaturePresence(device->cameraHandle, kCvDualPacketMode, &presence) == 0 &&
        presence != 0 &&
        blCalcIsoBandwidthPercentage(startup.speed, meant.packetSize) >= kDualPacketShare) {
      const CvStatus caps =
          CvGetSpecialFeatureCaps(device->cameraHandle, kCvDualPacketMode, &dualPacketCaps);
      if (caps == 0) {
        dualPacket = true;
      } else {
        adaptorWarn("CorvaneImaq:openDevice", "Could not read dual packet mode caps: %s",
                    StatusText(caps).c_str());
        if (doomed()) return false;
      }
    }
    shared->format7 = true;
    shared->width = meant.width;
    shared->height = meant.height;
  }

  CvEngineHandle engine = nullptr;
  if (CvStatus status = CvCreateIsochReceiveEngine(&engine)) {
    adaptorError(this, "openDevice", "Failed to create Isochronous Receive Engine: %s",
                 StatusText(status).c_str());
    return false;
  }
  // From here the engine is this open's until the thread has it, whatever
  // the host does inside the warnings below.
  struct EngineGuard {
    CvEngineHandle engine;
    ~EngineGuard() {
      if (engine == nullptr) return;
      CvStopIsochReceiveEngine(engine);
      CvDeleteIsochReceiveEngine(engine);
    }
  } guard{engine};
  // The option goes to the engine that will receive, before it starts.
  if (dualPacket) {
    if (CvStatus status = CvSetIsochEngineOption(engine, kCvDualPacketMode, &dualPacketCaps)) {
      adaptorWarn("CorvaneImaq:openDevice", "Could not enable dual packet mode: %s",
                  StatusText(status).c_str());
      if (doomed()) return false;
    }
  }
  if (CvStatus status = CvStartIsochReceiveEngine(engine, &startup, device->adapterNumber)) {
    CvDeleteIsochReceiveEngine(std::exchange(guard.engine, nullptr));
    adaptorError(this, "openDevice", "Failed to start Isochronous Receive Engine: %s",
                 StatusText(status).c_str());
    return false;
  }

  shared->engine = engine;
  // The thread holds the module while it runs, and gives it back as it ends:
  // a host that unloads the module early cannot take the code from under it.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&AcquisitionThread), &shared->module);
  HANDLE handle = nullptr;
  DWORD id = 0;
  bool closing = false;
  {
    // Published whole, unless a close began inside the host calls above:
    // that close would not know of them.
    std::lock_guard<RecursiveLock> hold(stateLock_);
    closing = closedSince(closes) || doomed();
    if (!closing) {
      locks_->use();
      handle = CreateThread(nullptr, 0, AcquisitionThread, shared.get(), 0, &id);
      if (handle == nullptr) {
        locks_->release();
      } else {
        receiveEngine = std::exchange(guard.engine, nullptr);
        run_ = shared.release();
        threadHandle = handle;
        threadId = id;
      }
    }
  }
  if (closing || handle == nullptr) {
    FreeLibrary(shared->module);
    if (closing) {
      adaptorError(this, "openDevice", "The device was closed while it opened.");
    } else {
      adaptorError(this, "openDevice", "Failed to create image acquisition thread.");
    }
    return false;
  }
  // The thread's queue exists once it waits for messages; until then posts fail.
  while (!PostThreadMessageA(id, kWakeUp, 0, 0)) {
    if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
      // Ended before it took a message: it gave back its module reference and
      // its use of the locks; the engine and the run are still the adaptor's.
      dropThread();
      adaptorError(this, "openDevice", "Failed to create image acquisition thread.");
      return false;
    }
    Sleep(1);
  }
  return true;
}

void CorvaneAdaptor::dropThread() noexcept {
  HANDLE handle;
  AcquisitionRun* run;
  CvEngineHandle engine;
  {
    std::lock_guard<RecursiveLock> hold(stateLock_);
    handle = std::exchange(threadHandle, nullptr);
    threadId = 0;
    run = std::exchange(run_, nullptr);
    engine = std::exchange(receiveEngine, nullptr);
  }
  if (handle != nullptr) CloseHandle(handle);
  delete run;
  if (engine != nullptr) {
    CvStopIsochReceiveEngine(engine);
    CvDeleteIsochReceiveEngine(engine);
  }
}

bool CorvaneAdaptor::closeDevice() {
  Operation operation(*this);
  Failure why;
  bool open = true;
  if (!shielded([&] { open = manager->deviceIsOpen(); }, why))
    reportWarning("CorvaneImaq:closeDevice", "The host could not say whether the device is open",
                  why);
  if (open) shutdownDevice();
  return true;
}

bool CorvaneAdaptor::onAcquisitionThread() const {
  // The id alone (no thread has id 0): the handle is not the other threads' to read.
  const DWORD id = threadId.load();
  return id != 0 && GetCurrentThreadId() == id;
}

bool CorvaneAdaptor::closingHere() noexcept {
  std::lock_guard<RecursiveLock> hold(stateLock_);
  return closer_ != 0 && closer_ == GetCurrentThreadId();
}

unsigned CorvaneAdaptor::captureWordsSoFar() noexcept {
  std::lock_guard<RecursiveLock> hold(stateLock_);
  return captureWords_;
}

bool CorvaneAdaptor::closedSince(unsigned count) noexcept {
  std::lock_guard<RecursiveLock> hold(stateLock_);
  return closer_ != 0 || closes_ != count;
}

unsigned CorvaneAdaptor::closesSoFar() noexcept {
  std::lock_guard<RecursiveLock> hold(stateLock_);
  return closes_;
}

void CorvaneAdaptor::endCycleHere() noexcept {
  std::lock_guard<RecursiveLock> hold(stateLock_);
  if (run_ != nullptr) run_->endCycle = true;
}

void CorvaneAdaptor::letThreadGo() noexcept {
  IAutoCriticalSection* hold = nullptr;
  bool capturing = false;
  bool letGo = false;
  {
    std::lock_guard<RecursiveLock> state(stateLock_);
    capturing = captureFlag.exchange(false);
    AcquisitionRun* shared = run_;
    if (shared != nullptr && closer_ == 0) {
      // The cycle in progress is the caller's, and ends undelivered.
      shared->detached = true;
      shared->handle = threadHandle;
      // The thread may hold acquireLock through the host call; it is this
      // thread, so the lock goes back here, and the thread will not touch
      // its holder again.
      hold = std::exchange(shared->frameHold, nullptr);
      receiveEngine = nullptr;
      threadHandle = nullptr;
      threadId = 0;
      run_ = nullptr;
      ++closes_;
      keepLetGo(shared);
      letGo = true;
    } else if (shared != nullptr) {
      // A host thread is closing and waits for this thread: it ends the run
      // once this call returns, and that close ends the thread.
      shared->endCycle = true;
    }
  }
  // A capture the host never stopped stops now.
  if (capturing) stopCamera();
  if (!letGo) return;
  imaqkit::destroy(hold);
  warnQuietly("CorvaneImaq:closeDevice", "%s",
              "The device was closed from a host call on the image acquisition thread; the "
              "thread ends, and its receive engine goes, once that call returns.");
}

void CorvaneAdaptor::waitForCycleEnd() noexcept {
  // Rarely more than a frame's delivery: the host's lock, when it gave one,
  // has kept the thread out of its cycle already. The run is looked at under
  // stateLock_: a close on another host thread may free it meanwhile.
  for (;;) {
    {
      std::lock_guard<RecursiveLock> hold(stateLock_);
      if (run_ == nullptr || !run_->inCycle.load()) return;
    }
    Sleep(1);
  }
}

void CorvaneAdaptor::shutdownDevice() noexcept {
  if (onAcquisitionThread()) {
    letThreadGo();
    return;
  }
  const DWORD me = GetCurrentThreadId();
  bool capturing = false;
  HANDLE handle = nullptr;
  DWORD id = 0;
  {
    std::unique_lock<RecursiveLock> hold(stateLock_);
    // A close inside this thread's own close (in a host call it makes): the
    // outer one ends everything.
    if (closer_ == me) return;
    // A close on another host thread: this one returns once that one has.
    // An open on another: it ends what it began first (its thread's wake-up).
    while (closer_ != 0 || (opener_ != 0 && opener_ != me)) {
      hold.unlock();
      Sleep(1);
      hold.lock();
    }
    closer_ = me;
    ++closes_;
    capturing = captureFlag.exchange(false);
    handle = threadHandle;
    id = threadId;
  }
  // The flag is written under the host's lock too; a start made inside the
  // holder's calls finds the close in progress and does not start. A capture
  // run ends at its next flag check; the thread reads WM_QUIT only between runs.
  if (handle != nullptr) setCaptureFlag(false);
  if (handle != nullptr) {
    // Until the thread's queue takes it, or the thread has ended by itself.
    while (!PostThreadMessageA(id, WM_QUIT, 0, 0) &&
           WaitForSingleObject(handle, 0) != WAIT_OBJECT_0)
      Sleep(1);
    if (WaitForSingleObject(handle, kThreadEndWaitMs) != WAIT_OBJECT_0) {
      warnQuietly("CorvaneImaq:closeDevice",
                  "Image acquisition thread has not ended after %u ms; still waiting.",
                  static_cast<unsigned>(kThreadEndWaitMs));
      WaitForSingleObject(handle, INFINITE);
    }
    CloseHandle(handle);
  }
  AcquisitionRun* run;
  CvEngineHandle engine;
  {
    std::lock_guard<RecursiveLock> hold(stateLock_);
    threadHandle = nullptr;
    threadId = 0;
    run = std::exchange(run_, nullptr);
    engine = std::exchange(receiveEngine, nullptr);
    capturing = captureFlag.exchange(false) || capturing;
    capturing = cameraMayRun_.exchange(false) || capturing;
  }
  // The thread gave back its module reference and its use of the locks.
  delete run;
  // A capture the host never stopped stops here, the thread gone: a camera
  // left streaming would hold its bus bandwidth with nothing to take its frames.
  if (capturing) stopCamera();
  if (engine != nullptr) {
    // Statuses not examined: the engine is gone for the adaptor either way.
    CvStopIsochReceiveEngine(engine);
    CvDeleteIsochReceiveEngine(engine);
  }
  std::lock_guard<RecursiveLock> hold(stateLock_);
  closer_ = 0;
}
