// startCapture, stopCapture and the acquisition thread.
#include "adaptor/corvane_adaptor.h"

namespace {

constexpr std::uint32_t kFormat7 = 7;
constexpr int kHardwareTrigger = 2;
constexpr DWORD kFrameWaitMs = 2000;

}  // namespace

bool CorvaneAdaptor::startCapture() {
  if (!manager->deviceIsOpen()) return false;
  if (manager->deviceIsAcquiring()) return true;
  ITriggerSetting* trigger = manager->engine()->currentTrigger();
  if (trigger != nullptr && trigger->triggerType() == kHardwareTrigger) {
    const std::uint32_t condition = trigger->triggerCondition();
    const std::uint32_t source = trigger->triggerSource();
    SetTriggerRegister(true, source, condition);
  } else {
    SetTriggerRegister(false, 0, 0);
  }
  setCaptureFlag(true);
  PostThreadMessageA(threadId, WM_USER, 0, 0);
  // Statuses not examined: a camera that does not start sends no frames, and
  // the thread reports each frame wait that fails.
  std::uint8_t running = 0;
  CvIsCameraRunning(device->cameraHandle, &running);
  if (running != 0) CvStopCamera(device->cameraHandle);
  CvStartCamera(device->cameraHandle, &startup);
  return true;
}

bool CorvaneAdaptor::stopCapture() {
  if (!manager->deviceIsAcquiring()) return true;
  setCaptureFlag(false);
  // Waits for the frame in progress: the camera never stops mid-frame.
  IAutoCriticalSection* hold = createAutoCriticalSection(acquireLock, true);
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
                CvStatusStringA(stopped));
  return true;
}

DWORD WINAPI AcquisitionThread(LPVOID parameter) {
  auto* adaptor = static_cast<CorvaneAdaptor*>(parameter);
  IAdaptorManager* manager = adaptor->manager;
  IAutoCriticalSection* frameHold = createAutoCriticalSection(adaptor->acquireLock, false);
  // Without its lock holder the thread cannot run safely: it ends before taking
  // messages, and openDevice reports that the thread could not be made.
  if (frameHold == nullptr) return 0;
  // Format 7 frames are sized by the region the camera was started with: a
  // region set since then waits for the next open. Taken by value before the
  // first message: openDevice returns only once the thread takes messages, and
  // the next openDevice frees that record.
  const Format7ImageRecord* started = adaptor->startup.image;
  const bool format7 = adaptor->format->formatNumber == kFormat7 && started != nullptr;
  const int startedWidth = format7 ? started->width : 0;
  const int startedHeight = format7 ? started->height : 0;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message != WM_USER || !manager->acquisitionActive()) continue;
    bool warnedNoBuffer = false;
    do {
      if (!adaptor->readCaptureFlag()) break;
      frameHold->enter();
      void* data = nullptr;
      CvStatus status = CvGetNextCompleteFrame(&data, adaptor->receiveEngine, kFrameWaitMs);
      if (status == 0 && data == nullptr) status = ~0u;  // success without an image is no frame
      if (status != 0) {
        adaptorWarn("CorvaneImaq:acquireThread", "Failed to receive frame from camera: %s",
                    status == ~0u ? "no image" : CvStatusStringA(status));
      } else {
        if (manager->frameWanted()) {
          int offsetX = 0, offsetY = 0, width = 0, height = 0;
          if (format7) {
            width = startedWidth;
            height = startedHeight;
          } else {
            adaptor->getROI(offsetX, offsetY, width, height);
          }
          const std::uint32_t type = adaptor->getFrameType();
          IFrameBuffer* frame = manager->engine()->newFrame(type, width, height);
          if (frame == nullptr) {
            if (!warnedNoBuffer)
              adaptorWarn("CorvaneImaq:acquireThread",
                          "The host gave no frame buffer; frames are counted, not delivered.");
            warnedNoBuffer = true;
          } else {
            if (format7) {
              frame->setImage(data, width, height, 0, 0);
            } else {
              const int maxHeight = adaptor->getMaxHeight();
              const int maxWidth = adaptor->getMaxWidth();
              frame->setImage(data, maxWidth, maxHeight, offsetX, offsetY);
            }
            frame->setTime(getCurrentTime());
            manager->engine()->deliverFrame(frame);
          }
        }
        manager->countFrame();
      }
      frameHold->leave();
    } while (manager->acquisitionActive());
  }
  imaqkit::destroy(frameHold);
  return 0;
}
