// Bus descriptions: the embedded default bus and JSON description files.
#include "bus_fixture.h"

namespace {

using DescriptionTest = BusTest;

TEST_F(DescriptionTest, TheDefaultBusHasThreeDifferentCamerasOnTwoAdapters) {
  const sim::BusDesc bus = sim::defaultBus();
  ASSERT_EQ(2u, bus.adapters.size());
  ASSERT_EQ(2u, bus.adapters[0].size());
  ASSERT_EQ(1u, bus.adapters[1].size());
  const sim::CameraDesc& mono = bus.adapters[0][0];
  const sim::CameraDesc& bayer = bus.adapters[0][1];
  const sim::CameraDesc& yuv = bus.adapters[1][0];
  EXPECT_TRUE(mono.format7.empty());
  EXPECT_FALSE(mono.fixed.empty());
  EXPECT_FALSE(bayer.format7.empty());
  EXPECT_NE(0, bayer.filterPattern);
  EXPECT_NE(0u, bayer.triggerInquiry & 0x80000000u);
  EXPECT_TRUE(yuv.dualPacket);
  // The YUV camera's Format 7 packet fills exactly the share that asks for dual packet mode.
  EXPECT_EQ(83.34f, blCalcIsoBandwidthPercentage(yuv.speed, yuv.format7[0].packetSize));
}

TEST_F(DescriptionTest, CameraIdentifiersBelongToNoCompany) {
  // An EUI-64 begins with a 24-bit company id; one whose first byte has the
  // locally administered bit (0x02) set is assigned to no company.
  EXPECT_NE(0u, (sim::kCompanyId >> 16) & 0x02);
  EXPECT_EQ(0u, (sim::kCompanyId >> 16) & 0x01) << "an individual, not a group, id";
  for (const auto& adapter : sim::defaultBus().adapters)
    for (const sim::CameraDesc& c : adapter) EXPECT_EQ(sim::kCompanyId, c.id >> 40) << c.model;
  sim::BusDesc sample;
  std::string error;
  ASSERT_TRUE(sim::loadBusFile(CORVANE_SOURCE_DIR "/packaging/sample-bus.json", sample, error))
      << error;
  for (const auto& adapter : sample.adapters)
    for (const sim::CameraDesc& c : adapter) EXPECT_EQ(sim::kCompanyId, c.id >> 40) << c.model;
}

TEST_F(DescriptionTest, ADescriptionSurvivesARoundTripThroughJson) {
  sim::BusDesc bus = sim::defaultBus();
  // With quirks: a camera's and the library's.
  bus.adapters[0][1].quirks.startupInfo = sim::Quirks::Startup::kIgnored;
  bus.adapters[0][1].quirks.channelAnswer = 255;
  bus.adapters[1][0].quirks.framesAfterStop = true;
  bus.adapters[0][0].quirks.framesAcrossStart = true;
  bus.quirks.texts = sim::LibraryQuirks::Texts::kSame;
  sim::BusDesc parsed;
  std::string error;
  ASSERT_TRUE(sim::parseBus(sim::busToJson(bus), parsed, error)) << error;
  EXPECT_EQ(sim::busToJson(bus), sim::busToJson(parsed));
  EXPECT_EQ(bus.adapters[0][1].quirks, parsed.adapters[0][1].quirks);
  EXPECT_EQ(bus.quirks, parsed.quirks);
  // An installed bus's quirks are its cameras' from then on.
  Install(parsed);
  EXPECT_STREQ("Pixels", CvPixelFormatStringA(9));
}

TEST_F(DescriptionTest, AMinimalDescriptionTakesDefaults) {
  sim::BusDesc bus;
  std::string error;
  ASSERT_TRUE(sim::parseBus(R"({"adapters":[{"cameras":[{"id":"0x10","vendor":"A","model":"B",
      "fixed":[{"format":0,"mode":5,"rates":[4]}],
      "features":[{"name":"Gain","min":0,"max":100,"value":"50"}]}]},{"cameras":[]}]})",
                            bus, error))
      << error;
  ASSERT_EQ(2u, bus.adapters.size());
  EXPECT_EQ(0x10u, bus.adapters[0][0].id);
  EXPECT_EQ(50u, bus.adapters[0][0].features[0].value);
  Install(bus);
  std::uint64_t ids[62];
  std::uint32_t count = 62;
  ASSERT_EQ(0u, CvLocateCamerasEx(1, ids, 0, &count));
  EXPECT_EQ(1u, count);
  count = 62;
  EXPECT_EQ(0u, CvLocateCamerasEx(2, ids, 0, &count));
  EXPECT_EQ(0u, count);
}

TEST_F(DescriptionTest, BadDescriptionsSayWhatAndWhere) {
  const struct {
    const char* json;
    const char* says;
  } cases[] = {
      {R"({"adapters":[{"cameras":[{"id":1,}]}]})", "line 1"},
      {R"({"adapters":[{"cameras":[{"id":1,"sped":2}]}]})",
       "adapters[0].cameras[0]: unknown key \"sped\""},
      {R"({"adapters":[{"cameras":[{"id":1,"speed":9}]}]})",
       "adapters[0].cameras[0].speed: 9 is above 5"},
      {R"({"adapters":[{"cameras":[{"id":1,"speed":-1}]}]})", "speed: must not be negative"},
      {R"({"adapters":[{"cameras":[{"id":"0xZZ"}]}]})", "\"0xZZ\" is not a number"},
      {R"({"adapters":[{"cameras":[{"vendor":"A"}]}]})", "needs an \"id\""},
      {R"({"adapters":[{"cameras":[{"id":1},{"id":1}]}]})", "is used twice"},
      {R"({"adapters":[{"cameras":[{"id":1,"features":[{"name":"Gian"}]}]}]})",
       "unknown feature \"Gian\""},
      {R"({"adapters":[{"cameras":[{"id":1,"fixed":[{"format":3,"mode":0,"rates":[1]}]}]}]})",
       "format: 3 is above 2"},
      {R"({"adapters":[{"cameras":[{"id":1,"format7":[{"mode":8}]}]}]})", "mode: 8 is above 7"},
      {R"({"adapters":{}})", "adapters: must be an array"},
      {R"([1,2])", "bus: must be an object"},
      {R"({"adapters":[{"cameras":[{"id":1,"number":9e999999}]}]})", "number overflow"},
      {R"({"adapters":[{"cameras":[{"id":1,"quirks":{"startupInfo":"lost"}}]}]})",
       "quirks.startupInfo: \"lost\" is not one of honest, refused, ignored"},
      {R"({"adapters":[],"quirks":{"texts":true}})", "quirks.texts: must be a text"},
  };
  for (const auto& c : cases) {
    sim::BusDesc bus;
    std::string error;
    EXPECT_FALSE(sim::parseBus(c.json, bus, error)) << c.json;
    EXPECT_NE(std::string::npos, error.find(c.says)) << c.json << " said: " << error;
  }
  sim::BusDesc bus;
  std::string error;
  EXPECT_FALSE(sim::loadBusFile("/nonexistent/bus.json", bus, error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/bus.json"));
}

TEST_F(DescriptionTest, InstallingAnUnsoundBusKeepsTheOldOne) {
  sim::BusDesc bad;
  bad.adapters = {{sim::CameraDesc{}, sim::CameraDesc{}}};  // the same id twice
  std::string error;
  EXPECT_FALSE(sim::installBus(bad, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(2u, sim::installedBus().adapters.size());
}

}  // namespace
