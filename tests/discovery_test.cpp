// Discovery through the host: getAvailHW over the virtual bus, every camera
// probed, every format named and ordered, failures survived.
#include <set>

#include "host_fixture.h"

namespace {

using DiscoveryTest = HostTest;

const char kNoCamera[] = "CorvaneImaq:getAvailHW: Failed to create camera object.";

TEST_F(DiscoveryTest, TheDefaultBusAsTheHostReceivesIt) {
  host::HardwareList& hw = Discover();
  ASSERT_EQ(3u, hw.devices().size());
  EXPECT_EQ(1u, hw.devices()[0]->id());
  EXPECT_EQ("Corvane MV-640M 100201", hw.devices()[0]->name());
  EXPECT_EQ("Corvane CX-1280B 100202", hw.devices()[1]->name());
  EXPECT_EQ("Corvane CY-422DP 100203", hw.devices()[2]->name());
  EXPECT_EQ(3u, hw.devices()[2]->id());
  const std::vector<std::string> bayer = FormatNames(*hw.devices()[1]);
  EXPECT_EQ((std::vector<std::string>{"VARIABLE_0 (1280X960) Mono8", "VARIABLE_0 (1280X960) Raw8",
                                      "VARIABLE_0 (1280X960) Raw16", "VARIABLE_1 (640X480) Mono8",
                                      "VARIABLE_1 (640X480) Raw8"}),
            bayer);
  const std::vector<std::string> mono = FormatNames(*hw.devices()[0]);
  ASSERT_EQ(12u, mono.size());
  EXPECT_EQ("640X480 Mono8 7.5 FPS", mono[0]);
  EXPECT_EQ("1280X960 Mono8 15 FPS", mono[11]);
  for (host::DeviceEntry* d : hw.devices()) {
    std::set<std::string> unique;
    for (std::size_t k = 0; k < d->formats().size(); ++k) {
      host::FormatEntry* f = d->formats()[k];
      EXPECT_EQ(k + 1, f->id());
      EXPECT_EQ(k == 0, f->isDefault()) << f->name();
      EXPECT_NE(nullptr, f->adaptorData());
      unique.insert(f->name());
    }
    EXPECT_EQ(d->formats().size(), unique.size()) << d->name();
    EXPECT_NE(nullptr, d->adaptorData());
  }
  EXPECT_TRUE(kit::reports().empty());
  // Every camera stays open while the host holds its entry.
  EXPECT_EQ(3u, sim::resources().openHandles);
  session_.release();
  EXPECT_EQ(0u, sim::resources().openHandles);
  EXPECT_TRUE(sim::resources().initialized);
}

TEST_F(DiscoveryTest, IdentifiersRunAcrossAdaptersAndPastEmptyOnes) {
  sim::BusDesc none;
  Install(none);
  EXPECT_TRUE(Discover().devices().empty());

  sim::BusDesc bus;
  bus.adapters = {{}, {Camera(11, "A"), Camera(12, "B")}, {}, {Camera(21, "C"), Camera(22, "D")}};
  Install(bus);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(4u, hw.devices().size());
  const char* models[] = {"A", "B", "C", "D"};
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(i + 1, hw.devices()[i]->id());
    EXPECT_EQ(std::string("Corvane ") + models[i], hw.devices()[i]->name().substr(0, 9));
  }
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(DiscoveryTest, ACameraThatFailsItsProbeIsLeftOutAndLeavesNothingOpen) {
  sim::BusDesc bus;
  bus.adapters = {{Camera(1, "First"), Camera(2, "Second")}};
  // Each step of the probe that returns a status, failing for the first camera.
  const sim::FaultRule steps[] = {
      {"CvOpenCameraHandleEx", sim::kInjected, 1, 1, -1},
      {"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegVendorName},
      {"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegModelName},
      {"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegCameraNumber},
      {"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegSpeed},
      {"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegCommandBase},
      {"CvQueryCameraRegister", sim::kInjected, 1, 1, kCvRegVideoModeInq}};
  for (const sim::FaultRule& step : steps) {
    SCOPED_TRACE(step.function + " " + std::to_string(step.argument));
    Install(bus);
    kit::clearReports();
    sim::clearFaults();
    sim::addFault(step);
    host::HardwareList& hw = Discover();
    ASSERT_EQ(1u, hw.devices().size());
    EXPECT_EQ(1u, hw.devices()[0]->id());
    EXPECT_EQ("Corvane Second 2", hw.devices()[0]->name());
    EXPECT_EQ(std::vector<std::string>{kNoCamera}, Reports());
    EXPECT_EQ(1u, sim::resources().openHandles);  // only the camera that made it
    session_.release();
    EXPECT_EQ(0u, sim::resources().openHandles);
    EXPECT_EQ(baseline_.liveBlocks, kit::accounting().liveBlocks);
  }
}

TEST_F(DiscoveryTest, AFailedTriggerInquiryReadIsIgnored) {
  sim::addFault({"CvReadQuad", sim::kInjected, 0, 1, -1});
  EXPECT_EQ(3u, Discover().devices().size());
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(DiscoveryTest, FixedFormatsFollowTheInquiryMasks) {
  sim::CameraDesc c = Camera(5);
  c.fixed = {{0, 2, {4, 5}}};  // byte 0 = 0x80, mode mask 0x20, rate mask 0x0c
  c.extraFormatBits = 0x1E;    // formats 3 to 6 add nothing
  sim::BusDesc bus;
  bus.adapters = {{c}};
  Install(bus);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(1u, hw.devices().size());
  EXPECT_EQ((std::vector<std::string>{"640X480 YUV411 30 FPS", "640X480 YUV411 60 FPS"}),
            FormatNames(*hw.devices()[0]));
}

TEST_F(DiscoveryTest, Format7ModesThatAnswerAndTheirCodings) {
  sim::CameraDesc c = Camera(5);
  c.fixed.clear();
  c.format7Bit = true;
  c.format7 = {{0, 1280, 960, 8, 2, 0, 0, {10, 0}, 4096}, {1, 640, 480, 4, 2, 0, 0, {4}, 2048}};
  sim::BusDesc bus;
  bus.adapters = {{c}};
  Install(bus);
  sim::setCallLog(true);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(1u, hw.devices().size());
  EXPECT_EQ((std::vector<std::string>{"VARIABLE_0 (1280X960) Mono8", "VARIABLE_0 (1280X960) Raw16",
                                      "VARIABLE_1 (640X480) RGB8"}),
            FormatNames(*hw.devices()[0]));
  // All eight modes were asked, each with a zeroed, tagged record.
  int asked = 0;
  for (const sim::Call& call : sim::callLog()) {
    if (call.function != "CvQueryCameraRegister" || call.args[1] != kCvRegFormat7Info) continue;
    EXPECT_EQ(48u, call.args[2]);
    ++asked;
  }
  EXPECT_EQ(8, asked);
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(DiscoveryTest, ACameraWithEveryInquiryBitGets280FormatsInOrder) {
  sim::CameraDesc c = sim::everyFormatCamera(5);
  sim::BusDesc bus;
  bus.adapters = {{c}};
  Install(bus);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(1u, hw.devices().size());
  const std::vector<std::string> names = FormatNames(*hw.devices()[0]);
  ASSERT_EQ(280u, names.size());
  EXPECT_EQ("160X120 YUV444 1.875 FPS", names[0]);
  EXPECT_EQ("160X120 YUV444 3.75 FPS", names[1]);
  EXPECT_EQ("320X240 YUV422 1.875 FPS", names[8]);
  EXPECT_EQ("800X600 YUV422 1.875 FPS", names[64]);
  EXPECT_EQ("1600X1200 Mono16 240 FPS", names[191]);
  EXPECT_EQ("VARIABLE_0 (640X480) Mono8", names[192]);
  EXPECT_EQ("VARIABLE_0 (640X480) YUV411", names[193]);
  EXPECT_EQ("VARIABLE_1 (656X480) Mono8", names[203]);
  EXPECT_EQ("VARIABLE_7 (752X480) Raw16", names[279]);
  EXPECT_EQ(280u, std::set<std::string>(names.begin(), names.end()).size());
}

TEST_F(DiscoveryTest, ACameraWithoutFormatsIsStillListed) {
  sim::CameraDesc c = Camera(5);
  c.fixed.clear();
  sim::BusDesc bus;
  bus.adapters = {{c}};
  Install(bus);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(1u, hw.devices().size());
  EXPECT_TRUE(hw.devices()[0]->formats().empty());
  EXPECT_EQ(nullptr, hw.devices()[0]->defaultFormat());
}

TEST_F(DiscoveryTest, AtMost62CamerasAreTakenFromOneAdapter) {
  sim::BusDesc bus;
  bus.adapters.resize(1);
  for (std::uint64_t i = 0; i < 62; ++i) bus.adapters[0].push_back(Camera(100 + i));
  Install(bus);
  sim::setCountOverstatement(5);  // a library that says 67
  EXPECT_EQ(62u, Discover().devices().size());
  EXPECT_TRUE(kit::reports().empty());

  bus.adapters[0].resize(60);
  Install(bus);
  // 62 identifiers are looked at: the two the library never filled in fail their probe.
  EXPECT_EQ(60u, Discover().devices().size());
  EXPECT_EQ(2u, kit::reports().size());
}

TEST_F(DiscoveryTest, UnterminatedNamesAreCutAt63Bytes) {
  sim::CameraDesc c = Camera(5, std::string(70, 'M'));
  c.vendor = std::string(64, 'V');
  c.number = 42;
  sim::BusDesc bus;
  bus.adapters = {{c}};
  Install(bus);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(1u, hw.devices().size());
  EXPECT_EQ(std::string(63, 'V') + " " + std::string(63, 'M') + " 42", hw.devices()[0]->name());
}

TEST_F(DiscoveryTest, NoStorageForACameraOrAFormat) {
  // The first block discovery asks for is the first camera's object.
  kit::failAllocation(1);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(2u, hw.devices().size());
  EXPECT_EQ("Corvane CX-1280B 100202", hw.devices()[0]->name());
  EXPECT_EQ(std::vector<std::string>{kNoCamera}, Reports());

  // The second is its first format: that format is left out, the rest stay.
  kit::clearReports();
  kit::failAllocation(2);
  host::HardwareList& again = Discover();
  ASSERT_EQ(3u, again.devices().size());
  const std::vector<std::string> names = FormatNames(*again.devices()[0]);
  ASSERT_EQ(11u, names.size());
  EXPECT_EQ("640X480 Mono8 15 FPS", names[0]);
  EXPECT_TRUE(again.devices()[0]->formats()[0]->isDefault());
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(DiscoveryTest, FourAdaptersOf62Cameras) {
  sim::BusDesc bus;
  for (std::uint64_t a = 0; a < 4; ++a) {
    bus.adapters.emplace_back();
    for (std::uint64_t i = 0; i < 62; ++i) bus.adapters.back().push_back(Camera(a * 1000 + i));
  }
  Install(bus);
  host::HardwareList& hw = Discover();
  ASSERT_EQ(248u, hw.devices().size());
  EXPECT_EQ(248u, hw.devices().back()->id());
  EXPECT_EQ("Corvane Cam 3061", hw.devices().back()->name());
  EXPECT_EQ(248u, sim::resources().openHandles);
}

TEST(ModuleLoader, SaysWhichFileAndWhichEntryPoint) {
  std::string error;
  EXPECT_EQ(nullptr, host::Module::load("/no/such/CorvaneImaq.so", error));
  EXPECT_NE(std::string::npos, error.find("/no/such/CorvaneImaq.so")) << error;
  // A library that is not an adaptor module lacks the entry points.
  const std::string bus =
      host::platform::programDirectory() +
      (std::string(host::platform::kModuleFileName).find(".dll") != std::string::npos
           ? "BL1394.dll"
           : "BL1394.so");
  EXPECT_EQ(nullptr, host::Module::load(bus, error));
  EXPECT_NE(std::string::npos, error.find("has no entry point 'initializeAdaptor'")) << error;
  EXPECT_NE(std::string::npos, error.find(bus)) << error;
}

}  // namespace
