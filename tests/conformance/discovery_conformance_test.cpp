// A host that shares no declaration with the module. Its objects are plain
// records whose first field points at a table of operations laid out in the
// documented order (contract.h); it reaches the module's objects through slot
// indices of their tables; its kit library defines the kit functions by
// symbol name. The module agrees with this host only where it agrees with the
// documented contract: a slot out of order shows as a wrong call (a violation the records
// catch) or a wrong value.
//
// These cases: discovery and device attributes: the hardware list, the entries, the property
// factory, the source and trigger lists.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "conformance_fixture.h"

namespace conformance_host {
namespace {

TEST_F(ConformanceTest, DiscoveryFillsTheHardwareListThroughItsSlots) {
  ASSERT_EQ(3u, hardware_.devices.size());
  const char* const names[] = {"Corvane MV-640M 100201", "Corvane CX-1280B 100202",
                               "Corvane CY-422DP 100203"};
  const std::size_t formatCounts[] = {12, 5, 11};
  for (std::size_t d = 0; d < 3; ++d) {
    const DeviceEntry& device = *hardware_.devices[d];
    EXPECT_EQ(d + 1, device.id);
    EXPECT_EQ(names[d], device.name);
    EXPECT_NE(nullptr, device.data);
    EXPECT_EQ(device.created.size(), device.formats.size()) << "every format entry made is added";
    ASSERT_EQ(formatCounts[d], device.formats.size()) << device.name;
    for (std::size_t k = 0; k < device.formats.size(); ++k) {
      const FormatEntry& format = *device.formats[k];
      EXPECT_EQ(k + 1, format.id);
      EXPECT_EQ(k == 0, format.isDefault) << format.name;
      EXPECT_NE(nullptr, format.data) << format.name;
    }
  }
  EXPECT_EQ("640X480 Mono8 7.5 FPS", Device(1).formats.front()->name);
  EXPECT_EQ("VARIABLE_1 (640X480) Raw8", Device(2).formats.back()->name);
  EXPECT_EQ(hardware_.created.size(), hardware_.devices.size());
}

TEST_F(ConformanceTest, AttributesArriveThroughTheFactorySourceAndTriggerSlots) {
  PropertyFactory factory;
  SourceList sources;
  TriggerList triggers;
  getDeviceAttributes_(&Device(2), "VARIABLE_0 (1280X960) Mono8", &factory, &sources, &triggers);

  ASSERT_EQ(1u, sources.sources.size());
  EXPECT_EQ(std::make_pair(std::string("CorvaneSource"), std::int32_t{1}), sources.sources[0]);

  using T = std::tuple<std::string, std::uint32_t, std::string, std::uint32_t>;
  const std::vector<T> expectedTriggers = {
      {"Mode_0", 0, "Source_0", 0},     {"Mode_1", 1, "Source_0", 0},
      {"Vendor_14", 14, "Source_0", 0}, {"Vendor_15", 15, "Source_0", 0},
      {"Mode_0", 0, "Source_1", 1},     {"Mode_1", 1, "Source_1", 1},
      {"Vendor_14", 14, "Source_1", 1}, {"Vendor_15", 15, "Source_1", 1}};
  EXPECT_EQ(expectedTriggers, triggers.triggers);

  std::vector<std::string> names;
  for (const Property* p : factory.added) names.push_back(p->name);
  const std::vector<std::string> expectedNames = {
      "Brightness_State",   "Brightness_Value",       "Gamma_State", "Gamma_Value", "Shutter_Value",
      "Shutter_Type",       "Shutter_Absolute_Value", "Gain_Mode",   "Gain_Value",  "Gain_Type",
      "Gain_Absolute_Value"};
  EXPECT_EQ(expectedNames, names);
  EXPECT_EQ(factory.created.size(), factory.added.size());

  // Each property is made, finished and added in one go.
  for (const Property* p : factory.added) {
    std::vector<std::string> expected;
    switch (p->type) {
      case PropertyType::kEnum:
        expected = {"createEnumProperty", "addEnumValue"};
        break;
      case PropertyType::kInteger:
        expected = {"createIntProperty"};
        break;
      case PropertyType::kDouble:
        expected = {"createDoubleProperty"};
        break;
    }
    expected.insert(expected.end(), {"setReadOnly never", "setIdentifier", "addProperty"});
    EXPECT_EQ(expected, p->steps) << p->name;
  }

  auto find = [&](const std::string& name) -> const Property& {
    for (const Property* p : factory.added)
      if (p->name == name) return *p;
    throw std::runtime_error("no property " + name);
  };
  using Values = std::vector<std::pair<std::string, std::int32_t>>;
  EXPECT_EQ(0x10050000u, find("Brightness_State").id);
  EXPECT_EQ((Values{{"On", 1}, {"Off", 0}}), find("Brightness_State").values);
  EXPECT_EQ(kBrightnessValue, find("Brightness_Value").id);
  EXPECT_EQ(0.0, find("Brightness_Value").minimum);
  EXPECT_EQ(255.0, find("Brightness_Value").maximum);
  EXPECT_EQ(0.0, find("Brightness_Value").defaultValue);
  EXPECT_EQ(0x40051C07u, find("Shutter_Type").id);
  EXPECT_EQ((Values{{"Relative", 0}, {"Absolute", 1}}), find("Shutter_Type").values);
  const Property& shutter = find("Shutter_Absolute_Value");
  EXPECT_EQ(0x81051C07u, shutter.id);
  EXPECT_EQ(static_cast<double>(0.00001f), shutter.minimum);
  EXPECT_EQ(static_cast<double>(0.5f), shutter.maximum);
  EXPECT_EQ(static_cast<double>(0.01f), shutter.defaultValue);
  EXPECT_EQ(0x20052008u, find("Gain_Mode").id);
  EXPECT_EQ((Values{{"Manual", 0}, {"Auto", 1}}), find("Gain_Mode").values);
}

}  // namespace
}  // namespace conformance_host
