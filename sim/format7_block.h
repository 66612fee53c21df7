// One Format 7 mode's register block: the mode's limits, the image it sends
// (position, size, colour coding, bytes per packet) and the packet parameters
// the camera derives from them. A new region, coding or packet size is taken
// at once, and again on VALUE_SETTING's Setting_1, as a camera does: the
// derived registers follow, and the error flags say what does not fit.
#pragma once

#include <cstdint>

#include "control.h"

namespace sim {

class Format7Block {
 public:
  // filterId is COLOR_FILTER_ID (0 RGGB ... 3 BGGR, 0xFF none); maxPacket the
  // largest packet the camera's speed carries.
  Format7Block(const Format7ModeDesc& mode, std::uint32_t maxPacket, std::uint8_t filterId,
               bool iidc131);
  void powerUp();
  // Offsets from the block; 0 for reserved quadlets.
  std::uint32_t read(std::uint32_t offset) const;
  // False for a quadlet that takes no writes.
  bool write(std::uint32_t offset, std::uint32_t value);

  struct Image {
    std::uint32_t left = 0, top = 0, width = 0, height = 0, coding = 0, bytesPerPacket = 0;
  };
  const Image& image() const { return image_; }
  const Format7ModeDesc& mode() const { return mode_; }
  std::uint32_t offsetXUnit() const {
    return mode_.offsetXUnit ? mode_.offsetXUnit : mode_.widthUnit;
  }
  std::uint32_t offsetYUnit() const {
    return mode_.offsetYUnit ? mode_.offsetYUnit : mode_.heightUnit;
  }
  // The image fits the mode (ErrorFlag_1 clear); the packet size fits (ErrorFlag_2 clear).
  bool imageFits() const { return imageFits_; }
  bool packetFits() const { return packetFits_; }
  std::uint64_t totalBytes() const;

 private:
  void settle();

  Format7ModeDesc mode_;
  std::uint32_t maxPacket_;
  std::uint8_t filterId_;
  bool iidc131_;
  Image image_;
  bool imageFits_ = true;
  bool packetFits_ = true;
};

}  // namespace sim
