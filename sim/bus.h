// The virtual IEEE 1394 bus: adapters and their cameras, camera handles,
// isochronous channels and bandwidth, receive engines and frame delivery, the
// fault gate and the call log. One lock guards it all; frame waits sleep on a
// condition of that lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "camera.h"
#include "frame_source.h"

namespace sim {

// The origin of the bus clock (busTime).
extern const Clock::time_point kBusEpoch;

inline std::uintptr_t key(CvCameraHandle handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}
inline std::uintptr_t key(CvEngineHandle engine) {
  return reinterpret_cast<std::uintptr_t>(engine);
}
inline double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}
inline Clock::duration duration(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

class Bus {
 public:
  static Bus& get();
  // When the library is unloaded (not when the process ends): the bus goes, and
  // with it what it holds. Nothing may call in after.
  static void destroyAtUnload();

  // The C API, one operation per Cv function.
  CvStatus initialize();
  CvStatus terminate();
  CvStatus locate(std::uint32_t adapter, std::uint64_t* ids, std::uint32_t* count);
  CvStatus open(std::uint32_t adapter, CvCameraHandle* handle, const std::uint64_t* id);
  CvStatus close(CvCameraHandle handle);
  CvStatus query(CvCameraHandle handle, std::uint32_t id, void* buffer, std::uint32_t size);
  CvStatus set(CvCameraHandle handle, std::uint32_t id, const void* buffer, std::uint32_t size);
  CvStatus readQuad(CvCameraHandle handle, std::uint32_t address, std::uint32_t* value);
  CvStatus writeQuad(CvCameraHandle handle, std::uint32_t address, std::uint32_t value);
  CvStatus channel(CvCameraHandle handle, std::uint8_t* channel);
  CvStatus setStartup(CvCameraHandle handle, const CameraStartupRecord* startup);
  CvStatus specialFeature(CvCameraHandle handle, std::uint32_t feature, std::uint32_t* word,
                          bool caps);
  CvStatus createEngine(CvEngineHandle* engine);
  CvStatus setEngineOption(CvEngineHandle engine, std::uint32_t option, const std::uint32_t* value);
  CvStatus startEngine(CvEngineHandle engine, const CameraStartupRecord* startup,
                       std::uint32_t adapter);
  CvStatus stopEngine(CvEngineHandle engine);
  CvStatus deleteEngine(CvEngineHandle engine);
  CvStatus isRunning(CvCameraHandle handle, std::uint8_t* running);
  CvStatus startCamera(CvCameraHandle handle, const CameraStartupRecord* startup);
  CvStatus stopCamera(CvCameraHandle handle);
  CvStatus nextFrame(void** image, CvEngineHandle engine, std::uint32_t timeoutMs);

  // Fault gate and call log, used by every exported function.
  bool gate(const char* function, std::int64_t argument, CvStatus& status);
  void setRandomFaults(double rate, std::uint64_t seed, std::vector<std::string> functions);
  std::uint64_t randomFaultsInjected();
  bool logging() const { return logOn_.load(std::memory_order_relaxed); }
  void log(Call call);

  // Why the bus the library started with could not be installed; empty when it was.
  // Why the bus that was to be installed at load was not; the caller says it.
  std::string startupError();

  // Control interface.
  bool install(const BusDesc& desc, std::string* error);
  BusDesc description();
  void setFreeRunning(bool on);
  void setTimeoutScale(double scale);
  void setFrameWaitHook(FrameWaitHook hook) { waitHook_ = hook; }
  void addFault(const FaultRule& rule);
  void clearFaults();
  std::uint64_t faultsInjected();
  void setCountOverstatement(std::uint32_t extra) { overstatement_ = extra; }
  void setQuirks(const Quirks& quirks);
  bool setCameraQuirks(std::uint64_t cameraId, const Quirks& quirks);
  void setLibraryQuirks(const LibraryQuirks& quirks);
  LibraryQuirks libraryQuirks();
  void setCallLog(bool on);
  std::vector<Call> callLog();
  void clearCallLog();
  bool pulse(std::uint64_t cameraId, int source);
  bool setPulseRate(std::uint64_t cameraId, double hertz);
  bool setPlugged(std::uint64_t cameraId, bool plugged);
  bool readCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t& value);
  bool writeCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t value);
  bool readFeature(std::uint64_t cameraId, const std::string& name, FeatureState& state);
  bool readCamera(std::uint64_t cameraId, CameraState& state);
  Resources resources();
  bool readEngine(CvEngineHandle engine, EngineStats& stats);
  std::vector<CvEngineHandle> engineList();
  bool lostBefore(std::uint64_t cameraId, std::uint64_t frame, std::uint64_t& lost);

 private:
  struct HandleRecord {
    std::shared_ptr<Camera> camera;
    std::uint32_t adapter = 0;
    std::uint8_t channel = 255;
    bool dead = false;  // its camera was unplugged
  };
  struct Engine {
    bool started = false;
    bool busy = false;
    bool waiting = false;  // a thread is in CvGetNextCompleteFrame on it
    bool dualPacket = false;
    std::uint32_t adapter = 0;
    std::uint8_t channel = 255;
    Clock::time_point startTime;
    std::uint64_t epoch = 0;  // the stream it follows
    std::uint64_t nextSeq = 0;
    std::uint64_t delivered = 0, lost = 0, withoutImage = 0;
    std::uint32_t lastSeq = 0;
    double lastCompletion = 0.0;
    std::uint64_t sourceId = 0;  // the camera it took frames from last
    // (frames handed out, lost by then) at each hand-out that followed a loss:
    // one entry a loss, not a frame; what lies before an asked frame goes.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> losses;
    // Frames finished before a stop and kept for after the next start (the
    // framesAcrossStart quirk), oldest first; they go with the engine.
    std::deque<std::uint64_t> kept;
    FrameRenderer renderer;
  };
  struct RuleState {
    FaultRule rule;
    std::uint64_t seen = 0;
  };
  static constexpr std::uint64_t kRingFrames = 8;

  Bus();
  void installStartupBus();
  void sayStartupError();  // REQUIRES mutex_ held
  // Each requires the lock.
  HandleRecord* handleOf(CvCameraHandle handle, CvStatus& status);
  std::shared_ptr<Engine> engineOf(CvEngineHandle engine);
  std::shared_ptr<Camera> cameraById(std::uint64_t id);
  std::shared_ptr<Camera> sourceOf(const Engine& engine);
  void stopStream(Camera& camera, Clock::time_point when);
  // Starts the camera's stream as its registers say (shots > 0: that many
  // frames, then it ends by itself).
  CvStatus startStream(HandleRecord& handle, std::uint32_t shots);
  void advancePulses(Camera& camera, Clock::time_point now);
  void firePulse(Camera& camera, Clock::time_point when);
  std::uint64_t completedBy(const Camera& camera, Clock::time_point now) const;

  // Wakes frame waits: the state they wait on changed. REQUIRES: the lock.
  void signalChange() {
    ++changes_;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  // Counts the changes, for a frame wait that waits elsewhere (the hook's).
  std::atomic<std::uint64_t> changes_{0};
  std::atomic<FrameWaitHook> waitHook_{nullptr};
  BusDesc desc_;
  std::vector<std::vector<std::shared_ptr<Camera>>> adapters_;
  std::vector<std::uint64_t> channelsInUse_;  // bit set per adapter
  std::vector<std::uint32_t> bandwidthInUse_;
  std::vector<std::uint32_t> otherTraffic_;
  std::map<std::uintptr_t, HandleRecord> handles_;
  std::map<std::uintptr_t, std::shared_ptr<Engine>> engines_;
  std::uintptr_t nextHandle_ = 0x1000;
  std::uintptr_t nextEngine_ = 0x100000;
  std::uint64_t nextEpoch_ = 1;
  int initCount_ = 0;
  std::string startupError_;
  bool startupErrorTaken_ = false;
  bool freeRunning_ = false;
  double timeoutScale_ = 1.0;

  std::mutex gateMutex_;
  std::atomic<bool> anyRules_{false};
  std::atomic<bool> logOn_{false};
  std::atomic<std::uint32_t> overstatement_{0};
  LibraryQuirks libraryQuirks_;
  std::vector<RuleState> rules_;
  std::uint64_t injected_ = 0;
  double randomRate_ = 0.0;
  std::mt19937_64 random_;
  std::vector<std::string> randomFunctions_;
  std::uint64_t randomInjected_ = 0;
  std::vector<Call> log_;
};

}  // namespace sim
