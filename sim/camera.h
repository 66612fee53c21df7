// The IIDC camera model: register space and its semantics, in one place.
// Not thread-safe: the bus serialises every access.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "control.h"
#include "iidc.h"

namespace sim {

using Clock = std::chrono::steady_clock;

constexpr CvStatus kOk = 0;

// What a started camera sends.
struct StreamFormat {
  std::uint32_t formatNumber = 0;
  std::uint32_t coding = 0;
  std::uint32_t width = 0, height = 0;  // the transmitted image
  std::uint32_t left = 0, top = 0;      // its place on the sensor
  std::uint32_t sensorWidth = 0, sensorHeight = 0;
  std::uint8_t filterPattern = 0;
  std::size_t bytes = 0;
  std::uint32_t packetBytes = 0;
  double period = 0.0;  // seconds per frame when not triggered
  std::uint32_t bandwidthUnits = 0;
};

// Scene adjustments that follow the camera's Brightness, Gain and Shutter.
struct SceneAdjust {
  double offset = 0.0;  // added, in full-scale units
  double factor = 1.0;  // multiplies
  bool operator==(const SceneAdjust&) const = default;
};

// A stream of frames since the last CvStartCamera. Frame j of a free-running
// stream completes at start + (j+1) * period; a triggered stream completes a
// frame at each pulse.
struct Stream {
  bool exists = false;
  bool stopped = false;
  bool triggered = false;
  bool freeRunning = false;
  std::uint64_t epoch = 0;  // tells one stream from the next
  std::uint8_t channel = 255;
  std::uint32_t adapter = 0;
  StreamFormat format;
  Clock::time_point start;
  Clock::time_point stopTime;
  std::uint64_t firstSeq = 0;
  std::uint64_t servedFree = 0;  // free-running: frames handed out so far
  std::deque<std::pair<std::uint64_t, Clock::time_point>> pulses;  // triggered completions
  double pulseRate = 0.0;
  Clock::time_point pulseOrigin;
  std::uint64_t pulsesGenerated = 0;
  // Frames finished by the stop itself (the framesAfterStop quirk): a
  // free-running or fixed-rate stream has this many more, handed out after it.
  std::uint32_t finishedAtStop = 0;
};

class Camera {
 public:
  explicit Camera(const CameraDesc& desc);

  const CameraDesc& desc() const { return desc_; }
  VideoModeInquiry inquiry() const;

  CvStatus query(std::uint32_t registerId, void* buffer, std::uint32_t size);
  CvStatus set(std::uint32_t registerId, const void* buffer, std::uint32_t size);
  CvStatus readCsr(std::uint32_t offset, std::uint32_t& value) const;
  CvStatus writeCsr(std::uint32_t offset, std::uint32_t value);

  // CvSetCameraStartupInfo: remembers the start-up and, for Format 7, takes
  // the region and coding of its image record for that mode.
  CvStatus setStartup(const CameraStartupRecord& startup);
  // What the camera would send for this start-up, or why it cannot.
  CvStatus streamFormat(const CameraStartupRecord& startup, StreamFormat& format) const;

  bool triggerEnabled() const { return (triggerMode_ & iidc::kOnOff) != 0; }
  std::uint32_t triggerSource() const {
    return (triggerMode_ & iidc::kTriggerSourceMask) >> iidc::kTriggerSourceShift;
  }
  SceneAdjust sceneAdjust() const;
  // Changes whenever a setting that shows in the picture changes.
  std::uint64_t settingsGeneration() const { return generation_; }
  bool feature(const std::string& name, FeatureState& state) const;
  bool dualPacket() const { return desc_.dualPacket; }

  // Run-time state kept by the bus.
  Quirks quirks;
  bool plugged = true;
  std::uint32_t openHandles = 0;
  std::uint8_t channel = 255;
  bool running = false;
  std::uint64_t nextSeq = 0;
  Stream stream;
  CameraStartupRecord startup{};
  bool hasStartup = false;

 private:
  struct Feature {
    bool present = false;
    FeatureDesc desc;
    FeatureDesc power;  // state at power-up
  };
  struct ModeRegion {
    std::uint16_t width = 0, height = 0, left = 0, top = 0;
    std::uint32_t coding = 0;
  };

  Feature* featureOf(std::uint32_t inquiryId);
  const Feature* featureOf(std::uint32_t inquiryId) const;
  const Format7ModeDesc* format7Mode(std::uint32_t mode) const;
  void powerUp();

  CameraDesc desc_;
  std::array<Feature, 17> features_{};
  std::array<ModeRegion, 8> regions_{};
  std::uint32_t triggerMode_ = 0;
  std::uint64_t generation_ = 1;
};

}  // namespace sim
