#include "camera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pixel_layout.h"

namespace sim {
namespace {

constexpr std::uint32_t kFeatureKindMask = 0xFFFF0000u;
constexpr std::uint32_t kInquiryKind = 0x00050000u;
constexpr std::uint32_t kAbsoluteKind = 0x00070000u;
constexpr std::uint32_t kControlKind = 0x00080000u;

// Copies a text register: terminated when it fits, cut without a terminator
// when it does not (as the maker's library does with long names).
void copyText(const std::string& text, void* buffer, std::uint32_t size) {
  auto* out = static_cast<char*>(buffer);
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min<std::size_t>(text.size(), size));
}

std::uint32_t maskBit(std::uint32_t index) {
  return 0x80u >> index;
}

}  // namespace

Camera::Camera(const CameraDesc& desc) : quirks(desc.quirks), desc_(desc) {
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
    for (const FeatureDesc& f : desc_.features) {
      if (f.name == iidc::kFeatures[i].name) {
        features_[i].present = true;
        features_[i].desc = f;
        features_[i].power = f;
      }
    }
  }
  powerUp();
}

void Camera::powerUp() {
  for (Feature& f : features_) f.desc = f.power;
  triggerMode_ = desc_.triggerInquiry & iidc::kPresence;
  for (const Format7ModeDesc& m : desc_.format7) {
    if (m.mode >= 8) continue;
    ModeRegion& r = regions_[m.mode];
    r = {m.maxWidth, m.maxHeight, 0, 0, m.codings.empty() ? 0u : m.codings.front()};
  }
  ++generation_;
}

VideoModeInquiry Camera::inquiry() const {
  VideoModeInquiry block{};
  block.formats = desc_.extraFormatBits;
  for (const FixedModeDesc& m : desc_.fixed) {
    if (m.format > 2 || m.mode > 7) continue;
    block.formats |= static_cast<std::uint8_t>(maskBit(m.format));
    block.format[m.format].modes |= static_cast<std::uint8_t>(maskBit(m.mode));
    for (std::uint32_t r : m.rates)
      if (r < 8) block.format[m.format].rates[m.mode] |= static_cast<std::uint8_t>(maskBit(r));
  }
  if (!desc_.format7.empty() || desc_.format7Bit) {
    block.formats |= 0x01;
    for (const Format7ModeDesc& m : desc_.format7)
      if (m.mode < 8) block.format[7].modes |= static_cast<std::uint8_t>(maskBit(m.mode));
  }
  return block;
}

Camera::Feature* Camera::featureOf(std::uint32_t inquiryId) {
  return const_cast<Feature*>(std::as_const(*this).featureOf(inquiryId));
}

const Camera::Feature* Camera::featureOf(std::uint32_t inquiryId) const {
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i)
    if (iidc::inquiryId(iidc::kFeatures[i]) == inquiryId) return &features_[i];
  return nullptr;
}

const Format7ModeDesc* Camera::format7Mode(std::uint32_t mode) const {
  for (const Format7ModeDesc& m : desc_.format7)
    if (m.mode == mode) return &m;
  return nullptr;
}

CvStatus Camera::query(std::uint32_t registerId, void* buffer, std::uint32_t size) {
  if (buffer == nullptr) return kInvalidArgument;
  auto expect = [&](std::uint32_t wanted) { return size == wanted ? kOk : kBufferSize; };
  switch (registerId) {
    case kCvRegFormat7Info: {
      if (size != sizeof(Format7InfoRecord)) return kBufferSize;
      auto* info = static_cast<Format7InfoRecord*>(buffer);
      if (info->tag != CV_FORMAT7_INFO_TAG || info->image == nullptr ||
          info->image->tag != CV_FORMAT7_IMAGE_TAG)
        return kBadRecord;
      const Format7ModeDesc* mode = format7Mode(info->mode);
      if (mode == nullptr) return kNotSupported;
      info->maxWidth = mode->maxWidth;
      info->maxHeight = mode->maxHeight;
      info->widthUnit = mode->widthUnit;
      info->heightUnit = mode->heightUnit;
      info->offsetXUnit = mode->offsetXUnit;
      info->offsetYUnit = mode->offsetYUnit;
      info->colorCodings = 0;
      for (std::uint32_t c : mode->codings)
        if (c < 32) info->colorCodings |= 0x80000000u >> c;
      info->packetSize = mode->packetSize;
      const ModeRegion& r = regions_[info->mode];
      Format7ImageRecord* image = info->image;
      image->width = r.width;
      image->height = r.height;
      image->left = r.left;
      image->top = r.top;
      image->colorCoding = r.coding;
      image->packetSize = mode->packetSize;
      image->filterPattern = desc_.filterPattern;
      return kOk;
    }
    case kCvRegCommandBase:
      if (size != 4) return kBufferSize;
      std::memcpy(buffer, &desc_.commandBase, 4);
      return kOk;
    case kCvRegVendorName:
    case kCvRegModelName:
      if (size == 0) return kBufferSize;
      copyText(registerId == kCvRegVendorName ? desc_.vendor : desc_.model, buffer, size);
      return kOk;
    case kCvRegVideoModeInq: {
      if (size != sizeof(VideoModeInquiry)) return kBufferSize;
      VideoModeInquiry block = inquiry();
      std::memcpy(buffer, &block, sizeof block);
      return kOk;
    }
    case kCvRegSpeed:
      if (size != 1) return kBufferSize;
      std::memcpy(buffer, &desc_.speed, 1);
      return kOk;
    case kCvRegCameraNumber:
      if (size != 4) return kBufferSize;
      std::memcpy(buffer, &desc_.number, 4);
      return kOk;
    default:
      break;
  }
  const std::uint32_t kind = registerId & kFeatureKindMask;
  if (kind == kInquiryKind) {
    const Feature* f = featureOf(registerId);
    if (f == nullptr) return kUnknownRegister;
    if (CvStatus s = expect(sizeof(FeatureInquiryRecord))) return s;
    FeatureInquiryRecord record{};
    record.word0 = (registerId >> 10) & 0x3Fu;
    record.word2 = registerId & 0xFFu;
    if (f->present) {
      record.present = 1;
      record.onOffCapable = f->desc.onOffCapable;
      record.autoCapable = f->desc.autoCapable;
      record.manualCapable = f->desc.manualCapable;
      record.minValue = f->desc.minValue;
      record.maxValue = f->desc.maxValue;
      record.absoluteCapable = f->desc.absoluteCapable;
    }
    std::memcpy(buffer, &record, sizeof record);
    return kOk;
  }
  if (kind == kAbsoluteKind) {
    const Feature* f = featureOf(registerId - kCvFeatureAbsoluteOffset);
    if (f == nullptr) return kUnknownRegister;
    if (!f->present || !f->desc.absoluteCapable) return kNotSupported;
    if (CvStatus s = expect(sizeof(AbsoluteControlRecord))) return s;
    AbsoluteControlRecord record{f->desc.absMin, f->desc.absMax, f->desc.absValue};
    std::memcpy(buffer, &record, sizeof record);
    return kOk;
  }
  if (kind == kControlKind) {
    const Feature* f = featureOf(registerId - kCvFeatureControlOffset);
    if (f == nullptr) return kUnknownRegister;
    if (!f->present) return kNotSupported;
    if (CvStatus s = expect(sizeof(FeatureControlRecord))) return s;
    FeatureControlRecord record{};
    record.word0 = (registerId >> 10) & 0x3Fu;
    record.word1 = registerId & 0xFFu;
    record.onOff = f->desc.on;
    record.autoMode = f->desc.autoMode;
    record.value = f->desc.value;
    record.absoluteControl = f->desc.absoluteControl;
    record.word6 = 1;
    std::memcpy(buffer, &record, sizeof record);
    return kOk;
  }
  return kUnknownRegister;
}

CvStatus Camera::set(std::uint32_t registerId, const void* buffer, std::uint32_t size) {
  if (buffer == nullptr) return kInvalidArgument;
  const std::uint32_t kind = registerId & kFeatureKindMask;
  if (kind == kControlKind) {
    Feature* f = featureOf(registerId - kCvFeatureControlOffset);
    if (f == nullptr) return kUnknownRegister;
    if (!f->present) return kNotSupported;
    if (size != sizeof(FeatureControlRecord)) return kBufferSize;
    FeatureControlRecord record;
    std::memcpy(&record, buffer, sizeof record);
    if (f->desc.onOffCapable) f->desc.on = record.onOff != 0;
    if (f->desc.autoCapable) f->desc.autoMode = record.autoMode != 0;
    if (f->desc.manualCapable) f->desc.value = record.value;
    if (f->desc.absoluteCapable) f->desc.absoluteControl = record.absoluteControl != 0;
    ++generation_;
    return kOk;
  }
  if (kind == kAbsoluteKind) {
    Feature* f = featureOf(registerId - kCvFeatureAbsoluteOffset);
    if (f == nullptr) return kUnknownRegister;
    if (!f->present || !f->desc.absoluteCapable) return kNotSupported;
    if (size != sizeof(float)) return kBufferSize;
    float value;
    std::memcpy(&value, buffer, sizeof value);
    if (!std::isfinite(value)) return kInvalidArgument;
    f->desc.absValue = std::clamp(value, f->desc.absMin, f->desc.absMax);
    ++generation_;
    return kOk;
  }
  if (kind == kInquiryKind || registerId < 0x10000u) return kNotSupported;  // read-only
  return kUnknownRegister;
}

CvStatus Camera::readCsr(std::uint32_t offset, std::uint32_t& value) const {
  if (offset % 4 != 0 || offset >= 0x1000) return kInvalidArgument;
  const VideoModeInquiry block = inquiry();
  value = 0;
  if (offset == iidc::kVideoFormatInq) {
    value = std::uint32_t{block.formats} << 24;
  } else if (offset >= iidc::kVideoModeInq && offset < iidc::kVideoModeInq + 32) {
    value = std::uint32_t{block.format[(offset - iidc::kVideoModeInq) / 4].modes} << 24;
  } else if (offset >= iidc::kFrameRateInq && offset < iidc::kFrameRateInq + 0x100) {
    const std::uint32_t format = (offset - iidc::kFrameRateInq) / 32;
    const std::uint32_t mode = (offset - iidc::kFrameRateInq) % 32 / 4;
    value = std::uint32_t{block.format[format].rates[mode]} << 24;
  } else if (offset == iidc::kFeatureHiInq || offset == iidc::kFeatureHiInq + 4) {
    for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
      const std::uint32_t index = iidc::kFeatures[i].index;
      const bool hi = offset == iidc::kFeatureHiInq;
      if (features_[i].present && (hi ? index < 32 : index >= 32))
        value |= 0x80000000u >> (index % 32);
    }
    if (offset == iidc::kFeatureHiInq && (desc_.triggerInquiry & iidc::kPresence))
      value |= 0x80000000u >> iidc::kTriggerIndex;
  } else if (offset == iidc::kTriggerInq) {
    value = desc_.triggerInquiry;
  } else if (offset == iidc::kTriggerMode) {
    value = triggerMode_;
  } else if (offset >= iidc::kFeatureInq && offset < iidc::kFeatureInq + 0x100) {
    const std::uint32_t index = (offset - iidc::kFeatureInq) / 4;
    for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
      const Feature& f = features_[i];
      if (!f.present || iidc::kFeatures[i].index != index) continue;
      value = iidc::kPresence | (f.desc.absoluteCapable ? iidc::kAbsControl : 0u) |
              (f.desc.onOffCapable ? 1u << 26 : 0u) | (f.desc.autoCapable ? 1u << 25 : 0u) |
              (f.desc.manualCapable ? 1u << 24 : 0u) |
              (std::uint32_t{f.desc.minValue} & 0xFFFu) << 12 | (f.desc.maxValue & 0xFFFu);
      break;
    }
  } else if (offset >= iidc::kFeatureControl && offset < iidc::kFeatureControl + 0x100) {
    const std::uint32_t index = (offset - iidc::kFeatureControl) / 4;
    for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
      const Feature& f = features_[i];
      if (!f.present || iidc::kFeatures[i].index != index) continue;
      value |= iidc::kPresence | (f.desc.absoluteControl ? iidc::kAbsControl : 0u) |
               (f.desc.on ? iidc::kOnOff : 0u) | (f.desc.autoMode ? iidc::kAutoMode : 0u);
      // White balance holds U/B in bits 23-12 and V/R in bits 11-0.
      const bool high = iidc::kFeatures[i].number == 0x03;
      value |= (f.desc.value & 0xFFFu) << (high ? 12 : 0);
    }
  } else if (offset == iidc::kCurVideoFormat && hasStartup) {
    value = startup.formatNumber << 29;
  } else if (offset == iidc::kCurVideoMode && hasStartup) {
    value = startup.mode << 29;
  } else if (offset == iidc::kCurFrameRate && hasStartup) {
    value = static_cast<std::uint32_t>(startup.frameRate) << 29;
  } else if (offset == iidc::kIsoChannelSpeed) {
    value = std::uint32_t{channel == 255 ? 0u : channel} << 28 | std::uint32_t{desc_.speed} << 24;
  } else if (offset == iidc::kIsoEnable) {
    value = running ? 0x80000000u : 0u;
  }
  return kOk;
}

CvStatus Camera::writeCsr(std::uint32_t offset, std::uint32_t value) {
  if (offset % 4 != 0 || offset >= 0x1000) return kInvalidArgument;
  if (offset == iidc::kInitialize) {
    if (value & 0x80000000u) powerUp();
    return kOk;
  }
  if (offset == iidc::kTriggerMode) {
    if (!(desc_.triggerInquiry & iidc::kPresence)) return kNotSupported;
    triggerMode_ = (value & ~iidc::kPresence) | iidc::kPresence;
    return kOk;
  }
  if (offset >= iidc::kFeatureControl && offset < iidc::kFeatureControl + 0x100) {
    const std::uint32_t index = (offset - iidc::kFeatureControl) / 4;
    bool any = false;
    for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
      Feature& f = features_[i];
      if (!f.present || iidc::kFeatures[i].index != index) continue;
      any = true;
      if (f.desc.onOffCapable) f.desc.on = (value & iidc::kOnOff) != 0;
      if (f.desc.autoCapable) f.desc.autoMode = (value & iidc::kAutoMode) != 0;
      if (f.desc.absoluteCapable) f.desc.absoluteControl = (value & iidc::kAbsControl) != 0;
      const bool high = iidc::kFeatures[i].number == 0x03;
      const std::uint32_t v = (value >> (high ? 12 : 0)) & 0xFFFu;
      if (f.desc.manualCapable) f.desc.value = (f.desc.value & 0xFFFF0000u) | v;
    }
    if (!any) return kNotSupported;
    ++generation_;
    return kOk;
  }
  return kNotSupported;
}

CvStatus Camera::setStartup(const CameraStartupRecord& record) {
  if (record.tag != CV_CAMERA_STARTUP_TAG) return kBadRecord;
  startup = record;
  startup.image = nullptr;
  hasStartup = true;
  if (record.formatNumber == 7 && record.image != nullptr) {
    const Format7ModeDesc* mode = format7Mode(record.mode);
    if (mode == nullptr || record.image->tag != CV_FORMAT7_IMAGE_TAG) return kNotSupported;
    const Format7ImageRecord& image = *record.image;
    ModeRegion& r = regions_[record.mode];
    if (image.width != 0 && image.height != 0 && image.left + image.width <= mode->maxWidth &&
        image.top + image.height <= mode->maxHeight) {
      r.width = image.width;
      r.height = image.height;
      r.left = image.left;
      r.top = image.top;
    }
    if (std::find(mode->codings.begin(), mode->codings.end(), image.colorCoding) !=
        mode->codings.end())
      r.coding = image.colorCoding;
  }
  return kOk;
}

CvStatus Camera::streamFormat(const CameraStartupRecord& record, StreamFormat& format) const {
  if (record.tag != CV_CAMERA_STARTUP_TAG) return kBadRecord;
  format = StreamFormat{};
  format.formatNumber = record.formatNumber;
  const VideoModeInquiry block = inquiry();
  if (record.formatNumber <= 2) {
    const std::uint32_t f = record.formatNumber, m = record.mode;
    const auto r = static_cast<std::uint32_t>(record.frameRate);
    if (m > 7 || r > 7 || !(block.formats & maskBit(f)) || !(block.format[f].modes & maskBit(m)) ||
        !(block.format[f].rates[m] & maskBit(r)))
      return kNotSupported;
    const iidc::FixedMode& fixed = iidc::kFixedModes[f][m];
    if (fixed.width == 0) return kNotSupported;
    format.coding = fixed.coding;
    format.width = format.sensorWidth = fixed.width;
    format.height = format.sensorHeight = fixed.height;
    format.bytes = pixel::frameBytes(fixed.coding, fixed.width, fixed.height);
    const double rate = iidc::kFrameRates[r];
    format.period = 1.0 / rate;
    // A fixed format spreads each frame evenly over the cycles of its period.
    format.packetBytes =
        static_cast<std::uint32_t>(
            (std::ceil(static_cast<double>(format.bytes) * iidc::kCycleSeconds * rate) + 3)) &
        ~3u;
  } else if (record.formatNumber == 7) {
    const Format7ModeDesc* mode = format7Mode(record.mode);
    if (mode == nullptr) return kNotSupported;
    const Format7ImageRecord* image = record.image;
    if (image == nullptr || image->tag != CV_FORMAT7_IMAGE_TAG) return kBadRecord;
    const std::uint32_t ox = mode->offsetXUnit ? mode->offsetXUnit : mode->widthUnit;
    const std::uint32_t oy = mode->offsetYUnit ? mode->offsetYUnit : mode->heightUnit;
    if (image->width == 0 || image->height == 0 || image->left + image->width > mode->maxWidth ||
        image->top + image->height > mode->maxHeight ||
        (mode->widthUnit && image->width % mode->widthUnit) ||
        (mode->heightUnit && image->height % mode->heightUnit) || (ox && image->left % ox) ||
        (oy && image->top % oy))
      return kInvalidArgument;
    if (std::find(mode->codings.begin(), mode->codings.end(), image->colorCoding) ==
        mode->codings.end())
      return kNotSupported;
    format.coding = image->colorCoding;
    format.width = image->width;
    format.height = image->height;
    format.left = image->left;
    format.top = image->top;
    format.sensorWidth = mode->maxWidth;
    format.sensorHeight = mode->maxHeight;
    format.filterPattern = desc_.filterPattern;
    format.bytes = pixel::frameBytes(format.coding, format.width, format.height);
    format.packetBytes = image->packetSize != 0 ? image->packetSize : mode->packetSize;
    if (format.packetBytes == 0) return kInvalidArgument;
    const std::size_t packets = (format.bytes + format.packetBytes - 1) / format.packetBytes;
    format.period = static_cast<double>(packets) * iidc::kCycleSeconds;
  } else {
    return kNotSupported;
  }
  if (format.bytes == 0) return kNotSupported;
  // Packed YUV needs whole pixel groups on every line.
  if ((format.coding == pixel::kYuv411 && format.width % 4 != 0) ||
      (format.coding == pixel::kYuv422 && format.width % 2 != 0))
    return kInvalidArgument;
  if (format.packetBytes > iidc::maxPacketBytes(desc_.speed)) return kNoBandwidth;
  format.bandwidthUnits = iidc::bandwidthUnits(desc_.speed, format.packetBytes);
  return kOk;
}

SceneAdjust Camera::sceneAdjust() const {
  SceneAdjust adjust;
  auto position = [](const Feature& f) {
    // Where the feature stands against its power-up setting, -1 .. 1.
    if (f.desc.absoluteControl && f.desc.absoluteCapable) {
      const double range = f.desc.absMax - f.desc.absMin;
      return range > 0 ? (f.desc.absValue - f.power.absValue) / range : 0.0;
    }
    const double range = f.desc.maxValue - f.desc.minValue;
    const double now = f.desc.value & 0xFFFFu, then = f.power.value & 0xFFFFu;
    return range > 0 ? (now - then) / range : 0.0;
  };
  auto active = [](const Feature& f) {
    return f.present && (f.desc.on || !f.desc.onOffCapable) && !f.desc.autoMode;
  };
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
    const Feature& f = features_[i];
    if (!active(f)) continue;
    const std::string_view name = iidc::kFeatures[i].name;
    if (name == "Brightness") adjust.offset += 0.5 * position(f);
    if (name == "Gain") adjust.factor *= std::exp2(2.0 * position(f));
    if (name == "Shutter") adjust.factor *= std::exp2(3.0 * position(f));
  }
  return adjust;
}

bool Camera::feature(const std::string& name, FeatureState& state) const {
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
    if (iidc::kFeatures[i].name != name) continue;
    const Feature& f = features_[i];
    state = FeatureState{};
    state.present = f.present;
    if (f.present) {
      state.on = f.desc.on;
      state.autoMode = f.desc.autoMode;
      state.value = f.desc.value;
      state.absoluteControl = f.desc.absoluteControl;
      state.absValue = f.desc.absValue;
    }
    return true;
  }
  return false;
}

}  // namespace sim
