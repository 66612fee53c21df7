#include "text.h"

namespace tool {

std::string dumpJson(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string printable(const std::string& text) {
  return nlohmann::json::parse(dumpJson(nlohmann::json(text))).get<std::string>();
}

}  // namespace tool
