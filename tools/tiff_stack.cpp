#include "tiff_stack.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <tiffio.h>

#include "disk.h"
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

// The file's own structure, for the two edits libtiff has no call for: ending
// the page chain after the last complete page, and pointing the first page's
// description at new text. Each changes bytes in place, which a full disk allows.
class Structure {
 public:
  explicit Structure(std::FILE* f) : f_(f) {
    unsigned char header[16] = {};
    if (std::fread(header, 1, 16, f_) < 8 || header[0] != 'I' || header[1] != 'I') return;
    big_ = header[2] == 43;
    firstLink_ = 4;
    if (big_) firstLink_ = 8;
    ok_ = true;
  }
  bool ok() const { return ok_; }
  bool big() const { return big_; }
  // Where the link to the first page lies.
  std::uint64_t firstLink() const { return firstLink_; }
  std::uint64_t read(std::uint64_t at, int bytes) {
    unsigned char b[8] = {};
    if (!seek(at) ||
        std::fread(b, 1, static_cast<std::size_t>(bytes), f_) != static_cast<std::size_t>(bytes)) {
      ok_ = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[i];
    return v;
  }
  // Writes values of bytes each, one after the other, in one write.
  void write(std::uint64_t at, std::initializer_list<std::uint64_t> values, int bytes) {
    unsigned char b[16];
    std::size_t n = 0;
    for (std::uint64_t value : values)
      for (int i = 0; i < bytes; ++i) b[n++] = static_cast<unsigned char>(value >> (8 * i));
    if (!seek(at) || std::fwrite(b, 1, n, f_) != n) ok_ = false;
  }
  int offsetBytes() const { return big_ ? 8 : 4; }
  // A page's entries: where they start, and how many.
  std::uint64_t entries(std::uint64_t page, std::uint64_t& count) {
    count = read(page, big_ ? 8 : 2);
    return page + (big_ ? 8 : 2);
  }
  int entryBytes() const { return big_ ? 20 : 12; }
  // Where the link to the page after this one lies.
  std::uint64_t nextLink(std::uint64_t page) {
    std::uint64_t count = 0;
    const std::uint64_t first = entries(page, count);
    return first + count * static_cast<std::uint64_t>(entryBytes());
  }

 private:
  bool seek(std::uint64_t at) {
#if defined(_WIN32)
    return _fseeki64(f_, static_cast<__int64>(at), SEEK_SET) == 0;
#else
    return fseeko(f_, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
  }
  std::FILE* f_;
  bool ok_ = false, big_ = false;
  std::uint64_t firstLink_ = 0;
};

// Ends the chain after pages pages: a failed page may have been linked before
// its directory reached the disk.
bool endChain(Structure& s, std::uint64_t pages) {
  std::uint64_t link = s.firstLink();
  for (std::uint64_t i = 0; i < pages && s.ok(); ++i) {
    const std::uint64_t page = s.read(link, s.offsetBytes());
    if (page == 0) return false;
    link = s.nextLink(page);
  }
  if (s.ok()) s.write(link, {0}, s.offsetBytes());
  return s.ok();
}

// Appends the text and points the first page's description entry at it.
bool redescribe(std::FILE* f, Structure& s, const std::string& text) {
  const std::uint64_t page = s.read(s.firstLink(), s.offsetBytes());
  std::uint64_t count = 0;
  const std::uint64_t first = s.entries(page, count);
  std::uint64_t entry = 0;
  for (std::uint64_t i = 0; i < count && s.ok() && entry == 0; ++i)
    if (s.read(first + i * static_cast<std::uint64_t>(s.entryBytes()), 2) ==
        TIFFTAG_IMAGEDESCRIPTION)
      entry = first + i * static_cast<std::uint64_t>(s.entryBytes());
  if (entry == 0 || !s.ok() || std::fseek(f, 0, SEEK_END) != 0) return false;
#if defined(_WIN32)
  const std::int64_t end = _ftelli64(f);
#else
  const std::int64_t end = ftello(f);
#endif
  // Word-aligned, as TIFF asks of offsets.
  const std::uint64_t at = (static_cast<std::uint64_t>(end) + 1) & ~std::uint64_t{1};
  const std::string padded = std::string(at - static_cast<std::uint64_t>(end), '\0') + text;
  if (end < 0 || std::fwrite(padded.c_str(), 1, padded.size() + 1, f) != padded.size() + 1 ||
      std::fflush(f) != 0)
    return false;
  // The entry's count and offset together, once the text is on disk.
  s.write(entry + 4, {text.size() + 1, at}, s.offsetBytes());
  return s.ok() && std::fflush(f) == 0;
}

}  // namespace

bool stackLayout(std::uint32_t frameType, std::uint16_t& samples, std::uint16_t& bits,
                 bool& isSigned) {
  Layout layout;
  if (!layoutOf(frameType, layout)) return false;
  samples = layout.samples;
  bits = layout.bits;
  isSigned = layout.isSigned;
  return true;
}

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
  if (failed_) {
    error = path_ + ": an earlier page failed";
    return false;
  }
  failed_ = true;  // until the page is whole
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
  // On the disk before the page's line is written. A page the disk did not
  // take is none of the stack's: the chain ends before it at close.
  if (!syncTiffFile(TIFFFileno(t))) {
    error = path_ + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }
  failed_ = false;
  ++pages_;
  return true;
}

bool TiffStack::close(std::string& error, const std::string& firstDescription) {
  if (tiff_ == nullptr) return true;
  reason_.clear();
  errno = 0;
  // After a failed page, closing may still write and link its directory:
  // the chain is ended after the close.
  const bool flushed = failed_ || TIFFFlush(tiff_) == 1;
  if (!flushed)
    error = path_ + ": " +
            (reason_.empty() ? std::string(std::strerror(errno ? errno : EIO)) : reason_);
  TIFFClose(std::exchange(tiff_, nullptr));
  if (!failed_ && flushed && firstDescription.empty()) return true;
  std::FILE* f = host::openFile(path_, "r+b");
  if (f == nullptr) {
    if (error.empty()) error = path_ + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }
  Structure structure(f);
  bool ok = structure.ok();
  if (ok && (failed_ || !flushed)) ok = endChain(structure, pages_);
  if (ok && pages_ > 0 && !firstDescription.empty())
    ok = described_ = redescribe(f, structure, firstDescription);
  if (!host::syncFile(f) || std::fclose(f) != 0) ok = false;
  if (!ok && error.empty()) error = path_ + ": " + std::strerror(errno ? errno : EIO);
  return ok && flushed;
}

}  // namespace tool
