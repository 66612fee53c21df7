#include "frame_types.h"

#include <cstdio>

namespace host {

PixelKind pixelKind(std::uint32_t frameType) {
  switch (frameType) {
    case 0x11010000:
      return PixelKind::kMono8;
    case 0x11010004:
      return PixelKind::kMono16;
    case 0x11010009:
      return PixelKind::kSignedMono16;
    case 0x03030003:
      return PixelKind::kYuv411;
    case 0x03030001:
      return PixelKind::kYuv422;
    case 0x03030004:
      return PixelKind::kYuv444;
    case 0x01030000:
      return PixelKind::kRgb8;
    case 0x01030006:
      return PixelKind::kRgb16;
    case 0x0103000a:
      return PixelKind::kSignedRgb16;
    default:
      break;
  }
  if ((frameType & ~3u) == 0x06030000) return PixelKind::kBayer8;
  if ((frameType & ~3u) == 0x06030010) return PixelKind::kBayer16;
  return PixelKind::kUnknown;
}

std::size_t imageBytes(std::uint32_t frameType, std::size_t width, std::size_t height) {
  const std::size_t pixels = width * height;
  switch (pixelKind(frameType)) {
    case PixelKind::kMono8:
    case PixelKind::kBayer8:
      return pixels;
    case PixelKind::kYuv411:
      return pixels * 3 / 2;
    case PixelKind::kMono16:
    case PixelKind::kSignedMono16:
    case PixelKind::kYuv422:
    case PixelKind::kBayer16:
      return pixels * 2;
    case PixelKind::kYuv444:
    case PixelKind::kRgb8:
      return pixels * 3;
    case PixelKind::kRgb16:
    case PixelKind::kSignedRgb16:
      return pixels * 6;
    case PixelKind::kUnknown:
      break;
  }
  return 0;
}

std::string frameTypeName(std::uint32_t frameType) {
  static const char* const bayer[] = {"GBRG", "GRBG", "BGGR", "RGGB"};
  switch (pixelKind(frameType)) {
    case PixelKind::kMono8:
      return "MONO8";
    case PixelKind::kMono16:
      return "MONO16";
    case PixelKind::kSignedMono16:
      return "SIGNED MONO16";
    case PixelKind::kYuv411:
      return "YUV411";
    case PixelKind::kYuv422:
      return "YUV422";
    case PixelKind::kYuv444:
      return "YUV444";
    case PixelKind::kRgb8:
      return "RGB8";
    case PixelKind::kRgb16:
      return "RGB16";
    case PixelKind::kSignedRgb16:
      return "SIGNED RGB16";
    case PixelKind::kBayer8:
      return std::string("BAYER8 ") + bayer[frameType & 3];
    case PixelKind::kBayer16:
      return std::string("BAYER16 ") + bayer[frameType & 3];
    case PixelKind::kUnknown:
      break;
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%08x", frameType);
  return text;
}

}  // namespace host
