#include "virtual_bus.h"

#include <cstring>
#include <vector>

#include "module.h"

namespace host {
namespace {

template <class Fn>
void lookUp(const char* name, Fn& target) {
  void* symbol = platform::findLoadedSymbol(platform::kBusLibraryFileName, name);
  static_assert(sizeof target == sizeof symbol);
  std::memcpy(&target, &symbol, sizeof target);
}

}  // namespace

const VirtualBus& VirtualBus::find() {
  static const VirtualBus bus = [] {
    VirtualBus b;
    lookUp(CORVANE_BUS_INSTALL, b.install_);
    lookUp(CORVANE_BUS_DESCRIPTION, b.description_);
    lookUp(CORVANE_BUS_SET_PULSE_RATE, b.pulseRate_);
    lookUp(CORVANE_BUS_READ_RESOURCES, b.resources_);
    lookUp(CORVANE_BUS_STARTUP_ERROR, b.startupError_);
    // All or nothing: a library with some of them is not the virtual bus.
    if (!b.install_ || !b.description_ || !b.pulseRate_ || !b.resources_ || !b.startupError_)
      b = VirtualBus{};
    return b;
  }();
  return bus;
}

bool VirtualBus::install(const std::string& json, std::string& error) const {
  char why[512] = {};
  if (install_(json.c_str(), why, sizeof why) == 0) return true;
  error = why;
  return false;
}

std::string VirtualBus::description() const {
  std::vector<char> text(description_(nullptr, 0) + 1);
  description_(text.data(), text.size());
  return text.data();
}

bool VirtualBus::setPulseRate(std::uint64_t cameraId, double hertz) const {
  return pulseRate_(cameraId, hertz) == 0;
}

CorvaneBusResources VirtualBus::resources() const {
  CorvaneBusResources r{};
  resources_(&r);
  return r;
}

std::string VirtualBus::startupError() const {
  std::vector<char> text(startupError_(nullptr, 0) + 1);
  startupError_(text.data(), text.size());
  return text.data();
}

std::string needsVirtualBus(const std::string& what) {
  return what + " needs the virtual camera bus; the camera bus library here is another";
}

}  // namespace host
