// openDevice and closeDevice: channel, start-up record, Format 7 preparation,
// receive engine and acquisition thread.
#include <memory>

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
  bool opened = false;
  Failure why;
  if (shielded([&] { opened = open(); }, why)) return opened;
  abandonOpen();
  reportError(this, "openDevice", why);
  return false;
}

bool CorvaneAdaptor::open() {
  if (manager->deviceIsOpen()) return true;
  // The host says closed, yet this adaptor's thread and engine may still run
  // (the host never called closeDevice): end them as closeDevice would, so
  // that no thread is lost and no two threads pull from one engine.
  shutdownDevice();
  delete startup.image;
  startup = CameraStartupRecord{};
  startup.tag = CV_CAMERA_STARTUP_TAG;
  // What may run out of memory comes first: nothing of the library's is held yet.
  auto shared = std::make_unique<AcquisitionRun>(this, manager);
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

  run_ = shared.release();
  threadHandle = CreateThread(nullptr, 0, AcquisitionThread, run_, 0, &threadId);
  if (threadHandle == nullptr) {
    dropEngine();
    adaptorError(this, "openDevice", "Failed to create image acquisition thread.");
    return false;
  }
  // The thread's queue exists once it waits for messages; until then posts fail.
  while (!PostThreadMessageA(threadId, kWakeUp, 0, 0)) {
    if (WaitForSingleObject(threadHandle, 0) == WAIT_OBJECT_0) {
      CloseHandle(threadHandle);
      threadHandle = nullptr;
      dropEngine();
      adaptorError(this, "openDevice", "Failed to create image acquisition thread.");
      return false;
    }
    Sleep(1);
  }
  return true;
}

void CorvaneAdaptor::dropEngine() {
  CvStopIsochReceiveEngine(receiveEngine);
  CvDeleteIsochReceiveEngine(receiveEngine);
  receiveEngine = nullptr;
  delete run_;
  run_ = nullptr;
}

void CorvaneAdaptor::abandonOpen() noexcept {
  // Once a thread runs nothing in the open throws; before, nothing may stay.
  if (threadHandle != nullptr) return;
  if (receiveEngine != nullptr) {
    dropEngine();
  } else {
    delete run_;
    run_ = nullptr;
  }
}

bool CorvaneAdaptor::closeDevice() {
  Failure why;
  bool open = true;
  if (!shielded([&] { open = manager->deviceIsOpen(); }, why))
    reportWarning("CorvaneImaq:closeDevice", "The host could not say whether the device is open",
                  why);
  if (open) shutdownDevice();
  return true;
}

bool CorvaneAdaptor::onAcquisitionThread() const {
  return threadHandle != nullptr && GetCurrentThreadId() == threadId;
}

void CorvaneAdaptor::letThreadGo() noexcept {
  AcquisitionRun& shared = *run_;
  setCaptureFlag(false);
  shared.detached = true;
  shared.engine = receiveEngine;
  shared.handle = threadHandle;
  // The thread holds acquireLock through its callback; it is this thread, so
  // the lock is given back here, and the thread will not touch it again.
  imaqkit::destroy(shared.frameHold);
  shared.frameHold = nullptr;
  receiveEngine = nullptr;
  threadHandle = nullptr;
  threadId = 0;
  run_ = nullptr;
  keepLetGo(&shared);
  try {
    adaptorWarn("CorvaneImaq:closeDevice",
                "The device was closed from a host callback on the image acquisition thread; "
                "the thread ends, and its receive engine goes, once the callback returns.");
  } catch (...) {
  }
}

void CorvaneAdaptor::shutdownDevice() noexcept {
  if (onAcquisitionThread()) {
    letThreadGo();
    return;
  }
  if (threadHandle != nullptr) {
    // A capture run ends at its next flag check; the thread reads WM_QUIT only between runs.
    setCaptureFlag(false);
    PostThreadMessageA(threadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(threadHandle, kThreadEndWaitMs) != WAIT_OBJECT_0) {
      try {
        adaptorWarn("CorvaneImaq:closeDevice",
                    "Image acquisition thread has not ended after %u ms; still waiting.",
                    static_cast<unsigned>(kThreadEndWaitMs));
      } catch (...) {
      }
      WaitForSingleObject(threadHandle, INFINITE);
    }
    CloseHandle(threadHandle);
    threadHandle = nullptr;
  }
  delete run_;
  run_ = nullptr;
  if (receiveEngine != nullptr) {
    // Statuses not examined: the engine is gone for the adaptor either way.
    CvStopIsochReceiveEngine(receiveEngine);
    CvDeleteIsochReceiveEngine(receiveEngine);
    receiveEngine = nullptr;
  }
}
