// The soak case of corvane-bench: a long life of the module inside a host.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace soak {

struct Options {
  double minutes = 1.0;
  std::uint64_t seed = 1;
  double faultRate = 0.002;  // of the library calls that fail at random
  // Of the cameras (and the library) that take a freedom a library may take,
  // drawn anew every round: a start-up refused or ignored, a frame kept past a
  // stop, frames without an image, no channel, no texts or one text for all.
  double quirkRate = 0.3;
  std::string modulePath;
};

// Runs the soak and returns its figures; "ok" in them says whether every frame
// was accounted for, nothing leaked or was left behind, and nothing hung.
nlohmann::json run(const Options& options);

// The figures as a few lines for a terminal.
void print(const nlohmann::json& figures);

}  // namespace soak
