// Facts of the IIDC 1394-based digital camera standard and of IEEE 1394 that
// the virtual camera follows. Register offsets are from the command base.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace iidc {

// Control and status registers.
constexpr std::uint32_t kInitialize = 0x000;
constexpr std::uint32_t kVideoFormatInq = 0x100;
constexpr std::uint32_t kVideoModeInq = 0x180;  // + 4 * format
constexpr std::uint32_t kFrameRateInq = 0x200;  // + 32 * format + 4 * mode
constexpr std::uint32_t kBasicFuncInq = 0x400;
constexpr std::uint32_t kFeatureHiInq = 0x404;
constexpr std::uint32_t kFeatureInq = 0x500;  // + 4 * feature index
constexpr std::uint32_t kTriggerInq = 0x530;
constexpr std::uint32_t kCurFrameRate = 0x600;
constexpr std::uint32_t kCurVideoMode = 0x604;
constexpr std::uint32_t kCurVideoFormat = 0x608;
constexpr std::uint32_t kIsoChannelSpeed = 0x60C;
constexpr std::uint32_t kIsoEnable = 0x614;
constexpr std::uint32_t kFeatureControl = 0x800;  // + 4 * feature index
constexpr std::uint32_t kTriggerMode = 0x830;

// Bits of a feature control register and of TRIGGER_MODE.
constexpr std::uint32_t kPresence = 0x80000000u;
constexpr std::uint32_t kAbsControl = 0x40000000u;
constexpr std::uint32_t kOnOff = 0x02000000u;
constexpr std::uint32_t kAutoMode = 0x01000000u;
constexpr std::uint32_t kTriggerPolarity = 0x01000000u;
constexpr std::uint32_t kTriggerSourceShift = 21;
constexpr std::uint32_t kTriggerSourceMask = 0x7u << kTriggerSourceShift;
constexpr std::uint32_t kTriggerModeShift = 16;
constexpr std::uint32_t kTriggerModeMask = 0xFu << kTriggerModeShift;
constexpr std::uint32_t kTriggerIndex = 12;  // TRIGGER_MODE is feature control register 12

// The camera library's features: register index (bits 10-15 of the library
// register ids) and running number (low byte); white balance is one IIDC
// register seen as two features.
struct Feature {
  std::string_view name;
  std::uint32_t index;
  std::uint32_t number;
};
constexpr std::array<Feature, 17> kFeatures = {{{"Brightness", 0, 0x00},
                                                {"Auto_Exposure", 1, 0x01},
                                                {"Sharpness", 2, 0x02},
                                                {"Color_UB", 3, 0x03},
                                                {"Color_VR", 3, 0x83},
                                                {"Hue", 4, 0x04},
                                                {"Saturation", 5, 0x05},
                                                {"Gamma", 6, 0x06},
                                                {"Shutter", 7, 0x07},
                                                {"Gain", 8, 0x08},
                                                {"Iris", 9, 0x09},
                                                {"Focus", 10, 0x0A},
                                                {"Temperature", 11, 0x0B},
                                                {"Zoom", 32, 0x0C},
                                                {"Pan", 33, 0x0D},
                                                {"Tilt", 34, 0x0E},
                                                {"Optical_Filter", 35, 0x0F}}};

constexpr std::uint32_t inquiryId(const Feature& f) {
  return 0x00050000u | (f.index << 10) | f.number;
}

// Fixed formats 0 to 2: size and colour coding of every mode. Mode 7 of
// format 0 is reserved and has no image.
struct FixedMode {
  std::uint32_t width, height, coding;
};
constexpr FixedMode kFixedModes[3][8] = {{{160, 120, 3},
                                          {320, 240, 2},
                                          {640, 480, 1},
                                          {640, 480, 2},
                                          {640, 480, 4},
                                          {640, 480, 0},
                                          {640, 480, 5},
                                          {0, 0, 0}},
                                         {{800, 600, 2},
                                          {800, 600, 4},
                                          {800, 600, 0},
                                          {1024, 768, 2},
                                          {1024, 768, 4},
                                          {1024, 768, 0},
                                          {800, 600, 5},
                                          {1024, 768, 5}},
                                         {{1280, 960, 2},
                                          {1280, 960, 4},
                                          {1280, 960, 0},
                                          {1600, 1200, 2},
                                          {1600, 1200, 4},
                                          {1600, 1200, 0},
                                          {1280, 960, 5},
                                          {1600, 1200, 5}}};

// Frame rates of the frame-rate indices, frames per second.
constexpr double kFrameRates[8] = {1.875, 3.75, 7.5, 15, 30, 60, 120, 240};

// IEEE 1394: one isochronous cycle is 125 us; a bus grants 4915 allocation
// units per cycle, one unit the time of one byte at S400.
constexpr double kCycleSeconds = 125e-6;
constexpr std::uint32_t kUnitsPerCycle = 4915;
constexpr std::uint32_t kChannels = 64;

// Allocation units of a packet of the given size at a speed code (0 = S100).
constexpr std::uint32_t bandwidthUnits(std::uint32_t speed, std::uint32_t packetBytes) {
  // S100 takes four times as long as S400 for a byte; S800 half.
  return speed <= 2 ? packetBytes << (2 - speed)
                    : (packetBytes + (1u << (speed - 2)) - 1) >> (speed - 2);
}

// Largest isochronous payload of one packet at a speed code.
constexpr std::uint32_t maxPacketBytes(std::uint32_t speed) {
  return 1024u << speed;
}

}  // namespace iidc
