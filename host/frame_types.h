// The host's frame types: what each code means for the bytes of a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

enum class PixelKind {
  kMono8,
  kMono16,
  kSignedMono16,
  kYuv411,
  kYuv422,
  kYuv444,
  kRgb8,
  kRgb16,
  kSignedRgb16,
  kBayer8,
  kBayer16,
  kUnknown
};

PixelKind pixelKind(std::uint32_t frameType);
// Bytes of a width x height image of the frame type; 0 for an unknown type.
std::size_t imageBytes(std::uint32_t frameType, std::size_t width, std::size_t height);
std::string frameTypeName(std::uint32_t frameType);

}  // namespace host
