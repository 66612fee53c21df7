// What a bus description must hold to be a camera the registers can tell:
// checked when a description is installed or parsed.
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "config_rom.h"
#include "control.h"
#include "iidc.h"
#include "pixel_layout.h"

namespace sim {
namespace {

constexpr std::uint32_t kLowestCommandBase = 0xF0001000u;
constexpr std::uint32_t kHighestCommandBase =
    iidc::kInitialSpace + 4 * 0xFFFFFFu - iidc::kCameraSpan;

std::string hex(std::uint64_t n) {
  std::ostringstream out;
  out << "0x" << std::hex << n;
  return out.str();
}

}  // namespace

std::string validateBus(const BusDesc& bus) {
  std::set<std::uint64_t> ids;
  for (std::size_t a = 0; a < bus.adapters.size(); ++a) {
    const std::string adapter = "adapters[" + std::to_string(a) + "]";
    if (bus.adapters[a].size() > CV_MAX_CAMERAS_PER_ADAPTER)
      return adapter + ": more than 62 cameras on one adapter";
    for (std::size_t c = 0; c < bus.adapters[a].size(); ++c) {
      const CameraDesc& camera = bus.adapters[a][c];
      const std::string where = adapter + ".cameras[" + std::to_string(c) + "]";
      if (!ids.insert(camera.id).second) return where + ".id: " + hex(camera.id) + " is used twice";
      if (camera.speed > kCvS3200) return where + ".speed: must be 0 to 5";
      if (camera.commandBase % 4 != 0) return where + ".commandBase: must be a multiple of 4";
      // The registers lie in the initial register space, above the configuration
      // ROM, within reach of the 24-bit offsets that point at them.
      if (camera.commandBase < kLowestCommandBase || camera.commandBase > kHighestCommandBase)
        return where + ".commandBase: must lie from " + hex(kLowestCommandBase) + " to " +
               hex(kHighestCommandBase);
      if (camera.iidcVersion != 130 && camera.iidcVersion != 131)
        return where + ".iidcVersion: must be 1.30 or 1.31";
      if (camera.vendor.size() > ConfigRom::kMaxText || camera.model.size() > ConfigRom::kMaxText)
        return where + ": vendor and model may have at most " +
               std::to_string(ConfigRom::kMaxText) + " characters";
      if (camera.iidcVersion == 130) {
        // What 1.31 brought: 1394b, the Raw codings and the colour filter register.
        if (camera.speed > kCvS400) return where + ".speed: IIDC 1.30 knows no speed above S400";
        if (camera.filterPattern != 0)
          return where + ".filterPattern: IIDC 1.30 has no colour filter register";
        for (const Format7ModeDesc& m : camera.format7)
          for (std::uint32_t coding : m.codings)
            if (coding == 9 || coding == 10)
              return where + ".format7: IIDC 1.30 has no Raw8 or Raw16 coding";
      }
      const FeatureDesc* whiteBalance[2] = {nullptr, nullptr};
      std::set<std::string> names;
      for (const FeatureDesc& f : camera.features) {
        bool known = false;
        for (const iidc::Feature& k : iidc::kFeatures) known = known || k.name == f.name;
        if (!known) return where + ".features: unknown feature \"" + f.name + "\"";
        if (!names.insert(f.name).second)
          return where + ".features: \"" + f.name + "\" given twice";
        if (f.minValue > f.maxValue) return where + ".features." + f.name + ": min above max";
        if (f.maxValue > 4095 || (f.value & 0xFFFF) > 4095)
          return where + ".features." + f.name +
                 ": values have 12 bits in IIDC's registers, so 4095 at most";
        if (f.name == "Color_UB") whiteBalance[0] = &f;
        if (f.name == "Color_VR") whiteBalance[1] = &f;
        if (f.absoluteCapable && !(f.absMin <= f.absMax))
          return where + ".features." + f.name + ": absMin above absMax";
      }
      // White balance is one IIDC register with two values: its two features
      // share presence, capabilities and range.
      const FeatureDesc *ub = whiteBalance[0], *vr = whiteBalance[1];
      if ((ub == nullptr) != (vr == nullptr) ||
          (ub != nullptr &&
           (ub->onOffCapable != vr->onOffCapable || ub->autoCapable != vr->autoCapable ||
            ub->manualCapable != vr->manualCapable || ub->absoluteCapable != vr->absoluteCapable ||
            ub->onePushCapable != vr->onePushCapable || ub->minValue != vr->minValue ||
            ub->maxValue != vr->maxValue || ub->on != vr->on || ub->autoMode != vr->autoMode ||
            ub->absoluteControl != vr->absoluteControl || ub->absMin != vr->absMin ||
            ub->absMax != vr->absMax || ub->absValue != vr->absValue)))
        return where +
               ".features: Color_UB and Color_VR are the two halves of one IIDC register: "
               "give both, alike but for their values, or neither";
      std::set<std::uint32_t> modes;
      for (const FixedModeDesc& m : camera.fixed) {
        if (m.format > 2 || m.mode > 7) return where + ".fixed: format must be 0 to 2, mode 0 to 7";
      }
      for (const Format7ModeDesc& m : camera.format7) {
        if (m.mode > 7) return where + ".format7: mode must be 0 to 7";
        if (!modes.insert(m.mode).second)
          return where + ".format7: mode " + std::to_string(m.mode) + " given twice";
        if (m.maxWidth == 0 || m.maxHeight == 0) return where + ".format7: a mode needs a size";
      }
    }
  }
  return {};
}

namespace {

const char* const kSpeeds[] = {"S100", "S200", "S400", "S800", "S1600", "S3200"};
const char* const kCodings[] = {"Mono8",        "YUV411", "YUV422", "YUV444",
                                "RGB8",         "Mono16", "RGB16",  "Signed Mono16",
                                "Signed RGB16", "Raw8",   "Raw16"};

std::string rateText(double fps) {
  char text[16];
  std::snprintf(text, sizeof text, "%g", fps);
  return text;
}

// Why a packet of this size cannot go on the camera's bus at its speed, or empty.
std::string packetProblem(std::uint32_t bytes, std::uint8_t speed) {
  if (bytes > iidc::maxPacketBytes(speed))
    return std::to_string(bytes) + "-byte packets; " + kSpeeds[speed] + " carries " +
           std::to_string(iidc::maxPacketBytes(speed)) + " at most";
  if (iidc::bandwidthUnits(speed, bytes) > iidc::kUnitsPerCycle)
    return std::to_string(bytes) + "-byte packets, more than a bus cycle at " + kSpeeds[speed];
  return {};
}

std::string cameraRules(const CameraDesc& c, const std::string& where) {
  if (c.fixed.empty() && c.format7.empty() && !c.format7Bit)
    return where + ": offers no video mode (give fixed or format7)";
  if (c.filterPattern > 4)
    return where + ".filterPattern: " + std::to_string(c.filterPattern) +
           " is no filter code (1 RGGB, 2 GBRG, 3 GRBG, 4 BGGR, 0 none)";
  if ((c.triggerInquiry & 0x7FFFFFFFu) != 0 && (c.triggerInquiry & 0x80000000u) == 0)
    return where + ".triggerInquiry: " + hex(c.triggerInquiry) +
           " offers triggers without the presence bit 0x80000000";
  if (c.dualPacket && c.dualPacketCaps == 0)
    return where + ".dualPacketCaps: a camera with dual packet mode has capabilities";
  std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
  for (std::size_t i = 0; i < c.fixed.size(); ++i) {
    const FixedModeDesc& m = c.fixed[i];
    const std::string at = where + ".fixed[" + std::to_string(i) + "]";
    if (!seen.insert({m.format, m.mode}).second)
      return at + ": format " + std::to_string(m.format) + " mode " + std::to_string(m.mode) +
             " given twice";
    const iidc::FixedMode& fixed = iidc::kFixedModes[m.format][m.mode];
    if (fixed.width == 0) return at + ": format 0 mode 7 is reserved; it has no image";
    if (m.rates.empty()) return at + ".rates: a mode needs at least one frame rate";
    for (std::uint32_t r : m.rates) {
      // A fixed format spreads each frame evenly over the cycles of its period.
      const double bytes =
          static_cast<double>(pixel::frameBytes(fixed.coding, fixed.width, fixed.height));
      const auto packet = static_cast<std::uint32_t>(
                              std::ceil(bytes * iidc::kCycleSeconds * iidc::kFrameRates[r]) + 3) &
                          ~3u;
      if (const std::string why = packetProblem(packet, c.speed); !why.empty())
        return at + ".rates: " + std::to_string(fixed.width) + "x" + std::to_string(fixed.height) +
               " " + kCodings[fixed.coding] + " at rate " + std::to_string(r) + " (" +
               rateText(iidc::kFrameRates[r]) + " fps) needs " + why;
    }
  }
  for (std::size_t i = 0; i < c.format7.size(); ++i) {
    const Format7ModeDesc& m = c.format7[i];
    const std::string at = where + ".format7[" + std::to_string(i) + "]";
    if (m.widthUnit == 0 || m.maxWidth % m.widthUnit != 0)
      return at + ".widthUnit: " + std::to_string(m.widthUnit) + " must divide maxWidth " +
             std::to_string(m.maxWidth);
    if (m.heightUnit == 0 || m.maxHeight % m.heightUnit != 0)
      return at + ".heightUnit: " + std::to_string(m.heightUnit) + " must divide maxHeight " +
             std::to_string(m.maxHeight);
    if (m.offsetXUnit > m.maxWidth || m.offsetYUnit > m.maxHeight)
      return at + ": an offset unit is larger than the image";
    if (m.codings.empty()) return at + ".codings: a mode needs at least one colour coding";
    std::set<std::uint32_t> codings;
    bool raw = false;
    for (std::uint32_t k : m.codings) {
      if (k > 10)
        return at + ".codings: " + std::to_string(k) +
               " is no colour coding (0 Mono8 ... 10 Raw16)";
      if (!codings.insert(k).second) return at + ".codings: " + kCodings[k] + " given twice";
      if ((k == 1 && m.widthUnit % 4 != 0) || (k == 2 && m.widthUnit % 2 != 0))
        return at + ".widthUnit: " + kCodings[k] + " packs pixels in groups of " +
               (k == 1 ? "4" : "2") + "; the width must step in whole groups";
      raw = raw || k == 9 || k == 10;
    }
    if (raw && c.filterPattern == 0)
      return where + ".filterPattern: a camera with Raw codings has a colour filter (1 to 4)";
    if (m.packetSize == 0 || m.packetSize % iidc::kF7UnitBytePerPacket != 0)
      return at + ".packetSize: " + std::to_string(m.packetSize) +
             " must be a whole number of quadlets above 0";
    if (const std::string why = packetProblem(m.packetSize, c.speed); !why.empty())
      return at + ".packetSize: " + why;
  }
  for (std::size_t i = 0; i < c.features.size(); ++i) {
    const FeatureDesc& f = c.features[i];
    const std::string at = where + ".features[" + std::to_string(i) + "]";
    const std::uint32_t value = f.value & 0xFFFF;
    if (value < f.minValue || value > f.maxValue)
      return at + ".value: " + std::to_string(value) + " lies outside " +
             std::to_string(f.minValue) + " to " + std::to_string(f.maxValue);
    if (f.absoluteCapable && !(std::isfinite(f.absMin) && std::isfinite(f.absMax) &&
                               f.absValue >= f.absMin && f.absValue <= f.absMax))
      return at + ".absValue: must lie from absMin to absMax, all finite";
  }
  return {};
}

}  // namespace

std::string checkCameraRules(const BusDesc& bus) {
  for (std::size_t a = 0; a < bus.adapters.size(); ++a) {
    for (std::size_t c = 0; c < bus.adapters[a].size(); ++c) {
      const std::string where =
          "adapters[" + std::to_string(a) + "].cameras[" + std::to_string(c) + "]";
      if (std::string why = cameraRules(bus.adapters[a][c], where); !why.empty()) return why;
    }
  }
  return {};
}

}  // namespace sim
