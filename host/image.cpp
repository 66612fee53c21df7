// Images at their depth, and the files that keep them: PNG by lodepng, its
// deflate by libdeflate at a low level (fast enough for a camera's full rate;
// lodepng's own deflate and stb's writer each manage about a third of it).
#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <libdeflate.h>
#include <lodepng.h>

#include "frame_types.h"
#include "paths.h"
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
  // Every sample is written by the decoder: a reused image keeps its storage.
  image.samples.resize(static_cast<std::size_t>(frame.width) *
                       static_cast<std::size_t>(frame.height) * static_cast<std::size_t>(channels));
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

bool writeFileWhole(const std::string& path, const void* data, std::size_t size, std::string& error,
                    const std::function<bool(std::string&)>& beforeRename, bool sync) {
  const std::string temporary = path + ".part";
  errno = 0;
  std::FILE* file = openFile(temporary, "wb");
  if (file == nullptr) {
    error = path + ": " + systemReason();
    return false;
  }
  bool ok = std::fwrite(data, 1, size, file) == size && (!sync || syncFile(file));
  std::string reason = ok ? std::string() : systemReason();
  errno = 0;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    reason = systemReason();
  }
  if (ok && beforeRename && !beforeRename(error)) {
    std::error_code ec;
    std::filesystem::remove(fsPath(temporary), ec);
    return false;
  }
  std::error_code ec;
  if (ok) std::filesystem::rename(fsPath(temporary), fsPath(path), ec);
  if (ok && ec) {
    ok = false;
    reason = ec.message();
  }
  if (!ok) {
    std::filesystem::remove(fsPath(temporary), ec);
    error = path + ": " + reason;
  }
  return ok;
}

namespace {

// zlib streams for lodepng by libdeflate at level 1: one compressor a thread,
// as making one costs more than a frame's compression.
unsigned fastZlib(unsigned char** out, std::size_t* outSize, const unsigned char* in,
                  std::size_t inSize, const LodePNGCompressSettings*) {
  struct Compressor {
    libdeflate_compressor* c = libdeflate_alloc_compressor(1);
    ~Compressor() { libdeflate_free_compressor(c); }
  };
  // libdeflate picks its code for this processor on first use, in globals it
  // writes without a lock: the first use is made once, before any other.
  static const bool chosen = [] {
    Compressor first;
    unsigned char text[64] = {}, packed[256];
    return first.c != nullptr &&
           libdeflate_zlib_compress(first.c, text, sizeof text, packed, sizeof packed) != 0;
  }();
  static_cast<void>(chosen);
  thread_local Compressor compressor;
  if (compressor.c == nullptr) return 83;  // lodepng's "memory allocation failed"
  const std::size_t bound = libdeflate_zlib_compress_bound(compressor.c, inSize);
  auto* buffer = static_cast<unsigned char*>(std::malloc(bound));
  if (buffer == nullptr) return 83;
  const std::size_t size = libdeflate_zlib_compress(compressor.c, in, inSize, buffer, bound);
  if (size == 0) {
    std::free(buffer);
    return 83;
  }
  *out = buffer;
  *outSize = size;
  return 0;
}

}  // namespace

bool encodeImage(const Image& image, std::vector<std::uint8_t>& png, std::string& error) {
  const std::size_t count = static_cast<std::size_t>(image.width) *
                            static_cast<std::size_t>(image.height) *
                            static_cast<std::size_t>(image.channels);
  if (image.width <= 0 || image.height <= 0 || (image.channels != 1 && image.channels != 3) ||
      (image.depth != 8 && image.depth != 16) || image.samples.size() != count) {
    error = "the image cannot be encoded";
    return false;
  }
  // PNG keeps 16-bit samples big-endian.
  const std::size_t bytes = image.depth / 8;
  thread_local std::vector<std::uint8_t> raw;  // a frame's worth, kept for the next
  raw.resize(count * bytes);
  if (bytes == 1) {
    for (std::size_t i = 0; i < count; ++i) raw[i] = static_cast<std::uint8_t>(image.samples[i]);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      raw[2 * i] = static_cast<std::uint8_t>(image.samples[i] >> 8);
      raw[2 * i + 1] = static_cast<std::uint8_t>(image.samples[i]);
    }
  }
  lodepng::State state;
  const LodePNGColorType type = image.channels == 1 ? LCT_GREY : LCT_RGB;
  const auto depth = static_cast<unsigned>(image.depth);
  state.info_raw.colortype = type;
  state.info_raw.bitdepth = depth;
  state.info_png.color.colortype = type;
  state.info_png.color.bitdepth = depth;
  // The image as it is (no search for a smaller colour type), rows filtered by
  // their left neighbour: nearly all of the best filter's gain, at a fifth of its cost.
  state.encoder.auto_convert = 0;
  state.encoder.filter_strategy = LFS_ONE;
  state.encoder.zlibsettings.custom_zlib = fastZlib;
  png.clear();
  const unsigned failed = lodepng::encode(png, raw.data(), static_cast<unsigned>(image.width),
                                          static_cast<unsigned>(image.height), state);
  if (failed != 0) {
    error = lodepng_error_text(failed);
    return false;
  }
  return true;
}

bool writeImage(const Image& image, const std::string& path, std::string& error) {
  std::vector<std::uint8_t> png;
  if (!encodeImage(image, png, error)) {
    error = path + ": " + error;
    return false;
  }
  return writeFileWhole(path, png.data(), png.size(), error);
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
