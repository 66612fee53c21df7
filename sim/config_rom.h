// A camera's configuration ROM (IEEE 1212), as it lies at 0xFFFF F000 0400:
// the bus info block with the camera's identifier and link speed, the root
// directory with its company id, the unit directory with the IIDC unit's
// identifier and version, and the unit dependent directory with the
// command base, the camera's number and the vendor and model leaves.
#pragma once

#include <cstdint>
#include <vector>

#include "control.h"

namespace sim {

class ConfigRom {
 public:
  explicit ConfigRom(const CameraDesc& desc);
  // The quadlet at a byte offset from the ROM's start; 0 past its end.
  std::uint32_t quadlet(std::uint32_t offset) const;

  // The longest vendor or model text a leaf holds here.
  static constexpr std::size_t kMaxText = 200;
  // IEEE 1212's CRC-16 of a run of quadlets.
  static std::uint16_t crc(const std::uint32_t* quadlets, std::size_t count);

 private:
  std::vector<std::uint32_t> quadlets_;
};

}  // namespace sim
