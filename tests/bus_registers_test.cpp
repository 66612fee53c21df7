// The virtual bus through its C API: enumeration, handles, registers,
// isochronous resources, faults, the call log and bad input.
#include <algorithm>
#include <cmath>
#include <set>

#include "bus_fixture.h"
#include "iidc.h"

namespace {

using RegistersTest = BusTest;

TEST_F(RegistersTest, AdaptersAreNumberedFromOneAndEndWithNoSuchAdapter) {
  std::uint64_t ids[62];
  std::uint32_t count = 62;
  EXPECT_EQ(0u, CvLocateCamerasEx(1, ids, 0, &count));
  ASSERT_EQ(2u, count);
  EXPECT_EQ(kMono, ids[0]);
  EXPECT_EQ(kBayer, ids[1]);
  count = 62;
  EXPECT_EQ(0u, CvLocateCamerasEx(2, ids, 0, &count));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(kYuv, ids[0]);
  count = 62;
  EXPECT_EQ(CV_NO_SUCH_ADAPTER, CvLocateCamerasEx(3, ids, 0, &count));
  EXPECT_EQ(0u, count);
  count = 62;
  EXPECT_EQ(CV_NO_SUCH_ADAPTER, CvLocateCamerasEx(0, ids, 0, &count));
}

TEST_F(RegistersTest, EnumerationHonoursTheCapacityAndEmptyAdapters) {
  sim::BusDesc bus;
  bus.adapters.resize(2);
  for (int i = 0; i < 62; ++i) {
    sim::CameraDesc c;
    c.id = 1000 + i;
    bus.adapters[1].push_back(c);
  }
  Install(bus);
  std::uint64_t ids[62];
  std::uint32_t count = 62;
  EXPECT_EQ(0u, CvLocateCamerasEx(1, ids, 0, &count));
  EXPECT_EQ(0u, count);
  count = 5;
  EXPECT_EQ(0u, CvLocateCamerasEx(2, ids, 0, &count));
  EXPECT_EQ(5u, count);
  count = 62;
  EXPECT_EQ(0u, CvLocateCamerasEx(2, ids, 0, &count));
  EXPECT_EQ(62u, count);
  EXPECT_EQ(1061u, ids[61]);
}

TEST_F(RegistersTest, NothingWorksBeforeTheLibraryStarts) {
  CvTerminate();
  std::uint64_t ids[62];
  std::uint32_t count = 62;
  EXPECT_EQ(sim::kNotInitialized, CvLocateCamerasEx(1, ids, 0, &count));
  EXPECT_EQ(0u, count);
  CvCameraHandle handle = nullptr;
  std::uint64_t id = kMono;
  EXPECT_EQ(sim::kNotInitialized, CvOpenCameraHandleEx(1, &handle, &id));
  EXPECT_EQ(sim::kNotInitialized, CvTerminate());
}

TEST_F(RegistersTest, IdentityRegisters) {
  CvCameraHandle h = Open(1, kMono);
  char vendor[64], model[64];
  std::uint32_t number = 0, base = 0;
  std::uint8_t speed = 0;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegVendorName, vendor, 64));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegModelName, model, 64));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegCameraNumber, &number, 4));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegSpeed, &speed, 1));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegCommandBase, &base, 4));
  EXPECT_STREQ("Corvane", vendor);
  EXPECT_STREQ("MV-640M", model);
  EXPECT_EQ(100201u, number);
  EXPECT_EQ(kCvS400, speed);
  EXPECT_EQ(0xF0F00000u, base);
}

TEST_F(RegistersTest, TextsThatDoNotFitAreCutWithoutATerminator) {
  sim::BusDesc bus;
  sim::CameraDesc c;
  c.id = 7;
  c.vendor = std::string(80, 'V');
  bus.adapters = {{c}};
  Install(bus);
  CvCameraHandle h = Open(1, 7);
  char vendor[65];
  vendor[64] = '#';
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegVendorName, vendor, 64));
  EXPECT_EQ(std::string(64, 'V'), std::string(vendor, 64));
  EXPECT_EQ('#', vendor[64]);
}

TEST_F(RegistersTest, VideoModeInquiryFollowsTheDescription) {
  CvCameraHandle h = Open(1, kMono);
  VideoModeInquiry block;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegVideoModeInq, &block, 73));
  EXPECT_EQ(0xE0, block.formats);             // formats 0, 1, 2; no Format 7
  EXPECT_EQ(0x06, block.format[0].modes);     // modes 5 and 6
  EXPECT_EQ(0x3C, block.format[0].rates[5]);  // rates 2..5
  EXPECT_EQ(0x38, block.format[0].rates[6]);
  EXPECT_EQ(0x20, block.format[2].modes);
  // The same masks are visible in the IIDC inquiry registers.
  std::uint32_t word = 0;
  ASSERT_EQ(0u, CvReadQuad(h, 0xF0F00000u + iidc::kVideoFormatInq, &word));
  EXPECT_EQ(0xE0000000u, word);
  ASSERT_EQ(0u, CvReadQuad(h, 0xF0F00000u + iidc::kFrameRateInq + 5 * 4, &word));
  EXPECT_EQ(0x3C000000u, word);
}

TEST_F(RegistersTest, Format7RecordsAreFilledForModesTheCameraHas) {
  CvCameraHandle h = Open(1, kBayer);
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  Format7InfoRecord info{};
  info.tag = CV_FORMAT7_INFO_TAG;
  info.mode = 0;
  info.speed = kCvS800;
  info.image = &image;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, kCvRegFormat7Info, &info, 48));
  EXPECT_EQ(1280, info.maxWidth);
  EXPECT_EQ(960, info.maxHeight);
  EXPECT_EQ(8, info.widthUnit);
  EXPECT_EQ(2, info.heightUnit);
  EXPECT_EQ(0x80000000u | 0x00400000u | 0x00200000u, info.colorCodings);  // codings 0, 9, 10
  EXPECT_EQ(4096, info.packetSize);
  EXPECT_EQ(1280, image.width);
  EXPECT_EQ(960, image.height);
  EXPECT_EQ(0, image.left);
  EXPECT_EQ(1, image.filterPattern);

  info.mode = 2;
  EXPECT_EQ(sim::kNotSupported, CvQueryCameraRegister(h, kCvRegFormat7Info, &info, 48));
  info.mode = 0;
  info.tag = 0;
  EXPECT_EQ(sim::kBadRecord, CvQueryCameraRegister(h, kCvRegFormat7Info, &info, 48));
  info.tag = CV_FORMAT7_INFO_TAG;
  info.image = nullptr;
  EXPECT_EQ(sim::kBadRecord, CvQueryCameraRegister(h, kCvRegFormat7Info, &info, 48));
}

TEST_F(RegistersTest, FeatureRegistersReadAndWrite) {
  CvCameraHandle h = Open(1, kMono);
  const std::uint32_t gain = 0x00052008;
  FeatureInquiryRecord inq;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, gain, &inq, 36));
  EXPECT_EQ(1u, inq.present);
  EXPECT_EQ(1u, inq.autoCapable);
  EXPECT_EQ(1u, inq.manualCapable);
  EXPECT_EQ(1u, inq.absoluteCapable);
  EXPECT_EQ(0, inq.minValue);
  EXPECT_EQ(680, inq.maxValue);
  // A feature the camera lacks answers with present = 0.
  ASSERT_EQ(0u, CvQueryCameraRegister(h, 0x00051004, &inq, 36));
  EXPECT_EQ(0u, inq.present);

  FeatureControlRecord control;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, gain + kCvFeatureControlOffset, &control, 28));
  EXPECT_EQ(0u, control.value);
  control.value = 0x00010000u | 300;
  control.autoMode = 0;
  ASSERT_EQ(0u, CvSetCameraRegister(h, gain + kCvFeatureControlOffset, &control, 28));
  sim::FeatureState state;
  ASSERT_TRUE(sim::readFeature(kMono, "Gain", state));
  EXPECT_EQ(0x00010000u | 300, state.value);
  ASSERT_EQ(0u, CvQueryCameraRegister(h, gain + kCvFeatureControlOffset, &control, 28));
  EXPECT_EQ(0x00010000u | 300, control.value);
  // The IIDC control register shows the value too.
  std::uint32_t word = 0;
  ASSERT_EQ(0u, CvReadQuad(h, 0xF0F00000u + iidc::kFeatureControl + 8 * 4, &word));
  EXPECT_EQ(300u, word & 0xFFFu);

  AbsoluteControlRecord absolute;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, gain + kCvFeatureAbsoluteOffset, &absolute, 12));
  EXPECT_EQ(0.0f, absolute.minimum);
  EXPECT_EQ(24.0f, absolute.maximum);
  const float written = 6.5f;
  ASSERT_EQ(0u, CvSetCameraRegister(h, gain + kCvFeatureAbsoluteOffset, &written, 4));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, gain + kCvFeatureAbsoluteOffset, &absolute, 12));
  EXPECT_EQ(6.5f, absolute.value);
  const float tooHigh = 99.0f;
  ASSERT_EQ(0u, CvSetCameraRegister(h, gain + kCvFeatureAbsoluteOffset, &tooHigh, 4));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, gain + kCvFeatureAbsoluteOffset, &absolute, 12));
  EXPECT_EQ(24.0f, absolute.value);
}

TEST_F(RegistersTest, WhiteBalanceIsOneIidcRegisterSeenAsTwoFeatures) {
  CvCameraHandle h = Open(2, kYuv);
  FeatureControlRecord ub, vr;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, 0x00080C03, &ub, 28));
  ASSERT_EQ(0u, CvQueryCameraRegister(h, 0x00080C83, &vr, 28));
  ub.value = 100;
  vr.value = 900;
  ASSERT_EQ(0u, CvSetCameraRegister(h, 0x00080C03, &ub, 28));
  ASSERT_EQ(0u, CvSetCameraRegister(h, 0x00080C83, &vr, 28));
  std::uint32_t word = 0;
  ASSERT_EQ(0u, CvReadQuad(h, 0xF0F00000u + iidc::kFeatureControl + 3 * 4, &word));
  EXPECT_EQ(100u, (word >> 12) & 0xFFFu);
  EXPECT_EQ(900u, word & 0xFFFu);
}

TEST_F(RegistersTest, TriggerRegistersByAddress) {
  CvCameraHandle h = Open(1, kBayer);
  const std::uint32_t base = 0xF0F00000u;
  std::uint32_t word = 0;
  ASSERT_EQ(0u, CvReadQuad(h, base + iidc::kTriggerInq, &word));
  EXPECT_EQ(0x84C0C003u, word);
  ASSERT_EQ(0u, CvReadQuad(h, base + iidc::kTriggerMode, &word));
  EXPECT_EQ(0x80000000u, word);
  ASSERT_EQ(0u, CvWriteQuad(h, base + iidc::kTriggerMode, 0x02000000u | (1u << 21) | (14u << 16)));
  ASSERT_EQ(0u, CvReadQuad(h, base + iidc::kTriggerMode, &word));
  EXPECT_EQ(0x82000000u | (1u << 21) | (14u << 16), word);
  std::uint32_t inquiry = 0;
  ASSERT_TRUE(sim::readCsr(kBayer, iidc::kTriggerMode, inquiry));
  EXPECT_EQ(word, inquiry);
  // A camera without trigger refuses the write.
  CvCameraHandle mono = Open(1, kMono);
  EXPECT_EQ(sim::kNotSupported, CvWriteQuad(mono, base + iidc::kTriggerMode, 0x02000000u));
}

TEST_F(RegistersTest, FixedFormatTablesAndTexts) {
  FixedFormatTable table;
  std::memset(&table, 0xAB, sizeof table);
  ASSERT_EQ(0u, CvInitFormatInfo(&table, 0, 1, 4));
  EXPECT_EQ(320u, table.modes[1].width);
  EXPECT_EQ(240u, table.modes[1].height);
  EXPECT_EQ(2u, table.modes[1].colorCoding);
  EXPECT_EQ(640u, table.modes[5].width);
  EXPECT_EQ(0u, table.modes[5].colorCoding);
  ASSERT_EQ(0u, CvInitFormatInfo(&table, 2, 7, 0));
  EXPECT_EQ(1600u, table.modes[7].width);
  EXPECT_EQ(5u, table.modes[7].colorCoding);
  EXPECT_NE(0u, CvInitFormatInfo(&table, 3, 0, 0));
  EXPECT_NE(0u, CvInitFormatInfo(nullptr, 0, 0, 0));

  // Names made of size, coding and rate are unique over every fixed format.
  std::set<std::string> names;
  for (std::uint32_t f = 0; f < 3; ++f)
    for (std::uint32_t m = 0; m < 8; ++m)
      for (std::uint32_t r = 0; r < 8; ++r) {
        const iidc::FixedMode& mode = iidc::kFixedModes[f][m];
        names.insert(std::to_string(mode.width) + "X" + std::to_string(mode.height) + " " +
                     CvPixelFormatStringA(mode.coding) + " " + CvFpsStringA(r) + " FPS");
      }
  EXPECT_EQ(192u, names.size());
  std::set<std::string> codings;
  for (std::uint32_t c = 0; c < 11; ++c) codings.insert(CvPixelFormatStringA(c));
  EXPECT_EQ(11u, codings.size());
  EXPECT_STREQ("Unknown", CvPixelFormatStringA(11));
  EXPECT_STREQ("Unknown", CvFpsStringA(8));
}

TEST_F(RegistersTest, ChannelsAreReservedPerHandleAndFreedOnClose) {
  CvCameraHandle a = Open(1, kMono);
  CvCameraHandle b = Open(1, kBayer);
  std::uint8_t first = 255, again = 255, second = 255;
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(a, &first));
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(a, &again));
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(b, &second));
  EXPECT_EQ(first, again);
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, sim::resources().reservedChannels);
  Close(a);
  EXPECT_EQ(1u, sim::resources().reservedChannels);
}

TEST_F(RegistersTest, SixtyFourChannelsPerBus) {
  // A 1394b camera (S800) can send on any of them.
  std::vector<CvCameraHandle> handles;
  for (int i = 0; i < 64; ++i) {
    CvCameraHandle h = Open(1, kBayer);
    std::uint8_t channel = 255;
    ASSERT_EQ(0u, CvGetAvailableIsoChannel(h, &channel));
  }
  CvCameraHandle extra = Open(1, kBayer);
  std::uint8_t channel = 0;
  EXPECT_EQ(sim::kNoChannel, CvGetAvailableIsoChannel(extra, &channel));
  // The other bus has its own channels; a 1394a camera's ISO register holds
  // channels 0 to 15 only.
  for (std::uint8_t expected = 0; expected < 16; ++expected) {
    CvCameraHandle legacy = Open(2, kYuv);
    ASSERT_EQ(0u, CvGetAvailableIsoChannel(legacy, &channel));
    EXPECT_EQ(expected, channel);
  }
  EXPECT_EQ(sim::kNoChannel, CvGetAvailableIsoChannel(Open(2, kYuv), &channel));
}

TEST_F(RegistersTest, BandwidthShareOfAPacket) {
  EXPECT_EQ(83.34f, blCalcIsoBandwidthPercentage(kCvS400, 4096));
  std::uint32_t bits;
  const float share = blCalcIsoBandwidthPercentage(kCvS400, 4096);
  std::memcpy(&bits, &share, 4);
  EXPECT_EQ(0x42a6ae14u, bits);
  EXPECT_LT(blCalcIsoBandwidthPercentage(kCvS400, 4092), 83.34f);
  EXPECT_EQ(83.34f, blCalcIsoBandwidthPercentage(kCvS800, 8192));
  EXPECT_EQ(blCalcIsoBandwidthPercentage(kCvS400, 1024),
            blCalcIsoBandwidthPercentage(kCvS100, 256));
  EXPECT_TRUE(std::isnan(blCalcIsoBandwidthPercentage(9, 100)));
}

TEST_F(RegistersTest, SpecialFeatures) {
  CvCameraHandle yuv = Open(2, kYuv);
  CvCameraHandle mono = Open(1, kMono);
  std::uint32_t word = 7;
  ASSERT_EQ(0u, CvGetSpecialFeaturePresence(yuv, kCvDualPacketMode, &word));
  EXPECT_EQ(1u, word);
  ASSERT_EQ(0u, CvGetSpecialFeatureCaps(yuv, kCvDualPacketMode, &word));
  EXPECT_EQ(1u, word);
  ASSERT_EQ(0u, CvGetSpecialFeaturePresence(mono, kCvDualPacketMode, &word));
  EXPECT_EQ(0u, word);
  EXPECT_EQ(sim::kNotSupported, CvGetSpecialFeatureCaps(mono, kCvDualPacketMode, &word));
}

TEST_F(RegistersTest, BadInputGetsAStatusWithAText) {
  CvCameraHandle h = Open(1, kMono);
  const auto unknown = reinterpret_cast<CvCameraHandle>(0x77);
  char buffer[64];
  std::uint32_t word = 0;
  const struct {
    CvStatus got, want;
  } cases[] = {
      {CvQueryCameraRegister(unknown, kCvRegVendorName, buffer, 64), sim::kInvalidHandle},
      {CvQueryCameraRegister(h, kCvRegCommandBase, buffer, 8), sim::kBufferSize},
      {CvQueryCameraRegister(h, 0x1234, buffer, 4), sim::kUnknownRegister},
      {CvQueryCameraRegister(h, 0x00050077, buffer, 36), sim::kUnknownRegister},
      {CvQueryCameraRegister(h, kCvRegCommandBase, nullptr, 4), sim::kInvalidArgument},
      {CvQueryCameraRegister(h, 0x00081004, buffer, 28), sim::kNotSupported},
      {CvSetCameraRegister(h, 0x00080000, buffer, 12), sim::kBufferSize},
      {CvSetCameraRegister(h, kCvRegVendorName, buffer, 64), sim::kNotSupported},
      {CvReadQuad(h, 0x100, &word), sim::kInvalidArgument},
      {CvReadQuad(h, 0xF0F00002u, &word), sim::kInvalidArgument},
      {CvReadQuad(h, 0xF0F00000u, nullptr), sim::kInvalidArgument},
      {CvCloseCameraHandle(unknown), sim::kInvalidHandle},
      {CvSetIsochEngineOption(nullptr, kCvDualPacketMode, &word), sim::kInvalidHandle},
      {CvStartIsochReceiveEngine(nullptr, nullptr, 1), sim::kInvalidHandle},
      {CvStopIsochReceiveEngine(nullptr), sim::kInvalidHandle},
      {CvDeleteIsochReceiveEngine(nullptr), sim::kInvalidHandle},
      {CvGetNextCompleteFrame(nullptr, nullptr, 1), sim::kInvalidHandle},
      {CvStartCamera(h, nullptr), sim::kInvalidArgument},
      {CvStopCamera(h), sim::kNotStarted},
      {CvIsCameraRunning(unknown, nullptr), sim::kInvalidHandle},
      {CvGetAvailableIsoChannel(h, nullptr), sim::kInvalidArgument},
      {CvCreateIsochReceiveEngine(nullptr), sim::kInvalidArgument},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].want, cases[i].got) << "case " << i << ": " << CvStatusStringA(cases[i].got);
    EXPECT_STRNE("", CvStatusStringA(cases[i].got));
    EXPECT_EQ(nullptr, std::strstr(CvStatusStringA(cases[i].got), "Unknown status")) << i;
  }
  EXPECT_STREQ("Unknown status 0x12345678", CvStatusStringA(0x12345678));
}

TEST_F(RegistersTest, StartupRecordsAreChecked) {
  CvCameraHandle h = Open(1, kMono);
  CameraStartupRecord s = Fixed(0, 5, 4, 0);
  s.tag = 0;
  EXPECT_EQ(sim::kBadRecord, CvStartCamera(h, &s));
  s = Fixed(0, 4, 4, 0);  // a mode the camera does not have
  EXPECT_EQ(sim::kNotSupported, CvStartCamera(h, &s));
  s = Fixed(0, 5, 7, 0);  // a rate it does not have
  EXPECT_EQ(sim::kNotSupported, CvStartCamera(h, &s));
  s = Fixed(0, 5, 4, 64);  // no such channel
  EXPECT_EQ(sim::kInvalidArgument, CvStartCamera(h, &s));
  CvEngineHandle e = NewEngine();
  s = Fixed(0, 5, 4, 0);
  EXPECT_EQ(CV_NO_SUCH_ADAPTER, CvStartIsochReceiveEngine(e, &s, 9));
  EXPECT_EQ(sim::kNotStarted, CvStopIsochReceiveEngine(e));
}

TEST_F(RegistersTest, FaultsFailTheNthMatchingCallOrEveryCall) {
  CvCameraHandle h = Open(1, kMono);
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 2, 1, kCvRegModelName});
  char text[64];
  EXPECT_EQ(0u, CvQueryCameraRegister(h, kCvRegVendorName, text, 64));  // other register
  EXPECT_EQ(0u, CvQueryCameraRegister(h, kCvRegModelName, text, 64));   // first match
  std::memcpy(text, "untouched", 10);
  EXPECT_EQ(sim::kInjected, CvQueryCameraRegister(h, kCvRegModelName, text, 64));
  EXPECT_STREQ("untouched", text);
  EXPECT_EQ(0u, CvQueryCameraRegister(h, kCvRegModelName, text, 64));  // only once
  EXPECT_EQ(1u, sim::faultsInjected());

  sim::addFault({"CvReadQuad", 0xE0001234u, 0, 1, -1});
  std::uint32_t word;
  EXPECT_EQ(0xE0001234u, CvReadQuad(h, 0xF0F00000u, &word));
  EXPECT_EQ(0xE0001234u, CvReadQuad(h, 0xF0F00004u, &word));
  sim::clearFaults();
  EXPECT_EQ(0u, CvReadQuad(h, 0xF0F00000u, &word));
}

TEST_F(RegistersTest, RandomFaultsFailAtTheirRateAndRepeatWithTheirSeed) {
  CvCameraHandle h = Open(1, kMono);
  auto statuses = [&](std::uint64_t seed) {
    sim::setRandomFaults(0.25, seed, {"CvReadQuad"});
    std::vector<CvStatus> seen;
    std::uint32_t word;
    for (int i = 0; i < 400; ++i) seen.push_back(CvReadQuad(h, 0xF0F00000u, &word));
    // Functions not listed never fail.
    char text[64];
    EXPECT_EQ(0u, CvQueryCameraRegister(h, kCvRegVendorName, text, 64));
    return seen;
  };
  const std::vector<CvStatus> first = statuses(7);
  const auto failed =
      static_cast<std::uint64_t>(std::count(first.begin(), first.end(), sim::kInjected));
  EXPECT_EQ(failed, sim::randomFaultsInjected());
  EXPECT_GT(failed, 50u);  // a quarter of 400, give or take
  EXPECT_LT(failed, 150u);
  EXPECT_EQ(first, statuses(7));
  EXPECT_NE(first, statuses(8));
  sim::clearFaults();
  std::uint32_t word;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0u, CvReadQuad(h, 0xF0F00000u, &word));
}

TEST_F(RegistersTest, AFailedEnumerationReportsNoCameras) {
  sim::addFault({"CvLocateCamerasEx", sim::kInjected, 1, 1, -1});
  std::uint64_t ids[62];
  std::uint32_t count = 62;
  EXPECT_EQ(sim::kInjected, CvLocateCamerasEx(1, ids, 0, &count));
  EXPECT_EQ(0u, count);
}

TEST_F(RegistersTest, TheCallLogRecordsFunctionsArgumentsAndRecords) {
  CvCameraHandle h = Open(1, kMono);
  sim::setCallLog(true);
  std::uint32_t base = 0;
  CvQueryCameraRegister(h, kCvRegCommandBase, &base, 4);
  CvWriteQuad(h, base + iidc::kTriggerMode, 5);
  sim::setCallLog(false);
  CvReadQuad(h, base, &base);
  const std::vector<sim::Call> log = sim::callLog();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("CvQueryCameraRegister", log[0].function);
  EXPECT_EQ((std::vector<std::uint64_t>{reinterpret_cast<std::uintptr_t>(h), 19, 4}), log[0].args);
  ASSERT_EQ(4u, log[0].record.size());
  EXPECT_EQ(0x00u, log[0].record[0]);
  EXPECT_EQ(0xF0u, log[0].record[3]);
  EXPECT_EQ("CvWriteQuad", log[1].function);
  EXPECT_EQ(sim::kNotSupported, log[1].status);
  EXPECT_NE(std::string::npos, sim::describeCall(log[1]).find("CvWriteQuad("));
}

TEST_F(RegistersTest, UnpluggedCamerasDisappearAndTheirHandlesDie) {
  CvCameraHandle h = Open(1, kMono);
  std::uint8_t channel;
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(h, &channel));
  ASSERT_TRUE(sim::unplug(kMono));
  std::uint64_t ids[62];
  std::uint32_t count = 62;
  ASSERT_EQ(0u, CvLocateCamerasEx(1, ids, 0, &count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(kBayer, ids[0]);
  std::uint32_t word;
  EXPECT_EQ(sim::kDeviceRemoved, CvReadQuad(h, 0xF0F00000u, &word));
  EXPECT_EQ(0u, sim::resources().reservedChannels);
  ASSERT_TRUE(sim::replug(kMono));
  count = 62;
  ASSERT_EQ(0u, CvLocateCamerasEx(1, ids, 0, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(sim::kDeviceRemoved, CvReadQuad(h, 0xF0F00000u, &word));
  CvCameraHandle fresh = Open(1, kMono);
  EXPECT_EQ(0u, CvReadQuad(fresh, 0xF0F00000u, &word));
}

}  // namespace
