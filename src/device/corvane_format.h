// One video format of a camera: a fixed IIDC format (0 to 2) or one colour
// coding of a scalable Format 7 mode.
#pragma once

#include <cstdint>

#include "platform/bl1394.h"
#include "platform/imaqkit.h"

class CorvaneFormat : public imaqkit::Implements<IMAQInterface> {
 public:
  static constexpr std::size_t kNameSize = 255;

  // Fixed format f, mode m, frame-rate index r; size and colour coding come
  // from the library's table of the format.
  CorvaneFormat(std::uint32_t format, std::uint32_t mode, std::uint32_t frameRate);
  // Format 7: info as register 17 filled it, its image pointing to the filled
  // image record. The format keeps its own copies of both records.
  CorvaneFormat(const Format7InfoRecord& info, std::uint32_t colorCoding);
  ~CorvaneFormat() override;
  CorvaneFormat(const CorvaneFormat&) = delete;
  CorvaneFormat& operator=(const CorvaneFormat&) = delete;

  // Whether a Format 7 region fits the mode's size and steps: offsets of 0 or
  // more, a width and a height of at least 1. A mode whose units are 0 accepts
  // no region.
  bool isValidRoi(std::int32_t offsetX, std::int32_t offsetY, std::int32_t width,
                  std::int32_t height) const;

  std::uint32_t formatNumber = 0;
  std::uint32_t mode = 0;
  std::int32_t frameRate = -1;
  char name[kNameSize] = {};
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t colorCoding = 0;
  std::uint8_t filterPattern = 0;
  // Format 7 only: the format's own info record, whose image is the format's
  // own image record holding the current region of interest.
  Format7InfoRecord* format7Info = nullptr;
};
