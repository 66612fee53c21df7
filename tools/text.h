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
// A value the camera gave as a 32-bit float, as the shortest decimal that is
// that float (0.01, not 0.009999999776): its binary noise is no part of it.
double asCameraGave(double value);
// A value for people: texts as they are, numbers as the camera gave them.
std::string shortNumber(const nlohmann::json& value);

}  // namespace tool
