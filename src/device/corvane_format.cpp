#include "device/corvane_format.h"

#include <cstdio>
#include <memory>

namespace {

constexpr std::uint32_t kFormat7 = 7;

// The library's text for a coding or rate; where it has none, the number.
struct Text {
  Text(const char* libraryText, const char* what, std::uint32_t number) {
    if (libraryText != nullptr && libraryText[0] != '\0') {
      text = libraryText;
    } else {
      std::snprintf(own, sizeof own, "%s %u", what, number);
      text = own;
    }
  }
  const char* text;
  char own[24];
};

}  // namespace

CorvaneFormat::CorvaneFormat(std::uint32_t format, std::uint32_t modeNumber, std::uint32_t rate)
    : formatNumber(format), mode(modeNumber), frameRate(static_cast<std::int32_t>(rate)) {
  // The library's status is not examined; a table it leaves unfilled reads as zeros.
  FixedFormatTable table{};
  CvInitFormatInfo(&table, format, modeNumber, rate);
  if (modeNumber < 8) {
    colorCoding = table.modes[modeNumber].colorCoding;
    width = table.modes[modeNumber].width;
    height = table.modes[modeNumber].height;
  }
  std::snprintf(name, sizeof name, "%uX%u %s %s FPS", width, height,
                Text(CvPixelFormatStringA(colorCoding), "coding", colorCoding).text,
                Text(CvFpsStringA(rate), "rate", rate).text);
}

CorvaneFormat::CorvaneFormat(const Format7InfoRecord& info, std::uint32_t coding)
    : formatNumber(kFormat7),
      mode(info.mode),
      frameRate(-1),
      width(info.maxWidth),
      height(info.maxHeight),
      colorCoding(coding),
      filterPattern(info.image != nullptr ? info.image->filterPattern : 0) {
  std::snprintf(name, sizeof name, "VARIABLE_%u (%uX%u) %s", mode, width, height,
                Text(CvPixelFormatStringA(colorCoding), "coding", colorCoding).text);
  auto infoCopy = std::make_unique<Format7InfoRecord>(info);
  auto imageCopy = std::make_unique<Format7ImageRecord>();
  if (info.image != nullptr) *imageCopy = *info.image;
  // An offset unit of 0 means the size unit.
  if (infoCopy->offsetXUnit == 0) infoCopy->offsetXUnit = infoCopy->widthUnit;
  if (infoCopy->offsetYUnit == 0) infoCopy->offsetYUnit = infoCopy->heightUnit;
  infoCopy->image = imageCopy.release();
  format7Info = infoCopy.release();
}

CorvaneFormat::~CorvaneFormat() {
  if (format7Info != nullptr) {
    delete format7Info->image;
    delete format7Info;
    format7Info = nullptr;
  }
}

bool CorvaneFormat::isValidRoi(std::int32_t offsetX, std::int32_t offsetY, std::int32_t w,
                               std::int32_t h) const {
  if (format7Info == nullptr) return false;
  const Format7InfoRecord& info = *format7Info;
  const std::int32_t maxW = info.maxWidth, maxH = info.maxHeight;
  const std::int32_t unitW = info.widthUnit, unitH = info.heightUnit;
  const std::int32_t unitX = info.offsetXUnit, unitY = info.offsetYUnit;
  if (unitW == 0 || unitH == 0 || unitX == 0 || unitY == 0) return false;
  // A negative offset or an empty or negative size would be kept to 16 bits as
  // a huge one, and frames would then claim more than the camera sends.
  if (offsetX < 0 || offsetY < 0 || w <= 0 || h <= 0) return false;
  // 64-bit sums: an offset and a width near the 32-bit limits must not wrap.
  return w <= maxW && h <= maxH && std::int64_t{offsetX} + w <= maxW &&
         std::int64_t{offsetY} + h <= maxH && offsetX % unitX == 0 && offsetY % unitY == 0 &&
         w % unitW == 0 && h % unitH == 0;
}
