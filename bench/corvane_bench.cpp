// corvane-bench: the adaptor's speed, each figure beside its baseline in the
// same run. Prints a table, or with --json one JSON document.
//
//   corvane-bench [--json] [--seconds S] [CASE...]
//   cases: frames latency buses discovery properties stop allocations
//   corvane-bench [--json] soak [--minutes N] [--seed S] [--fault-rate R] [--quirk-rate Q]
//   corvane-bench [--json] reset [--cycles N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "acquisition.h"
#include "bl1394.h"
#include "control.h"
#include "kit.h"
#include "process_figures.h"
#include "reset.h"
#include "session.h"
#include "soak.h"
#include "table.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
  return v[i];
}

sim::CameraDesc camera(std::uint64_t id, std::uint8_t speed, sim::Format7ModeDesc mode) {
  sim::CameraDesc c;
  c.id = id;
  c.model = "Bench";
  c.number = static_cast<std::uint32_t>(id);
  c.speed = speed;
  c.format7 = {mode};
  sim::FeatureDesc gain;
  gain.name = "Gain";
  gain.maxValue = 680;
  c.features = {gain};
  return c;
}

// Adapters of cameras that set every inquiry bit (280 formats each).
sim::BusDesc fullBus(int adapters, int each) {
  sim::BusDesc bus;
  for (int a = 0; a < adapters; ++a) {
    bus.adapters.emplace_back();
    for (int i = 0; i < each; ++i)
      bus.adapters.back().push_back(
          sim::everyFormatCamera(static_cast<std::uint64_t>(a * 100 + i + 1)));
  }
  return bus;
}

// Drains an engine's frame memory on its own thread, as a host's user does,
// in batches every millisecond so that it does not wake for every frame.
class Drain {
 public:
  explicit Drain(host::Engine& engine)
      : thread_([this, &engine] {
          host::Frame frame;
          while (!stop_) {
            while (engine.takeFrame(frame, 0)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          while (engine.takeFrame(frame, 0)) {
          }
        }) {}
  ~Drain() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Bench {
  double seconds = 1.0;
  std::string modulePath = host::Module::defaultPath();

  // Starts a session on a bus; every case installs its own.
  bool start(host::Session& session, const sim::BusDesc& bus) {
    sim::installBus(bus);
    std::string error;
    if (!session.start(modulePath, error)) {
      std::fprintf(stderr, "corvane-bench: %s\n", error.c_str());
      return false;
    }
    session.discover();
    return true;
  }

  // frames: through the module against a plain loop of the same host calls,
  // in alternating slices so that both see the same machine.
  json frames() {
    struct Case {
      const char* name;
      std::uint16_t width, height;
      std::uint32_t coding;
    } cases[] = {{"160x120 Mono8", 160, 120, 0},
                 {"640x480 Mono8", 640, 480, 0},
                 {"1280x960 RGB8", 1280, 960, 4}};
    json out = json::array();
    for (const Case& c : cases) {
      // Camera 1 streams to the adaptor, camera 2 to the baseline loop.
      sim::BusDesc bus;
      bus.adapters = {{camera(1, kCvS800, {0, c.width, c.height, 8, 2, 0, 0, {c.coding}, 8192})},
                      {camera(2, kCvS800, {0, c.width, c.height, 8, 2, 0, 0, {c.coding}, 8192})}};
      host::Session session;
      if (!start(session, bus)) return out;
      sim::setFreeRunning(true);
      std::string error;
      auto input = host::VideoInput::create(session, "1", "", error);
      auto other = host::VideoInput::create(session, "2", "", error);  // the baseline's host engine
      input->settings.framesPerTrigger = 0;
      input->open(error);
      host::Engine& engine = other->engine();
      host::AdaptorManager& manager = other->manager();
      CvCameraHandle handle = nullptr;
      const std::uint64_t id = 2;
      CvOpenCameraHandleEx(2, &handle, &id);
      std::uint8_t channel = 0;
      CvGetAvailableIsoChannel(handle, &channel);
      Format7ImageRecord image{};
      image.tag = CV_FORMAT7_IMAGE_TAG;
      image.width = c.width;
      image.height = c.height;
      image.colorCoding = c.coding;
      CameraStartupRecord startup{};
      startup.tag = CV_CAMERA_STARTUP_TAG;
      startup.formatNumber = 7;
      startup.frameRate = -1;
      startup.channel = channel;
      startup.flag = 1;
      startup.speed = kCvS800;
      startup.image = &image;
      CvEngineHandle receive = nullptr;
      CvCreateIsochReceiveEngine(&receive);
      CvStartIsochReceiveEngine(receive, &startup, 2);
      CvStartCamera(handle, &startup);
      manager.arm(other->settings);
      manager.setAcquiring(true);
      const std::uint32_t type = input->adaptor().getFrameType();
      auto baseline = [&](double duration) {
        std::uint64_t n = 0;
        const auto t0 = Clock::now();
        do {
          for (int k = 0; k < 16; ++k) {
            void* data = nullptr;
            if (CvGetNextCompleteFrame(&data, receive, 2000) != 0) continue;
            IFrameBuffer* frame = engine.newFrame(type, c.width, c.height);
            if (frame != nullptr) {
              frame->setImage(data, c.width, c.height, 0, 0);
              frame->setTime(getCurrentTime());
              engine.deliverFrame(frame);
              ++n;
            }
            manager.countFrame();
          }
        } while (secondsSince(t0) < duration);
        return static_cast<double>(n) / secondsSince(t0);
      };
      auto adaptor = [&](double duration) {
        input->start(error);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::uint64_t before = input->engine().framesDelivered();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(duration));
        const double fps =
            static_cast<double>(input->engine().framesDelivered() - before) / secondsSince(t0);
        input->stop();
        return fps;
      };
      std::vector<double> adaptorRuns, baselineRuns;
      {
        Drain drainAdaptor(input->engine());
        Drain drainBaseline(engine);
        adaptor(0.1);  // warm: every scene phase rendered, every buffer made
        baseline(0.1);
        const int slices = std::max(5, static_cast<int>(seconds / 0.2));
        for (int i = 0; i < slices; ++i) {
          adaptorRuns.push_back(adaptor(seconds / slices));
          baselineRuns.push_back(baseline(seconds / slices));
        }
      }
      manager.setAcquiring(false);
      manager.disarm();
      CvStopCamera(handle);
      CvDeleteIsochReceiveEngine(receive);
      CvCloseCameraHandle(handle);
      input->close();
      sim::setFreeRunning(false);
      const double adaptorFps = percentile(adaptorRuns, 0.5),
                   baselineFps = percentile(baselineRuns, 0.5);
      out.push_back({{"format", c.name},
                     {"adaptor_fps", adaptorFps},
                     {"baseline_fps", baselineFps},
                     {"ratio", baselineFps > 0 ? adaptorFps / baselineFps : 0.0}});
    }
    return out;
  }

  // latency: from a frame's completion on the bus to deliverFrame, at 60 fps.
  json latency() {
    sim::BusDesc bus = sim::defaultBus();
    host::Session session;
    if (!start(session, bus)) return {};
    std::string error;
    auto input = host::VideoInput::create(session, "1", "640X480 Mono8 60 FPS", error);
    input->settings.framesPerTrigger = 0;
    input->open(error);
    const CvEngineHandle receive = sim::engines().front();
    std::vector<double> samples;
    samples.reserve(4096);
    std::mutex mutex;
    input->engine().setDeliverHook([&] {
      sim::EngineStats stats;
      sim::readEngine(receive, stats);
      const double us = (sim::busTime() - stats.lastCompletion) * 1e6;
      std::lock_guard<std::mutex> lock(mutex);
      samples.push_back(us);
    });
    {
      Drain drain(input->engine());
      input->start(error);
      std::this_thread::sleep_for(std::chrono::duration<double>(std::max(seconds, 0.5) * 5));
      input->stop();
    }
    input->engine().setDeliverHook(nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    // The first frames render the scene's phases; they are not the steady state.
    if (samples.size() > 16) samples.erase(samples.begin(), samples.begin() + 8);
    return {{"frames", samples.size()},
            {"median_us", percentile(samples, 0.5)},
            {"p99_us", percentile(samples, 0.99)},
            {"max_us", samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end())}};
  }

  // buses: four cameras, each filling an S800 bus, all streaming at once.
  json buses() {
    sim::BusDesc bus;
    for (std::uint64_t a = 1; a <= 4; ++a)
      bus.adapters.push_back({camera(a, kCvS800, {0, 1280, 960, 8, 2, 0, 0, {0}, 8192})});
    host::Session session;
    if (!start(session, bus)) return {};
    std::string error;
    std::vector<std::unique_ptr<host::VideoInput>> inputs;
    std::vector<std::unique_ptr<Drain>> drains;
    for (int d = 1; d <= 4; ++d) {
      inputs.push_back(host::VideoInput::create(session, std::to_string(d), "", error));
      inputs.back()->settings.framesPerTrigger = 0;
      inputs.back()->open(error);
      drains.push_back(std::make_unique<Drain>(inputs.back()->engine()));
    }
    for (auto& input : inputs) input->start(error);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<std::uint64_t> sentBefore, deliveredBefore, lostBefore;
    const std::vector<CvEngineHandle> receivers = sim::engines();
    for (std::size_t i = 0; i < 4; ++i) {
      sim::CameraState state;
      sim::readCamera(i + 1, state);
      sim::EngineStats stats;
      sim::readEngine(receivers[i], stats);
      sentBefore.push_back(state.framesCompleted);
      deliveredBefore.push_back(inputs[i]->engine().framesDelivered());
      lostBefore.push_back(stats.framesLost);
    }
    const std::clock_t cpu0 = std::clock();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(seconds, 0.5) * 3));
    const double wall = secondsSince(t0);
    const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    std::uint64_t sent = 0, delivered = 0, lost = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      sim::CameraState state;
      sim::readCamera(i + 1, state);
      sim::EngineStats stats;
      sim::readEngine(receivers[i], stats);
      sent += state.framesCompleted - sentBefore[i];
      delivered += inputs[i]->engine().framesDelivered() - deliveredBefore[i];
      lost += stats.framesLost - lostBefore[i];
    }
    for (auto& input : inputs) input->stop();
    drains.clear();
    inputs.clear();
    const double megabytes = static_cast<double>(sent) * 1280 * 960 / 1e6 / wall;
    return {{"cameras", 4},
            {"seconds", wall},
            {"frames_sent", sent},
            {"frames_delivered", delivered},
            {"frames_lost", lost},
            {"megabytes_per_second", megabytes},
            {"cpu_seconds_per_second", cpu / wall}};
  }

  // discovery: time per camera for a small and a full bus.
  json discovery() {
    auto perCamera = [&](int adapters, int each) {
      host::Session session;
      if (!start(session, fullBus(adapters, each))) return 0.0;
      std::vector<double> runs;
      const auto t0 = Clock::now();
      do {
        const auto t = Clock::now();
        session.discover();
        runs.push_back(secondsSince(t) * 1e6 / (adapters * each));
        session.release();
      } while (secondsSince(t0) < seconds || runs.size() < 3);
      return percentile(runs, 0.5);
    };
    const double small = perCamera(1, 8), large = perCamera(4, 62);
    return {{"cameras_small", 8},
            {"us_per_camera_small", small},
            {"cameras_large", 248},
            {"us_per_camera_large", large},
            {"ratio", small > 0 ? large / small : 0.0}};
  }

  // properties: a read through the host answered from the cache, against one
  // that asks the camera.
  json properties() {
    host::Session session;
    sim::BusDesc bus;
    bus.adapters = {{camera(1, kCvS400, {0, 640, 480, 8, 2, 0, 0, {0}, 2048})}};
    if (!start(session, bus)) return {};
    std::string error;
    auto input = host::VideoInput::create(session, "1", "", error);
    host::PropertyValue value;
    input->properties().read("Gain_Value", value, error);
    auto timeReads = [&](auto read) {
      const int n = 200000;
      const auto t0 = Clock::now();
      for (int i = 0; i < n; ++i) read();
      return secondsSince(t0) * 1e9 / n;
    };
    sim::setCallLog(true);
    sim::clearCallLog();
    const double cached = timeReads([&] { input->properties().read("Gain_Value", value, error); });
    const double cachedCalls = static_cast<double>(sim::callLog().size()) / 200000;
    sim::setCallLog(false);
    CvCameraHandle handle = nullptr;
    const std::uint64_t id = 1;
    CvOpenCameraHandleEx(1, &handle, &id);
    FeatureControlRecord record;
    const double uncached = timeReads([&] {
      CvQueryCameraRegister(handle, 0x00082008, &record, sizeof record);
      value.integer = static_cast<std::int32_t>(record.value & 0xFFFF);
    });
    CvCloseCameraHandle(handle);
    return {{"cached_ns", cached},
            {"cached_library_calls", cachedCalls},
            {"uncached_ns", uncached},
            {"uncached_library_calls", 1}};
  }

  // stop: how long stopCapture takes while streaming at 30 fps.
  json stop() {
    host::Session session;
    if (!start(session, sim::defaultBus())) return {};
    std::string error;
    auto input = host::VideoInput::create(session, "1", "640X480 Mono8 30 FPS", error);
    input->settings.framesPerTrigger = 0;
    input->open(error);
    Drain drain(input->engine());
    std::vector<double> ms;
    const int rounds = std::max(8, static_cast<int>(seconds * 12));
    for (int i = 0; i < rounds; ++i) {
      input->start(error);
      std::this_thread::sleep_for(std::chrono::milliseconds(40 + (i * 7) % 33));
      const auto t0 = Clock::now();
      input->stop();
      ms.push_back(secondsSince(t0) * 1e3);
    }
    return {{"rounds", ms.size()},
            {"median_ms", percentile(ms, 0.5)},
            {"max_ms", *std::max_element(ms.begin(), ms.end())},
            {"frame_period_ms", 1000.0 / 30}};
  }

  // discover: one discovery of a bus of cameras with 280 formats each, for
  // counting instructions per camera under callgrind.
  json discoverOnce(int adapters, int each) {
    const sim::BusDesc bus = fullBus(adapters, each);
    host::Session session;
    if (!start(session, bus)) return {};
    return {{"cameras", session.hardware().devices().size()}};
  }

  // loop: a fixed number of 640x480 Mono8 frames through the module, for
  // counting instructions per frame under callgrind.
  json loop(std::uint32_t count) {
    host::Session session;
    sim::BusDesc bus;
    bus.adapters = {{camera(1, kCvS800, {0, 640, 480, 8, 2, 0, 0, {0}, 8192})}};
    if (!start(session, bus)) return {};
    sim::setFreeRunning(true);
    std::string error;
    auto input = host::VideoInput::create(session, "1", "", error);
    input->settings.framesPerTrigger = count;
    input->open(error);
    {
      Drain drain(input->engine());
      input->start(error);
      input->waitAndStop(600.0);
    }
    input->close();
    sim::setFreeRunning(false);
    return {{"frames", input->manager().framesCounted()}};
  }

  // allocations: what the per-frame path allocates in steady state.
  json allocationsPerFrame() {
    host::Session session;
    sim::BusDesc bus;
    bus.adapters = {{camera(1, kCvS800, {0, 640, 480, 8, 2, 0, 0, {0}, 8192})}};
    if (!start(session, bus)) return {};
    sim::setFreeRunning(true);
    std::string error;
    auto input = host::VideoInput::create(session, "1", "", error);
    input->settings.framesPerTrigger = 0;
    input->open(error);
    input->engine().setMemoryLimit(64);
    // No drain: frames stay in memory up to the limit, then the host has no buffer;
    // taking one frame at a time keeps the pool in use without the user's allocations.
    std::atomic<bool> done{false};
    std::thread taker([&] {
      host::Frame frame;
      frame.data.reserve(640 * 480);
      while (!done) input->engine().takeFrame(frame, 0.05);
    });
    input->start(error);
    // Steady once the host's frame memory is full: until then it makes buffers.
    const auto warm = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (input->engine().buffersMade() < 64 && std::chrono::steady_clock::now() < warm)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t frames0 = input->manager().framesCounted();
    const std::uint64_t new0 = bench::allocationsMade();
    const std::size_t kit0 = kit::accounting().totalAllocations;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t frames = input->manager().framesCounted() - frames0;
    const std::uint64_t news = bench::allocationsMade() - new0;
    const std::size_t kits = kit::accounting().totalAllocations - kit0;
    done = true;
    taker.join();
    input->stop();
    sim::setFreeRunning(false);
    return {{"frames", frames},
            {"operator_new_per_frame", frames ? static_cast<double>(news) / frames : 0.0},
            {"imaqmalloc_per_frame", frames ? static_cast<double>(kits) / frames : 0.0}};
  }
};

}  // namespace

int main(int argc, char** argv) {
  Bench bench;
  soak::Options soakOptions;
  reset::Options resetOptions;
  bool json = false;
  std::vector<std::string> cases;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--seconds" && i + 1 < argc) {
      bench.seconds = std::atof(argv[++i]);
      if (!(bench.seconds > 0)) {
        std::fprintf(stderr, "corvane-bench: --seconds takes a time above 0\n");
        return 2;
      }
    } else if (a == "--module" && i + 1 < argc) {
      bench.modulePath = argv[++i];
    } else if (a == "--minutes" && i + 1 < argc) {
      soakOptions.minutes = std::atof(argv[++i]);
      if (!(soakOptions.minutes > 0)) {
        std::fprintf(stderr, "corvane-bench: --minutes takes a time above 0\n");
        return 2;
      }
    } else if (a == "--cycles" && i + 1 < argc) {
      const long cycles = std::atol(argv[++i]);
      if (cycles < 2 || cycles > 100000) {
        std::fprintf(stderr, "corvane-bench: --cycles takes a count from 2 to 100000\n");
        return 2;
      }
      resetOptions.cycles = static_cast<std::uint32_t>(cycles);
      resetOptions.warmup = std::min<std::uint32_t>(resetOptions.warmup, resetOptions.cycles / 2);
    } else if (a == "--seed" && i + 1 < argc) {
      soakOptions.seed = std::strtoull(argv[++i], nullptr, 0);
    } else if (a == "--fault-rate" && i + 1 < argc) {
      soakOptions.faultRate = std::atof(argv[++i]);
      if (!(soakOptions.faultRate >= 0 && soakOptions.faultRate < 1)) {
        std::fprintf(stderr, "corvane-bench: --fault-rate takes a rate from 0 to below 1\n");
        return 2;
      }
    } else if (a == "--quirk-rate" && i + 1 < argc) {
      soakOptions.quirkRate = std::atof(argv[++i]);
      if (!(soakOptions.quirkRate >= 0 && soakOptions.quirkRate <= 1)) {
        std::fprintf(stderr, "corvane-bench: --quirk-rate takes a rate from 0 to 1\n");
        return 2;
      }
    } else if (a == "--help") {
      std::puts(
          "usage: corvane-bench [--json] [--seconds S] [--module PATH] "
          "[frames|latency|buses|discovery|properties|stop|allocations|loop=N]...\n"
          "       corvane-bench [--json] [--module PATH] soak [--minutes N] [--seed S] "
          "[--fault-rate R] [--quirk-rate Q]\n"
          "       corvane-bench [--json] [--module PATH] reset [--cycles N]");
      return 0;
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "corvane-bench: unknown option '%s'\n", a.c_str());
      return 2;
    } else {
      cases.push_back(a);
    }
  }
  const std::vector<std::string> all = {"frames",     "latency", "buses",      "discovery",
                                        "properties", "stop",    "allocations"};
  if (cases.empty()) cases = all;
  kit::setReportEcho(false);
  // The long runs go alone: their figures, and ok or not as the status.
  const auto longRun = [&](const char* name, const auto& run, const auto& print) -> int {
    if (cases.size() != 1) {
      std::fprintf(stderr, "corvane-bench: %s runs alone\n", name);
      return 2;
    }
    const nlohmann::json figures = run();
    if (json)
      std::printf("%s\n", figures.dump(2).c_str());
    else
      print(figures);
    return figures.value("ok", false) ? 0 : 1;
  };
  if (std::find(cases.begin(), cases.end(), "reset") != cases.end()) {
    resetOptions.modulePath = bench.modulePath;
    return longRun(
        "reset", [&] { return reset::run(resetOptions); }, reset::print);
  }
  if (std::find(cases.begin(), cases.end(), "soak") != cases.end()) {
    soakOptions.modulePath = bench.modulePath;
    std::fprintf(stderr, "corvane-bench soak: seed %llu (repeat with --seed %llu)\n",
                 static_cast<unsigned long long>(soakOptions.seed),
                 static_cast<unsigned long long>(soakOptions.seed));
    return longRun(
        "soak", [&] { return soak::run(soakOptions); }, soak::print);
  }
  nlohmann::json results;
  for (const std::string& c : cases) {
    if (c == "frames")
      results["frames"] = {{"cases", bench.frames()}};
    else if (c == "latency")
      results["latency"] = bench.latency();
    else if (c == "buses")
      results["buses"] = bench.buses();
    else if (c == "discovery")
      results["discovery"] = bench.discovery();
    else if (c == "properties")
      results["properties"] = bench.properties();
    else if (c == "stop")
      results["stop"] = bench.stop();
    else if (c == "allocations")
      results["allocations"] = bench.allocationsPerFrame();
    else if (c == "discover=8")
      results["discover"] = bench.discoverOnce(1, 8);
    else if (c == "discover=248")
      results["discover"] = bench.discoverOnce(4, 62);
    else if (c.rfind("loop=", 0) == 0)
      results["loop"] = bench.loop(static_cast<std::uint32_t>(std::atoi(c.c_str() + 5)));
    else {
      std::fprintf(stderr, "corvane-bench: unknown case '%s'\n", c.c_str());
      return 2;
    }
  }
  if (json)
    std::printf("%s\n", results.dump(2).c_str());
  else
    bench::printTable(results);
  return 0;
}
