// Reliability through the host: properties from two threads while acquiring,
// a camera unplugged while capturing, and a library that fails every call it
// makes in a module's whole life, one at a time; then every allocation of that
// life, the module's own and the kit's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "acquisition.h"
#include "host_fixture.h"
#include "module_heap.h"
#include "pixel_layout.h"

namespace {

constexpr std::uint64_t kMono = sim::kMonoCamera;

class ReliabilityTest : public HostTest {};

TEST_F(ReliabilityTest, PropertiesFromTwoThreadsWhileTheDeviceCyclesAndAcquires) {
  // Small frames, served as fast as they are taken: the rounds cost little
  // rendering, even under a sanitizer on a busy machine.
  sim::BusDesc bus = sim::defaultBus();
  bus.adapters[0][0].format7 = {{0, 160, 120, 8, 2, 0, 0, {0}, 512}};
  Install(bus);
  sim::setFreeRunning(true);
  // A stop that overtakes the thread between its flag check and its frame wait
  // costs that wait on the stopped camera: keep it short.
  sim::setTimeoutScale(0.01);
  host::VideoInput& input = Input("1", "VARIABLE_0 (160X120) Mono8");
  input.settings.framesPerTrigger = 0;
  std::atomic<bool> done{false};
  std::atomic<int> problems{0};
  auto worker = [&](int seed) {
    std::string error;
    host::PropertyValue value;
    for (int i = 0; !done; ++i) {
      const std::string gain = std::to_string((i * 37 + seed) % 681);
      if (!input.properties().write("Gain_Value", gain, error)) ++problems;
      if (!input.properties().write("Brightness_Value", std::to_string((i + seed) % 256), error))
        ++problems;
      if (!input.properties().write("Shutter_Absolute_Value", i % 2 ? "0.02" : "0.01", error))
        ++problems;
      if (!input.properties().read("Gain_Value", value, error) || value.integer < 0 ||
          value.integer > 680)
        ++problems;
      if (!input.properties().read("Shutter_Absolute_Value", value, error)) ++problems;
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  std::string error;
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(input.open(error)) << error;
    ASSERT_TRUE(input.start(error)) << error;
    host::Frame first, second;
    ASSERT_TRUE(input.engine().takeFrame(first, 3.0));
    ASSERT_TRUE(input.engine().takeFrame(second, 3.0));
    EXPECT_LT(Sequence(first), Sequence(second));
    input.stop();
    input.close();
  }
  done = true;
  a.join();
  b.join();
  EXPECT_EQ(0, problems.load());
  for (const std::string& r : Reports())
    EXPECT_EQ(
        "CorvaneImaq:acquireThread: Failed to receive frame from camera: Timed out waiting for a "
        "frame",
        r);
}

TEST_F(ReliabilityTest, AnUnpluggedCameraIsSurvivedAndAcquiresAgainOnceBack) {
  sim::setTimeoutScale(0.01);  // frame waits of 2000 ms last 20 ms
  {
    host::VideoInput& input = Input("1", "640X480 Mono8 60 FPS");
    input.settings.framesPerTrigger = 0;
    std::string error;
    ASSERT_TRUE(input.open(error)) << error;
    ASSERT_TRUE(input.start(error)) << error;
    host::Frame frame;
    ASSERT_TRUE(input.engine().takeFrame(frame, 3.0));
    ASSERT_TRUE(sim::unplug(kMono));
    ASSERT_TRUE(WaitForReports(2)) << "frame waits on the unplugged camera fail and say so";
    input.stop();
    input.close();
    inputs_.clear();
    // Frame waits fail and say so; so does the stop of a camera that is gone.
    std::vector<std::string> reports = Reports();
    const std::string stopFailed = "CorvaneImaq:stopCapture: Failed to stop the camera: " +
                                   std::string(CvStatusStringA(sim::kDeviceRemoved));
    EXPECT_EQ(1, std::count(reports.begin(), reports.end(), stopFailed));
    std::erase(reports, stopFailed);
    ASSERT_GE(reports.size(), 2u);
    for (const std::string& r : reports)
      EXPECT_EQ(
          "CorvaneImaq:acquireThread: Failed to receive frame from camera: Timed out waiting for a "
          "frame",
          r);
  }
  EXPECT_EQ(2u, Discover().devices().size());
  ASSERT_TRUE(sim::replug(kMono));
  ASSERT_EQ(3u, Discover().devices().size());
  host::VideoInput& again = Input("Corvane MV-640M 100201", "640X480 Mono8 60 FPS");
  again.settings.framesPerTrigger = 3;
  std::string error;
  ASSERT_TRUE(again.open(error)) << error;
  ASSERT_TRUE(again.start(error)) << error;
  EXPECT_TRUE(again.waitAndStop(3.0));
  EXPECT_EQ(3u, again.engine().framesDelivered());
}

// ---- The fault sweep ----------------------------------------------------------------------

constexpr char kSweepDevice[] = "Corvane CY-422DP 100203";
constexpr char kInjected[] = "Injected failure";

// The default bus, with the YUV camera given a hardware trigger: its life then
// crosses every call site of the module (Format 7, dual packet mode, trigger).
sim::BusDesc SweepBus() {
  sim::BusDesc bus = sim::defaultBus();
  bus.adapters[1][0].triggerInquiry = 0x84C0C003u;
  return bus;
}

struct Phase {
  std::string name;
  std::size_t firstCall;
};

struct Life {
  std::vector<Phase> phases;
  std::uint64_t frames = 0;
  bool opened = false;
};

// The whole life of the module, as a host lives it. Goes as far as the faults
// let it. With watchHeap, the module's allocations are watched once it is loaded.
Life LiveOnce(std::uint32_t frames, bool watchHeap = false) {
  Life life;
  auto phase = [&](const char* name) { life.phases.push_back({name, sim::callLog().size()}); };
  std::string error;
  host::Session session;
  phase("initialise");
  if (!session.start(host::Module::defaultPath(), error)) return life;
  if (watchHeap && !host::moduleheap::watch(session.module(), error)) {
    ADD_FAILURE() << error;
    return life;
  }
  phase("discover");
  session.discover();
  if (session.hardware().deviceByName(kSweepDevice) != nullptr) {
    phase("attributes");
    session.attributes(*session.hardware().deviceByName(kSweepDevice));
    phase("create");
    auto input =
        host::VideoInput::create(session, kSweepDevice, "VARIABLE_0 (640X480) YUV422", error);
    if (input) {
      phase("set");
      input->properties().write("Brightness_Value", "100", error);
      input->properties().write("Gain_Value", "10", error);
      input->properties().write("Shutter_Absolute_Value", "0.02", error);
      input->selectTrigger("Mode_0", "Source_0", error);
      input->settings.framesPerTrigger = frames;
      phase("open");
      life.opened = input->open(error);
      if (life.opened) {
        phase("start");
        const std::uint64_t camera = sim::kYuvCamera;
        if (input->start(error)) {
          sim::setPulseRate(camera, 400);
          phase("acquire");
          // As long as the camera runs, frames will come, however busy the machine.
          host::Frame frame;
          sim::CameraState state;
          while (life.frames < frames) {
            if (input->engine().takeFrame(frame, 0.05)) {
              ++life.frames;
            } else if (!sim::readCamera(camera, state) || !state.running) {
              break;
            }
          }
        }
        phase("stop");
        input->stop();
        sim::setPulseRate(camera, 0);
        phase("close");
        input->close();
      }
      phase("destroy");
    }
  }
  phase("uninitialise");
  session.stop();
  host::moduleheap::unwatch();
  return life;
}

std::string PhaseOf(const Life& life, std::size_t call) {
  std::string name = "initialise";
  for (const Phase& p : life.phases)
    if (p.firstCall <= call) name = p.name;
  return name;
}

// The report the module gives when this call fails, or none where the
// library's status is not examined or a failure is silent.
std::optional<std::string> ExpectedReport(const std::string& phase, const sim::Call& call) {
  const std::string& f = call.function;
  const std::string why = std::string(": ") + kInjected;
  if (f == "CvGetNextCompleteFrame") {
    // A start empties the engine with waits of 0 ms: a failure there only ends the emptying.
    if (call.args.size() > 1 && call.args[1] == 0) return std::nullopt;
    return "CorvaneImaq:acquireThread: Failed to receive frame from camera" + why;
  }
  if (phase == "discover") {
    const std::uint64_t reg = f == "CvQueryCameraRegister" ? call.args[1] : 0;
    if (f == "CvOpenCameraHandleEx" || reg == 19 || reg == 20 || reg == 21 || reg == 24 ||
        reg == 25 || reg == 26)
      return "CorvaneImaq:getAvailHW: Failed to create camera object.";
    return std::nullopt;
  }
  if (phase == "set") {
    const std::uint64_t kind = call.args.size() > 1 ? call.args[1] & 0xFFFF0000u : 0;
    if (f == "CvQueryCameraRegister" && kind == 0x00080000u)
      return "GetControlRegister: Failed to query camera register" + why;
    if (f == "CvQueryCameraRegister" && kind == 0x00070000u)
      return "GetAbsControlRegister: Failed to query camera absolute register" + why;
    if (f == "CvSetCameraRegister" && kind == 0x00080000u)
      return "SetControlRegister: Failed to set camera register" + why;
    if (f == "CvSetCameraRegister" && kind == 0x00070000u)
      return "SetAbsControlRegister: Failed to set camera absolute register" + why;
  }
  if (phase == "open") {
    if (f == "CvGetAvailableIsoChannel")
      return std::string("openDevice: Failed to find available isochronous receive channel.");
    if (f == "CvQueryCameraRegister")
      return "CorvaneImaq:GetPacketSize: Failed to read F7Registers" + why;
    if (f == "CvGetSpecialFeatureCaps")
      return "CorvaneImaq:openDevice: Could not read dual packet mode caps" + why;
    if (f == "CvSetIsochEngineOption")
      return "CorvaneImaq:openDevice: Could not enable dual packet mode" + why;
    if (f == "CvCreateIsochReceiveEngine")
      return "openDevice: Failed to create Isochronous Receive Engine" + why;
    if (f == "CvStartIsochReceiveEngine")
      return "openDevice: Failed to start Isochronous Receive Engine" + why;
  }
  if (phase == "stop" && f == "CvStopCamera")
    return "CorvaneImaq:stopCapture: Failed to stop the camera" + why;
  if (phase == "start") {
    if (f == "CvStartCamera") return "CorvaneImaq:startCapture: Failed to start the camera" + why;
    if (f == "CvReadQuad")
      return "GetTriggerRegister: Failed to query camera trigger register" + why;
    if (f == "CvWriteQuad")
      return "SetTriggerRegister: Failed to set camera trigger register" + why;
  }
  return std::nullopt;
}

TEST(FaultSweep, EveryLibraryCallOfAWholeLifeFailsOnceAndIsSurvived) {
  kit::setReportEcho(false);
  kit::clearReports();
  kit::clearViolations();
  sim::setTimeoutScale(0.01);
  std::string error;
  ASSERT_TRUE(sim::installBus(SweepBus(), &error)) << error;
  const kit::Accounting baseline = kit::accounting();

  // The clean life, with the call log on.
  sim::setCallLog(true);
  sim::clearCallLog();
  const Life clean = LiveOnce(3);
  const std::vector<sim::Call> log = sim::callLog();
  sim::setCallLog(false);
  ASSERT_EQ(3u, clean.frames);
  ASSERT_TRUE(kit::reports().empty())
      << kit::reports().front().source << ": " << kit::reports().front().message;

  // Calls that can fail: every one with a status. The string functions have none.
  std::map<std::string, std::uint64_t> occurrence;
  int injected = 0, survived = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const sim::Call& call = log[i];
    const std::uint64_t nth = ++occurrence[call.function];
    if (call.function == "CvPixelFormatStringA" || call.function == "CvFpsStringA") continue;
    const std::string phase = PhaseOf(clean, i);
    SCOPED_TRACE(sim::describeCall(call) + " #" + std::to_string(nth) + " in " + phase);
    ASSERT_TRUE(sim::installBus(SweepBus(), &error)) << error;
    kit::clearReports();
    kit::clearViolations();
    sim::clearFaults();
    sim::addFault({call.function, sim::kInjected, nth, 1, -1});
    LiveOnce(3);
    if (sim::faultsInjected() == 0) continue;  // a call whose count depends on timing
    ++injected;
    const std::vector<kit::Report> reports = kit::reports();
    std::vector<std::string> texts;
    for (const kit::Report& r : reports) texts.push_back(r.source + ": " + r.message);
    const std::optional<std::string> expected = ExpectedReport(phase, call);
    if (expected) {
      EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), *expected)) << *expected;
    }
    for (const std::string& t : texts) {
      // Besides the report of the failed call, only frame waits that find no frame may follow.
      const bool known =
          (expected && t == *expected) ||
          t == "CorvaneImaq:acquireThread: Failed to receive frame from camera: Timed out "
               "waiting for a frame";
      EXPECT_TRUE(known) << "unexpected report: " << t;
    }
    EXPECT_TRUE(kit::violations().empty()) << kit::violations().front();
    EXPECT_EQ(baseline.liveBlocks, kit::accounting().liveBlocks) << "host blocks leaked";
    EXPECT_EQ(baseline.liveSections, kit::accounting().liveSections) << "critical sections leaked";
    // A close or delete that the library itself failed leaves its object behind: not the module's
    // doing.
    const sim::Resources left = sim::resources();
    EXPECT_EQ(call.function == "CvCloseCameraHandle" ? 1u : 0u, left.openHandles);
    EXPECT_EQ(call.function == "CvDeleteIsochReceiveEngine" ? 1u : 0u, left.engines);
    EXPECT_EQ(call.function == "CvTerminate", left.initialized);
    while (sim::resources().initialized) CvTerminate();

    // Once the fault is gone the module works again.
    sim::clearFaults();
    ASSERT_TRUE(sim::installBus(SweepBus(), &error)) << error;
    kit::clearReports();
    EXPECT_EQ(1u, LiveOnce(1).frames);
    if (!::testing::Test::HasFailure()) ++survived;
  }
  std::printf("fault sweep: %zu library calls in a clean life, %d faults injected, %d survived\n",
              log.size(), injected, survived);
  EXPECT_GT(injected, 100);
  EXPECT_EQ(injected, survived);

  // Out of memory, at every allocation of the life in turn: the module's own
  // (its operator new) and the kit's (imaqmalloc). Whatever runs out, nothing is
  // thrown into the host, nothing is left behind, and what failed says so.
  sim::clearFaults();
  ASSERT_TRUE(sim::installBus(SweepBus(), &error)) << error;
  const std::uint64_t before = host::moduleheap::allocations();
  const std::size_t kitBefore = kit::accounting().totalAllocations;
  ASSERT_EQ(3u, LiveOnce(3, true).frames);
  const std::uint64_t moduleAllocations = host::moduleheap::allocations() - before;
  const std::size_t kitAllocations = kit::accounting().totalAllocations - kitBefore;
  int starved = 0;
  for (std::uint64_t nth = 1; nth <= moduleAllocations + kitAllocations; ++nth) {
    const bool own = nth <= moduleAllocations;
    SCOPED_TRACE((own ? "module allocation " : "kit allocation ") +
                 std::to_string(own ? nth : nth - moduleAllocations));
    ASSERT_TRUE(sim::installBus(SweepBus(), &error)) << error;
    kit::clearReports();
    kit::clearViolations();
    const std::uint64_t failedBefore = host::moduleheap::failed();
    if (own)
      host::moduleheap::failAllocation(nth);
    else
      kit::failAllocation(nth - moduleAllocations);
    LiveOnce(3, true);
    host::moduleheap::failAllocation(0);
    kit::failAllocation(0);
    if (own && host::moduleheap::failed() == failedBefore) continue;  // counts vary with timing
    ++starved;
    for (const kit::Report& r : kit::reports()) {
      const std::string t = r.source + ": " + r.message;
      // Where a camera object or a thread cannot be made for want of memory,
      // discovery and the open say that.
      const bool known = t.find("memory") != std::string::npos ||
                         t.find("No storage") != std::string::npos ||
                         t == "CorvaneImaq:getAvailHW: Failed to create camera object." ||
                         t == "openDevice: Failed to create image acquisition thread." ||
                         t == "CorvaneImaq:acquireThread: Failed to receive frame from camera: "
                              "Timed out waiting for a frame";
      EXPECT_TRUE(known) << "unexpected report: " << t;
    }
    EXPECT_TRUE(kit::violations().empty()) << kit::violations().front();
    EXPECT_EQ(baseline.liveBlocks, kit::accounting().liveBlocks) << "host blocks leaked";
    EXPECT_EQ(baseline.liveSections, kit::accounting().liveSections) << "critical sections leaked";
    const sim::Resources left = sim::resources();
    EXPECT_EQ(0u, left.openHandles);
    EXPECT_EQ(0u, left.engines);
    EXPECT_EQ(0u, left.reservedChannels);
    EXPECT_FALSE(left.initialized);
    kit::clearReports();
    EXPECT_EQ(1u, LiveOnce(1).frames) << "the module works again";
    if (::testing::Test::HasFailure()) break;
  }
  sim::clearFaults();
  sim::setTimeoutScale(1.0);
  kit::setReportEcho(true);
  std::printf(
      "allocation sweep: %llu of the module's and %zu of the kit's in a clean life, %d "
      "failed in turn\n",
      static_cast<unsigned long long>(moduleAllocations), kitAllocations, starved);
  EXPECT_GT(moduleAllocations, 10u);
}

}  // namespace
