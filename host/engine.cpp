#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "adaptor_manager.h"
#include "frame_types.h"
#include "hardware.h"
#include "kit.h"
#include "pixel_layout.h"

namespace host {

using kit::Answer;
using kit::HostCall;

// ---- The trigger setting ------------------------------------------------------------------

// Calls with a result run the hook first and answer with what the host holds
// after it; calls without run it as their last act.
int TriggerSetting::triggerType() {
  return kit::hostCall(HostCall::kTriggerType) == Answer::kNone ? 0 : type;
}

std::uint32_t TriggerSetting::triggerCondition() {
  return kit::hostCall(HostCall::kTriggerCondition) == Answer::kNone ? 0 : condition;
}

std::uint32_t TriggerSetting::triggerSource() {
  return kit::hostCall(HostCall::kTriggerSource) == Answer::kNone ? 0 : source;
}

// ---- Frame buffers ------------------------------------------------------------------------

void FrameBuffer::setImage(const void* data, int width, int height, int offsetX, int offsetY) {
  engine_->checkFrameCall("frame given to setImage");
  const PixelKind kind = pixelKind(frameType_);
  if (data == nullptr || kind == PixelKind::kUnknown) {
    ruleBroken("setImage without an image, or for an unknown frame type");
  } else if (offsetX < 0 || offsetY < 0 || width < 0 || height < 0 || offsetX + width_ > width ||
             offsetY + height_ > height) {
    ruleBroken("setImage: the frame's region does not lie within the image");
  } else {
    // The frame is the region at the offsets of the image; whole rows copy at once.
    const std::size_t rowBytes = imageBytes(frameType_, static_cast<std::size_t>(width), 1);
    const std::size_t regionRowBytes = imageBytes(frameType_, static_cast<std::size_t>(width_), 1);
    const std::size_t skip = imageBytes(frameType_, static_cast<std::size_t>(offsetX), 1);
    const auto* source = static_cast<const std::uint8_t*>(data);
    data_.resize(imageBytes(frameType_, static_cast<std::size_t>(width_),
                            static_cast<std::size_t>(height_)));
    if (regionRowBytes == rowBytes && offsetX == 0) {
      std::memcpy(data_.data(), source + rowBytes * static_cast<std::size_t>(offsetY),
                  data_.size());
    } else {
      for (int y = 0; y < height_; ++y)
        std::memcpy(data_.data() + regionRowBytes * static_cast<std::size_t>(y),
                    source + rowBytes * static_cast<std::size_t>(offsetY + y) + skip,
                    regionRowBytes);
    }
    hasImage_ = true;
  }
  kit::hostCall(HostCall::kSetImage);
}

void FrameBuffer::setTime(double time) {
  time_ = time;
  kit::hostCall(HostCall::kSetTime);
}

// ---- The engine ---------------------------------------------------------------------------

Engine::Engine() = default;

Engine::~Engine() {
  reclaimLent();
}

void Engine::checkFrameCall(const char* what) {
  AdaptorManager* manager = manager_.load();
  if (manager == nullptr) {
    if (managerGone_) ruleBroken(std::string(what) + " after the adaptor was destroyed");
    return;
  }
  if (manager->stopReturned()) {
    ruleBroken(std::string(what) + " after stopCapture returned");
  } else if (!manager->armed() && !manager->isAcquiring() && !manager->stopping()) {
    ruleBroken(std::string(what) + " while no acquisition runs");
  }
}

void Engine::reclaimLent() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (FrameBuffer* buffer : lent_) {
    if (kit::actionsTaken() == buffer->actionsAtLending_)
      ruleBroken("frame buffers never handed back to the engine");
    free_.push_back(buffer);
  }
  lent_.clear();
}

IFrameBuffer* Engine::newFrame(std::uint32_t frameType, int width, int height) {
  checkFrameCall("newFrame");
  // An action inside this very call may leave the buffer with the module.
  const std::uint64_t actions = kit::actionsTaken();
  if (kit::hostCall(HostCall::kNewFrame) == Answer::kNone) return nullptr;
  FrameBuffer* buffer = nullptr;
  if (pixelKind(frameType) == PixelKind::kUnknown || width < 0 || height < 0) {
    ruleBroken("newFrame for an unknown frame type or a negative size");
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    if (memoryCount_ < memoryLimit_) {
      if (free_.empty()) {
        buffers_.push_back(std::make_unique<FrameBuffer>(this));
        buffer = buffers_.back().get();
      } else {
        buffer = free_.back();
        free_.pop_back();
      }
      buffer->frameType_ = frameType;
      buffer->width_ = width;
      buffer->height_ = height;
      buffer->time_ = 0.0;
      buffer->hasImage_ = false;
      buffer->actionsAtLending_ = actions;
      lent_.push_back(buffer);
    }
  }
  return buffer;
}

ITriggerSetting* Engine::currentTrigger() {
  return kit::hostCall(HostCall::kCurrentTrigger) == Answer::kNone ? nullptr : &trigger_;
}

void Engine::deliverFrame(IFrameBuffer* frame) {
  checkFrameCall("frame delivered");
  store(frame);
  kit::hostCall(HostCall::kDeliverFrame);
}

void Engine::store(IFrameBuffer* frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(lent_.begin(), lent_.end(), frame);
  if (it == lent_.end()) {
    ruleBroken("deliverFrame of a buffer the engine did not lend (or delivered twice)");
    return;
  }
  lent_.erase(it);
  auto* buffer = static_cast<FrameBuffer*>(frame);
  if (!buffer->hasImage_) ruleBroken("frame delivered without an image");
  const std::int64_t first = firstSequence_.load();
  std::uint32_t sequence = 0;
  if (first >= 0 && buffer->hasImage_ &&
      pixel::readSequence(buffer->data_.data(), buffer->data_.size(), sequence) && sequence < first)
    ruleBroken("a frame finished before startCapture delivered in the run it started (frame " +
               std::to_string(sequence) + ", the run's first is " + std::to_string(first) + ")");
  if (memoryCount_ == memory_.size()) {
    // Full: unroll the ring into a larger one.
    std::vector<FrameBuffer*> larger(std::max<std::size_t>(16, memory_.size() * 2));
    for (std::size_t i = 0; i < memoryCount_; ++i)
      larger[i] = memory_[(memoryHead_ + i) % memory_.size()];
    memory_.swap(larger);
    memoryHead_ = 0;
  }
  memory_[(memoryHead_ + memoryCount_) % memory_.size()] = buffer;
  ++memoryCount_;
  ++delivered_;
  // A frame is counted after its delivery: this one is the next to be counted.
  const AdaptorManager* manager = manager_.load();
  buffer->number_ = manager != nullptr ? manager->framesCounted() + 1 : delivered_.load();
  arrived_.notify_all();
  if (deliverHook_) deliverHook_();
}

bool Engine::takeFrame(Frame& frame, double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                         [&] { return memoryCount_ > 0; }))
    return false;
  FrameBuffer* buffer = memory_[memoryHead_];
  memoryHead_ = (memoryHead_ + 1) % memory_.size();
  --memoryCount_;
  frame.frameType = buffer->frameType_;
  frame.width = buffer->width_;
  frame.height = buffer->height_;
  frame.time = buffer->time_;
  frame.number = buffer->number_;
  frame.data.swap(buffer->data_);  // the buffer keeps the caller's old storage
  free_.push_back(buffer);
  return true;
}

std::size_t Engine::framesWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return memoryCount_;
}

void Engine::setMemoryLimit(std::size_t frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  memoryLimit_ = frames;
}

void Engine::resetCounts() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < memoryCount_; ++i)
    free_.push_back(memory_[(memoryHead_ + i) % memory_.size()]);
  memoryHead_ = 0;
  memoryCount_ = 0;
  delivered_ = 0;
}

std::size_t Engine::buffersMade() {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffers_.size();
}

}  // namespace host
