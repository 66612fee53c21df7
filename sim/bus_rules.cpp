// What a bus description must hold to be a camera the registers can tell:
// checked when a description is installed or parsed.
#include <set>
#include <sstream>

#include "config_rom.h"
#include "control.h"
#include "iidc.h"

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

}  // namespace sim
