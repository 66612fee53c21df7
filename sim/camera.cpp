#include "camera.h"

#include <algorithm>
#include <cmath>

#include "pixel_layout.h"

namespace sim {

Camera::Camera(const CameraDesc& desc) : quirks(desc.quirks), desc_(desc), regs_(desc) {
  identity_ = readIdentity();
  powerUpLibrary();
}

void Camera::powerUpLibrary() {
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
    highHalves_[i] = 0;
    for (const FeatureDesc& f : desc_.features)
      if (f.name == iidc::kFeatures[i].name)
        highHalves_[i] = static_cast<std::uint16_t>(f.value >> 16);
  }
}

CvStatus Camera::writeQuad(std::uint32_t address, std::uint32_t value,
                           RegisterSpace::Effect& effect) {
  const CvStatus status = regs_.write(address, value, effect);
  if (status == kOk && effect == RegisterSpace::Effect::kInitialized) powerUpLibrary();
  return status;
}

CvStatus Camera::applyStartup(const CameraStartupRecord& record) {
  if (record.tag != CV_CAMERA_STARTUP_TAG) return kBadRecord;
  if (!canUseChannel(record.channel)) return kInvalidArgument;
  // The library sends at the camera's own speed, as its speed record gives it;
  // the record's speed field is not consulted.
  const std::uint32_t speed = identity_.speed;
  CvStatus status = kOk;
  auto put = [&](std::uint32_t offset, std::uint32_t value) {
    if (status == kOk) status = setCsr(offset, value);
  };
  put(iidc::kCurVideoFormat, record.formatNumber << 29);
  put(iidc::kCurVideoMode, record.mode << 29);
  put(iidc::kCurFrameRate, static_cast<std::uint32_t>(record.frameRate) << 29);
  put(iidc::kIsoChannelSpeed,
      regs_.is1394b() ? iidc::kIsoOperationMode |
                            std::uint32_t{record.channel} << iidc::kIsoChannelBShift | speed
                      : std::uint32_t{record.channel} << iidc::kIsoLegacyChannelShift |
                            speed << iidc::kIsoLegacySpeedShift);
  if (status != kOk || record.formatNumber != 7 || record.image == nullptr) return status;
  const Format7ImageRecord& image = *record.image;
  if (image.tag != CV_FORMAT7_IMAGE_TAG) return kBadRecord;
  if (regs_.format7(record.mode) == nullptr) return kNotSupported;
  // The mode's block, where its inquiry register says.
  const std::uint32_t block =
      iidc::kInitialSpace + 4 * csr(iidc::kFormat7CsrInq + 4 * record.mode) - identity_.commandBase;
  put(block + iidc::kF7ImagePosition, std::uint32_t{image.left} << 16 | image.top);
  put(block + iidc::kF7ImageSize, std::uint32_t{image.width} << 16 | image.height);
  put(block + iidc::kF7ColorCodingId, image.colorCoding << 24);
  if (image.packetSize != 0)
    put(block + iidc::kF7BytePerPacket, std::uint32_t{image.packetSize} << 16);
  put(block + iidc::kF7ValueSetting, iidc::kF7Setting);
  return status;
}

CvStatus Camera::streamFormat(StreamFormat& format) const {
  format = StreamFormat{};
  if (!regs_.powered()) return kNotSupported;
  const std::uint32_t f = regs_.currentFormat(), m = regs_.currentMode();
  format.formatNumber = f;
  if (!regs_.currentModeOffered()) return kNotSupported;
  const std::uint8_t speed = regs_.isoSpeed();
  if (speed > desc_.speed) return kNotSupported;
  if (f <= 2) {
    const iidc::FixedMode& fixed = iidc::kFixedModes[f][m];
    if (fixed.width == 0) return kNotSupported;
    format.coding = fixed.coding;
    format.width = format.sensorWidth = fixed.width;
    format.height = format.sensorHeight = fixed.height;
    format.bytes = pixel::frameBytes(fixed.coding, fixed.width, fixed.height);
    const double rate = iidc::kFrameRates[regs_.currentRate()];
    format.period = 1.0 / rate;
    // A fixed format spreads each frame evenly over the cycles of its period.
    format.packetBytes =
        static_cast<std::uint32_t>(
            (std::ceil(static_cast<double>(format.bytes) * iidc::kCycleSeconds * rate) + 3)) &
        ~3u;
  } else {
    const Format7Block& block = *regs_.format7(m);
    const Format7Block::Image& image = block.image();
    const Format7ModeDesc& mode = block.mode();
    if (std::find(mode.codings.begin(), mode.codings.end(), image.coding) == mode.codings.end())
      return kNotSupported;
    if (!block.imageFits() || image.bytesPerPacket == 0 ||
        image.bytesPerPacket % iidc::kF7UnitBytePerPacket != 0)
      return kInvalidArgument;
    format.coding = image.coding;
    format.width = image.width;
    format.height = image.height;
    format.left = image.left;
    format.top = image.top;
    format.sensorWidth = mode.maxWidth;
    format.sensorHeight = mode.maxHeight;
    format.filterPattern = desc_.filterPattern;
    format.bytes = pixel::frameBytes(format.coding, format.width, format.height);
    format.packetBytes = image.bytesPerPacket;
    const std::size_t packets = (format.bytes + format.packetBytes - 1) / format.packetBytes;
    format.period = static_cast<double>(packets) * iidc::kCycleSeconds;
  }
  if (format.bytes == 0) return kNotSupported;
  // Packed YUV needs whole pixel groups on every line.
  if ((format.coding == pixel::kYuv411 && format.width % 4 != 0) ||
      (format.coding == pixel::kYuv422 && format.width % 2 != 0))
    return kInvalidArgument;
  if (format.packetBytes > iidc::maxPacketBytes(speed)) return kNoBandwidth;
  format.bandwidthUnits = iidc::bandwidthUnits(speed, format.packetBytes);
  return kOk;
}

SceneAdjust Camera::sceneAdjust() const {
  SceneAdjust adjust;
  // Where a feature stands against its power-up setting, -1 .. 1.
  auto position = [&](std::uint32_t index) {
    const RegisterSpace::Feature& f = regs_.feature(index);
    const RegisterSpace::Feature& then = regs_.powerUpFeature(index);
    if (f.absOn && f.absolute) {
      const AbsoluteBlocks::Block& b = regs_.absolute()[index];
      const double range = b.maximum - b.minimum;
      return range > 0 ? (b.value - regs_.powerUpAbsolute()[index].value) / range : 0.0;
    }
    const double range = static_cast<double>(f.max) - f.min;
    return range > 0 ? (static_cast<double>(f.value) - then.value) / range : 0.0;
  };
  auto active = [&](std::uint32_t index) {
    const RegisterSpace::Feature& f = regs_.feature(index);
    return f.present && (f.on || !f.onOff) && !f.autoOn;
  };
  constexpr std::uint32_t kBrightness = 0, kShutter = 7, kGain = 8;
  if (active(kBrightness)) adjust.offset += 0.5 * position(kBrightness);
  if (active(kGain)) adjust.factor *= std::exp2(2.0 * position(kGain));
  if (active(kShutter)) adjust.factor *= std::exp2(3.0 * position(kShutter));
  return adjust;
}

bool Camera::feature(const std::string& name, FeatureState& state) const {
  for (std::size_t i = 0; i < iidc::kFeatures.size(); ++i) {
    const iidc::Feature& k = iidc::kFeatures[i];
    if (k.name != name) continue;
    const RegisterSpace::Feature& f = regs_.feature(k.index);
    state = FeatureState{};
    state.present = f.present;
    if (f.present) {
      state.on = f.on;
      state.autoMode = f.autoOn;
      const bool high = k.index == iidc::kWhiteBalanceIndex && k.number == 0x03;
      state.value = k.index == iidc::kTemperatureIndex
                        ? f.value << 16 | f.high
                        : std::uint32_t{highHalves_[i]} << 16 | (high ? f.high : f.value);
      state.absoluteControl = f.absOn;
      state.absValue = regs_.absolute()[k.index].value;
    }
    return true;
  }
  return false;
}

}  // namespace sim
