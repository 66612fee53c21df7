// Shared pieces of the fuzz targets: a bus camera made from fuzzer bytes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include "control.h"
#include "iidc.h"
#include "kit.h"

inline sim::FeatureDesc FuzzFeature(FuzzedDataProvider& in) {
  sim::FeatureDesc f;
  f.name = std::string(iidc::kFeatures[in.ConsumeIntegralInRange<std::size_t>(0, 16)].name);
  f.onOffCapable = in.ConsumeBool();
  f.autoCapable = in.ConsumeBool();
  f.manualCapable = in.ConsumeBool();
  f.absoluteCapable = in.ConsumeBool();
  // IIDC's registers hold 12-bit values.
  f.minValue = in.ConsumeIntegral<std::uint16_t>() & 0xFFF;
  f.maxValue = std::max<std::uint16_t>(f.minValue, in.ConsumeIntegral<std::uint16_t>() & 0xFFF);
  f.absMin = in.ConsumeFloatingPoint<float>();
  f.absMax = in.ConsumeFloatingPoint<float>();
  if (!(f.absMin <= f.absMax)) f.absMax = f.absMin = 0;
  f.value = in.ConsumeIntegral<std::uint32_t>() & 0xFFFF0FFFu;
  f.absValue = in.ConsumeFloatingPoint<float>();
  f.on = in.ConsumeBool();
  return f;
}

inline sim::CameraDesc FuzzCamera(FuzzedDataProvider& in, std::uint64_t id) {
  sim::CameraDesc c;
  c.id = id;
  c.vendor = in.ConsumeRandomLengthString(80);
  c.model = in.ConsumeRandomLengthString(80);
  c.number = in.ConsumeIntegral<std::uint32_t>();
  c.speed = in.ConsumeIntegralInRange<std::uint8_t>(0, 5);
  // Anywhere in the initial register space that the bus allows.
  c.commandBase = 0xF0001000u + (in.ConsumeIntegral<std::uint32_t>() % 0x3FF0u) * 0x1000u;
  for (int n = in.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) {
    sim::FixedModeDesc m;
    m.format = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
    m.mode = in.ConsumeIntegralInRange<std::uint32_t>(0, 7);
    for (int r = in.ConsumeIntegralInRange<int>(0, 8); r > 0; --r)
      m.rates.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, 7));
    c.fixed.push_back(m);
  }
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
    sim::Format7ModeDesc m;
    m.mode = in.ConsumeIntegralInRange<std::uint32_t>(0, 7);
    bool used = false;
    for (const auto& other : c.format7) used = used || other.mode == m.mode;
    if (used) continue;
    m.maxWidth = std::max<std::uint16_t>(1, in.ConsumeIntegral<std::uint16_t>());
    m.maxHeight = std::max<std::uint16_t>(1, in.ConsumeIntegral<std::uint16_t>());
    m.widthUnit = in.ConsumeIntegral<std::uint16_t>();
    m.heightUnit = in.ConsumeIntegral<std::uint16_t>();
    m.offsetXUnit = in.ConsumeIntegral<std::uint16_t>();
    m.offsetYUnit = in.ConsumeIntegral<std::uint16_t>();
    for (int k = in.ConsumeIntegralInRange<int>(0, 12); k > 0; --k)
      m.codings.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, 31));
    m.packetSize = in.ConsumeIntegral<std::uint16_t>();
    c.format7.push_back(m);
  }
  c.extraFormatBits = in.ConsumeIntegral<std::uint8_t>();
  c.format7Bit = in.ConsumeBool();
  c.filterPattern = in.ConsumeIntegral<std::uint8_t>();
  c.triggerInquiry = in.ConsumeIntegral<std::uint32_t>();
  for (int n = in.ConsumeIntegralInRange<int>(0, 6); n > 0; --n) {
    sim::FeatureDesc f = FuzzFeature(in);
    bool used = false;
    for (const auto& other : c.features) used = used || other.name == f.name;
    if (!used) c.features.push_back(f);
  }
  // White balance is one register: its two features alike but for their values.
  sim::FeatureDesc* halves[2] = {nullptr, nullptr};
  for (auto& f : c.features) {
    if (f.name == "Color_UB") halves[0] = &f;
    if (f.name == "Color_VR") halves[1] = &f;
  }
  if (halves[0] != nullptr && halves[1] == nullptr) {
    sim::FeatureDesc vr = *halves[0];
    vr.name = "Color_VR";
    c.features.push_back(vr);
  } else if (halves[1] != nullptr && halves[0] == nullptr) {
    sim::FeatureDesc ub = *halves[1];
    ub.name = "Color_UB";
    c.features.push_back(ub);
  } else if (halves[0] != nullptr) {
    const std::uint32_t value = halves[1]->value;
    *halves[1] = *halves[0];
    halves[1]->name = "Color_VR";
    halves[1]->value = value;
  }
  return c;
}

inline void FuzzQuiet() {
  static bool once = [] {
    kit::setReportEcho(false);
    return true;
  }();
  (void)once;
}
