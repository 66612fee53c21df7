#include "lost_frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "corvane_bus.h"
#include "module.h"
#include "support.h"

namespace tool {
namespace {

CorvaneBusLostBefore lostBeforeFunction() {
  void* symbol = host::platform::findLoadedSymbol(host::platform::kBusLibraryFileName,
                                                  CORVANE_BUS_LOST_BEFORE);
  CorvaneBusLostBefore function = nullptr;
  static_assert(sizeof function == sizeof symbol);
  std::memcpy(&function, &symbol, sizeof function);
  return function;
}

}  // namespace

LostFrames::LostFrames(const std::string& deviceName, double period)
    : camera_(cameraIdOf(deviceName)), period_(period) {
  lostBefore_ = lostBeforeFunction();
  exact_ = camera_ != 0 && lostBefore_ != nullptr;
}

std::uint64_t LostFrames::since(std::uint64_t number, double time) {
  if (exact_) {
    std::uint64_t lost = 0;
    // The module counts each frame the engine hands out: its number-th is the engine's.
    if (lostBefore_(camera_, number, &lost) != 0) lost = exactBase_;
    const std::uint64_t base = std::exchange(exactBase_, lost);
    if (std::exchange(first_, false)) return 0;
    return lost > base ? lost - base : 0;
  }
  if (period_ <= 0) return 0;
  // A frame's lead: its count less the camera's periods by its stamp. A late
  // stamp lowers it by the lateness; each lost frame lowers it by one for good.
  const double lead = static_cast<double>(number) - time / period_;
  if (std::exchange(first_, false)) {
    lastLead_ = bestLead_ = lead;
    lastTime_ = time;
    return 0;
  }
  // The frame before this one left no queue when this one was awaited, so
  // its stamp was at most about a period late: its shortfall is lost frames
  // (a burst after a pause is a queue draining, and adds nothing).
  const bool punctual = time - lastTime_ >= period_ / 2;
  const double shortfall = bestLead_ - lastLead_;
  bestLead_ = std::max(bestLead_, lead);
  lastLead_ = lead;
  lastTime_ = time;
  if (!punctual) return 0;
  shortfalls_[seen_++ % shortfalls_.size()] = shortfall;
  if (seen_ < shortfalls_.size()) return 0;
  // Counted only when the last few such frames all fall that short.
  const double least = *std::min_element(shortfalls_.begin(), shortfalls_.end());
  const auto total = static_cast<std::uint64_t>(std::max(0.0, std::floor(least)));
  if (total <= lostSoFar_) return 0;
  return total - std::exchange(lostSoFar_, total);
}

}  // namespace tool
