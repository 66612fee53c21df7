// The host-call table as tests: every call the module makes into the host, by
// every action a host may take inside it, each row one life of an adaptor
// (create, open, start, frames, stop, close, destroy) with the action taken
// inside its call, then a fresh adaptor that must bring frames or say why.
// The fixture's end checks what every row owes: no violation of the kit's
// rules (no frame given to setImage, delivered or counted after stopCapture
// returned), nothing leaked (host blocks and sections, handles, channels,
// engines, running cameras, threads), and the library terminated; a watchdog
// fails a row that hangs. A census checks that the table has every place the
// module calls the host from.
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
using table::Context;
using table::Place;
using table::Row;

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

// What the hook knows: the row, the host operation in progress on the test's
// thread, the video input the actions work on, and what was seen.
struct HookState {
  std::thread::id hostThread;
  std::atomic<Context> context{Context::kCreate};
  const Row* row = nullptr;
  std::atomic<bool> armed{false};
  std::atomic<bool> fired{false};
  // The action has returned: the host's other thread goes on only then, as a
  // host serialises its own work on a video input.
  std::atomic<bool> acted{false};
  // The host's thread is in one of its operations on the video input.
  std::atomic<bool> hostBusy{false};
  std::atomic<bool> causeFired{false};
  std::atomic<Cause> cause{Cause::kNone};
  std::atomic<host::VideoInput*> input{nullptr};
  std::mutex mutex;
  std::set<std::pair<Context, kit::HostCall>> seen;
};

constexpr std::uint64_t kMono = sim::kMonoCamera;
constexpr std::uint64_t kBayer = sim::kBayerCamera;

// The sequence number the camera gives its next frame: no frame of a run may
// be older than the run.
std::uint32_t nextSequence(std::uint64_t camera) {
  sim::CameraState state;
  return sim::readCamera(camera, state) ? static_cast<std::uint32_t>(state.framesCompleted) : 0;
}

void startAgain(host::VideoInput& input) {
  input.stop();
  std::string error;
  input.start(error);
}

// The camera a cause needs.
std::uint64_t cameraFor(Cause cause) {
  switch (cause) {
    case Cause::kPacketSizeFails:
      return sim::kYuvCamera;
    case Cause::kHardwareTrigger:
    case Cause::kTriggerFails:
      return kBayer;
    default:
      return kMono;
  }
}

kit::Answer act(HookState& s, Action action) {
  host::VideoInput* input = s.input;
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
    case Action::kRestart:
      if (input) startAgain(*input);
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
  }
  return kit::Answer::kAsIs;
}

kit::Answer hook(kit::HostCall call, void* context) {
  HookState& s = *static_cast<HookState*>(context);
  const Context where =
      std::this_thread::get_id() == s.hostThread ? s.context.load() : Context::kThread;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.seen.insert({where, call});
  }
  if (s.cause == Cause::kEngineThrows && call == kit::HostCall::kEngine &&
      where == Context::kCreate && !s.causeFired.exchange(true))
    throw std::bad_alloc();
  if (!s.armed || s.row == nullptr || where != s.row->place.context || call != s.row->place.call ||
      s.fired.exchange(true))
    return kit::Answer::kAsIs;
  // An action on the acquisition thread waits for the host's thread to finish
  // the operation it is in, as a host's own lock would make it; not for ever,
  // since that operation may be waiting for this very thread.
  if (where == Context::kThread) {
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
    state_.hostThread = std::this_thread::get_id();
    kit::setHostCallHook(hook, &state_);
    // Frames as fast as they are taken, and waits for frames that never come short.
    sim::setFreeRunning(true);
    sim::setTimeoutScale(0.01);
  }
  void TearDown() override {
    kit::setHostCallHook(nullptr, nullptr);
    sim::setPulseRate(kBayer, 0);
    HostTest::TearDown();
  }

  // The set-up a place needs, before the adaptor is made; the device and format.
  void Prepare(Cause cause, std::string& device, std::string& format) {
    state_.cause = cause;
    device = "1";
    format = "640X480 Mono8 60 FPS";
    Discover();
    switch (cause) {
      case Cause::kOpenFails:
        sim::addFault({"CvCreateIsochReceiveEngine", sim::kInjected, 1, 1, -1});
        break;
      case Cause::kPacketSizeFails:
        device = "3";
        format = "VARIABLE_0 (640X480) YUV422";
        sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegFormat7Info});
        break;
      case Cause::kTriggerFails:
        sim::addFault({"CvWriteQuad", sim::kInjected, 1, 1, -1});
        [[fallthrough]];
      case Cause::kHardwareTrigger:
        device = "2";
        format = "VARIABLE_1 (640X480) Raw8";
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
      default:
        break;
    }
  }

  // The next host operation, once an action taken inside a call has returned:
  // a host does one thing at a time on a video input.
  void Step(Watchdog& dog, Context context, const char* step) {
    dog.step(step);
    state_.hostBusy = false;
    while (state_.fired && !state_.acted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state_.context = context;
    state_.hostBusy = true;
  }

  // One life of an adaptor as the host runs it, the row's context deciding
  // where it ends: stopped (the device left open), closed while acquiring, or
  // destroyed while acquiring. Returns the video input unless it was destroyed.
  host::VideoInput* Life(Watchdog& dog, Cause cause, Context shape) {
    std::string device, format, error;
    Prepare(cause, device, format);
    Step(dog, Context::kCreate, "create");
    host::VideoInput* input = nullptr;
    try {
      input = &Input(device, format);
    } catch (const std::runtime_error&) {
      state_.hostBusy = false;
      return nullptr;  // no adaptor: construction said why
    }
    state_.input = input;
    input->settings.framesPerTrigger = 3;
    // No frame of a run may be older than the run.
    const std::uint64_t camera = cameraFor(cause);
    input->engine().setSequenceSource([camera] { return nextSequence(camera); });
    if (cause == Cause::kHardwareTrigger || cause == Cause::kTriggerFails)
      input->selectTrigger("Mode_0", "Source_0", error);
    Step(dog, Context::kOpen, "open");
    input->open(error);
    Step(dog, Context::kStart, "start");
    input->start(error);
    // Until the row's call came and its action returned, or the frames came;
    // a camera that sends none costs the time-out.
    Step(dog, Context::kStart, "frames");
    state_.hostBusy = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    auto ready = [&] {
      return state_.acted || (!state_.fired && input->engine().framesDelivered() >= 3);
    };
    while (!ready() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (shape == Context::kClose) {
      Step(dog, Context::kClose, "close");
      input->close();
    } else if (shape == Context::kDestroy) {
      Step(dog, Context::kDestroy, "destroy");
      Destroy(*input);
      input = nullptr;
    } else {
      Step(dog, Context::kStop, "stop");
      input->stop();
    }
    state_.input = nullptr;
    state_.hostBusy = false;
    return input && input->hasAdaptor() ? input : nullptr;
  }

  // After whatever the row did, the same adaptor (or a fresh one, when the
  // row's was destroyed) opens and starts again and brings frames, or the
  // module says why it cannot.
  void Recover(Watchdog& dog, host::VideoInput* input) {
    state_.armed = false;
    kit::failLockHolders(false);
    sim::clearFaults();
    const std::uint64_t camera = input != nullptr ? cameraFor(state_.cause) : kMono;
    // A camera on its trigger gets pulses: its frames, not a time-out, answer.
    sim::setPulseRate(kBayer, camera == kBayer ? 400 : 0);
    state_.cause = Cause::kNone;
    dog.step("recovery");
    const std::size_t mark = kit::reports().size();
    if (input == nullptr) input = &Input("1", "640X480 Mono8 60 FPS");
    input->settings.framesPerTrigger = 2;
    std::string error;
    input->engine().setSequenceSource([camera] { return nextSequence(camera); });
    const bool started = input->open(error) && input->start(error);
    const std::size_t frames = started ? Take(*input, 2, 3.0).size() : 0;
    if (frames < 2) {
      EXPECT_GT(kit::reports().size(), mark)
          << "the next open and start brought " << frames << " frames and no reason";
    }
    input->stop();
    input->close();
    Destroy(*input);
    sim::setPulseRate(kBayer, 0);
  }

  HookState state_;
};

class RowTest : public HostCallTest {
 public:
  explicit RowTest(Row row) : row_(std::move(row)) {}
  void TestBody() override {
    Watchdog dog(row_.name());
    state_.row = &row_;
    state_.armed = true;
    host::VideoInput* input = Life(dog, row_.place.cause, row_.place.context);
    EXPECT_TRUE(state_.fired) << "the call never came: " << kit::hostCallName(row_.place.call)
                              << " in " << table::contextName(row_.place.context);
    Recover(dog, input);
  }

 private:
  Row row_;
};

// Every place a plain life calls the host from, for each set-up, is a place of
// the table: a call the module starts making cannot escape its rows.
TEST_F(HostCallTest, EveryCallIsInTheTable) {
  const std::vector<Place>& places = table::places();
  std::set<std::pair<Context, kit::HostCall>> listed;
  std::set<Cause> causes;
  for (const Place& p : places) {
    listed.insert({p.context, p.call});
    causes.insert(p.cause);
  }
  for (Cause cause : causes) {
    for (Context shape : {Context::kStop, Context::kClose, Context::kDestroy}) {
      Watchdog dog(std::string("census ") + table::causeName(cause));
      if (host::VideoInput* input = Life(dog, cause, shape)) {
        Step(dog, Context::kClose, "close");
        input->close();
        Step(dog, Context::kDestroy, "destroy");
        Destroy(*input);
      }
      sim::clearFaults();
      sim::setPulseRate(kBayer, 0);
      kit::clearReports();
    }
  }
  for (const auto& [context, call] : state_.seen)
    EXPECT_TRUE(listed.count({context, call}))
        << "the module calls " << kit::hostCallName(call) << " in " << table::contextName(context)
        << ", which the table lacks";
  const std::vector<Row> rows = table::rows();
  std::printf("host-call table: %zu rows over %zu places\n", rows.size(), places.size());
  for (const Row& r : rows) std::printf("  %s\n", r.name().c_str());
}

const bool kRegistered = [] {
  for (const Row& row : table::rows())
    ::testing::RegisterTest("HostCalls", row.name().c_str(), nullptr, nullptr, __FILE__, __LINE__,
                            [row]() -> HostCallTest* { return new RowTest(row); });
  return true;
}();

}  // namespace
