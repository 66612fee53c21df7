#include "bus.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "iidc.h"

namespace sim {
namespace {

constexpr std::size_t kMaxLogEntries = 200000;
constexpr std::size_t kMaxPendingPulses = 64;
constexpr auto kSpinWindow = std::chrono::microseconds(250);

std::uintptr_t key(CvCameraHandle handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}
std::uintptr_t key(CvEngineHandle engine) {
  return reinterpret_cast<std::uintptr_t>(engine);
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}
Clock::duration duration(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}
const Clock::time_point kEpoch = Clock::now();

Bus* made = nullptr;

}  // namespace

// Not destroyed when the process ends (module threads may still call in then),
// only when a host unloads the library.
Bus& Bus::get() {
  static Bus* bus = made = new Bus;
  return *bus;
}

void Bus::destroyAtUnload() {
  delete made;
  made = nullptr;
}

Bus::Bus() {
  std::string error;
  install(defaultBus(), &error);
}

// ---- Fault gate and call log --------------------------------------------------------

bool Bus::gate(const char* function, std::int64_t argument, CvStatus& status) {
  if (!anyRules_.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(gateMutex_);
  bool fail = false;
  for (RuleState& r : rules_) {
    if (r.rule.function != function) continue;
    if (r.rule.argument >= 0 && r.rule.argument != argument) continue;
    ++r.seen;
    const bool hit =
        r.rule.nth == 0 || (r.seen >= r.rule.nth && r.seen < r.rule.nth + r.rule.times);
    if (hit && !fail) {
      fail = true;
      status = r.rule.status;
    }
  }
  if (!fail && randomRate_ > 0.0 &&
      (randomFunctions_.empty() || std::find(randomFunctions_.begin(), randomFunctions_.end(),
                                             function) != randomFunctions_.end()) &&
      std::uniform_real_distribution<double>(0.0, 1.0)(random_) < randomRate_) {
    fail = true;
    status = kInjected;
    ++randomInjected_;
  }
  if (fail) ++injected_;
  return fail;
}

void Bus::setRandomFaults(double rate, std::uint64_t seed, std::vector<std::string> functions) {
  std::lock_guard<std::mutex> lock(gateMutex_);
  randomRate_ = rate > 0.0 ? rate : 0.0;
  random_.seed(seed);
  randomFunctions_ = std::move(functions);
  randomInjected_ = 0;
  anyRules_ = !rules_.empty() || randomRate_ > 0.0;
}

std::uint64_t Bus::randomFaultsInjected() {
  std::lock_guard<std::mutex> lock(gateMutex_);
  return randomInjected_;
}

void Bus::log(Call call) {
  std::lock_guard<std::mutex> lock(gateMutex_);
  if (log_.size() < kMaxLogEntries) log_.push_back(std::move(call));
}

void Bus::addFault(const FaultRule& rule) {
  std::lock_guard<std::mutex> lock(gateMutex_);
  rules_.push_back({rule, 0});
  anyRules_ = true;
}

void Bus::clearFaults() {
  std::lock_guard<std::mutex> lock(gateMutex_);
  rules_.clear();
  injected_ = 0;
  randomRate_ = 0.0;
  randomFunctions_.clear();
  anyRules_ = false;
}

std::uint64_t Bus::faultsInjected() {
  std::lock_guard<std::mutex> lock(gateMutex_);
  return injected_;
}

void Bus::setCallLog(bool on) {
  logOn_ = on;
}

std::vector<Call> Bus::callLog() {
  std::lock_guard<std::mutex> lock(gateMutex_);
  return log_;
}

void Bus::clearCallLog() {
  std::lock_guard<std::mutex> lock(gateMutex_);
  log_.clear();
}

// ---- Bus set-up -------------------------------------------------------------------------

bool Bus::install(const BusDesc& desc, std::string* error) {
  std::string problem = validateBus(desc);
  if (!problem.empty()) {
    if (error) *error = problem;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  desc_ = desc;
  libraryQuirks_ = desc.quirks;
  adapters_.clear();
  for (const auto& adapter : desc.adapters) {
    adapters_.emplace_back();
    for (const CameraDesc& camera : adapter)
      adapters_.back().push_back(std::make_shared<Camera>(camera));
  }
  channelsInUse_.assign(adapters_.size(), 0);
  bandwidthInUse_.assign(adapters_.size(), 0);
  handles_.clear();
  engines_.clear();
  changed_.notify_all();
  return true;
}

BusDesc Bus::description() {
  std::lock_guard<std::mutex> lock(mutex_);
  return desc_;
}

void Bus::setQuirks(const Quirks& quirks) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& adapter : adapters_)
    for (const auto& camera : adapter) camera->quirks = quirks;
}

bool Bus::setCameraQuirks(std::uint64_t cameraId, const Quirks& quirks) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  if (!camera) return false;
  camera->quirks = quirks;
  return true;
}

void Bus::setLibraryQuirks(const LibraryQuirks& quirks) {
  std::lock_guard<std::mutex> lock(mutex_);
  libraryQuirks_ = quirks;
}

LibraryQuirks Bus::libraryQuirks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return libraryQuirks_;
}

void Bus::setFreeRunning(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  freeRunning_ = on;
  changed_.notify_all();
}

void Bus::setTimeoutScale(double scale) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeoutScale_ = scale > 0 ? scale : 1.0;
}

// ---- Library start, enumeration, handles ---------------------------------------------

CvStatus Bus::initialize() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++initCount_;
  return kOk;
}

CvStatus Bus::terminate() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (initCount_ == 0) return kNotInitialized;
  --initCount_;
  return kOk;
}

CvStatus Bus::locate(std::uint32_t adapter, std::uint64_t* ids, std::uint32_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count == nullptr) return kInvalidArgument;
  const std::uint32_t capacity = std::min<std::uint32_t>(*count, CV_MAX_CAMERAS_PER_ADAPTER);
  *count = 0;
  if (initCount_ == 0) return kNotInitialized;
  if (adapter == 0 || adapter > adapters_.size()) return CV_NO_SUCH_ADAPTER;
  if (ids == nullptr) return kInvalidArgument;
  for (const auto& camera : adapters_[adapter - 1]) {
    if (!camera->plugged) continue;
    if (*count == capacity) break;
    ids[(*count)++] = camera->desc().id;
  }
  *count += overstatement_;
  return kOk;
}

CvStatus Bus::open(std::uint32_t adapter, CvCameraHandle* handle, const std::uint64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle == nullptr || id == nullptr) return kInvalidArgument;
  if (initCount_ == 0) return kNotInitialized;
  if (adapter == 0 || adapter > adapters_.size()) return CV_NO_SUCH_ADAPTER;
  for (const auto& camera : adapters_[adapter - 1]) {
    if (camera->desc().id != *id || !camera->plugged) continue;
    const std::uintptr_t k = nextHandle_++;
    handles_[k] = HandleRecord{camera, adapter, 255};
    ++camera->openHandles;
    *handle = reinterpret_cast<CvCameraHandle>(k);
    return kOk;
  }
  return kNoCamera;
}

Bus::HandleRecord* Bus::handleOf(CvCameraHandle handle, CvStatus& status) {
  if (initCount_ == 0) {
    status = kNotInitialized;
    return nullptr;
  }
  auto it = handles_.find(key(handle));
  if (it == handles_.end()) {
    status = kInvalidHandle;
    return nullptr;
  }
  if (it->second.dead) {
    status = kDeviceRemoved;
    return nullptr;
  }
  status = kOk;
  return &it->second;
}

CvStatus Bus::close(CvCameraHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(key(handle));
  if (it == handles_.end()) return kInvalidHandle;
  HandleRecord& h = it->second;
  Camera& camera = *h.camera;
  if (h.channel != 255) {
    channelsInUse_[h.adapter - 1] &= ~(std::uint64_t{1} << h.channel);
    if (camera.channel == h.channel) camera.channel = 255;
  }
  // The last handle of a camera takes its stream with it.
  if (--camera.openHandles == 0 && camera.running) stopStream(camera, Clock::now());
  handles_.erase(it);
  changed_.notify_all();
  return kOk;
}

// ---- Registers ---------------------------------------------------------------------------

CvStatus Bus::query(CvCameraHandle handle, std::uint32_t id, void* buffer, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  return h ? h->camera->query(id, buffer, size) : status;
}

CvStatus Bus::set(CvCameraHandle handle, std::uint32_t id, const void* buffer, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  return h ? h->camera->set(id, buffer, size) : status;
}

CvStatus Bus::readQuad(CvCameraHandle handle, std::uint32_t address, std::uint32_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (value == nullptr) return kInvalidArgument;
  const std::uint32_t base = h->camera->desc().commandBase;
  if (address < base) return kInvalidArgument;
  return h->camera->readCsr(address - base, *value);
}

CvStatus Bus::writeQuad(CvCameraHandle handle, std::uint32_t address, std::uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  const std::uint32_t base = h->camera->desc().commandBase;
  if (address < base) return kInvalidArgument;
  return h->camera->writeCsr(address - base, value);
}

// ---- Isochronous resources ------------------------------------------------------------

CvStatus Bus::channel(CvCameraHandle handle, std::uint8_t* channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (channel == nullptr) return kInvalidArgument;
  if (h->camera->quirks.channelAnswer >= 0) {
    *channel = static_cast<std::uint8_t>(h->camera->quirks.channelAnswer);
    return kOk;
  }
  // A handle holds at most one channel: asking again gives the same one.
  if (h->channel == 255) {
    std::uint64_t& used = channelsInUse_[h->adapter - 1];
    for (std::uint8_t c = 0; c < iidc::kChannels; ++c) {
      if (!(used & (std::uint64_t{1} << c))) {
        used |= std::uint64_t{1} << c;
        h->channel = c;
        h->camera->channel = c;
        break;
      }
    }
    if (h->channel == 255) return kNoChannel;
  }
  *channel = h->channel;
  return kOk;
}

CvStatus Bus::setStartup(CvCameraHandle handle, const CameraStartupRecord* startup) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (startup == nullptr) return kInvalidArgument;
  switch (h->camera->quirks.startupInfo) {
    case Quirks::Startup::kRefused:
      return kNotSupported;
    case Quirks::Startup::kIgnored:
      return kOk;
    case Quirks::Startup::kHonest:
      break;
  }
  return h->camera->setStartup(*startup);
}

CvStatus Bus::specialFeature(CvCameraHandle handle, std::uint32_t feature, std::uint32_t* word,
                             bool caps) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (word == nullptr) return kInvalidArgument;
  if (feature != kCvDualPacketMode) return kNotSupported;
  const bool has = h->camera->dualPacket();
  if (caps) {
    if (!has) return kNotSupported;
    *word = h->camera->desc().dualPacketCaps;
  } else {
    *word = has ? 1 : 0;
  }
  return kOk;
}

// ---- Receive engines ------------------------------------------------------------------

std::shared_ptr<Bus::Engine> Bus::engineOf(CvEngineHandle engine) {
  auto it = engines_.find(key(engine));
  return it == engines_.end() ? nullptr : it->second;
}

CvStatus Bus::createEngine(CvEngineHandle* engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (engine == nullptr) return kInvalidArgument;
  if (initCount_ == 0) return kNotInitialized;
  const std::uintptr_t k = nextEngine_++;
  engines_[k] = std::make_shared<Engine>();
  *engine = reinterpret_cast<CvEngineHandle>(k);
  return kOk;
}

CvStatus Bus::setEngineOption(CvEngineHandle engine, std::uint32_t option,
                              const std::uint32_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> e = engineOf(engine);
  if (!e) return kInvalidHandle;
  if (value == nullptr) return kInvalidArgument;
  if (option != kCvDualPacketMode) return kNotSupported;
  if (e->started) return kBusy;
  e->dualPacket = *value != 0;
  return kOk;
}

CvStatus Bus::startEngine(CvEngineHandle engine, const CameraStartupRecord* startup,
                          std::uint32_t adapter) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> e = engineOf(engine);
  if (!e) return kInvalidHandle;
  if (startup == nullptr) return kInvalidArgument;
  if (startup->tag != CV_CAMERA_STARTUP_TAG) return kBadRecord;
  if (adapter == 0 || adapter > adapters_.size()) return CV_NO_SUCH_ADAPTER;
  if (startup->channel >= iidc::kChannels) return kInvalidArgument;
  if (e->started) return kBusy;
  e->started = true;
  e->adapter = adapter;
  e->channel = startup->channel;
  e->startTime = Clock::now();
  e->epoch = 0;
  changed_.notify_all();
  return kOk;
}

CvStatus Bus::stopEngine(CvEngineHandle engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> e = engineOf(engine);
  if (!e) return kInvalidHandle;
  if (!e->started) return kNotStarted;
  e->started = false;
  changed_.notify_all();
  return kOk;
}

CvStatus Bus::deleteEngine(CvEngineHandle engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = engines_.find(key(engine));
  if (it == engines_.end()) return kInvalidHandle;
  it->second->started = false;
  engines_.erase(it);
  changed_.notify_all();
  return kOk;
}

// ---- Camera streams --------------------------------------------------------------------

CvStatus Bus::isRunning(CvCameraHandle handle, std::uint8_t* running) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (running == nullptr) return kInvalidArgument;
  *running = h->camera->running ? 1 : 0;
  return kOk;
}

void Bus::stopStream(Camera& camera, Clock::time_point when) {
  if (!camera.running) return;
  Stream& s = camera.stream;
  if (!s.triggered && !s.freeRunning) camera.nextSeq = s.firstSeq + completedBy(camera, when);
  s.stopped = true;
  s.stopTime = when;
  if (camera.quirks.framesAfterStop) {
    // The frame on its way when the stop came is finished and kept.
    if (s.triggered) {
      s.pulses.emplace_back(camera.nextSeq++, when);
    } else {
      s.finishedAtStop = 1;
      if (!s.freeRunning) ++camera.nextSeq;
    }
  }
  camera.running = false;
  bandwidthInUse_[s.adapter - 1] -= s.format.bandwidthUnits;
  changed_.notify_all();
}

CvStatus Bus::startCamera(CvCameraHandle handle, const CameraStartupRecord* startup) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (startup == nullptr) return kInvalidArgument;
  Camera& camera = *h->camera;
  if (camera.running) return kBusy;
  StreamFormat format;
  if (CvStatus s = camera.streamFormat(*startup, format)) return s;
  if (startup->channel >= iidc::kChannels) return kInvalidArgument;
  std::uint32_t& used = bandwidthInUse_[h->adapter - 1];
  if (used + format.bandwidthUnits > iidc::kUnitsPerCycle) return kNoBandwidth;
  used += format.bandwidthUnits;
  Stream& s = camera.stream;
  const double pulseRate = s.pulseRate;
  const Clock::time_point pulseOrigin = s.pulseOrigin;
  const std::uint64_t pulsesGenerated = s.pulsesGenerated;
  s = Stream{};
  s.exists = true;
  s.triggered = camera.triggerEnabled();
  s.freeRunning = freeRunning_ && !s.triggered;
  s.channel = startup->channel;
  s.adapter = h->adapter;
  s.format = format;
  s.start = Clock::now();
  s.firstSeq = camera.nextSeq;
  s.pulseRate = pulseRate;
  s.pulseOrigin = pulseOrigin;
  s.pulsesGenerated = pulsesGenerated;
  s.stopTime = s.start;
  s.epoch = nextEpoch_++;
  camera.running = true;
  changed_.notify_all();
  return kOk;
}

CvStatus Bus::stopCamera(CvCameraHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (!h->camera->running) return kNotStarted;
  stopStream(*h->camera, Clock::now());
  return kOk;
}

std::uint64_t Bus::completedBy(const Camera& camera, Clock::time_point now) const {
  const Stream& s = camera.stream;
  if (s.triggered || s.freeRunning || s.format.period <= 0) return 0;
  const Clock::time_point end = s.stopped ? std::min(now, s.stopTime) : now;
  const std::uint64_t atStop = s.stopped && now >= s.stopTime ? s.finishedAtStop : 0;
  if (end <= s.start) return atStop;
  return static_cast<std::uint64_t>(seconds(end - s.start) / s.format.period) + atStop;
}

void Bus::firePulse(Camera& camera, Clock::time_point when) {
  Stream& s = camera.stream;
  if (!camera.running || !s.triggered || when < s.start) return;
  s.pulses.emplace_back(camera.nextSeq++, when);
  while (s.pulses.size() > kMaxPendingPulses) s.pulses.pop_front();
}

void Bus::advancePulses(Camera& camera, Clock::time_point now) {
  Stream& s = camera.stream;
  if (s.pulseRate <= 0 || now < s.pulseOrigin) return;
  const auto due = static_cast<std::uint64_t>(seconds(now - s.pulseOrigin) * s.pulseRate);
  if (due > s.pulsesGenerated + kMaxPendingPulses) s.pulsesGenerated = due - kMaxPendingPulses;
  while (s.pulsesGenerated < due) {
    ++s.pulsesGenerated;
    firePulse(camera,
              s.pulseOrigin + duration(static_cast<double>(s.pulsesGenerated) / s.pulseRate));
  }
}

std::shared_ptr<Camera> Bus::sourceOf(const Engine& engine) {
  if (engine.adapter == 0 || engine.adapter > adapters_.size()) return nullptr;
  for (const auto& camera : adapters_[engine.adapter - 1])
    if (camera->plugged && camera->stream.exists && camera->stream.channel == engine.channel)
      return camera;
  return nullptr;
}

CvStatus Bus::nextFrame(void** image, CvEngineHandle handle, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> engine = engineOf(handle);
  if (!engine) return kInvalidHandle;
  if (image == nullptr) return kInvalidArgument;
  if (engine->busy) return kBusy;
  // Cleared on every return, all of which hold the lock.
  struct Waiting {
    Engine& e;
    ~Waiting() { e.waiting = false; }
  } waiting{*engine};
  engine->waiting = true;
  const Clock::time_point deadline = Clock::now() + duration(timeoutMs / 1000.0 * timeoutScale_);
  for (;;) {
    if (engines_.count(key(handle)) == 0) return kInvalidHandle;
    if (!engine->started) return kNotStarted;
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> nextEvent;
    std::shared_ptr<Camera> camera = sourceOf(*engine);
    if (camera) {
      advancePulses(*camera, now);
      Stream& s = camera->stream;
      if (engine->epoch != s.epoch || engine->nextSeq < s.firstSeq) {
        // A new stream: take its frames from the later of its start and ours.
        engine->epoch = s.epoch;
        engine->nextSeq = s.firstSeq;
        if (!s.triggered && !s.freeRunning && engine->startTime > s.start)
          engine->nextSeq +=
              static_cast<std::uint64_t>(seconds(engine->startTime - s.start) / s.format.period);
      }
      std::optional<std::uint64_t> seq;
      Clock::time_point completion = now;
      if (s.freeRunning) {
        if (camera->running || s.finishedAtStop > 0) {
          if (!camera->running) --s.finishedAtStop;
          seq = camera->nextSeq++;
          engine->nextSeq = *seq + 1;
        }
      } else if (s.triggered) {
        while (!s.pulses.empty() && (s.pulses.front().first < engine->nextSeq ||
                                     s.pulses.front().second < engine->startTime)) {
          engine->nextSeq = std::max(engine->nextSeq, s.pulses.front().first + 1);
          s.pulses.pop_front();
        }
        if (!s.pulses.empty()) {
          seq = s.pulses.front().first;
          completion = s.pulses.front().second;
          engine->lost += *seq - engine->nextSeq;
          s.pulses.pop_front();
        } else if (camera->running && s.pulseRate > 0) {
          nextEvent =
              s.pulseOrigin + duration(static_cast<double>(s.pulsesGenerated + 1) / s.pulseRate);
        }
      } else {
        const std::uint64_t done = completedBy(*camera, now);
        const std::uint64_t end = s.firstSeq + done;  // one past the last completed frame
        if (end > engine->nextSeq + kRingFrames) {
          engine->lost += end - kRingFrames - engine->nextSeq;
          engine->nextSeq = end - kRingFrames;
        }
        if (engine->nextSeq < end) {
          seq = engine->nextSeq;
          completion =
              s.start + duration(static_cast<double>(*seq - s.firstSeq + 1) * s.format.period);
          if (s.stopped) completion = std::min(completion, s.stopTime);
        } else if (camera->running) {
          nextEvent = s.start + duration(static_cast<double>(engine->nextSeq - s.firstSeq + 1) *
                                         s.format.period);
        }
      }
      if (seq && camera->quirks.nullImages) {
        engine->nextSeq = *seq + 1;
        ++engine->withoutImage;
        *image = nullptr;
        return kOk;
      }
      if (seq) {
        engine->nextSeq = *seq + 1;
        const StreamFormat format = s.format;
        const SceneAdjust adjust = camera->sceneAdjust();
        engine->busy = true;
        lock.unlock();
        const std::uint8_t* data =
            engine->renderer.frame(format, adjust, static_cast<std::uint32_t>(*seq));
        lock.lock();
        engine->busy = false;
        engine->delivered++;
        engine->lastSeq = static_cast<std::uint32_t>(*seq);
        engine->lastCompletion = seconds(completion - kEpoch);
        *image = const_cast<std::uint8_t*>(data);
        return kOk;
      }
    }
    if (now >= deadline) return kTimeout;
    // A sleeping thread wakes late by the scheduler's slack; a frame due within
    // the spin window is waited for by yielding, as a completion interrupt would.
    if (nextEvent && *nextEvent <= deadline && *nextEvent - now <= kSpinWindow) {
      lock.unlock();
      while (Clock::now() < *nextEvent) std::this_thread::yield();
      lock.lock();
      continue;
    }
    const Clock::time_point wake =
        nextEvent ? std::min(*nextEvent - kSpinWindow, deadline) : deadline;
    changed_.wait_until(lock, wake);
  }
}

// ---- Control -----------------------------------------------------------------------------

std::shared_ptr<Camera> Bus::cameraById(std::uint64_t id) {
  for (const auto& adapter : adapters_)
    for (const auto& camera : adapter)
      if (camera->desc().id == id) return camera;
  return nullptr;
}

bool Bus::pulse(std::uint64_t cameraId, int source) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  if (!camera) return false;
  if (source < 0 || static_cast<std::uint32_t>(source) == camera->triggerSource()) {
    firePulse(*camera, Clock::now());
    changed_.notify_all();
  }
  return true;
}

bool Bus::setPulseRate(std::uint64_t cameraId, double hertz) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  if (!camera || !(hertz >= 0) || !std::isfinite(hertz)) return false;
  Stream& s = camera->stream;
  s.pulseRate = hertz;
  s.pulseOrigin = Clock::now();
  s.pulsesGenerated = 0;
  changed_.notify_all();
  return true;
}

bool Bus::setPlugged(std::uint64_t cameraId, bool plugged) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  if (!camera) return false;
  if (!plugged && camera->plugged) {
    stopStream(*camera, Clock::now());
    camera->stream = Stream{};
    // Handles of an unplugged camera stay dead; their channels go back to the bus.
    for (auto& [k, h] : handles_) {
      if (h.camera != camera) continue;
      h.dead = true;
      if (h.channel == 255) continue;
      channelsInUse_[h.adapter - 1] &= ~(std::uint64_t{1} << h.channel);
      h.channel = 255;
    }
    camera->channel = 255;
  }
  camera->plugged = plugged;
  changed_.notify_all();
  return true;
}

bool Bus::readCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  return camera && camera->readCsr(offset, value) == kOk;
}

bool Bus::readFeature(std::uint64_t cameraId, const std::string& name, FeatureState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  return camera && camera->feature(name, state);
}

bool Bus::readCamera(std::uint64_t cameraId, CameraState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  if (!camera) return false;
  advancePulses(*camera, Clock::now());
  state.plugged = camera->plugged;
  state.running = camera->running;
  state.triggered = camera->stream.exists && camera->stream.triggered;
  state.openHandles = camera->openHandles;
  state.channel = camera->channel;
  state.coding = camera->stream.format.coding;
  state.width = camera->stream.format.width;
  state.height = camera->stream.format.height;
  state.frameBytes = camera->stream.format.bytes;
  const Stream& s = camera->stream;
  state.framesCompleted = s.exists && !s.triggered && !s.freeRunning
                              ? s.firstSeq + completedBy(*camera, Clock::now())
                              : camera->nextSeq;
  return true;
}

Resources Bus::resources() {
  std::lock_guard<std::mutex> lock(mutex_);
  Resources r;
  r.openHandles = static_cast<std::uint32_t>(handles_.size());
  for (std::uint64_t used : channelsInUse_)
    r.reservedChannels += static_cast<std::uint32_t>(std::popcount(used));
  r.engines = static_cast<std::uint32_t>(engines_.size());
  for (const auto& adapter : adapters_)
    for (const auto& camera : adapter) r.runningCameras += camera->running ? 1 : 0;
  for (std::uint32_t units : bandwidthInUse_) r.bandwidthUnitsInUse += units;
  r.initialized = initCount_ > 0;
  return r;
}

bool Bus::readEngine(CvEngineHandle handle, EngineStats& stats) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> e = engineOf(handle);
  if (!e) return false;
  stats.started = e->started;
  stats.dualPacket = e->dualPacket;
  stats.waiting = e->waiting;
  stats.framesDelivered = e->delivered;
  stats.framesLost = e->lost;
  stats.framesWithoutImage = e->withoutImage;
  stats.lastSequence = e->lastSeq;
  stats.lastCompletion = e->lastCompletion;
  return true;
}

std::vector<CvEngineHandle> Bus::engineList() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CvEngineHandle> list;
  for (const auto& [k, e] : engines_) list.push_back(reinterpret_cast<CvEngineHandle>(k));
  return list;
}

double busTime() {
  return seconds(Clock::now() - kEpoch);
}

}  // namespace sim
