#include "model_sequences.h"

namespace model {

std::vector<Step> generateSteps(std::mt19937_64& rng) {
  static constexpr Op kAnyOp[] = {
      Op::kOpen,  Op::kOpen,  Op::kOpen,    Op::kStart,   Op::kStart,   Op::kStart, Op::kStop,
      Op::kStop,  Op::kClose, Op::kDestroy, Op::kRead,    Op::kRead,    Op::kRead,  Op::kWrite,
      Op::kWrite, Op::kWrite, Op::kWrite,   Op::kTrigger, Op::kTrigger, Op::kPoke,  Op::kPoke};
  static constexpr Op kTriggerOp[] = {Op::kTrigger, Op::kTrigger, Op::kOpen,  Op::kOpen,
                                      Op::kStart,   Op::kStart,   Op::kStart, Op::kStop,
                                      Op::kStop,    Op::kClose,   Op::kPoke};
  // A third of the sequences each: anything on any property; white balance's
  // one register through its two halves; the trigger between two inputs. The
  // shared registers are where one input's cache goes wrong, and among thirty
  // properties their few steps would rarely meet.
  const Aim aim = static_cast<Aim>(rng() % 3);
  std::vector<Step> steps(8 + rng() % 33);
  for (Step& s : steps) {
    const Op op = aim == Aim::kTrigger ? kTriggerOp[rng() % std::size(kTriggerOp)]
                                       : kAnyOp[rng() % std::size(kAnyOp)];
    // All the step's register calls fail, or only its first call of one function:
    // a read's, a write's read or write, a start's trigger read or write.
    const int f = static_cast<int>(rng() % 8), first = op == Op::kStart ? kReadQuad : kQuery;
    int fault = -1;
    if (op == Op::kRead || op == Op::kWrite || op == Op::kStart) {
      if (f == 0)
        fault = kEveryCall;
      else if (f <= 2 && (op != Op::kRead || f == 1))
        fault = first + f - 1;
    }
    s = {op,
         static_cast<int>(rng() % 2),
         static_cast<std::uint32_t>(rng()),
         static_cast<std::uint32_t>(rng()),
         std::uniform_real_distribution<>()(rng),
         aim,
         fault};
  }
  return steps;
}

sim::CameraDesc generateCamera(std::mt19937_64& rng) {
  sim::CameraDesc c;
  c.id = sim::cameraId(0x1D);
  c.model = "Model";
  c.fixed = {{0, 5, {0}}};  // 640x480 Mono8 at 1.875 frames a second
  auto coin = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  sim::FeatureDesc whiteBalance;
  for (const LibraryFeature& f : kFeatures) {
    sim::FeatureDesc d;
    // The halves of white balance share their register: capabilities and range.
    // Most cameras have it, absolute more often than not: the shared register.
    const bool firstHalf = f.index == kWhiteBalanceIndex && f.valueShift == kHighValue;
    const bool secondHalf = f.index == kWhiteBalanceIndex && !firstHalf;
    if (secondHalf && whiteBalance.name.empty()) continue;
    if (!secondHalf && !coin(firstHalf ? 85 : 60)) continue;
    if (secondHalf) {
      d = whiteBalance;
    } else {
      d.onOffCapable = coin(50);
      d.autoCapable = coin(50);
      d.manualCapable = coin(80);
      d.absoluteCapable = coin(firstHalf ? 60 : 40);
      d.minValue = static_cast<std::uint16_t>(rng() % 50);
      d.maxValue = static_cast<std::uint16_t>(d.minValue + 1 + rng() % (4095 - d.minValue));
      d.absMin = -static_cast<float>(rng() % 64) / 4;
      d.absMax = d.absMin + 1 + static_cast<float>(rng() % 64) / 8;
    }
    d.name = f.name;
    if (!secondHalf) {
      d.on = coin(50);
      d.autoMode = coin(30);
      d.absoluteControl = coin(30);
      d.absValue = d.absMin + (d.absMax - d.absMin) * static_cast<float>(rng() % 5) / 4;
    }
    d.value = d.minValue + static_cast<std::uint32_t>(rng() % (d.maxValue - d.minValue + 1u));
    if (firstHalf) whiteBalance = d;
    c.features.push_back(d);
  }
  if (coin(75)) {
    c.triggerInquiry = 0x80000000u | kOnOffInq | (coin(50) ? kPolarityInq : 0u) |
                       (static_cast<std::uint32_t>(1 + rng() % 15) << 20);
    static constexpr std::uint32_t kModeBits[] = {0x8000, 0x4000, 0x2000, 0x1000,
                                                  0x0800, 0x0400, 0x0002, 0x0001};
    for (std::uint32_t bit : kModeBits)
      if (coin(40)) c.triggerInquiry |= bit;
    c.triggerInquiry |= kModeBits[rng() % 8];
  }
  return c;
}

std::vector<Step> shrink(const std::vector<Step>& failing,
                         const std::function<bool(const std::vector<Step>&)>& fails) {
  std::vector<Step> steps = failing;
  for (std::size_t chunk = steps.size() / 2; chunk >= 1; chunk /= 2) {
    for (std::size_t at = 0; at + chunk <= steps.size();) {
      std::vector<Step> fewer = steps;
      fewer.erase(fewer.begin() + static_cast<long>(at),
                  fewer.begin() + static_cast<long>(at + chunk));
      if (fails(fewer))
        steps = fewer;
      else
        at += chunk;
    }
  }
  return steps;
}

}  // namespace model
