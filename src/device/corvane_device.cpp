#include "device/corvane_device.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "device/iidc_registers.h"

namespace {

constexpr std::uint32_t kFormat7Bit = 0x01;
constexpr std::uint32_t kFixedFormats = 3;
constexpr std::uint32_t kFormat7Modes = 8;
constexpr std::uint32_t kColorCodings = 11;

constexpr bool bitSet(std::uint8_t mask, std::uint32_t index) {
  return (mask & (0x80u >> index)) != 0;
}

}  // namespace

CorvaneDevice::CorvaneDevice(std::uint32_t adapter, std::uint64_t camera)
    : adapterNumber(adapter), cameraId(camera) {}

CorvaneDevice::~CorvaneDevice() {
  if (cameraHandle != nullptr) CvCloseCameraHandle(cameraHandle);
}

void CorvaneDevice::addFormat(CorvaneFormat* format) {
  if (format == nullptr) return;
  try {
    formats.push_back(format);
  } catch (...) {
    delete format;
  }
}

CvStatus CorvaneDevice::probe() {
  if (CvStatus s = CvOpenCameraHandleEx(adapterNumber, &cameraHandle, &cameraId)) return s;
  char vendor[64];
  char model[64];
  std::uint32_t number = 0;
  if (CvStatus s = CvQueryCameraRegister(cameraHandle, kCvRegVendorName, vendor, sizeof vendor))
    return s;
  if (CvStatus s = CvQueryCameraRegister(cameraHandle, kCvRegModelName, model, sizeof model))
    return s;
  if (CvStatus s = CvQueryCameraRegister(cameraHandle, kCvRegCameraNumber, &number, sizeof number))
    return s;
  // The library may fill a text to the last byte without a terminator.
  vendor[sizeof vendor - 1] = '\0';
  model[sizeof model - 1] = '\0';
  std::snprintf(name, sizeof name, "%s %s %u", vendor, model, number);
  if (CvStatus s = CvQueryCameraRegister(cameraHandle, kCvRegSpeed, &speed, sizeof speed)) return s;
  if (CvStatus s =
          CvQueryCameraRegister(cameraHandle, kCvRegCommandBase, &commandBase, sizeof commandBase))
    return s;
  // A camera without a trigger leaves the word as it was (0); the status is not examined.
  CvReadQuad(cameraHandle, commandBase + csr::kTriggerInquiry, &triggerInquiry);

  VideoModeInquiry inquiry;
  if (CvStatus s =
          CvQueryCameraRegister(cameraHandle, kCvRegVideoModeInq, &inquiry, sizeof inquiry))
    return s;

  for (std::uint32_t f = 0; f < kFixedFormats; ++f) {
    if (!bitSet(inquiry.formats, f)) continue;
    for (std::uint32_t m = 0; m < 8; ++m) {
      if (!bitSet(inquiry.format[f].modes, m)) continue;
      for (std::uint32_t r = 0; r < 8; ++r)
        if (bitSet(inquiry.format[f].rates[m], r)) addFormat(imaqNew<CorvaneFormat>(f, m, r));
    }
  }

  // The Format 7 mode mask is not consulted: every mode is asked for its record,
  // and a mode the camera lacks simply fails the read.
  if (inquiry.formats & kFormat7Bit) {
    for (std::uint32_t m = 0; m < kFormat7Modes; ++m) {
      Format7ImageRecord image{};
      image.tag = CV_FORMAT7_IMAGE_TAG;
      Format7InfoRecord info{};
      info.tag = CV_FORMAT7_INFO_TAG;
      info.mode = m;
      info.speed = speed;
      info.image = &image;
      if (CvQueryCameraRegister(cameraHandle, kCvRegFormat7Info, &info, sizeof info) != 0) continue;
      for (std::uint32_t c = 0; c < kColorCodings; ++c)
        if (info.colorCodings & (0x80000000u >> c)) addFormat(imaqNew<CorvaneFormat>(info, c));
    }
  }
  makeNamesUnique();
  return 0;
}

// The host selects formats by name. Texts of the library that repeat (one text
// for two codings or rates), or that it does not give, must not make two
// formats one: every format whose name an earlier one has gets " #<its
// format identifier>" appended, until no two names are alike.
void CorvaneDevice::makeNamesUnique() {
  // At most 3 x 8 x 8 fixed formats and 8 x 11 Format 7 ones: no allocation.
  std::array<std::size_t, 3 * 8 * 8 + 8 * 11> order;
  const std::size_t count = std::min(formats.size(), order.size());
  if (count < 2) return;
  for (int round = 0; round < 4; ++round) {
    std::iota(order.begin(), order.begin() + count, std::size_t{0});
    // By name, then by place in the list: the first of equal names keeps it.
    std::sort(order.begin(), order.begin() + count, [&](std::size_t a, std::size_t b) {
      const int c = std::strcmp(formats[a]->name, formats[b]->name);
      return c != 0 ? c < 0 : a < b;
    });
    bool renamed = false;
    std::size_t first = 0;
    for (std::size_t i = 1; i < count; ++i) {
      CorvaneFormat& later = *formats[order[i]];
      if (std::strcmp(formats[order[first]]->name, later.name) != 0) {
        first = i;
        continue;
      }
      const std::size_t length = std::strlen(later.name);
      std::snprintf(later.name + length, sizeof later.name - length, " #%zu", order[i] + 1);
      renamed = true;
    }
    if (!renamed) return;
  }
}
