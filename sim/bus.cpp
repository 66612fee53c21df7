#include "bus.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "iidc.h"

namespace sim {

const Clock::time_point kBusEpoch = Clock::now();

namespace {

constexpr std::size_t kMaxLogEntries = 200000;

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
  installStartupBus();
}

std::string Bus::startupError() {
  std::lock_guard<std::mutex> lock(mutex_);
  startupErrorTaken_ = true;
  return startupError_;
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
  startupError_.clear();
  libraryQuirks_ = desc.quirks;
  adapters_.clear();
  for (const auto& adapter : desc.adapters) {
    adapters_.emplace_back();
    for (const CameraDesc& camera : adapter)
      adapters_.back().push_back(std::make_shared<Camera>(camera));
  }
  channelsInUse_.assign(adapters_.size(), 0);
  bandwidthInUse_.assign(adapters_.size(), 0);
  otherTraffic_.assign(adapters_.size(), 0);
  for (std::size_t a = 0; a < desc.otherTraffic.size() && a < adapters_.size(); ++a)
    otherTraffic_[a] = desc.otherTraffic[a];
  handles_.clear();
  engines_.clear();
  signalChange();
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
  signalChange();
}

void Bus::setTimeoutScale(double scale) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeoutScale_ = scale > 0 ? scale : 1.0;
}

// ---- Library start, enumeration, handles ---------------------------------------------

CvStatus Bus::initialize() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++initCount_;
  // The library starts, without cameras, and says why.
  sayStartupError();
  return startupError_.empty() ? kOk : kBusNotRead;
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
  signalChange();
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
  return h->camera->readQuad(address, *value);
}

CvStatus Bus::writeQuad(CvCameraHandle handle, std::uint32_t address, std::uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  Camera& camera = *h->camera;
  RegisterSpace::Effect effect;
  if (CvStatus s = camera.writeQuad(address, value, effect)) return s;
  // What the camera does when its registers ask it to.
  const Clock::time_point now = Clock::now();
  switch (effect) {
    case RegisterSpace::Effect::kIsoOn:
      return camera.running ? kOk : startStream(*h, 0);
    case RegisterSpace::Effect::kIsoOff:
    case RegisterSpace::Effect::kInitialized:
      stopStream(camera, now);
      return kOk;
    case RegisterSpace::Effect::kShots:
      return camera.running ? kOk : startStream(*h, camera.registers().shotsAsked());
    case RegisterSpace::Effect::kSoftwareTrigger:
      if (camera.triggerSource() == 7) firePulse(camera, now);
      signalChange();
      return kOk;
    case RegisterSpace::Effect::kNone:
      break;
  }
  return kOk;
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
  // A handle holds at most one channel: asking again gives the same one. A
  // camera without 1394b can send on channels 0 to 15 only.
  if (h->channel == 255) {
    std::uint64_t& used = channelsInUse_[h->adapter - 1];
    for (std::uint8_t c = 0; c < iidc::kChannels && h->camera->canUseChannel(c); ++c) {
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
  return h->camera->applyStartup(*startup);
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
    signalChange();
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
  signalChange();
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
  signalChange();
  return true;
}

bool Bus::readCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  return camera && camera->readQuad(camera->desc().commandBase + offset, value) == kOk;
}

bool Bus::writeCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t value) {
  // Feature control (TRIGGER_MODE among them) and the absolute value blocks:
  // registers whose writes ask nothing of the camera beyond themselves.
  const bool control =
      offset >= iidc::kFeatureControl && offset < iidc::kFeatureControl + 4 * iidc::kFeatureSlots;
  const bool absolute = offset >= iidc::kAbsoluteBlocks && offset < iidc::kFormat7Blocks;
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Camera> camera = cameraById(cameraId);
  if (!camera || !(control || absolute)) return false;
  RegisterSpace::Effect effect;
  return camera->writeQuad(camera->desc().commandBase + offset, value, effect) == kOk;
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
  state.pulsesIgnored = s.pulsesIgnored;
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

bool Bus::lostBefore(std::uint64_t cameraId, std::uint64_t frame, std::uint64_t& lost) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> e;
  for (const auto& [k, engine] : engines_)  // oldest first: the newest wins
    if (engine->sourceId == cameraId) e = engine;
  if (!e || frame == 0 || frame > e->delivered) return false;
  auto& losses = e->losses;
  // The entry in force at frame is the last at or before it.
  auto after = std::upper_bound(losses.begin(), losses.end(), frame,
                                [](std::uint64_t f, const auto& entry) { return f < entry.first; });
  if (after == losses.begin()) {
    lost = 0;
    return true;
  }
  lost = std::prev(after)->second;
  losses.erase(losses.begin(), std::prev(after));
  return true;
}

std::vector<CvEngineHandle> Bus::engineList() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CvEngineHandle> list;
  for (const auto& [k, e] : engines_) list.push_back(reinterpret_cast<CvEngineHandle>(k));
  return list;
}

double busTime() {
  return seconds(Clock::now() - kBusEpoch);
}

}  // namespace sim
