#include "adaptor_manager.h"

#include <algorithm>
#include <chrono>

#include "kit.h"

namespace host {

using kit::Answer;
using kit::HostCall;

AdaptorManager::AdaptorManager(IAdaptor* adaptor, Engine* engine)
    : adaptor_(adaptor), engine_(engine), alive_(std::make_shared<std::atomic<bool>>(true)) {}

AdaptorManager::~AdaptorManager() {
  *alive_ = false;
  engine_->detach();
}

// Each returns false when the adaptor was destroyed inside its own call, and
// this manager with it.
bool AdaptorManager::stop() {
  stopping_ = true;
  active_ = false;
  if (starting_) stopPending_ = true;
  if (acquiring_) {
    const auto alive = alive_;
    {
      kit::EntryScope entry(kit::Entry::kStopCapture);
      adaptor_->stopCapture();
    }
    if (!*alive) return false;
    stopReturned_ = true;
  }
  acquiring_ = false;
  stopping_ = false;
  return true;
}

bool AdaptorManager::finishStart() {
  starting_ = false;
  return stopPending_.exchange(false);
}

bool AdaptorManager::close() {
  const auto alive = alive_;
  if (!stop()) return false;
  if (open_) {
    {
      kit::EntryScope entry(kit::Entry::kCloseDevice);
      adaptor_->closeDevice();
    }
    if (!*alive) return false;
    open_ = false;
    // Whatever was started meanwhile (from inside the close, say) ended with it.
    acquiring_ = false;
    active_ = false;
  }
  return true;
}

void AdaptorManager::requestStop() {
  if (stop()) kit::hostCall(HostCall::kRequestStop);
}

void AdaptorManager::requestClose() {
  if (close()) kit::hostCall(HostCall::kRequestClose);
}

// A call with a result runs the hook first and answers with what the host
// holds after it, as a host answers after its own code ran: closed, say, or
// nothing at all once the action destroyed the adaptor and this manager.
bool AdaptorManager::answers(HostCall call) {
  const auto alive = alive_;
  return kit::hostCall(call) == Answer::kAsIs && *alive;
}

bool AdaptorManager::deviceIsOpen() {
  return answers(HostCall::kDeviceIsOpen) && open_;
}

bool AdaptorManager::deviceIsAcquiring() {
  return answers(HostCall::kDeviceIsAcquiring) && acquiring_;
}

IEngine* AdaptorManager::engine() {
  return answers(HostCall::kEngine) && giveEngine_ ? engine_ : nullptr;
}

bool AdaptorManager::acquisitionActive() {
  return answers(HostCall::kAcquisitionActive) && active_ && !done_;
}

void AdaptorManager::initRegion(int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  roi_[0] = roi_[1] = 0;
  roi_[2] = width;
  roi_[3] = height;
}

void AdaptorManager::regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) {
  if (!answers(HostCall::kRegionOfInterest)) {
    offsetX = offsetY = width = height = 0;
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  offsetX = roi_[0];
  offsetY = roi_[1];
  width = roi_[2];
  height = roi_[3];
}

void AdaptorManager::setRegionOfInterest(int offsetX, int offsetY, int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  roi_[0] = offsetX;
  roi_[1] = offsetY;
  roi_[2] = width;
  roi_[3] = height;
}

void AdaptorManager::arm(const AcquisitionSettings& settings) {
  interval_ = std::max<std::uint32_t>(1, settings.frameGrabInterval);
  target_ = settings.framesPerTrigger == 0 ? 0
                                           : std::uint64_t{settings.framesPerTrigger} *
                                                 (std::uint64_t{settings.triggerRepeat} + 1);
  counted_ = 0;
  wantedCounted_ = 0;
  done_ = false;
  stopReturned_ = false;
  active_ = true;
}

bool AdaptorManager::frameWanted() {
  if (!answers(HostCall::kFrameWanted)) return false;
  return counted_ % interval_ == 0 && (target_ == 0 || wantedCounted_ < target_);
}

void AdaptorManager::countFrame() {
  engine_->checkFrameCall("frame counted");
  if (counted_ % interval_ == 0) ++wantedCounted_;
  ++counted_;
  if (target_ != 0 && wantedCounted_ >= target_ && !done_) {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    doneChanged_.notify_all();
  }
  kit::hostCall(HostCall::kCountFrame);
}

bool AdaptorManager::waitDone(double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return doneChanged_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                               [&] { return done_.load(); });
}

namespace {

IAdaptorManager* makeManager(IAdaptor* adaptor, IEngine* engine, void*) {
  auto* hostEngine = dynamic_cast<Engine*>(engine);
  if (hostEngine == nullptr) return nullptr;
  auto* manager = new AdaptorManager(adaptor, hostEngine);
  hostEngine->attach(manager);
  return manager;
}

}  // namespace

void installAdaptorManagerFactory() {
  kit::setManagerFactory(makeManager, nullptr);
}

}  // namespace host
