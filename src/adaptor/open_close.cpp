// openDevice and closeDevice: channel, start-up record, Format 7 preparation,
// receive engine and acquisition thread.
#include <memory>
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
  if (shielded([&] { opened = open(); }, why)) return opened;
  abandonOpen();
  reportError(this, "openDevice", why);
  return false;
}

bool CorvaneAdaptor::open() {
  if (manager->deviceIsOpen()) return true;
  if (doomed()) return false;
  // The host says closed, yet this adaptor's thread and engine may still run
  // (the host never called closeDevice): end them as closeDevice would, so
  // that no thread is lost and no two threads pull from one engine.
  shutdownDevice();
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
      }
    }
    shared->format7 = true;
    shared->width = meant.width;
    shared->height = meant.height;
  }

  if (CvStatus status = CvCreateIsochReceiveEngine(&receiveEngine)) {
    receiveEngine = nullptr;
    adaptorError(this, "openDevice", "Failed to create Isochronous Receive Engine: %s",
                 StatusText(status).c_str());
    return false;
  }
  // The option goes to the engine that will receive, before it starts.
  if (dualPacket) {
    if (CvStatus status = CvSetIsochEngineOption(receiveEngine, kCvDualPacketMode, &dualPacketCaps))
      adaptorWarn("CorvaneImaq:openDevice", "Could not enable dual packet mode: %s",
                  StatusText(status).c_str());
  }
  if (CvStatus status = CvStartIsochReceiveEngine(receiveEngine, &startup, device->adapterNumber)) {
    CvDeleteIsochReceiveEngine(receiveEngine);
    receiveEngine = nullptr;
    adaptorError(this, "openDevice", "Failed to start Isochronous Receive Engine: %s",
                 StatusText(status).c_str());
    return false;
  }

  shared->engine = receiveEngine;
  // The thread holds the module while it runs, and gives it back as it ends:
  // a host that unloads the module early cannot take the code from under it.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&AcquisitionThread), &shared->module);
  run_ = shared.release();
  locks_->use();
  DWORD id = 0;
  threadHandle = CreateThread(nullptr, 0, AcquisitionThread, run_, 0, &id);
  threadId = id;
  if (threadHandle == nullptr) {
    dropEngine(false);
    adaptorError(this, "openDevice", "Failed to create image acquisition thread.");
    return false;
  }
  // The thread's queue exists once it waits for messages; until then posts fail.
  while (!PostThreadMessageA(threadId, kWakeUp, 0, 0)) {
    if (WaitForSingleObject(threadHandle, 0) == WAIT_OBJECT_0) {
      CloseHandle(threadHandle);
      threadHandle = nullptr;
      dropEngine(true);
      adaptorError(this, "openDevice", "Failed to create image acquisition thread.");
      return false;
    }
    Sleep(1);
  }
  return true;
}

void CorvaneAdaptor::dropEngine(bool threadRan) {
  CvStopIsochReceiveEngine(receiveEngine);
  CvDeleteIsochReceiveEngine(receiveEngine);
  receiveEngine = nullptr;
  if (run_ == nullptr) return;
  // A thread that ran gave back its module reference and its use of the locks.
  if (!threadRan) {
    FreeLibrary(run_->module);
    run_->locks->release();
  }
  delete run_;
  run_ = nullptr;
}

void CorvaneAdaptor::abandonOpen() noexcept {
  // Once a thread runs nothing in the open throws; before, nothing may stay.
  if (threadHandle != nullptr) return;
  if (receiveEngine != nullptr) dropEngine(false);
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

void CorvaneAdaptor::letThreadGo() noexcept {
  AcquisitionRun& shared = *run_;
  // The cycle in progress is the caller's, and ends undelivered: a capture
  // the host never stopped stops now.
  if (captureFlag.exchange(false)) stopCamera();
  shared.detached = true;
  shared.handle = threadHandle;
  // The thread may hold acquireLock through the host call; it is this thread,
  // so the lock goes back here, and the thread will not touch its holder again.
  IAutoCriticalSection* hold = std::exchange(shared.frameHold, nullptr);
  receiveEngine = nullptr;
  threadHandle = nullptr;
  threadId = 0;
  run_ = nullptr;
  keepLetGo(&shared);
  imaqkit::destroy(hold);
  warnQuietly("CorvaneImaq:closeDevice", "%s",
              "The device was closed from a host call on the image acquisition thread; the "
              "thread ends, and its receive engine goes, once that call returns.");
}

void CorvaneAdaptor::waitForCycleEnd() noexcept {
  // Rarely more than a frame's delivery: the host's lock, when it gave one,
  // has kept the thread out of its cycle already.
  while (run_ != nullptr && run_->inCycle.load()) Sleep(1);
}

void CorvaneAdaptor::shutdownDevice() noexcept {
  if (onAcquisitionThread()) {
    letThreadGo();
    return;
  }
  // A capture run ends at its next flag check; the thread reads WM_QUIT only
  // between runs. A host call in the flag's holder may have closed already.
  const bool capturing = captureFlag;
  if (threadHandle != nullptr) setCaptureFlag(false);
  if (threadHandle != nullptr) {
    PostThreadMessageA(threadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(threadHandle, kThreadEndWaitMs) != WAIT_OBJECT_0) {
      warnQuietly("CorvaneImaq:closeDevice",
                  "Image acquisition thread has not ended after %u ms; still waiting.",
                  static_cast<unsigned>(kThreadEndWaitMs));
      WaitForSingleObject(threadHandle, INFINITE);
    }
    CloseHandle(threadHandle);
    threadHandle = nullptr;
  }
  // The thread gave back its module reference and its use of the locks.
  delete run_;
  run_ = nullptr;
  // A capture the host never stopped stops here, the thread gone: a camera
  // left streaming would hold its bus bandwidth with nothing to take its frames.
  if (capturing) stopCamera();
  if (receiveEngine != nullptr) {
    // Statuses not examined: the engine is gone for the adaptor either way.
    CvStopIsochReceiveEngine(receiveEngine);
    CvDeleteIsochReceiveEngine(receiveEngine);
    receiveEngine = nullptr;
  }
}
