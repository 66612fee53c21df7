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
  std::string modulePath;
};

// Runs the soak and returns its figures; "ok" in them says whether every frame
// was accounted for, nothing leaked or was left behind, and nothing hung.
nlohmann::json run(const Options& options);

// The figures as a few lines for a terminal.
void print(const nlohmann::json& figures);

}  // namespace soak
