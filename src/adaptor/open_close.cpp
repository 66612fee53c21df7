// openDevice and closeDevice: channel, start-up record, Format 7 preparation,
// receive engine and acquisition thread.
#include "adaptor/corvane_adaptor.h"

namespace {

constexpr std::uint32_t kFormat7 = 7;
constexpr std::uint8_t kNoChannel = 255;
constexpr UINT kWakeUp = WM_USER + 1;
constexpr DWORD kThreadEndWaitMs = 10000;
// Dual packet mode pays off from this share of a bus cycle on (0x42a6ae14).
constexpr float kDualPacketShare = 83.34f;

}  // namespace

bool CorvaneAdaptor::openDevice() {
  if (manager->deviceIsOpen()) return true;
  // The host says closed, yet this adaptor's thread and engine may still run
  // (the host never called closeDevice): end them as closeDevice would, so
  // that no thread is lost and no two threads pull from one engine.
  shutdownDevice();
  delete startup.image;
  startup = CameraStartupRecord{};
  startup.tag = CV_CAMERA_STARTUP_TAG;

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
  if (format->formatNumber == kFormat7) {
    auto* image = new Format7ImageRecord{};
    startup.image = image;
    image->tag = CV_FORMAT7_IMAGE_TAG;
    image->colorCoding = format->colorCoding;
    int offsetX = 0, offsetY = 0, width = 0, height = 0;
    getROI(offsetX, offsetY, width, height);
    image->width = static_cast<std::uint16_t>(width);
    image->height = static_cast<std::uint16_t>(height);
    image->left = static_cast<std::uint16_t>(offsetX);
    image->top = static_cast<std::uint16_t>(offsetY);
    CvSetCameraStartupInfo(device->cameraHandle, &startup);  // status not examined

    Format7InfoRecord info{};
    info.tag = CV_FORMAT7_INFO_TAG;
    info.mode = format->mode;
    info.speed = startup.speed;
    info.image = image;
    std::uint16_t packetSize = 0;
    const CvStatus status =
        CvQueryCameraRegister(device->cameraHandle, kCvRegFormat7Info, &info, sizeof info);
    if (status == 0) {
      packetSize = info.packetSize;
    } else {
      adaptorWarn("CorvaneImaq:GetPacketSize", "Failed to read F7Registers: %s",
                  CvStatusStringA(status));
    }
    image->packetSize = packetSize;

    std::uint32_t presence = 0;
    if (CvGetSpecialFeaturePresence(device->cameraHandle, kCvDualPacketMode, &presence) == 0 &&
        presence != 0 &&
        blCalcIsoBandwidthPercentage(startup.speed, image->packetSize) >= kDualPacketShare) {
      const CvStatus caps =
          CvGetSpecialFeatureCaps(device->cameraHandle, kCvDualPacketMode, &dualPacketCaps);
      if (caps == 0) {
        dualPacket = true;
      } else {
        adaptorWarn("CorvaneImaq:openDevice", "Could not read dual packet mode caps: %s",
                    CvStatusStringA(caps));
      }
    }
  }

  if (CvStatus status = CvCreateIsochReceiveEngine(&receiveEngine)) {
    receiveEngine = nullptr;
    adaptorError(this, "openDevice", "Failed to create Isochronous Receive Engine: %s",
                 CvStatusStringA(status));
    return false;
  }
  // The option goes to the engine that will receive, before it starts.
  if (dualPacket) {
    if (CvStatus status = CvSetIsochEngineOption(receiveEngine, kCvDualPacketMode, &dualPacketCaps))
      adaptorWarn("CorvaneImaq:openDevice", "Could not enable dual packet mode: %s",
                  CvStatusStringA(status));
  }
  if (CvStatus status = CvStartIsochReceiveEngine(receiveEngine, &startup, device->adapterNumber)) {
    CvDeleteIsochReceiveEngine(receiveEngine);
    receiveEngine = nullptr;
    adaptorError(this, "openDevice", "Failed to start Isochronous Receive Engine: %s",
                 CvStatusStringA(status));
    return false;
  }

  threadHandle = CreateThread(nullptr, 0, AcquisitionThread, this, 0, &threadId);
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
}

bool CorvaneAdaptor::closeDevice() {
  if (!manager->deviceIsOpen()) return true;
  shutdownDevice();
  return true;
}

void CorvaneAdaptor::shutdownDevice() {
  if (threadHandle != nullptr) {
    // A capture run ends at its next flag check; the thread reads WM_QUIT only between runs.
    setCaptureFlag(false);
    PostThreadMessageA(threadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(threadHandle, kThreadEndWaitMs) != WAIT_OBJECT_0) {
      adaptorWarn("CorvaneImaq:closeDevice",
                  "Image acquisition thread has not ended after %u ms; still waiting.",
                  static_cast<unsigned>(kThreadEndWaitMs));
      WaitForSingleObject(threadHandle, INFINITE);
    }
    CloseHandle(threadHandle);
    threadHandle = nullptr;
  }
  if (receiveEngine != nullptr) {
    // Statuses not examined: the engine is gone for the adaptor either way.
    CvStopIsochReceiveEngine(receiveEngine);
    CvDeleteIsochReceiveEngine(receiveEngine);
    receiveEngine = nullptr;
  }
}
