// A host that resets its adaptor: load, discover, create an adaptor for
// device 2, open, start, three frames, stop, close, release, uninitialise,
// unload; again and again in one process. What the process holds is read after
// the warm-up cycles and at the end: a reset may cost nothing that stays.
#include "reset.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "acquisition.h"
#include "control.h"
#include "kit.h"
#include "module.h"
#include "process_figures.h"
#include "session.h"

namespace reset {
namespace {

using nlohmann::json;

// What allocators keep for themselves moves a little from reading to reading;
// a leak of one block a cycle shows over the cycles many times over.
constexpr std::int64_t kHeapBlockNoise = 16;
constexpr std::int64_t kHeapKiBNoise = 64;
constexpr std::int64_t kResidentKiBNoise = 1024;

// One whole life of the module. False, with what failed, when a step did.
bool cycle(const std::string& modulePath, std::string& error) {
  host::Session session;
  if (!session.start(modulePath, error)) return false;
  if (!host::platform::isLoaded(modulePath)) {
    error = "the loaded module is not seen as loaded";
    return false;
  }
  session.discover();
  {
    std::unique_ptr<host::VideoInput> input = host::VideoInput::create(session, "2", "", error);
    if (!input) return false;
    input->settings.framesPerTrigger = 3;
    if (!input->open(error) || !input->start(error)) return false;
    if (!input->waitAndStop(10.0)) {
      error = "three frames did not come within 10 s";
      return false;
    }
    input->close();
    if (input->engine().framesDelivered() != 3) {
      error = "not three frames delivered";
      return false;
    }
  }
  session.stop();
  // Truly unloaded: a host may replace the file, and the next load starts afresh.
  if (host::platform::isLoaded(modulePath)) {
    error = "the module stayed loaded after it was unloaded";
    return false;
  }
  return true;
}

json figures() {
  json f = bench::toJson(bench::readProcess());
  f["kit_blocks"] = kit::accounting().liveBlocks;
  f["kit_sections"] = kit::accounting().liveSections;
  return f;
}

// Growth of one figure from warm to end, and whether it stays within noise.
// A figure the platform does not report (-1) passes.
bool flat(const json& warm, const json& end, const char* key, std::int64_t noise, json& growth) {
  const std::int64_t a = warm[key].get<std::int64_t>(), b = end[key].get<std::int64_t>();
  growth[key] = b - a;
  return a < 0 || b < 0 || b - a <= noise;
}

}  // namespace

json run(const Options& options) {
  sim::installBus(sim::defaultBus());
  sim::setFreeRunning(true);
  kit::setReportEcho(false);
  const auto started = std::chrono::steady_clock::now();
  const json atStart = figures();
  json warm, error;
  std::uint32_t done = 0;
  std::size_t reports = 0;
  for (; done < options.cycles; ++done) {
    std::string why;
    if (!cycle(options.modulePath, why)) {
      error = "cycle " + std::to_string(done + 1) + ": " + why;
      break;
    }
    // The stand-in kit keeps every report; a long run must not count its store.
    reports += kit::reports().size();
    kit::clearReports();
    if (done + 1 == options.warmup) warm = figures();
  }
  const json atEnd = figures();
  sim::setFreeRunning(false);
  if (warm.is_null()) warm = atEnd;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  json growth;
  bool ok = error.is_null() && done == options.cycles;
  ok = flat(warm, atEnd, "heap_blocks", kHeapBlockNoise, growth) && ok;
  ok = flat(warm, atEnd, "heap_kib", kHeapKiBNoise, growth) && ok;
  ok = flat(warm, atEnd, "resident_kib", kResidentKiBNoise, growth) && ok;
  ok = flat(warm, atEnd, "threads", 0, growth) && ok;
  ok = flat(warm, atEnd, bench::handlesName(), 0, growth) && ok;
  const std::vector<std::string> violations = kit::violations();
  ok = violations.empty() && atEnd["kit_blocks"] == atStart["kit_blocks"] &&
       atEnd["kit_sections"] == atStart["kit_sections"] && ok;
  const std::uint32_t measured = done > options.warmup ? done - options.warmup : 0;
  json result = {{"ok", ok},
                 {"cycles", done},
                 {"warmup", options.warmup},
                 {"seconds", seconds},
                 {"process", {{"start", atStart}, {"warm", warm}, {"end", atEnd}}},
                 {"growth", growth},
                 {"reports", reports},
                 {"violations", violations},
                 {"heap_bytes_per_cycle",
                  measured != 0 ? growth["heap_kib"].get<double>() * 1024.0 / measured : 0.0}};
  if (!error.is_null()) result["error"] = error;
  return result;
}

void print(const json& f) {
  std::printf("reset, %u cycles (%u to warm up) in %.1f s: %s\n", f["cycles"].get<unsigned>(),
              f["warmup"].get<unsigned>(), f["seconds"].get<double>(),
              f["ok"].get<bool>() ? "ok" : "FAILED");
  if (f.contains("error")) std::printf("  %s\n", f["error"].get<std::string>().c_str());
  for (const auto& v : f["violations"])
    std::printf("  broken rule: %s\n", v.get<std::string>().c_str());
  std::printf("  %zu warnings and errors reported by the module\n",
              f["reports"].get<std::size_t>());
  for (const char* when : {"start", "warm", "end"}) {
    const json& p = f["process"][when];
    std::printf(
        "  %-5s resident %lld KiB, heap %lld KiB in %lld blocks, %lld %s, %lld threads, %zu kit "
        "blocks, %zu kit sections\n",
        when, p["resident_kib"].get<long long>(), p["heap_kib"].get<long long>(),
        p["heap_blocks"].get<long long>(), p[bench::handlesName()].get<long long>(),
        bench::handlesName(), p["threads"].get<long long>(), p["kit_blocks"].get<std::size_t>(),
        p["kit_sections"].get<std::size_t>());
  }
  std::printf("  growth from warm to end: %s (%.0f heap bytes a cycle)\n",
              f["growth"].dump().c_str(), f["heap_bytes_per_cycle"].get<double>());
}

}  // namespace reset
