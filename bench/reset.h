// The reset case of corvane-bench: a host resetting its adaptor again and
// again in one process, each time a whole life from load to unload.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace reset {

struct Options {
  std::uint32_t cycles = 300;
  std::uint32_t warmup = 30;  // cycles before the first reading
  std::string modulePath;
};

// Runs the cycles and returns their figures; "ok" in them says whether every
// cycle acquired its frames and the process holds no more at the end than
// after the warm-up, beyond the allocator's noise.
nlohmann::json run(const Options& options);

// The figures as a few lines for a terminal.
void print(const nlohmann::json& figures);

}  // namespace reset
