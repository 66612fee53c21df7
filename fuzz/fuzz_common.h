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
  f.minValue = in.ConsumeIntegral<std::uint16_t>();
  f.maxValue = std::max(f.minValue, in.ConsumeIntegral<std::uint16_t>());
  f.absMin = in.ConsumeFloatingPoint<float>();
  f.absMax = in.ConsumeFloatingPoint<float>();
  if (!(f.absMin <= f.absMax)) f.absMax = f.absMin = 0;
  f.value = in.ConsumeIntegral<std::uint32_t>();
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
  c.commandBase = in.ConsumeIntegral<std::uint32_t>() & 0xFFFFF000u;
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
  return c;
}

inline void FuzzQuiet() {
  static bool once = [] {
    kit::setReportEcho(false);
    return true;
  }();
  (void)once;
}
