#include "tiff_stack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "frame_types.h"
#include "image.h"
#include "paths.h"

namespace tool {
namespace {

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

// TIFF's field types, tags and values used here.
enum : std::uint16_t { kAscii = 2, kShort = 3, kLong = 4, kLong8 = 16 };
enum : std::uint16_t {
  kSubfileType = 254,
  kWidth = 256,
  kLength = 257,
  kBitsPerSample = 258,
  kCompression = 259,
  kPhotometric = 262,
  kDescription = 270,
  kStripOffsets = 273,
  kSamplesPerPixel = 277,
  kRowsPerStrip = 278,
  kStripByteCounts = 279,
  kPlanarConfig = 284,
  kSampleFormat = 339,
};
constexpr int kEntries = 13;
// A page's description in its slot, with its terminating zero: ours are a
// frame number and a time (and, on the first page, the frame type).
constexpr std::size_t kPageText = 256;
// Directories reserved at most: past this, pages have theirs after their data.
constexpr std::uint64_t kSlotBudget = std::uint64_t{256} << 20;

std::uint64_t even(std::uint64_t at) {
  return (at + 1) & ~std::uint64_t{1};
}

void put(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// One page's directory, laid out for the file offset it goes to: the entries
// in tag order, the link to the next page (0 until it comes), then the values
// too long for their entry.
class Directory {
 public:
  Directory(bool big, std::uint64_t at) : big_(big), at_(at) {
    const std::size_t head = big ? 8 : 2;
    bytes_.assign(head + kEntries * entryBytes() + offsetBytes(), 0);
    put(bytes_, 0, kEntries, static_cast<int>(head));
    next_ = head;
  }
  int offsetBytes() const { return big_ ? 8 : 4; }
  std::size_t entryBytes() const { return big_ ? 20 : 12; }

  // Numbers of a type: in the entry when they fit, else after the directory.
  std::uint64_t add(std::uint16_t tag, std::uint16_t type, std::initializer_list<std::uint64_t> v) {
    const int size = type == kShort ? 2 : type == kLong ? 4 : 8;
    std::vector<std::uint8_t> values(v.size() * static_cast<std::size_t>(size));
    std::size_t i = 0;
    for (const std::uint64_t value : v)
      put(values, i++ * static_cast<std::size_t>(size), value, size);
    return entry(tag, type, v.size(), values);
  }
  std::uint64_t text(std::uint16_t tag, const std::string& text) {
    std::vector<std::uint8_t> values(text.begin(), text.end());
    values.push_back(0);
    return entry(tag, kAscii, values.size(), values);
  }
  // Where in the file the link to the next page lies.
  std::uint64_t link() const { return at_ + (big_ ? 8 : 2) + kEntries * entryBytes(); }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  // The entry's file offset.
  std::uint64_t entry(std::uint16_t tag, std::uint16_t type, std::uint64_t count,
                      const std::vector<std::uint8_t>& values) {
    const std::size_t at = next_;
    next_ += entryBytes();
    put(bytes_, at, tag, 2);
    put(bytes_, at + 2, type, 2);
    put(bytes_, at + 4, count, offsetBytes());
    const std::size_t field = at + 4 + static_cast<std::size_t>(offsetBytes());
    if (values.size() <= static_cast<std::size_t>(offsetBytes())) {
      std::copy(values.begin(), values.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(field));
    } else {
      const std::size_t where = static_cast<std::size_t>(even(bytes_.size()));
      put(bytes_, field, at_ + where, offsetBytes());
      bytes_.resize(where);
      bytes_.insert(bytes_.end(), values.begin(), values.end());
    }
    return at_ + at;
  }
  bool big_;
  std::uint64_t at_;
  std::size_t next_;
  std::vector<std::uint8_t> bytes_;
};

// The most a page's directory takes: three samples and the longest description.
std::uint64_t slotBytes(bool big) {
  Directory d(big, 0);
  d.add(kBitsPerSample, kShort, {16, 16, 16});
  d.add(kSampleFormat, kShort, {1, 1, 1});
  d.text(kDescription, std::string(kPageText - 1, ' '));
  return (d.bytes().size() + 7) & ~std::size_t{7};
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

std::uint64_t stackPageBytes(std::uint32_t frameType, int width, int height) {
  Layout layout;
  if (!layoutOf(frameType, layout) || width <= 0 || height <= 0) return 0;
  return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * layout.samples *
         (layout.bits / 8u);
}

bool needsBigTiff(std::uint64_t frames, std::uint64_t frameBytes) {
  // A page's directory and description take well under 4 KB.
  return frames * (frameBytes + 4096) >= (std::uint64_t{1} << 32);
}

TiffStack::~TiffStack() {
  std::string ignored;
  close(ignored);
}

std::string TiffStack::reason() const {
  return path_ + ": " + std::strerror(errno != 0 ? errno : EIO);
}

bool TiffStack::writeAt(std::uint64_t at, const void* data, std::size_t size) {
#if defined(_WIN32)
  const bool sought = _fseeki64(file_, static_cast<__int64>(at), SEEK_SET) == 0;
#else
  const bool sought = fseeko(file_, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
  if (!sought || std::fwrite(data, 1, size, file_) != size) return false;
  end_ = std::max(end_, at + size);
  return true;
}

bool TiffStack::writeOffset(std::uint64_t at, std::uint64_t value) {
  std::vector<std::uint8_t> bytes(big_ ? 8 : 4);
  put(bytes, 0, value, static_cast<int>(bytes.size()));
  return writeAt(at, bytes.data(), bytes.size());
}

bool TiffStack::open(const std::string& path, bool big, std::uint64_t pagesAtMost,
                     std::uint64_t textBytes, std::string& error) {
  path_ = path;
  big_ = big;
  errno = 0;
  file_ = host::openFile(path, "w+b");
  if (file_ == nullptr) {
    error = reason();
    return false;
  }
  const std::uint64_t header = big ? 16 : 8;
  slotBytes_ = slotBytes(big);
  slots_ = std::min(pagesAtMost, kSlotBudget / slotBytes_);
  textBytes_ = even(textBytes);
  dataEnd_ = (header + textBytes_ + slots_ * slotBytes_ + 15) & ~std::uint64_t{15};
  link_ = big ? 8 : 4;
  std::vector<std::uint8_t> head(header, 0);
  head[0] = head[1] = 'I';
  put(head, 2, big ? 43 : 42, 2);
  if (big) put(head, 4, 8, 2);  // offsets of 8 bytes
  // The last reserved byte written now: the system makes the space before the
  // camera starts rather than at the first page.
  const std::uint8_t zero = 0;
  if (!writeAt(0, head.data(), head.size()) || !writeAt(dataEnd_ - 1, &zero, 1) ||
      std::fflush(file_) != 0) {
    error = reason();
    std::fclose(std::exchange(file_, nullptr));
    return false;
  }
  return true;
}

bool TiffStack::write(const host::Frame& frame, const std::string& description,
                      std::string& error) {
  if (file_ == nullptr || failed_ || pending_) {
    error = path_ + (file_ == nullptr ? ": not open" : ": an earlier page failed");
    return false;
  }
  failed_ = true;  // until the page is whole
  Layout layout;
  if (!layoutOf(frame.frameType, layout)) {
    error = path_ + ": frame type " + std::to_string(frame.frameType) + " unknown";
    return false;
  }
  if (description.size() >= kPageText) {
    error = path_ + ": a page's description past " + std::to_string(kPageText - 1) + " bytes";
    return false;
  }
  const std::uint64_t bytes = static_cast<std::uint64_t>(frame.width) *
                              static_cast<std::uint64_t>(frame.height) * layout.samples *
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
  const bool inSlot = pages_ < slots_;
  const std::uint64_t dataAt = dataEnd_;
  const std::uint64_t at =
      inSlot ? (big_ ? 16 : 8) + textBytes_ + pages_ * slotBytes_ : even(dataAt + bytes);
  if (!big_ && std::max(dataAt + bytes, at + slotBytes_) > 0xFFFFFFFFu) {
    error = path_ + ": past classic TIFF's 4 GB";
    return false;
  }
  Directory d(big_, at);
  const std::uint16_t offsetType = big_ ? kLong8 : kLong;
  d.add(kSubfileType, kLong, {2});  // a page of a multi-page image
  d.add(kWidth, kLong, {static_cast<std::uint32_t>(frame.width)});
  d.add(kLength, kLong, {static_cast<std::uint32_t>(frame.height)});
  if (layout.samples == 3)
    d.add(kBitsPerSample, kShort, {layout.bits, layout.bits, layout.bits});
  else
    d.add(kBitsPerSample, kShort, {layout.bits});
  d.add(kCompression, kShort, {1});
  d.add(kPhotometric, kShort, {layout.samples == 3 ? 2u : 1u});  // RGB, or black is zero
  const std::uint64_t text = d.text(kDescription, description);
  d.add(kStripOffsets, offsetType, {dataAt});
  d.add(kSamplesPerPixel, kShort, {layout.samples});
  d.add(kRowsPerStrip, kLong, {static_cast<std::uint32_t>(frame.height)});
  d.add(kStripByteCounts, offsetType, {bytes});
  d.add(kPlanarConfig, kShort, {1});
  const std::uint64_t format = layout.isSigned ? 2 : 1;
  if (layout.samples == 3)
    d.add(kSampleFormat, kShort, {format, format, format});
  else
    d.add(kSampleFormat, kShort, {format});
  errno = 0;
  // The page's data and directory on the disk before anything links to them;
  // the camera's 16-bit samples are little-endian, as the stack is.
  if (!writeAt(dataAt, data, static_cast<std::size_t>(bytes)) ||
      !writeAt(at, d.bytes().data(), d.bytes().size()) || !host::syncFile(file_)) {
    error = reason();
    return false;
  }
  written_ = {at, d.link(), text, bytes, inSlot ? dataAt + bytes : at + d.bytes().size(), inSlot};
  pending_ = true;
  failed_ = false;
  return true;
}

bool TiffStack::link(std::string& error) {
  if (!pending_) {
    error = path_ + ": no page to link";
    return false;
  }
  pending_ = false;
  failed_ = true;  // until the link is written
  errno = 0;
  if (!writeOffset(link_, written_.at) || std::fflush(file_) != 0) {
    error = reason();
    return false;
  }
  if (pages_ == 0) {
    firstText_ = written_.text;
    pageBytes_ = written_.bytes;
  }
  contiguous_ = contiguous_ && written_.inSlot && written_.bytes == pageBytes_;
  dataEnd_ = written_.dataEnd;
  link_ = written_.link;
  failed_ = false;
  ++pages_;
  return true;
}

// The text in the space kept for it, or appended; then the first page's
// description entry's count and offset, together, once the text is on disk.
bool TiffStack::describeFirst(const std::string& text) {
  const std::uint64_t at = text.size() < textBytes_ ? (big_ ? 16 : 8) : even(end_);
  std::vector<std::uint8_t> entry(2 * static_cast<std::size_t>(big_ ? 8 : 4));
  put(entry, 0, text.size() + 1, big_ ? 8 : 4);
  put(entry, entry.size() / 2, at, big_ ? 8 : 4);
  return writeAt(at, text.c_str(), text.size() + 1) && host::syncFile(file_) &&
         writeAt(firstText_ + 4, entry.data(), entry.size()) && std::fflush(file_) == 0;
}

bool TiffStack::close(std::string& error, const std::string& firstDescription) {
  if (file_ == nullptr) return true;
  errno = 0;
  // A page whose link failed may be linked all the same: the chain ends before it.
  bool ok = !failed_ || (writeOffset(link_, 0) && std::fflush(file_) == 0);
  if (ok && pages_ > 0 && !firstDescription.empty())
    ok = described_ = describeFirst(firstDescription);
  if (!host::syncFile(file_)) ok = false;
  if (std::fclose(std::exchange(file_, nullptr)) != 0) ok = false;
  if (!ok && error.empty()) error = reason();
  return ok;
}

}  // namespace tool
