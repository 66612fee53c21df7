// The adaptor object through the host: creation, what it says of the image,
// regions of interest, and opening and closing the device on the virtual bus.
#include <cstring>

#include "acquisition.h"
#include "host_fixture.h"

namespace {

class AdaptorTest : public HostTest {
 protected:
  static std::vector<sim::Call> CallsOf(const std::string& function) {
    std::vector<sim::Call> calls;
    for (const sim::Call& c : sim::callLog())
      if (c.function == function) calls.push_back(c);
    return calls;
  }
};

TEST_F(AdaptorTest, DescribesItsImage) {
  host::VideoInput& mono = Input("1", "640X480 Mono8 30 FPS");
  EXPECT_EQ(640, mono.adaptor().getMaxWidth());
  EXPECT_EQ(480, mono.adaptor().getMaxHeight());
  EXPECT_EQ(0x11010000u, mono.adaptor().getFrameType());
  EXPECT_EQ(1, mono.adaptor().getBandCount());
  EXPECT_STREQ("1.0.0", mono.adaptor().getVersion());
  EXPECT_STRNE("", mono.adaptor().getDescription());
  host::VideoInput& yuv = Input("Corvane CY-422DP 100203", "VARIABLE_0 (640X480) RGB8");
  EXPECT_EQ(0x01030000u, yuv.adaptor().getFrameType());
  EXPECT_EQ(3, yuv.adaptor().getBandCount());
  host::VideoInput& bayer = Input("2", "VARIABLE_0 (1280X960) Raw16");  // filter pattern 1
  EXPECT_EQ(0x06030013u, bayer.adaptor().getFrameType());
  EXPECT_EQ(3, bayer.adaptor().getBandCount());
}

TEST_F(AdaptorTest, FrameTypesOfEveryCodingAndFilterPattern) {
  // One camera per filter pattern code, each with one Format 7 mode offering every coding.
  sim::BusDesc bus;
  bus.adapters.resize(1);
  for (std::uint8_t pattern = 0; pattern < 6; ++pattern) {
    sim::CameraDesc c = Camera(100 + pattern);
    c.fixed.clear();
    c.filterPattern = pattern;
    c.format7 = {{0, 64, 64, 4, 2, 0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 1024}};
    bus.adapters[0].push_back(c);
  }
  Install(bus);
  const std::uint32_t types[] = {0x11010000, 0x03030003, 0x03030001, 0x03030004, 0x01030000,
                                 0x11010004, 0x01030006, 0x11010009, 0x0103000a};
  const int bands[] = {1, 3, 3, 3, 3, 1, 3, 1, 3, 3, 3};
  const std::uint32_t raw8[] = {0x06030000, 0x06030003, 0x06030000,
                                0x06030001, 0x06030002, 0x06030000};
  for (std::uint8_t pattern = 0; pattern < 6; ++pattern) {
    for (std::uint32_t coding = 0; coding < 11; ++coding) {
      const char* names[] = {"Mono8", "YUV411",        "YUV422",       "YUV444", "RGB8", "Mono16",
                             "RGB16", "Signed Mono16", "Signed RGB16", "Raw8",   "Raw16"};
      host::VideoInput& input =
          Input(std::to_string(pattern + 1), std::string("VARIABLE_0 (64X64) ") + names[coding]);
      SCOPED_TRACE("pattern " + std::to_string(pattern) + " coding " + std::to_string(coding));
      const std::uint32_t want = coding < 9    ? types[coding]
                                 : coding == 9 ? raw8[pattern]
                                               : raw8[pattern] | 0x10;
      EXPECT_EQ(want, input.adaptor().getFrameType());
      EXPECT_EQ(bands[coding], input.adaptor().getBandCount());
      Destroy(input);
    }
  }
}

TEST_F(AdaptorTest, ACodingOutsideTheTableIsMono8) {
  sim::CameraDesc c = Camera(5);
  c.fixed.clear();
  c.format7 = {{0, 64, 64, 4, 2, 0, 0, {0}, 1024}};
  sim::BusDesc bus;
  bus.adapters = {{c}};
  Install(bus);
  host::VideoInput& input = Input("1");
  auto* format = static_cast<host::FormatEntry&>(input.format()).adaptorData();
  ASSERT_NE(nullptr, format);
  // The module's format object is the module's; the host sees only the adaptor.
  EXPECT_EQ(0x11010000u, input.adaptor().getFrameType());
}

TEST_F(AdaptorTest, CreatingForAnEntryWithoutModuleObjectsFailsWithAWarning) {
  host::HardwareList& hw = Discover();
  host::Engine engine;
  host::installAdaptorManagerFactory();
  const auto& create = session_.module().entry().createInstance;
  ASSERT_NE(nullptr, create);
  host::DeviceEntry bare(99, "bare");
  EXPECT_EQ(nullptr, create(&engine, &bare, "640X480 Mono8 30 FPS"));
  EXPECT_EQ(nullptr, create(&engine, hw.devices()[0], "no such format"));
  EXPECT_EQ(nullptr, create(&engine, hw.devices()[0], nullptr));
  const std::vector<std::string> reports = Reports();
  ASSERT_EQ(3u, reports.size());
  EXPECT_EQ("CorvaneImaq:createInstance: The device entry carries no camera of this adaptor.",
            reports[0]);
  EXPECT_EQ(
      "CorvaneImaq:createInstance: 'no such format' is not a video format of camera "
      "'Corvane MV-640M 100201'.",
      reports[1]);
  // No storage for the adaptor: null, and nothing reported.
  kit::clearReports();
  kit::failAllocation(1);
  EXPECT_EQ(nullptr, create(&engine, hw.devices()[0], "640X480 Mono8 30 FPS"));
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(AdaptorTest, Format7RegionsLiveInTheFormat) {
  host::VideoInput& first = Input("3", "VARIABLE_0 (640X480) YUV422");
  int x, y, w, h;
  first.roi(x, y, w, h);
  EXPECT_EQ((std::vector<int>{0, 0, 640, 480}), (std::vector<int>{x, y, w, h}));
  std::string error;
  ASSERT_TRUE(first.setRoi(8, 4, 320, 240, error)) << error;
  EXPECT_FALSE(first.setRoi(4, 4, 320, 240, error));  // offset not a multiple of 8
  EXPECT_EQ("setROI: Unsupported ROI values.", error);
  first.roi(x, y, w, h);
  EXPECT_EQ((std::vector<int>{8, 4, 320, 240}), (std::vector<int>{x, y, w, h}));
  Destroy(first);
  // The next adaptor for the same format starts with that region; another format does not.
  host::VideoInput& second = Input("3", "VARIABLE_0 (640X480) YUV422");
  second.roi(x, y, w, h);
  EXPECT_EQ((std::vector<int>{8, 4, 320, 240}), (std::vector<int>{x, y, w, h}));
  host::VideoInput& rgb = Input("3", "VARIABLE_0 (640X480) RGB8");
  rgb.roi(x, y, w, h);
  EXPECT_EQ((std::vector<int>{0, 0, 640, 480}), (std::vector<int>{x, y, w, h}));
}

TEST_F(AdaptorTest, FixedFormatRegionsAreTheKits) {
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  int x, y, w, h;
  input.roi(x, y, w, h);
  EXPECT_EQ((std::vector<int>{0, 0, 640, 480}), (std::vector<int>{x, y, w, h}));
  std::string error;
  ASSERT_TRUE(input.setRoi(3, 5, 100, 50, error)) << error;
  input.manager().regionOfInterest(x, y, w, h);
  EXPECT_EQ((std::vector<int>{3, 5, 100, 50}), (std::vector<int>{x, y, w, h}));
  input.roi(x, y, w, h);
  EXPECT_EQ((std::vector<int>{3, 5, 100, 50}), (std::vector<int>{x, y, w, h}));
}

TEST_F(AdaptorTest, OpeningAFixedFormatReservesAChannelAndStartsEngineAndThread) {
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  sim::setCallLog(true);
  std::string error;
  ASSERT_TRUE(input.open(error)) << error;
  EXPECT_EQ((std::vector<std::string>{"CvGetAvailableIsoChannel", "CvCreateIsochReceiveEngine",
                                      "CvStartIsochReceiveEngine"}),
            CallNames());
  const std::vector<sim::Call> start = CallsOf("CvStartIsochReceiveEngine");
  ASSERT_EQ(32u, start[0].record.size());
  CameraStartupRecord record;
  std::memcpy(&record, start[0].record.data(), sizeof record);
  EXPECT_EQ(CV_CAMERA_STARTUP_TAG, record.tag);
  EXPECT_EQ(0u, record.formatNumber);
  EXPECT_EQ(5u, record.mode);
  EXPECT_EQ(4, record.frameRate);
  EXPECT_EQ(1, record.flag);
  EXPECT_EQ(kCvS400, record.speed);
  EXPECT_EQ(nullptr, record.image);
  EXPECT_EQ(1u, start[0].args[1]);  // adapter
  EXPECT_EQ(1u, sim::resources().engines);
  EXPECT_EQ(1u, sim::resources().reservedChannels);
  // The fixture's count of the module's threads sees this one.
  EXPECT_EQ(threads_ + 1, host::platform::threadCount(image_.first, image_.second));
  // Opening again changes nothing.
  sim::clearCallLog();
  ASSERT_TRUE(input.open(error));
  EXPECT_TRUE(CallNames().empty());
  input.close();
  EXPECT_EQ((std::vector<std::string>{"CvStopIsochReceiveEngine", "CvDeleteIsochReceiveEngine"}),
            CallNames());
  EXPECT_EQ(0u, sim::resources().engines);
  sim::clearCallLog();
  input.close();
  EXPECT_TRUE(CallNames().empty());
}

TEST_F(AdaptorTest, OpeningFormat7PreparesTheRegionPacketSizeAndDualPacketMode) {
  host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) YUV422");
  std::string error;
  ASSERT_TRUE(input.setRoi(64, 32, 320, 240, error)) << error;
  sim::setCallLog(true);
  ASSERT_TRUE(input.open(error)) << error;
  EXPECT_EQ((std::vector<std::string>{"CvGetAvailableIsoChannel", "CvSetCameraStartupInfo",
                                      "CvQueryCameraRegister", "CvGetSpecialFeaturePresence",
                                      "CvGetSpecialFeatureCaps", "CvCreateIsochReceiveEngine",
                                      "CvSetIsochEngineOption", "CvStartIsochReceiveEngine"}),
            CallNames());
  CameraStartupRecord record;
  std::memcpy(&record, CallsOf("CvSetCameraStartupInfo")[0].record.data(), sizeof record);
  EXPECT_EQ(7u, record.formatNumber);
  EXPECT_EQ(-1, record.frameRate);
  ASSERT_NE(nullptr, record.image);
  // The option went to the engine that receives, before it started.
  const sim::Call option = CallsOf("CvSetIsochEngineOption")[0];
  EXPECT_EQ(CallsOf("CvCreateIsochReceiveEngine")[0].args[0], option.args[0]);
  EXPECT_EQ(0u, option.status);
  const std::vector<CvEngineHandle> engines = sim::engines();
  ASSERT_EQ(1u, engines.size());
  sim::EngineStats stats;
  ASSERT_TRUE(sim::readEngine(engines[0], stats));
  EXPECT_TRUE(stats.dualPacket);
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(AdaptorTest, DualPacketModeIsLeftAloneBelowTheBandwidthShare) {
  host::VideoInput& input = Input("2", "VARIABLE_0 (1280X960) Raw8");  // 4096 bytes at S800: 41.67%
  sim::setCallLog(true);
  std::string error;
  ASSERT_TRUE(input.open(error)) << error;
  EXPECT_TRUE(CallsOf("CvGetSpecialFeatureCaps").empty());
  EXPECT_TRUE(CallsOf("CvSetIsochEngineOption").empty());
}

TEST_F(AdaptorTest, OpenFailuresAreReportedAndLeaveNothingBehind) {
  const struct {
    sim::FaultRule fault;
    bool opens;
    std::string report;
  } cases[] = {
      {{"CvGetAvailableIsoChannel", sim::kNoChannel, 1, 1, -1},
       false,
       "openDevice: Failed to find available isochronous receive channel."},
      {{"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegFormat7Info},
       true,
       "CorvaneImaq:GetPacketSize: Failed to read F7Registers: Injected failure"},
      {{"CvGetSpecialFeatureCaps", sim::kInjected, 1, 1, -1},
       true,
       "CorvaneImaq:openDevice: Could not read dual packet mode caps: Injected failure"},
      {{"CvSetIsochEngineOption", sim::kInjected, 1, 1, -1},
       true,
       "CorvaneImaq:openDevice: Could not enable dual packet mode: Injected failure"},
      {{"CvCreateIsochReceiveEngine", sim::kInjected, 1, 1, -1},
       false,
       "openDevice: Failed to create Isochronous Receive Engine: Injected failure"},
      {{"CvStartIsochReceiveEngine", sim::kInjected, 1, 1, -1},
       false,
       "openDevice: Failed to start Isochronous Receive Engine: Injected failure"},
      {{"CvGetSpecialFeaturePresence", sim::kInjected, 1, 1, -1}, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault.function);
    host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) YUV422");
    kit::clearReports();
    sim::addFault(c.fault);
    std::string error;
    EXPECT_EQ(c.opens, input.open(error)) << error;
    EXPECT_EQ(c.report.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.report},
              Reports());
    if (!c.opens) {
      EXPECT_EQ(c.report, error);
      EXPECT_EQ(0u, sim::resources().engines);
    }
    sim::clearFaults();
    // A later open works.
    input.close();
    ASSERT_TRUE(input.open(error)) << error;
    input.close();
    EXPECT_EQ(0u, sim::resources().engines);
    Destroy(input);
  }
}

TEST_F(AdaptorTest, AChannelQueryThatSucceedsWithChannel255FailsTheOpen) {
  host::VideoInput& input = Input("1");
  sim::setQuirks({255, false});
  std::string error;
  EXPECT_FALSE(input.open(error));
  EXPECT_EQ("openDevice: Failed to find available isochronous receive channel.", error);
  EXPECT_EQ(0u, sim::resources().engines);
  sim::setQuirks({});
  EXPECT_TRUE(input.open(error)) << error;
}

TEST_F(AdaptorTest, AKitWithoutLockHoldersStillOpensAndStreams) {
  host::VideoInput& input = Input("1");
  // The module's own gate stands in for the host's locks.
  kit::failLockHolders(true);
  input.settings.framesPerTrigger = 2;
  OpenAndStart(input);
  EXPECT_EQ(2u, Take(input, 2).size());
  EXPECT_TRUE(input.waitAndStop(3.0));
  input.close();
  EXPECT_TRUE(Reports().empty());
}

TEST_F(AdaptorTest, AFailedPacketSizeReadOpensWithPacketSize0) {
  host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) YUV422");
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegFormat7Info});
  sim::setCallLog(true);
  std::string error;
  ASSERT_TRUE(input.open(error)) << error;
  // A zero packet is no bandwidth share: dual packet mode is not asked for.
  EXPECT_TRUE(CallsOf("CvGetSpecialFeatureCaps").empty());
}

TEST_F(AdaptorTest, EachOpenTakesTheRegionCurrentThen) {
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  std::string error;
  sim::setCallLog(true);
  ASSERT_TRUE(input.open(error)) << error;
  // A region set while open is stored, and the camera gets it at the next open.
  ASSERT_TRUE(input.setRoi(0, 0, 320, 240, error)) << error;
  input.close();
  ASSERT_TRUE(input.open(error)) << error;
  const std::vector<sim::Call> startups = CallsOf("CvSetCameraStartupInfo");
  ASSERT_EQ(2u, startups.size());
  const std::vector<sim::Call> queries = CallsOf("CvQueryCameraRegister");
  ASSERT_EQ(2u, queries.size());
  // The packet-size read fills the image record the start-up points to: compare the region.
  Format7InfoRecord info;
  std::memcpy(&info, queries[1].record.data(), sizeof info);
  EXPECT_EQ(2048, info.packetSize);
  int x, y, w, h;
  input.roi(x, y, w, h);
  EXPECT_EQ(320, w);
  EXPECT_EQ(240, h);
}

TEST_F(AdaptorTest, DestroyingAnOpenAdaptorClosesIt) {
  host::VideoInput& input = Input("1");
  std::string error;
  ASSERT_TRUE(input.open(error)) << error;
  EXPECT_EQ(1u, sim::resources().engines);
  Destroy(input);
  EXPECT_EQ(0u, sim::resources().engines);
}

TEST_F(AdaptorTest, OpenCloseCyclesLeakNothing) {
  host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) RGB8");
  std::string error;
  const kit::Accounting before = kit::accounting();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(input.open(error)) << error;
    input.close();
  }
  EXPECT_EQ(before.liveBlocks, kit::accounting().liveBlocks);
  EXPECT_EQ(before.liveSections, kit::accounting().liveSections);
  EXPECT_EQ(0u, sim::resources().engines);
}

}  // namespace
