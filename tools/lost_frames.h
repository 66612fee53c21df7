// Frames the camera finished that never reached the host, between the frames
// a run writes. Over the virtual bus, whose engines know which frames they
// never handed out, the count is exact; over another library it is estimated
// from the camera's nominal frame period and the frames' time stamps, and
// says so. Stamps are delivery times: a frame late in a queue and a frame
// never sent look alike in one gap, so the estimate counts only a shortfall
// that stays once the queue has drained, and errs low.
#pragma once

#include <array>
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
  // a frame the module counted number-th, time-stamped at time. Calls come in
  // frame order. An estimate falls on a frame some way after the loss.
  std::uint64_t since(std::uint64_t number, double time);

 private:
  std::uint64_t camera_ = 0;
  int (*lostBefore_)(std::uint64_t, std::uint64_t, std::uint64_t*) = nullptr;
  bool exact_ = false;
  double period_ = 0;
  bool first_ = true;
  std::uint64_t lostSoFar_ = 0, exactBase_ = 0;
  // The frame before this one: its count less its time in periods, and its stamp.
  double lastLead_ = 0, lastTime_ = 0;
  double bestLead_ = 0;  // the most punctual frame's: its stamp the least late
  // The shortfalls of the last frames that left no queue behind them.
  std::array<double, 4> shortfalls_{};
  std::size_t seen_ = 0;
};

}  // namespace tool
