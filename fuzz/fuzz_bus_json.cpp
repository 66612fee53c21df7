// Bus description files as the host tool reads them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::BusDesc bus;
  std::string error;
  if (sim::parseBus(text, bus, error)) {
    // What parses is sound, and survives its own JSON.
    if (!sim::validateBus(bus).empty()) __builtin_trap();
    sim::BusDesc again;
    if (!sim::parseBus(sim::busToJson(bus), again, error)) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
