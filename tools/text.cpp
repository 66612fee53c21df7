#include "text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tool {

std::string dumpJson(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string printable(const std::string& text) {
  return nlohmann::json::parse(dumpJson(nlohmann::json(text))).get<std::string>();
}

double asCameraGave(double value) {
  const auto single = static_cast<float>(value);
  if (!std::isfinite(value) || static_cast<double>(single) != value) return value;
  char text[32];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtof(text, nullptr) == single) return std::strtod(text, nullptr);
  }
  return value;
}

std::string shortNumber(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_number()) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", asCameraGave(value.get<double>()));
  return text;
}

}  // namespace tool
