#include "register_space.h"

#include "iidc.h"

namespace sim {
namespace {

constexpr std::uint32_t kBit0 = 0x80000000u;

constexpr std::uint32_t maskBit(std::uint32_t index) {
  return 0x80u >> index;
}

bool triggerModeOffered(std::uint32_t inquiry, std::uint32_t mode) {
  if (mode <= 5) return (inquiry & (0x8000u >> mode)) != 0;
  if (mode == 14) return (inquiry & 0x2u) != 0;
  if (mode == 15) return (inquiry & 0x1u) != 0;
  return false;
}

bool triggerSourceOffered(std::uint32_t inquiry, std::uint32_t source, bool iidc131) {
  if (source < 4) return (inquiry & (0x00800000u >> source)) != 0;
  // Source 7 is the software trigger (1.31).
  return iidc131 && source == 7 && (inquiry & iidc::kTriggerSoftwareInq) != 0;
}

}  // namespace

RegisterSpace::RegisterSpace(const CameraDesc& desc)
    : desc_(desc),
      base_(desc.commandBase),
      iidc131_(desc.iidcVersion >= 131),
      b1394_(iidc131_ && desc.speed > kCvS400),
      rom_(desc) {
  formats_ = desc.extraFormatBits;
  for (const FixedModeDesc& m : desc.fixed) {
    if (m.format > 2 || m.mode > 7) continue;
    formats_ |= static_cast<std::uint8_t>(maskBit(m.format));
    modes_[m.format] |= static_cast<std::uint8_t>(maskBit(m.mode));
    for (std::uint32_t r : m.rates)
      if (r < 8) rates_[m.format][m.mode] |= static_cast<std::uint8_t>(maskBit(r));
  }
  if (!desc.format7.empty() || desc.format7Bit) formats_ |= 0x01;
  // The library's filter codes are COLOR_FILTER_ID plus one (1 RGGB ... 4 BGGR);
  // code 0, no filter, is the register's 0xFF.
  const auto filterId = static_cast<std::uint8_t>(desc.filterPattern - 1);
  for (const Format7ModeDesc& m : desc.format7) {
    if (m.mode >= 8) continue;
    modes_[7] |= static_cast<std::uint8_t>(maskBit(m.mode));
    f7_[m.mode] =
        std::make_unique<Format7Block>(m, iidc::maxPacketBytes(desc.speed), filterId, iidc131_);
  }
  // The library's two white balance features are the halves of one register.
  for (const FeatureDesc& d : desc.features) {
    for (const iidc::Feature& k : iidc::kFeatures) {
      if (k.name != d.name) continue;
      Feature& f = power_[k.index];
      f.present = true;
      f.onOff = f.onOff || d.onOffCapable;
      f.autoMode = f.autoMode || d.autoCapable;
      f.manual = f.manual || d.manualCapable;
      f.absolute = f.absolute || d.absoluteCapable;
      f.onePush = f.onePush || d.onePushCapable;
      f.min = d.minValue & iidc::kValueMask;
      f.max = d.maxValue & iidc::kValueMask;
      f.on = d.on;
      f.autoOn = d.autoMode;
      f.absOn = d.absoluteControl;
      const std::uint32_t value = d.value & iidc::kValueMask;
      if (k.index == iidc::kWhiteBalanceIndex && k.number == 0x03) {
        f.high = value;
      } else if (k.index == iidc::kTemperatureIndex) {
        f.high = f.value = value;  // target and current alike
      } else {
        f.value = value;
      }
      if (d.absoluteCapable) {
        AbsoluteBlocks::Block& b = powerAbsolute_[k.index];
        b.present = true;
        b.minimum = d.absMin;
        b.maximum = d.absMax;
        b.value = d.absValue;
      }
    }
  }
  powerUp();
}

void RegisterSpace::powerUp() {
  features_ = power_;
  absolute_ = powerAbsolute_;
  for (auto& block : f7_)
    if (block) block->powerUp();
  // TRIGGER_MODE: off, on the first source and mode the camera offers.
  const std::uint32_t inquiry = desc_.triggerInquiry;
  triggerMode_ = inquiry & kBit0;
  for (std::uint32_t s = 0; s < 4; ++s) {
    if (!triggerSourceOffered(inquiry, s, iidc131_)) continue;
    triggerMode_ |= s << iidc::kTriggerSourceShift;
    break;
  }
  for (std::uint32_t m = 0; m < 16; ++m) {
    if (!triggerModeOffered(inquiry, m)) continue;
    triggerMode_ |= m << iidc::kTriggerModeShift;
    break;
  }
  // The first video mode the camera offers is current.
  format_ = mode_ = rate_ = 0;
  bool found = false;
  for (std::uint32_t f = 0; f < 3 && !found; ++f)
    for (std::uint32_t m = 0; m < 8 && !found; ++m)
      for (std::uint32_t r = 0; r < 8 && !found; ++r)
        if ((rates_[f][m] & maskBit(r)) != 0 && (modes_[f] & maskBit(m)) != 0) {
          format_ = f;
          mode_ = m;
          rate_ = r;
          found = true;
        }
  for (std::uint32_t m = 0; m < 8 && !found; ++m)
    if (f7_[m]) {
      format_ = 7;
      mode_ = m;
      found = true;
    }
  iso_ = b1394_ ? iidc::kIsoOperationMode | desc_.speed
                : std::uint32_t{desc_.speed} << iidc::kIsoLegacySpeedShift;
  power_on_ = true;
  isoEnable_ = false;
  shots_ = 0;
}

std::uint8_t RegisterSpace::isoChannel() const {
  return static_cast<std::uint8_t>((iso_ & iidc::kIsoOperationMode) != 0
                                       ? iso_ >> iidc::kIsoChannelBShift & 0x3F
                                       : iso_ >> iidc::kIsoLegacyChannelShift & 0xF);
}

std::uint8_t RegisterSpace::isoSpeed() const {
  return static_cast<std::uint8_t>((iso_ & iidc::kIsoOperationMode) != 0
                                       ? iso_ & 0x7
                                       : iso_ >> iidc::kIsoLegacySpeedShift & 0x3);
}

bool RegisterSpace::currentModeOffered() const {
  if (format_ > 7 || (formats_ & maskBit(format_)) == 0 || (modes_[format_] & maskBit(mode_)) == 0)
    return false;
  if (format_ == 7) return f7_[mode_] != nullptr;
  return format_ <= 5 && (rates_[format_][mode_] & maskBit(rate_)) != 0;
}

CvStatus RegisterSpace::read(std::uint32_t address, std::uint32_t& value) const {
  value = 0;
  if (address % 4 != 0) return kInvalidArgument;
  if (address >= iidc::kConfigRom && address - iidc::kConfigRom < iidc::kConfigRomBytes) {
    value = rom_.quadlet(address - iidc::kConfigRom);
    return kOk;
  }
  if (address < base_ || address - base_ >= iidc::kCameraSpan) return kInvalidArgument;
  const std::uint32_t offset = address - base_;
  if (offset < 0x1000) {
    value = readCsr(offset);
    return kOk;
  }
  if (offset < iidc::kFormat7Blocks) {
    std::uint32_t index = 0, quadlet = 0;
    if (!absolute_.locate(offset - iidc::kAbsoluteBlocks, index, quadlet)) return kInvalidArgument;
    value = absolute_.read(index, quadlet);
    return kOk;
  }
  const std::uint32_t mode = (offset - iidc::kFormat7Blocks) / iidc::kFormat7BlockStride;
  const std::uint32_t inner = (offset - iidc::kFormat7Blocks) % iidc::kFormat7BlockStride;
  if (mode >= 8 || !f7_[mode] || inner >= iidc::kF7BlockBytes) return kInvalidArgument;
  value = f7_[mode]->read(inner);
  return kOk;
}

std::uint32_t RegisterSpace::inquiryWord(const Feature& f) const {
  if (!f.present) return 0;
  return kBit0 | (f.absolute ? iidc::kAbsControl : 0u) | (f.onePush ? iidc::kOnePushInq : 0u) |
         iidc::kReadOutInq | (f.onOff ? iidc::kOnOffInq : 0u) | (f.autoMode ? iidc::kAutoInq : 0u) |
         (f.manual ? iidc::kManualInq : 0u) | f.min << iidc::kMinShift | f.max;
}

std::uint32_t RegisterSpace::controlWord(const Feature& f) const {
  if (!f.present) return 0;
  return kBit0 | (f.absOn ? iidc::kAbsControl : 0u) | (f.on ? iidc::kOnOff : 0u) |
         (f.autoOn ? iidc::kAutoMode : 0u) | f.high << iidc::kHighValueShift | f.value;
}

std::uint32_t RegisterSpace::readCsr(std::uint32_t offset) const {
  using namespace iidc;
  if (offset == kVideoFormatInq) return std::uint32_t{formats_} << 24;
  if (offset >= kVideoModeInq && offset < kVideoModeInq + 32)
    return std::uint32_t{modes_[(offset - kVideoModeInq) / 4]} << 24;
  if (offset >= kFrameRateInq && offset < kFrameRateInq + 6 * 32) {
    const std::uint32_t f = (offset - kFrameRateInq) / 32, m = (offset - kFrameRateInq) % 32 / 4;
    return std::uint32_t{rates_[f][m]} << 24;
  }
  if (offset >= kFormat7CsrInq && offset < kFormat7CsrInq + 32) {
    const std::uint32_t m = (offset - kFormat7CsrInq) / 4;
    return f7_[m] ? quadletOffset(base_ + kFormat7Blocks + m * kFormat7BlockStride) : 0;
  }
  if (offset >= kAbsoluteCsrInq && offset < kAbsoluteCsrInq + 4 * kFeatureSlots) {
    const std::uint32_t i = (offset - kAbsoluteCsrInq) / 4;
    return features_[i].absolute ? quadletOffset(base_ + kAbsoluteBlocks + i * kAbsoluteBlockStride)
                                 : 0;
  }
  const bool trigger = (desc_.triggerInquiry & kBit0) != 0;
  if (offset == kFeatureHiInq || offset == kFeatureLoInq) {
    const std::uint32_t first = offset == kFeatureHiInq ? 0 : 32;
    std::uint32_t bits = 0;
    for (std::uint32_t i = first; i < first + 32 && i < kFeatureSlots; ++i)
      if (features_[i].present || (i == kTriggerIndex && trigger)) bits |= kBit0 >> (i - first);
    return bits;
  }
  if (offset == kTriggerInq) return desc_.triggerInquiry;
  if (offset == kTriggerMode) return trigger ? triggerMode_ : 0;
  if (offset >= kFeatureInq && offset < kFeatureInq + 4 * kFeatureSlots)
    return inquiryWord(features_[(offset - kFeatureInq) / 4]);
  if (offset >= kFeatureControl && offset < kFeatureControl + 4 * kFeatureSlots)
    return controlWord(features_[(offset - kFeatureControl) / 4]);
  switch (offset) {
    case kBasicFuncInq:
      return (iidc131_ ? kBasicVmodeErrorStatus : 0u) | (b1394_ ? kBasic1394b : 0u) |
             kBasicCameraPower | (desc_.oneShot ? kBasicOneShot : 0u) |
             (desc_.multiShot ? kBasicMultiShot : 0u);
    case kCurFrameRate:
      return rate_ << 29;
    case kCurVideoMode:
      return mode_ << 29;
    case kCurVideoFormat:
      return format_ << 29;
    case kIsoChannelSpeed:
      return iso_;
    case kCameraPower:
      return power_on_ ? kBit0 : 0u;
    case kIsoEnable:
      return isoEnable_ ? kBit0 : 0u;
    case kVmodeErrorStatus:
      return iidc131_ && !currentModeOffered() ? kBit0 : 0u;
    case kDataDepth: {
      if (!iidc131_) return 0;
      if (format_ == 7) return f7_[mode_] ? dataDepth(f7_[mode_]->image().coding) << 24 : 0;
      return format_ <= 2 && mode_ < 8 ? dataDepth(kFixedModes[format_][mode_].coding) << 24 : 0;
    }
    default:
      return 0;
  }
}

CvStatus RegisterSpace::write(std::uint32_t address, std::uint32_t value, Effect& effect) {
  effect = Effect::kNone;
  if (address % 4 != 0) return kInvalidArgument;
  if (address >= iidc::kConfigRom && address - iidc::kConfigRom < iidc::kConfigRomBytes)
    return kNotSupported;
  if (address < base_ || address - base_ >= iidc::kCameraSpan) return kInvalidArgument;
  const std::uint32_t offset = address - base_;
  if (offset < 0x1000) return writeCsr(offset, value, effect);
  if (offset < iidc::kFormat7Blocks) {
    std::uint32_t index = 0, quadlet = 0;
    if (!absolute_.locate(offset - iidc::kAbsoluteBlocks, index, quadlet)) return kInvalidArgument;
    return absolute_.write(index, quadlet, value) ? kOk : kNotSupported;
  }
  const std::uint32_t mode = (offset - iidc::kFormat7Blocks) / iidc::kFormat7BlockStride;
  const std::uint32_t inner = (offset - iidc::kFormat7Blocks) % iidc::kFormat7BlockStride;
  if (mode >= 8 || !f7_[mode] || inner >= iidc::kF7BlockBytes) return kInvalidArgument;
  return f7_[mode]->write(inner, value) ? kOk : kNotSupported;
}

void RegisterSpace::writeControl(Feature& f, std::uint32_t index, std::uint32_t value) {
  if (f.absolute) f.absOn = (value & iidc::kAbsControl) != 0;
  if (f.onOff) f.on = (value & iidc::kOnOff) != 0;
  if (f.autoMode) f.autoOn = (value & iidc::kAutoMode) != 0;
  // One-push is done at once: the bit reads 0 again.
  if (!f.manual) return;
  const std::uint32_t high = value >> iidc::kHighValueShift & iidc::kValueMask;
  if (index == iidc::kTemperatureIndex) {
    f.high = high;  // the target; the current temperature is the camera's
  } else if (index == iidc::kWhiteBalanceIndex) {
    f.high = high;
    f.value = value & iidc::kValueMask;
  } else {
    f.value = value & iidc::kValueMask;
  }
}

void RegisterSpace::writeTrigger(std::uint32_t value) {
  const std::uint32_t inquiry = desc_.triggerInquiry;
  std::uint32_t next = triggerMode_;
  auto take = [&](std::uint32_t mask, bool offered) {
    if (offered) next = (next & ~mask) | (value & mask);
  };
  take(iidc::kAbsControl, (inquiry & iidc::kAbsControl) != 0);
  take(iidc::kOnOff, (inquiry & iidc::kOnOffInq) != 0);
  take(iidc::kTriggerPolarity, (inquiry & iidc::kTriggerPolarityInq) != 0);
  const std::uint32_t source = (value & iidc::kTriggerSourceMask) >> iidc::kTriggerSourceShift;
  take(iidc::kTriggerSourceMask, triggerSourceOffered(inquiry, source, iidc131_));
  const std::uint32_t mode = (value & iidc::kTriggerModeMask) >> iidc::kTriggerModeShift;
  take(iidc::kTriggerModeMask, triggerModeOffered(inquiry, mode));
  take(iidc::kTriggerParameterMask, true);
  triggerMode_ = next;
}

CvStatus RegisterSpace::writeCsr(std::uint32_t offset, std::uint32_t value, Effect& effect) {
  using namespace iidc;
  if (offset >= kFeatureControl && offset < kFeatureControl + 4 * kFeatureSlots) {
    const std::uint32_t index = (offset - kFeatureControl) / 4;
    if (index == kTriggerIndex) {
      if ((desc_.triggerInquiry & kBit0) == 0) return kNotSupported;
      writeTrigger(value);
      return kOk;
    }
    if (!features_[index].present) return kNotSupported;
    writeControl(features_[index], index, value);
    return kOk;
  }
  switch (offset) {
    case kInitialize:
      if ((value & kBit0) != 0) {
        powerUp();
        effect = Effect::kInitialized;
      }
      return kOk;
    case kCurFrameRate:
      rate_ = value >> 29;
      return kOk;
    case kCurVideoMode:
      mode_ = value >> 29;
      return kOk;
    case kCurVideoFormat:
      format_ = value >> 29;
      return kOk;
    case kIsoChannelSpeed:
      // A camera without 1394b knows the legacy layout only.
      if (b1394_ && (value & kIsoOperationMode) != 0)
        iso_ = value & (kIsoOperationMode | 0x3Fu << kIsoChannelBShift | 0x7u);
      else
        iso_ = value & (0xFu << kIsoLegacyChannelShift | 0x3u << kIsoLegacySpeedShift);
      return kOk;
    case kCameraPower:
      power_on_ = (value & kBit0) != 0;
      if (!power_on_ && isoEnable_) effect = Effect::kIsoOff;
      return kOk;
    case kIsoEnable:
      effect = (value & kBit0) != 0 ? Effect::kIsoOn : Effect::kIsoOff;
      return kOk;
    case kShot:
      if ((value & kOneShot) != 0 && desc_.oneShot) {
        shots_ = 1;
      } else if ((value & kMultiShot) != 0 && desc_.multiShot) {
        shots_ = value & 0xFFFFu;
      } else {
        return desc_.oneShot || desc_.multiShot ? kOk : kNotSupported;
      }
      effect = Effect::kShots;
      return kOk;
    case kSoftwareTrigger:
      if (!iidc131_ || (desc_.triggerInquiry & kTriggerSoftwareInq) == 0) return kNotSupported;
      if ((value & kBit0) != 0) effect = Effect::kSoftwareTrigger;
      return kOk;
    default:
      return kNotSupported;
  }
}

}  // namespace sim
