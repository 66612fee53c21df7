// A camera's IIDC register space, as the bus reaches it by address: the
// configuration ROM, the inquiry, control and status registers, the feature
// and trigger registers, the absolute value blocks and the Format 7 blocks.
// The bus description sets it at power-up, and INITIALIZE sets it so again.
// What a camera does on its own (stream, scene) reads it through the views at
// the end.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "absolute_csr.h"
#include "config_rom.h"
#include "control.h"
#include "format7_block.h"

namespace sim {

constexpr CvStatus kOk = 0;

class RegisterSpace {
 public:
  explicit RegisterSpace(const CameraDesc& desc);
  void powerUp();

  // By the low 32 bits of the bus address. Reads of an address the camera
  // lacks fail with kInvalidArgument (the bus answers an address error).
  CvStatus read(std::uint32_t address, std::uint32_t& value) const;
  // What a write asks of the camera beyond its registers.
  enum class Effect { kNone, kIsoOn, kIsoOff, kShots, kSoftwareTrigger, kInitialized };
  // Writes to a read-only register fail with kNotSupported and change nothing.
  CvStatus write(std::uint32_t address, std::uint32_t value, Effect& effect);

  std::uint32_t commandBase() const { return base_; }
  bool is1394b() const { return b1394_; }
  // Frames a one-shot or multi-shot write asked for (kShots).
  std::uint32_t shotsAsked() const { return shots_; }

  // ---- Views for the camera's own work ----
  struct Feature {  // one IIDC feature register (white balance: both halves)
    bool present = false, onOff = false, autoMode = false, manual = false, absolute = false;
    bool onePush = false;
    std::uint32_t min = 0, max = 0;
    bool on = false, autoOn = false, absOn = false;
    std::uint32_t value = 0;  // bits 20-31
    std::uint32_t high = 0;   // bits 8-19: U/B of white balance, target temperature
  };
  const Feature& feature(std::uint32_t index) const { return features_[index]; }
  const Feature& powerUpFeature(std::uint32_t index) const { return power_[index]; }
  const AbsoluteBlocks& absolute() const { return absolute_; }
  const AbsoluteBlocks& powerUpAbsolute() const { return powerAbsolute_; }
  std::uint32_t triggerMode() const { return triggerMode_; }
  // The current video format, mode and rate index, and the ISO channel and speed.
  std::uint32_t currentFormat() const { return format_; }
  std::uint32_t currentMode() const { return mode_; }
  std::uint32_t currentRate() const { return rate_; }
  std::uint8_t isoChannel() const;
  std::uint8_t isoSpeed() const;
  bool powered() const { return power_on_; }
  // Whether format, mode and rate are ones the inquiry offers.
  bool currentModeOffered() const;
  const Format7Block* format7(std::uint32_t mode) const {
    return mode < 8 ? f7_[mode].get() : nullptr;
  }
  // Kept by the camera: ISO_EN follows its stream.
  void setIsoEnable(bool on) { isoEnable_ = on; }

 private:
  std::uint32_t readCsr(std::uint32_t offset) const;
  CvStatus writeCsr(std::uint32_t offset, std::uint32_t value, Effect& effect);
  std::uint32_t inquiryWord(const Feature& f) const;
  std::uint32_t controlWord(const Feature& f) const;
  void writeControl(Feature& f, std::uint32_t index, std::uint32_t value);
  void writeTrigger(std::uint32_t value);

  CameraDesc desc_;
  std::uint32_t base_;
  bool iidc131_;
  bool b1394_;
  ConfigRom rom_;
  std::uint8_t formats_ = 0;
  std::array<std::uint8_t, 8> modes_{};
  std::array<std::array<std::uint8_t, 8>, 8> rates_{};
  std::array<Feature, iidc::kFeatureSlots> features_{}, power_{};
  AbsoluteBlocks absolute_, powerAbsolute_;
  std::array<std::unique_ptr<Format7Block>, 8> f7_;
  std::uint32_t triggerMode_ = 0;
  std::uint32_t format_ = 0, mode_ = 0, rate_ = 0;
  std::uint32_t iso_ = 0;
  bool power_on_ = true;
  bool isoEnable_ = false;
  std::uint32_t shots_ = 0;
};

}  // namespace sim
