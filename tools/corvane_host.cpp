// corvane-host: the stand-in host on the command line.
//
//   corvane-host [--bus FILE] [--module PATH] COMMAND ...
//
// The virtual bus is the BL1394 library this tool links, the very one the
// module loads; --bus replaces its embedded default bus with a description file.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bl1394.h"
#include "control.h"
#include "iidc.h"
#include "session.h"

namespace {

const char kUsage[] =
    "usage: corvane-host [--bus FILE] [--module PATH] COMMAND [ARGS]\n"
    "commands:\n"
    "  bus [--json]     describe the virtual bus: adapters, cameras, formats, features\n"
    "  list [--json]    discover through the module: devices and their formats\n"
    "--module PATH selects the module (default: the one beside this program).\n";

struct Options {
  std::string busFile;
  std::string module;
  std::string command;
  std::vector<std::string> args;
};

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

  if (!options.busFile.empty()) {
    sim::BusDesc bus;
    std::string error;
    if (!sim::loadBusFile(options.busFile, bus, error)) return fail(error);
    if (!sim::installBus(bus, &error)) return fail(options.busFile + ": " + error);
  }
  if (options.module.empty()) options.module = host::Module::defaultPath();
  if (options.command == "bus") return describeBus(options.args);
  if (options.command == "list") return listDevices(options);
  return fail("unknown command '" + options.command + "' (see --help)");
}
