#include "control/feature_table.h"

#include <initializer_list>

#include "platform/bl1394.h"

const FeatureEntry FeatureTable[18] = {{0x00050000, 0x00080000, "Brightness"},
                                       {0x00050401, 0x00080401, "Auto_Exposure"},
                                       {0x00050802, 0x00080802, "Sharpness"},
                                       {0x00050C03, 0x00080C03, "Color_UB"},
                                       {0x00050C83, 0x00080C83, "Color_VR"},
                                       {0x00051004, 0x00081004, "Hue"},
                                       {0x00051405, 0x00081405, "Saturation"},
                                       {0x00051806, 0x00081806, "Gamma"},
                                       {0x00051C07, 0x00081C07, "Shutter"},
                                       {0x00052008, 0x00082008, "Gain"},
                                       {0x00052409, 0x00082409, "Iris"},
                                       {0x0005280A, 0x0008280A, "Focus"},
                                       {0x00052C0B, 0x00082C0B, "Temperature"},
                                       {0x0005800C, 0x0008800C, "Zoom"},
                                       {0x0005840D, 0x0008840D, "Pan"},
                                       {0x0005880E, 0x0008880E, "Tilt"},
                                       {0x00058C0F, 0x00088C0F, "Optical_Filter"},
                                       {0, 0, nullptr}};

std::uint32_t sharingRegisterId(std::uint32_t registerId) {
  constexpr std::uint32_t kColorUB = 0x00050C03, kColorVR = 0x00050C83;
  for (std::uint32_t offset : {kCvFeatureControlOffset, kCvFeatureAbsoluteOffset}) {
    if (registerId == kColorUB + offset) return kColorVR + offset;
    if (registerId == kColorVR + offset) return kColorUB + offset;
  }
  return 0;
}

namespace PropertyId {

Decoded decode(std::uint32_t id) {
  if ((id & kAbsoluteValueMarker) == kAbsoluteValueMarker)
    return {Kind::kAbsoluteValue, (id & 0x7EFFFFFFu) + kCvFeatureAbsoluteOffset};
  if (id & kValueMarker) return {Kind::kValue, (id & 0x7FFFFFFFu) + kCvFeatureControlOffset};
  if (id & kTypeMarker) return {Kind::kType, (id & 0xBFFFFFFFu) + kCvFeatureControlOffset};
  if (id & kModeMarker) return {Kind::kMode, (id & 0xDFFFFFFFu) + kCvFeatureControlOffset};
  if (id & kStateMarker) return {Kind::kState, (id & 0xEFFFFFFFu) + kCvFeatureControlOffset};
  return {Kind::kNone, 0};
}

}  // namespace PropertyId
