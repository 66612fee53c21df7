#include "table.h"

#include <cstdio>
#include <string>

namespace bench {

using nlohmann::json;

void printTable(const json& results) {
  if (results.contains("frames")) {
    std::printf("frames delivered per second (free-running bus)\n  %-16s %14s %14s %7s\n", "format",
                "adaptor", "baseline", "ratio");
    for (const json& c : results["frames"]["cases"])
      std::printf("  %-16s %14.0f %14.0f %7.3f\n", c["format"].get<std::string>().c_str(),
                  c["adaptor_fps"].get<double>(), c["baseline_fps"].get<double>(),
                  c["ratio"].get<double>());
  }
  if (results.contains("latency")) {
    const json& l = results["latency"];
    std::printf(
        "latency, completion to deliverFrame at 60 fps: median %.0f us, 99th %.0f us, max %.0f us "
        "(%d frames)\n",
        l["median_us"].get<double>(), l["p99_us"].get<double>(), l["max_us"].get<double>(),
        l["frames"].get<int>());
  }
  if (results.contains("buses")) {
    const json& b = results["buses"];
    std::printf(
        "four full S800 buses: %llu frames sent, %llu delivered, %llu lost, %.0f MB/s, %.2f CPU s "
        "per s\n",
        b["frames_sent"].get<unsigned long long>(), b["frames_delivered"].get<unsigned long long>(),
        b["frames_lost"].get<unsigned long long>(), b["megabytes_per_second"].get<double>(),
        b["cpu_seconds_per_second"].get<double>());
  }
  if (results.contains("discovery")) {
    const json& d = results["discovery"];
    std::printf(
        "discovery, 280 formats a camera: %.0f us per camera at 8, %.0f us at 248 (ratio %.2f)\n",
        d["us_per_camera_small"].get<double>(), d["us_per_camera_large"].get<double>(),
        d["ratio"].get<double>());
  }
  if (results.contains("properties")) {
    const json& p = results["properties"];
    std::printf(
        "property read: cached %.1f ns (%.0f library calls), uncached %.1f ns (1 library call)\n",
        p["cached_ns"].get<double>(), p["cached_library_calls"].get<double>(),
        p["uncached_ns"].get<double>());
  }
  if (results.contains("stop")) {
    const json& s = results["stop"];
    std::printf("stopCapture at 30 fps: median %.1f ms, max %.1f ms (frame period %.1f ms)\n",
                s["median_ms"].get<double>(), s["max_ms"].get<double>(),
                s["frame_period_ms"].get<double>());
  }
  if (results.contains("allocations")) {
    const json& a = results["allocations"];
    std::printf(
        "allocations per frame in steady state: operator new %.3f, imaqmalloc %.3f (%llu frames)\n",
        a["operator_new_per_frame"].get<double>(), a["imaqmalloc_per_frame"].get<double>(),
        a["frames"].get<unsigned long long>());
  }
}

}  // namespace bench
