// One virtual IIDC camera: its register space, the camera library's records
// read from and written to those registers as the maker's library does over
// the bus, and what the camera sends. Not thread-safe: the bus serialises
// every access.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "control.h"
#include "iidc.h"
#include "register_space.h"

namespace sim {

using Clock = std::chrono::steady_clock;

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

// A stream of frames since the last start. Frame j of a free-running stream
// completes at start + (j+1) * period; a triggered stream completes a frame at
// each pulse.
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
  std::optional<Clock::time_point> sending;  // the pulse whose frame goes out last
  std::uint64_t pulsesIgnored = 0;           // came while a frame was being sent
  // Frames finished by the stop itself (the framesAfterStop quirk): a
  // free-running or fixed-rate stream has this many more, handed out after it.
  std::uint32_t finishedAtStop = 0;
  // A one-shot or multi-shot stream: it ends by itself after this many frames
  // (0: it runs until stopped).
  std::uint32_t shots = 0;
};

class Camera {
 public:
  explicit Camera(const CameraDesc& desc);

  const CameraDesc& desc() const { return desc_; }

  // The library's records (CvQueryCameraRegister, CvSetCameraRegister).
  CvStatus query(std::uint32_t registerId, void* buffer, std::uint32_t size);
  CvStatus set(std::uint32_t registerId, const void* buffer, std::uint32_t size);
  // CvReadQuad and CvWriteQuad, by address.
  CvStatus readQuad(std::uint32_t address, std::uint32_t& value) const {
    return regs_.read(address, value);
  }
  CvStatus writeQuad(std::uint32_t address, std::uint32_t value, RegisterSpace::Effect& effect);
  // CvSetCameraStartupInfo, and the first half of CvStartCamera: the record
  // written to the current-mode and ISO registers and, for Format 7, to the
  // mode's block, as the library does.
  CvStatus applyStartup(const CameraStartupRecord& startup);
  // What the camera sends with its registers as they are, or why it cannot.
  CvStatus streamFormat(StreamFormat& format) const;

  const RegisterSpace& registers() const { return regs_; }
  bool triggerEnabled() const { return (regs_.triggerMode() & iidc::kOnOff) != 0; }
  std::uint32_t triggerSource() const {
    return (regs_.triggerMode() & iidc::kTriggerSourceMask) >> iidc::kTriggerSourceShift;
  }
  SceneAdjust sceneAdjust() const;
  bool feature(const std::string& name, FeatureState& state) const;
  bool dualPacket() const { return desc_.dualPacket; }
  // Whether the camera can use this ISO channel (its ISO register holds 4 bits
  // of channel unless it speaks 1394b).
  bool canUseChannel(std::uint8_t isoChannel) const {
    return isoChannel < (regs_.is1394b() ? 64 : 16);
  }
  void setRunning(bool on) {
    running = on;
    regs_.setIsoEnable(on);
  }

  // Run-time state kept by the bus.
  Quirks quirks;
  bool plugged = true;
  std::uint32_t openHandles = 0;
  std::uint8_t channel = 255;
  bool running = false;  // set through setRunning, which ISO_EN follows
  std::uint64_t nextSeq = 0;
  Stream stream;

 private:
  // The library's view of the camera, read from its configuration ROM once,
  // as a library does when it opens a camera.
  struct Identity {
    std::uint32_t commandBase = 0;
    std::uint8_t speed = 0;
    std::uint32_t number = 0;
    bool iidc131 = false;
    std::string vendor, model;
  };
  Identity readIdentity() const;
  std::uint32_t csr(std::uint32_t offset) const;
  CvStatus setCsr(std::uint32_t offset, std::uint32_t value);
  CvStatus format7Record(void* buffer, std::uint32_t size) const;
  void powerUpLibrary();

  CameraDesc desc_;
  RegisterSpace regs_;
  Identity identity_;
  // The high half of each library feature's control record value: the
  // library's own, carried as written (it has no register).
  std::array<std::uint16_t, 17> highHalves_{};
};

}  // namespace sim
