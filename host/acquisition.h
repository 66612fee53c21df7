// The host's acquisition objects: a video input made of the module's adaptor,
// the host engine that receives frames, and the adaptor manager that tells the
// adaptor what the host wants. They check the adaptor's obligations as they go
// (kit violations): a frame delivered when no acquisition runs, a frame buffer
// handed back twice, an image smaller than the frame claims.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hardware.h"
#include "imaqkit.h"
#include "properties.h"

namespace host {

class Session;
class AdaptorManager;

constexpr int kImmediateTrigger = 0;
constexpr int kHardwareTrigger = 2;

class TriggerSetting final : public ITriggerSetting {
 public:
  int triggerType() override { return type; }
  std::uint32_t triggerCondition() override { return condition; }
  std::uint32_t triggerSource() override { return source; }
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
  std::uint64_t number = 0;  // 1 for the first frame of an acquisition
  std::vector<std::uint8_t> data;
};

class FrameBuffer final : public IFrameBuffer {
 public:
  void setImage(const void* data, int width, int height, int offsetX, int offsetY) override;
  void setTime(double time) override { time_ = time; }

 private:
  friend class Engine;
  std::uint32_t frameType_ = 0;
  int width_ = 0;
  int height_ = 0;
  double time_ = 0.0;
  bool hasImage_ = false;
  std::vector<std::uint8_t> data_;
};

// The callbacks the acquisition thread makes into the host, where a host may do
// what it likes (close the device, destroy the adaptor, fail).
enum class Callback { kFrameWanted, kDeliverFrame, kCountFrame };

class Engine final : public IEngine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  IFrameBuffer* newFrame(std::uint32_t frameType, int width, int height) override;
  void deliverFrame(IFrameBuffer* frame) override;
  IPropertyContainer* propertyContainer() override { return &properties_; }
  ITriggerSetting* currentTrigger() override { return &trigger_; }

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
  // A host freedom: the next time the thread makes this callback, the host runs
  // action inside it, after its own work (as a host's callback may), once.
  void actInside(Callback callback, std::function<void()> action);
  // Runs and forgets the action set for the callback, if any.
  void runInside(Callback callback);
  void attach(AdaptorManager* manager) { manager_ = manager; }
  AdaptorManager* manager() const { return manager_; }

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
  PropertyContainer properties_;
  TriggerSetting trigger_;
  AdaptorManager* manager_ = nullptr;
  std::function<void()> deliverHook_;
  std::mutex insideMutex_;
  std::function<void()> inside_[3];
};

struct AcquisitionSettings {
  std::uint32_t framesPerTrigger = 10;  // 0: until stopped
  std::uint32_t triggerRepeat = 0;
  std::uint32_t frameGrabInterval = 1;  // every nth frame is wanted
};

class AdaptorManager final : public imaqkit::Implements<IAdaptorManager> {
 public:
  AdaptorManager(IAdaptor* adaptor, Engine* engine) : adaptor_(adaptor), engine_(engine) {}

  void requestClose() override;
  void requestStop() override;
  bool deviceIsOpen() override { return open_; }
  bool deviceIsAcquiring() override { return acquiring_; }
  IEngine* engine() override { return giveEngine_ ? engine_ : nullptr; }
  void regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) override;
  void setRegionOfInterest(int offsetX, int offsetY, int width, int height) override;
  void countFrame() override;
  bool frameWanted() override;
  bool acquisitionActive() override { return active_ && !done_; }

  // Host side.
  void setOpen(bool open) { open_ = open; }
  void arm(const AcquisitionSettings& settings);
  void setAcquiring(bool acquiring) { acquiring_ = acquiring; }
  void setStopping(bool stopping) { stopping_ = stopping; }
  // A host freedom: engine() answers null while off.
  void setGiveEngine(bool give) { giveEngine_ = give; }
  bool stopping() const { return stopping_; }
  bool armed() const { return active_; }
  void disarm() { active_ = false; }
  // True once the last wanted frame has been counted.
  bool done() const { return done_; }
  bool waitDone(double timeoutSeconds);
  std::uint64_t framesCounted() const { return counted_; }
  std::uint64_t framesWantedCounted() const { return wantedCounted_; }
  void initRegion(int width, int height);

 private:
  IAdaptor* adaptor_;
  Engine* engine_;
  std::atomic<bool> open_{false};
  std::atomic<bool> acquiring_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> active_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> giveEngine_{true};
  std::atomic<std::uint64_t> counted_{0};
  std::atomic<std::uint64_t> wantedCounted_{0};
  std::uint64_t target_ = 0;
  std::uint32_t interval_ = 1;
  std::mutex mutex_;
  std::condition_variable doneChanged_;
  int roi_[4] = {0, 0, 0, 0};
};

// One video input: the adaptor the module made for a device and format.
class VideoInput {
 public:
  // Device and format by identifier or name; the format defaults to the
  // device's default format. On failure error says why.
  static std::unique_ptr<VideoInput> create(Session& session, const std::string& device,
                                            const std::string& format, std::string& error);
  // Destroys the adaptor, which stops and closes through the manager.
  ~VideoInput();
  VideoInput(const VideoInput&) = delete;
  VideoInput& operator=(const VideoInput&) = delete;

  IAdaptor& adaptor() { return *adaptor_; }
  AdaptorManager& manager() { return *manager_; }
  Engine& engine() { return *engine_; }
  DeviceEntry& device() { return *device_; }
  FormatEntry& format() { return *format_; }

  // The device's declarations (properties, source, hardware triggers).
  const DeviceAttributes& attributes() const { return *attributes_; }
  PropertyContainer& properties() { return engine_->properties(); }
  // Hardware trigger by the names getDeviceAttributes declared.
  bool selectTrigger(const std::string& configuration, const std::string& source,
                     std::string& error);
  bool setRoi(int offsetX, int offsetY, int width, int height, std::string& error);
  void roi(int& offsetX, int& offsetY, int& width, int& height);
  bool open(std::string& error);
  void close();
  // Arms the acquisition and starts the capture.
  bool start(std::string& error);
  // Stops the capture (as the user or the host at the end of an acquisition).
  void stop();
  // Waits until the last wanted frame has arrived, then stops. False on time-out.
  bool waitAndStop(double timeoutSeconds);
  // Destroys the adaptor now (its destructor stops and closes through the
  // manager); nothing but the engine may be used afterwards. A host may do this
  // from a callback on the acquisition thread.
  void destroyAdaptor();
  bool hasAdaptor() const { return adaptor_ != nullptr; }

  AcquisitionSettings settings;

 private:
  VideoInput() = default;
  // The message of an error the adaptor reported since mark, if any.
  bool adaptorFailed(std::size_t mark, std::string& error) const;

  std::unique_ptr<Engine> engine_;
  IAdaptor* adaptor_ = nullptr;
  AdaptorManager* manager_ = nullptr;
  DeviceEntry* device_ = nullptr;
  FormatEntry* format_ = nullptr;
  DeviceAttributes* attributes_ = nullptr;
};

// Makes createAdaptorManager give the host's manager.
void installAdaptorManagerFactory();

}  // namespace host
