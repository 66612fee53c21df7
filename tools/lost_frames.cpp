#include "lost_frames.h"

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
  if (std::exchange(first_, false)) {
    firstNumber_ = number;
    firstTime_ = time;
    return 0;
  }
  if (period_ <= 0) return 0;
  // The camera's frames since the first, by the clock, less those the module
  // counted. Stamps come late by the module's delays, and in bunches: the
  // count is the largest shortfall seen so far, never taken back.
  const double sent = std::floor((time - firstTime_) / period_ + 0.5);
  const double counted = static_cast<double>(number - firstNumber_);
  const double lost = sent - counted;
  if (lost <= static_cast<double>(lostSoFar_)) return 0;
  const auto total = static_cast<std::uint64_t>(lost);
  return total - std::exchange(lostSoFar_, total);
}

}  // namespace tool
