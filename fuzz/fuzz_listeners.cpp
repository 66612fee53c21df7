// Property identifiers and values through the adaptor's listeners.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "acquisition.h"
#include "adaptor/corvane_adaptor.h"
#include "control/property_listeners.h"
#include "fuzz_common.h"

namespace {

struct Rig {
  Rig() {
    sim::installBus(sim::defaultBus());
    CvInitialize();
    host::installAdaptorManagerFactory();
    device = imaqNew<CorvaneDevice>(1u, sim::kBayerCamera);  // features and a trigger
    device->probe();
    adaptor = imaqNew<CorvaneAdaptor>(&engine, device, device->formats.front());
  }
  host::Engine engine;
  CorvaneDevice* device;
  CorvaneAdaptor* adaptor;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzQuiet();
  static Rig rig;  // one adaptor for the whole run: its cache grows as a host's would
  FuzzedDataProvider in(data, size);
  CorvanePropGetListener getter(rig.adaptor->link());
  CorvanePropSetListener setter(rig.adaptor->link());
  while (in.remaining_bytes() > 0) {
    host::PropertyFactory factory;
    IProperty* p = factory.createDoubleProperty("P", -1e9, 1e9, in.ConsumeFloatingPoint<double>());
    factory.setIdentifier(p, in.ConsumeIntegral<std::uint32_t>());
    factory.addProperty(p);
    std::unique_ptr<host::Property> property = factory.take().front()->clone(true);
    std::uint8_t value[8];
    const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
    std::memcpy(value, &bits, sizeof value);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:
        getter.getValue(property.get(), value);
        break;
      case 1:
        setter.notify(property.get(), value);
        break;
      default:
        rig.adaptor->SetTriggerRegister(in.ConsumeBool(), in.ConsumeIntegral<std::uint32_t>(),
                                        in.ConsumeIntegral<std::uint32_t>());
    }
  }
  kit::clearReports();
  return 0;
}
