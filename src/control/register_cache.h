// Last known contents of camera registers, by register key: control records
// (28 bytes), absolute records (12 bytes) and the trigger word (4 bytes) share
// one map. Entries are only added or replaced, never dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class RegisterCache {
 public:
  // Copies the cached block of key into out when there is one of exactly size bytes.
  bool find(std::uint32_t key, void* out, std::size_t size) const noexcept;
  // Stores a fresh copy of size bytes under key, replacing any earlier block.
  // Without storage for it, false: then nothing is cached under key, so the
  // next read goes to the camera rather than to an older copy.
  bool store(std::uint32_t key, const void* data, std::size_t size) noexcept;
  std::size_t size() const { return blocks_.size(); }

 private:
  std::map<std::uint32_t, std::vector<std::uint8_t>> blocks_;
};
