// The adaptor's register operations and their cache, in process, against the
// virtual bus: which library calls they make and what they report.
#include <gtest/gtest.h>

#include <cstring>

#include "acquisition.h"
#include "adaptor/corvane_adaptor.h"
#include "control.h"
#include "control/feature_table.h"
#include "control/property_listeners.h"
#include "iidc.h"
#include "kit.h"
#include "properties.h"

namespace {

constexpr std::uint64_t kMono = sim::kMonoCamera;
constexpr std::uint64_t kBayer = sim::kBayerCamera;
constexpr std::uint32_t kBase = 0xF0F00000u;
constexpr std::uint32_t kGainControl = 0x00082008;
constexpr std::uint32_t kGainAbsolute = 0x00072018;

class RegisterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::setReportEcho(false);
    kit::clearReports();
    sim::installBus(sim::defaultBus());
    CvInitialize();
    host::installAdaptorManagerFactory();
  }

  void TearDown() override {
    delete adaptor_;
    if (device_) {
      for (CorvaneFormat* f : device_->formats) delete f;
      delete device_;
    }
    CvTerminate();
    sim::clearFaults();
    sim::setCallLog(false);
    sim::clearCallLog();
    EXPECT_EQ(0u, sim::resources().openHandles);
    kit::setReportEcho(true);
  }

  CorvaneAdaptor& Make(std::uint32_t adapter, std::uint64_t camera) {
    device_ = imaqNew<CorvaneDevice>(adapter, camera);
    EXPECT_EQ(0u, device_->probe());
    adaptor_ = imaqNew<CorvaneAdaptor>(&engine_, device_, device_->formats.front());
    sim::setCallLog(true);
    return *adaptor_;
  }

  // Sets TRIGGER_MODE of the camera behind the adaptor's back.
  void Trigger(std::uint32_t word) {
    sim::setCallLog(false);
    ASSERT_EQ(0u, CvWriteQuad(device_->cameraHandle, kBase + iidc::kTriggerMode, word));
    sim::setCallLog(true);
  }

  static std::vector<sim::Call> Log() { return sim::callLog(); }
  static std::vector<std::string> Reports() {
    std::vector<std::string> texts;
    for (const kit::Report& r : kit::reports()) texts.push_back(r.source + ": " + r.message);
    return texts;
  }
  static std::uint32_t Csr(std::uint64_t camera, std::uint32_t offset) {
    std::uint32_t value = 0;
    EXPECT_TRUE(sim::readCsr(camera, offset, value));
    return value;
  }

  host::Engine engine_;
  CorvaneDevice* device_ = nullptr;
  CorvaneAdaptor* adaptor_ = nullptr;
};

TEST_F(RegisterTest, AControlRegisterIsReadOnceThenAnsweredFromTheCache) {
  CorvaneAdaptor& a = Make(1, kMono);
  FeatureControlRecord first{}, second{};
  ASSERT_TRUE(a.GetControlRegister(kGainControl, first));
  ASSERT_TRUE(a.GetControlRegister(kGainControl, second));
  EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
  ASSERT_EQ(1u, Log().size());
  EXPECT_EQ("CvQueryCameraRegister", Log()[0].function);
  EXPECT_EQ(28u, Log()[0].args[2]);
}

TEST_F(RegisterTest, AWrittenRecordIsWhatLaterReadsSee) {
  CorvaneAdaptor& a = Make(1, kMono);
  FeatureControlRecord record{};
  record.value = 0x00010000u | 200;
  record.onOff = 1;
  a.SetControlRegister(kGainControl, record);
  FeatureControlRecord read{};
  ASSERT_TRUE(a.GetControlRegister(kGainControl, read));
  EXPECT_EQ(0, std::memcmp(&record, &read, sizeof record));
  ASSERT_EQ(1u, Log().size());
  EXPECT_EQ("CvSetCameraRegister", Log()[0].function);
  sim::FeatureState gain;
  ASSERT_TRUE(sim::readFeature(kMono, "Gain", gain));
  EXPECT_EQ(0x00010000u | 200, gain.value);
}

TEST_F(RegisterTest, AFailedReadIsReportedAndNotCached) {
  CorvaneAdaptor& a = Make(1, kMono);
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, -1});
  FeatureControlRecord record{};
  EXPECT_FALSE(a.GetControlRegister(kGainControl, record));
  EXPECT_EQ(
      std::vector<std::string>{
          "GetControlRegister: Failed to query camera register: Injected failure"},
      Reports());
  EXPECT_TRUE(a.GetControlRegister(kGainControl, record));
  EXPECT_EQ(2u, Log().size());
}

TEST_F(RegisterTest, FailedWritesAreReportedAndLeaveTheCache) {
  CorvaneAdaptor& a = Make(1, kMono);
  FeatureControlRecord before{};
  ASSERT_TRUE(a.GetControlRegister(kGainControl, before));
  sim::addFault({"CvSetCameraRegister", sim::kInjected, 0, 1, -1});
  FeatureControlRecord changed = before;
  changed.value = 99;
  a.SetControlRegister(kGainControl, changed);
  a.SetAbsControlRegister(kGainAbsolute, 3.0f);
  EXPECT_EQ((std::vector<std::string>{
                "SetControlRegister: Failed to set camera register: Injected failure",
                "SetAbsControlRegister: Failed to set camera absolute register: Injected failure"}),
            Reports());
  FeatureControlRecord after{};
  ASSERT_TRUE(a.GetControlRegister(kGainControl, after));
  EXPECT_EQ(before.value, after.value);
}

TEST_F(RegisterTest, AnAbsoluteWriteReadsTheRangeOnceAndCachesTheValueWritten) {
  CorvaneAdaptor& a = Make(1, kMono);
  a.SetAbsControlRegister(kGainAbsolute, 6.5f);
  std::vector<sim::Call> log = Log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("CvSetCameraRegister", log[0].function);
  EXPECT_EQ(4u, log[0].args[2]);
  float sent;
  std::memcpy(&sent, log[0].record.data(), 4);
  EXPECT_EQ(6.5f, sent);
  EXPECT_EQ("CvQueryCameraRegister", log[1].function);
  EXPECT_EQ(12u, log[1].args[2]);
  a.SetAbsControlRegister(kGainAbsolute, 12.25f);  // cached: no read-back
  EXPECT_EQ(3u, Log().size());
  AbsoluteControlRecord record{};
  ASSERT_TRUE(a.GetAbsControlRegister(kGainAbsolute, record));
  EXPECT_EQ(3u, Log().size());
  EXPECT_EQ(0.0f, record.minimum);
  EXPECT_EQ(24.0f, record.maximum);
  EXPECT_EQ(12.25f, record.value);
}

TEST_F(RegisterTest, AFailedAbsoluteReadIsReported) {
  CorvaneAdaptor& a = Make(1, kMono);
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 1, 1, -1});
  AbsoluteControlRecord record{};
  EXPECT_FALSE(a.GetAbsControlRegister(kGainAbsolute, record));
  EXPECT_EQ(
      std::vector<std::string>{"GetAbsControlRegister: Failed to query camera absolute register: "
                               "Injected failure"},
      Reports());
}

TEST_F(RegisterTest, ACameraWithoutTriggerRegisterIsLeftAloneSilently) {
  CorvaneAdaptor& a = Make(1, kMono);
  std::uint32_t word = 0;
  EXPECT_FALSE(a.GetTriggerRegister(word));
  a.SetTriggerRegister(true, 1, 0);
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(RegisterTest, TriggerWords) {
  const struct {
    std::uint32_t before;
    bool enable;
    std::uint32_t source, condition;
    bool writes;
    std::uint32_t after;
  } cases[] = {
      // Presence only; on with source 3, mode 15.
      {0x80000000u, true, 3, 15, true, 0x80000000u | 0x02000000u | (3u << 21) | (15u << 16)},
      // Polarity survives.
      {0x81000000u, true, 1, 14, true, 0x81000000u | 0x02000000u | (1u << 21) | (14u << 16)},
      // Off: only ON_OFF changes.
      {0x82000000u | (3u << 21) | (15u << 16), false, 0, 0, true,
       0x80000000u | (3u << 21) | (15u << 16)},
      // Already on with another source and mode: reprogrammed.
      {0x82000000u | (3u << 21) | (15u << 16), true, 2, 1, true,
       0x82000000u | (2u << 21) | (1u << 16)},
      // Already as asked: nothing written.
      {0x82000000u | (2u << 21) | (1u << 16), true, 2, 1, false,
       0x82000000u | (2u << 21) | (1u << 16)},
      {0x80000000u, false, 5, 5, false, 0x80000000u},
      // Source and mode are cut to their fields; the parameter bits survive (the
      // trigger value is the camera's, read only: 0 while no pulse comes).
      {0x80100FFFu, true, 9, 17, true, 0x80000FFFu | 0x02000000u | (1u << 21) | (1u << 16)},
  };
  // A camera whose trigger offers every source, mode and polarity: it keeps whatever is written.
  sim::BusDesc bus = sim::defaultBus();
  bus.adapters[0][1].triggerInquiry = 0x87F0FC03u;
  sim::installBus(bus);
  CorvaneAdaptor& a = Make(1, kBayer);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.before) + " -> " + std::to_string(c.after));
    // A fresh adaptor each time: the cache would otherwise answer with the last word.
    delete adaptor_;
    adaptor_ = imaqNew<CorvaneAdaptor>(&engine_, device_, device_->formats.front());
    Trigger(c.before);
    sim::clearCallLog();
    adaptor_->SetTriggerRegister(c.enable, c.source, c.condition);
    std::vector<sim::Call> log = Log();
    ASSERT_EQ(c.writes ? 2u : 1u, log.size());
    EXPECT_EQ("CvReadQuad", log[0].function);
    EXPECT_EQ(kBase + 0x830, log[0].args[1]);
    if (c.writes) {
      EXPECT_EQ("CvWriteQuad", log[1].function);
      EXPECT_EQ(c.after, log[1].args[2]);
    }
    EXPECT_EQ(c.after, Csr(kBayer, iidc::kTriggerMode));
    std::uint32_t cached = 0;
    ASSERT_TRUE(adaptor_->GetTriggerRegister(cached));
    EXPECT_EQ(c.after, cached);
    EXPECT_EQ(c.writes ? 2u : 1u, Log().size());
  }
  (void)a;
}

TEST_F(RegisterTest, TriggerRegisterFailures) {
  CorvaneAdaptor& a = Make(1, kBayer);
  sim::addFault({"CvReadQuad", sim::kInjected, 1, 1, -1});
  a.SetTriggerRegister(true, 0, 0);
  EXPECT_EQ(std::vector<std::string>{"GetTriggerRegister: Failed to query camera trigger register: "
                                     "Injected failure"},
            Reports());
  kit::clearReports();
  sim::addFault({"CvWriteQuad", sim::kInjected, 0, 1, -1});
  a.SetTriggerRegister(true, 1, 0);
  EXPECT_EQ(std::vector<std::string>{"SetTriggerRegister: Failed to set camera trigger register: "
                                     "Injected failure"},
            Reports());
  std::uint32_t word = 0;
  ASSERT_TRUE(a.GetTriggerRegister(word));
  EXPECT_EQ(0x80000000u, word);  // the cache kept the word read
}

TEST(PropertyIdTest, MarkersDecodeInTheirOrder) {
  using PropertyId::Kind;
  const struct {
    std::uint32_t id;
    Kind kind;
    std::uint32_t registerId;
  } cases[] = {
      {0x81050000, Kind::kAbsoluteValue, 0x00070010}, {0x80050000, Kind::kValue, 0x00080000},
      {0x40052008, Kind::kType, 0x00082008},          {0x20052008, Kind::kMode, 0x00082008},
      {0x10052008, Kind::kState, 0x00082008},         {0x00052008, Kind::kNone, 0},
      {0xF1050000, Kind::kAbsoluteValue, 0x70070010},  // bits 31 and 24 always mean absolute
      {0xC0050000, Kind::kValue, 0x40080000},
  };
  for (const auto& c : cases) {
    const PropertyId::Decoded d = PropertyId::decode(c.id);
    EXPECT_EQ(c.kind, d.kind) << std::hex << c.id;
    EXPECT_EQ(c.registerId, d.registerId) << std::hex << c.id;
  }
}

TEST_F(RegisterTest, ListenersOnPropertiesWithoutAMarkerDoNothing) {
  CorvaneAdaptor& a = Make(1, kMono);
  CorvanePropGetListener getter(a.link());
  CorvanePropSetListener setter(a.link());
  host::PropertyFactory factory;
  IProperty* p = factory.createIntProperty("Plain", 0, 10, 3);
  factory.setIdentifier(p, 0x00052008);
  factory.addProperty(p);
  std::unique_ptr<host::Property> plain = factory.take().front()->clone(true);
  std::uint32_t buffer = 0xDEADBEEF;
  getter.getValue(plain.get(), &buffer);
  EXPECT_EQ(0xDEADBEEFu, buffer);
  const std::int32_t value = 5;
  setter.notify(plain.get(), &value);
  EXPECT_TRUE(Log().empty());
}

TEST_F(RegisterTest, AValueAbove65535IsNeverTakenAsUnchanged) {
  CorvaneAdaptor& a = Make(1, kMono);
  CorvanePropSetListener setter(a.link());
  host::PropertyFactory factory;
  IProperty* p = factory.createIntProperty("Gain_Value", 0, 1 << 20, 0);
  factory.setIdentifier(p, 0x80052008);
  factory.addProperty(p);
  std::unique_ptr<host::Property> gain = factory.take().front()->clone(true);
  const std::uint32_t value = 0x10000u;  // low 16 bits 0, as the camera holds
  setter.notify(gain.get(), &value);
  std::vector<sim::Call> log = Log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("CvSetCameraRegister", log[1].function);
  FeatureControlRecord sent;
  std::memcpy(&sent, log[1].record.data(), sizeof sent);
  EXPECT_EQ(0u, sent.value & 0xFFFF);
}

}  // namespace
