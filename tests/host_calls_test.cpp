// The host-call table as a test: lives of an adaptor are traced (every host
// call the module makes, by entry and occurrence), and each kept place is
// crossed with every action a host may take inside it, another host thread's
// included. Each row is one life with its action taken once, at its place,
// then a fresh adaptor that must bring frames or say why. What every row owes
// is checked as a row ends: no violation of the kit's rules (no frame given
// to setImage, delivered or counted after stopCapture returned; no host call
// under a module lock, in the test build), nothing leaked (host blocks and
// sections, handles, channels, engines, running cameras, threads; a thread
// let go joined by the next entry), and the library terminated; a watchdog
// fails a row that hangs. The census: every place a row's life made before
// its action (a fresh trace, as many times as there are rows) is one of the
// table's.
//   HOSTCALLS_ROW=name     runs the rows whose name holds it
//   HOSTCALLS_SAMPLE=n     runs every nth row (under a sanitizer)
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "acquisition.h"
#include "host_call_table.h"
#include "host_fixture.h"

namespace {

using table::Action;
using table::Cause;
using table::Place;
using table::Row;
using table::Shape;

// Ends the process, naming the row and its step, when a row does not finish
// in time: a hang must fail, not stall the suite.
class Watchdog {
 public:
  explicit Watchdog(std::string row) : row_(std::move(row)), thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void step(const char* step) {
    std::lock_guard<std::mutex> lock(mutex_);
    step_ = step;
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(90), [&] { return done_; })) {
      std::fprintf(stderr, "HANG: row %s did not finish its step '%s'\n", row_.c_str(), step_);
      std::fflush(stderr);
      std::_Exit(3);
    }
  }
  std::string row_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  const char* step_ = "start";
  std::thread thread_;
};

constexpr std::uint64_t kMono = sim::kMonoCamera;
constexpr std::uint64_t kBayer = sim::kBayerCamera;
constexpr char kProperty[] = "Brightness_Value";  // every camera of the bus has it
constexpr std::uint32_t kBrightnessControl = 0x00080000;
// One no life reads: uncached, so a read of it asks the camera.
constexpr char kUnreadProperty[] = "Gain_Value";
constexpr std::uint32_t kGainControl = 0x00082008;

// The other host thread destroys the adaptor inside its own error report.
thread_local bool destroyInMyReport = false;

// What the hook knows: the row, the video input the actions work on, and
// what was seen.
struct HookState {
  const Row* row = nullptr;
  std::atomic<bool> armed{false};
  std::atomic<bool> fired{false};
  // The action has returned: the host's script goes on only then, as a host
  // serialises its own work on a video input.
  std::atomic<bool> acted{false};
  // The host's script is in one of its operations on the video input.
  std::atomic<bool> hostBusy{false};
  std::atomic<bool> causeFired{false};
  std::atomic<Cause> cause{Cause::kNone};
  std::atomic<host::VideoInput*> input{nullptr};
  std::mutex mutex;
  std::vector<Place> seen;  // until the action, in order
  // Another host thread's action, joined at the script's next step.
  std::thread other;
  std::atomic<bool> otherDone{false};
};

// The sequence number the camera gives its next frame: no frame of a run may
// be older than the run.
std::uint32_t nextSequence(std::uint64_t camera) {
  sim::CameraState state;
  return sim::readCamera(camera, state) ? static_cast<std::uint32_t>(state.framesCompleted) : 0;
}

// The camera a cause needs, and its device and format.
struct Subject {
  std::uint64_t camera;
  const char* device;
  const char* format;
};
Subject subjectFor(Cause cause) {
  switch (cause) {
    case Cause::kPacketSizeFails:
      return {sim::kYuvCamera, "3", "VARIABLE_0 (640X480) YUV422"};
    case Cause::kHardwareTrigger:
    case Cause::kTriggerFails:
      return {kBayer, "2", "VARIABLE_1 (640X480) Raw8"};
    default:
      return {kMono, "1", "640X480 Mono8 60 FPS"};
  }
}

// A property read or a change of it, as a user interface does.
void readProperty(host::VideoInput& input) {
  host::PropertyValue value;
  std::string error;
  input.properties().read(kProperty, value, error);
}
void changeProperty(host::VideoInput& input) {
  host::PropertyValue value;
  std::string error;
  input.properties().read(kProperty, value, error);
  input.properties().write(kProperty, std::to_string((value.integer + 1) % 256), error);
}

void otherThread(HookState& s, host::VideoInput* input, Action action) {
  s.otherDone = false;
  s.other = std::thread([&s, input, action] {
    switch (action) {
      case Action::kOtherRead:
        readProperty(*input);
        break;
      case Action::kOtherWrite:
        changeProperty(*input);
        break;
      case Action::kOtherStop:
        input->stop();
        break;
      case Action::kOtherClose:
        input->close();
        break;
      case Action::kOtherDestroyInReport: {
        sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, kGainControl});
        destroyInMyReport = true;
        host::PropertyValue value;
        std::string error;
        input->properties().read(kUnreadProperty, value, error);
        destroyInMyReport = false;
        break;
      }
      default:
        input->destroyAdaptor();
        break;
    }
    // Its action may leave a frame buffer lent since the action began.
    kit::noteAction();
    s.otherDone = true;
  });
  // Meanwhile: the other thread may wait for the very call this one is in.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (!s.otherDone && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

kit::Answer act(HookState& s, Action action) {
  host::VideoInput* input = s.input;
  std::string error;
  switch (action) {
    case Action::kClose:
      if (input) input->close();
      break;
    case Action::kDestroy:
      if (input) input->destroyAdaptor();
      break;
    case Action::kStop:
      if (input) input->stop();
      break;
    case Action::kStart:
      if (input) input->start(error);
      break;
    case Action::kRestart:
      if (input) {
        input->stop();
        input->start(error);
      }
      break;
    case Action::kStartStop:
      if (input) {
        input->start(error);
        input->stop();
      }
      break;
    case Action::kOpen:
      if (input) input->open(error);
      break;
    case Action::kThrow:
      throw std::runtime_error("the host's own failure");
    case Action::kAnswerNone:
      return kit::Answer::kNone;
    case Action::kBlock:
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      break;
    case Action::kNoHolder:
      kit::failLockHolders(true);
      break;
    default:
      if (input) otherThread(s, input, action);
      break;
  }
  return kit::Answer::kAsIs;
}

kit::Answer hook(kit::HostCall call, void* context) {
  HookState& s = *static_cast<HookState*>(context);
  const kit::Place at = kit::currentPlace();
  const Place place{at.entry, call, at.occurrence};
  if (!s.fired) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.seen.push_back(place);
  }
  if (destroyInMyReport && call == kit::HostCall::kAdaptorError) {
    destroyInMyReport = false;
    kit::noteAction();
    if (host::VideoInput* input = s.input) input->destroyAdaptor();
    // A frame lent meanwhile is the host's action's to drop, too.
    kit::noteAction();
    return kit::Answer::kAsIs;
  }
  if (s.cause == Cause::kEngineThrows && call == kit::HostCall::kEngine &&
      at.entry == kit::Entry::kCreateInstance && !s.causeFired.exchange(true))
    throw std::bad_alloc();
  if (!s.armed || s.row == nullptr || !(place == s.row->place) || s.fired.exchange(true))
    return kit::Answer::kAsIs;
  // An action on the acquisition thread waits for the host's script to
  // finish the operation it is in, as a host's own lock would make it; not
  // for ever, since that operation may be waiting for this very thread.
  if (at.entry == kit::Entry::kNone) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (s.hostBusy && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kit::noteAction();
  struct Acted {
    std::atomic<bool>& flag;
    ~Acted() { flag = true; }
  } acted{s.acted};
  return act(s, s.row->action);
}

class HostCallTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    kit::setHostCallHook(hook, &state_);
    // Frames as fast as they are taken, and waits for frames that never come short.
    sim::setFreeRunning(true);
    sim::setTimeoutScale(0.01);
  }
  void TearDown() override {
    JoinOther();
    kit::setHostCallHook(nullptr, nullptr);
    sim::setPulseRate(kBayer, 0);
    HostTest::TearDown();
  }

  void JoinOther() {
    if (state_.other.joinable()) state_.other.join();
  }

  void Prepare(Cause cause) {
    state_.cause = cause;
    switch (cause) {
      case Cause::kOpenFails:
        sim::addFault({"CvCreateIsochReceiveEngine", sim::kInjected, 1, 1, -1});
        break;
      case Cause::kPacketSizeFails:
        sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegFormat7Info});
        break;
      case Cause::kTriggerFails:
        sim::addFault({"CvWriteQuad", sim::kInjected, 1, 1, -1});
        [[fallthrough]];
      case Cause::kHardwareTrigger:
        sim::setPulseRate(kBayer, 400);
        break;
      case Cause::kStartCameraFails:
        sim::addFault({"CvStartCamera", sim::kInjected, 1, 1, -1});
        break;
      case Cause::kFrameWaitFails:
        sim::addFault({"CvGetNextCompleteFrame", sim::kInjected, 1, 3, -1});
        break;
      case Cause::kStopCameraFails:
        sim::addFault({"CvStopCamera", sim::kInjected, 1, 1, -1});
        break;
      case Cause::kRegisterReadFails:
        sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, kBrightnessControl});
        break;
      case Cause::kRegisterWriteFails:
        sim::addFault({"CvSetCameraRegister", sim::kInjected, 1, 1, kBrightnessControl});
        break;
      default:
        break;
    }
  }

  // The next step of the host's script, once an action taken inside a call
  // has returned: a host does one thing at a time on a video input.
  void Step(Watchdog& dog, const char* step) {
    dog.step(step);
    state_.hostBusy = false;
    while (state_.fired && !state_.acted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    JoinOther();
    state_.hostBusy = true;
  }

  // One life of an adaptor as a host runs it, from discovery to its
  // destruction; the shape decides how capture ends.
  void Life(Watchdog& dog, Cause cause, Shape shape) {
    const Subject subject = subjectFor(cause);
    Step(dog, "discover");
    Discover();
    // After discovery, which the faults are not meant for.
    Prepare(cause);
    Step(dog, "create");
    host::VideoInput* input = nullptr;
    try {
      input = &Input(subject.device, subject.format);
    } catch (const std::runtime_error&) {
      state_.hostBusy = false;
      return;  // no adaptor: construction said why
    }
    state_.input = input;
    input->settings.framesPerTrigger = 3;
    const std::uint64_t camera = subject.camera;
    input->engine().setSequenceSource([camera] { return nextSequence(camera); });
    std::string error;
    if (camera == kBayer) input->selectTrigger("Mode_0", "Source_0", error);
    // A small region: a Format 7 camera's frames come as fast as the mono camera's.
    if (camera != kMono) input->setRoi(0, 0, 64, 64, error);
    Step(dog, "open");
    input->open(error);
    Step(dog, "start");
    const std::size_t mark = kit::reports().size();
    const bool started = input->start(error) && kit::reports().size() == mark;
    // Until the frames came, or the row's call came and its action returned;
    // a camera that sends none costs the time-out.
    Step(dog, "frames");
    state_.hostBusy = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    // Three frames, or three frame waits that brought none (a camera on a
    // trigger that does not come, say) and said so.
    auto ready = [&] {
      return state_.acted || (!state_.fired && (input->engine().framesDelivered() >= 3 ||
                                                kit::reports().size() >= mark + 3));
    };
    while (started && !ready() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A start that said yes brings frames while the host acquires, or a
    // report says why (unless the host itself answered falsely).
    Step(dog, "acquiring");
    state_.hostBusy = false;
    const bool answeredNone = state_.fired && state_.row->action == Action::kAnswerNone;
    auto unsaid = [&] {
      return started && !answeredNone && input->hasAdaptor() && input->manager().isAcquiring() &&
             input->engine().framesDelivered() == 0 && kit::reports().size() == mark;
    };
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (unsaid() && std::chrono::steady_clock::now() < patience)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (unsaid())
      ADD_FAILURE() << "the host acquires, and in 2 s no frame came and nothing said why";
    Step(dog, "property");
    changeProperty(*input);
    if (shape == Shape::kStop) {
      Step(dog, "stop");
      input->stop();
    }
    if (shape != Shape::kDestroy) {
      Step(dog, "close");
      input->close();
      // Whatever the host did inside the close, nothing streams once it
      // returned (unless the host opened again there).
      Step(dog, "closed");
      if (!input->hasAdaptor() || !input->manager().isOpen()) {
        EXPECT_EQ(0u, sim::resources().runningCameras) << "a camera streams after the close";
      }
    }
    Step(dog, "destroy");
    state_.input = nullptr;
    JoinOther();
    Destroy(*input);
    state_.hostBusy = false;
  }

  // After whatever the row did, a fresh adaptor opens and starts and brings
  // frames, or the module says why it cannot. Its entries join any thread the
  // row let go.
  void Recover(Watchdog& dog) {
    state_.armed = false;
    JoinOther();
    kit::failLockHolders(false);
    sim::clearFaults();
    sim::setPulseRate(kBayer, 0);
    state_.cause = Cause::kNone;
    dog.step("recovery");
    const std::size_t mark = kit::reports().size();
    // Anew: the row's discovery may have been answered with nothing.
    Discover();
    host::VideoInput& input = Input("1", "640X480 Mono8 60 FPS");
    input.settings.framesPerTrigger = 2;
    std::string error;
    input.engine().setSequenceSource([] { return nextSequence(kMono); });
    const bool started = input.open(error) && input.start(error);
    const std::size_t frames = started ? Take(input, 2, 3.0).size() : 0;
    if (frames < 2) {
      EXPECT_GT(kit::reports().size(), mark)
          << "the next open and start brought " << frames << " frames and no reason";
    }
    input.stop();
    input.close();
    Destroy(input);
    // A thread let go is joined by the first entry that finds it ended.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (kit::moduleThreads() != 0 && std::chrono::steady_clock::now() < until) {
      session_.module().entry().getAvailHW(nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(0, kit::moduleThreads()) << "a thread of the module left unjoined";
  }

  // Every place of every life the table knows: each cause with each shape.
  std::vector<table::Traced> Trace() {
    std::vector<table::Traced> trace;
    for (int c = 0; c < static_cast<int>(Cause::kCount); ++c) {
      for (Shape shape : {Shape::kStop, Shape::kClose, Shape::kDestroy}) {
        const auto cause = static_cast<Cause>(c);
        Watchdog dog(std::string("trace ") + table::causeName(cause));
        state_.seen.clear();
        state_.causeFired = false;
        const auto t0 = std::chrono::steady_clock::now();
        Life(dog, cause, shape);
        if (std::getenv("HOSTCALLS_TIMES"))
          std::printf("life %s %s: %.3f s\n", table::causeName(cause), table::shapeName(shape),
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        for (const Place& p : state_.seen)
          trace.push_back({table::keptFor(p, state_.seen), {cause, shape}});
        sim::clearFaults();
        sim::setPulseRate(kBayer, 0);
        kit::clearReports();
      }
    }
    return trace;
  }

  // One row, between a fresh SetUp and its TearDown; the places its life
  // made before the action go to the census.
  void RunRow(const Row& row, const std::set<Place>& known, std::set<Place>& census) {
    state_.row = &row;
    state_.fired = false;
    state_.acted = false;
    state_.causeFired = false;
    state_.seen.clear();
    state_.armed = true;
    {
      Watchdog dog(row.name());
      Life(dog, row.origin.cause, row.origin.shape);
      EXPECT_TRUE(state_.fired) << "the call never came in its life ("
                                << table::causeName(row.origin.cause) << ", "
                                << table::shapeName(row.origin.shape) << ")";
      std::vector<Place> seen;
      {
        std::lock_guard<std::mutex> lock(state_.mutex);
        seen = state_.seen;
      }
      // The life ends at the action: its last calls are not the trace's last.
      for (const Place& p : seen)
        census.insert(p.occurrence <= 2 || known.count(p) ? p : Place{p.entry, p.call, 2});
      Recover(dog);
    }
    state_.row = nullptr;
  }

  HookState state_;
};

TEST_F(HostCallTest, EveryRow) {
  const std::vector<table::Traced> trace = Trace();
  const std::vector<Row> rows = table::rows(trace);
  std::set<Place> places;
  std::set<kit::Entry> entries;
  for (const Row& r : rows) {
    places.insert(r.place);
    entries.insert(r.place.entry);
  }
  std::printf("host-call table: %zu rows over %zu places in %zu entries, from %zu traced calls\n",
              rows.size(), places.size(), entries.size(), trace.size());
  const char* only = std::getenv("HOSTCALLS_ROW");
  const char* sample = std::getenv("HOSTCALLS_SAMPLE");
  const std::size_t every =
      sample != nullptr ? std::max(1ul, std::strtoul(sample, nullptr, 10)) : 1;
  std::set<Place> census;
  std::size_t ran = 0;
  {
    SCOPED_TRACE("the trace");
    TearDown();
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    if (only != nullptr ? row.name().find(only) == std::string::npos : i % every != 0) continue;
    SCOPED_TRACE("row " + row.name());
    SetUp();
    RunRow(row, places, census);
    TearDown();
    ++ran;
    if (::testing::Test::HasFatalFailure()) break;
  }
  SetUp();
  // A place that comes in some lives and not in the trace's has no row.
  for (const Place& p : census)
    EXPECT_TRUE(places.count(p)) << "the module calls the host at " << table::placeName(p)
                                 << ", which the table has no row for";
  std::printf("host-call table: %zu rows run, %zu places seen before their actions\n", ran,
              census.size());
}

}  // namespace
