#include "tiff_stack.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include <tiffio.h>

#include "frame_types.h"
#include "image.h"
#include "paths.h"

namespace tool {
namespace {

int keepReason(TIFF*, void* user, const char* module, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  auto* reason = static_cast<std::string*>(user);
  *reason = errno != 0 ? std::strerror(errno)
                       : (module != nullptr ? std::string(module) + ": " : "") + text;
  return 1;
}

int ignore(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

struct Layout {
  std::uint16_t samples = 1;
  std::uint16_t bits = 8;
  bool isSigned = false;
  bool convert = false;  // YUV: written as RGB
};

bool layoutOf(std::uint32_t frameType, Layout& layout) {
  using host::PixelKind;
  switch (host::pixelKind(frameType)) {
    case PixelKind::kMono8:
    case PixelKind::kBayer8:
      layout = {1, 8, false, false};
      return true;
    case PixelKind::kMono16:
    case PixelKind::kBayer16:
      layout = {1, 16, false, false};
      return true;
    case PixelKind::kSignedMono16:
      layout = {1, 16, true, false};
      return true;
    case PixelKind::kRgb8:
      layout = {3, 8, false, false};
      return true;
    case PixelKind::kRgb16:
      layout = {3, 16, false, false};
      return true;
    case PixelKind::kSignedRgb16:
      layout = {3, 16, true, false};
      return true;
    case PixelKind::kYuv411:
    case PixelKind::kYuv422:
    case PixelKind::kYuv444:
      layout = {3, 8, false, true};
      return true;
    case PixelKind::kUnknown:
      break;
  }
  return false;
}

}  // namespace

bool needsBigTiff(std::uint64_t frames, std::uint64_t frameBytes) {
  // A page's tags and description take well under 4 KB.
  return frames * (frameBytes + 4096) >= (std::uint64_t{1} << 32);
}

TiffStack::~TiffStack() {
  std::string ignored;
  close(ignored);
}

bool TiffStack::open(const std::string& path, bool big, std::string& error) {
  path_ = path;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, keepReason, &reason_);
  TIFFOpenOptionsSetWarningHandlerExtR(options, ignore, nullptr);
  errno = 0;
#if defined(_WIN32)
  tiff_ = TIFFOpenWExt(host::widePath(path).c_str(), big ? "w8" : "w", options);
#else
  tiff_ = TIFFOpenExt(path.c_str(), big ? "w8" : "w", options);
#endif
  TIFFOpenOptionsFree(options);
  if (tiff_ == nullptr) {
    error = path + ": " + (reason_.empty() ? std::string(std::strerror(errno)) : reason_);
    return false;
  }
  return true;
}

bool TiffStack::add(const host::Frame& frame, const std::string& description, std::string& error) {
  Layout layout;
  if (!layoutOf(frame.frameType, layout)) {
    error = path_ + ": frame type " + std::to_string(frame.frameType) + " unknown";
    return false;
  }
  const std::size_t bytes = static_cast<std::size_t>(frame.width) *
                            static_cast<std::size_t>(frame.height) * layout.samples *
                            (layout.bits / 8);
  std::vector<std::uint8_t> converted;
  const std::uint8_t* data = frame.data.data();
  if (layout.convert) {
    host::Image image;
    if (!host::decodeImage(frame, image)) {
      error = path_ + ": a frame shorter than its size";
      return false;
    }
    converted.assign(image.samples.begin(), image.samples.end());
    data = converted.data();
  } else if (frame.data.size() < bytes) {
    error = path_ + ": a frame shorter than its size";
    return false;
  }
  TIFF* t = tiff_;
  TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(frame.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(frame.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, layout.bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, layout.isSigned ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
               layout.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(frame.height));
  TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
  reason_.clear();
  errno = 0;
  // One strip a page; the camera's 16-bit samples are little-endian, as the
  // stack is written on this machine.
  if (TIFFWriteEncodedStrip(t, 0, const_cast<std::uint8_t*>(data), static_cast<tmsize_t>(bytes)) <
          0 ||
      !TIFFWriteDirectory(t)) {
    error = path_ + ": " +
            (reason_.empty() ? std::string(std::strerror(errno ? errno : EIO)) : reason_);
    return false;
  }
  return true;
}

bool TiffStack::close(std::string& error) {
  if (tiff_ == nullptr) return true;
  reason_.clear();
  errno = 0;
  const bool flushed = TIFFFlush(tiff_) == 1;
  TIFFClose(std::exchange(tiff_, nullptr));
  if (!flushed)
    error = path_ + ": " +
            (reason_.empty() ? std::string(std::strerror(errno ? errno : EIO)) : reason_);
  return flushed;
}

}  // namespace tool
