// A long life of the module inside a host, compressed: the cameras of the
// default bus acquire in turn and all at once, two host threads read and write
// properties all the while, a camera on a hardware trigger takes pulses,
// cameras are unplugged and plugged back, library calls fail at random, and
// the library takes the freedoms a library may take, drawn at random.
// Every frame is accounted for, and what the process holds is read at the
// start and at the end.
#include "soak.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "acquisition.h"
#include "control.h"
#include "kit.h"
#include "pixel_layout.h"
#include "process_figures.h"
#include "session.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// Blocks the heap may hold more at the end than after the warm-up rounds: the
// library's containers settle at sizes that depend on the moment.
constexpr std::int64_t kHeapSlack = 8;

// ---- What the process holds --------------------------------------------------------

json processFigures() {
  json figures = bench::toJson(bench::readProcess());
  figures["kit_blocks"] = kit::accounting().liveBlocks;
  figures["kit_sections"] = kit::accounting().liveSections;
  return figures;
}

// ---- Frame accounting --------------------------------------------------------------

struct Frames {
  std::uint64_t sent = 0;          // completed by the cameras while acquiring
  std::uint64_t taken = 0;         // handed by the library to the module
  std::uint64_t counted = 0;       // counted by the host
  std::uint64_t delivered = 0;     // delivered to the host in a frame buffer
  std::uint64_t busLost = 0;       // dropped by the library's receive ring, and counted by it
  std::uint64_t withoutImage = 0;  // handed out by the library as a success without an image
  std::uint64_t gaps = 0;          // missing from the delivered sequence
  std::uint64_t unexplained = 0;   // gaps beyond the library's count, per acquisition
  std::uint64_t moduleLost = 0;    // taken by the module and never counted

  void add(const Frames& f) {
    sent += f.sent;
    taken += f.taken;
    counted += f.counted;
    delivered += f.delivered;
    busLost += f.busLost;
    withoutImage += f.withoutImage;
    gaps += f.gaps;
    unexplained += f.unexplained;
    moduleLost += f.moduleLost;
  }
};

// Takes an input's frames on its own thread as a host's user does, and notes
// the gaps in the cameras' sequence numbers.
class Drain {
 public:
  explicit Drain(host::Engine& engine)
      : thread_([this, &engine] {
          host::Frame frame;
          for (;;) {
            const bool stopping = stop_;
            while (engine.takeFrame(frame, stopping ? 0 : 0.02)) note(frame);
            if (stopping) break;
          }
        }) {}
  ~Drain() { finish(); }
  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::uint64_t gaps() const { return gaps_; }

 private:
  void note(const host::Frame& frame) {
    std::uint32_t seq = 0;
    if (!pixel::readSequence(frame.data.data(), frame.data.size(), seq)) return;
    if (seen_ && seq > last_ + 1) gaps_ += seq - last_ - 1;
    last_ = seq;
    seen_ = true;
  }
  std::atomic<bool> stop_{false};
  bool seen_ = false;
  std::uint32_t last_ = 0;
  std::uint64_t gaps_ = 0;
  std::thread thread_;
};

// One video input from open to close.
struct Acquisition {
  std::unique_ptr<host::VideoInput> input;
  std::uint64_t camera = 0;
  CvEngineHandle engine = nullptr;
  std::uint64_t completedBefore = 0;
  bool triggered = false;
  std::unique_ptr<Drain> drain;
};

std::uint64_t completed(std::uint64_t camera) {
  sim::CameraState state;
  return sim::readCamera(camera, state) ? state.framesCompleted : 0;
}

// ---- The life -----------------------------------------------------------------------

class Life {
 public:
  explicit Life(const Options& options) : options_(options), random_(options.seed) {}

  json run() {
    sim::installBus(sim::defaultBus());
    sim::setTimeoutScale(0.25);  // frame waits of 2000 ms last 500 ms
    kit::setReportEcho(false);
    kit::clearReports();
    kit::clearViolations();
    const json atStart = processFigures();
    std::string error;
    if (!session_.start(options_.modulePath, error)) return {{"ok", false}, {"error", error}};
    watchdog_ = std::thread([this] { watch(); });
    propertyThreads_.emplace_back([this] { turnProperties(options_.seed + 1); });
    propertyThreads_.emplace_back([this] { turnProperties(options_.seed + 2); });

    const auto end = Clock::now() + std::chrono::duration<double>(options_.minutes * 60.0);
    json warm;
    while (Clock::now() < end) {
      round(true);
      // Every camera has acquired alone and with the others by the sixth round.
      if (rounds_ == 6) warm = processFigures();
    }
    // A last round without faults: every camera once more, stopped for good.
    sim::setRandomFaults(0.0, 0);
    round(false);
    // Read as after the first round: the same threads of the soak itself run.
    const json atEnd = processFigures();
    if (warm.is_null()) warm = atEnd;

    finished_ = true;
    for (std::thread& t : propertyThreads_) t.join();
    watchdog_.join();
    session_.stop();
    const json stopped = processFigures();
    const sim::Resources left = sim::resources();
    sim::setTimeoutScale(1.0);

    const std::vector<std::string> violations = kit::violations();
    const bool leftNothing = left.openHandles == 0 && left.engines == 0 &&
                             left.reservedChannels == 0 && left.runningCameras == 0 &&
                             !left.initialized;
    // A leak of one block an acquisition would show here many times over.
    const std::int64_t heapGrowth =
        atEnd["heap_blocks"].get<std::int64_t>() - warm["heap_blocks"].get<std::int64_t>();
    const bool flat = heapGrowth <= kHeapSlack && atEnd["threads"] == warm["threads"] &&
                      atEnd[bench::handlesName()] == warm[bench::handlesName()] &&
                      stopped["kit_blocks"] == atStart["kit_blocks"] &&
                      stopped["kit_sections"] == atStart["kit_sections"];
    const bool ok = frames_.unexplained == 0 && frames_.moduleLost == 0 && violations.empty() &&
                    leftNothing && flat;
    return {
        {"ok", ok},
        {"seed", options_.seed},
        {"minutes", options_.minutes},
        {"fault_rate", options_.faultRate},
        {"quirk_rate", options_.quirkRate},
        {"quirks", quirkCounts()},
        {"rounds", rounds_},
        {"acquisitions", acquisitions_},
        {"refused", refused_},
        {"frames",
         {{"sent", frames_.sent},
          {"taken", frames_.taken},
          {"counted", frames_.counted},
          {"delivered", frames_.delivered},
          {"lost_by_bus", frames_.busLost},
          {"without_image", frames_.withoutImage},
          {"gaps", frames_.gaps},
          {"unexplained", frames_.unexplained},
          {"lost_by_module", frames_.moduleLost},
          {"waiting_at_stop",
           frames_.sent -
               std::min(frames_.sent, frames_.taken + frames_.busLost + frames_.withoutImage)}}},
        {"properties", {{"reads", reads_.load()}, {"writes", writes_.load()}}},
        {"pulsed_acquisitions", pulsed_},
        {"unplugs", unplugs_},
        {"faults_injected", faults_},
        {"reports", reports()},
        {"violations", violations},
        {"bus_left",
         {{"handles", left.openHandles},
          {"engines", left.engines},
          {"channels", left.reservedChannels},
          {"running", left.runningCameras}}},
        {"process", {{"start", atStart}, {"warm", warm}, {"end", atEnd}, {"stopped", stopped}}}};
  }

 private:
  // One round: discovery, then the cameras of the round acquire for a while.
  void round(bool withFaults) {
    ++rounds_;
    progress_ = Clock::now();
    if (withFaults) {
      // Library calls fail at random from here on, discovery included.
      sim::setRandomFaults(
          options_.faultRate, options_.seed + rounds_,
          {"CvOpenCameraHandleEx", "CvQueryCameraRegister", "CvSetCameraRegister", "CvReadQuad",
           "CvWriteQuad", "CvGetAvailableIsoChannel", "CvGetSpecialFeatureCaps",
           "CvSetIsochEngineOption", "CvCreateIsochReceiveEngine", "CvStartIsochReceiveEngine",
           "CvIsCameraRunning", "CvStartCamera", "CvStopCamera", "CvGetNextCompleteFrame"});
    }
    const std::uint64_t cameras[] = {sim::kMonoCamera, sim::kBayerCamera, sim::kYuvCamera};
    drawQuirks(withFaults, cameras);
    session_.discover();
    const char* names[] = {"Corvane MV-640M 100201", "Corvane CX-1280B 100202",
                           "Corvane CY-422DP 100203"};
    // Even rounds: every camera at once; odd rounds: one camera, in turn.
    std::vector<int> chosen;
    if (!withFaults || rounds_ % 2 == 0) {
      chosen = {0, 1, 2};
    } else {
      chosen = {static_cast<int>((rounds_ / 2) % 3)};
    }
    std::vector<std::unique_ptr<Acquisition>> running;
    for (int c : chosen) {
      auto a = startAcquisition(names[c], cameras[c]);
      if (a) running.push_back(std::move(a));
    }
    {
      std::lock_guard<std::mutex> hold(inputsMutex_);
      for (auto& a : running) live_.push_back(a->input.get());
    }
    // Now and then a camera is unplugged mid-stream and plugged back.
    const auto roundEnd = Clock::now() + std::chrono::milliseconds(1500 + random_() % 1500);
    if (withFaults && rounds_ % 5 == 3 && !running.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const std::uint64_t victim = running[random_() % running.size()]->camera;
      sim::unplug(victim);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      sim::replug(victim);
      ++unplugs_;
    }
    std::this_thread::sleep_until(roundEnd);
    {
      std::lock_guard<std::mutex> hold(inputsMutex_);
      live_.clear();
    }
    for (auto& a : running) endAcquisition(*a);
    running.clear();
    faults_ += sim::randomFaultsInjected();
    for (const kit::Report& r : kit::reports()) tally(r);
    kit::clearReports();
    session_.release();
  }

  // Each camera, and the library, take one freedom at the quirk rate; the
  // last round takes none.
  void drawQuirks(bool any, const std::uint64_t (&cameras)[3]) {
    std::bernoulli_distribution takes(any ? options_.quirkRate : 0.0);
    for (std::uint64_t camera : cameras) {
      sim::Quirks q;
      if (takes(random_)) {
        const std::size_t kind = random_() % 6;
        ++quirksTaken_[kind];
        if (kind == 0) q.startupInfo = sim::Quirks::Startup::kRefused;
        if (kind == 1) q.startupInfo = sim::Quirks::Startup::kIgnored;
        if (kind == 2) q.framesAfterStop = true;
        if (kind == 3) q.nullImages = true;
        if (kind == 4) q.channelAnswer = 255;
        if (kind == 5) q.framesAcrossStart = true;
      }
      sim::setCameraQuirks(camera, q);
    }
    sim::LibraryQuirks library;
    if (takes(random_)) {
      const std::size_t kind = random_() % 3;
      ++quirksTaken_[6 + kind];
      if (kind == 0) library.texts = sim::LibraryQuirks::Texts::kNull;
      if (kind == 1) library.texts = sim::LibraryQuirks::Texts::kSame;
      if (kind == 2) library.nullStatusTexts = true;
    }
    sim::setLibraryQuirks(library);
  }

  json quirkCounts() const {
    static const char* const kNames[] = {
        "startup_refused", "startup_ignored", "frames_after_stop",
        "null_images",     "no_channel",      "frames_across_start",
        "no_texts",        "one_text",        "no_status_texts"};
    json counts = json::object();
    for (std::size_t i = 0; i < std::size(kNames); ++i) counts[kNames[i]] = quirksTaken_[i];
    return counts;
  }

  std::unique_ptr<Acquisition> startAcquisition(const char* device, std::uint64_t camera) {
    host::DeviceEntry* entry = session_.hardware().deviceByName(device);
    if (entry == nullptr || entry->formats().empty()) {
      ++refused_;  // its probe failed this time
      return nullptr;
    }
    const auto& formats = entry->formats();
    const std::string format = formats[random_() % formats.size()]->name();
    std::string error;
    auto a = std::make_unique<Acquisition>();
    a->camera = camera;
    a->input = host::VideoInput::create(session_, device, format, error);
    if (!a->input) {
      ++refused_;
      return nullptr;
    }
    a->input->settings.framesPerTrigger = 0;  // until stopped
    if (camera == sim::kBayerCamera && random_() % 2 == 0)
      a->triggered = a->input->selectTrigger("Mode_0", "Source_0", error);
    const std::vector<CvEngineHandle> before = sim::engines();
    if (!a->input->open(error)) {
      ++refused_;
      return nullptr;
    }
    for (CvEngineHandle e : sim::engines())
      if (std::find(before.begin(), before.end(), e) == before.end()) a->engine = e;
    a->completedBefore = completed(camera);
    a->drain = std::make_unique<Drain>(a->input->engine());
    if (!a->input->start(error)) {
      ++refused_;
      endAcquisition(*a);
      return nullptr;
    }
    if (a->triggered) {
      sim::setPulseRate(camera, 25.0);
      ++pulsed_;
    }
    ++acquisitions_;
    return a;
  }

  // Stops, accounts and closes one acquisition.
  void endAcquisition(Acquisition& a) {
    a.input->stop();
    if (a.triggered) sim::setPulseRate(a.camera, 0.0);
    a.drain->finish();
    Frames f;
    sim::EngineStats stats;
    if (a.engine != nullptr && sim::readEngine(a.engine, stats)) {
      f.taken = stats.framesDelivered;
      f.busLost = stats.framesLost;
      f.withoutImage = stats.framesWithoutImage;
    }
    const std::uint64_t completedAfter = completed(a.camera);
    f.sent = completedAfter > a.completedBefore ? completedAfter - a.completedBefore : 0;
    f.counted = a.input->manager().framesCounted();
    f.delivered = a.input->engine().framesDelivered();
    f.gaps = a.drain->gaps();
    // A frame the library handed out without an image is a gap it knows of too.
    const std::uint64_t known = f.busLost + f.withoutImage;
    f.unexplained = f.gaps > known ? f.gaps - known : 0;
    f.moduleLost = f.taken > f.counted ? f.taken - f.counted : 0;
    frames_.add(f);
    a.input->close();
    a.input.reset();
  }

  // A host thread that turns the controls of whatever acquires.
  void turnProperties(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const struct {
      const char* name;
      int maximum;  // integer values 0..maximum; 0: a double
    } controls[] = {{"Brightness_Value", 255},
                    {"Gain_Value", 680},
                    {"Shutter_Value", 4095},
                    {"Shutter_Absolute_Value", 0},
                    {"Gamma_State", 1}};
    while (!finished_) {
      {
        std::lock_guard<std::mutex> hold(inputsMutex_);
        if (!live_.empty()) {
          host::VideoInput* input = live_[random() % live_.size()];
          const auto& control = controls[random() % std::size(controls)];
          if (input->properties().find(control.name) != nullptr) {
            std::string value = control.maximum == 0
                                    ? std::to_string(0.001 + (random() % 100) / 1000.0)
                                    : std::to_string(random() % (control.maximum + 1));
            if (control.name == std::string("Shutter_Value") && value == "0") value = "1";
            std::string error;
            host::PropertyValue read;
            if (input->properties().write(control.name, value, error)) ++writes_;
            if (input->properties().read(control.name, read, error)) ++reads_;
          }
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Nothing may hang: a round that makes no progress for two minutes ends the run.
  void watch() {
    while (!finished_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (Clock::now() - progress_.load() > std::chrono::minutes(2)) {
        std::fprintf(stderr,
                     "corvane-bench soak: no progress for two minutes: a hang (seed %llu)\n",
                     static_cast<unsigned long long>(options_.seed));
        std::_Exit(3);
      }
    }
  }

  Options options_;
  std::mt19937_64 random_;
  host::Session session_;
  std::thread watchdog_;
  std::vector<std::thread> propertyThreads_;
  std::atomic<bool> finished_{false};
  std::atomic<Clock::time_point> progress_{Clock::now()};
  std::mutex inputsMutex_;
  std::vector<host::VideoInput*> live_;
  Frames frames_;
  std::uint64_t rounds_ = 0, acquisitions_ = 0, refused_ = 0, pulsed_ = 0, unplugs_ = 0;
  std::uint64_t faults_ = 0;
  std::array<std::uint64_t, 9> quirksTaken_{};
  std::atomic<std::uint64_t> reads_{0}, writes_{0};
  // Reports by source, with the first message of each, in storage made once:
  // the soak's own books must not show as the heap growing.
  struct Tally {
    char source[64];
    char example[192];
    std::uint64_t count;
  };
  std::array<Tally, 32> tallies_{};
  std::size_t talliesUsed_ = 0;

  void tally(const kit::Report& r) {
    for (std::size_t i = 0; i < talliesUsed_; ++i) {
      if (r.source == tallies_[i].source) {
        ++tallies_[i].count;
        return;
      }
    }
    if (talliesUsed_ == tallies_.size()) return;
    Tally& t = tallies_[talliesUsed_++];
    std::snprintf(t.source, sizeof t.source, "%s", r.source.c_str());
    std::snprintf(t.example, sizeof t.example, "%s", r.message.c_str());
    t.count = 1;
  }

  json reports() const {
    json counts = json::object(), examples = json::object();
    for (std::size_t i = 0; i < talliesUsed_; ++i) {
      counts[tallies_[i].source] = tallies_[i].count;
      examples[tallies_[i].source] = tallies_[i].example;
    }
    return {{"counts", counts}, {"examples", examples}};
  }
};

}  // namespace

json run(const Options& options) {
  Life life(options);
  return life.run();
}

void print(const json& f) {
  if (f.contains("error")) {
    std::printf("soak: %s\n", f["error"].get<std::string>().c_str());
    return;
  }
  const json& fr = f["frames"];
  std::printf("soak, seed %llu, %.1f minutes, fault rate %g, quirk rate %g: %s\n",
              f["seed"].get<unsigned long long>(), f["minutes"].get<double>(),
              f["fault_rate"].get<double>(), f["quirk_rate"].get<double>(),
              f["ok"].get<bool>() ? "ok" : "PROBLEMS");
  std::printf("  quirks taken:");
  for (const auto& [name, count] : f["quirks"].items())
    std::printf(" %s %llu;", name.c_str(), count.get<unsigned long long>());
  std::printf("\n");
  std::printf(
      "  %llu rounds, %llu acquisitions (%llu refused by injected faults or quirks), %llu on a "
      "hardware trigger, %llu unplugs, %llu faults injected\n",
      f["rounds"].get<unsigned long long>(), f["acquisitions"].get<unsigned long long>(),
      f["refused"].get<unsigned long long>(), f["pulsed_acquisitions"].get<unsigned long long>(),
      f["unplugs"].get<unsigned long long>(), f["faults_injected"].get<unsigned long long>());
  std::printf(
      "  frames: %llu sent, %llu taken by the module, %llu counted, %llu delivered; "
      "%llu lost by the bus and counted by it, %llu handed out without an image (%llu gaps "
      "seen), %llu still in the receive ring at a stop; %llu unexplained, %llu lost by the "
      "module\n",
      fr["sent"].get<unsigned long long>(), fr["taken"].get<unsigned long long>(),
      fr["counted"].get<unsigned long long>(), fr["delivered"].get<unsigned long long>(),
      fr["lost_by_bus"].get<unsigned long long>(), fr["without_image"].get<unsigned long long>(),
      fr["gaps"].get<unsigned long long>(), fr["waiting_at_stop"].get<unsigned long long>(),
      fr["unexplained"].get<unsigned long long>(), fr["lost_by_module"].get<unsigned long long>());
  std::printf("  properties: %llu reads, %llu writes from two host threads\n",
              f["properties"]["reads"].get<unsigned long long>(),
              f["properties"]["writes"].get<unsigned long long>());
  std::printf("  reports:");
  for (const auto& [source, count] : f["reports"]["counts"].items())
    std::printf(" %s %llu;", source.c_str(), count.get<unsigned long long>());
  std::printf("\n");
  for (const char* when : {"start", "warm", "end", "stopped"}) {
    const json& p = f["process"][when];
    if (p.is_null()) continue;
    std::printf(
        "  %-7s resident %lld KiB, %lld heap blocks, %lld %s, %lld threads, %zu kit blocks, %zu "
        "kit sections\n",
        when, p["resident_kib"].get<long long>(), p["heap_blocks"].get<long long>(),
        p[bench::handlesName()].get<long long>(), bench::handlesName(),
        p["threads"].get<long long>(), p["kit_blocks"].get<std::size_t>(),
        p["kit_sections"].get<std::size_t>());
  }
  const json& left = f["bus_left"];
  std::printf("  left on the bus: %u handles, %u engines, %u channels, %u running cameras\n",
              left["handles"].get<unsigned>(), left["engines"].get<unsigned>(),
              left["channels"].get<unsigned>(), left["running"].get<unsigned>());
  for (const auto& v : f["violations"])
    std::printf("  broken rule: %s\n", v.get<std::string>().c_str());
}

}  // namespace soak
