// corvane-host acquire: frames of one device into files as they arrive (PNG at
// the data's depth, the camera's bytes, or one TIFF stack), with a record that
// is written as the run goes. Every frame the camera sent while the run took
// frames is either written or counted as skipped; nothing is kept per frame,
// so memory stays the same however long the run.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
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
#include "commands.h"
#include "frame_types.h"
#include "frame_writer.h"
#include "image.h"
#include "kit.h"
#include "paths.h"
#include "picture.h"
#include "pixel_layout.h"
#include "run_folder.h"
#include "session.h"
#include "support.h"
#include "text.h"

namespace tool {
namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

// Frames the host holds before the tool takes them: with the writers' queue,
// what bounds an acquisition's memory.
constexpr std::size_t kHostFrames = 8;
constexpr char kNoFrameWarning[] = "Failed to receive frame from camera";

std::atomic<bool> stopAsked{false};
extern "C" void onStop(int) {
  stopAsked = true;
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

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

int digitsOf(std::uint32_t n) {
  int digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

json rawFormat(const host::Frame& frame) {
  using host::PixelKind;
  const PixelKind kind = host::pixelKind(frame.frameType);
  const bool wide = kind == PixelKind::kMono16 || kind == PixelKind::kSignedMono16 ||
                    kind == PixelKind::kRgb16 || kind == PixelKind::kSignedRgb16 ||
                    kind == PixelKind::kBayer16;
  json description = {
      {"width", frame.width},
      {"height", frame.height},
      {"frameType", host::frameTypeName(frame.frameType)},
      {"frameTypeCode", frame.frameType},
      {"bytesPerFrame", frame.data.size()},
      {"samples", wide ? "16-bit little-endian" : "8-bit"},
      {"signed", kind == PixelKind::kSignedMono16 || kind == PixelKind::kSignedRgb16}};
  if (kind == PixelKind::kBayer8 || kind == PixelKind::kBayer16) {
    description["bayer"] = pixel::bayerName(pixel::bayerOfFrameType(frame.frameType));
  }
  // The IIDC orders of the components, U and V offset by 128.
  if (kind == PixelKind::kYuv411) description["order"] = "U Y Y V Y Y";
  if (kind == PixelKind::kYuv422) description["order"] = "U Y V Y";
  if (kind == PixelKind::kYuv444) description["order"] = "U Y V";
  return description;
}

// The run as it goes: what the summary and the progress line say.
struct Tally {
  std::uint32_t accepted = 0;  // frames given to the writers
  std::uint64_t skipped = 0;   // frames the camera sent that no file holds
  std::uint64_t firstSkipped = 0;
  std::uint64_t sinceWritten = 0;  // skipped since the last frame given to the writers
  std::uint64_t firstNumber = 0, lastNumber = 0;
  double firstTime = 0, lastTime = 0, writtenTime = -1;
  int width = 0, height = 0;
  std::uint32_t frameType = 0;

  void skip(std::uint64_t number, std::uint64_t count) {
    if (count == 0) return;
    if (skipped == 0 || number < firstSkipped) firstSkipped = number;
    skipped += count;
    sinceWritten += count;
  }
  std::uint64_t secondNumber = 0;
  double secondTime = 0;
  // Frames per second from their time stamps, over the frames taken. The
  // first frame's stamp carries the start's own delay: from the second on
  // where there are three or more.
  double cameraRate() const {
    const bool fromSecond = secondNumber != 0 && lastNumber > secondNumber;
    const std::uint64_t from = fromSecond ? secondNumber : firstNumber;
    const double since = fromSecond ? secondTime : firstTime;
    return lastNumber > from && lastTime > since
               ? static_cast<double>(lastNumber - from) / (lastTime - since)
               : 0.0;
  }
};

// The module's warnings since mark, alike ones together. While a camera waits
// for its trigger, the frame wait's timeouts are no news: they are left out.
json warningsSince(std::size_t mark, bool triggered) {
  std::vector<kit::Report> reports = kit::reports();
  std::map<std::pair<std::string, std::string>, std::size_t> seen;
  json warnings = json::array();
  for (std::size_t i = mark; i < reports.size(); ++i) {
    const kit::Report& r = reports[i];
    if (triggered && r.message.rfind(kNoFrameWarning, 0) == 0) continue;
    auto [at, fresh] = seen.emplace(std::make_pair(r.source, r.message), warnings.size());
    if (fresh)
      warnings.push_back({{"identifier", r.source}, {"message", r.message}, {"times", 1}});
    else
      warnings[at->second]["times"] = warnings[at->second]["times"].get<std::size_t>() + 1;
  }
  return warnings;
}

}  // namespace

int acquire(const Common& common, const AcquireOptions& options) {
  const bool hasTrigger = !options.capture.trigger.empty();
  const std::string& outDir = options.out;
  const std::uint32_t frames = options.frames;
  const FrameWriter::Save save = options.save == "raw"    ? FrameWriter::Save::kRaw
                                 : options.save == "tiff" ? FrameWriter::Save::kTiff
                                                          : FrameWriter::Save::kPng;
  RunFolder folder;
  std::string error;
  if (!folder.prepare(outDir, options.overwrite, error)) return fail("acquire: " + error);
  // From here on, a refusal leaves no folder it made, and an earlier run's files as they were.
  auto refuse = [&](const std::string& why) {
    folder.dropIfMade();
    return fail("acquire: " + why);
  };
  if (const int refused = startsBusLibrary()) {
    folder.dropIfMade();
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
  const std::string started = utcNow();
  const auto startedAt = Clock::now();
  if (!input->start(error)) return refuse(error);
  if (const std::string why = startFailure(*input, reportMark); !why.empty()) {
    input->stop();
    input->close();
    return refuse(why);
  }
  const double pulseRate = options.capture.pulseRate;
  if (hasTrigger) pulses.start(pulseRate);

  const bool terminal = !options.json && isatty(fileno(stderr));
  FrameWriter writer(outDir, save, std::max(4, digitsOf(frames)), frames);
  json summary = {{"device", input->device().name()},
                  {"format", input->format().name()},
                  {"trigger", hasTrigger ? options.capture.trigger : "immediate"},
                  {"settings", options.settings},
                  {"save", options.save},
                  {"framesAsked", frames},
                  {"started", started},
                  {"state", "running"},
                  {"record", "frames.jsonl"}};
  const std::string summaryPath = host::joinPath(outDir, "acquisition.json");
  auto writeSummary = [&](std::string& why) {
    const std::string text = dumpJson(summary, 2) + "\n";
    return host::writeFileWhole(summaryPath, text.data(), text.size(), why);
  };

  Tally tally;
  bool timedOut = false, saidWaiting = false;
  auto lastProgress = Clock::now();
  // A trigger may come seldom: the run waits two pulses beyond the usual.
  const double patience = hasTrigger ? 5.0 + 2.0 / pulseRate : 5.0;
  while (tally.accepted < frames && !stopAsked && !writer.failed()) {
    host::Frame frame;
    bool got = false;
    // In slices, so that Ctrl-C is heard while a frame is awaited.
    const auto waitStart = Clock::now();
    for (const auto waitEnd = waitStart + std::chrono::duration<double>(patience);
         !got && !stopAsked && Clock::now() < waitEnd;) {
      got = input->engine().takeFrame(frame, 0.1);
      if (!got && hasTrigger && !saidWaiting && !options.json &&
          Clock::now() - waitStart > std::chrono::seconds(2)) {
        std::fprintf(stderr, "waiting for trigger pulses on %s...\n",
                     options.capture.trigger.c_str());
        saidWaiting = true;
      }
    }
    if (!got) {
      timedOut = !stopAsked;
      break;
    }
    if (tally.lastNumber == 0) {
      // The first frame: an earlier run's files go only now, and the run's
      // description is on disk before any frame is.
      folder.clearEarlier();
      tally.firstNumber = frame.number;
      tally.firstTime = frame.time;
      tally.width = frame.width;
      tally.height = frame.height;
      tally.frameType = frame.frameType;
      summary["width"] = frame.width;
      summary["height"] = frame.height;
      summary["frameType"] = host::frameTypeName(frame.frameType);
      summary["frameTypeCode"] = frame.frameType;
      const std::string layout = dumpJson(rawFormat(frame), 2) + "\n";
      if (!writeSummary(error) ||
          (save == FrameWriter::Save::kRaw &&
           !host::writeFileWhole(host::joinPath(outDir, "raw.json"), layout.data(), layout.size(),
                                 error)) ||
          !writer.open()) {
        if (error.empty()) error = writer.error();
        break;
      }
      tally.skip(1, frame.number - 1);
    } else {
      // Frames the module counted but the host had no room for.
      tally.skip(tally.lastNumber + 1, frame.number - tally.lastNumber - 1);
      if (tally.secondNumber == 0) {
        tally.secondNumber = frame.number;
        tally.secondTime = frame.time;
      }
    }
    tally.lastNumber = frame.number;
    tally.lastTime = frame.time;
    FrameWriter::Record record;
    record.index = tally.accepted + 1;
    record.number = frame.number;
    record.time = frame.time;
    record.gap = tally.writtenTime < 0 ? -1.0 : frame.time - tally.writtenTime;
    record.skipped = tally.sinceWritten;
    if (writer.offer(std::move(frame), record)) {
      ++tally.accepted;
      tally.sinceWritten = 0;
      tally.writtenTime = record.time;
    } else if (!writer.failed()) {
      tally.skip(record.number, 1);  // the writers are behind
    }
    if (terminal && Clock::now() - lastProgress > std::chrono::milliseconds(200)) {
      lastProgress = Clock::now();
      std::fprintf(stderr, "\racquiring: %u/%u written, %llu skipped, camera %.1f fps   ",
                   tally.accepted, frames, static_cast<unsigned long long>(tally.skipped),
                   tally.cameraRate());
    }
  }
  input->stop();
  pulses.stop();
  const std::uint64_t counted = input->manager().framesCounted();
  const std::uint64_t delivered = input->engine().framesDelivered();
  input->close();
  while (terminal && writer.queued() > 0) {
    std::fprintf(stderr, "\rwriting: %llu/%u written                          ",
                 static_cast<unsigned long long>(writer.written()), tally.accepted);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  writer.finish();
  const double elapsed = std::chrono::duration<double>(Clock::now() - startedAt).count();
  if (terminal) std::fprintf(stderr, "\r%80s\r", "");
  if (tally.lastNumber == 0) {
    if (!error.empty()) return refuse(error);
    const std::string why =
        stopAsked ? "interrupted before the first frame"
                  : "no frame came within " + duration(patience) +
                        (hasTrigger ? " (on a hardware trigger: do pulses come?)" : "");
    return refuse(why);
  }
  folder.release();
  if (error.empty()) error = writer.error();
  const std::uint64_t written = writer.written();
  // Frames given to the writers but dropped after a failed write are skipped too.
  if (written < tally.accepted) tally.skip(writer.firstDropped(), tally.accepted - written);

  std::string sheetPath;
  const std::vector<host::Picture> thumbnails = writer.thumbnails();
  if (!thumbnails.empty() && error.empty()) {
    sheetPath = host::joinPath(outDir, "contact_sheet.png");
    if (!host::writePicture(host::contactSheet(thumbnails, 200), sheetPath, error))
      sheetPath.clear();
  }
  const json warnings = warningsSince(reportMark, hasTrigger);
  const double writingRate = elapsed > 0 ? static_cast<double>(written) / elapsed : 0.0;
  summary["state"] = !error.empty() ? "failed"
                     : stopAsked    ? "interrupted"
                     : timedOut     ? "timedOut"
                                    : "done";
  summary["frames"] = written;
  summary["skipped"] = tally.skipped;
  summary["firstSkipped"] = tally.skipped > 0 ? json(tally.firstSkipped) : json(nullptr);
  summary["framesCounted"] = counted;
  summary["framesDelivered"] = delivered;
  summary["cameraFps"] = tally.cameraRate();
  summary["writingFps"] = writingRate;
  summary["elapsed"] = elapsed;
  summary["firstTime"] = tally.firstTime;
  summary["lastTime"] = tally.lastTime;
  summary["timedOut"] = timedOut;
  summary["interrupted"] = stopAsked.load();
  summary["error"] = error.empty() ? json(nullptr) : json(error);
  summary["warnings"] = warnings;
  summary["contactSheet"] = sheetPath;
  summary["files"] = writer.filePattern();
  std::string summaryError;
  if (!writeSummary(summaryError) && error.empty()) error = summaryError;
  if (!error.empty()) return fail("acquire: " + error);

  if (options.json) {
    std::fputs((dumpJson(summary, 2) + "\n").c_str(), stdout);
  } else {
    std::printf("%s, %s: %llu frames written, %llu skipped", input->device().name().c_str(),
                input->format().name().c_str(), static_cast<unsigned long long>(written),
                static_cast<unsigned long long>(tally.skipped));
    if (tally.skipped > 0)
      std::printf(" (the first was frame %llu)",
                  static_cast<unsigned long long>(tally.firstSkipped));
    std::printf(", %llu counted, %dx%d %s\n", static_cast<unsigned long long>(counted), tally.width,
                tally.height, host::frameTypeName(tally.frameType).c_str());
    std::printf(
        "the camera sent %.2f frames per second (its time stamps, %.6f to %.6f); %.2f "
        "written per second over %.3f s\n",
        tally.cameraRate(), tally.firstTime, tally.lastTime, writingRate, elapsed);
    std::printf(
        "in %s: %s, contact sheet %s, a line for every frame in frames.jsonl, the run in "
        "acquisition.json\n",
        outDir.c_str(),
        save == FrameWriter::Save::kTiff  ? "frames.tif (a TIFF stack at the data's depth)"
        : save == FrameWriter::Save::kRaw ? "the camera's bytes (raw.json says how)"
                                          : "PNG at the data's depth",
        sheetPath.empty() ? "none" : sheetPath.c_str());
    for (const json& w : warnings) {
      const std::size_t times = w["times"].get<std::size_t>();
      std::printf("warning %s: %s%s\n", printable(w["identifier"].get<std::string>()).c_str(),
                  printable(w["message"].get<std::string>()).c_str(),
                  times > 1 ? (" (" + std::to_string(times) + " times)").c_str() : "");
    }
    if (stopAsked)
      std::printf("interrupted: %llu of %u frames written\n",
                  static_cast<unsigned long long>(written), frames);
    if (timedOut) std::printf("stopped early: no frame arrived for %.1f s\n", patience);
  }
  return timedOut || stopAsked ? 1 : 0;
}

}  // namespace tool
