#include "support.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "bl1394.h"
#include "cli_values.h"
#include "commands.h"
#include "kit.h"
#include "virtual_bus.h"

namespace tool {

int fail(const std::string& message) {
  std::fprintf(stderr, "corvane-host: %s\n", message.c_str());
  return 2;
}

void showWarnings(std::size_t from) {
  const std::vector<kit::Report> reports = kit::reports();
  for (std::size_t i = from; i < reports.size(); ++i)
    if (reports[i].kind == kit::ReportKind::kWarning)
      std::fprintf(stderr, "warning %s: %s\n", reports[i].source.c_str(),
                   reports[i].message.c_str());
}

bool applySettings(host::VideoInput& input, const std::vector<std::string>& settings,
                   std::string& error) {
  for (const std::string& setting : settings) {
    std::string name, value;
    if (!host::splitSetting(setting, name, value)) {
      error = "--set takes NAME=VALUE, not '" + setting + "'";
      return false;
    }
    if (!input.properties().write(name, value, error)) return false;
  }
  return true;
}

std::uint64_t cameraIdOf(const std::string& deviceName) {
  const host::VirtualBus& bus = host::VirtualBus::find();
  if (!bus.present()) return 0;
  const nlohmann::json description = nlohmann::json::parse(bus.description(), nullptr, false);
  if (!description.is_object()) return 0;
  for (const auto& adapter : description.value("adapters", nlohmann::json::array()))
    for (const auto& c : adapter.value("cameras", nlohmann::json::array())) {
      const std::string name = c.value("vendor", "") + " " + c.value("model", "") + " " +
                               std::to_string(c.value("number", 0u));
      if (name == deviceName) return std::stoull(c.value("id", "0"), nullptr, 0);
    }
  return 0;
}

Pulses::Pulses(const std::string& deviceName) : camera_(cameraIdOf(deviceName)) {}

void Pulses::start(double rate) {
  stop();
  if (camera_ == 0) return;
  host::VirtualBus::find().setPulseRate(camera_, rate);
  firing_ = true;
}

void Pulses::stop() {
  if (!firing_) return;
  host::VirtualBus::find().setPulseRate(camera_, 0);
  firing_ = false;
}

int startsBusLibrary() {
  // The module does not look at how the library started; the user is told.
  const CvStatus status = CvInitialize();
  const char* text = status != 0 ? CvStatusStringA(status) : nullptr;
  const std::string why = text != nullptr ? text : "status " + std::to_string(status);
  CvTerminate();
  return status == 0 ? 0 : fail("the camera bus library did not start: " + why);
}

bool selectTrigger(host::VideoInput& input, const std::string& trigger, std::string& error) {
  std::string configuration, source;
  if (!host::splitTrigger(trigger, configuration, source)) {
    error = "--trigger takes CONFIG/SOURCE, e.g. Mode_0/Source_0";
    return false;
  }
  return input.selectTrigger(configuration, source, error);
}

std::unique_ptr<host::VideoInput> makeInput(host::Session& session, const CaptureOptions& capture,
                                            std::string& error) {
  std::unique_ptr<host::VideoInput> input =
      host::VideoInput::create(session, capture.device, capture.format, error);
  if (!input) return nullptr;
  int roi[4];
  if (!capture.roi.empty() &&
      (!host::parseRoi(capture.roi, roi) || !input->setRoi(roi[0], roi[1], roi[2], roi[3], error)))
    return nullptr;
  if (!capture.trigger.empty() && !selectTrigger(*input, capture.trigger, error)) return nullptr;
  return input;
}

}  // namespace tool
