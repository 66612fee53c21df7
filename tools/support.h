// What several of corvane-host's commands share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include <nlohmann/json.hpp>

#include "acquisition.h"
#include "camera_facts.h"
#include "commands.h"
#include "session.h"

namespace tool {

// For tests of runs that meet: with CORVANE_HOLD=STEP:PATH in the
// environment, the run makes PATH.reached at the step so named and waits
// (two minutes at most) for PATH to appear. Otherwise nothing.
void holdAt(const char* step);

// Applies NAME=VALUE settings in order; false with the first problem in error.
bool applySettings(host::VideoInput& input, const std::vector<std::string>& settings,
                   std::string& error);

// The identifier of the virtual bus's camera behind a device name, 0 if none
// (or the library is not the virtual bus).
std::uint64_t cameraIdOf(const std::string& deviceName);

// Trigger pulses for a device on a hardware trigger: the virtual bus fires them
// at a rate. With another library, pulses come from outside, and this does nothing.
class Pulses {
 public:
  explicit Pulses(const std::string& deviceName);
  ~Pulses() { stop(); }
  Pulses(const Pulses&) = delete;
  Pulses& operator=(const Pulses&) = delete;
  void start(double rate);
  void stop();
  // Whether this fires the pulses (the virtual bus's camera).
  bool fires() const { return camera_ != 0; }

 private:
  std::uint64_t camera_;
  bool firing_ = false;
};

// Why the camera did not start, from the module's reports since mark (with the
// share of a bus cycle its packets ask for where bandwidth is the cause), or
// empty when it started.
std::string startFailure(host::VideoInput& input, std::size_t mark);

// The rule a Format 7 mode's regions follow, in a sentence.
std::string regionRule(const Format7Facts& facts);

// A property as info --json and the live view's JSON both spell it: name,
// identifier, readOnly (the host's condition: "never" for a writable one),
// type, min and max or values, default and value (numbers for numbers, texts
// for enumerations; value null when it could not be read).
// The unit IIDC gives a feature's absolute value, for a property's name
// ("Shutter_Absolute_Value": "s"); empty when it has none.
std::string unitOf(const std::string& propertyName);
// unit: for an absolute value, its IIDC unit (see unitOf).
nlohmann::json propertyJson(const host::Property& declared, const host::PropertyValue* value);

// 0 when the camera bus library starts; else says why, in one line, and returns 2.
int startsBusLibrary();

// A hardware trigger "CONFIG/SOURCE" for an input; false with the reason.
bool selectTrigger(host::VideoInput& input, const std::string& trigger, std::string& error);

// The video input of a capture, with its region and trigger; null with the
// reason in error.
std::unique_ptr<host::VideoInput> makeInput(host::Session& session, const CaptureOptions& capture,
                                            std::string& error);

}  // namespace tool
