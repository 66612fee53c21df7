// What corvane-host acquire says of a run: the tally of the frames the camera
// sent, its rates, and the run's description in acquisition.json.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "acquisition.h"

namespace tool {

// The run as it goes, over the frames from the first written to the last:
// each written, skipped (the module counted it, no file holds it) or lost
// (the camera sent it, the host never had it).
struct Tally {
  std::uint32_t accepted = 0;      // frames given to the writers
  std::uint64_t skipped = 0;       // in the span, as far as it goes
  std::uint64_t lost = 0;          // in the span, as far as it goes
  std::uint64_t firstSkipped = 0;  // the module's number of the first skipped
  std::uint64_t sinceWritten = 0,
                lostSinceWritten = 0;  // since the last frame given to the writers
  std::uint64_t firstNumber = 0, lastNumber = 0, secondNumber = 0;
  double firstTime = 0, lastTime = 0, secondTime = 0, writtenTime = -1;
  int width = 0, height = 0;
  std::uint32_t frameType = 0;

  void skip(std::uint64_t number, std::uint64_t count);
  // Frames per second that reached the host, from their time stamps. The
  // first frame's stamp carries the start's own delay: from the second on,
  // and 0 for fewer than three frames.
  double deliveredRate() const;
};

// Seconds since 1970, UTC, now.
double unixNow();
// That instant as UTC to the microsecond ("2024-05-01T12:00:00.123456Z").
std::string utcAt(double unixSeconds);
// The camera's own frame rate in the format: a fixed format's rate from its
// name, a Format 7 mode's from its packets (one per 125 us bus cycle) and the
// frame's bytes; 0 when neither says.
double nominalRate(const std::string& deviceName, const std::string& formatName,
                   std::uint32_t frameType, int width, int height);
// How --save raw's files hold a frame.
nlohmann::json rawFormat(const host::Frame& frame);
// Every property of the device with its value now, by name.
nlohmann::json settingsNow(host::VideoInput& input);
// The module's warnings since mark, alike ones together; on a hardware
// trigger the frame wait's timeouts are left out.
nlohmann::json warningsSince(std::size_t mark, bool triggered);
std::string duration(double seconds);

}  // namespace tool
