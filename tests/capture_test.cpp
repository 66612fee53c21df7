// Capture through the host: startCapture, stopCapture and the acquisition
// thread, frames checked by the sequence number and the scene in them.
#include <cmath>
#include <cstring>
#include <thread>

#include "acquisition.h"
#include "frame_source.h"
#include "host_fixture.h"
#include "iidc.h"
#include "image.h"
#include "picture.h"
#include "pixel_layout.h"

namespace {

constexpr std::uint64_t kBayer = sim::kBayerCamera;

class CaptureTest : public HostTest {
 protected:
  static std::uint32_t TriggerMode() {
    std::uint32_t word = 0;
    EXPECT_TRUE(sim::readCsr(kBayer, iidc::kTriggerMode, word));
    return word;
  }

  // A camera whose Format 7 mode offers every colour coding.
  static sim::CameraDesc EveryCoding(std::uint64_t id, std::uint8_t pattern) {
    sim::CameraDesc c = Camera(id);
    c.fixed.clear();
    c.filterPattern = pattern;
    c.format7 = {{0, 320, 240, 8, 2, 0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 4096}};
    return c;
  }
};

TEST_F(CaptureTest, FramesArriveInOrderWithRisingTimestampsAndNoLossUncounted) {
  host::VideoInput& input = Input("1", "640X480 Mono8 60 FPS");
  input.settings.framesPerTrigger = 12;
  OpenAndStart(input);
  std::vector<host::Frame> frames = Take(input, 12);
  ASSERT_EQ(12u, frames.size());
  EXPECT_TRUE(input.waitAndStop(3.0));
  // On a busy machine the thread may fall behind the camera: the library's
  // receive ring then drops its oldest frames, and counts each one it drops.
  const std::vector<CvEngineHandle> engines = sim::engines();
  ASSERT_EQ(1u, engines.size());
  sim::EngineStats stats;
  ASSERT_TRUE(sim::readEngine(engines[0], stats));
  EXPECT_EQ(12u, stats.framesDelivered) << "every frame the library gave reached the host";
  std::uint64_t gaps = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(640, frames[i].width);
    EXPECT_EQ(480, frames[i].height);
    EXPECT_EQ(0x11010000u, frames[i].frameType);
    if (i == 0) continue;
    ASSERT_GT(Sequence(frames[i]), Sequence(frames[i - 1]));
    gaps += Sequence(frames[i]) - Sequence(frames[i - 1]) - 1;
    EXPECT_GT(frames[i].time, frames[i - 1].time);
  }
  EXPECT_LE(gaps, stats.framesLost) << "frames missing that the library did not drop";
  EXPECT_EQ(12u, input.manager().framesCounted());
  EXPECT_TRUE(kit::reports().empty());
}

TEST_F(CaptureTest, EveryCodingAndBayerLayoutShowsTheScenesColours) {
  sim::BusDesc bus;
  bus.adapters.resize(1);
  for (std::uint8_t pattern = 1; pattern <= 4; ++pattern)
    bus.adapters[0].push_back(EveryCoding(pattern, pattern));
  Install(bus);
  sim::setFreeRunning(true);
  const char* names[] = {"Mono8", "YUV411",        "YUV422",       "YUV444", "RGB8", "Mono16",
                         "RGB16", "Signed Mono16", "Signed RGB16", "Raw8",   "Raw16"};
  static const double bars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                    {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  for (int camera = 1; camera <= 4; ++camera) {
    for (int coding = 0; coding < 11; ++coding) {
      // The codings without a mosaic need checking on one camera only.
      if (camera > 1 && coding < 9) continue;
      SCOPED_TRACE(std::string(names[coding]) + " on camera " + std::to_string(camera));
      host::VideoInput& input =
          Input(std::to_string(camera), std::string("VARIABLE_0 (320X240) ") + names[coding]);
      input.settings.framesPerTrigger = 1;
      OpenAndStart(input);
      std::vector<host::Frame> frames = Take(input, 1);
      input.waitAndStop(3.0);
      ASSERT_EQ(1u, frames.size());
      host::Picture picture;
      ASSERT_TRUE(host::decode(frames[0], picture));
      const bool mono = coding == 0 || coding == 5 || coding == 7;
      for (int bar = 0; bar < 8; ++bar) {
        const int x = 320 * (2 * bar + 1) / 16, y = 80;
        const std::uint8_t* p = &picture.rgb[(static_cast<std::size_t>(y) * 320 + x) * 3];
        double want[3] = {bars[bar][0] * 255, bars[bar][1] * 255, bars[bar][2] * 255};
        if (mono) want[0] = want[1] = want[2] = 0.299 * want[0] + 0.587 * want[1] + 0.114 * want[2];
        for (int c = 0; c < 3; ++c)
          EXPECT_NEAR(want[c], p[c], 6) << "bar " << bar << " channel " << c;
      }
      // Kept at its depth: the file read back holds exactly the decoded samples,
      // and a 16-bit mono frame's are the camera's own (signed ones offset by 32768).
      host::Image image, back;
      ASSERT_TRUE(host::decodeImage(frames[0], image));
      EXPECT_EQ(coding == 5 || coding == 6 || coding == 7 || coding == 8 || coding == 10 ? 16 : 8,
                image.depth);
      EXPECT_EQ(mono ? 1 : 3, image.channels);
      const std::string file = ::testing::TempDir() + "corvane_depth.png";
      std::string error;
      ASSERT_TRUE(host::writeImage(image, file, error)) << error;
      ASSERT_TRUE(host::readImage(file, back, error)) << error;
      EXPECT_EQ(image.depth, back.depth);
      EXPECT_EQ(image.channels, back.channels);
      EXPECT_TRUE(image.samples == back.samples);
      if (coding == 5 || coding == 7) {
        for (std::size_t i = 0; i < image.samples.size(); i += 997) {
          const auto raw =
              static_cast<std::uint16_t>(frames[0].data[2 * i] | frames[0].data[2 * i + 1] << 8);
          ASSERT_EQ(coding == 7 ? raw ^ 0x8000u : raw, image.samples[i]) << i;
        }
      }
      Destroy(input);
    }
  }
}

TEST_F(CaptureTest, Format7FramesHaveTheRegionsSizeAndContent) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) RGB8");
  std::string error;
  ASSERT_TRUE(input.setRoi(64, 32, 320, 240, error)) << error;
  input.settings.framesPerTrigger = 2;
  OpenAndStart(input);
  std::vector<host::Frame> frames = Take(input, 2);
  input.waitAndStop(3.0);
  ASSERT_EQ(2u, frames.size());
  for (const host::Frame& f : frames) {
    ASSERT_EQ(320, f.width);
    ASSERT_EQ(240, f.height);
    ASSERT_EQ(320u * 240 * 3, f.data.size());
    const std::uint32_t phase = Sequence(f) % sim::FrameRenderer::kPhases;
    for (int y = 3; y < 240; y += 29) {
      for (int x = 5; x < 320; x += 31) {
        const sim::SceneColour c = sim::scene(x + 64, y + 32, 640, 480, phase);
        const std::uint8_t* p = &f.data[(static_cast<std::size_t>(y) * 320 + x) * 3];
        EXPECT_EQ(std::lround(c.r * 255), p[0]);
        EXPECT_EQ(std::lround(c.g * 255), p[1]);
        EXPECT_EQ(std::lround(c.b * 255), p[2]);
      }
    }
  }
}

TEST_F(CaptureTest, FixedFormatFramesCarryTheRegionAtItsOffsets) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  std::string error;
  ASSERT_TRUE(input.setRoi(100, 200, 64, 48, error)) << error;  // within the colour bars
  input.settings.framesPerTrigger = 1;
  OpenAndStart(input);
  std::vector<host::Frame> frames = Take(input, 1);
  input.waitAndStop(3.0);
  ASSERT_EQ(1u, frames.size());
  ASSERT_EQ(64, frames[0].width);
  ASSERT_EQ(48, frames[0].height);
  for (int y = 0; y < 48; y += 7) {
    for (int x = 0; x < 64; x += 5) {
      const sim::SceneColour c = sim::scene(x + 100, y + 200, 640, 480, 0);
      EXPECT_EQ(std::lround((0.299 * c.r + 0.587 * c.g + 0.114 * c.b) * 255),
                frames[0].data[static_cast<std::size_t>(y) * 64 + x]);
    }
  }
}

TEST_F(CaptureTest, EachHardwareTriggerPulseGivesOneFrame) {
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  input.settings.framesPerTrigger = 3;
  input.engine().trigger().type = host::kHardwareTrigger;
  input.engine().trigger().condition = 1;  // Mode_1
  input.engine().trigger().source = 1;     // Source_1
  OpenAndStart(input);
  EXPECT_EQ(0x80000000u | 0x02000000u | (1u << 21) | (1u << 16), TriggerMode());
  host::Frame frame;
  EXPECT_FALSE(input.engine().takeFrame(frame, 0.1));
  std::vector<std::uint32_t> sequence;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(sim::pulseTrigger(kBayer));
    ASSERT_TRUE(input.engine().takeFrame(frame, 3.0));
    sequence.push_back(Sequence(frame));
    EXPECT_FALSE(input.engine().takeFrame(frame, 0.05));  // one frame per pulse
  }
  EXPECT_EQ(sequence[0] + 1, sequence[1]);
  EXPECT_EQ(sequence[1] + 1, sequence[2]);
  EXPECT_TRUE(input.waitAndStop(3.0));
  // Another configuration reprograms the register that was left on.
  input.engine().trigger().condition = 0;
  input.engine().trigger().source = 0;
  std::string error;
  ASSERT_TRUE(input.start(error)) << error;
  EXPECT_EQ(0x80000000u | 0x02000000u, TriggerMode());
  input.stop();
  // An immediate acquisition switches the hardware trigger off.
  input.engine().trigger().type = host::kImmediateTrigger;
  input.settings.framesPerTrigger = 1;
  ASSERT_TRUE(input.start(error)) << error;
  EXPECT_EQ(0x80000000u, TriggerMode());
  EXPECT_EQ(1u, Take(input, 1).size());
  input.waitAndStop(3.0);
}

TEST_F(CaptureTest, AStopEndsTheRunBeforeAnotherFrameIsDelivered) {
  host::VideoInput& input = Input("1", "640X480 Mono8 60 FPS");
  input.settings.framesPerTrigger = 0;  // until stopped
  OpenAndStart(input);
  ASSERT_EQ(3u, Take(input, 3).size());
  input.stop();
  const std::uint64_t delivered = input.engine().framesDelivered();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(delivered, input.engine().framesDelivered());
  sim::CameraState state;
  ASSERT_TRUE(sim::readCamera(sim::kMonoCamera, state));
  EXPECT_FALSE(state.running);
}

TEST_F(CaptureTest, StartAndStopOutOfTurnDoNothing) {
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  sim::setCallLog(true);
  EXPECT_FALSE(input.adaptor().startCapture());  // not open
  EXPECT_TRUE(input.adaptor().stopCapture());    // not acquiring
  EXPECT_TRUE(CallNames().empty());
  input.settings.framesPerTrigger = 0;
  OpenAndStart(input);
  sim::clearCallLog();
  EXPECT_TRUE(input.adaptor().startCapture());  // already acquiring
  EXPECT_TRUE(CallNames().empty());
  input.stop();
}

TEST_F(CaptureTest, StartStopsACameraThatAlreadyRunsAndStopWaitsForTheFrame) {
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  std::string error;
  ASSERT_TRUE(input.open(error)) << error;
  // Someone else's handle set the camera running.
  CvCameraHandle other = nullptr;
  const std::uint64_t id = kBayer;
  ASSERT_EQ(0u, CvOpenCameraHandleEx(1, &other, &id));
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  image.width = 64;
  image.height = 64;
  CameraStartupRecord startup{};
  startup.tag = CV_CAMERA_STARTUP_TAG;
  startup.formatNumber = 7;
  startup.mode = 1;
  startup.frameRate = -1;
  startup.channel = 40;
  startup.image = &image;
  ASSERT_EQ(0u, CvStartCamera(other, &startup));
  sim::setCallLog(true);
  input.settings.framesPerTrigger = 0;
  ASSERT_TRUE(input.start(error)) << error;
  // Stopped first, then the engine gives up what it finished before the start.
  EXPECT_EQ((std::vector<std::string>{"CvReadQuad", "CvIsCameraRunning", "CvStopCamera",
                                      "CvGetNextCompleteFrame", "CvStartCamera"}),
            CallNames());
  ASSERT_EQ(1u, Take(input, 1).size());
  sim::clearCallLog();
  input.stop();
  const std::vector<std::string> names = CallNames();
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ((std::vector<std::string>{"CvIsCameraRunning", "CvStopCamera"}),
            std::vector<std::string>(names.end() - 2, names.end()));
  ASSERT_EQ(0u, CvCloseCameraHandle(other));
}

TEST_F(CaptureTest, FramesTheHostDoesNotWantAreCountedNotDelivered) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  input.settings.framesPerTrigger = 3;
  input.settings.frameGrabInterval = 2;
  OpenAndStart(input);
  std::vector<host::Frame> frames = Take(input, 3);
  ASSERT_TRUE(input.waitAndStop(3.0));
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(Sequence(frames[0]) + 2, Sequence(frames[1]));
  EXPECT_EQ(Sequence(frames[1]) + 2, Sequence(frames[2]));
  EXPECT_EQ(5u, input.manager().framesCounted());
  EXPECT_EQ(3u, input.engine().framesDelivered());
}

TEST_F(CaptureTest, ATriggerThatNeverComesWarnsAtEveryFrameWait) {
  sim::setTimeoutScale(0.01);  // 2000 ms waits last 20 ms
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  input.engine().trigger().type = host::kHardwareTrigger;
  OpenAndStart(input);
  ASSERT_TRUE(WaitForReports(3));
  input.stop();
  const std::vector<std::string> reports = Reports();
  ASSERT_GE(reports.size(), 3u);
  for (const std::string& r : reports)
    EXPECT_EQ(
        "CorvaneImaq:acquireThread: Failed to receive frame from camera: Timed out waiting for a "
        "frame",
        r);
  EXPECT_EQ(0u, input.engine().framesDelivered());
}

TEST_F(CaptureTest, WithoutFrameBuffersFramesAreCountedWithOneWarningPerRun) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  input.engine().setMemoryLimit(0);
  input.settings.framesPerTrigger = 5;
  OpenAndStart(input);
  ASSERT_TRUE(input.waitAndStop(3.0));
  EXPECT_EQ(5u, input.manager().framesCounted());
  EXPECT_EQ(0u, input.engine().framesDelivered());
  const std::vector<std::string> reports = Reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(
      "CorvaneImaq:acquireThread: The host gave no frame buffer; frames are counted, not "
      "delivered.",
      reports[0]);
}

TEST_F(CaptureTest, AFrameWaitThatSucceedsWithoutAnImageIsAFailedWait) {
  sim::setFreeRunning(true);
  sim::setQuirks({-1, true});
  host::VideoInput& input = Input("1", "640X480 Mono8 30 FPS");
  input.settings.framesPerTrigger = 0;
  OpenAndStart(input);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  input.stop();
  EXPECT_EQ(0u, input.engine().framesDelivered());
  EXPECT_EQ(0u, input.manager().framesCounted());
  const std::vector<std::string> reports = Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ("CorvaneImaq:acquireThread: Failed to receive frame from camera: no image", reports[0]);
}

TEST_F(CaptureTest, ARegionSetWhileOpenWaitsForTheNextOpen) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("3", "VARIABLE_0 (640X480) YUV422");
  input.settings.framesPerTrigger = 1;
  OpenAndStart(input);
  std::string error;
  ASSERT_TRUE(input.setRoi(0, 0, 320, 240, error)) << error;
  std::vector<host::Frame> frames = Take(input, 1);
  input.waitAndStop(3.0);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(640, frames[0].width);
  EXPECT_EQ(640u * 480 * 2, frames[0].data.size());
  input.close();
  OpenAndStart(input);
  frames = Take(input, 1);
  input.waitAndStop(3.0);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(320, frames[0].width);
  EXPECT_EQ(320u * 240 * 2, frames[0].data.size());
}

TEST_F(CaptureTest, CloseNeverReturnsWhileTheThreadStillRuns) {
  // A frame wait of 12 s, longer than the 10 s closeDevice waits before it warns.
  sim::setTimeoutScale(6.0);
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  input.engine().trigger().type = host::kHardwareTrigger;  // and no pulse ever comes
  OpenAndStart(input);
  ASSERT_TRUE(WaitForFrameWait());
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(input.adaptor().closeDevice());
  const auto waited = std::chrono::steady_clock::now() - t0;
  input.manager().setOpen(false);
  EXPECT_GE(waited, std::chrono::seconds(10));
  // The warning comes first; then the wait the thread was in ends as it would.
  EXPECT_EQ((std::vector<std::string>{"CorvaneImaq:closeDevice: Image acquisition thread has not "
                                      "ended after 10000 ms; still waiting.",
                                      "CorvaneImaq:acquireThread: Failed to receive frame from "
                                      "camera: Timed out waiting for a frame"}),
            Reports());
  // The thread had ended when close returned: its engine is gone, nothing waits on it.
  EXPECT_EQ(0u, sim::resources().engines);
  sim::setTimeoutScale(1.0);
}

TEST_F(CaptureTest, AHundredCyclesLeakNothing) {
  sim::setFreeRunning(true);
  host::VideoInput& input = Input("2", "VARIABLE_1 (640X480) Raw8");
  input.settings.framesPerTrigger = 1;
  std::string error;
  ASSERT_TRUE(input.open(error));
  ASSERT_TRUE(input.start(error));
  ASSERT_EQ(1u, Take(input, 1).size());
  input.waitAndStop(3.0);
  input.close();
  const kit::Accounting before = kit::accounting();
  const std::size_t buffers = input.engine().buffersMade();
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(input.open(error)) << error;
    ASSERT_TRUE(input.start(error)) << error;
    ASSERT_EQ(1u, Take(input, 1).size());
    input.waitAndStop(3.0);
    input.close();
  }
  EXPECT_EQ(before.liveBlocks, kit::accounting().liveBlocks);
  EXPECT_EQ(before.liveSections, kit::accounting().liveSections);
  EXPECT_EQ(buffers, input.engine().buffersMade());
  EXPECT_EQ(0u, sim::resources().engines);
  EXPECT_EQ(0u, sim::resources().runningCameras);
  EXPECT_TRUE(kit::reports().empty());
}

}  // namespace
