#include "support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "bl1394.h"
#include "camera_facts.h"
#include "cli_values.h"
#include "commands.h"
#include "kit.h"
#include "paths.h"
#include "text.h"
#include "virtual_bus.h"

namespace tool {

void holdAt(const char* step) {
  const char* hold = std::getenv("CORVANE_HOLD");
  if (hold == nullptr) return;
  const std::string text = hold;
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || text.compare(0, colon, step) != 0) return;
  const std::string path = text.substr(colon + 1);
  if (std::FILE* f = host::openFile(path + ".reached", "wb")) std::fclose(f);
  std::error_code ec;
  for (int i = 0; i < 6000 && !std::filesystem::exists(host::fsPath(path), ec); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

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

// Why the camera did not start, from the module's report, with the share of a
// bus cycle its packets ask for when the bus is short of bandwidth.
std::string startFailure(host::VideoInput& input, std::size_t mark) {
  const std::vector<kit::Report> reports = kit::reports();
  const std::string prefix = "Failed to start the camera: ";
  for (std::size_t i = mark; i < reports.size(); ++i) {
    const kit::Report& r = reports[i];
    if (r.source != "CorvaneImaq:startCapture" || r.message.rfind(prefix, 0) != 0) continue;
    std::string why = "the camera did not start: " + r.message.substr(prefix.size());
    const CameraFacts facts = cameraFacts(input.device().name());
    const int mode = format7ModeOf(input.format().name());
    for (const Format7Facts& f : facts.format7) {
      if (static_cast<int>(f.mode) != mode) continue;
      const float share =
          blCalcIsoBandwidthPercentage(facts.speed, static_cast<std::uint16_t>(f.packetSize));
      // The share says why where bandwidth is the cause ("Bandwidth" or "bandwidth").
      const bool overCycle = share > 100.0f;
      if (!overCycle && why.find("andwidth") == std::string::npos) continue;
      char text[160];
      std::snprintf(text, sizeof text, " (its %u-byte packets take %.0f%% of a bus cycle at %s%s)",
                    f.packetSize, static_cast<double>(share), speedText(facts.speed),
                    overCycle ? "" : ", more than its bus has left");
      why += text;
    }
    return why;
  }
  return {};
}

std::string regionRule(const Format7Facts& f) {
  char text[200];
  std::snprintf(text, sizeof text,
                "Format 7 mode %u takes regions within %ux%u whose offsets step by %u across and "
                "%u down, and whose sizes step by %u and %u.",
                f.mode, f.maxWidth, f.maxHeight, f.offsetXUnit, f.offsetYUnit, f.widthUnit,
                f.heightUnit);
  return text;
}

std::string unitOf(const std::string& propertyName) {
  static const std::pair<const char*, const char*> kUnits[] = {
      {"Brightness", "%"}, {"Auto_Exposure", "EV"}, {"White_Balance", "K"}, {"Hue", "deg"},
      {"Saturation", "%"}, {"Shutter", "s"},        {"Gain", "dB"},         {"Iris", "F"},
      {"Focus", "m"},      {"Temperature", "K"},    {"Trigger_Delay", "s"}, {"Frame_Rate", "fps"},
      {"Zoom", "power"},   {"Pan", "deg"},          {"Tilt", "deg"}};
  const std::size_t at = propertyName.find("_Absolute_Value");
  if (at == std::string::npos) return {};
  const std::string feature = propertyName.substr(0, at);
  for (const auto& [name, unit] : kUnits)
    if (feature.rfind(name, 0) == 0) return unit;
  return {};
}

nlohmann::json propertyJson(const host::Property& declared, const host::PropertyValue* value) {
  nlohmann::json p = {
      {"name", declared.name()}, {"identifier", declared.id()}, {"readOnly", declared.readOnly()}};
  const host::PropertyValue def = declared.defaultValue();
  switch (declared.type()) {
    case host::PropertyType::kEnum: {
      p["type"] = "enumeration";
      nlohmann::json values = nlohmann::json::array();
      for (const auto& [valueName, id] : declared.values()) values.push_back(valueName);
      p["values"] = values;
      p["default"] = declared.text(def);
      p["value"] = value != nullptr ? nlohmann::json(declared.text(*value)) : nlohmann::json();
      break;
    }
    case host::PropertyType::kInteger:
      p["type"] = "integer";
      p["min"] = static_cast<std::int64_t>(declared.minimum());
      p["max"] = static_cast<std::int64_t>(declared.maximum());
      p["default"] = def.integer;
      p["value"] = value != nullptr ? nlohmann::json(value->integer) : nlohmann::json();
      break;
    case host::PropertyType::kDouble:
      p["type"] = "double";
      p["min"] = asCameraGave(declared.minimum());
      p["max"] = asCameraGave(declared.maximum());
      p["default"] = asCameraGave(def.real);
      p["value"] = value != nullptr ? nlohmann::json(asCameraGave(value->real)) : nlohmann::json();
      if (const std::string unit = unitOf(declared.name()); !unit.empty()) p["unit"] = unit;
      break;
  }
  return p;
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
  if (!capture.roi.empty() && host::parseRoi(capture.roi, roi) && (roi[2] == 0 || roi[3] == 0)) {
    error = "region " + capture.roi + " is empty: its width and height are 1 or more";
    return nullptr;
  }
  if (!capture.roi.empty() && (!host::parseRoi(capture.roi, roi) ||
                               !input->setRoi(roi[0], roi[1], roi[2], roi[3], error))) {
    // The module's refusal says no rule: the camera's Format 7 record does.
    const int mode = format7ModeOf(input->format().name());
    for (const Format7Facts& f :
         mode < 0 ? std::vector<Format7Facts>{} : cameraFacts(input->device().name()).format7)
      if (static_cast<int>(f.mode) == mode)
        error += (error.empty() || error.back() == '.' ? " " : ". ") + regionRule(f);
    return nullptr;
  }
  if (!capture.trigger.empty() && !selectTrigger(*input, capture.trigger, error)) return nullptr;
  return input;
}

}  // namespace tool
