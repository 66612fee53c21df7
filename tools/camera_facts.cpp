#include "camera_facts.h"

#include <cstdio>
#include <cstring>

#include "bl1394.h"

namespace tool {

const char* speedText(std::uint8_t speed) {
  static const char* const names[] = {"S100", "S200", "S400", "S800", "S1600", "S3200"};
  return speed < 6 ? names[speed] : "S?";
}

int format7ModeOf(const std::string& formatName) {
  unsigned mode = 0;
  return std::sscanf(formatName.c_str(), "VARIABLE_%u", &mode) == 1 && mode < 8
             ? static_cast<int>(mode)
             : -1;
}

CameraFacts cameraFacts(const std::string& deviceName) {
  CameraFacts facts;
  if (CvInitialize() != 0) {
    CvTerminate();
    return facts;
  }
  for (std::uint32_t adapter = 1; adapter <= 64 && !facts.found; ++adapter) {
    std::uint64_t ids[CV_MAX_CAMERAS_PER_ADAPTER] = {};
    std::uint32_t count = CV_MAX_CAMERAS_PER_ADAPTER;
    if (CvLocateCamerasEx(adapter, ids, 0, &count) == CV_NO_SUCH_ADAPTER) break;
    for (std::uint32_t i = 0; i < count && i < CV_MAX_CAMERAS_PER_ADAPTER && !facts.found; ++i) {
      CvCameraHandle h = nullptr;
      if (CvOpenCameraHandleEx(adapter, &h, &ids[i]) != 0) continue;
      // The name as the module makes it: vendor, model, number.
      char vendor[64] = {}, model[64] = {}, name[160];
      std::uint32_t number = 0;
      CvQueryCameraRegister(h, kCvRegVendorName, vendor, sizeof vendor);
      CvQueryCameraRegister(h, kCvRegModelName, model, sizeof model);
      CvQueryCameraRegister(h, kCvRegCameraNumber, &number, sizeof number);
      vendor[63] = model[63] = '\0';
      std::snprintf(name, sizeof name, "%s %s %u", vendor, model, number);
      if (deviceName == name) {
        facts.found = CvQueryCameraRegister(h, kCvRegSpeed, &facts.speed, 1) == 0;
        for (std::uint32_t mode = 0; mode < 8; ++mode) {
          Format7ImageRecord image{};
          image.tag = CV_FORMAT7_IMAGE_TAG;
          Format7InfoRecord info{};
          info.tag = CV_FORMAT7_INFO_TAG;
          info.mode = mode;
          info.speed = facts.speed;
          info.image = &image;
          if (CvQueryCameraRegister(h, kCvRegFormat7Info, &info, sizeof info) != 0) continue;
          facts.format7.push_back(
              {mode, info.maxWidth, info.maxHeight, info.widthUnit, info.heightUnit,
               info.offsetXUnit ? info.offsetXUnit : info.widthUnit,
               info.offsetYUnit ? info.offsetYUnit : info.heightUnit, info.packetSize});
        }
      }
      CvCloseCameraHandle(h);
    }
  }
  CvTerminate();
  return facts;
}

}  // namespace tool
