#include "frame_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "pixel_layout.h"

namespace sim {
namespace {

bool sameLayout(const StreamFormat& a, const StreamFormat& b) {
  return a.coding == b.coding && a.width == b.width && a.height == b.height && a.left == b.left &&
         a.top == b.top && a.sensorWidth == b.sensorWidth && a.sensorHeight == b.sensorHeight &&
         a.filterPattern == b.filterPattern && a.bytes == b.bytes;
}

void put16(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint8_t to8(double v) {
  return static_cast<std::uint8_t>(std::lround(v * 255.0));
}
std::uint8_t clamp8(double v) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

}  // namespace

namespace {

// Where the moving square is: its side, left edge for a phase, and top row.
struct Square {
  std::uint32_t side, x, y;
};
Square squareOf(std::uint32_t width, std::uint32_t height, std::uint32_t phase) {
  const std::uint32_t side = std::max(height / 8, 2u);
  const std::uint32_t travel = width > side ? width - side : 0;
  return {side, travel * (phase % FrameRenderer::kPhases) / (FrameRenderer::kPhases - 1),
          height * 5 / 6 - std::min(height * 5 / 6, side / 2)};
}

}  // namespace

SceneColour scene(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height,
                  std::uint32_t phase) {
  static const SceneColour bars[8] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                      {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  if (width == 0 || height == 0) return {0, 0, 0};
  const Square square = squareOf(width, height, phase);
  if (x >= square.x && x < square.x + square.side && y >= square.y && y < square.y + square.side)
    return {1.0, 0.5, 0.0};
  if (y < height * 2 / 3) return bars[std::min<std::uint64_t>(7, std::uint64_t{x} * 8 / width)];
  const double grey = width > 1 ? static_cast<double>(x) / (width - 1) : 0.0;
  return {grey, grey, grey};
}

const std::uint8_t* FrameRenderer::frame(const StreamFormat& format, const SceneAdjust& adjust,
                                         std::uint32_t sequence) {
  if (!sameLayout(format, format_) || !(adjust == adjust_)) {
    base_.valid = false;
    for (Slot& slot : slots_) slot.valid = false;
    if (format.bytes != format_.bytes) {
      base_.data.reset();
      for (Slot& slot : slots_) slot.data.reset();
    }
    format_ = format;
    adjust_ = adjust;
  }
  const std::uint32_t phase = sequence % kPhases;
  Slot& slot = slots_[phase];
  if (!slot.data) slot.data.reset(new std::uint8_t[format.bytes]);
  if (!slot.valid) {
    if (!base_.data) base_.data.reset(new std::uint8_t[format.bytes]);
    if (!base_.valid) render(base_.data.get(), 0, 0, format.height);
    base_.valid = true;
    std::memcpy(slot.data.get(), base_.data.get(), format.bytes);
    // The square's rows on the sensor, as rows of the transmitted image.
    const Square square = squareOf(format.sensorWidth, format.sensorHeight, phase);
    const std::uint32_t first = std::max(square.y, format.top) - format.top;
    const std::uint32_t last = std::min(square.y + square.side, format.top + format.height);
    if (last > format.top && first < format.height)
      render(slot.data.get(), phase, first, last - format.top);
    slot.valid = true;
  }
  pixel::stampSequence(slot.data.get(), format.bytes, sequence);
  return slot.data.get();
}

void FrameRenderer::render(std::uint8_t* out, std::uint32_t phase, std::uint32_t rowBegin,
                           std::uint32_t rowEnd) const {
  const StreamFormat& f = format_;
  const pixel::Bayer bayer = pixel::bayerOfFilterPattern(f.filterPattern);
  std::vector<SceneColour> row(f.width);
  std::size_t pos = pixel::frameBytes(f.coding, f.width, 1) * rowBegin;
  for (std::uint32_t y = rowBegin; y < rowEnd && y < f.height; ++y) {
    for (std::uint32_t x = 0; x < f.width; ++x) {
      SceneColour c = scene(x + f.left, y + f.top, f.sensorWidth, f.sensorHeight, phase);
      auto adjust = [&](double v) {
        return std::clamp(v * adjust_.factor + adjust_.offset, 0.0, 1.0);
      };
      row[x] = {adjust(c.r), adjust(c.g), adjust(c.b)};
    }
    auto grey = [](const SceneColour& c) { return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b; };
    auto yuv = [](const SceneColour& c) {
      return pixel::yuvOfRgb(c.r * 255, c.g * 255, c.b * 255);
    };
    switch (f.coding) {
      case pixel::kMono8:
        for (const SceneColour& c : row) out[pos++] = to8(grey(c));
        break;
      case pixel::kMono16:
        for (const SceneColour& c : row)
          put16(out + (pos += 2) - 2, static_cast<std::uint32_t>(std::lround(grey(c) * 65535)));
        break;
      case pixel::kSignedMono16:
        for (const SceneColour& c : row)
          put16(out + (pos += 2) - 2, static_cast<std::uint32_t>(std::lround(grey(c) * 32767)));
        break;
      case pixel::kRgb8:
        for (const SceneColour& c : row) {
          out[pos++] = to8(c.r);
          out[pos++] = to8(c.g);
          out[pos++] = to8(c.b);
        }
        break;
      case pixel::kRgb16:
      case pixel::kSignedRgb16: {
        const double scale = f.coding == pixel::kRgb16 ? 65535.0 : 32767.0;
        for (const SceneColour& c : row)
          for (double v : {c.r, c.g, c.b})
            put16(out + (pos += 2) - 2, static_cast<std::uint32_t>(std::lround(v * scale)));
        break;
      }
      case pixel::kYuv444:
        for (const SceneColour& c : row) {
          const pixel::Yuv p = yuv(c);
          out[pos++] = clamp8(p.u);
          out[pos++] = clamp8(p.y);
          out[pos++] = clamp8(p.v);
        }
        break;
      case pixel::kYuv422:
        for (std::uint32_t x = 0; x + 1 < f.width + 1; x += 2) {
          const pixel::Yuv a = yuv(row[x]);
          const pixel::Yuv b = yuv(row[std::min(x + 1, f.width - 1)]);
          out[pos++] = clamp8((a.u + b.u) / 2);
          out[pos++] = clamp8(a.y);
          out[pos++] = clamp8((a.v + b.v) / 2);
          out[pos++] = clamp8(b.y);
        }
        break;
      case pixel::kYuv411:
        for (std::uint32_t x = 0; x < f.width; x += 4) {
          pixel::Yuv p[4];
          double u = 0, v = 0;
          for (int i = 0; i < 4; ++i) {
            p[i] = yuv(row[std::min(x + i, f.width - 1)]);
            u += p[i].u / 4;
            v += p[i].v / 4;
          }
          out[pos++] = clamp8(u);
          out[pos++] = clamp8(p[0].y);
          out[pos++] = clamp8(p[1].y);
          out[pos++] = clamp8(v);
          out[pos++] = clamp8(p[2].y);
          out[pos++] = clamp8(p[3].y);
        }
        break;
      case pixel::kRaw8:
      case pixel::kRaw16:
        for (std::uint32_t x = 0; x < f.width; ++x) {
          const SceneColour& c = row[x];
          const int channel = pixel::bayerChannel(bayer, x, y);
          const double v = channel == 0 ? c.r : channel == 1 ? c.g : c.b;
          if (f.coding == pixel::kRaw8) {
            out[pos++] = to8(v);
          } else {
            put16(out + pos, static_cast<std::uint32_t>(std::lround(v * 65535)));
            pos += 2;
          }
        }
        break;
      default:
        break;
    }
  }
}

}  // namespace sim
