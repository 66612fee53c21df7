// What a host can get wrong, or run short of, and what the module does about
// it: regions that would over-read, an open flag that disagrees with the
// module's own state, a camera that will not say whether it runs or will not
// stop, a kit that gives no manager or lock, and host calls that throw while
// an adaptor is built. Then a table of the freedoms a camera library and a
// host may take, one scenario a row.
#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "acquisition.h"
#include "frame_types.h"
#include "host_fixture.h"
#if defined(_WIN32)
#include "winthread.h"
#endif

namespace {

class HardeningTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host::installAdaptorManagerFactory();
  }

  IAdaptor* Create(host::Engine& engine, const std::string& device, const char* format) {
    host::DeviceEntry* entry = session_.hardware().deviceByName(device);
    EXPECT_NE(nullptr, entry);
    return session_.module().entry().createInstance(&engine, entry, format);
  }

  // An engine holding the device properties of a device, as the host makes one.
  void DeclareInto(host::Engine& engine, const std::string& device) {
    host::DeviceEntry* entry = session_.hardware().deviceByName(device);
    ASSERT_NE(nullptr, entry);
    for (const auto& p : session_.attributes(*entry).properties)
      engine.properties().add(p->clone(true));
  }

  static std::string StatusText(CvStatus status) { return CvStatusStringA(status); }

  // The monochrome camera capturing until stopped, its first frame taken.
  host::VideoInput& Streaming() {
    host::VideoInput& input = Input("1", "640X480 Mono8 60 FPS");
    input.settings.framesPerTrigger = 0;
    OpenAndStart(input);
    EXPECT_EQ(1u, Take(input, 1).size());
    return input;
  }

  static constexpr char kMono[] = "Corvane MV-640M 100201";
  static constexpr char kCreate[] = "CorvaneImaq:createInstance: ";
};

TEST_F(HardeningTest, RegionsThatWouldOverReadAreRefusedAndChangeNothing) {
  // A 640-wide mode whose widths and offsets step by 8.
  host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) YUV422");
  const int refused[][4] = {{8, 0, -8, 480}, {-8, 0, 640, 480}, {0, -2, 640, 480},
                            {0, 0, 0, 480},  {0, 0, 640, 0},    {0, 0, -640, -480}};
  for (const auto& r : refused) {
    kit::clearReports();
    input.adaptor().setROI(r[0], r[1], r[2], r[3]);  // as a host that checks nothing
    EXPECT_EQ(std::vector<std::string>{"setROI: Unsupported ROI values."}, Reports())
        << r[0] << "," << r[1] << " " << r[2] << "x" << r[3];
    int x, y, w, h;
    input.roi(x, y, w, h);
    EXPECT_EQ((std::vector<int>{0, 0, 640, 480}), (std::vector<int>{x, y, w, h}));
  }
  // The camera starts with the region it had, and frames claim no more than it sends.
  kit::clearReports();
  input.settings.framesPerTrigger = 1;
  OpenAndStart(input);
  const std::vector<host::Frame> frames = Take(input, 1);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(640, frames[0].width);
  EXPECT_EQ(640u * 480 * 2, frames[0].data.size());
  EXPECT_TRUE(input.waitAndStop(3.0));
}

TEST_F(HardeningTest, AReopenAfterTheHostLostTrackEndsTheOldThreadAndEngineFirst) {
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  input.settings.framesPerTrigger = 0;
  OpenAndStart(input);
  ASSERT_EQ(1u, Take(input, 1).size());
  ASSERT_EQ(1u, sim::resources().engines);
  // The host forgets it opened and started the device, and never closes it.
  input.manager().setAcquiring(false);
  input.manager().setOpen(false);
  // The next open takes a smaller region: frames sized from the old open's
  // record, freed by this open, would be read from freed memory.
  std::string error;
  ASSERT_TRUE(input.setRoi(0, 0, 320, 240, error)) << error;
  ASSERT_TRUE(input.adaptor().openDevice());
  input.manager().setOpen(true);
  EXPECT_EQ(1u, sim::resources().engines) << "the old engine is gone, not left to a lost thread";
  input.engine().resetCounts();
  while (input.engine().framesWaiting() > 0) {
    host::Frame stale;
    input.engine().takeFrame(stale, 0);
  }
  input.settings.framesPerTrigger = 3;
  ASSERT_TRUE(input.start(error)) << error;
  const std::vector<host::Frame> frames = Take(input, 3);
  ASSERT_EQ(3u, frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(320, frames[i].width);
    EXPECT_EQ(240, frames[i].height);
    if (i > 0) {
      EXPECT_LT(Sequence(frames[i - 1]), Sequence(frames[i]));
    }
  }
  EXPECT_TRUE(input.waitAndStop(3.0));
  EXPECT_EQ(3u, input.engine().framesDelivered()) << "one thread delivers, not two";
}

TEST_F(HardeningTest, ACameraWhoseStateCannotBeReadIsStoppedAnyway) {
  host::VideoInput& input = Streaming();
  sim::addFault({"CvIsCameraRunning", sim::kInjected, 0, 1, -1});
  sim::setCallLog(true);
  input.stop();
  const std::vector<std::string> calls = CallNames();
  EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "CvStopCamera"));
  sim::CameraState state;
  ASSERT_TRUE(sim::readCamera(sim::kMonoCamera, state));
  EXPECT_FALSE(state.running) << "left streaming, holding its bus's bandwidth";
  EXPECT_EQ(0u, sim::resources().bandwidthUnitsInUse);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(HardeningTest, AStopThatFailsIsReported) {
  host::VideoInput& input = Streaming();
  sim::addFault({"CvStopCamera", sim::kInjected, 1, 1, -1});
  input.stop();
  EXPECT_EQ(std::vector<std::string>{"CorvaneImaq:stopCapture: Failed to stop the camera: " +
                                     StatusText(sim::kInjected)},
            Reports());
  sim::CameraState state;
  ASSERT_TRUE(sim::readCamera(sim::kMonoCamera, state));
  EXPECT_TRUE(state.running);
  // The next stop, once the camera lets it, stops it.
  kit::clearReports();
  OpenAndStart(input);
  input.stop();
  ASSERT_TRUE(sim::readCamera(sim::kMonoCamera, state));
  EXPECT_FALSE(state.running);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(HardeningTest, NoAdaptorManagerOrLockMeansNoAdaptorAndNothingLeft) {
  Discover();
  host::Engine engine;
  DeclareInto(engine, kMono);
  const std::string noKit = std::string(kCreate) +
                            "The host kit gave no adaptor manager or no critical section; no "
                            "adaptor for 'Corvane MV-640M 100201'.";
  kit::setManagerFactory(nullptr, nullptr);
  EXPECT_EQ(nullptr, Create(engine, kMono, "640X480 Mono8 30 FPS"));
  EXPECT_EQ(std::vector<std::string>{noKit}, Reports());
  host::installAdaptorManagerFactory();
  for (std::uint64_t nth : {1, 2}) {
    kit::clearReports();
    kit::failCriticalSections(nth);
    EXPECT_EQ(nullptr, Create(engine, kMono, "640X480 Mono8 30 FPS")) << "lock " << nth;
    EXPECT_EQ(std::vector<std::string>{noKit}, Reports());
  }
  for (const auto& p : engine.properties().properties()) {
    EXPECT_FALSE(p->hasGetter()) << p->name() << ": a getter pointing at a destroyed adaptor";
    EXPECT_EQ(0u, p->listenerCount()) << p->name();
  }
  // The fixture's end proves no block and no critical section was left.
}

TEST_F(HardeningTest, AManagerFactoryThatThrowsMakesNoAdaptor) {
  Discover();
  host::Engine engine;
  kit::setManagerFactory(
      [](IAdaptor*, IEngine*, void*) -> IAdaptorManager* { throw std::bad_alloc(); }, nullptr);
  EXPECT_EQ(nullptr, Create(engine, kMono, "640X480 Mono8 30 FPS"));
  EXPECT_EQ(std::vector<std::string>{std::string(kCreate) +
                                     "The host failed while the adaptor was made; no adaptor for "
                                     "'Corvane MV-640M 100201'."},
            Reports());
}

TEST_F(HardeningTest, AHostCallThatThrowsWhileListenersAreInstalledCostsOnlyThatProperty) {
  Discover();
  // The 1st call throws in setCustomGetter; the 4th in addPostSetListener,
  // after that property's getter was taken.
  for (int nth : {1, 4}) {
    SCOPED_TRACE("call " + std::to_string(nth));
    kit::clearReports();
    host::Engine engine;
    DeclareInto(engine, kMono);
    const auto& properties = engine.properties().properties();
    const std::string first = properties[0]->name(), second = properties[1]->name();
    engine.properties().failInstallation(nth);
    IAdaptor* adaptor = Create(engine, kMono, "640X480 Mono8 30 FPS");
    ASSERT_NE(nullptr, adaptor);
    const std::string failed = nth == 1 ? first : second;
    EXPECT_EQ(std::vector<std::string>{std::string(kCreate) +
                                       "The host failed to take the listeners of property '" +
                                       failed + "'; it is not connected to the camera."},
              Reports());
    for (const auto& p : properties) {
      const bool hit = p->name() == failed;
      EXPECT_EQ(!(hit && nth == 1), p->hasGetter()) << p->name();
      EXPECT_EQ(hit ? 0u : 1u, p->listenerCount()) << p->name();
    }
    // The adaptor lives and serves the properties that are connected.
    host::PropertyValue value;
    std::string error;
    ASSERT_TRUE(engine.properties().read("Sharpness_Value", value, error)) << error;
    EXPECT_EQ(64, value.integer);
    imaqkit::destroy(adaptor);
  }
}

// ---- Freedoms of the library and the host -----------------------------------------------

// Waits until done() holds; false when it did not within the time.
bool WaitFor(const std::function<bool()>& done, double seconds = 30.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class FreedomTest : public HardeningTest {
 public:
  explicit FreedomTest(std::function<void(FreedomTest&)> scenario)
      : scenario_(std::move(scenario)) {}
  void TestBody() override { scenario_(*this); }

  using HostTest::Destroy;
  using HostTest::Discover;
  using HostTest::FormatNames;
  using HostTest::image_;
  using HostTest::Input;
  using HostTest::Install;
  using HostTest::OpenAndStart;
  using HostTest::Reports;
  using HostTest::Sequence;
  using HostTest::session_;
  using HostTest::Take;
  using HostTest::WaitForReports;

  // The Bayer camera in 16 bits, started with a region: frames must be what it sends.
  void FramesMatchWhatTheCameraSends() {
    host::VideoInput& input = Input("2", "VARIABLE_0 (1280X960) Raw16");
    std::string error;
    ASSERT_TRUE(input.setRoi(8, 2, 640, 480, error)) << error;
    input.settings.framesPerTrigger = 3;
    OpenAndStart(input);
    const std::vector<host::Frame> frames = Take(input, 3);
    ASSERT_EQ(3u, frames.size());
    sim::CameraState camera;
    ASSERT_TRUE(sim::readCamera(kBayer, camera));
    EXPECT_EQ(10u, camera.coding) << "the camera streams the coding the host is told";
    EXPECT_EQ(640u, camera.width);
    for (const host::Frame& f : frames) {
      EXPECT_EQ(0x06030013u, f.frameType);
      EXPECT_EQ(640, f.width);
      EXPECT_EQ(480, f.height);
      EXPECT_EQ(camera.frameBytes, f.data.size());
    }
    EXPECT_TRUE(input.waitAndStop(3.0));
  }

  static constexpr std::uint64_t kBayer = sim::kBayerCamera;

 private:
  std::function<void(FreedomTest&)> scenario_;
};

void StartupRefusedOrIgnored(FreedomTest& t, sim::Quirks::Startup startup) {
  sim::Quirks quirks;
  quirks.startupInfo = startup;
  ASSERT_TRUE(sim::setCameraQuirks(FreedomTest::kBayer, quirks));
  t.FramesMatchWhatTheCameraSends();
}

const std::pair<const char*, std::function<void(FreedomTest&)>> kFreedoms[] = {
    {"StartupInfoRefused",
     [](FreedomTest& t) { StartupRefusedOrIgnored(t, sim::Quirks::Startup::kRefused); }},
    {"StartupInfoIgnored",
     [](FreedomTest& t) { StartupRefusedOrIgnored(t, sim::Quirks::Startup::kIgnored); }},
    {"AFrameKeptPastAStopIsNotDelivered",
     [](FreedomTest& t) {
       sim::Quirks quirks;
       quirks.framesAfterStop = true;
       ASSERT_TRUE(sim::setCameraQuirks(sim::kMonoCamera, quirks));
       host::VideoInput& input = t.Input("1", "640X480 Mono8 60 FPS");
       input.settings.framesPerTrigger = 0;
       FreedomTest::OpenAndStart(input);
       ASSERT_EQ(1u, FreedomTest::Take(input, 1).size());
       // The thread has checked the flag and waits to take its lock: the stop
       // finds the lock free and stops the camera, which leaves a frame behind.
       kit::holdExplicitEnters(true);
       ASSERT_TRUE(WaitFor([] { return kit::heldEnters() > 0; }));
       const std::uint64_t delivered = input.engine().framesDelivered();
       input.stop();
       const std::uint64_t leaves = kit::holderLeaves();
       kit::holdExplicitEnters(false);
       ASSERT_TRUE(WaitFor([&] { return kit::holderLeaves() > leaves; }));
       EXPECT_EQ(delivered, input.engine().framesDelivered()) << "a frame after the stop";
     }},
    {"AFrameKeptAcrossAStartIsNotDeliveredInTheNextRun",
     [](FreedomTest& t) {
       sim::Quirks quirks;
       quirks.framesAcrossStart = true;
       ASSERT_TRUE(sim::setCameraQuirks(sim::kMonoCamera, quirks));
       sim::setFreeRunning(true);
       host::VideoInput& input = t.Input("1", "640X480 Mono8 60 FPS");
       input.settings.framesPerTrigger = 0;
       FreedomTest::OpenAndStart(input);
       ASSERT_EQ(1u, FreedomTest::Take(input, 1).size());
       input.stop();
       // The engine kept the frame the stop finished; the next run starts after it.
       sim::CameraState camera;
       ASSERT_TRUE(sim::readCamera(sim::kMonoCamera, camera));
       const auto first = static_cast<std::uint32_t>(camera.framesCompleted);
       input.engine().setSequenceSource([first] { return first; });
       std::string error;
       ASSERT_TRUE(input.start(error)) << error;
       const std::vector<host::Frame> frames = FreedomTest::Take(input, 2);
       ASSERT_EQ(2u, frames.size());
       EXPECT_GE(FreedomTest::Sequence(frames[0]), first) << "a frame of the run before";
       input.stop();
     }},
    {"AHostThatUnloadsWithoutUninitializingTakesNoCodeFromUnderAThread",
     [](FreedomTest& t) {
       // The host closes from a callback on the thread and is slow to return
       // from it; meanwhile it destroys the adaptor and unloads the module.
       struct Slow {
         host::VideoInput* input = nullptr;
         std::atomic<bool> closed{false};
       } slow;
       kit::setHostCallHook(
           [](kit::HostCall call, void* context) {
             auto& s = *static_cast<Slow*>(context);
             if (call != kit::HostCall::kDeliverFrame || s.closed.exchange(true))
               return kit::Answer::kAsIs;
             kit::noteAction();
             s.input->close();
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             return kit::Answer::kAsIs;
           },
           &slow);
       host::VideoInput& input = t.Input("1", "640X480 Mono8 60 FPS");
       slow.input = &input;
       input.settings.framesPerTrigger = 0;
       FreedomTest::OpenAndStart(input);
       ASSERT_TRUE(WaitFor([&] { return slow.closed.load(); }));
       t.Destroy(input);
       t.session_.abandon();
       // The thread returns into the module's code, which must still be there.
       const int threads = host::platform::threadCount(t.image_.first, t.image_.second);
       EXPECT_TRUE(WaitFor([&] {
         return host::platform::threadCount(t.image_.first, t.image_.second) < threads;
       })) << "the thread did not end";
       kit::setHostCallHook(nullptr, nullptr);
       while (sim::resources().initialized) CvTerminate();
       // The host comes back: the module loads and works again, and its
       // uninitializeAdaptor waits for a thread the abandoned session left
       // (on Linux the module stayed loaded for it).
       std::string error;
       ASSERT_TRUE(t.session_.start(host::Module::defaultPath(), error)) << error;
       host::VideoInput& again = t.Input("1", "640X480 Mono8 60 FPS");
       again.settings.framesPerTrigger = 1;
       FreedomTest::OpenAndStart(again);
       EXPECT_EQ(1u, FreedomTest::Take(again, 1).size());
       EXPECT_TRUE(again.waitAndStop(3.0));
     }},
    {"NoTextsStillGiveOneNameAFormat",
     [](FreedomTest& t) {
       sim::setLibraryQuirks({sim::LibraryQuirks::Texts::kNull, false});
       host::HardwareList& hw = t.Discover();
       for (const host::DeviceEntry* d : hw.devices()) {
         const std::vector<std::string> names = FreedomTest::FormatNames(*d);
         EXPECT_EQ(names.size(), std::set<std::string>(names.begin(), names.end()).size());
       }
       EXPECT_EQ("640X480 coding 0 rate 4 FPS", FreedomTest::FormatNames(*hw.devices()[0])[2]);
       EXPECT_EQ("VARIABLE_0 (1280X960) coding 10", FreedomTest::FormatNames(*hw.devices()[1])[2]);
     }},
    {"OneTextForEveryCodingStillGivesOneNameAFormat",
     [](FreedomTest& t) {
       sim::setLibraryQuirks({sim::LibraryQuirks::Texts::kSame, false});
       host::HardwareList& hw = t.Discover();
       EXPECT_EQ((std::vector<std::string>{
                     "VARIABLE_0 (1280X960) Pixels", "VARIABLE_0 (1280X960) Pixels #2",
                     "VARIABLE_0 (1280X960) Pixels #3", "VARIABLE_1 (640X480) Pixels",
                     "VARIABLE_1 (640X480) Pixels #5"}),
                 FreedomTest::FormatNames(*hw.devices()[1]));
       // Each name reaches its own format: the third is the 16-bit one.
       EXPECT_EQ(0x06030013u,
                 t.Input("2", "VARIABLE_0 (1280X960) Pixels #3").adaptor().getFrameType());
       for (const host::DeviceEntry* d : hw.devices()) {
         const std::vector<std::string> names = FreedomTest::FormatNames(*d);
         EXPECT_EQ(names.size(), std::set<std::string>(names.begin(), names.end()).size());
       }
     }},
    {"AStatusWithoutATextIsNamedByItsNumber",
     [](FreedomTest& t) {
       sim::setLibraryQuirks({sim::LibraryQuirks::Texts::kHonest, true});
       sim::addFault({"CvCreateIsochReceiveEngine", 0x12345678u, 1, 1, -1});
       host::VideoInput& input = t.Input("1");
       std::string error;
       EXPECT_FALSE(input.open(error));
       EXPECT_EQ("openDevice: Failed to create Isochronous Receive Engine: status 0x12345678",
                 error);
     }},
    {"ACameraThatCannotStartSaysWhyOnce",
     [](FreedomTest& t) {
       sim::BusDesc bus = sim::defaultBus();
       bus.adapters[1][0].speed = kCvS100;  // its 4096-byte packets need S400
       t.Install(bus);
       host::VideoInput& input = t.Input("3", "VARIABLE_0 (640X480) YUV422");
       sim::setTimeoutScale(0.01);
       FreedomTest::OpenAndStart(input);
       ASSERT_TRUE(FreedomTest::WaitForReports(2));
       input.stop();
       const std::vector<std::string> reports = FreedomTest::Reports();
       EXPECT_EQ(1, std::count(reports.begin(), reports.end(),
                               "CorvaneImaq:startCapture: Failed to start the camera: Not enough "
                               "isochronous bandwidth"));
     }},
    {"NoEngineFailsTheStart",
     [](FreedomTest& t) {
       host::VideoInput& input = t.Input("1");
       std::string error;
       ASSERT_TRUE(input.open(error)) << error;
       input.manager().setGiveEngine(false);
       EXPECT_FALSE(input.start(error));
       EXPECT_EQ(
           (std::vector<std::string>{"startCapture: The host gave no engine to take the frames."}),
           FreedomTest::Reports());
       input.manager().setGiveEngine(true);
     }},
};

#if defined(_WIN32)
// Windows gives an ended thread's id to the next thread it makes: a host
// thread that gets the id of an acquisition thread that has ended is not that
// thread, and opens, acquires and destroys as any other. (Natively the test
// build's thread service reuses ids the same way, under the host-call table.)
TEST_F(HardeningTest, AHostThreadWithAnEndedAcquisitionThreadsIdIsAHostThread) {
  Discover();
  host::VideoInput& input = Input("1", "640X480 Mono8 60 FPS");
  std::atomic<DWORD> acquisitionThread{0};
  input.engine().setDeliverHook([&] { acquisitionThread = GetCurrentThreadId(); });
  OpenAndStart(input);
  ASSERT_FALSE(Take(input, 1).empty());
  input.stop();
  input.close();
  input.engine().setDeliverHook(nullptr);
  ASSERT_NE(0u, acquisitionThread.load());
  bool found = false;
  for (int i = 0; i < 4000 && !found; ++i) {
    std::thread([&] {
      if (GetCurrentThreadId() != acquisitionThread) return;
      found = true;
      std::string error;
      EXPECT_TRUE(input.open(error)) << error;
      EXPECT_TRUE(input.start(error)) << error;
      EXPECT_EQ(2u, Take(input, 2).size());
      input.stop();
      Destroy(input);
    }).join();
  }
  EXPECT_TRUE(found) << "no new thread got the ended acquisition thread's id";
}
#endif

// Each row is a test of its own, with the fixture's checks at its end.
const bool kRegistered = [] {
  for (const auto& [name, scenario] : kFreedoms)
    ::testing::RegisterTest("Freedoms", name, nullptr, nullptr, __FILE__, __LINE__,
                            [run = scenario]() -> HardeningTest* { return new FreedomTest(run); });
  return true;
}();

}  // namespace
