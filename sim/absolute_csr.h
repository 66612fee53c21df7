// The absolute value blocks of a camera's feature registers: for each that
// offers absolute control, its minimum, maximum and value as IEEE-754 single
// floats, the value writable within the two.
#pragma once

#include <array>
#include <cstdint>

#include "iidc.h"

namespace sim {

class AbsoluteBlocks {
 public:
  struct Block {
    bool present = false;
    float minimum = 0, maximum = 0, value = 0;
  };
  // Index by IIDC feature index; set at power-up.
  Block& operator[](std::uint32_t index) { return blocks_[index]; }
  const Block& operator[](std::uint32_t index) const { return blocks_[index]; }

  // The block and quadlet an offset from the first block names; false when it
  // names none of a present block's three quadlets.
  bool locate(std::uint32_t offset, std::uint32_t& index, std::uint32_t& quadlet) const;
  std::uint32_t read(std::uint32_t index, std::uint32_t quadlet) const;
  // Only the value takes writes; a value that is not a finite number is
  // ignored, one outside the range set to its nearer end.
  bool write(std::uint32_t index, std::uint32_t quadlet, std::uint32_t bits);

 private:
  std::array<Block, iidc::kFeatureSlots> blocks_{};
};

}  // namespace sim
