// Streaming on the virtual bus: frames in time and in order, free-running,
// hardware triggers, bandwidth, and the picture itself.
#include <chrono>
#include <cmath>
#include <thread>

#include "bus_fixture.h"
#include "frame_source.h"
#include "iidc.h"

namespace {

class StreamingTest : public BusTest {
 protected:
  static std::size_t MonoBytes() { return 640 * 480; }

  void StopAll(CvCameraHandle camera) { EXPECT_EQ(0u, CvStopCamera(camera)); }

  // The engine's completion time of the frame it handed out last.
  static double LastCompletion(CvEngineHandle engine) {
    sim::EngineStats stats;
    EXPECT_TRUE(sim::readEngine(engine, stats));
    return stats.lastCompletion;
  }
};

TEST_F(StreamingTest, FramesComeInOrderAtTheCamerasRateAndEveryLossIsCounted) {
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = Stream(camera, 1, Fixed(0, 5, 5, 0));  // 640x480 Mono8 at 60 fps
  std::uint8_t running = 0;
  ASSERT_EQ(0u, CvIsCameraRunning(camera, &running));
  EXPECT_EQ(1, running);
  std::vector<double> completions;
  std::vector<std::uint32_t> sequence;
  for (int i = 0; i < 6; ++i) {
    std::vector<std::uint32_t> one = Take(engine, 1, MonoBytes());
    ASSERT_EQ(1u, one.size());
    sequence.push_back(one[0]);
    completions.push_back(LastCompletion(engine));
  }
  for (std::size_t i = 1; i < sequence.size(); ++i) {
    ASSERT_GT(sequence[i], sequence[i - 1]);
    // Completions follow the camera's schedule exactly, whenever they are taken.
    EXPECT_NEAR((sequence[i] - sequence[i - 1]) / 60.0, completions[i] - completions[i - 1], 1e-6);
  }
  StopAll(camera);
  // A reader that falls behind (a busy machine) loses the oldest frames, and
  // each is counted: every frame up to the last taken was taken or counted lost.
  sim::EngineStats stats;
  ASSERT_TRUE(sim::readEngine(engine, stats));
  EXPECT_EQ(sequence.back() + 1u, sequence.size() + stats.framesLost);
}

TEST_F(StreamingTest, FreeRunningServesFramesAsFastAsTheyAreTaken) {
  sim::setFreeRunning(true);
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = Stream(camera, 1, Fixed(0, 5, 2, 0));  // 7.5 fps when not free-running
  std::vector<std::uint32_t> sequence = Take(engine, 500, MonoBytes());
  ASSERT_EQ(500u, sequence.size());
  for (std::size_t i = 1; i < sequence.size(); ++i) ASSERT_EQ(sequence[i - 1] + 1, sequence[i]);
  StopAll(camera);
}

TEST_F(StreamingTest, AFrameStaysIntactUntilLaterFramesReuseItsBuffer) {
  sim::setFreeRunning(true);
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = Stream(camera, 1, Fixed(0, 5, 4, 0));
  void* first = nullptr;
  ASSERT_EQ(0u, CvGetNextCompleteFrame(&first, engine, 1000));
  std::uint32_t seq0 = 0, seq = 0;
  ASSERT_TRUE(pixel::readSequence(static_cast<std::uint8_t*>(first), MonoBytes(), seq0));
  void* second = nullptr;
  ASSERT_EQ(0u, CvGetNextCompleteFrame(&second, engine, 1000));
  EXPECT_NE(first, second);
  ASSERT_TRUE(pixel::readSequence(static_cast<std::uint8_t*>(first), MonoBytes(), seq));
  EXPECT_EQ(seq0, seq);
  StopAll(camera);
}

TEST_F(StreamingTest, ASlowReaderLosesTheOldestFrames) {
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = Stream(camera, 1, Fixed(0, 5, 5, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // about 18 frames
  std::vector<std::uint32_t> first = Take(engine, 1, MonoBytes());
  ASSERT_EQ(1u, first.size());
  sim::EngineStats stats;
  ASSERT_TRUE(sim::readEngine(engine, stats));
  // The engine kept the newest frames; the first one taken follows the lost ones.
  EXPECT_GT(stats.framesLost, 0u);
  EXPECT_EQ(stats.framesLost, first[0]);
  std::vector<std::uint32_t> next = Take(engine, 1, MonoBytes());
  ASSERT_EQ(1u, next.size());
  EXPECT_GT(next[0], first[0]);
  StopAll(camera);
}

TEST_F(StreamingTest, AStoppedCameraSendsNothingAndARestartContinuesItsCount) {
  sim::setTimeoutScale(0.01);
  CvCameraHandle camera = Open(1, kMono);
  CameraStartupRecord startup = Fixed(0, 5, 5, 0);
  CvEngineHandle engine = Stream(camera, 1, startup);
  std::vector<std::uint32_t> before = Take(engine, 2, MonoBytes());
  StopAll(camera);
  void* image = nullptr;
  // Frames completed before the stop may still be waiting; then nothing comes.
  CvStatus status = 0;
  for (int i = 0; i < 10 && status == 0; ++i) status = CvGetNextCompleteFrame(&image, engine, 2000);
  EXPECT_EQ(sim::kTimeout, status);
  std::uint8_t channel;
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(camera, &channel));
  startup.channel = channel;
  ASSERT_EQ(0u, CvStartCamera(camera, &startup));
  std::vector<std::uint32_t> after = Take(engine, 1, MonoBytes());
  ASSERT_EQ(1u, after.size());
  ASSERT_EQ(2u, before.size());
  EXPECT_GT(after[0], before[1]);
  StopAll(camera);
}

TEST_F(StreamingTest, TriggeredCameraSendsOneFramePerPulse) {
  sim::setTimeoutScale(0.01);
  CvCameraHandle camera = Open(1, kBayer);
  const std::uint32_t base = 0xF0F00000u;
  ASSERT_EQ(0u,
            CvWriteQuad(camera, base + iidc::kTriggerMode, 0x82000000u | (1u << 21)));  // source 1
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  image.width = 640;
  image.height = 480;
  image.colorCoding = 9;
  const std::size_t bytes = 640 * 480;
  CvEngineHandle engine = Stream(camera, 1, Format7(0, 0, &image));
  void* frame = nullptr;
  EXPECT_EQ(sim::kTimeout, CvGetNextCompleteFrame(&frame, engine, 2000));
  ASSERT_TRUE(sim::pulseTrigger(kBayer, 0));  // the wrong line: ignored
  EXPECT_EQ(sim::kTimeout, CvGetNextCompleteFrame(&frame, engine, 2000));
  ASSERT_TRUE(sim::pulseTrigger(kBayer, 1));
  ASSERT_TRUE(sim::pulseTrigger(kBayer));  // while the first frame is sent: starts nothing
  std::vector<std::uint32_t> sequence = Take(engine, 1, bytes);
  sim::CameraState state;
  ASSERT_TRUE(sim::readCamera(kBayer, state));
  EXPECT_EQ(1u, state.pulsesIgnored);
  // Its 75 packets sent (9.4 ms), the next pulse starts the next frame.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(sim::pulseTrigger(kBayer));
  const std::vector<std::uint32_t> next = Take(engine, 1, bytes);
  sequence.insert(sequence.end(), next.begin(), next.end());
  ASSERT_EQ(2u, sequence.size());
  EXPECT_EQ(sequence[0] + 1, sequence[1]);
  EXPECT_EQ(sim::kTimeout, CvGetNextCompleteFrame(&frame, engine, 2000));

  ASSERT_TRUE(sim::setPulseRate(kBayer, 200));
  sequence = Take(engine, 5, bytes);
  EXPECT_EQ(5u, sequence.size());
  ASSERT_TRUE(sim::setPulseRate(kBayer, 0));
  StopAll(camera);
}

TEST_F(StreamingTest, BandwidthIsSharedByTheCamerasOfABus) {
  sim::BusDesc bus;
  sim::CameraDesc big;
  big.speed = kCvS400;
  big.format7 = {{0, 1024, 1024, 4, 2, 0, 0, {0}, 3000}};
  for (std::uint64_t id : {1, 2}) {
    big.id = id;
    bus.adapters.resize(1);
    bus.adapters[0].push_back(big);
  }
  Install(bus);
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  image.width = 1024;
  image.height = 1024;
  CvCameraHandle a = Open(1, 1);
  CvCameraHandle b = Open(1, 2);
  CameraStartupRecord sa = Format7(0, 0, &image), sb = Format7(0, 1, &image);
  ASSERT_EQ(0u, CvStartCamera(a, &sa));
  EXPECT_EQ(3000u, sim::resources().bandwidthUnitsInUse);
  EXPECT_EQ(sim::kNoBandwidth, CvStartCamera(b, &sb));  // 6000 units > 4915
  ASSERT_EQ(0u, CvStopCamera(a));
  EXPECT_EQ(0u, CvStartCamera(b, &sb));
  ASSERT_EQ(0u, CvStopCamera(b));
}

TEST_F(StreamingTest, Format7SendsTheRegionOfTheSensor) {
  sim::setFreeRunning(true);
  CvCameraHandle camera = Open(2, kYuv);
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  image.width = 64;
  image.height = 32;
  image.left = 320;
  image.top = 8;
  image.colorCoding = 4;  // RGB8
  CvEngineHandle engine = Stream(camera, 2, Format7(0, 0, &image));
  void* frame = nullptr;
  ASSERT_EQ(0u, CvGetNextCompleteFrame(&frame, engine, 1000));
  std::uint32_t seq = 0;
  ASSERT_TRUE(pixel::readSequence(static_cast<std::uint8_t*>(frame), 64 * 32 * 3, seq));
  const auto* rgb = static_cast<const std::uint8_t*>(frame);
  for (std::uint32_t y = 1; y < 32; y += 7) {
    for (std::uint32_t x = 3; x < 64; x += 9) {
      const sim::SceneColour c = sim::scene(x + 320, y + 8, 640, 480, seq % 8);
      const std::uint8_t* p = rgb + (y * 64 + x) * 3;
      EXPECT_EQ(std::lround(c.r * 255), p[0]);
      EXPECT_EQ(std::lround(c.g * 255), p[1]);
      EXPECT_EQ(std::lround(c.b * 255), p[2]);
    }
  }
  StopAll(camera);
}

TEST_F(StreamingTest, RawFramesAreABayerMosaicInTheCamerasFilterPattern) {
  sim::setFreeRunning(true);
  CvCameraHandle camera = Open(1, kBayer);
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  image.width = 1280;
  image.height = 960;
  image.colorCoding = 9;
  CvEngineHandle engine = Stream(camera, 1, Format7(0, 0, &image));
  void* frame = nullptr;
  ASSERT_EQ(0u, CvGetNextCompleteFrame(&frame, engine, 1000));
  const auto* raw = static_cast<const std::uint8_t*>(frame);
  // Pattern 1 is RGGB: in the red bar (the sixth of eight) red sites are full, blue ones empty.
  const std::uint32_t x = 1280 * 5 / 8 + 10, y = 100;
  EXPECT_EQ(255, raw[y * 1280 + x]);          // even row, even column: red
  EXPECT_EQ(0, raw[y * 1280 + x + 1]);        // green
  EXPECT_EQ(0, raw[(y + 1) * 1280 + x + 1]);  // blue
  StopAll(camera);
}

TEST_F(StreamingTest, BrightnessGainAndShutterShowInThePicture) {
  sim::setFreeRunning(true);
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = Stream(camera, 1, Fixed(0, 5, 4, 0));
  // Mean of a grey-ramp patch, away from the stamp and the moving square.
  auto patch = [&] {
    void* frame = nullptr;
    EXPECT_EQ(0u, CvGetNextCompleteFrame(&frame, engine, 1000));
    const auto* mono = static_cast<const std::uint8_t*>(frame);
    double sum = 0;
    for (int y = 330; y < 340; ++y)
      for (int x = 300; x < 340; ++x) sum += mono[y * 640 + x];
    return sum / 400;
  };
  const double start = patch();
  auto setValue = [&](std::uint32_t id, std::uint32_t value) {
    FeatureControlRecord r;
    ASSERT_EQ(0u, CvQueryCameraRegister(camera, id, &r, 28));
    r.value = value;
    ASSERT_EQ(0u, CvSetCameraRegister(camera, id, &r, 28));
  };
  setValue(0x00080000, 200);  // Brightness up from 128
  const double brighter = patch();
  EXPECT_GT(brighter, start + 20);
  setValue(0x00080000, 128);
  setValue(0x00082008, 340);  // Gain up by half its range
  EXPECT_GT(patch(), start * 1.5);
  setValue(0x00082008, 0);
  setValue(0x00081C07, 500);  // Shutter shorter
  EXPECT_LT(patch(), start * 0.9);
  StopAll(camera);
}

TEST_F(StreamingTest, AnUnpluggedCameraStopsAndItsEngineTimesOut) {
  sim::setTimeoutScale(0.01);
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = Stream(camera, 1, Fixed(0, 5, 5, 0));
  ASSERT_EQ(1u, Take(engine, 1, MonoBytes()).size());
  ASSERT_TRUE(sim::unplug(kMono));
  void* frame = nullptr;
  EXPECT_EQ(sim::kTimeout, CvGetNextCompleteFrame(&frame, engine, 2000));
  EXPECT_EQ(0u, sim::resources().runningCameras);
  EXPECT_EQ(0u, sim::resources().bandwidthUnitsInUse);
  ASSERT_TRUE(sim::replug(kMono));
}

TEST_F(StreamingTest, DeletingAnEngineWakesItsWaiter) {
  CvCameraHandle camera = Open(1, kMono);
  CvEngineHandle engine = NewEngine();
  CameraStartupRecord s = Fixed(0, 5, 5, 3);
  ASSERT_EQ(0u, CvStartIsochReceiveEngine(engine, &s, 1));
  CvStatus waited = 0;
  std::thread waiter([&] {
    void* frame = nullptr;
    waited = CvGetNextCompleteFrame(&frame, engine, 5000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(0u, CvDeleteIsochReceiveEngine(engine));
  engines_.clear();
  waiter.join();
  EXPECT_EQ(sim::kInvalidHandle, waited);
  (void)camera;
}

TEST_F(StreamingTest, DualPacketModeIsAnEngineOptionSetBeforeItStarts) {
  CvEngineHandle engine = NewEngine();
  const std::uint32_t caps = 1;
  ASSERT_EQ(0u, CvSetIsochEngineOption(engine, kCvDualPacketMode, &caps));
  sim::EngineStats stats;
  ASSERT_TRUE(sim::readEngine(engine, stats));
  EXPECT_TRUE(stats.dualPacket);
  CameraStartupRecord s = Fixed(0, 5, 5, 3);
  ASSERT_EQ(0u, CvStartIsochReceiveEngine(engine, &s, 1));
  EXPECT_EQ(sim::kBusy, CvSetIsochEngineOption(engine, kCvDualPacketMode, &caps));
  EXPECT_EQ(0u, CvStopIsochReceiveEngine(engine));
}

}  // namespace
