// Frames the camera finished that never reached the host, between the frames
// a run writes. Over the virtual bus, whose engines know which frames they
// never handed out, the count is exact; over another library it is estimated
// from the camera's nominal frame period and the frames' time stamps, and
// says so.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

class LostFrames {
 public:
  // period: the camera's nominal seconds a frame (0: unknown, as on a
  // hardware trigger), for the estimate.
  LostFrames(const std::string& deviceName, double period);

  bool exact() const { return exact_; }
  // Whether a count, exact or estimated, can be given at all.
  bool known() const { return exact_ || period_ > 0; }
  // Frames lost since the frame of the last call (0 for the first call), for
  // a frame the module counted number-th, time-stamped at time, with
  // counted - 1 frames counted since the last call's. Calls come in frame order.
  std::uint64_t since(std::uint64_t number, double time);

 private:
  std::uint64_t camera_ = 0;
  int (*lostBefore_)(std::uint64_t, std::uint64_t, std::uint64_t*) = nullptr;
  bool exact_ = false;
  double period_ = 0;
  bool first_ = true;
  std::uint64_t firstNumber_ = 0, lostSoFar_ = 0, exactBase_ = 0;
  double firstTime_ = 0;
};

}  // namespace tool
