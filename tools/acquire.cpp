// corvane-host acquire: frames of one device into files as they arrive (PNG at
// the data's depth, or the camera's bytes), a contact sheet and a record of
// every frame; memory stays the same however many frames are taken.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

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
#include "camera_facts.h"
#include "commands.h"
#include "frame_types.h"
#include "frame_writer.h"
#include "image.h"
#include "kit.h"
#include "picture.h"
#include "pixel_layout.h"
#include "session.h"
#include "support.h"

namespace tool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Frames the host holds before its user takes them, and frames waiting to be
// written: what bounds an acquisition's memory.
constexpr std::size_t kHostFrames = 8;
constexpr std::size_t kWriteQueue = 4;
constexpr std::size_t kWriters = 2;

std::atomic<bool> stopAsked{false};
extern "C" void onStop(int) {
  stopAsked = true;
}

bool ours(const fs::path& file) {
  const std::string name = file.filename().string();
  return name.rfind("frame_", 0) == 0 || name == "contact_sheet.png" || name == "raw.json" ||
         name == "acquisition.json";
}

// The folder for the files: made when missing; one that holds files already is
// refused, unless overwrite, and then the files of an earlier acquisition go.
bool prepareFolder(const std::string& dir, bool overwrite, bool& made, std::string& error) {
  std::error_code ec;
  made = false;
  if (fs::exists(dir, ec)) {
    if (!fs::is_directory(dir, ec)) {
      error = "'" + dir + "' is a file, not a folder";
      return false;
    }
    bool used = false;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      used = true;
      if (overwrite && ours(entry.path())) fs::remove(entry.path(), ec);
    }
    if (used && !overwrite) {
      error = "folder '" + dir +
              "' holds files already; give --overwrite to write over an "
              "earlier acquisition's, or another folder";
      return false;
    }
  } else {
    fs::create_directories(dir, ec);
    if (ec) {
      error = "cannot make folder '" + dir + "': " + ec.message();
      return false;
    }
    made = true;
  }
  const std::string probe = dir + "/.corvane-write-test";
  if (!host::writeFileWhole(probe, "", 0, error)) {
    error = "cannot write to folder '" + dir + "': " + error.substr(error.rfind(": ") + 2);
    if (made) fs::remove_all(dir, ec);
    made = false;
    return false;
  }
  fs::remove(probe, ec);
  return true;
}

std::string duration(double seconds) {
  char text[32];
  if (seconds >= 60)
    std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds) / 60,
                  static_cast<int>(seconds) % 60);
  else
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  return text;
}

nlohmann::json rawFormat(const host::Frame& frame) {
  using host::PixelKind;
  const PixelKind kind = host::pixelKind(frame.frameType);
  const bool wide = kind == PixelKind::kMono16 || kind == PixelKind::kSignedMono16 ||
                    kind == PixelKind::kRgb16 || kind == PixelKind::kSignedRgb16 ||
                    kind == PixelKind::kBayer16;
  nlohmann::json description = {
      {"width", frame.width},
      {"height", frame.height},
      {"frameType", host::frameTypeName(frame.frameType)},
      {"frameTypeCode", frame.frameType},
      {"bytesPerFrame", frame.data.size()},
      {"samples", wide ? "16-bit little-endian" : "8-bit"},
      {"signed", kind == host::PixelKind::kSignedMono16 || kind == host::PixelKind::kSignedRgb16}};
  if (kind == host::PixelKind::kBayer8 || kind == host::PixelKind::kBayer16) {
    static const char* const kLayouts[] = {"RGGB", "GBRG", "GRBG", "BGGR"};
    description["bayer"] = kLayouts[static_cast<int>(pixel::bayerOfFrameType(frame.frameType))];
  }
  return description;
}

}  // namespace

int acquire(const Common& common, const AcquireOptions& options) {
  const bool json = options.json;
  const bool hasTrigger = !options.capture.trigger.empty();
  const std::string& outDir = options.out;
  const std::uint32_t frames = options.frames;
  const FrameWriter::Save save =
      options.save == "raw" ? FrameWriter::Save::kRaw : FrameWriter::Save::kPng;
  bool made = false;
  std::string error;
  if (!prepareFolder(outDir, options.overwrite, made, error)) return fail("acquire: " + error);
  // From here on, a refusal leaves no folder it made.
  auto refuse = [&](const std::string& why) {
    std::error_code ec;
    if (made) fs::remove_all(outDir, ec);
    return fail("acquire: " + why);
  };

  if (const int refused = startsBusLibrary()) {
    std::error_code ec;
    if (made) fs::remove_all(outDir, ec);
    return refused;
  }
  host::Session session;
  if (!session.start(common.module, error)) return refuse(error);
  session.discover();
  std::unique_ptr<host::VideoInput> input = makeInput(session, options.capture, error);
  if (!input) return refuse(error);
  input->settings.framesPerTrigger = 0;  // until this many are taken
  input->engine().setMemoryLimit(kHostFrames);
  Pulses pulses(input->device().name());
  if (!applySettings(*input, options.settings, error)) return refuse(error);
  const std::size_t reportMark = kit::reports().size();
  if (!input->open(error)) return refuse(error);
  stopAsked = false;
  std::signal(SIGINT, onStop);
  std::signal(SIGTERM, onStop);
  const auto started = Clock::now();
  if (!input->start(error)) return refuse(error);
  if (const std::string why = startFailure(*input, reportMark); !why.empty()) {
    input->stop();
    input->close();
    return refuse(why);
  }
  const double pulseRate = options.capture.pulseRate;
  if (hasTrigger) pulses.start(pulseRate);

  const bool terminal = !json && isatty(fileno(stderr));
  FrameWriter writer(outDir, save, kWriters, kWriteQueue);
  nlohmann::json records = nlohmann::json::array();
  nlohmann::json raw;
  double firstTime = 0, lastTime = 0;
  int width = 0, height = 0;
  std::uint32_t frameType = 0, taken = 0;
  bool timedOut = false;
  const double patience = hasTrigger ? 5.0 + 2.0 / pulseRate : 5.0;
  while (taken < frames && !stopAsked) {
    host::Frame frame;
    bool got = false;
    // In slices, so that Ctrl-C is heard while a frame is awaited.
    for (const auto waitEnd = Clock::now() + std::chrono::duration<double>(patience);
         !got && !stopAsked && Clock::now() < waitEnd;)
      got = input->engine().takeFrame(frame, 0.1);
    if (!got) {
      timedOut = !stopAsked;
      break;
    }
    ++taken;
    if (taken == 1) {
      firstTime = frame.time;
      width = frame.width;
      height = frame.height;
      frameType = frame.frameType;
      if (save == FrameWriter::Save::kRaw) raw = rawFormat(frame);
    }
    records.push_back(
        {{"number", taken},
         {"time", frame.time},
         {"gap", taken == 1 ? nlohmann::json(nullptr) : nlohmann::json(frame.time - lastTime)}});
    lastTime = frame.time;
    if (!writer.push(std::move(frame), taken)) break;
    if (terminal) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
      const double rate = taken / std::max(elapsed, 1e-3);
      std::fprintf(stderr, "\racquiring: %u/%u taken, %zu written, %.1f fps, %s left   ", taken,
                   frames, writer.written(), rate,
                   duration((frames - taken) / std::max(rate, 1e-3)).c_str());
    }
  }
  input->stop();
  pulses.stop();
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const std::uint64_t counted = input->manager().framesCounted();
  const std::uint64_t delivered = input->engine().framesDelivered();
  input->close();
  while (terminal && writer.queued() > 0) {
    std::fprintf(stderr, "\rwriting: %zu/%u written                          ", writer.written(),
                 taken);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  writer.finish();
  if (terminal) std::fprintf(stderr, "\r%80s\r", "");
  if (taken == 0 && (timedOut || stopAsked)) {
    const std::string why =
        stopAsked ? "interrupted before the first frame"
                  : "no frame came within " + duration(patience) +
                        (hasTrigger ? " (on a hardware trigger: do pulses come?)" : "");
    return refuse(why);
  }
  if (!writer.error().empty()) return fail("acquire: " + writer.error());

  const std::vector<std::string> files = writer.files();
  std::string sheetPath;
  const std::vector<host::Picture> thumbnails = writer.thumbnails();
  if (!thumbnails.empty()) {
    sheetPath = outDir + "/contact_sheet.png";
    if (!host::writePicture(host::contactSheet(thumbnails, 200), sheetPath, error))
      return fail("acquire: " + error);
  }
  if (!raw.is_null()) {
    const std::string text = raw.dump(2) + "\n";
    if (!host::writeFileWhole(outDir + "/raw.json", text.data(), text.size(), error))
      return fail("acquire: " + error);
  }
  const double fps = taken > 1 && lastTime > firstTime ? (taken - 1) / (lastTime - firstTime) : 0.0;
  std::vector<kit::Report> reports = kit::reports();
  reports.erase(reports.begin(), reports.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(reportMark, reports.size())));
  nlohmann::json warnings = nlohmann::json::array();
  for (const kit::Report& r : reports)
    warnings.push_back({{"identifier", r.source}, {"message", r.message}});
  const nlohmann::json summary = {{"device", input->device().name()},
                                  {"format", input->format().name()},
                                  {"frames", files.size()},
                                  {"framesCounted", counted},
                                  {"framesDelivered", delivered},
                                  {"width", width},
                                  {"height", height},
                                  {"frameType", host::frameTypeName(frameType)},
                                  {"frameTypeCode", frameType},
                                  {"save", options.save},
                                  {"fps", fps},
                                  {"elapsed", elapsed},
                                  {"firstTime", firstTime},
                                  {"lastTime", lastTime},
                                  {"trigger", hasTrigger ? options.capture.trigger : "immediate"},
                                  {"timedOut", timedOut},
                                  {"interrupted", stopAsked.load()},
                                  {"warnings", warnings},
                                  {"files", files},
                                  {"contactSheet", sheetPath},
                                  {"records", records}};
  const std::string summaryText = summary.dump(2) + "\n";
  if (!host::writeFileWhole(outDir + "/acquisition.json", summaryText.data(), summaryText.size(),
                            error))
    return fail("acquire: " + error);
  if (json) {
    std::fputs(summaryText.c_str(), stdout);
  } else {
    std::printf("%s, %s: %zu frames written, %llu counted, %dx%d %s\n",
                input->device().name().c_str(), input->format().name().c_str(), files.size(),
                static_cast<unsigned long long>(counted), width, height,
                host::frameTypeName(frameType).c_str());
    std::printf("elapsed %.3f s, %.2f frames per second, timestamps %.6f to %.6f\n", elapsed, fps,
                firstTime, lastTime);
    if (!files.empty())
      std::printf(
          "files in %s/ (%s), contact sheet %s, a record of every frame in "
          "acquisition.json\n",
          outDir.c_str(),
          options.save == "raw" ? "the camera's bytes, raw.json says how"
                                : "PNG at the data's depth",
          sheetPath.c_str());
    for (const kit::Report& r : reports)
      std::printf("warning %s: %s\n", r.source.c_str(), r.message.c_str());
    if (stopAsked) std::printf("interrupted: %u of %u frames taken and written\n", taken, frames);
    if (timedOut) std::printf("stopped early: no frame arrived for %.1f s\n", patience);
  }
  return timedOut || stopAsked ? 1 : 0;
}

}  // namespace tool
