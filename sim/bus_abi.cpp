// The virtual bus's own C functions (corvane_bus.h): what a program that finds
// them at run time may ask of the bus beside the Cv functions.
#include <cstring>
#include <exception>

#include "bl1394.h"
#include "bus.h"
#include "control.h"
#include "corvane_bus.h"

namespace {

void copy(const std::string& text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace

extern "C" {

BL1394_API int corvaneBusInstall(const char* json, char* error, size_t errorSize) {
  try {
    sim::BusDesc bus;
    std::string problem;
    if (json == nullptr || !sim::parseBus(json, bus, problem) || !sim::installBus(bus, &problem)) {
      copy(json == nullptr ? "no description" : problem, error, errorSize);
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    copy(e.what(), error, errorSize);
    return 1;
  }
}

BL1394_API size_t corvaneBusDescription(char* buffer, size_t size) {
  try {
    const std::string json = sim::busToJson(sim::installedBus());
    if (json.size() < size) copy(json, buffer, size);
    return json.size();
  } catch (...) {
    return 0;
  }
}

BL1394_API int corvaneBusSetPulseRate(uint64_t cameraId, double hertz) {
  return sim::setPulseRate(cameraId, hertz) ? 0 : 1;
}

BL1394_API size_t corvaneBusStartupError(char* buffer, size_t size) {
  try {
    const std::string error = sim::Bus::get().startupError();
    if (error.size() < size) copy(error, buffer, size);
    return error.size();
  } catch (...) {
    return 0;
  }
}

BL1394_API int corvaneBusReadResources(CorvaneBusResources* resources) {
  if (resources == nullptr) return 1;
  const sim::Resources r = sim::resources();
  *resources = {r.openHandles, r.reservedChannels, r.engines, r.runningCameras};
  return 0;
}

BL1394_API int corvaneBusLostBefore(uint64_t cameraId, uint64_t frame, uint64_t* lost) {
  if (lost == nullptr) return 1;
  try {
    std::uint64_t n = 0;
    if (!sim::lostBefore(cameraId, frame, n)) return 1;
    *lost = n;
    return 0;
  } catch (...) {
    return 1;
  }
}

}  // extern "C"
