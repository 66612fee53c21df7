// One discovered camera. The probe opens it and keeps it open for the
// object's life; every later access goes through cameraHandle.
#pragma once

#include <cstdint>
#include <vector>

#include "device/corvane_format.h"
#include "platform/bl1394.h"
#include "platform/imaqkit.h"

class CorvaneDevice : public imaqkit::Implements<IMAQInterface> {
 public:
  static constexpr std::size_t kNameSize = 160;

  CorvaneDevice(std::uint32_t adapter, std::uint64_t camera);
  // Closes the camera; the formats belong to the host's format entries.
  ~CorvaneDevice() override;
  CorvaneDevice(const CorvaneDevice&) = delete;
  CorvaneDevice& operator=(const CorvaneDevice&) = delete;

  // Opens the camera, reads its identity and inquiry registers and builds its
  // formats: fixed formats by format, mode and rate, then Format 7 formats by
  // mode and colour coding. Returns 0, or the library status that ended it.
  CvStatus probe();

  std::vector<CorvaneFormat*> formats;
  std::uint8_t speed = 0;
  std::uint32_t adapterNumber = 0;
  std::uint64_t cameraId = 0;
  CvCameraHandle cameraHandle = nullptr;
  char name[kNameSize] = {};
  std::uint32_t commandBase = 0;
  std::uint32_t triggerInquiry = 0;

 private:
  // Appends a format made by imaqNew; a format that cannot be made or listed is left out.
  void addFormat(CorvaneFormat* format);
  void makeNamesUnique();
};
