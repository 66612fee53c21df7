// What a host can get wrong, or run short of, and what the module does about
// it: regions that would over-read, an open flag that disagrees with the
// module's own state, a camera that will not say whether it runs or will not
// stop, a kit that gives no manager or lock, and host calls that throw while
// an adaptor is built.
#include <algorithm>
#include <new>
#include <stdexcept>

#include "acquisition.h"
#include "host_fixture.h"

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

}  // namespace
