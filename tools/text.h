// Text that comes from outside (paths, the module's and the library's texts)
// may not be valid UTF-8; nothing the tool writes may abort on it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tool {

// JSON text, with any invalid UTF-8 written as replacement characters.
std::string dumpJson(const nlohmann::json& value, int indent = -1);
// The text as valid UTF-8, invalid bytes replaced, for printing.
std::string printable(const std::string& text);

}  // namespace tool
