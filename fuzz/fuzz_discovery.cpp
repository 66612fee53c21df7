// A camera's answers during discovery: identity texts, inquiry masks, Format 7
// records and counts, through getAvailHW; then the regions of interest of the
// formats it made.
#include <cstddef>
#include <cstdint>

#include "adaptor/exports.h"
#include "device/corvane_device.h"
#include "fuzz_common.h"
#include "hardware.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzQuiet();
  FuzzedDataProvider in(data, size);
  sim::BusDesc bus;
  bus.adapters.resize(in.ConsumeIntegralInRange<std::size_t>(0, 3));
  std::uint64_t id = 1;
  for (auto& adapter : bus.adapters)
    for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n)
      adapter.push_back(FuzzCamera(in, id++));
  if (!sim::installBus(bus)) return 0;
  sim::setCountOverstatement(in.ConsumeIntegralInRange<std::uint32_t>(0, 70));
  initializeAdaptor();
  {
    host::HardwareList hardware;
    getAvailHW(&hardware);
    for (host::DeviceEntry* device : hardware.devices()) {
      for (host::FormatEntry* entry : device->formats()) {
        auto* format = dynamic_cast<CorvaneFormat*>(entry->adaptorData());
        if (format == nullptr) __builtin_trap();
        format->isValidRoi(in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(),
                           in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>());
      }
    }
  }
  uninitializeAdaptor();
  sim::setCountOverstatement(0);
  return 0;
}
