// corvane-host acquire: frames of one device into files as they arrive (PNG at
// the data's depth, the camera's bytes, or one TIFF stack), with a record that
// is written as the run goes. Every frame the camera sent between the first
// frame written and the last is written, skipped (counted by the module, held
// by no file) or lost (never reached the host); nothing is kept per frame, so
// memory stays the same however long the run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
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

#include "acquire_record.h"
#include "acquisition.h"
#include "commands.h"
#include "disk.h"
#include "frame_types.h"
#include "frame_writer.h"
#include "image.h"
#include "kit.h"
#include "lost_frames.h"
#include "paths.h"
#include "picture.h"
#include "run_folder.h"
#include "session.h"
#include "support.h"
#include "text.h"

namespace tool {
namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

std::atomic<bool> stopAsked{false};
extern "C" void onStop(int) {
  stopAsked = true;
}

int digitsOf(std::uint32_t n) {
  int digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

FrameWriter::Save saveOf(const std::string& save) {
  if (save == "raw") return FrameWriter::Save::kRaw;
  if (save == "tiff") return FrameWriter::Save::kTiff;
  if (save == "ome-tiff") return FrameWriter::Save::kOmeTiff;
  return FrameWriter::Save::kPng;
}

std::string filesSaid(FrameWriter::Save save, const FrameWriter& writer) {
  switch (save) {
    case FrameWriter::Save::kTiff:
    case FrameWriter::Save::kOmeTiff:
      return writer.filePattern() + " (" + writer.stackSaid() + ")";
    case FrameWriter::Save::kRaw:
      return "the camera's bytes (raw.json says how)";
    case FrameWriter::Save::kPng:
      break;
  }
  return "PNG at the data's depth";
}

}  // namespace

int acquire(const Common& common, const AcquireOptions& options) {
  const bool hasTrigger = !options.capture.trigger.empty();
  const std::string& outDir = options.out;
  const std::uint32_t frames = options.frames;
  const FrameWriter::Save save = saveOf(options.save);
  const std::size_t bufferBytes = static_cast<std::size_t>(options.bufferMib) << 20;
  RunFolder folder;
  std::string error;
  if (!folder.prepare(outDir, options.overwrite, error)) return fail("acquire: " + error);
  // From here on, a refusal leaves no folder it made, and an earlier run's files as they were.
  auto refuse = [&](const std::string& why) {
    folder.dropRun();
    return fail("acquire: " + why);
  };
  if (const int refused = startsBusLibrary()) {
    folder.dropRun();
    return refused;
  }
  host::Session session;
  if (!session.start(common.module, error)) return refuse(error);
  session.discover();
  std::unique_ptr<host::VideoInput> input = makeInput(session, options.capture, error);
  if (!input) return refuse(error);
  input->settings.framesPerTrigger = 0;  // until this many are taken
  Pulses pulses(input->device().name());
  if (!applySettings(*input, options.settings, error)) return refuse(error);
  const std::size_t reportMark = kit::reports().size();
  if (!input->open(error)) return refuse(error);
  int offsetX = 0, offsetY = 0, width = 0, height = 0;
  input->roi(offsetX, offsetY, width, height);
  const FrameWriter::Expected expected{input->adaptor().getFrameType(), width, height};
  const std::size_t frameBytes =
      std::max<std::size_t>(1, host::imageBytes(expected.frameType, static_cast<std::size_t>(width),
                                                static_cast<std::size_t>(height)));
  // The host's frame memory is a small share of the buffer: the tool empties
  // it at once, into the writers' buffer.
  input->engine().setMemoryLimit(std::clamp<std::size_t>(bufferBytes / 8 / frameBytes, 8, 256));
  const double pulseRate = options.capture.pulseRate;
  const double nominal = nominalRate(input->device().name(), input->format().name(),
                                     expected.frameType, width, height);
  // The camera's period: a hardware trigger's pulses come as fast as the
  // virtual bus fires them (no faster than the camera sends), or unknown.
  double period = nominal > 0 ? 1.0 / nominal : 0.0;
  if (hasTrigger) period = pulses.fires() ? std::max(period, 1.0 / pulseRate) : 0.0;
  LostFrames lostFrames(input->device().name(), period);

  const bool terminal = !options.json && isatty(fileno(stderr));
  json trigger = nullptr;
  if (hasTrigger)
    trigger = {{"configuration", options.capture.trigger},
               {"pulseRate", pulses.fires() ? json(pulseRate) : json(nullptr)}};
  json summary = {
      {"device", input->device().name()},
      {"format", input->format().name()},
      {"region",
       {{"offsetX", offsetX}, {"offsetY", offsetY}, {"width", width}, {"height", height}}},
      {"trigger", trigger},
      {"settingsGiven", options.settings},
      {"settings", settingsNow(*input)},
      {"save", options.save},
      {"bufferMiB", options.bufferMib},
      {"framesAsked", frames},
      {"nominalFps", nominal > 0 ? json(nominal) : json(nullptr)},
      {"state", "running"},
      {"record", "frames.jsonl"}};
  const std::string summaryPath = host::joinPath(outDir, "acquisition.json");
  // Whole, on the disk, under its name: a power loss leaves this or the one before.
  auto writeSummary = [&](std::string& why) {
    const std::string text = dumpJson(summary, 2) + "\n";
    return host::writeFileWhole(summaryPath, text.data(), text.size(), why, nullptr, true) &&
           syncFolder(outDir, why);
  };
  FrameWriter writer(outDir, save, std::max(4, digitsOf(frames)), frames, bufferBytes);
  // The writers are ready, their first files made, before the camera starts:
  // an earlier run's files give way to them now. acquisition.json comes
  // first, so that whatever else this run leaves is named by it.
  std::vector<std::string> names = {"acquisition.json", "frames.jsonl", "contact_sheet.png"};
  if (save == FrameWriter::Save::kRaw) names.push_back("raw.json");
  if (save == FrameWriter::Save::kTiff || save == FrameWriter::Save::kOmeTiff)
    names.push_back(writer.fileName(1));
  auto makes = [&writer](const std::string& name) { return writer.makes(name); };
  if (options.overwrite && !folder.clearEarlier(names, makes, error)) return refuse(error);
  holdAt("cleared");
  for (const std::string& name : names) folder.own(name);
  if (!writeSummary(error)) return refuse(error);
  // A run that ends before its first frame leaves nothing of itself.
  auto abandon = [&](const std::string& why) {
    input->stop();
    input->close();
    writer.finish();
    folder.dropRun();
    return fail("acquire: " + why);
  };
  if (!writer.open(expected)) return abandon(writer.error());
  stopAsked = false;
  std::signal(SIGINT, onStop);
  std::signal(SIGTERM, onStop);
  // The wall clock beside the host's, read together: frame times map to UTC.
  const double unixAtStart = unixNow();
  const double hostClockAtStart = getCurrentTime();
  const std::string started = utcAt(unixAtStart);
  const auto startedAt = Clock::now();
  summary["started"] = started;
  summary["hostClockAtStart"] = hostClockAtStart;
  if (!writeSummary(error)) return abandon(error);
  if (!input->start(error)) return abandon(error);
  if (const std::string why = startFailure(*input, reportMark); !why.empty()) return abandon(why);
  holdAt("started");
  if (hasTrigger) pulses.start(pulseRate);

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
    const std::uint64_t lost = lostFrames.since(frame.number, frame.time);
    if (tally.lastNumber == 0) {
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
      if (save == FrameWriter::Save::kRaw &&
          !host::writeFileWhole(host::joinPath(outDir, "raw.json"), layout.data(), layout.size(),
                                error, nullptr, true))
        break;
    } else {
      if (tally.secondNumber == 0) {
        tally.secondNumber = frame.number;
        tally.secondTime = frame.time;
      }
      // Only between written frames: what came before the first is no part of the run.
      if (tally.accepted > 0) {
        // Frames the module counted but the host had no room for.
        tally.skip(tally.lastNumber + 1, frame.number - tally.lastNumber - 1);
        tally.lostSinceWritten += lost;
      }
    }
    tally.lastNumber = frame.number;
    tally.lastTime = frame.time;
    FrameWriter::Record record;
    record.index = tally.accepted + 1;
    record.number = frame.number;
    record.time = frame.time;
    // To the microsecond, as the stamps' own differences carry binary noise below it.
    record.gap =
        tally.writtenTime < 0 ? -1.0 : std::round((frame.time - tally.writtenTime) * 1e6) / 1e6;
    record.skipped = tally.sinceWritten;
    record.lost = tally.lostSinceWritten;
    if (writer.offer(std::move(frame), record)) {
      ++tally.accepted;
      tally.skipped += std::exchange(tally.sinceWritten, 0);
      tally.lost += std::exchange(tally.lostSinceWritten, 0);
      tally.writtenTime = record.time;
    } else if (!writer.failed() && tally.accepted > 0) {
      tally.skip(record.number, 1);  // the writers are behind
    }
    if (terminal && Clock::now() - lastProgress > std::chrono::milliseconds(200)) {
      lastProgress = Clock::now();
      std::fprintf(stderr, "\racquiring: %u/%u written, %llu skipped, %llu lost, %.1f fps   ",
                   tally.accepted, frames, static_cast<unsigned long long>(tally.skipped),
                   static_cast<unsigned long long>(tally.lost), tally.deliveredRate());
    }
  }
  input->stop();
  pulses.stop();
  const std::uint64_t counted = input->manager().framesCounted();
  input->close();
  while (terminal && writer.queued() > 0) {
    std::fprintf(stderr, "\rwriting: %llu/%u written                          ",
                 static_cast<unsigned long long>(writer.written()), tally.accepted);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  writer.finish({unixAtStart, hostClockAtStart, period});
  const double elapsed = std::chrono::duration<double>(Clock::now() - startedAt).count();
  if (terminal) std::fprintf(stderr, "\r%80s\r", "");
  const FrameWriter::Totals& totals = writer.totals();
  if (error.empty()) error = writer.error();
  if (tally.lastNumber == 0 || totals.written == 0) {
    const std::string why =
        !error.empty() ? error
        : stopAsked    ? "interrupted before the first frame"
                       : "no frame came within " + duration(patience) +
                          (hasTrigger ? " (on a hardware trigger: do pulses come?)" : "");
    folder.dropRun();
    return fail("acquire: " + why);
  }

  std::string sheetPath;
  const std::vector<host::Picture> thumbnails = writer.thumbnails();
  if (!thumbnails.empty() && error.empty()) {
    sheetPath = host::joinPath(outDir, "contact_sheet.png");
    if (!host::writePicture(host::contactSheet(thumbnails, 200), sheetPath, error, true))
      sheetPath.clear();
  }
  const json warnings = warningsSince(reportMark, hasTrigger);
  const double writingRate = writer.writingRate();
  const bool exact = lostFrames.exact();
  summary["state"] = !error.empty() ? "failed"
                     : stopAsked    ? "interrupted"
                     : timedOut     ? "timedOut"
                                    : "done";
  summary["frames"] = totals.written;
  summary["skipped"] = totals.skipped;
  summary["firstSkipped"] = totals.firstSkipped > 0 ? json(totals.firstSkipped) : json(nullptr);
  summary["lost"] = lostFrames.known() ? json(totals.lost) : json(nullptr);
  summary["lostEstimated"] = !exact;
  summary["cameraFrames"] = totals.written + totals.skipped + totals.lost;
  summary["framesCounted"] = counted;
  summary["framesDelivered"] = input->engine().framesDelivered();
  summary["deliveredFps"] = tally.deliveredRate() > 0 ? json(tally.deliveredRate()) : json(nullptr);
  summary["writingFps"] = writingRate;
  summary["elapsed"] = elapsed;
  summary["firstTime"] = totals.firstTime;
  summary["firstFrameUtc"] = utcAt(unixAtStart + totals.firstTime - hostClockAtStart);
  summary["lastTime"] = totals.lastTime;
  summary["timedOut"] = timedOut;
  summary["interrupted"] = stopAsked.load();
  summary["error"] = error.empty() ? json(nullptr) : json(error);
  summary["warnings"] = warnings;
  summary["contactSheet"] = sheetPath;
  summary["files"] = writer.filePattern();
  if (save == FrameWriter::Save::kTiff || save == FrameWriter::Save::kOmeTiff)
    summary["stack"] = writer.stackSaid();
  std::string summaryError;
  if (!writeSummary(summaryError) && error.empty()) error = summaryError;
  // Held until the record is final: the folder is this run's till then.
  holdAt("final");
  folder.release();
  if (!error.empty()) {
    // One line: what failed, what was kept, and a stack left without its time series.
    const std::string plain =
        writer.stackUndescribed()
            ? "; " + writer.filePattern() +
                  " lacks its time-series description (a plain stack: each page's own and "
                  "frames.jsonl keep its frame number and time)"
            : std::string();
    std::fprintf(stderr,
                 "corvane-host: acquire: %s; %llu frames kept, each with its line in %s%s\n",
                 error.c_str(), static_cast<unsigned long long>(totals.written),
                 host::joinPath(outDir, "frames.jsonl").c_str(), plain.c_str());
    return 2;
  }

  if (options.json) {
    std::fputs((dumpJson(summary, 2) + "\n").c_str(), stdout);
  } else {
    const std::string lostText =
        !lostFrames.known() ? "lost unknown (a hardware trigger's pulses come from outside)"
                            : std::to_string(totals.lost) + (exact ? " lost" : " lost (estimated)");
    std::printf("%s, %s: %llu frames written, %llu skipped, %s", input->device().name().c_str(),
                input->format().name().c_str(), static_cast<unsigned long long>(totals.written),
                static_cast<unsigned long long>(totals.skipped), lostText.c_str());
    if (totals.skipped > 0)
      std::printf(" (the first skipped was frame %llu)",
                  static_cast<unsigned long long>(totals.firstSkipped));
    std::printf(" of %llu the camera sent, %dx%d %s\n",
                static_cast<unsigned long long>(totals.written + totals.skipped + totals.lost),
                tally.width, tally.height, host::frameTypeName(tally.frameType).c_str());
    // On a trigger the nominal rate is the camera's when free-running, not the run's.
    const std::string rate =
        nominal > 0 ? shortNumber(json(std::round(nominal * 100) / 100)) : std::string("?");
    const std::string camera = !hasTrigger ? "camera " + rate + " fps nominal"
                               : pulses.fires()
                                   ? "camera " + rate + " fps free-running, triggered at " +
                                         shortNumber(json(pulseRate)) + " Hz"
                                   : "camera " + rate + " fps free-running, triggered from outside";
    const double delivered = tally.deliveredRate();
    std::printf(
        "%s; %s reached the host (host time stamps %.6f to %.6f); %.2f written per second\n",
        camera.c_str(),
        delivered > 0 ? (shortNumber(json(std::round(delivered * 100) / 100)) + " fps").c_str()
                      : "too few frames to say a rate",
        totals.firstTime, totals.lastTime, writingRate);
    std::printf(
        "in %s: %s, contact sheet %s, a line for every frame in frames.jsonl, the run in "
        "acquisition.json\n",
        outDir.c_str(), filesSaid(save, writer).c_str(),
        sheetPath.empty() ? "none" : sheetPath.c_str());
    for (const json& w : warnings) {
      const std::size_t times = w["times"].get<std::size_t>();
      std::printf("warning %s: %s%s\n", printable(w["identifier"].get<std::string>()).c_str(),
                  printable(w["message"].get<std::string>()).c_str(),
                  times > 1 ? (" (" + std::to_string(times) + " times)").c_str() : "");
    }
    if (stopAsked)
      std::printf("interrupted: %llu of %u frames written\n",
                  static_cast<unsigned long long>(totals.written), frames);
    if (timedOut) std::printf("stopped early: no frame arrived for %.1f s\n", patience);
  }
  return timedOut || stopAsked ? 1 : 0;
}

}  // namespace tool
