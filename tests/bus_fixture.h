// A fixture for tests against the virtual bus through its C API: installs a
// bus, starts the library, and at the end proves that nothing was left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bl1394.h"
#include "control.h"
#include "pixel_layout.h"

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(sim::defaultBus()); }

  void TearDown() override {
    for (CvEngineHandle e : engines_) CvDeleteIsochReceiveEngine(e);
    for (CvCameraHandle h : handles_) CvCloseCameraHandle(h);
    const sim::Resources left = sim::resources();
    EXPECT_EQ(0u, left.openHandles);
    EXPECT_EQ(0u, left.engines);
    EXPECT_EQ(0u, left.reservedChannels);
    EXPECT_EQ(0u, left.runningCameras);
    EXPECT_EQ(0u, left.bandwidthUnitsInUse);
    while (sim::resources().initialized) CvTerminate();
    sim::clearFaults();
    sim::setCallLog(false);
    sim::clearCallLog();
    sim::setFreeRunning(false);
    sim::setTimeoutScale(1.0);
  }

  void Install(const sim::BusDesc& bus) {
    while (sim::resources().initialized) CvTerminate();
    std::string error;
    ASSERT_TRUE(sim::installBus(bus, &error)) << error;
    handles_.clear();
    engines_.clear();
    ASSERT_EQ(0u, CvInitialize());
  }

  // Opens a camera of the installed bus; closed at the end of the test.
  CvCameraHandle Open(std::uint32_t adapter, std::uint64_t id) {
    CvCameraHandle handle = nullptr;
    EXPECT_EQ(0u, CvOpenCameraHandleEx(adapter, &handle, &id));
    if (handle) handles_.push_back(handle);
    return handle;
  }

  void Close(CvCameraHandle handle) {
    EXPECT_EQ(0u, CvCloseCameraHandle(handle));
    std::erase(handles_, handle);
  }

  CvEngineHandle NewEngine() {
    CvEngineHandle engine = nullptr;
    EXPECT_EQ(0u, CvCreateIsochReceiveEngine(&engine));
    if (engine) engines_.push_back(engine);
    return engine;
  }

  static CameraStartupRecord Fixed(std::uint32_t format, std::uint32_t mode, std::int32_t rate,
                                   std::uint8_t channel) {
    CameraStartupRecord s{};
    s.tag = CV_CAMERA_STARTUP_TAG;
    s.formatNumber = format;
    s.mode = mode;
    s.frameRate = rate;
    s.channel = channel;
    s.flag = 1;
    return s;
  }

  static CameraStartupRecord Format7(std::uint32_t mode, std::uint8_t channel,
                                     Format7ImageRecord* image) {
    CameraStartupRecord s = Fixed(7, mode, -1, channel);
    s.image = image;
    return s;
  }

  // Reserves a channel, starts an engine on it and the camera in that format.
  CvEngineHandle Stream(CvCameraHandle camera, std::uint32_t adapter, CameraStartupRecord startup) {
    std::uint8_t channel = 255;
    EXPECT_EQ(0u, CvGetAvailableIsoChannel(camera, &channel));
    startup.channel = channel;
    CvEngineHandle engine = NewEngine();
    EXPECT_EQ(0u, CvStartIsochReceiveEngine(engine, &startup, adapter));
    EXPECT_EQ(0u, CvStartCamera(camera, &startup));
    return engine;
  }

  // The sequence numbers of the next n frames of an engine.
  static std::vector<std::uint32_t> Take(CvEngineHandle engine, int n, std::size_t bytes) {
    std::vector<std::uint32_t> sequence;
    for (int i = 0; i < n; ++i) {
      void* image = nullptr;
      const CvStatus status = CvGetNextCompleteFrame(&image, engine, 2000);
      EXPECT_EQ(0u, status) << CvStatusStringA(status);
      if (status != 0) break;
      std::uint32_t seq = 0;
      if (status == 0 && pixel::readSequence(static_cast<const std::uint8_t*>(image), bytes, seq))
        sequence.push_back(seq);
    }
    return sequence;
  }

  static constexpr std::uint64_t kMono = sim::kMonoCamera;
  static constexpr std::uint64_t kBayer = sim::kBayerCamera;
  static constexpr std::uint64_t kYuv = sim::kYuvCamera;

  std::vector<CvCameraHandle> handles_;
  std::vector<CvEngineHandle> engines_;
};
