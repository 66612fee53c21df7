// Values from corvane-host's command line and property settings.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli_values.h"
#include "properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint32_t count = 0;
  int roi[4];
  std::string a, b;
  if (host::parseCount(text, count) && count > 999999999u) __builtin_trap();
  if (host::parseRoi(text, roi))
    for (int v : roi)
      if (v < 0) __builtin_trap();
  host::splitTrigger(text, a, b);
  host::splitSetting(text, a, b);
  host::PropertyFactory factory;
  IProperty* i = factory.createIntProperty("I", -5, 680, 0);
  IProperty* d = factory.createDoubleProperty("D", -10.0, 10.0, 0.0);
  IProperty* e = factory.createEnumProperty("E", "On", 1);
  factory.addEnumValue(e, "Off", 0);
  factory.addProperty(i);
  factory.addProperty(d);
  factory.addProperty(e);
  for (const auto& p : factory.take()) {
    host::PropertyValue value;
    std::string error;
    if (p->parse(text, value, error)) {
      if (p->type() == host::PropertyType::kInteger && (value.integer < -5 || value.integer > 680))
        __builtin_trap();
      if (p->type() == host::PropertyType::kDouble && !(value.real >= -10.0 && value.real <= 10.0))
        __builtin_trap();
      if (p->type() == host::PropertyType::kEnum && value.integer != 0 && value.integer != 1)
        __builtin_trap();
    } else if (error.empty()) {
      __builtin_trap();
    }
  }
  return 0;
}
