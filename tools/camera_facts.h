// What the camera bus library tells of a device's camera through its C API,
// asked beside the module: the speed, and a Format 7 mode's limits and packet
// size. The camera is found by the device name the module gives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct Format7Facts {
  std::uint32_t mode = 0;
  std::uint32_t maxWidth = 0, maxHeight = 0;
  std::uint32_t widthUnit = 0, heightUnit = 0, offsetXUnit = 0, offsetYUnit = 0;
  std::uint32_t packetSize = 0;
};

struct CameraFacts {
  bool found = false;
  std::uint8_t speed = 0;
  std::vector<Format7Facts> format7;  // the modes that answer, in order
};

CameraFacts cameraFacts(const std::string& deviceName);
// The Format 7 mode of a format name ("VARIABLE_3 (...) ..."), or -1.
int format7ModeOf(const std::string& formatName);
// "S400" and so on.
const char* speedText(std::uint8_t speed);

}  // namespace tool
