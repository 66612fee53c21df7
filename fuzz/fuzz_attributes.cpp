// Feature inquiry and absolute records and the trigger inquiry word, through
// getDeviceAttributes into the host's property factory.
#include <cstddef>
#include <cstdint>

#include "adaptor/exports.h"
#include "fuzz_common.h"
#include "hardware.h"
#include "properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzQuiet();
  FuzzedDataProvider in(data, size);
  sim::BusDesc bus;
  bus.adapters = {{FuzzCamera(in, 1)}};
  if (!sim::installBus(bus)) return 0;
  initializeAdaptor();
  {
    host::HardwareList hardware;
    getAvailHW(&hardware);
    for (host::DeviceEntry* device : hardware.devices()) {
      host::PropertyFactory factory;
      host::SourceList sources;
      host::TriggerList triggers;
      getDeviceAttributes(device, "", &factory, &sources, &triggers);
      for (const auto& p : factory.take())
        if (p->name().size() >= 200) __builtin_trap();
      for (const auto& t : triggers.triggers)
        if (t.configuration.size() > 9 || t.source.size() > 8) __builtin_trap();
    }
  }
  uninitializeAdaptor();
  return 0;
}
