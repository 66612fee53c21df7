// Discovery through the module: time per camera for a small and a full bus,
// every camera with 280 formats (192 fixed, 88 Format 7).
#include <benchmark/benchmark.h>

#include <string>

#include "control.h"
#include "kit.h"
#include "session.h"

namespace {

sim::BusDesc busOf(int adapters, int camerasEach) {
  sim::CameraDesc c;
  for (std::uint32_t f = 0; f < 3; ++f)
    for (std::uint32_t m = 0; m < 8; ++m) c.fixed.push_back({f, m, {0, 1, 2, 3, 4, 5, 6, 7}});
  for (std::uint32_t m = 0; m < 8; ++m)
    c.format7.push_back({m,
                         static_cast<std::uint16_t>(640 + 16 * m),
                         480,
                         8,
                         2,
                         0,
                         0,
                         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                         2048});
  sim::BusDesc bus;
  for (int a = 0; a < adapters; ++a) {
    bus.adapters.emplace_back();
    for (int i = 0; i < camerasEach; ++i) {
      c.id = static_cast<std::uint64_t>(a * 100 + i + 1);
      bus.adapters.back().push_back(c);
    }
  }
  return bus;
}

void Discovery(benchmark::State& state) {
  const int adapters = static_cast<int>(state.range(0));
  const int each = static_cast<int>(state.range(1));
  sim::installBus(busOf(adapters, each));
  kit::setReportEcho(false);
  host::Session session;
  std::string error;
  if (!session.start(host::Module::defaultPath(), error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    session.discover();
    benchmark::DoNotOptimize(session.hardware().devices().size());
    state.PauseTiming();
    session.release();
    state.ResumeTiming();
  }
  const double cameras = static_cast<double>(adapters * each);
  state.counters["per_camera"] =
      benchmark::Counter(cameras * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(Discovery)->Args({1, 8})->Args({4, 62})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
