// Images at their depth, and the files that keep them: 8-bit PNG by stb's
// image writer (as the pictures for the eye), 16-bit PNG by lodepng.
#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <lodepng.h>

#include "frame_types.h"
#include "picture.h"
#include "pixel_layout.h"

namespace host {
namespace {

std::uint16_t get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Signed samples offset into PNG's unsigned range, losing nothing.
std::uint16_t unsigned16(const std::uint8_t* p, bool isSigned) {
  const std::uint16_t raw = get16(p);
  return isSigned ? static_cast<std::uint16_t>(raw ^ 0x8000u) : raw;
}

// The mosaic demosaiced at full depth.
void demosaic(const Frame& frame, bool wide, Image& image) {
  const std::size_t w = static_cast<std::size_t>(frame.width);
  pixel::demosaic(
      pixel::bayerOfFrameType(frame.frameType), w, static_cast<std::size_t>(frame.height),
      [&](std::size_t x, std::size_t y) -> std::uint32_t {
        const std::size_t i = y * w + x;
        return wide ? get16(&frame.data[i * 2]) : frame.data[i];
      },
      [&](std::size_t x, std::size_t y, int c, std::uint32_t value) {
        image.samples[(y * w + x) * 3 + static_cast<std::size_t>(c)] =
            static_cast<std::uint16_t>(value);
      });
}

void shape(Image& image, const Frame& frame, int channels, int depth) {
  image.width = frame.width;
  image.height = frame.height;
  image.channels = channels;
  image.depth = depth;
  image.samples.assign(static_cast<std::size_t>(frame.width) *
                           static_cast<std::size_t>(frame.height) *
                           static_cast<std::size_t>(channels),
                       0);
}

std::string systemReason() {
  return errno != 0 ? std::strerror(errno) : "an unknown error";
}

}  // namespace

bool decodeImage(const Frame& frame, Image& image) {
  const PixelKind kind = pixelKind(frame.frameType);
  if (kind == PixelKind::kUnknown || frame.width <= 0 || frame.height <= 0) return false;
  const std::size_t pixels =
      static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height);
  if (frame.data.size() < imageBytes(frame.frameType, static_cast<std::size_t>(frame.width),
                                     static_cast<std::size_t>(frame.height)))
    return false;
  const std::uint8_t* in = frame.data.data();
  switch (kind) {
    case PixelKind::kMono8:
      shape(image, frame, 1, 8);
      std::copy(in, in + pixels, image.samples.begin());
      return true;
    case PixelKind::kMono16:
    case PixelKind::kSignedMono16:
      shape(image, frame, 1, 16);
      for (std::size_t i = 0; i < pixels; ++i)
        image.samples[i] = unsigned16(in + 2 * i, kind == PixelKind::kSignedMono16);
      return true;
    case PixelKind::kRgb8:
      shape(image, frame, 3, 8);
      std::copy(in, in + pixels * 3, image.samples.begin());
      return true;
    case PixelKind::kRgb16:
    case PixelKind::kSignedRgb16:
      shape(image, frame, 3, 16);
      for (std::size_t i = 0; i < pixels * 3; ++i)
        image.samples[i] = unsigned16(in + 2 * i, kind == PixelKind::kSignedRgb16);
      return true;
    case PixelKind::kBayer8:
    case PixelKind::kBayer16:
      shape(image, frame, 3, kind == PixelKind::kBayer16 ? 16 : 8);
      demosaic(frame, kind == PixelKind::kBayer16, image);
      return true;
    case PixelKind::kYuv411:
    case PixelKind::kYuv422:
    case PixelKind::kYuv444: {
      // 8-bit samples in YUV; RGB by the same conversion as the pictures for the eye.
      Picture picture;
      if (!decode(frame, picture)) return false;
      shape(image, frame, 3, 8);
      std::copy(picture.rgb.begin(), picture.rgb.end(), image.samples.begin());
      return true;
    }
    case PixelKind::kUnknown:
      break;
  }
  return false;
}

bool writeFileWhole(const std::string& path, const void* data, std::size_t size,
                    std::string& error) {
  const std::string temporary = path + ".part";
  errno = 0;
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    error = path + ": " + systemReason();
    return false;
  }
  bool ok = std::fwrite(data, 1, size, file) == size;
  std::string reason = ok ? std::string() : systemReason();
  errno = 0;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    reason = systemReason();
  }
  std::error_code ec;
  if (ok) std::filesystem::rename(temporary, path, ec);
  if (ok && ec) {
    ok = false;
    reason = ec.message();
  }
  if (!ok) {
    std::filesystem::remove(temporary, ec);
    error = path + ": " + reason;
  }
  return ok;
}

bool writeImage(const Image& image, const std::string& path, std::string& error) {
  const std::size_t count = static_cast<std::size_t>(image.width) *
                            static_cast<std::size_t>(image.height) *
                            static_cast<std::size_t>(image.channels);
  if (image.width <= 0 || image.height <= 0 || (image.channels != 1 && image.channels != 3) ||
      (image.depth != 8 && image.depth != 16) || image.samples.size() != count) {
    error = path + ": the image cannot be encoded";
    return false;
  }
  std::vector<std::uint8_t> bytes;
  if (image.depth == 8) {
    const std::vector<std::uint8_t> eight(image.samples.begin(), image.samples.end());
    if (!encodePng8(image.width, image.height, image.channels, eight.data(), bytes)) {
      error = path + ": the image cannot be encoded";
      return false;
    }
  } else {
    // PNG keeps 16-bit samples big-endian.
    std::vector<std::uint8_t> big(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
      big[2 * i] = static_cast<std::uint8_t>(image.samples[i] >> 8);
      big[2 * i + 1] = static_cast<std::uint8_t>(image.samples[i]);
    }
    unsigned char* out = nullptr;
    std::size_t size = 0;
    const unsigned failed = lodepng_encode_memory(
        &out, &size, big.data(), static_cast<unsigned>(image.width),
        static_cast<unsigned>(image.height), image.channels == 1 ? LCT_GREY : LCT_RGB, 16);
    if (failed == 0) bytes.assign(out, out + size);
    std::free(out);
    if (failed != 0) {
      error = path + ": " + lodepng_error_text(failed);
      return false;
    }
  }
  return writeFileWhole(path, bytes.data(), bytes.size(), error);
}

bool readImage(const std::string& path, Image& image, std::string& error) {
  std::vector<unsigned char> file, pixels;
  unsigned width = 0, height = 0;
  lodepng::State state;
  unsigned failed = lodepng::load_file(file, path);
  if (failed == 0) failed = lodepng_inspect(&width, &height, &state, file.data(), file.size());
  if (failed != 0) {
    error = path + ": " + lodepng_error_text(failed);
    return false;
  }
  const LodePNGColorMode& color = state.info_png.color;
  const int channels = color.colortype == LCT_GREY ? 1 : 3;
  const unsigned depth = color.bitdepth == 16 ? 16 : 8;
  failed = lodepng::decode(pixels, width, height, file, channels == 1 ? LCT_GREY : LCT_RGB, depth);
  if (failed != 0) {
    error = path + ": " + lodepng_error_text(failed);
    return false;
  }
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.channels = channels;
  image.depth = static_cast<int>(depth);
  image.samples.resize(pixels.size() / (depth / 8));
  for (std::size_t i = 0; i < image.samples.size(); ++i)
    image.samples[i] = depth == 16
                           ? static_cast<std::uint16_t>(pixels[2 * i] << 8 | pixels[2 * i + 1])
                           : pixels[i];
  return true;
}

}  // namespace host
