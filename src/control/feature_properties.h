// What getDeviceAttributes declares: a camera's video source, its feature
// properties and its hardware trigger configurations.
#pragma once

#include <cstdint>

#include "device/corvane_device.h"
#include "platform/imaqkit.h"

// Declares the properties of one feature, from the camera's inquiry record.
void addFeatureProperties(IPropertyFactory* factory, CorvaneDevice* device, std::uint32_t inquiryId,
                          const char* featureName);

// The source "CorvaneSource", the properties of every feature of the table,
// and the trigger configurations; an entry without a camera gets the source only.
void declareDeviceAttributes(IDeviceEntry* deviceEntry, IPropertyFactory* factory,
                             ISourceList* sources, ITriggerList* triggers);
