#include "absolute_csr.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

std::uint32_t bitsOf(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

}  // namespace

bool AbsoluteBlocks::locate(std::uint32_t offset, std::uint32_t& index,
                            std::uint32_t& quadlet) const {
  index = offset / iidc::kAbsoluteBlockStride;
  quadlet = offset % iidc::kAbsoluteBlockStride / 4;
  return offset % 4 == 0 && index < blocks_.size() && quadlet < 3 && blocks_[index].present;
}

std::uint32_t AbsoluteBlocks::read(std::uint32_t index, std::uint32_t quadlet) const {
  const Block& b = blocks_[index];
  return bitsOf(quadlet == 0 ? b.minimum : quadlet == 1 ? b.maximum : b.value);
}

bool AbsoluteBlocks::write(std::uint32_t index, std::uint32_t quadlet, std::uint32_t bits) {
  if (quadlet != 2) return false;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  if (!std::isfinite(value)) return true;
  Block& b = blocks_[index];
  b.value = std::clamp(value, b.minimum, b.maximum);
  return true;
}

}  // namespace sim
