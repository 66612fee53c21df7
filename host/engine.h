// The host engine that receives an adaptor's frames, and the frame buffers it
// lends for them. They check the adaptor's obligations as they go (kit
// violations): a frame given to setImage, delivered or counted after
// stopCapture returned, a frame buffer handed back twice, an image smaller
// than the frame claims, a frame finished before the start of the run it is
// delivered in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "imaqkit.h"
#include "properties.h"

namespace host {

class AdaptorManager;
class Engine;

constexpr int kImmediateTrigger = 0;
constexpr int kHardwareTrigger = 2;

class TriggerSetting final : public ITriggerSetting {
 public:
  int triggerType() override;
  std::uint32_t triggerCondition() override;
  std::uint32_t triggerSource() override;
  int type = kImmediateTrigger;
  std::uint32_t condition = 0;  // hardware: the configuration id (IIDC trigger mode)
  std::uint32_t source = 0;     // hardware: the source id
};

// A frame as the user takes it from the host's frame memory.
struct Frame {
  std::uint32_t frameType = 0;
  int width = 0;
  int height = 0;
  double time = 0.0;
  // Its place among the frames the adaptor counted in this acquisition (1 for
  // the first): a gap says frames came that the host had no memory for.
  std::uint64_t number = 0;
  std::vector<std::uint8_t> data;
};

class FrameBuffer final : public IFrameBuffer {
 public:
  explicit FrameBuffer(Engine* engine) : engine_(engine) {}
  void setImage(const void* data, int width, int height, int offsetX, int offsetY) override;
  void setTime(double time) override;

 private:
  friend class Engine;
  Engine* engine_;
  std::uint32_t frameType_ = 0;
  int width_ = 0;
  int height_ = 0;
  double time_ = 0.0;
  std::uint64_t number_ = 0;
  bool hasImage_ = false;
  std::uint64_t actionsAtLending_ = 0;
  std::vector<std::uint8_t> data_;
};

class Engine final : public IEngine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  IFrameBuffer* newFrame(std::uint32_t frameType, int width, int height) override;
  void deliverFrame(IFrameBuffer* frame) override;
  IPropertyContainer* propertyContainer() override { return &properties_; }
  ITriggerSetting* currentTrigger() override;

  PropertyContainer& properties() { return properties_; }
  TriggerSetting& trigger() { return trigger_; }
  // Takes the oldest delivered frame; false when none arrived within the time.
  bool takeFrame(Frame& frame, double timeoutSeconds);
  std::size_t framesWaiting();
  // Frames in memory beyond which newFrame gives no buffer (as a full host does).
  void setMemoryLimit(std::size_t frames);
  void resetCounts();
  std::uint64_t framesDelivered() const { return delivered_; }
  // Frame buffers made so far: steady acquisition reuses them.
  std::size_t buffersMade();
  // Called on the delivering thread after each delivery (for measurements).
  void setDeliverHook(std::function<void()> hook) { deliverHook_ = std::move(hook); }
  // For a camera whose frames carry their sequence number: frames before this
  // one were finished before the run began, and delivering one is a violation.
  void expectSequencesFrom(std::uint32_t first) { firstSequence_ = first; }
  // Where the next run's first sequence number comes from, asked by each
  // start just before startCapture (a test's window on the camera).
  void setSequenceSource(std::function<std::uint32_t()> source) {
    sequenceSource_ = std::move(source);
  }
  void beginRun() {
    if (sequenceSource_) expectSequencesFrom(sequenceSource_());
  }
  // Buffers lent but never delivered: those a host action (a stop, a close, a
  // failure of its own) left with the module are taken back without a word.
  void reclaimLent();

  // The manager the host made for the adaptor; null once it is gone.
  void attach(AdaptorManager* manager) { manager_ = manager; }
  void detach() {
    manager_ = nullptr;
    managerGone_ = true;
  }
  AdaptorManager* manager() const { return manager_; }
  // Checks made at every frame call: that a frame may come now at all.
  void checkFrameCall(const char* what);

 private:
  void store(IFrameBuffer* frame);

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::unique_ptr<FrameBuffer>> buffers_;
  std::vector<FrameBuffer*> free_;
  std::vector<FrameBuffer*> lent_;
  // Delivered frames, oldest first: a ring that grows only when full, so that a
  // steady acquisition allocates nothing.
  std::vector<FrameBuffer*> memory_;
  std::size_t memoryHead_ = 0;
  std::size_t memoryCount_ = 0;
  std::size_t memoryLimit_ = 4096;
  std::atomic<std::uint64_t> delivered_{0};
  std::atomic<std::int64_t> firstSequence_{-1};
  PropertyContainer properties_;
  TriggerSetting trigger_;
  std::atomic<AdaptorManager*> manager_{nullptr};
  std::atomic<bool> managerGone_{false};
  std::function<void()> deliverHook_;
  std::function<std::uint32_t()> sequenceSource_;
};

}  // namespace host
