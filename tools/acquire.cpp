// corvane-host acquire: frames of one device into picture files and a contact sheet.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "acquisition.h"
#include "commands.h"
#include "frame_types.h"
#include "kit.h"
#include "picture.h"
#include "session.h"
#include "support.h"

namespace tool {
namespace {

std::string formatSeconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", s);
  return text;
}

}  // namespace

int acquire(const Common& common, const AcquireOptions& options) {
  const bool json = options.json;
  const bool hasTrigger = !options.capture.trigger.empty();
  const std::string& outDir = options.out;
  const double pulseRate = options.capture.pulseRate;
  const std::uint32_t frames = options.frames;
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  const std::string probe = outDir + "/.corvane-write-test";
  std::FILE* test = std::fopen(probe.c_str(), "wb");
  if (test == nullptr) return fail("acquire: cannot write to folder '" + outDir + "'");
  std::fclose(test);
  std::filesystem::remove(probe, ec);

  if (const int refused = startsBusLibrary()) return refused;
  std::string error;
  host::Session session;
  if (!session.start(common.module, error)) return fail(error);
  session.discover();
  std::unique_ptr<host::VideoInput> input = makeInput(session, options.capture, error);
  if (!input) return fail("acquire: " + error);
  input->settings.framesPerTrigger = frames;
  Pulses pulses(input->device().name());
  if (!applySettings(*input, options.settings, error)) return fail("acquire: " + error);
  const std::size_t reportMark = kit::reports().size();
  if (!input->open(error)) return fail("acquire: " + error);
  const auto started = std::chrono::steady_clock::now();
  if (!input->start(error)) return fail("acquire: " + error);
  if (hasTrigger) pulses.start(pulseRate);

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
    std::snprintf(name, sizeof name, "frame_%04u.png", n + 1);
    const std::string path = outDir + "/" + name;
    if (!host::writePicture(picture, path, error)) return fail("acquire: " + error);
    files.push_back(path);
    if (thumbnails.size() < 16) thumbnails.push_back(picture);
    if (terminal) std::fprintf(stderr, "\racquiring: %u/%u frames", n + 1, frames);
  }
  if (terminal) std::fprintf(stderr, "\n");
  input->waitAndStop(timedOut ? 0.0 : 2.0);
  pulses.stop();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::uint64_t counted = input->manager().framesCounted();
  input->close();
  std::string sheetPath;
  if (!thumbnails.empty()) {
    sheetPath = outDir + "/contact_sheet.png";
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
                              {"trigger", hasTrigger ? options.capture.trigger : "immediate"},
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

}  // namespace tool
