#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "frame_types.h"
#include "pixel_layout.h"

namespace host {
namespace {

std::uint8_t clamp8(double v) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

std::uint32_t get16(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8);
}

// A 16-bit sample to 8 bits; signed samples span 0..32767, negatives are black.
std::uint8_t sample8(const std::uint8_t* p, bool isSigned) {
  if (!isSigned) return static_cast<std::uint8_t>(get16(p) >> 8);
  const auto value = static_cast<std::int16_t>(get16(p));
  return value <= 0 ? 0 : static_cast<std::uint8_t>(value >> 7);
}

void putYuv(std::uint8_t* out, double y, double u, double v) {
  const pixel::Rgb c = pixel::rgbOfYuv(y, u, v);
  out[0] = clamp8(c.r);
  out[1] = clamp8(c.g);
  out[2] = clamp8(c.b);
}

// The mosaic demosaiced from its top 8 bits.
void demosaic(const Frame& frame, bool wide, Picture& picture) {
  const std::size_t w = static_cast<std::size_t>(frame.width);
  pixel::demosaic(
      pixel::bayerOfFrameType(frame.frameType), w, static_cast<std::size_t>(frame.height),
      [&](std::size_t x, std::size_t y) -> std::uint32_t {
        const std::size_t i = y * w + x;
        return wide ? get16(&frame.data[i * 2]) >> 8 : frame.data[i];
      },
      [&](std::size_t x, std::size_t y, int c, std::uint32_t value) {
        picture.rgb[(y * w + x) * 3 + static_cast<std::size_t>(c)] =
            static_cast<std::uint8_t>(value);
      });
}

}  // namespace

bool decode(const Frame& frame, Picture& picture) {
  const PixelKind kind = pixelKind(frame.frameType);
  if (kind == PixelKind::kUnknown || frame.width <= 0 || frame.height <= 0) return false;
  const std::size_t w = static_cast<std::size_t>(frame.width),
                    h = static_cast<std::size_t>(frame.height);
  if (frame.data.size() < imageBytes(frame.frameType, w, h)) return false;
  if (kind == PixelKind::kYuv411 && w % 4 != 0) return false;
  if (kind == PixelKind::kYuv422 && w % 2 != 0) return false;
  picture.width = frame.width;
  picture.height = frame.height;
  picture.rgb.assign(w * h * 3, 0);
  const std::uint8_t* in = frame.data.data();
  std::uint8_t* out = picture.rgb.data();
  const std::size_t pixels = w * h;
  switch (kind) {
    case PixelKind::kMono8:
      for (std::size_t i = 0; i < pixels; ++i) out[i * 3] = out[i * 3 + 1] = out[i * 3 + 2] = in[i];
      break;
    case PixelKind::kMono16:
    case PixelKind::kSignedMono16:
      for (std::size_t i = 0; i < pixels; ++i)
        out[i * 3] = out[i * 3 + 1] = out[i * 3 + 2] =
            sample8(in + i * 2, kind == PixelKind::kSignedMono16);
      break;
    case PixelKind::kRgb8:
      std::copy(in, in + pixels * 3, out);
      break;
    case PixelKind::kRgb16:
    case PixelKind::kSignedRgb16:
      for (std::size_t i = 0; i < pixels * 3; ++i)
        out[i] = sample8(in + i * 2, kind == PixelKind::kSignedRgb16);
      break;
    case PixelKind::kYuv444:
      for (std::size_t i = 0; i < pixels; ++i)
        putYuv(out + i * 3, in[i * 3 + 1], in[i * 3], in[i * 3 + 2]);
      break;
    case PixelKind::kYuv422:
      for (std::size_t i = 0; i < pixels; i += 2) {
        const std::uint8_t* q = in + i * 2;  // U Y0 V Y1
        putYuv(out + i * 3, q[1], q[0], q[2]);
        putYuv(out + i * 3 + 3, q[3], q[0], q[2]);
      }
      break;
    case PixelKind::kYuv411:
      for (std::size_t i = 0; i < pixels; i += 4) {
        const std::uint8_t* q = in + i * 3 / 2;  // U Y0 Y1 V Y2 Y3
        const std::uint8_t ys[4] = {q[1], q[2], q[4], q[5]};
        for (int k = 0; k < 4; ++k)
          putYuv(out + (i + static_cast<std::size_t>(k)) * 3, ys[k], q[0], q[3]);
      }
      break;
    case PixelKind::kBayer8:
    case PixelKind::kBayer16:
      demosaic(frame, kind == PixelKind::kBayer16, picture);
      break;
    case PixelKind::kUnknown:
      return false;
  }
  return true;
}

Picture shrink(const Picture& p, int width) {
  if (p.width <= width || width <= 0) return p;
  Picture small;
  small.width = width;
  small.height = std::max(1, p.height * width / p.width);
  small.rgb.resize(static_cast<std::size_t>(small.width) * static_cast<std::size_t>(small.height) *
                   3);
  for (int y = 0; y < small.height; ++y) {
    const int sy = y * p.height / small.height;
    for (int x = 0; x < small.width; ++x) {
      const int sx = x * p.width / small.width;
      const std::uint8_t* from =
          &p.rgb[(static_cast<std::size_t>(sy) * static_cast<std::size_t>(p.width) +
                  static_cast<std::size_t>(sx)) *
                 3];
      std::copy(from, from + 3,
                &small.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(small.width) +
                            static_cast<std::size_t>(x)) *
                           3]);
    }
  }
  return small;
}

Picture contactSheet(const std::vector<Picture>& pictures, int cellWidth) {
  Picture sheet;
  const std::size_t count = std::min<std::size_t>(pictures.size(), 16);
  if (count == 0 || cellWidth <= 0) return sheet;
  std::vector<Picture> cells;
  int cellHeight = 1;
  for (std::size_t i = 0; i < count; ++i) {
    cells.push_back(pictures[i].width > 0 && pictures[i].height > 0 ? shrink(pictures[i], cellWidth)
                                                                    : Picture{});
    cellHeight = std::max(cellHeight, cells.back().height);
  }
  const int columns = static_cast<int>(std::min<std::size_t>(count, 4));
  const int rows = static_cast<int>((count + 3) / 4);
  const int gap = 4;
  sheet.width = columns * (cellWidth + gap) + gap;
  sheet.height = rows * (cellHeight + gap) + gap;
  sheet.rgb.assign(
      static_cast<std::size_t>(sheet.width) * static_cast<std::size_t>(sheet.height) * 3, 32);
  for (std::size_t i = 0; i < count; ++i) {
    const Picture& cell = cells[i];
    const int left = gap + static_cast<int>(i % 4) * (cellWidth + gap);
    const int top = gap + static_cast<int>(i / 4) * (cellHeight + gap);
    for (int y = 0; y < cell.height; ++y) {
      const std::uint8_t* from =
          &cell.rgb[static_cast<std::size_t>(y) * static_cast<std::size_t>(cell.width) * 3];
      std::copy(
          from, from + static_cast<std::size_t>(cell.width) * 3,
          &sheet.rgb[(static_cast<std::size_t>(top + y) * static_cast<std::size_t>(sheet.width) +
                      static_cast<std::size_t>(left)) *
                     3]);
    }
  }
  return sheet;
}

}  // namespace host
