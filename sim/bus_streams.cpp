// The virtual bus's isochronous side: receive engines, camera streams (started
// by CvStartCamera or by the camera's own ISO_EN register) and frame delivery.
#include <algorithm>
#include <cmath>
#include <thread>

#include "bus.h"
#include "iidc.h"

namespace sim {
namespace {

constexpr std::size_t kMaxPendingPulses = 64;
constexpr auto kSpinWindow = std::chrono::microseconds(250);

}  // namespace

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
  signalChange();
  return kOk;
}

CvStatus Bus::stopEngine(CvEngineHandle engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Engine> e = engineOf(engine);
  if (!e) return kInvalidHandle;
  if (!e->started) return kNotStarted;
  e->started = false;
  signalChange();
  return kOk;
}

CvStatus Bus::deleteEngine(CvEngineHandle engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = engines_.find(key(engine));
  if (it == engines_.end()) return kInvalidHandle;
  it->second->started = false;
  engines_.erase(it);
  signalChange();
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
  if (camera.quirks.framesAcrossStart) {
    // The frame on its way is finished, and stays in the engines that receive it.
    const std::uint64_t seq = camera.nextSeq++;
    for (auto& [key, engine] : engines_)
      if (engine->started && engine->adapter == s.adapter && engine->channel == s.channel)
        engine->kept.push_back(seq);
  } else if (camera.quirks.framesAfterStop) {
    // The frame on its way when the stop came is finished and kept.
    if (s.triggered) {
      s.pulses.emplace_back(camera.nextSeq++, when);
    } else {
      s.finishedAtStop = 1;
      if (!s.freeRunning) ++camera.nextSeq;
    }
  }
  camera.setRunning(false);
  bandwidthInUse_[s.adapter - 1] -= s.format.bandwidthUnits;
  signalChange();
}

CvStatus Bus::startCamera(CvCameraHandle handle, const CameraStartupRecord* startup) {
  std::lock_guard<std::mutex> lock(mutex_);
  CvStatus status;
  HandleRecord* h = handleOf(handle, status);
  if (h == nullptr) return status;
  if (startup == nullptr) return kInvalidArgument;
  Camera& camera = *h->camera;
  if (camera.running) return kBusy;
  if (startup->tag != CV_CAMERA_STARTUP_TAG) return kBadRecord;
  if (startup->formatNumber == 7 &&
      (startup->image == nullptr || startup->image->tag != CV_FORMAT7_IMAGE_TAG))
    return kBadRecord;
  if (startup->channel >= iidc::kChannels) return kInvalidArgument;
  // As the library does: the record goes to the camera's registers, then ISO_EN.
  if (CvStatus s = camera.applyStartup(*startup)) return s;
  return startStream(*h, 0);
}

CvStatus Bus::startStream(HandleRecord& h, std::uint32_t shots) {
  Camera& camera = *h.camera;
  StreamFormat format;
  if (CvStatus s = camera.streamFormat(format)) return s;
  const bool triggered = camera.triggerEnabled();
  // One-shot and multi-shot frames of a triggered camera come with its pulses.
  if (shots > 0 && triggered) return kOk;
  std::uint32_t& used = bandwidthInUse_[h.adapter - 1];
  // A shot stream ends by itself: its bandwidth is not kept.
  if (shots == 0) {
    if (used + otherTraffic_[h.adapter - 1] + format.bandwidthUnits > iidc::kUnitsPerCycle)
      return kNoBandwidth;
    used += format.bandwidthUnits;
  }
  Stream& s = camera.stream;
  const double pulseRate = s.pulseRate;
  const Clock::time_point pulseOrigin = s.pulseOrigin;
  const std::uint64_t pulsesGenerated = s.pulsesGenerated;
  s = Stream{};
  s.exists = true;
  s.triggered = triggered;
  s.freeRunning = freeRunning_ && !s.triggered;
  s.channel = camera.registers().isoChannel();
  s.adapter = h.adapter;
  s.format = format;
  s.start = Clock::now();
  s.firstSeq = camera.nextSeq;
  s.pulseRate = pulseRate;
  s.pulseOrigin = pulseOrigin;
  s.pulsesGenerated = pulsesGenerated;
  s.stopTime = s.start;
  s.epoch = nextEpoch_++;
  s.shots = shots;
  if (shots > 0) {
    // Already stopped: its frames complete until the last one is sent.
    s.stopped = true;
    s.stopTime = s.start + duration((shots + 0.5) * format.period);
    if (s.freeRunning) s.finishedAtStop = shots;
    camera.nextSeq += s.freeRunning ? 0 : shots;
  } else {
    camera.setRunning(true);
  }
  signalChange();
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
  // A pulse while the last frame is still being sent (its packets take the
  // format's period) starts nothing: the camera does not overlap its triggers.
  if (s.sending && when - *s.sending < duration(s.format.period)) {
    ++s.pulsesIgnored;
    return;
  }
  s.sending = when;
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
  bool hookTimedOut = false;
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
      if (!engine->kept.empty()) {
        // Kept across a start: handed out before anything of the new stream.
        seq = engine->kept.front();
        engine->kept.pop_front();
      } else if (s.freeRunning) {
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
        } else if (camera->running || (s.shots > 0 && now < s.stopTime)) {
          // A shot stream sends on after ISO_EN was never set.
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
        engine->sourceId = camera->desc().id;
        if (engine->lost > (engine->losses.empty() ? 0 : engine->losses.back().second))
          engine->losses.emplace_back(engine->delivered, engine->lost);
        engine->lastSeq = static_cast<std::uint32_t>(*seq);
        engine->lastCompletion = seconds(completion - kBusEpoch);
        *image = const_cast<std::uint8_t*>(data);
        return kOk;
      }
    }
    if (FrameWaitHook hook = waitHook_.load()) {
      // Waited for where the hook says, and for as long: its clock, not ours.
      if (hookTimedOut) return kTimeout;
      struct Seen {
        const std::atomic<std::uint64_t>* changes;
        std::uint64_t seen;
      } seen{&changes_, changes_.load()};
      lock.unlock();
      hookTimedOut = !hook(
          [](const void* arg) {
            const auto* s = static_cast<const Seen*>(arg);
            return s->changes->load() != s->seen;
          },
          &seen, static_cast<std::uint32_t>(timeoutMs * timeoutScale_));
      lock.lock();
      continue;
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

}  // namespace sim
