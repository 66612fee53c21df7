// The acquisition protocol under every schedule: the module's threads, and the
// host's, run one at a time, and the scheduler chooses who runs next at every
// host call, lock, message, thread wait and frame wait. Each scenario is a
// host's script (a whole session: load, discover, an adaptor's life, unload)
// run once per schedule with at most two preemptions, or a seeded sample of
// them where they are more; each run is held to what the host-call table
// holds every row to: no violation of the kit's rules (no frame given to
// setImage, delivered or counted after stopCapture returned, none finished
// before the run it is delivered in), nothing left (kit blocks and sections,
// engines, channels, running cameras, an initialised library), no thread that
// never ends, and no exception out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition.h"
#include "control.h"
#include "host_call_table.h"
#include "kit.h"
#include "scheduler.h"
#include "session.h"

namespace {

using kit::HostCall;

constexpr std::uint64_t kMono = sim::kMonoCamera;
constexpr char kFormat[] = "VARIABLE_0 (160X120) Mono8";

// A host action taken inside a host call, once.
struct Inside {
  kit::Entry entry = kit::Entry::kNone;  // the acquisition thread's
  HostCall call = HostCall::kCount;
  table::Action action = table::Action::kBlock;
};

struct Current {
  host::Session* session = nullptr;
  host::VideoInput* input = nullptr;
  Inside inside;
  bool fired = false;
  bool acting = false;  // the action runs: the host's script waits for it
};

Current run;

std::uint32_t nextSequence() {
  sim::CameraState camera;
  return sim::readCamera(kMono, camera) ? static_cast<std::uint32_t>(camera.framesCompleted) : 0;
}

kit::Answer act(table::Action action) {
  host::VideoInput* input = run.input;
  std::string error;
  switch (action) {
    case table::Action::kClose:
      if (input) input->close();
      break;
    case table::Action::kDestroy:
      if (input) input->destroyAdaptor();
      break;
    case table::Action::kStop:
      if (input) input->stop();
      break;
    case table::Action::kRestart:
      if (input) {
        input->stop();
        input->start(error);
      }
      break;
    case table::Action::kThrow:
      throw std::runtime_error("the host's own failure");
    case table::Action::kAnswerNone:
      return kit::Answer::kNone;
    case table::Action::kBlock:
      schedule::point("the host is slow");
      break;
    case table::Action::kNoHolder:
      kit::failLockHolders(true);
      break;
    case table::Action::kStart:
      if (input) input->start(error);
      break;
    case table::Action::kOpen:
      if (input) input->open(error);
      break;
    default:  // another host thread's actions are scenarios of their own here
      break;
  }
  return kit::Answer::kAsIs;
}

// Every host call is a point where another thread may run; one may carry an action.
kit::Answer hook(HostCall call, void*) {
  schedule::point(kit::hostCallName(call));
  if (run.fired || call != run.inside.call || kit::currentPlace().entry != run.inside.entry)
    return kit::Answer::kAsIs;
  run.fired = true;
  kit::noteAction();
  run.acting = true;
  struct Done {
    ~Done() { run.acting = false; }
  } done;
  return act(run.inside.action);
}

// The host's script does one thing at a time on its video input: it waits
// for an action its own callback is taking to return.
void settle() {
  schedule::blockUntil("the host's action", [] { return !run.acting; });
}

void blockHook(const char* what, bool (*ready)(const void*), const void* arg) {
  schedule::blockUntil(what, [ready, arg] { return ready(arg); });
}

bool frameWaitHook(bool (*ready)(const void*), const void* arg, std::uint32_t timeoutMs) {
  return schedule::blockUntil(
      "frame wait", [ready, arg] { return ready(arg); }, timeoutMs);
}

// Waits (in virtual time) until n frames were delivered. Frames that do not
// come are a violation unless the module said why (or the host's own action
// ended the acquisition).
void framesDelivered(host::VideoInput& input, std::uint64_t n) {
  const std::size_t mark = kit::reports().size();
  const bool firedBefore = run.fired;
  const bool came = schedule::blockUntil(
      "frames", [&input, n] { return input.engine().framesDelivered() >= n; }, 5000);
  settle();
  const table::Action a = run.inside.action;
  const bool ends =
      a == table::Action::kClose || a == table::Action::kDestroy || a == table::Action::kStop;
  // The host's own action may end the acquisition: during this wait; or
  // before it, inside the start (a restart there meets the stop the host
  // deferred until the start returned).
  const bool ended = run.fired && (firedBefore ? ends || a == table::Action::kRestart : ends);
  if (!came && !ended && kit::reports().size() == mark)
    schedule::violation("no frames came and the module said nothing");
}

struct Scenario {
  const char* name;
  std::function<void(host::VideoInput&)> script;
  Inside inside{kit::Entry::kNone, HostCall::kCount, table::Action::kBlock};
  std::function<void()> setUp = {};
  std::uint64_t budget = 0;  // 0: the run's (SCHEDULE_BUDGET, else 6000)
};

// The host's script around the scenario's: a session, an adaptor for the small
// camera, the script, the adaptor destroyed, the session stopped; then the checks.
void life(const Scenario& scenario) {
  host::Session session;
  std::string error;
  if (!session.start(host::Module::defaultPath(), error)) {
    schedule::violation("the module did not load: " + error);
    return;
  }
  const kit::Accounting baseline = kit::accounting();
  std::unique_ptr<host::VideoInput> input = host::VideoInput::create(session, "1", kFormat, error);
  if (!input) {
    schedule::violation("no adaptor: " + error);
    return;
  }
  run.input = input.get();
  input->settings.framesPerTrigger = 0;
  // No frame of a run may be older than the run.
  input->engine().setSequenceSource(nextSequence);
  scenario.script(*input);
  settle();
  run.input = nullptr;
  input.reset();
  session.stop();
  if (schedule::othersRunning() != 0)
    schedule::violation("a thread of the module outlived uninitializeAdaptor");
  if (kit::moduleThreads() != 0) schedule::violation("a thread handle of the module left open");
  kit::failLockHolders(false);
  for (const std::string& v : kit::violations()) schedule::violation(v);
  const kit::Accounting after = kit::accounting();
  if (after.liveSections != baseline.liveSections) schedule::violation("critical sections left");
  if (after.liveBlocks > baseline.liveBlocks) schedule::violation("host blocks left");
  const sim::Resources left = sim::resources();
  if (left.engines != 0 || left.runningCameras != 0 || left.reservedChannels != 0 ||
      left.initialized)
    schedule::violation("the bus was left with engines, running cameras or channels");
}

void openAndStart(host::VideoInput& input) {
  std::string error;
  settle();
  input.open(error);
  settle();
  input.start(error);
}

void stopAndClose(host::VideoInput& input) {
  settle();
  input.stop();
  settle();
  input.close();
}

// A second host thread (a user interface's, say) doing its part while the
// host's script does its own.
void beside(const std::function<void()>& theirs, const std::function<void()>& ours) {
  schedule::Thread* other = schedule::spawn(theirs);
  ours();
  schedule::reap(other);
}

void readBrightness(host::VideoInput& input) {
  host::PropertyValue value;
  std::string error;
  input.properties().read("Brightness_Value", value, error);
}

void setBrightness(host::VideoInput& input) {
  std::string error;
  input.properties().write("Brightness_Value", "77", error);
}

// Once both threads are done with a close, nothing streams.
void closedForGood() {
  if (sim::resources().runningCameras != 0)
    schedule::violation("a camera streams after closeDevice returned");
}

// The plainest script: open, start, n frames, stop, close.
std::function<void(host::VideoInput&)> streamAndClose(std::uint64_t n) {
  return [n](host::VideoInput& input) {
    openAndStart(input);
    framesDelivered(input, n);
    stopAndClose(input);
  };
}

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> kScenarios = {
      {"start, a frame, stop", streamAndClose(1)},
      {"a stop racing the first frame cycle",
       [](host::VideoInput& input) {
         openAndStart(input);
         stopAndClose(input);
       }},
      {"a close while capturing",
       [](host::VideoInput& input) {
         openAndStart(input);
         framesDelivered(input, 1);
         input.close();
       }},
      {"a destruction while capturing",
       [](host::VideoInput& input) {
         openAndStart(input);
         framesDelivered(input, 1);
       }},
      {"the host stops wanting frames, then stops",
       [](host::VideoInput& input) {
         input.settings.framesPerTrigger = 2;
         openAndStart(input);
         framesDelivered(input, 2);
         stopAndClose(input);
       }},
      {"property traffic from a second host thread",
       [](host::VideoInput& input) {
         openAndStart(input);
         schedule::Thread* traffic = schedule::spawn([&input] {
           std::string error;
           host::PropertyValue value;
           input.properties().write("Brightness_Value", "7", error);
           input.properties().read("Gain_Value", value, error);
         });
         framesDelivered(input, 1);
         stopAndClose(input);
         schedule::reap(traffic);
       }},
      {"a close inside frameWanted",
       streamAndClose(1),
       {kit::Entry::kNone, HostCall::kFrameWanted, table::Action::kClose}},
      {"a destruction inside deliverFrame",
       [](host::VideoInput& input) {
         openAndStart(input);
         framesDelivered(input, 1);
       },
       {kit::Entry::kNone, HostCall::kDeliverFrame, table::Action::kDestroy}},
      {"a close inside acquisitionActive",
       streamAndClose(1),
       {kit::Entry::kNone, HostCall::kAcquisitionActive, table::Action::kClose}},
      {"a restart inside countFrame",
       streamAndClose(2),
       {kit::Entry::kNone, HostCall::kCountFrame, table::Action::kRestart}},
      {"a throw inside the holder's enter, then a new start",
       [](host::VideoInput& input) {
         openAndStart(input);
         framesDelivered(input, 1);
         input.stop();
         settle();
         std::string error;
         input.start(error);
         framesDelivered(input, 2);
         stopAndClose(input);
       },
       {kit::Entry::kNone, HostCall::kHolderEntered, table::Action::kThrow}},
      {"no lock holder from the stop on",
       streamAndClose(1),
       {kit::Entry::kStopCapture, HostCall::kDeviceIsAcquiring, table::Action::kNoHolder}},
      {"frames kept across a start",
       [](host::VideoInput& input) {
         openAndStart(input);
         framesDelivered(input, 1);
         input.stop();
         settle();
         std::string error;
         input.start(error);
         framesDelivered(input, 2);
         stopAndClose(input);
       },
       {},
       [] {
         sim::Quirks quirks;
         quirks.framesAcrossStart = true;
         sim::setCameraQuirks(kMono, quirks);
       }},
      {"two host threads: a stop and a close",
       [](host::VideoInput& input) {
         openAndStart(input);
         framesDelivered(input, 1);
         beside([&input] { input.stop(); }, [&input] { input.close(); });
         closedForGood();
       }},
      {"two host threads: a start and a close",
       [](host::VideoInput& input) {
         std::string error;
         input.open(error);
         beside(
             [&input] {
               std::string ignored;
               input.start(ignored);
             },
             [&input] { input.close(); });
         closedForGood();
       }},
      {"two host threads: a start and a close, a restart inside the close's holder",
       [](host::VideoInput& input) {
         openAndStart(input);
         beside([&input] { input.stop(); }, [&input] { input.close(); });
         closedForGood();
       },
       {kit::Entry::kCloseDevice, HostCall::kHolderMade, table::Action::kRestart}},
      // The device open, not capturing: a free-running camera's thread would
      // make every schedule as long as the fairness bound allows.
      {"two host threads: a destruction and a property read",
       [](host::VideoInput& input) {
         std::string error;
         input.open(error);
         beside([&input] { readBrightness(input); }, [&input] { input.destroyAdaptor(); });
       }},
      {"two host threads: a destruction and a property set, a report inside the set",
       [](host::VideoInput& input) {
         std::string error;
         input.open(error);
         beside([&input] { setBrightness(input); }, [&input] { input.destroyAdaptor(); });
       },
       {kit::Entry::kNotify, HostCall::kAdaptorError, table::Action::kBlock},
       [] {
         sim::addFault({"CvSetCameraRegister", sim::kInjected, 1, 1, -1});
       }},
      {"two host threads: a close, and a destruction inside the other's report",
       [](host::VideoInput& input) {
         openAndStart(input);
         beside([&input] { readBrightness(input); }, [&input] { input.close(); });
         closedForGood();
       },
       {kit::Entry::kGetValue, HostCall::kAdaptorError, table::Action::kDestroy},
       [] {
         sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, 0x00080000});
       }},
      {"a frame wait that fails, and a stop that fails",
       streamAndClose(1),
       {},
       [] {
         sim::addFault({"CvGetNextCompleteFrame", sim::kInjected, 2, 1, -1});
         sim::addFault({"CvStopCamera", sim::kInjected, 1, 1, -1});
       }},
  };
  return kScenarios;
}

// A bus of one small Format 7 camera that sends as fast as frames are taken.
sim::BusDesc smallBus() {
  sim::BusDesc bus = sim::defaultBus();
  bus.adapters.resize(1);
  bus.adapters[0].resize(1);
  bus.adapters[0][0].format7 = {{0, 160, 120, 8, 2, 0, 0, {0}, 512}};
  return bus;
}

TEST(Schedules, EveryScenarioUnderEverySchedule) {
  // Schedules a scenario may run at most: fewer under a sanitizer, which is
  // ten times slower; a scenario whose space is smaller runs it whole.
  const char* given = std::getenv("SCHEDULE_BUDGET");
  const std::uint64_t budget = given != nullptr ? std::strtoull(given, nullptr, 10) : 6000;
  kit::setReportEcho(std::getenv("SCHEDULE_ECHO") != nullptr);
  // Mapped through the whole exploration, the module's unloading at the end of
  // each session is the host's alone: a thread the module left running is
  // found, not crashed into, and no run maps it anew.
  std::string error;
  void* pinned = host::platform::openLibrary(host::Module::defaultPath(), error);
  ASSERT_NE(nullptr, pinned) << error;
  host::installAdaptorManagerFactory();
  kit::setHostCallHook(hook, nullptr);
  kit::setBlockHook(blockHook);
  sim::setFrameWaitHook(frameWaitHook);
  std::uint64_t schedules = 0, violations = 0;
  // SCHEDULE_ONLY=text: only the scenarios whose name holds it (a developer's
  // way back to one).
  const char* only = std::getenv("SCHEDULE_ONLY");
  for (const Scenario& scenario : scenarios()) {
    if (only != nullptr && std::string(scenario.name).find(only) == std::string::npos) continue;
    auto setUp = [&scenario] {
      std::string problem;
      sim::installBus(smallBus(), &problem);
      sim::clearFaults();
      sim::setFreeRunning(true);
      if (scenario.setUp) scenario.setUp();
      kit::clearViolations();
      kit::clearReports();
      kit::failLockHolders(false);
      run = Current{};
      run.inside = scenario.inside;
    };
    schedule::Options options;
    options.budget = scenario.budget != 0 ? scenario.budget : budget;
    const schedule::Result result =
        schedule::explore([&scenario] { life(scenario); }, options, setUp);
    schedules += result.schedules;
    violations += result.violations;
    std::printf("%-48s %5llu schedules%s, %llu violations\n", scenario.name,
                static_cast<unsigned long long>(result.schedules),
                result.exhaustive ? " (all within two preemptions)" : " (sampled)",
                static_cast<unsigned long long>(result.violations));
    EXPECT_EQ(0u, result.violations)
        << scenario.name << ": first in schedule " << result.firstAt << ": " << result.first;
  }
  kit::setHostCallHook(nullptr, nullptr);
  kit::setBlockHook(nullptr);
  sim::setFrameWaitHook(nullptr);
  host::platform::closeLibrary(pinned);
  std::printf("%llu schedules explored, %llu violations\n",
              static_cast<unsigned long long>(schedules),
              static_cast<unsigned long long>(violations));
  EXPECT_GE(schedules, 1000u);
}

}  // namespace
