// The camera library's records, as the maker's library makes them: read from
// the camera's registers over the bus (identity from the configuration ROM,
// inquiry, feature, absolute and Format 7 records from the IIDC registers) and
// written back to them.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "camera.h"

namespace sim {
namespace {

constexpr std::uint32_t kFeatureKindMask = 0xFFFF0000u;
constexpr std::uint32_t kInquiryKind = 0x00050000u;
constexpr std::uint32_t kAbsoluteKind = 0x00070000u;
constexpr std::uint32_t kControlKind = 0x00080000u;

std::uint32_t maskBit(std::uint32_t index) {
  return 0x80u >> index;
}

// The library feature a register id names (its inquiry id), or -1.
int featureOf(std::uint32_t inquiryId) {
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i)
    if (iidc::inquiryId(iidc::kFeatures[i]) == inquiryId) return static_cast<int>(i);
  return -1;
}

// Copies a text record: terminated when it fits, cut without a terminator
// when it does not (as the maker's library does with long names).
void copyText(const std::string& text, void* buffer, std::uint32_t size) {
  auto* out = static_cast<char*>(buffer);
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min<std::size_t>(text.size(), size));
}

}  // namespace

// ---- The configuration ROM, walked as IEEE 1212 lays it out -----------------------------

Camera::Identity Camera::readIdentity() const {
  auto rom = [&](std::uint32_t address) {
    std::uint32_t q = 0;
    regs_.read(address, q);
    return q;
  };
  // The entry of a directory with this key: its value, or where it points for
  // a leaf or directory key (the key's top two bits 10 or 11).
  auto find = [&](std::uint32_t directory, std::uint32_t key, std::uint32_t& value) {
    const std::uint32_t length = rom(directory) >> 16;
    for (std::uint32_t i = 1; i <= length; ++i) {
      const std::uint32_t at = directory + 4 * i, q = rom(at);
      if (q >> 24 != key) continue;
      value = (key & 0x80) != 0 ? at + 4 * (q & 0xFFFFFF) : q & 0xFFFFFF;
      return true;
    }
    return false;
  };
  auto text = [&](std::uint32_t leaf) {
    std::string s;
    const std::uint32_t length = rom(leaf) >> 16;
    for (std::uint32_t i = 3; i <= length; ++i)
      for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>(rom(leaf + 4 * i) >> shift & 0xFF);
        if (c != '\0') s.push_back(c);
      }
    return s;
  };
  Identity id;
  const std::uint32_t busInfo = iidc::kConfigRom;
  id.speed = static_cast<std::uint8_t>(rom(busInfo + 8) & 0x7);
  const std::uint32_t root = busInfo + 4 * (1 + (rom(busInfo) >> 24));
  std::uint32_t unit = 0, dependent = 0, value = 0;
  if (!find(root, iidc::kKeyUnitDirectory, unit) ||
      !find(unit, iidc::kKeyUnitDependentDirectory, dependent))
    return id;
  id.iidc131 =
      find(dependent, iidc::kKeyUnitSubSwVersion, value) && value >= iidc::kIidc131SubVersion;
  if (find(dependent, iidc::kKeyCommandRegsBase, value))
    id.commandBase = iidc::kInitialSpace + 4 * value;
  std::uint32_t low = 0, high = 0;
  find(dependent, iidc::kKeyVendorUniqueInfo0, low);
  find(dependent, iidc::kKeyVendorUniqueInfo1, high);
  id.number = high << 24 | low;
  if (find(dependent, iidc::kKeyVendorNameLeaf, value)) id.vendor = text(value);
  if (find(dependent, iidc::kKeyModelNameLeaf, value)) id.model = text(value);
  return id;
}

std::uint32_t Camera::csr(std::uint32_t offset) const {
  std::uint32_t q = 0;
  regs_.read(identity_.commandBase + offset, q);
  return q;
}

CvStatus Camera::setCsr(std::uint32_t offset, std::uint32_t value) {
  RegisterSpace::Effect effect;
  return regs_.write(identity_.commandBase + offset, value, effect);
}

// ---- Records ---------------------------------------------------------------------------

CvStatus Camera::format7Record(void* buffer, std::uint32_t size) const {
  if (size != sizeof(Format7InfoRecord)) return kBufferSize;
  auto* info = static_cast<Format7InfoRecord*>(buffer);
  if (info->tag != CV_FORMAT7_INFO_TAG || info->image == nullptr ||
      info->image->tag != CV_FORMAT7_IMAGE_TAG)
    return kBadRecord;
  const std::uint32_t mode = info->mode;
  if (mode > 7 || (csr(iidc::kVideoModeInq + 4 * 7) >> 24 & maskBit(mode)) == 0)
    return kNotSupported;
  const std::uint32_t offset = csr(iidc::kFormat7CsrInq + 4 * mode);
  if (offset == 0) return kNotSupported;
  const std::uint32_t block = iidc::kInitialSpace + 4 * offset;
  auto f7 = [&](std::uint32_t at) {
    std::uint32_t q = 0;
    regs_.read(block + at, q);
    return q;
  };
  const std::uint32_t maxSize = f7(iidc::kF7MaxImageSize), unit = f7(iidc::kF7UnitSize);
  const std::uint32_t unitPosition = f7(iidc::kF7UnitPosition);
  const std::uint32_t perPacket = f7(iidc::kF7BytePerPacket) >> 16;
  info->maxWidth = static_cast<std::uint16_t>(maxSize >> 16);
  info->maxHeight = static_cast<std::uint16_t>(maxSize);
  info->widthUnit = static_cast<std::uint16_t>(unit >> 16);
  info->heightUnit = static_cast<std::uint16_t>(unit);
  info->offsetXUnit = static_cast<std::uint16_t>(unitPosition >> 16);
  info->offsetYUnit = static_cast<std::uint16_t>(unitPosition);
  info->colorCodings = f7(iidc::kF7ColorCodingInq);
  info->packetSize = static_cast<std::uint16_t>(perPacket);
  Format7ImageRecord& image = *info->image;
  const std::uint32_t position = f7(iidc::kF7ImagePosition), imageSize = f7(iidc::kF7ImageSize);
  image.width = static_cast<std::uint16_t>(imageSize >> 16);
  image.height = static_cast<std::uint16_t>(imageSize);
  image.left = static_cast<std::uint16_t>(position >> 16);
  image.top = static_cast<std::uint16_t>(position);
  image.colorCoding = f7(iidc::kF7ColorCodingId) >> 24;
  image.packetSize = static_cast<std::uint16_t>(perPacket);
  // The library's filter codes: COLOR_FILTER_ID plus one (1 RGGB ... 4 BGGR), 0 none.
  image.filterPattern =
      identity_.iidc131 ? static_cast<std::uint8_t>((f7(iidc::kF7ColorFilterId) >> 24) + 1) : 0;
  return kOk;
}

CvStatus Camera::query(std::uint32_t registerId, void* buffer, std::uint32_t size) {
  if (buffer == nullptr) return kInvalidArgument;
  auto expect = [&](std::uint32_t wanted) { return size == wanted ? kOk : kBufferSize; };
  switch (registerId) {
    case kCvRegFormat7Info:
      return format7Record(buffer, size);
    case kCvRegCommandBase:
      if (CvStatus s = expect(4)) return s;
      std::memcpy(buffer, &identity_.commandBase, 4);
      return kOk;
    case kCvRegVendorName:
    case kCvRegModelName:
      if (size == 0) return kBufferSize;
      copyText(registerId == kCvRegVendorName ? identity_.vendor : identity_.model, buffer, size);
      return kOk;
    case kCvRegVideoModeInq: {
      if (CvStatus s = expect(sizeof(VideoModeInquiry))) return s;
      VideoModeInquiry block{};
      block.formats = static_cast<std::uint8_t>(csr(iidc::kVideoFormatInq) >> 24);
      for (std::uint32_t f = 0; f < 8; ++f) {
        block.format[f].modes = static_cast<std::uint8_t>(csr(iidc::kVideoModeInq + 4 * f) >> 24);
        for (std::uint32_t m = 0; f < 6 && m < 8; ++m)
          block.format[f].rates[m] =
              static_cast<std::uint8_t>(csr(iidc::kFrameRateInq + 32 * f + 4 * m) >> 24);
      }
      std::memcpy(buffer, &block, sizeof block);
      return kOk;
    }
    case kCvRegSpeed:
      if (CvStatus s = expect(1)) return s;
      std::memcpy(buffer, &identity_.speed, 1);
      return kOk;
    case kCvRegCameraNumber:
      if (CvStatus s = expect(4)) return s;
      std::memcpy(buffer, &identity_.number, 4);
      return kOk;
    default:
      break;
  }
  const std::uint32_t kind = registerId & kFeatureKindMask;
  const std::uint32_t inquiryId = kind == kAbsoluteKind  ? registerId - kCvFeatureAbsoluteOffset
                                  : kind == kControlKind ? registerId - kCvFeatureControlOffset
                                                         : registerId;
  const int feature = kind == kInquiryKind || kind == kAbsoluteKind || kind == kControlKind
                          ? featureOf(inquiryId)
                          : -1;
  if (feature < 0) return kUnknownRegister;
  const iidc::Feature& k = iidc::kFeatures[static_cast<std::size_t>(feature)];
  const std::uint32_t inquiry = csr(iidc::kFeatureInq + 4 * k.index);
  const bool present = (inquiry & iidc::kPresence) != 0;
  if (kind == kInquiryKind) {
    if (CvStatus s = expect(sizeof(FeatureInquiryRecord))) return s;
    FeatureInquiryRecord record{};
    record.word0 = k.index;
    record.word2 = k.number;
    if (present) {
      record.present = 1;
      record.onOffCapable = (inquiry & iidc::kOnOffInq) != 0;
      record.autoCapable = (inquiry & iidc::kAutoInq) != 0;
      record.manualCapable = (inquiry & iidc::kManualInq) != 0;
      record.minValue = static_cast<std::uint16_t>(inquiry >> iidc::kMinShift & iidc::kValueMask);
      record.maxValue = static_cast<std::uint16_t>(inquiry & iidc::kValueMask);
      record.absoluteCapable = (inquiry & iidc::kAbsControl) != 0;
    }
    std::memcpy(buffer, &record, sizeof record);
    return kOk;
  }
  if (kind == kAbsoluteKind) {
    if (!present || (inquiry & iidc::kAbsControl) == 0) return kNotSupported;
    if (CvStatus s = expect(sizeof(AbsoluteControlRecord))) return s;
    const std::uint32_t block = iidc::kInitialSpace + 4 * csr(iidc::kAbsoluteCsrInq + 4 * k.index);
    float values[3];
    for (std::uint32_t i = 0; i < 3; ++i) {
      std::uint32_t bits = 0;
      regs_.read(block + 4 * i, bits);
      std::memcpy(&values[i], &bits, sizeof bits);
    }
    const AbsoluteControlRecord record{values[0], values[1], values[2]};
    std::memcpy(buffer, &record, sizeof record);
    return kOk;
  }
  if (!present) return kNotSupported;
  if (CvStatus s = expect(sizeof(FeatureControlRecord))) return s;
  const std::uint32_t control = csr(iidc::kFeatureControl + 4 * k.index);
  FeatureControlRecord record{};
  record.word0 = k.index;
  record.word1 = k.number;
  record.onOff = (control & iidc::kOnOff) != 0;
  record.autoMode = (control & iidc::kAutoMode) != 0;
  record.absoluteControl = (control & iidc::kAbsControl) != 0;
  const std::uint32_t low = control & iidc::kValueMask;
  const std::uint32_t high = control >> iidc::kHighValueShift & iidc::kValueMask;
  if (k.index == iidc::kTemperatureIndex) {
    record.value = low << 16 | high;  // the current temperature above the target
  } else {
    const std::uint32_t value =
        k.index == iidc::kWhiteBalanceIndex && k.number == 0x03 ? high : low;
    record.value = std::uint32_t{highHalves_[static_cast<std::size_t>(feature)]} << 16 | value;
  }
  record.word6 = 1;
  std::memcpy(buffer, &record, sizeof record);
  return kOk;
}

CvStatus Camera::set(std::uint32_t registerId, const void* buffer, std::uint32_t size) {
  if (buffer == nullptr) return kInvalidArgument;
  const std::uint32_t kind = registerId & kFeatureKindMask;
  if (kind != kControlKind && kind != kAbsoluteKind)
    return kind == kInquiryKind || registerId < 0x10000u ? kNotSupported : kUnknownRegister;
  const int feature = featureOf(
      registerId - (kind == kControlKind ? kCvFeatureControlOffset : kCvFeatureAbsoluteOffset));
  if (feature < 0) return kUnknownRegister;
  const iidc::Feature& k = iidc::kFeatures[static_cast<std::size_t>(feature)];
  const std::uint32_t inquiry = csr(iidc::kFeatureInq + 4 * k.index);
  if ((inquiry & iidc::kPresence) == 0) return kNotSupported;
  if (kind == kAbsoluteKind) {
    if ((inquiry & iidc::kAbsControl) == 0) return kNotSupported;
    if (size != sizeof(float)) return kBufferSize;
    float value;
    std::memcpy(&value, buffer, sizeof value);
    if (!std::isfinite(value)) return kInvalidArgument;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    RegisterSpace::Effect effect;
    return regs_.write(iidc::kInitialSpace + 4 * csr(iidc::kAbsoluteCsrInq + 4 * k.index) + 8, bits,
                       effect);
  }
  if (size != sizeof(FeatureControlRecord)) return kBufferSize;
  FeatureControlRecord record;
  std::memcpy(&record, buffer, sizeof record);
  // Read, change what the record says, write back: white balance's other half
  // and the current temperature stay as the register holds them.
  std::uint32_t control = csr(iidc::kFeatureControl + 4 * k.index);
  auto put = [&](std::uint32_t bit, bool on) { control = on ? control | bit : control & ~bit; };
  put(iidc::kOnOff, record.onOff != 0);
  put(iidc::kAutoMode, record.autoMode != 0);
  put(iidc::kAbsControl, record.absoluteControl != 0);
  const std::uint32_t value = record.value & iidc::kValueMask;
  const bool inHigh = k.index == iidc::kTemperatureIndex ||
                      (k.index == iidc::kWhiteBalanceIndex && k.number == 0x03);
  const std::uint32_t shift = inHigh ? iidc::kHighValueShift : 0;
  control = (control & ~(iidc::kValueMask << shift)) | value << shift;
  if (k.index != iidc::kTemperatureIndex)
    highHalves_[static_cast<std::size_t>(feature)] = static_cast<std::uint16_t>(record.value >> 16);
  return setCsr(iidc::kFeatureControl + 4 * k.index, control);
}

}  // namespace sim
