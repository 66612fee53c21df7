// Camera control through the host: what getDeviceAttributes declares, and
// property reads and writes reaching the camera's registers through the
// adaptor's listeners.
#include <cstring>

#include "acquisition.h"
#include "host_fixture.h"
#include "iidc.h"
#include "picture.h"

namespace {

constexpr std::uint64_t kBayer = sim::kBayerCamera;

struct Declared {
  std::string name;
  host::PropertyType type;
  double minimum, maximum;
  std::string defaultText;
  std::uint32_t id;
};

class ControlTest : public HostTest {
 protected:
  host::DeviceAttributes& Attributes(std::uint32_t device) {
    if (!session_.discovered()) session_.discover();
    return session_.attributes(*session_.hardware().deviceById(device));
  }

  static std::vector<Declared> Properties(const host::DeviceAttributes& a) {
    std::vector<Declared> list;
    for (const auto& p : a.properties)
      list.push_back(
          {p->name(), p->type(), p->minimum(), p->maximum(), p->text(p->defaultValue()), p->id()});
    return list;
  }

  static std::vector<std::string> Names(const host::DeviceAttributes& a) {
    std::vector<std::string> names;
    for (const auto& p : a.properties) names.push_back(p->name());
    return names;
  }

  // One camera on the bus with the given features and trigger inquiry word.
  void OneCamera(std::vector<sim::FeatureDesc> features, std::uint32_t triggerInquiry = 0) {
    sim::CameraDesc c = Camera(7);
    c.features = std::move(features);
    c.triggerInquiry = triggerInquiry;
    sim::BusDesc bus;
    bus.adapters = {{c}};
    Install(bus);
  }

  static sim::FeatureDesc Feature(const std::string& name, bool onOff, bool autoMode, bool manual,
                                  bool absolute) {
    sim::FeatureDesc f;
    f.name = name;
    f.onOffCapable = onOff;
    f.autoCapable = autoMode;
    f.manualCapable = manual;
    f.absoluteCapable = absolute;
    return f;
  }

  static host::PropertyValue Read(host::VideoInput& input, const std::string& name) {
    host::PropertyValue value;
    std::string error;
    EXPECT_TRUE(input.properties().read(name, value, error)) << error;
    return value;
  }

  static void Write(host::VideoInput& input, const std::string& name, const std::string& value) {
    std::string error;
    EXPECT_TRUE(input.properties().write(name, value, error)) << error;
  }

  static std::vector<sim::Call> Calls(const std::string& function) {
    std::vector<sim::Call> calls;
    for (const sim::Call& c : sim::callLog())
      if (c.function == function) calls.push_back(c);
    return calls;
  }
};

TEST_F(ControlTest, AFeatureWithEveryCapabilityGetsFivePropertiesInOrder) {
  sim::FeatureDesc b = Feature("Brightness", true, true, true, true);
  b.minValue = 0;
  b.maxValue = 255;
  b.absMin = -10.0f;
  b.absMax = 10.0f;
  b.absValue = 1.5f;
  OneCamera({b});
  const std::vector<Declared> got = Properties(Attributes(1));
  ASSERT_EQ(5u, got.size());
  const char* names[] = {"Brightness_State", "Brightness_Mode", "Brightness_Value",
                         "Brightness_Type", "Brightness_Absolute_Value"};
  const std::uint32_t ids[] = {0x10050000, 0x20050000, 0x80050000, 0x40050000, 0x81050000};
  const char* defaults[] = {"On", "Manual", "0", "Relative", "1.5"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(names[i], got[i].name);
    EXPECT_EQ(ids[i], got[i].id);
    EXPECT_EQ(defaults[i], got[i].defaultText);
  }
  EXPECT_EQ(255.0, got[2].maximum);
  EXPECT_EQ(-10.0, got[4].minimum);
  EXPECT_EQ(10.0, got[4].maximum);
  for (const auto& p : Attributes(1).properties) EXPECT_EQ("never", p->readOnly());
  const auto& state = Attributes(1).properties[0];
  EXPECT_EQ((std::vector<std::pair<std::string, std::int32_t>>{{"On", 1}, {"Off", 0}}),
            state->values());
  const auto& mode = Attributes(1).properties[1];
  EXPECT_EQ((std::vector<std::pair<std::string, std::int32_t>>{{"Manual", 0}, {"Auto", 1}}),
            mode->values());
}

TEST_F(ControlTest, CapabilitiesDecideWhichPropertiesAFeatureGets) {
  OneCamera({Feature("Gain", false, true, false, false),     // auto only: nothing
             Feature("Shutter", false, false, true, false),  // manual only: Value
             Feature("Gamma", true, false, false, false),    // on/off only: State
             Feature("Hue", false, true, true, false)});     // auto and manual: Mode and Value
  EXPECT_EQ((std::vector<std::string>{"Hue_Mode", "Hue_Value", "Gamma_State", "Shutter_Value"}),
            Names(Attributes(1)));
}

TEST_F(ControlTest, FailedReadsLeaveOutWhatTheyWouldHaveDeclared) {
  OneCamera({Feature("Brightness", false, false, true, true),
             Feature("Gain", false, false, true, false)});
  // The absolute record of Brightness cannot be read: its Type stays, its Absolute_Value goes.
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 0, 1, 0x00070010});
  // Gain's inquiry fails: the walk goes on past it.
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 0, 1, 0x00052008});
  EXPECT_EQ((std::vector<std::string>{"Brightness_Value", "Brightness_Type"}),
            Names(Attributes(1)));
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(ControlTest, EveryFeatureOfTheTableIsAskedAndNothingElse) {
  OneCamera({});
  Discover();
  sim::setCallLog(true);
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 0, 1, -1});
  const host::DeviceAttributes& a = Attributes(1);
  EXPECT_TRUE(a.properties.empty());
  std::vector<std::uint64_t> asked;
  for (const sim::Call& c : Calls("CvQueryCameraRegister")) {
    EXPECT_EQ(36u, c.args[2]);
    asked.push_back(c.args[1]);
  }
  std::vector<std::uint64_t> table;
  for (const iidc::Feature& f : iidc::kFeatures) table.push_back(iidc::inquiryId(f));
  EXPECT_EQ(table, asked);
  ASSERT_EQ(1u, a.sources.size());
  EXPECT_EQ("CorvaneSource", a.sources[0].name);
  EXPECT_EQ(1, a.sources[0].id);
}

TEST_F(ControlTest, TriggerConfigurationsFromTheInquiryWord) {
  OneCamera({}, 0x80000000u | 0x00F00000u | 0xC000u | 0x0003u);
  const std::vector<host::TriggerConfiguration>& t = Attributes(1).triggers;
  ASSERT_EQ(16u, t.size());
  const char* configs[] = {"Mode_0", "Mode_1", "Vendor_14", "Vendor_15"};
  const std::uint32_t ids[] = {0, 1, 14, 15};
  for (std::uint32_t s = 0; s < 4; ++s) {
    for (int m = 0; m < 4; ++m) {
      const host::TriggerConfiguration& c = t[s * 4 + static_cast<std::uint32_t>(m)];
      EXPECT_EQ(configs[m], c.configuration);
      EXPECT_EQ(ids[m], c.configurationId);
      EXPECT_EQ("Source_" + std::to_string(s), c.source);
      EXPECT_EQ(s, c.sourceId);
    }
  }
  // Modes 6 to 13 are never offered; without a source bit nothing is.
  OneCamera({}, 0x80000000u | 0xFFFFu);
  Discover();
  EXPECT_TRUE(Attributes(1).triggers.empty());
  OneCamera({}, 0x00800000u | 0x03FCu);  // modes 6 to 13 only
  Discover();
  EXPECT_TRUE(Attributes(1).triggers.empty());
}

TEST_F(ControlTest, AnEntryWithoutACameraGetsTheSourceOnly) {
  Discover();
  host::DeviceEntry bare(9, "bare");
  host::PropertyFactory factory;
  host::SourceList sources;
  host::TriggerList triggers;
  session_.module().entry().getDeviceAttributes(&bare, "", &factory, &sources, &triggers);
  ASSERT_EQ(1u, sources.sources.size());
  EXPECT_EQ("CorvaneSource", sources.sources[0].name);
  EXPECT_TRUE(factory.take().empty());
  EXPECT_TRUE(triggers.triggers.empty());
}

TEST_F(ControlTest, ReadingAndWritingAValueCarriesTheHighHalfThrough) {
  sim::FeatureDesc b = Feature("Brightness", false, false, true, false);
  b.value = 0x00010000u | 128;
  OneCamera({b});
  host::VideoInput& input = Input("1");
  sim::setCallLog(true);
  EXPECT_EQ(128, Read(input, "Brightness_Value").integer);
  ASSERT_EQ(1u, Calls("CvQueryCameraRegister").size());
  EXPECT_EQ(0x00080000u, Calls("CvQueryCameraRegister")[0].args[1]);
  Write(input, "Brightness_Value", "200");
  std::vector<sim::Call> writes = Calls("CvSetCameraRegister");
  ASSERT_EQ(1u, writes.size());
  FeatureControlRecord sent;
  std::memcpy(&sent, writes[0].record.data(), sizeof sent);
  EXPECT_EQ(0x00010000u | 200, sent.value);
  EXPECT_EQ(1u, sent.word6);  // carried as read
  sim::FeatureState state;
  ASSERT_TRUE(sim::readFeature(7, "Brightness", state));
  EXPECT_EQ(0x00010000u | 200, state.value);
  Write(input, "Brightness_Value", "200");  // unchanged: no write
  EXPECT_EQ(1u, Calls("CvSetCameraRegister").size());
  EXPECT_EQ(1u, Calls("CvQueryCameraRegister").size());  // the cache answered
}

TEST_F(ControlTest, AnAbsoluteValueRoundTripsAsTheNearestFloat) {
  sim::FeatureDesc b = Feature("Brightness", false, false, true, true);
  b.absMin = -1.0f;
  b.absMax = 1.0f;
  OneCamera({b});
  host::VideoInput& input = Input("1");
  sim::setCallLog(true);
  Write(input, "Brightness_Absolute_Value", "0.1");
  std::vector<sim::Call> writes = Calls("CvSetCameraRegister");
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(0x00070010u, writes[0].args[1]);
  EXPECT_EQ(4u, writes[0].args[2]);
  float sent;
  std::memcpy(&sent, writes[0].record.data(), 4);
  EXPECT_EQ(0.1f, sent);
  EXPECT_EQ(static_cast<double>(0.1f), Read(input, "Brightness_Absolute_Value").real);
  EXPECT_NE(0.1, Read(input, "Brightness_Absolute_Value").real);
  Write(input, "Brightness_Absolute_Value", "0.1");  // always written
  EXPECT_EQ(2u, Calls("CvSetCameraRegister").size());
}

TEST_F(ControlTest, FailedReadsAnswerWithTheHostsValueAndDropTheWrite) {
  OneCamera({Feature("Gain", false, false, true, true)});
  host::VideoInput& input = Input("1");
  Write(input, "Gain_Absolute_Value", "0.5");  // caches the absolute record
  kit::clearReports();
  std::string error;
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 0, 1, -1});
  host::PropertyValue value;
  ASSERT_TRUE(input.properties().read("Gain_Value", value, error)) << error;
  EXPECT_EQ(0, value.integer);  // the host's stored default
  EXPECT_FALSE(input.properties().write("Gain_Value", "55", error));
  EXPECT_EQ("GetControlRegister: Failed to query camera register: Injected failure", error);
  sim::setCallLog(true);
  EXPECT_TRUE(Calls("CvSetCameraRegister").empty());
  const std::vector<std::string> reports = Reports();
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ("GetControlRegister: Failed to query camera register: Injected failure", reports[0]);
}

TEST_F(ControlTest, AFailedAbsoluteReadAnswersWithTheStoredDouble) {
  OneCamera({Feature("Gain", false, false, true, true)});
  host::VideoInput& input = Input("1");
  sim::addFault({"CvQueryCameraRegister", sim::kInjected, 0, 1, 0x00072018});
  EXPECT_EQ(0.0, Read(input, "Gain_Absolute_Value").real);  // the declared default
  EXPECT_EQ(
      std::vector<std::string>{"GetAbsControlRegister: Failed to query camera absolute register: "
                               "Injected failure"},
      Reports());
}

TEST_F(ControlTest, TheHostsOwnPropertiesGetNoListeners) {
  host::VideoInput& input = Input("1");
  sim::setCallLog(true);
  Write(input, "Timeout", "5");
  EXPECT_EQ(5.0, Read(input, "Timeout").real);
  EXPECT_TRUE(sim::callLog().empty());
}

TEST_F(ControlTest, BadValuesAreRefusedAndChangeNothing) {
  host::VideoInput& input = Input("1");
  sim::setCallLog(true);
  std::string error;
  EXPECT_FALSE(input.properties().write("Gain_Value", "681", error));
  EXPECT_EQ("property Gain_Value takes an integer from 0 to 680, not '681'", error);
  EXPECT_FALSE(input.properties().write("Gain_Mode", "Sometimes", error));
  EXPECT_EQ("property Gain_Mode takes one of Manual, Auto, not 'Sometimes'", error);
  EXPECT_FALSE(input.properties().write("Gain_Absolute_Value", "nan", error));
  EXPECT_FALSE(input.properties().write("Gain_Value", "12x", error));
  EXPECT_FALSE(input.properties().write("Nothing", "1", error));
  EXPECT_EQ("no property 'Nothing'", error);
  EXPECT_TRUE(sim::callLog().empty());
  EXPECT_EQ(0, Read(input, "Gain_Value").integer);
}

TEST_F(ControlTest, AListenerWithoutStorageIsNotInstalledAndConstructionGoesOn) {
  OneCamera(
      {Feature("Gain", false, false, true, false), Feature("Shutter", false, false, true, false)});
  Discover();
  Attributes(1);
  // The adaptor is the first block, then Shutter_Value's getter (the table puts Shutter first).
  kit::failAllocation(2);
  host::VideoInput& input = Input("1");
  EXPECT_EQ(
      std::vector<std::string>{
          "CorvaneImaq:createInstance: No storage for the listeners of property "
          "'Shutter_Value'; it is not connected to the camera."},
      Reports());
  sim::setCallLog(true);
  Write(input, "Shutter_Value", "7");
  EXPECT_TRUE(sim::callLog().empty());
  Write(input, "Gain_Value", "7");
  EXPECT_EQ(2u, sim::callLog().size());  // read, then write
}

TEST_F(ControlTest, SettingsShowInTheCamerasPictures) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  input.settings.framesPerTrigger = 1;
  auto patch = [&] {
    std::string error;
    EXPECT_TRUE(input.open(error)) << error;
    EXPECT_TRUE(input.start(error)) << error;
    host::Frame frame;
    EXPECT_TRUE(input.engine().takeFrame(frame, 3.0));
    input.waitAndStop(3.0);
    double sum = 0;
    for (int y = 330; y < 340; ++y)
      for (int x = 300; x < 340; ++x) sum += frame.data[static_cast<std::size_t>(y) * 640 + x];
    return sum / 400;
  };
  const double start = patch();
  Write(input, "Brightness_Value", "200");
  const double brighter = patch();
  EXPECT_GT(brighter, start + 20);
  Write(input, "Brightness_Value", "128");
  Write(input, "Gain_Value", "340");
  EXPECT_GT(patch(), start * 1.5);
  sim::FeatureState gain;
  ASSERT_TRUE(sim::readFeature(sim::kMonoCamera, "Gain", gain));
  EXPECT_EQ(340u, gain.value & 0xFFFF);
}

TEST_F(ControlTest, ATriggerChosenByNameProgramsTheCamera) {
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  std::string error;
  EXPECT_FALSE(input.selectTrigger("Mode_5", "Source_0", error));
  EXPECT_NE(std::string::npos, error.find("has no hardware trigger Mode_5/Source_0"));
  ASSERT_TRUE(input.selectTrigger("Vendor_14", "Source_1", error)) << error;
  input.settings.framesPerTrigger = 1;
  ASSERT_TRUE(input.open(error)) << error;
  ASSERT_TRUE(input.start(error)) << error;
  std::uint32_t word = 0;
  ASSERT_TRUE(sim::readCsr(kBayer, iidc::kTriggerMode, word));
  EXPECT_EQ(0x82000000u | (1u << 21) | (14u << 16), word);
  ASSERT_TRUE(sim::pulseTrigger(kBayer));
  host::Frame frame;
  EXPECT_TRUE(input.engine().takeFrame(frame, 3.0));
  input.waitAndStop(3.0);
  ASSERT_TRUE(input.selectTrigger("Mode_0", "Source_0", error)) << error;
  ASSERT_TRUE(input.start(error)) << error;
  ASSERT_TRUE(sim::readCsr(kBayer, iidc::kTriggerMode, word));
  EXPECT_EQ(0x82000000u, word);
  input.stop();
}

}  // namespace
