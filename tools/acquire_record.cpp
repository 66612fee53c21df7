#include "acquire_record.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

#include "camera_facts.h"
#include "frame_types.h"
#include "kit.h"
#include "pixel_layout.h"
#include "support.h"

namespace tool {
namespace {

constexpr char kNoFrameWarning[] = "Failed to receive frame from camera";
// IEEE 1394 isochronous cycles a second.
constexpr double kBusCycles = 8000.0;

}  // namespace

void Tally::skip(std::uint64_t number, std::uint64_t count) {
  if (count == 0) return;
  if (firstSkipped == 0 || number < firstSkipped) firstSkipped = number;
  sinceWritten += count;
}

double Tally::deliveredRate() const {
  // Over the intervals from the second frame on: two frames' one interval
  // says the host's delay, not a rate.
  return secondNumber != 0 && lastNumber > secondNumber && lastTime > secondTime
             ? static_cast<double>(lastNumber - secondNumber) / (lastTime - secondTime)
             : 0.0;
}

double unixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string utcAt(double unixSeconds) {
  auto seconds = static_cast<std::time_t>(std::floor(unixSeconds));
  auto micro = std::llround((unixSeconds - static_cast<double>(seconds)) * 1e6);
  if (micro >= 1000000) {
    ++seconds;
    micro -= 1000000;
  }
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[48];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%06lldZ", static_cast<long long>(micro));
  return text;
}

double nominalRate(const std::string& deviceName, const std::string& formatName,
                   std::uint32_t frameType, int width, int height) {
  const int mode = format7ModeOf(formatName);
  if (mode < 0) {
    // "640X480 Mono8 7.5 FPS"
    const std::size_t fps = formatName.rfind(" FPS");
    const std::size_t space = fps == std::string::npos ? fps : formatName.rfind(' ', fps - 1);
    if (space == std::string::npos) return 0.0;
    return std::strtod(formatName.substr(space + 1, fps - space - 1).c_str(), nullptr);
  }
  const std::size_t bytes = host::imageBytes(frameType, static_cast<std::size_t>(width),
                                             static_cast<std::size_t>(height));
  for (const Format7Facts& f : cameraFacts(deviceName).format7)
    if (static_cast<int>(f.mode) == mode && f.packetSize > 0 && bytes > 0)
      return kBusCycles / std::ceil(static_cast<double>(bytes) / f.packetSize);
  return 0.0;
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

nlohmann::json settingsNow(host::VideoInput& input) {
  nlohmann::json settings = nlohmann::json::object();
  for (const auto& declared : input.attributes().properties) {
    host::PropertyValue value;
    std::string error;
    const bool read = input.properties().read(declared->name(), value, error);
    settings[declared->name()] = propertyJson(*declared, read ? &value : nullptr)["value"];
  }
  return settings;
}

nlohmann::json warningsSince(std::size_t mark, bool triggered) {
  std::vector<kit::Report> reports = kit::reports();
  std::map<std::pair<std::string, std::string>, std::size_t> seen;
  nlohmann::json warnings = nlohmann::json::array();
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

std::string duration(double seconds) {
  char text[32];
  if (seconds >= 60)
    std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds) / 60,
                  static_cast<int>(seconds) % 60);
  else
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  return text;
}

}  // namespace tool
