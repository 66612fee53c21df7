// The register model test's sequences: IIDC's register map as the model reads
// it, the steps a host takes, the cameras they run on, and the shrinking of a
// failing sequence.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "control.h"

namespace model {

// ---- IIDC's register map, offsets from the command base ----------------------------
constexpr std::uint32_t kFeatureInq = 0x500, kAbsCsrInq = 0x700, kControl = 0x800;
constexpr std::uint32_t kTriggerInq = 0x530, kTriggerMode = 0x830;
constexpr std::uint32_t kInitialSpace = 0xF0000000u, kCommandBase = 0xF0F00000u;
constexpr std::uint32_t kWhiteBalanceIndex = 3;
// Feature inquiry and control bits (bit 0 the most significant).
constexpr std::uint32_t kAbsInq = 1u << 30, kOnOffInq = 1u << 26, kAutoInq = 1u << 25,
                        kManualInq = 1u << 24;
constexpr std::uint32_t kAbs = 1u << 30, kOnOff = 1u << 25, kAuto = 1u << 24;
constexpr int kLowValue = 0, kHighValue = 12;  // Value (bits 20-31); U/B, target (bits 8-19)
// TRIGGER_INQ and TRIGGER_MODE.
constexpr std::uint32_t kPolarityInq = 1u << 25, kPolarity = 1u << 24;
constexpr std::uint32_t kSourceShift = 21, kModeShift = 16, kParameter = 0xFFF;

// The camera library's seventeen features: IIDC register index and where the
// feature's value lies in its control register.
struct LibraryFeature {
  const char* name;
  std::uint32_t index;
  int valueShift;
};
constexpr LibraryFeature kFeatures[] = {
    {"Brightness", 0, kLowValue},    {"Auto_Exposure", 1, kLowValue},  {"Sharpness", 2, kLowValue},
    {"Color_UB", 3, kHighValue},     {"Color_VR", 3, kLowValue},       {"Hue", 4, kLowValue},
    {"Saturation", 5, kLowValue},    {"Gamma", 6, kLowValue},          {"Shutter", 7, kLowValue},
    {"Gain", 8, kLowValue},          {"Iris", 9, kLowValue},           {"Focus", 10, kLowValue},
    {"Temperature", 11, kHighValue}, {"Zoom", 32, kLowValue},          {"Pan", 33, kLowValue},
    {"Tilt", 34, kLowValue},         {"Optical_Filter", 35, kLowValue}};

// The library's register calls, in the order a step's fault names them.
constexpr const char* kCalls[] = {"CvQueryCameraRegister", "CvSetCameraRegister", "CvReadQuad",
                                  "CvWriteQuad"};
enum Call { kQuery, kSet, kReadQuad, kWriteQuad };
constexpr int kEveryCall = 4;

// ---- Steps -------------------------------------------------------------------------
enum class Op { kDestroy, kOpen, kClose, kStart, kStop, kRead, kWrite, kTrigger, kPoke };
// What a property step or a camera's change is drawn from.
enum class Aim { kAny, kWhiteBalance, kTrigger };
struct Step {
  Op op;
  int input;  // 0 or 1
  std::uint32_t pick, choice;
  double u;
  Aim aim;
  int fault;  // -1: none; a Call: the step's first call of it fails; kEveryCall: all of them
};

std::vector<Step> generateSteps(std::mt19937_64& rng);
// A camera with features, ranges and a trigger drawn at random.
sim::CameraDesc generateCamera(std::mt19937_64& rng);
// Drops steps while the sequence still fails, halves first, then one at a time.
std::vector<Step> shrink(const std::vector<Step>& failing,
                         const std::function<bool(const std::vector<Step>&)>& fails);

}  // namespace model
