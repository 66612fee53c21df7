// A register read answered from the adaptor's cache against one that goes to
// the (virtual) camera.
#include <benchmark/benchmark.h>

#include "acquisition.h"
#include "adaptor/corvane_adaptor.h"
#include "control.h"
#include "kit.h"

namespace {

constexpr std::uint64_t kMono = sim::kMonoCamera;
constexpr std::uint32_t kGainControl = 0x00082008;

struct Rig {
  Rig() {
    sim::installBus(sim::defaultBus());
    CvInitialize();
    host::installAdaptorManagerFactory();
    device = imaqNew<CorvaneDevice>(1u, kMono);
    device->probe();
    adaptor = imaqNew<CorvaneAdaptor>(&engine, device, device->formats.front());
  }
  ~Rig() {
    delete adaptor;
    for (CorvaneFormat* f : device->formats) delete f;
    delete device;
    CvTerminate();
  }
  host::Engine engine;
  CorvaneDevice* device;
  CorvaneAdaptor* adaptor;
};

void CachedControlRead(benchmark::State& state) {
  Rig rig;
  FeatureControlRecord record{};
  rig.adaptor->GetControlRegister(kGainControl, record);
  for (auto _ : state) {
    rig.adaptor->GetControlRegister(kGainControl, record);
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(CachedControlRead);

void UncachedControlRead(benchmark::State& state) {
  Rig rig;
  FeatureControlRecord record{};
  for (auto _ : state) {
    CvQueryCameraRegister(rig.device->cameraHandle, kGainControl, &record, sizeof record);
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(UncachedControlRead);

}  // namespace

BENCHMARK_MAIN();
