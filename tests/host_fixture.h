// A fixture for tests that drive the module the way a host does: loaded at run
// time from beside the test program, against the virtual bus. At the end it
// proves that the module left nothing behind: no host block, no camera handle,
// channel or engine, no broken kit rule.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acquisition.h"
#include "control.h"
#include "kit.h"
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
    EXPECT_TRUE(kit::violations().empty()) << kit::violations().front();
    sim::clearFaults();
    sim::setCountOverstatement(0);
    sim::setQuirks({});
    sim::setCallLog(false);
    sim::clearCallLog();
    sim::setFreeRunning(false);
    sim::setTimeoutScale(1.0);
    kit::failAllocation(0);
    kit::failLockHolders(false);
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

  void Destroy(host::VideoInput& input) {
    std::erase_if(inputs_, [&](const auto& p) { return p.get() == &input; });
  }

  host::Session session_;
  kit::Accounting baseline_{};
  std::vector<std::unique_ptr<host::VideoInput>> inputs_;
};
