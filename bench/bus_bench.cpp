// Speed of the virtual bus itself: how fast a free-running camera serves frames.
#include <benchmark/benchmark.h>

#include "bl1394.h"
#include "control.h"

namespace {

void FreeRunningFrames(benchmark::State& state) {
  sim::installBus(sim::defaultBus());
  sim::setFreeRunning(true);
  CvInitialize();
  const std::uint64_t id = sim::kMonoCamera;  // 640x480 Mono8 camera
  CvCameraHandle camera = nullptr;
  CvOpenCameraHandleEx(1, &camera, &id);
  std::uint8_t channel = 255;
  CvGetAvailableIsoChannel(camera, &channel);
  CameraStartupRecord startup{};
  startup.tag = CV_CAMERA_STARTUP_TAG;
  startup.mode = 5;
  startup.frameRate = 4;
  startup.channel = channel;
  startup.flag = 1;
  CvEngineHandle engine = nullptr;
  CvCreateIsochReceiveEngine(&engine);
  CvStartIsochReceiveEngine(engine, &startup, 1);
  CvStartCamera(camera, &startup);
  void* image = nullptr;
  for (auto _ : state) {
    if (CvGetNextCompleteFrame(&image, engine, 1000) != 0) state.SkipWithError("no frame");
    benchmark::DoNotOptimize(image);
  }
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  CvStopCamera(camera);
  CvDeleteIsochReceiveEngine(engine);
  CvCloseCameraHandle(camera);
  CvTerminate();
  sim::setFreeRunning(false);
}
BENCHMARK(FreeRunningFrames)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
