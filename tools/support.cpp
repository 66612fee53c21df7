#include "support.h"

#include <cstdio>

#include "cli_values.h"
#include "commands.h"
#include "control.h"
#include "kit.h"

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
  for (const auto& adapter : sim::installedBus().adapters)
    for (const sim::CameraDesc& c : adapter)
      if (c.vendor + " " + c.model + " " + std::to_string(c.number) == deviceName) return c.id;
  return 0;
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
