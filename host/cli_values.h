// Values given on corvane-host's command line.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// A whole number of at most 9 digits.
bool parseCount(const std::string& text, std::uint32_t& value);
// "X,Y,W,H" as four counts.
bool parseRoi(const std::string& text, int roi[4]);
// "CONFIG/SOURCE", both non-empty.
bool splitTrigger(const std::string& text, std::string& configuration, std::string& source);
// "NAME=VALUE" with a non-empty name.
bool splitSetting(const std::string& text, std::string& name, std::string& value);

}  // namespace host
