#include "control/register_cache.h"

#include <cstring>

bool RegisterCache::find(std::uint32_t key, void* out, std::size_t size) const noexcept {
  auto it = blocks_.find(key);
  if (it == blocks_.end() || it->second.size() != size) return false;
  std::memcpy(out, it->second.data(), size);
  return true;
}

bool RegisterCache::store(std::uint32_t key, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  try {
    std::vector<std::uint8_t>& block = blocks_[key];
    block.assign(bytes, bytes + size);
    return true;
  } catch (...) {
    blocks_.erase(key);
    return false;
  }
}
