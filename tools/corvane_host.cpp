// corvane-host: the stand-in host on the command line.
//
//   corvane-host [--bus FILE] [--module PATH] COMMAND ...
//
// The camera bus library is the BL1394 this tool links, the very one the
// module loads: the camera maker's, or the virtual bus, whose own functions the
// tool finds at run time; --bus replaces the virtual bus with a description file.
// Arguments are parsed by CLI11; every bad one ends in one line on standard
// error and exit status 2.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "cli_values.h"
#include "commands.h"
#include "kit.h"
#include "module.h"
#include "paths.h"
#include "virtual_bus.h"

#ifndef CORVANE_VERSION
#error "the build gives the version"
#endif

namespace {

// What each checked option takes: its checks say it, and so does an error
// CLI11 finds itself (a missing value, say).
const std::map<std::string, std::string> kTakes = {
    {"--frames", "takes a count of 1 or more"},
    {"--roi", "takes X,Y,W,H (whole numbers)"},
    {"--trigger", "takes CONFIG/SOURCE, e.g. Mode_0/Source_0"},
    {"--pulse-rate", "takes a rate in hertz above 0, at most 10000"},
    {"--set", "takes NAME=VALUE"},
    {"--out", "takes a folder (describe: a file)"},
    {"--bus", "takes a bus description file"},
    {"--module", "takes a module file"},
    {"--port", "takes a port number from 0 to 65535"},
    {"--max-viewers", "takes a count from 1 to 256"},
    {"--save", "takes png, tiff, ome-tiff or raw"},
    {"--buffer", "takes a size in MiB from 1 to 65536"},
};

// A check whose message is what the option takes.
CLI::Validator takes(const std::string& option, bool (*accepts)(const std::string&)) {
  const std::string message = kTakes.at(option);
  return CLI::Validator(
      [accepts, message](std::string& value) { return accepts(value) ? std::string() : message; },
      "");
}

// --frames: what is wrong with the count, in the words that fit it.
CLI::Validator frameCount() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
          return "takes a count in digits (1000, not 1e3 or 1,000)";
        if (text.find_first_not_of('0') == std::string::npos) return "takes a count of 1 or more";
        std::uint32_t n = 0;
        if (!host::parseCount(text, n)) return "takes at most 999999999 frames";
        return {};
      },
      "");
}

bool isRoi(const std::string& text) {
  int roi[4];
  return host::parseRoi(text, roi);
}

bool isTrigger(const std::string& text) {
  std::string configuration, source;
  return host::splitTrigger(text, configuration, source);
}

bool isSetting(const std::string& text) {
  std::string name, value;
  return host::splitSetting(text, name, value);
}

bool isRate(const std::string& text) {
  char* end = nullptr;
  const double rate = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && rate > 0 && rate <= 10000;
}

bool isViewerCount(const std::string& text) {
  std::uint32_t n = 0;
  return host::parseCount(text, n) && n >= 1 && n <= 256;
}

bool isPort(const std::string& text) {
  std::uint32_t n = 0;
  return host::parseCount(text, n) && n <= 65535;
}

const std::vector<std::string> kSaves = {"png", "tiff", "ome-tiff", "raw"};

bool isBufferSize(const std::string& text) {
  std::uint32_t n = 0;
  return host::parseCount(text, n) && n >= 1 && n <= 65536;
}

// Edits that turn a into b (insertions, deletions, substitutions).
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean 'tiff'?" for the candidate nearest to the word given, when
// it is fewer than bound edits away or starts with the word (--frame for
// --frames); empty otherwise: more edits is another word.
std::string nearestOf(const std::string& given, const std::vector<std::string>& candidates,
                      std::size_t bound) {
  std::string best;
  // TIFF for tiff is a slip too.
  std::string word = given;
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string& candidate : candidates) {
    const std::size_t d = distance(word, candidate);
    if (d < bound || (candidate.rfind(word, 0) == 0 && word.size() > 3 && best.empty()))
      best = candidate, bound = std::min(d, bound);
  }
  return best.empty() ? "" : "; did you mean '" + best + "'?";
}

// A short word is near another only one edit away.
std::size_t slipsIn(const std::string& word) {
  return std::min<std::size_t>(3, std::max<std::size_t>(2, word.size() / 3 + 1));
}

// The option of app nearest to the one given.
std::string nearest(const CLI::App& app, const std::string& given) {
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options())
    for (const std::string& longName : option->get_lnames()) names.push_back("--" + longName);
  return nearestOf(given.substr(0, given.find('=')), names, 3);
}

// The command of app nearest to the word given.
std::string nearestCommand(const CLI::App& app, const std::string& given) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    names.push_back(sub->get_name());
  return nearestOf(given, names, slipsIn(given));
}

// --save: the names it takes, and the nearest when the one given is a slip.
CLI::Validator saveName() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (std::find(kSaves.begin(), kSaves.end(), text) != kSaves.end()) return {};
        return kTakes.at("--save") + ", not '" + text + "'" +
               nearestOf(text, kSaves, slipsIn(text));
      },
      "");
}

bool isNotEmpty(const std::string& text) {
  return !text.empty();
}

// A device in a format, with region and trigger: what acquire and view take.
void addCapture(CLI::App* sub, tool::CaptureOptions& capture) {
  sub->allow_extras();
  sub->add_option("DEVICE", capture.device, "device identifier or name, as list shows")->required();
  sub->add_option("FORMAT", capture.format,
                  "format identifier or name (default: the device's default format)");
  sub->add_option("--roi", capture.roi, "region of interest")
      ->type_name("X,Y,W,H")
      ->check(takes("--roi", isRoi));
  sub->add_option("--trigger", capture.trigger, "a hardware trigger, as info lists it")
      ->type_name("CONFIG/SOURCE")
      ->check(takes("--trigger", isTrigger));
  sub->add_option("--pulse-rate", capture.pulseRate,
                  "trigger pulses per second the virtual bus fires (default 10)")
      ->type_name("HZ")
      ->check(takes("--pulse-rate", isRate));
}

// One line for a parse error: "command: --option takes ...".
std::string oneLine(const CLI::App& app, const CLI::ParseError& e) {
  std::string message = e.what();
  const std::size_t colon = message.find(": ");
  if (colon != std::string::npos) {
    const std::string option = message.substr(0, colon);
    auto takes = kTakes.find(option);
    if (message.find("At Most 1 required but received") != std::string::npos) {
      message = option + " is given more than once";
    } else if (takes != kTakes.end()) {
      const bool ours = dynamic_cast<const CLI::ValidationError*>(&e) != nullptr;
      message = option + " " + (ours ? message.substr(colon + 2) : takes->second);
    }
  }
  for (const CLI::App* sub : app.get_subcommands()) return sub->get_name() + ": " + message;
  return message;
}

// Arguments nobody took, in the words the tool has always used.
std::string extras(const CLI::App& app) {
  const std::vector<std::string> left = app.remaining();
  if (!left.empty()) {
    const std::string& a = left.front();
    if (a.rfind('-', 0) != 0) {
      const std::string hint = nearestCommand(app, a);
      return "unknown command '" + a + "'" + (hint.empty() ? " (see --help)" : hint);
    }
    const std::string hint = nearest(app, a);
    return "unknown option '" + a + "'" + (hint.empty() ? " (see --help)" : hint);
  }
  for (const CLI::App* sub : app.get_subcommands()) {
    const std::vector<std::string> subLeft = sub->remaining();
    if (subLeft.empty()) continue;
    const std::string& a = subLeft.front();
    return sub->get_name() + ": " +
           (a.rfind('-', 0) == 0 ? "unknown option '" + a + "'" + nearest(*sub, a)
                                 : "unexpected argument '" + a + "'");
  }
  return {};
}

int run(int argc, char** argv) {
  CLI::App app(
      "The stand-in host: discovers cameras through the adaptor module, shows their "
      "properties and acquires frames, on the embedded virtual camera bus.",
      "corvane-host");
  app.allow_extras();
  app.require_subcommand(0, 1);
  std::string busFile;
  tool::Common common;
  bool version = false;
  app.add_option("--bus", busFile, "a bus description file (JSON) instead of the embedded bus")
      ->type_name("FILE")
      ->check(takes("--bus", isNotEmpty));
  app.add_option("--module", common.module,
                 "the module file (default: beside this program, or in ../module)")
      ->type_name("PATH")
      ->check(takes("--module", isNotEmpty));
  app.add_flag("--version", version, "the tool's version and the module file it would load");

  bool busJson = false;
  CLI::App* bus = app.add_subcommand("bus", "describe the virtual bus: adapters, cameras, formats");
  bus->allow_extras();
  bus->add_flag("--json", busJson, "as JSON, in the form of a bus description file");

  tool::DescribeOptions describe;
  CLI::App* describing = app.add_subcommand(
      "describe", "read every camera through the library's C API into a bus description");
  describing->allow_extras();
  describing->add_option("--out", describe.out, "the file to write (default: standard output)")
      ->type_name("FILE")
      ->check(takes("--out", isNotEmpty));

  tool::ListOptions list;
  CLI::App* listing = app.add_subcommand("list", "discover through the module: devices, formats");
  listing->allow_extras();
  listing->add_flag("--json", list.json, "as JSON");

  auto addSettings = [](CLI::App* sub, std::vector<std::string>& settings) {
    sub->add_option("--set", settings, "set a property first (repeatable, applied in order)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)
        ->check(takes("--set", isSetting));
  };

  tool::InfoOptions info;
  CLI::App* infoing =
      app.add_subcommand("info", "a device's source, properties and hardware triggers");
  infoing->allow_extras();
  infoing->add_option("DEVICE", info.device, "device identifier or name, as list shows")
      ->required();
  addSettings(infoing, info.settings);
  infoing->add_flag("--json", info.json, "as JSON");

  tool::AcquireOptions acquire;
  CLI::App* acquiring =
      app.add_subcommand("acquire", "acquire frames into picture files and a contact sheet");
  addCapture(acquiring, acquire.capture);
  acquiring->add_option("--frames", acquire.frames, "frames to acquire (default 10)")
      ->type_name("N")
      ->check(frameCount());
  addSettings(acquiring, acquire.settings);
  acquiring->add_option("--out", acquire.out, "folder for the pictures (default frames/)")
      ->type_name("DIR")
      ->check(takes("--out", isNotEmpty));
  acquiring->add_flag("--overwrite", acquire.overwrite,
                      "write into a folder that holds an earlier acquisition's files");
  acquiring
      ->add_option("--save", acquire.save,
                   "png: pictures at the data's depth (default); tiff: a stack at the data's "
                   "depth, an ImageJ hyperstack where ImageJ takes one; ome-tiff: an OME-TIFF "
                   "stack; raw: the camera's bytes "
                   "(16-bit samples little-endian, as the library gives them)")
      ->type_name("png|tiff|ome-tiff|raw")
      ->check(saveName());
  acquiring
      ->add_option("--buffer", acquire.bufferMib,
                   "memory for frames waiting to be written, in MiB (default 256: some seconds "
                   "of a full S800 camera)")
      ->type_name("MIB")
      ->check(takes("--buffer", isBufferSize));
  acquiring->add_flag("--json", acquire.json, "the summary as JSON");

  tool::ViewOptions view;
  CLI::App* viewing = app.add_subcommand(
      "view", "watch a device live in a browser and turn its controls while it streams");
  addCapture(viewing, view.capture);
  viewing->add_option("--port", view.port, "the port on 127.0.0.1 (default 0: any free port)")
      ->type_name("N")
      ->check(takes("--port", isPort));
  viewing
      ->add_option("--max-viewers", view.maxViewers,
                   "viewers that may watch at once; more are refused until one leaves (default 8)")
      ->type_name("N")
      ->check(takes("--max-viewers", isViewerCount));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    return tool::fail(oneLine(app, e));
  }
  if (const std::string problem = extras(app); !problem.empty()) return tool::fail(problem);

  if (common.module.empty()) common.module = host::Module::defaultPath();
  if (version) {
    std::printf("corvane-host %s\nmodule: %s%s\n", CORVANE_VERSION, common.module.c_str(),
                std::filesystem::exists(common.module) ? "" : " (not there)");
    return 0;
  }
  if (app.get_subcommands().empty()) {
    std::fputs(app.help().c_str(), stderr);
    return 2;
  }

  // The tool says what the module reported, once, in its own words.
  kit::setReportEcho(false);
  const host::VirtualBus& virtualBus = host::VirtualBus::find();
  for (const CLI::App* sub : {acquiring, viewing}) {
    if (!sub->parsed() || sub->count("--pulse-rate") == 0) continue;
    if (sub->count("--trigger") == 0)
      return tool::fail(
          sub->get_name() +
          ": --pulse-rate is the rate of hardware trigger pulses; it needs --trigger");
    if (!virtualBus.present())
      return tool::fail(sub->get_name() + ": " + host::needsVirtualBus("--pulse-rate"));
  }
  if (!busFile.empty()) {
    if (!virtualBus.present()) return tool::fail(host::needsVirtualBus("--bus"));
    // The bus file given here replaces one named at load: that one's fault is no matter.
    virtualBus.startupError();
    std::ifstream file(host::fsPath(busFile), std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) return tool::fail(busFile + ": cannot be read");
    std::string error;
    if (!virtualBus.install(text.str(), error)) return tool::fail(busFile + ": " + error);
  } else if (virtualBus.present()) {
    // A broken bus file named at load ends every command, in one line.
    if (const std::string why = virtualBus.startupError(); !why.empty()) return tool::fail(why);
  }
  if (bus->parsed()) return tool::describeBus(busJson);
  if (describing->parsed()) return tool::describe(common, describe);
  if (listing->parsed()) return tool::listDevices(common, list);
  if (infoing->parsed()) return tool::deviceInfo(common, info);
  if (viewing->parsed()) return tool::view(common, view);
  return tool::acquire(common, acquire);
}

}  // namespace

#if defined(_WIN32)
// The system's arguments in UTF-16, passed on in UTF-8, the tool's text
// everywhere: any folder name arrives whole, not only the ANSI code page's.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> texts;
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), size, nullptr, nullptr);
    text.resize(std::strlen(text.c_str()));
    texts.push_back(std::move(text));
  }
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return run(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
  return run(argc, argv);
}
#endif
