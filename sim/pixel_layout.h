// How the virtual camera lays out pixels and how the stand-in host reads them:
// written down once, used by both sides.
//  - Colour codings are the IIDC numbers (0 Mono8 ... 10 Raw16).
//  - 16-bit samples are little-endian; signed codings hold two's complement
//    samples whose scene range is 0..32767.
//  - YUV is BT.601 full range, U and V offset by 128, in the IIDC orders
//    4:1:1 U Y Y V Y Y, 4:2:2 U Y V Y, 4:4:4 U Y V.
//  - Raw codings are a Bayer mosaic; its layout is named by the 2x2 tile at the
//    image's top-left corner. The camera's filter pattern code and the host's
//    frame type name the layout as below (both tables come from one place).
//  - The first 8 bytes of every frame hold its sequence number (little-endian)
//    and its complement, so tests can recover it from the raw image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pixel {

enum Coding : std::uint32_t {
  kMono8 = 0,
  kYuv411 = 1,
  kYuv422 = 2,
  kYuv444 = 3,
  kRgb8 = 4,
  kMono16 = 5,
  kRgb16 = 6,
  kSignedMono16 = 7,
  kSignedRgb16 = 8,
  kRaw8 = 9,
  kRaw16 = 10,
  kCodingCount = 11
};

// Bytes of a width x height image; 0 for an unknown coding.
inline std::size_t frameBytes(std::uint32_t coding, std::size_t width, std::size_t height) {
  const std::size_t pixels = width * height;
  switch (coding) {
    case kMono8:
    case kRaw8:
      return pixels;
    case kYuv411:
      return pixels * 3 / 2;
    case kYuv422:
    case kMono16:
    case kSignedMono16:
    case kRaw16:
      return pixels * 2;
    case kYuv444:
    case kRgb8:
      return pixels * 3;
    case kRgb16:
    case kSignedRgb16:
      return pixels * 6;
    default:
      return 0;
  }
}

// Bayer layouts by the colours of the top-left 2x2 tile, row by row.
enum class Bayer { kRggb, kGbrg, kGrbg, kBggr };

inline const char* bayerName(Bayer layout) {
  static const char* const kNames[] = {"RGGB", "GBRG", "GRBG", "BGGR"};
  return kNames[static_cast<int>(layout)];
}

// The camera library's filter pattern codes.
inline Bayer bayerOfFilterPattern(std::uint8_t code) {
  switch (code) {
    case 1:
      return Bayer::kRggb;
    case 3:
      return Bayer::kGrbg;
    case 4:
      return Bayer::kBggr;
    default:
      return Bayer::kGbrg;  // 2, and every code the camera library does not define
  }
}

// The host's Bayer frame types (0x0603000n for 8 bit, 0x0603001n for 16 bit)
// name the layout in their low two bits.
inline Bayer bayerOfFrameType(std::uint32_t frameType) {
  switch (frameType & 3u) {
    case 3:
      return Bayer::kRggb;
    case 1:
      return Bayer::kGrbg;
    case 2:
      return Bayer::kBggr;
    default:
      return Bayer::kGbrg;
  }
}

// Colour channel (0 red, 1 green, 2 blue) at (x, y) of a mosaic.
inline int bayerChannel(Bayer layout, std::size_t x, std::size_t y) {
  static const int tiles[4][4] = {{0, 1, 1, 2}, {1, 2, 0, 1}, {1, 0, 2, 1}, {2, 1, 1, 0}};
  return tiles[static_cast<int>(layout)][(y & 1) * 2 + (x & 1)];
}

// Bilinear demosaic of a width x height mosaic: each colour from the sites of
// that colour in the 3x3 around, a site's own colour from itself alone.
// at(x, y) gives a site's sample, put(x, y, channel, value) takes the result.
template <class At, class Put>
void demosaic(Bayer layout, std::size_t width, std::size_t height, At at, Put put) {
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const int own = bayerChannel(layout, x, y);
      if (x > 0 && y > 0 && x + 1 < width && y + 1 < height) {
        // Inside the image the 3x3 is whole, and the sums below are those of
        // the loop further down (the same values, several times faster).
        put(x, y, own, at(x, y));
        if (own != 1) {
          put(x, y, 1, (at(x - 1, y) + at(x + 1, y) + at(x, y - 1) + at(x, y + 1)) / 4);
          put(x, y, 2 - own,
              (at(x - 1, y - 1) + at(x + 1, y - 1) + at(x - 1, y + 1) + at(x + 1, y + 1)) / 4);
        } else {
          put(x, y, bayerChannel(layout, x + 1, y), (at(x - 1, y) + at(x + 1, y)) / 2);
          put(x, y, bayerChannel(layout, x, y + 1), (at(x, y - 1) + at(x, y + 1)) / 2);
        }
        continue;
      }
      std::uint32_t sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
      for (std::size_t sy = y == 0 ? 0 : y - 1; sy <= y + 1 && sy < height; ++sy) {
        for (std::size_t sx = x == 0 ? 0 : x - 1; sx <= x + 1 && sx < width; ++sx) {
          const int c = bayerChannel(layout, sx, sy);
          if (c == own && (sx != x || sy != y)) continue;
          sum[c] += at(sx, sy);
          ++count[c];
        }
      }
      for (int c = 0; c < 3; ++c) put(x, y, c, count[c] != 0 ? sum[c] / count[c] : 0);
    }
  }
}

struct Yuv {
  double y, u, v;  // 0..255
};
inline Yuv yuvOfRgb(double r, double g, double b) {  // components 0..255
  return {0.299 * r + 0.587 * g + 0.114 * b, -0.168736 * r - 0.331264 * g + 0.5 * b + 128.0,
          0.5 * r - 0.418688 * g - 0.081312 * b + 128.0};
}
struct Rgb {
  double r, g, b;  // 0..255, unclamped
};
inline Rgb rgbOfYuv(double y, double u, double v) {
  return {y + 1.402 * (v - 128.0), y - 0.344136 * (u - 128.0) - 0.714136 * (v - 128.0),
          y + 1.772 * (u - 128.0)};
}

constexpr std::size_t kStampBytes = 8;

inline void stampSequence(std::uint8_t* frame, std::size_t bytes, std::uint32_t sequence) {
  if (bytes < kStampBytes) return;
  const std::uint32_t words[2] = {sequence, ~sequence};
  for (int w = 0; w < 2; ++w)
    for (int i = 0; i < 4; ++i) frame[w * 4 + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
}

// False when the frame carries no intact stamp.
inline bool readSequence(const std::uint8_t* frame, std::size_t bytes, std::uint32_t& sequence) {
  if (bytes < kStampBytes) return false;
  std::uint32_t words[2] = {0, 0};
  for (int w = 0; w < 2; ++w)
    for (int i = 0; i < 4; ++i) words[w] |= std::uint32_t{frame[w * 4 + i]} << (8 * i);
  if (words[0] != ~words[1]) return false;
  sequence = words[0];
  return true;
}

}  // namespace pixel
