#include "format7_block.h"

#include <algorithm>
#include <cstring>

#include "iidc.h"
#include "pixel_layout.h"

namespace sim {
namespace {

std::uint32_t halves(std::uint32_t high, std::uint32_t low) {
  return (high & 0xFFFFu) << 16 | (low & 0xFFFFu);
}

bool offered(const Format7ModeDesc& mode, std::uint32_t coding) {
  return std::find(mode.codings.begin(), mode.codings.end(), coding) != mode.codings.end();
}

}  // namespace

Format7Block::Format7Block(const Format7ModeDesc& mode, std::uint32_t maxPacket,
                           std::uint8_t filterId, bool iidc131)
    : mode_(mode), maxPacket_(maxPacket), filterId_(filterId), iidc131_(iidc131) {
  powerUp();
}

void Format7Block::powerUp() {
  image_ = {0,
            0,
            mode_.maxWidth,
            mode_.maxHeight,
            mode_.codings.empty() ? 0u : mode_.codings[0],
            mode_.packetSize};
  settle();
}

std::uint64_t Format7Block::totalBytes() const {
  return pixel::frameBytes(image_.coding, image_.width, image_.height);
}

void Format7Block::settle() {
  const std::uint32_t unitX = offsetXUnit(), unitY = offsetYUnit();
  imageFits_ = image_.width != 0 && image_.height != 0 &&
               image_.left + image_.width <= mode_.maxWidth &&
               image_.top + image_.height <= mode_.maxHeight &&
               (mode_.widthUnit == 0 || image_.width % mode_.widthUnit == 0) &&
               (mode_.heightUnit == 0 || image_.height % mode_.heightUnit == 0) &&
               (unitX == 0 || image_.left % unitX == 0) &&
               (unitY == 0 || image_.top % unitY == 0) && offered(mode_, image_.coding);
  packetFits_ = image_.bytesPerPacket != 0 &&
                image_.bytesPerPacket % iidc::kF7UnitBytePerPacket == 0 &&
                image_.bytesPerPacket <= maxPacket_;
}

std::uint32_t Format7Block::read(std::uint32_t offset) const {
  const std::uint64_t total = totalBytes();
  const std::uint32_t perPacket = image_.bytesPerPacket;
  const std::uint64_t packets = perPacket != 0 ? (total + perPacket - 1) / perPacket : 0;
  switch (offset) {
    case iidc::kF7MaxImageSize:
      return halves(mode_.maxWidth, mode_.maxHeight);
    case iidc::kF7UnitSize:
      return halves(mode_.widthUnit, mode_.heightUnit);
    case iidc::kF7UnitPosition:
      return halves(mode_.offsetXUnit, mode_.offsetYUnit);
    case iidc::kF7ImagePosition:
      return halves(image_.left, image_.top);
    case iidc::kF7ImageSize:
      return halves(image_.width, image_.height);
    case iidc::kF7ColorCodingId:
      return image_.coding << 24;
    case iidc::kF7ColorCodingInq: {
      std::uint32_t bits = 0;
      for (std::uint32_t c : mode_.codings)
        if (c < 32) bits |= 0x80000000u >> c;
      return bits;
    }
    case iidc::kF7PixelNumber:
      return image_.width * image_.height;
    case iidc::kF7TotalBytesHi:
      return static_cast<std::uint32_t>(total >> 32);
    case iidc::kF7TotalBytesLo:
      return static_cast<std::uint32_t>(total);
    case iidc::kF7PacketPara:
      return halves(iidc::kF7UnitBytePerPacket, maxPacket_);
    case iidc::kF7BytePerPacket:
      return halves(perPacket, mode_.packetSize);
    case iidc::kF7PacketPerFrame:
      return static_cast<std::uint32_t>(packets);
    case iidc::kF7FrameInterval: {
      const float seconds = static_cast<float>(static_cast<double>(packets) * iidc::kCycleSeconds);
      std::uint32_t bits;
      std::memcpy(&bits, &seconds, sizeof bits);
      return bits;
    }
    case iidc::kF7DataDepth:
      return iidc131_ ? iidc::dataDepth(image_.coding) << 24 : 0;
    case iidc::kF7ColorFilterId:
      return iidc131_ ? std::uint32_t{filterId_} << 24 : 0;
    case iidc::kF7ValueSetting:
      return 0x80000000u | (imageFits_ ? 0 : iidc::kF7ErrorFlag1) |
             (packetFits_ ? 0 : iidc::kF7ErrorFlag2);
    default:
      return 0;
  }
}

bool Format7Block::write(std::uint32_t offset, std::uint32_t value) {
  switch (offset) {
    case iidc::kF7ImagePosition:
      image_.left = value >> 16;
      image_.top = value & 0xFFFFu;
      break;
    case iidc::kF7ImageSize:
      image_.width = value >> 16;
      image_.height = value & 0xFFFFu;
      break;
    case iidc::kF7ColorCodingId:
      image_.coding = value >> 24;
      break;
    case iidc::kF7BytePerPacket:
      image_.bytesPerPacket = value >> 16;
      break;
    case iidc::kF7ValueSetting:
      // Setting_1 asks the camera to take what was written; it is done at once.
      break;
    default:
      return false;
  }
  settle();
  return true;
}

}  // namespace sim
