// corvane-host bus, list and info: what the bus holds, what the module
// discovers, and what it declares for a device.
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "acquisition.h"
#include "bl1394.h"
#include "camera_facts.h"
#include "commands.h"
#include "pixel_layout.h"
#include "session.h"
#include "support.h"
#include "text.h"
#include "virtual_bus.h"

namespace tool {
namespace {

std::string hex(std::uint64_t n, int width) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", width, static_cast<unsigned long long>(n));
  return text;
}

// A library text, or a stand-in where it gives none.
const char* text(const char* libraryText) {
  return libraryText != nullptr ? libraryText : "?";
}

const char* speedName(std::uint8_t speed) {
  static const char* const names[] = {"S100", "S200", "S400", "S800", "S1600", "S3200"};
  return speed < 6 ? names[speed] : "?";
}

}  // namespace

int describeBus(bool json) {
  const host::VirtualBus& virtualBus = host::VirtualBus::find();
  if (!virtualBus.present()) return fail(host::needsVirtualBus("bus"));
  const std::string described = virtualBus.description();
  if (json) {
    std::printf("%s\n", described.c_str());
    return 0;
  }
  const nlohmann::json bus = nlohmann::json::parse(described);
  const nlohmann::json& adapters = bus["adapters"];
  for (std::size_t a = 0; a < adapters.size(); ++a) {
    const nlohmann::json& cameras = adapters[a]["cameras"];
    std::printf("Adapter %zu: %zu camera(s)", a + 1, cameras.size());
    if (adapters[a].contains("otherTraffic"))
      std::printf(", other traffic takes %u of a cycle's %u bandwidth units",
                  adapters[a]["otherTraffic"].get<unsigned>(), 4915u);
    std::printf("\n");
    for (const nlohmann::json& c : cameras) {
      const auto speed = c["speed"].get<std::uint8_t>();
      std::printf("  %s  %s %s %u  %s, IIDC %s\n",
                  hex(std::stoull(c["id"].get<std::string>(), nullptr, 0), 16).c_str(),
                  c["vendor"].get<std::string>().c_str(), c["model"].get<std::string>().c_str(),
                  c["number"].get<unsigned>(), speedName(speed),
                  c["iidcVersion"].get<std::string>().c_str());
      for (const nlohmann::json& m : c["fixed"]) {
        const auto format = m["format"].get<std::uint32_t>(), mode = m["mode"].get<std::uint32_t>();
        FixedFormatTable table{};
        CvInitFormatInfo(&table, format, mode, 0);
        std::string rates;
        for (const auto& r : m["rates"])
          rates +=
              std::string(rates.empty() ? "" : ", ") + text(CvFpsStringA(r.get<std::uint32_t>()));
        std::printf("    format %u mode %u: %ux%u %s at %s fps\n", format, mode,
                    table.modes[mode].width, table.modes[mode].height,
                    text(CvPixelFormatStringA(table.modes[mode].colorCoding)), rates.c_str());
      }
      for (const nlohmann::json& m : c["format7"]) {
        std::string codings;
        for (const auto& k : m["codings"])
          codings += std::string(codings.empty() ? "" : ", ") +
                     text(CvPixelFormatStringA(k.get<std::uint32_t>()));
        const auto packet = m["packetSize"].get<std::uint16_t>();
        std::printf(
            "    format 7 mode %u: up to %ux%u in steps of %ux%u, %s, %u-byte packets (%.2f%% of a "
            "bus cycle at %s)\n",
            m["mode"].get<unsigned>(), m["maxWidth"].get<unsigned>(),
            m["maxHeight"].get<unsigned>(), m["widthUnit"].get<unsigned>(),
            m["heightUnit"].get<unsigned>(), codings.c_str(), packet,
            static_cast<double>(blCalcIsoBandwidthPercentage(speed, packet)), speedName(speed));
      }
      if (const unsigned pattern = c["filterPattern"].get<unsigned>()) {
        const pixel::Bayer layout = pixel::bayerOfFilterPattern(static_cast<std::uint8_t>(pattern));
        std::printf("    colour filter %s (pattern %u)\n", pixel::bayerName(layout), pattern);
      }
      const auto trigger = std::stoull(c["triggerInquiry"].get<std::string>(), nullptr, 0);
      if (trigger & 0x80000000u)
        std::printf("    hardware trigger (inquiry %s)\n", hex(trigger, 8).c_str());
      if (c["dualPacket"].get<bool>()) std::printf("    dual packet mode\n");
      std::string features;
      for (const nlohmann::json& f : c["features"])
        features += std::string(features.empty() ? "" : ", ") + f["name"].get<std::string>();
      if (!features.empty()) std::printf("    features: %s\n", features.c_str());
    }
  }
  return 0;
}

int listDevices(const Common& common, const ListOptions& options) {
  const bool json = options.json;
  if (const int refused = startsBusLibrary()) return refused;
  std::string error;
  host::Session session;
  if (!session.start(common.module, error)) return fail(error);
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
    std::printf("%s\n", dumpJson(nlohmann::json{{"devices", devices}}, 2).c_str());
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

int deviceInfo(const Common& common, const InfoOptions& options) {
  const bool json = options.json;
  if (const int refused = startsBusLibrary()) return refused;
  std::string error;
  host::Session session;
  if (!session.start(common.module, error)) return fail(error);
  session.discover();
  std::unique_ptr<host::VideoInput> input =
      host::VideoInput::create(session, options.device, "", error);
  if (!input) return fail("info: " + error);
  if (!applySettings(*input, options.settings, error)) return fail("info: " + error);
  showWarnings(0);
  const host::DeviceAttributes& attributes = input->attributes();
  nlohmann::json properties = nlohmann::json::array();
  for (const auto& declared : attributes.properties) {
    host::PropertyValue value;
    if (!input->properties().read(declared->name(), value, error)) return fail("info: " + error);
    properties.push_back(propertyJson(*declared, &value));
  }
  nlohmann::json triggers = nlohmann::json::array();
  for (const host::TriggerConfiguration& t : attributes.triggers)
    triggers.push_back({{"configuration", t.configuration},
                        {"configurationId", t.configurationId},
                        {"source", t.source},
                        {"sourceId", t.sourceId}});
  const std::string source = attributes.sources.empty() ? "" : attributes.sources.front().name;
  // Format 7 regions follow their mode's steps: the library's records say which.
  const CameraFacts facts = cameraFacts(input->device().name());
  nlohmann::json regions = nlohmann::json::array();
  for (const Format7Facts& f : facts.format7)
    regions.push_back({{"mode", f.mode},
                       {"maxWidth", f.maxWidth},
                       {"maxHeight", f.maxHeight},
                       {"widthUnit", f.widthUnit},
                       {"heightUnit", f.heightUnit},
                       {"offsetXUnit", f.offsetXUnit},
                       {"offsetYUnit", f.offsetYUnit},
                       {"packetSize", f.packetSize}});
  if (json) {
    nlohmann::json document = {
        {"device", input->device().name()}, {"id", input->device().id()}, {"source", source},
        {"properties", properties},         {"format7", regions},         {"triggers", triggers}};
    std::printf("%s\n", dumpJson(document, 2).c_str());
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
    const std::string unit = p.contains("unit") ? " " + p["unit"].get<std::string>() : "";
    range += unit;
    std::printf("  %-28s %-11s %-24s host default %-10s value %s\n",
                p["name"].get<std::string>().c_str(), p["type"].get<std::string>().c_str(),
                range.c_str(), shortNumber(p["default"]).c_str(),
                (shortNumber(p["value"]) + unit).c_str());
  }
  std::printf(
      "  (host default: what the module declared to the host, the value a host resets to; "
      "value: the camera's now. Absolute values in IIDC's units.)\n");
  if (!facts.format7.empty()) std::printf("Format 7 regions:\n");
  for (const Format7Facts& f : facts.format7) std::printf("  %s\n", regionRule(f).c_str());
  std::printf("Hardware triggers:%s\n", triggers.empty() ? " none" : "");
  for (const host::TriggerConfiguration& t : attributes.triggers)
    std::printf("  %s/%s\n", t.configuration.c_str(), t.source.c_str());
  return 0;
}

}  // namespace tool
