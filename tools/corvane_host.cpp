// corvane-host: the stand-in host on the command line.
//
//   corvane-host [--bus FILE] [--module PATH] COMMAND ...
//
// The virtual bus is the BL1394 library this tool links, the very one the
// module loads; --bus replaces its embedded default bus with a description file.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "acquisition.h"
#include "bl1394.h"
#include "cli_values.h"
#include "control.h"
#include "frame_types.h"
#include "iidc.h"
#include "kit.h"
#include "picture.h"
#include "session.h"

namespace {

const char kUsage[] =
    "usage: corvane-host [--bus FILE] [--module PATH] COMMAND [ARGS]\n"
    "commands:\n"
    "  bus [--json]     describe the virtual bus: adapters, cameras, formats, features\n"
    "  list [--json]    discover through the module: devices and their formats\n"
    "  info DEVICE [--set NAME=VALUE]... [--json]\n"
    "                   the device's source, properties and hardware triggers\n"
    "  acquire DEVICE [FORMAT] [--frames N] [--roi X,Y,W,H] [--trigger CONFIG/SOURCE]\n"
    "          [--pulse-rate HZ] [--set NAME=VALUE]... [--out DIR] [--json]\n"
    "                   acquire frames into picture files and a contact sheet\n"
    "--module PATH selects the module (default: the one beside this program).\n";

struct Options {
  std::string busFile;
  std::string module;
  std::string command;
  std::vector<std::string> args;
};

// Warnings the module reported, for people: one line each on standard error.
void showWarnings(std::size_t from) {
  const std::vector<kit::Report> reports = kit::reports();
  for (std::size_t i = from; i < reports.size(); ++i)
    if (reports[i].kind == kit::ReportKind::kWarning)
      std::fprintf(stderr, "warning %s: %s\n", reports[i].source.c_str(),
                   reports[i].message.c_str());
}

int fail(const std::string& message) {
  std::fprintf(stderr, "corvane-host: %s\n", message.c_str());
  return 2;
}

std::string hex(std::uint64_t n, int width) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", width, static_cast<unsigned long long>(n));
  return text;
}

const char* speedName(std::uint8_t speed) {
  static const char* const names[] = {"S100", "S200", "S400", "S800", "S1600", "S3200"};
  return speed < 6 ? names[speed] : "?";
}

int describeBus(const std::vector<std::string>& args) {
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json")
      json = true;
    else
      return fail("bus: unknown argument '" + a + "'");
  }
  const sim::BusDesc bus = sim::installedBus();
  if (json) {
    std::printf("%s\n", sim::busToJson(bus).c_str());
    return 0;
  }
  for (std::size_t a = 0; a < bus.adapters.size(); ++a) {
    std::printf("Adapter %zu: %zu camera(s)\n", a + 1, bus.adapters[a].size());
    for (const sim::CameraDesc& c : bus.adapters[a]) {
      std::printf("  %s  %s %s %u  %s\n", hex(c.id, 16).c_str(), c.vendor.c_str(), c.model.c_str(),
                  c.number, speedName(c.speed));
      for (const sim::FixedModeDesc& m : c.fixed) {
        const iidc::FixedMode& f = iidc::kFixedModes[m.format][m.mode];
        std::string rates;
        for (std::uint32_t r : m.rates)
          rates += std::string(rates.empty() ? "" : ", ") + CvFpsStringA(r);
        std::printf("    format %u mode %u: %ux%u %s at %s fps\n", m.format, m.mode, f.width,
                    f.height, CvPixelFormatStringA(f.coding), rates.c_str());
      }
      for (const sim::Format7ModeDesc& m : c.format7) {
        std::string codings;
        for (std::uint32_t k : m.codings)
          codings += std::string(codings.empty() ? "" : ", ") + CvPixelFormatStringA(k);
        std::printf("    format 7 mode %u: up to %ux%u in steps of %ux%u, %s, %u-byte packets\n",
                    m.mode, m.maxWidth, m.maxHeight, m.widthUnit, m.heightUnit, codings.c_str(),
                    m.packetSize);
      }
      if (c.filterPattern) std::printf("    colour filter pattern %u\n", c.filterPattern);
      if (c.triggerInquiry & 0x80000000u)
        std::printf("    hardware trigger (inquiry %s)\n", hex(c.triggerInquiry, 8).c_str());
      if (c.dualPacket) std::printf("    dual packet mode\n");
      std::string features;
      for (const sim::FeatureDesc& f : c.features)
        features += std::string(features.empty() ? "" : ", ") + f.name;
      if (!features.empty()) std::printf("    features: %s\n", features.c_str());
    }
  }
  return 0;
}

bool jsonFlag(const std::string& command, const std::vector<std::string>& args, bool& json,
              std::string& error) {
  json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else {
      error = command + ": unknown argument '" + a + "'";
      return false;
    }
  }
  return true;
}

int listDevices(const Options& options) {
  bool json = false;
  std::string error;
  if (!jsonFlag("list", options.args, json, error)) return fail(error);
  host::Session session;
  if (!session.start(options.module, error)) return fail(error);
  session.discover();
  showWarnings(0);
  const host::HardwareList& hardware = session.hardware();
  if (json) {
    nlohmann::json devices = nlohmann::json::array();
    for (const host::DeviceEntry* d : hardware.devices()) {
      nlohmann::json formats = nlohmann::json::array();
      for (const host::FormatEntry* f : d->formats())
        formats.push_back({{"id", f->id()}, {"name", f->name()}, {"default", f->isDefault()}});
      devices.push_back({{"id", d->id()}, {"name", d->name()}, {"formats", formats}});
    }
    std::printf("%s\n", nlohmann::json{{"devices", devices}}.dump(2).c_str());
    return 0;
  }
  if (hardware.devices().empty()) std::printf("No devices found.\n");
  for (const host::DeviceEntry* d : hardware.devices()) {
    std::printf("Device %u: %s (%zu formats)\n", d->id(), d->name().c_str(), d->formats().size());
    for (const host::FormatEntry* f : d->formats())
      std::printf("  %3u  %s%s\n", f->id(), f->name().c_str(), f->isDefault() ? "  (default)" : "");
  }
  return 0;
}

// Applies NAME=VALUE settings in order; false with the first problem in error.
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

const char* typeName(host::PropertyType type) {
  switch (type) {
    case host::PropertyType::kDouble:
      return "double";
    case host::PropertyType::kInteger:
      return "integer";
    case host::PropertyType::kEnum:
      return "enumeration";
  }
  return "";
}

// A value for people: texts as they are, numbers to six significant digits.
std::string shortNumber(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  char text[32];
  std::snprintf(text, sizeof text, "%g", value.get<double>());
  return text;
}

int deviceInfo(const Options& options) {
  std::vector<std::string> positional, settings;
  bool json = false;
  const std::vector<std::string>& a = options.args;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--json") {
      json = true;
    } else if (a[i] == "--set") {
      if (i + 1 >= a.size()) return fail("info: --set takes NAME=VALUE");
      settings.push_back(a[++i]);
    } else if (a[i].rfind("--", 0) == 0) {
      return fail("info: unknown option '" + a[i] + "'");
    } else {
      positional.push_back(a[i]);
    }
  }
  if (positional.size() != 1) return fail("info: give one DEVICE");
  std::string error;
  host::Session session;
  if (!session.start(options.module, error)) return fail(error);
  session.discover();
  std::unique_ptr<host::VideoInput> input =
      host::VideoInput::create(session, positional[0], "", error);
  if (!input) return fail("info: " + error);
  if (!applySettings(*input, settings, error)) return fail("info: " + error);
  showWarnings(0);
  const host::DeviceAttributes& attributes = input->attributes();
  nlohmann::json properties = nlohmann::json::array();
  for (const auto& declared : attributes.properties) {
    host::PropertyValue value;
    if (!input->properties().read(declared->name(), value, error)) return fail("info: " + error);
    nlohmann::json p = {{"name", declared->name()},
                        {"type", typeName(declared->type())},
                        {"identifier", declared->id()},
                        {"readOnly", declared->readOnly()}};
    const host::PropertyValue def = declared->defaultValue();
    if (declared->type() == host::PropertyType::kEnum) {
      nlohmann::json values = nlohmann::json::array();
      for (const auto& [valueName, id] : declared->values()) values.push_back(valueName);
      p["values"] = values;
      p["value"] = declared->text(value);
      p["default"] = declared->text(def);
    } else if (declared->type() == host::PropertyType::kInteger) {
      p["min"] = static_cast<std::int64_t>(declared->minimum());
      p["max"] = static_cast<std::int64_t>(declared->maximum());
      p["value"] = value.integer;
      p["default"] = def.integer;
    } else {
      p["min"] = declared->minimum();
      p["max"] = declared->maximum();
      p["value"] = value.real;
      p["default"] = def.real;
    }
    properties.push_back(p);
  }
  nlohmann::json triggers = nlohmann::json::array();
  for (const host::TriggerConfiguration& t : attributes.triggers)
    triggers.push_back({{"configuration", t.configuration},
                        {"configurationId", t.configurationId},
                        {"source", t.source},
                        {"sourceId", t.sourceId}});
  const std::string source = attributes.sources.empty() ? "" : attributes.sources.front().name;
  if (json) {
    nlohmann::json document = {{"device", input->device().name()},
                               {"id", input->device().id()},
                               {"source", source},
                               {"properties", properties},
                               {"triggers", triggers}};
    std::printf("%s\n", document.dump(2).c_str());
    return 0;
  }
  std::printf("Device %u: %s\nSource: %s\n", input->device().id(), input->device().name().c_str(),
              source.c_str());
  std::printf("Properties:\n");
  for (const nlohmann::json& p : properties) {
    std::string range;
    if (p.contains("values")) {
      for (const auto& v : p["values"])
        range += (range.empty() ? "" : " | ") + v.get<std::string>();
    } else {
      range = shortNumber(p["min"]) + " .. " + shortNumber(p["max"]);
    }
    std::printf("  %-28s %-11s %-24s default %-10s value %s\n",
                p["name"].get<std::string>().c_str(), p["type"].get<std::string>().c_str(),
                range.c_str(), shortNumber(p["default"]).c_str(), shortNumber(p["value"]).c_str());
  }
  std::printf("Hardware triggers:%s\n", triggers.empty() ? " none" : "");
  for (const host::TriggerConfiguration& t : attributes.triggers)
    std::printf("  %s/%s\n", t.configuration.c_str(), t.source.c_str());
  return 0;
}

std::uint64_t cameraIdOf(const std::string& deviceName) {
  for (const auto& adapter : sim::installedBus().adapters)
    for (const sim::CameraDesc& c : adapter)
      if (c.vendor + " " + c.model + " " + std::to_string(c.number) == deviceName) return c.id;
  return 0;
}

std::string formatSeconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", s);
  return text;
}

int acquire(const Options& options) {
  std::vector<std::string> positional;
  std::uint32_t frames = 10;
  int roi[4] = {0, 0, 0, 0};
  bool hasRoi = false, json = false, hasTrigger = false;
  std::string triggerConfiguration, triggerSource;
  std::vector<std::string> settings;
  double pulseRate = 10.0;
  std::string outDir = "frames", triggerText;
  const std::vector<std::string>& a = options.args;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= a.size()) return nullptr;
      (void)what;
      return &a[++i];
    };
    if (a[i] == "--json") {
      json = true;
    } else if (a[i] == "--frames") {
      const std::string* v = value("N");
      if (!v || !host::parseCount(*v, frames) || frames == 0)
        return fail("acquire: --frames takes a count of 1 or more");
    } else if (a[i] == "--roi") {
      const std::string* v = value("X,Y,W,H");
      if (!v || !host::parseRoi(*v, roi))
        return fail("acquire: --roi takes X,Y,W,H (whole numbers)");
      hasRoi = true;
    } else if (a[i] == "--trigger") {
      const std::string* v = value("CONFIG/SOURCE");
      if (!v || !host::splitTrigger(*v, triggerConfiguration, triggerSource))
        return fail("acquire: --trigger takes CONFIG/SOURCE, e.g. Mode_0/Source_0");
      triggerText = *v;
      hasTrigger = true;
    } else if (a[i] == "--set") {
      const std::string* v = value("NAME=VALUE");
      if (!v) return fail("acquire: --set takes NAME=VALUE");
      settings.push_back(*v);
    } else if (a[i] == "--pulse-rate") {
      const std::string* v = value("HZ");
      char* end = nullptr;
      pulseRate = v ? std::strtod(v->c_str(), &end) : 0.0;
      if (!v || end == v->c_str() || *end != '\0' || !(pulseRate > 0 && pulseRate <= 10000))
        return fail("acquire: --pulse-rate takes a rate in hertz above 0");
    } else if (a[i] == "--out") {
      const std::string* v = value("DIR");
      if (!v || v->empty()) return fail("acquire: --out takes a folder");
      outDir = *v;
    } else if (a[i].rfind("--", 0) == 0) {
      return fail("acquire: unknown option '" + a[i] + "'");
    } else {
      positional.push_back(a[i]);
    }
  }
  if (positional.empty() || positional.size() > 2)
    return fail("acquire: give DEVICE and optionally FORMAT");

  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  const std::string probe = outDir + "/.corvane-write-test";
  std::FILE* test = std::fopen(probe.c_str(), "wb");
  if (test == nullptr) return fail("acquire: cannot write to folder '" + outDir + "'");
  std::fclose(test);
  std::filesystem::remove(probe, ec);

  std::string error;
  host::Session session;
  if (!session.start(options.module, error)) return fail(error);
  session.discover();
  std::unique_ptr<host::VideoInput> input = host::VideoInput::create(
      session, positional[0], positional.size() > 1 ? positional[1] : "", error);
  if (!input) return fail("acquire: " + error);
  if (hasRoi && !input->setRoi(roi[0], roi[1], roi[2], roi[3], error))
    return fail("acquire: " + error);
  input->settings.framesPerTrigger = frames;
  const std::uint64_t cameraId = cameraIdOf(input->device().name());
  if (hasTrigger && !input->selectTrigger(triggerConfiguration, triggerSource, error))
    return fail("acquire: " + error);
  if (!applySettings(*input, settings, error)) return fail("acquire: " + error);
  const std::size_t reportMark = kit::reports().size();
  if (!input->open(error)) return fail("acquire: " + error);
  const auto started = std::chrono::steady_clock::now();
  if (!input->start(error)) return fail("acquire: " + error);
  if (hasTrigger) sim::setPulseRate(cameraId, pulseRate);

  const bool terminal = !json && isatty(fileno(stderr));
  std::vector<std::string> files;
  std::vector<host::Picture> thumbnails;
  host::Frame frame;
  host::Picture picture;
  double firstTime = 0, lastTime = 0;
  int width = 0, height = 0;
  std::uint32_t frameType = 0;
  bool timedOut = false;
  const double patience = hasTrigger ? 5.0 + 2.0 / pulseRate : 5.0;
  for (std::uint32_t n = 0; n < frames; ++n) {
    if (!input->engine().takeFrame(frame, patience)) {
      timedOut = true;
      break;
    }
    if (n == 0) firstTime = frame.time;
    lastTime = frame.time;
    width = frame.width;
    height = frame.height;
    frameType = frame.frameType;
    if (!host::decode(frame, picture))
      return fail("acquire: cannot decode frame type " + host::frameTypeName(frame.frameType));
    char name[64];
    std::snprintf(name, sizeof name, "frame_%04u.%s", n + 1, host::pictureExtension());
    const std::string path = outDir + "/" + name;
    if (!host::writePicture(picture, path, error)) return fail("acquire: " + error);
    files.push_back(path);
    if (thumbnails.size() < 16) thumbnails.push_back(picture);
    if (terminal) std::fprintf(stderr, "\racquiring: %u/%u frames", n + 1, frames);
  }
  if (terminal) std::fprintf(stderr, "\n");
  input->waitAndStop(timedOut ? 0.0 : 2.0);
  if (hasTrigger) sim::setPulseRate(cameraId, 0);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::uint64_t counted = input->manager().framesCounted();
  input->close();
  std::string sheetPath;
  if (!thumbnails.empty()) {
    sheetPath = outDir + "/contact_sheet." + host::pictureExtension();
    if (!host::writePicture(host::contactSheet(thumbnails, 200), sheetPath, error))
      return fail("acquire: " + error);
  }
  const double fps =
      files.size() > 1 && lastTime > firstTime ? (files.size() - 1) / (lastTime - firstTime) : 0.0;
  std::vector<kit::Report> reports = kit::reports();
  reports.erase(reports.begin(), reports.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(reportMark, reports.size())));
  if (json) {
    nlohmann::json warnings = nlohmann::json::array();
    for (const kit::Report& r : reports)
      warnings.push_back({{"identifier", r.source}, {"message", r.message}});
    nlohmann::json summary = {{"device", input->device().name()},
                              {"format", input->format().name()},
                              {"frames", files.size()},
                              {"framesCounted", counted},
                              {"width", width},
                              {"height", height},
                              {"frameType", host::frameTypeName(frameType)},
                              {"frameTypeCode", frameType},
                              {"fps", fps},
                              {"elapsed", elapsed},
                              {"firstTime", firstTime},
                              {"lastTime", lastTime},
                              {"trigger", hasTrigger ? triggerText : "immediate"},
                              {"timedOut", timedOut},
                              {"warnings", warnings},
                              {"files", files},
                              {"contactSheet", sheetPath}};
    std::printf("%s\n", summary.dump(2).c_str());
  } else {
    std::printf("%s, %s: %zu frames delivered, %llu counted, %dx%d %s\n",
                input->device().name().c_str(), input->format().name().c_str(), files.size(),
                static_cast<unsigned long long>(counted), width, height,
                host::frameTypeName(frameType).c_str());
    std::printf("elapsed %s, %.2f frames per second, timestamps %.6f to %.6f\n",
                formatSeconds(elapsed).c_str(), fps, firstTime, lastTime);
    if (!files.empty())
      std::printf("pictures in %s/, contact sheet %s\n", outDir.c_str(), sheetPath.c_str());
    for (const kit::Report& r : reports)
      std::printf("warning %s: %s\n", r.source.c_str(), r.message.c_str());
    if (timedOut) std::printf("stopped early: no frame arrived for %.1f s\n", patience);
  }
  return timedOut ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((a == "--bus" || a == "--module") && i + 1 < argc) {
      (a == "--bus" ? options.busFile : options.module) = argv[++i];
    } else {
      return fail("unknown option '" + a + "' (see --help)");
    }
  }
  if (i == argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  options.command = argv[i++];
  for (; i < argc; ++i) options.args.push_back(argv[i]);

  // The tool says what the module reported, once, in its own words.
  kit::setReportEcho(false);
  if (!options.busFile.empty()) {
    sim::BusDesc bus;
    std::string error;
    if (!sim::loadBusFile(options.busFile, bus, error)) return fail(error);
    if (!sim::installBus(bus, &error)) return fail(options.busFile + ": " + error);
  }
  if (options.module.empty()) options.module = host::Module::defaultPath();
  if (options.command == "bus") return describeBus(options.args);
  if (options.command == "list") return listDevices(options);
  if (options.command == "acquire") return acquire(options);
  if (options.command == "info") return deviceInfo(options);
  return fail("unknown command '" + options.command + "' (see --help)");
}
