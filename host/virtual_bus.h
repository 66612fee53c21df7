// The virtual camera bus's own functions, found at run time in the camera bus
// library the program runs over. Beside the camera maker's library they are
// not there, and the program does without what needs them.
#pragma once

#include <cstdint>
#include <string>

#include "corvane_bus.h"

namespace host {

class VirtualBus {
 public:
  // The loaded BL1394's functions, looked up once.
  static const VirtualBus& find();

  // Whether the library is the virtual bus.
  bool present() const { return install_ != nullptr; }
  // Each REQUIRES present().
  bool install(const std::string& json, std::string& error) const;
  std::string description() const;
  bool setPulseRate(std::uint64_t cameraId, double hertz) const;
  CorvaneBusResources resources() const;
  // Why the bus file named at load was not installed; empty when it was.
  std::string startupError() const;

 private:
  CorvaneBusInstall install_ = nullptr;
  CorvaneBusDescription description_ = nullptr;
  CorvaneBusSetPulseRate pulseRate_ = nullptr;
  CorvaneBusReadResources resources_ = nullptr;
  CorvaneBusStartupError startupError_ = nullptr;
};

// "<what> needs the virtual camera bus; the camera bus library here is another."
std::string needsVirtualBus(const std::string& what);

}  // namespace host
