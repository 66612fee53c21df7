// getDeviceAttributes: a camera's video source, its feature properties and
// its hardware trigger configurations.
#include <cstdio>

#include "control/feature_properties.h"
#include "control/feature_table.h"
#include "device/corvane_device.h"

namespace {

constexpr std::size_t kPropertyNameSize = 200;
constexpr std::size_t kConfigurationNameSize = 10;
constexpr std::size_t kSourceNameSize = 9;

void finish(IPropertyFactory* factory, IProperty* property, std::uint32_t id) {
  if (property == nullptr) return;
  factory->setReadOnly(property, "never");
  factory->setIdentifier(property, id);
  factory->addProperty(property);
}

void declareTriggers(ITriggerList* triggers, std::uint32_t inquiry) {
  static const std::uint32_t kModes[] = {0, 1, 2, 3, 4, 5, 14, 15};
  for (std::uint32_t source = 0; source < 4; ++source) {
    if ((inquiry & (1u << (23 - source))) == 0) continue;
    for (std::uint32_t mode : kModes) {
      if ((inquiry & (1u << (15 - mode))) == 0) continue;
      char configuration[kConfigurationNameSize];
      char sourceName[kSourceNameSize];
      std::snprintf(configuration, sizeof configuration, mode < 14 ? "Mode_%u" : "Vendor_%u", mode);
      std::snprintf(sourceName, sizeof sourceName, "Source_%u", source);
      triggers->addHardwareTrigger(configuration, mode, sourceName, source);
    }
  }
}

}  // namespace

void addFeatureProperties(IPropertyFactory* factory, CorvaneDevice* device, std::uint32_t inquiryId,
                          const char* featureName) {
  FeatureInquiryRecord inquiry;
  if (CvQueryCameraRegister(device->cameraHandle, inquiryId, &inquiry, sizeof inquiry) != 0 ||
      inquiry.present == 0)
    return;
  char name[kPropertyNameSize];
  if (inquiry.onOffCapable != 0) {
    std::snprintf(name, sizeof name, "%s_State", featureName);
    IProperty* p = factory->createEnumProperty(name, "On", 1);
    if (p != nullptr) factory->addEnumValue(p, "Off", 0);
    finish(factory, p, inquiryId | PropertyId::kStateMarker);
  }
  if (inquiry.autoCapable != 0 && inquiry.manualCapable != 0) {
    std::snprintf(name, sizeof name, "%s_Mode", featureName);
    IProperty* p = factory->createEnumProperty(name, "Manual", 0);
    if (p != nullptr) factory->addEnumValue(p, "Auto", 1);
    finish(factory, p, inquiryId | PropertyId::kModeMarker);
  }
  if (inquiry.manualCapable != 0) {
    std::snprintf(name, sizeof name, "%s_Value", featureName);
    finish(factory,
           factory->createIntProperty(name, inquiry.minValue, inquiry.maxValue, inquiry.minValue),
           inquiryId | PropertyId::kValueMarker);
  }
  if (inquiry.absoluteCapable != 0) {
    std::snprintf(name, sizeof name, "%s_Type", featureName);
    IProperty* p = factory->createEnumProperty(name, "Relative", 0);
    if (p != nullptr) factory->addEnumValue(p, "Absolute", 1);
    finish(factory, p, inquiryId | PropertyId::kTypeMarker);
    AbsoluteControlRecord absolute;
    if (CvQueryCameraRegister(device->cameraHandle, inquiryId + kCvFeatureAbsoluteOffset, &absolute,
                              sizeof absolute) == 0) {
      std::snprintf(name, sizeof name, "%s_Absolute_Value", featureName);
      finish(
          factory,
          factory->createDoubleProperty(name, absolute.minimum, absolute.maximum, absolute.value),
          inquiryId | PropertyId::kAbsoluteValueMarker);
    }
  }
}

void declareDeviceAttributes(IDeviceEntry* deviceEntry, IPropertyFactory* factory,
                             ISourceList* sources, ITriggerList* triggers) {
  try {
    if (sources != nullptr) sources->addSource("CorvaneSource", 1);
    auto* device =
        deviceEntry != nullptr ? dynamic_cast<CorvaneDevice*>(deviceEntry->adaptorData()) : nullptr;
    // An entry that discovery did not make has nothing more to declare.
    if (device == nullptr) return;
    if (factory != nullptr)
      for (const FeatureEntry* e = FeatureTable; e->controlId != 0; ++e)
        addFeatureProperties(factory, device, e->inquiryId, e->name);
    if (triggers != nullptr) declareTriggers(triggers, device->triggerInquiry);
  } catch (...) {
    // Nothing may cross into the host.
  }
}
