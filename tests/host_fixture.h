// A fixture for tests that drive the module the way a host does: loaded at run
// time from beside the test program, against the virtual bus. At the end it
// proves that the module left nothing behind: no host block, no camera handle,
// channel or engine, no broken kit rule.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "acquisition.h"
#include "control.h"
#include "kit.h"
#include "pixel_layout.h"
#include "session.h"

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::setReportEcho(false);
    kit::clearReports();
    kit::clearViolations();
    sim::clearFaults();
    std::string error;
    ASSERT_TRUE(sim::installBus(sim::defaultBus(), &error)) << error;
    baseline_ = kit::accounting();
    ASSERT_TRUE(session_.start(host::Module::defaultPath(), error)) << error;
    image_ = session_.module().image();
    // A sanitizer starts a thread of its own with the first one a program
    // makes: made (and ended) here, it is not counted as the module's.
    std::thread([] {}).join();
    threads_ = host::platform::threadCount(image_.first, image_.second);
  }

  void TearDown() override {
    inputs_.clear();  // adaptors go before the devices they use
    session_.stop();
    const kit::Accounting after = kit::accounting();
    EXPECT_EQ(baseline_.liveBlocks, after.liveBlocks) << "host blocks leaked";
    EXPECT_EQ(baseline_.liveSections, after.liveSections) << "critical sections leaked";
    const sim::Resources left = sim::resources();
    EXPECT_EQ(0u, left.openHandles);
    EXPECT_EQ(0u, left.engines);
    EXPECT_EQ(0u, left.reservedChannels);
    EXPECT_EQ(0u, left.runningCameras);
    EXPECT_FALSE(left.initialized) << "the library was left initialised";
    // A thread that has been joined may still be listed while the system reaps it.
    const auto reaped = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto threads = [&] { return host::platform::threadCount(image_.first, image_.second); };
    while (threads() > threads_ && std::chrono::steady_clock::now() < reaped)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_LE(threads(), threads_) << "threads left running";
    EXPECT_TRUE(kit::violations().empty()) << kit::violations().front();
    sim::clearFaults();
    sim::setCountOverstatement(0);
    sim::setQuirks({});
    sim::setLibraryQuirks({});
    kit::holdExplicitEnters(false);
    sim::setCallLog(false);
    sim::clearCallLog();
    sim::setFreeRunning(false);
    sim::setTimeoutScale(1.0);
    kit::failAllocation(0);
    kit::failLockHolders(false);
    kit::failCriticalSections(0);
    host::installAdaptorManagerFactory();
    kit::setReportEcho(true);
  }

  // Installs a bus; call before Discover.
  void Install(const sim::BusDesc& bus) {
    std::string error;
    ASSERT_TRUE(sim::installBus(bus, &error)) << error;
  }

  host::HardwareList& Discover() {
    session_.discover();
    return session_.hardware();
  }

  // The messages of the reports so far, as "source: message".
  static std::vector<std::string> Reports() {
    std::vector<std::string> texts;
    for (const kit::Report& r : kit::reports()) texts.push_back(r.source + ": " + r.message);
    return texts;
  }

  static std::vector<std::string> FormatNames(const host::DeviceEntry& device) {
    std::vector<std::string> names;
    for (const host::FormatEntry* f : device.formats()) names.push_back(f->name());
    return names;
  }

  static sim::CameraDesc Camera(std::uint64_t id, const std::string& model = "Cam") {
    sim::CameraDesc c;
    c.id = id;
    c.model = model;
    c.number = static_cast<std::uint32_t>(id);
    c.fixed = {{0, 5, {4}}};
    return c;
  }

  // A video input for a device and format (by identifier or name), destroyed
  // at the end of the test unless Destroy comes first.
  host::VideoInput& Input(const std::string& device, const std::string& format = "") {
    std::string error;
    auto input = host::VideoInput::create(session_, device, format, error);
    if (!input) throw std::runtime_error(error);
    inputs_.push_back(std::move(input));
    return *inputs_.back();
  }

  static void OpenAndStart(host::VideoInput& input) {
    std::string error;
    ASSERT_TRUE(input.open(error)) << error;
    ASSERT_TRUE(input.start(error)) << error;
  }

  // Up to n frames, each waited for at most timeout seconds.
  static std::vector<host::Frame> Take(host::VideoInput& input, int n, double timeout = 3.0) {
    std::vector<host::Frame> frames;
    for (int i = 0; i < n; ++i) {
      host::Frame frame;
      if (!input.engine().takeFrame(frame, timeout)) break;
      frames.push_back(std::move(frame));
    }
    return frames;
  }

  // The camera's sequence number of a frame (carried in its first bytes).
  static std::uint32_t Sequence(const host::Frame& frame) {
    std::uint32_t seq = 0;
    EXPECT_TRUE(pixel::readSequence(frame.data.data(), frame.data.size(), seq));
    return seq;
  }

  // The library calls made since the bus's call log was switched on, by name.
  static std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const sim::Call& c : sim::callLog()) names.push_back(c.function);
    return names;
  }

  // Waits until at least n reports arrived; false when none came in time.
  static bool WaitForReports(std::size_t n, double timeoutSeconds = 30.0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (kit::reports().size() < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Waits until a thread waits for a frame on one of the bus's engines.
  static bool WaitForFrameWait(double timeoutSeconds = 30.0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
      for (CvEngineHandle engine : sim::engines()) {
        sim::EngineStats stats;
        if (sim::readEngine(engine, stats) && stats.waiting) return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  void Destroy(host::VideoInput& input) {
    std::erase_if(inputs_, [&](const auto& p) { return p.get() == &input; });
  }

  host::Session session_;
  kit::Accounting baseline_{};
  int threads_ = 0;
  std::pair<std::uintptr_t, std::uintptr_t> image_;
  std::vector<std::unique_ptr<host::VideoInput>> inputs_;
};
