// Bus descriptions: the embedded default bus and the JSON description files.
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "control.h"
#include "iidc.h"

namespace sim {
namespace {

using nlohmann::json;

FeatureDesc feature(const char* name, std::uint16_t minValue, std::uint16_t maxValue,
                    std::uint32_t value) {
  FeatureDesc f;
  f.name = name;
  f.minValue = minValue;
  f.maxValue = maxValue;
  f.value = value;
  return f;
}

FeatureDesc withAbsolute(FeatureDesc f, float absMin, float absMax, float absValue) {
  f.absoluteCapable = true;
  f.absMin = absMin;
  f.absMax = absMax;
  f.absValue = absValue;
  return f;
}

FeatureDesc withAuto(FeatureDesc f) {
  f.autoCapable = true;
  return f;
}

FeatureDesc withOnOff(FeatureDesc f) {
  f.onOffCapable = true;
  return f;
}

// ---- Reading a description ------------------------------------------------------------

class Reader {
 public:
  // Reads an unsigned number given as a JSON number or as a text ("0x1f", "31").
  static std::uint64_t number(const json& value, const std::string& where, std::uint64_t max) {
    std::uint64_t n = 0;
    if (value.is_number_unsigned()) {
      n = value.get<std::uint64_t>();
    } else if (value.is_number_integer()) {
      throw std::runtime_error(where + ": must not be negative");
    } else if (value.is_string()) {
      const std::string text = value.get<std::string>();
      std::size_t used = 0;
      try {
        n = std::stoull(text, &used, 0);
      } catch (...) {
        used = 0;
      }
      if (used == 0 || used != text.size())
        throw std::runtime_error(where + ": \"" + text + "\" is not a number");
    } else {
      throw std::runtime_error(where + ": must be a number");
    }
    if (n > max)
      throw std::runtime_error(where + ": " + std::to_string(n) + " is above " +
                               std::to_string(max));
    return n;
  }

  static float real(const json& value, const std::string& where) {
    if (!value.is_number()) throw std::runtime_error(where + ": must be a number");
    return value.get<float>();
  }

  static bool flag(const json& value, const std::string& where) {
    if (!value.is_boolean()) throw std::runtime_error(where + ": must be true or false");
    return value.get<bool>();
  }

  static std::string text(const json& value, const std::string& where) {
    if (!value.is_string()) throw std::runtime_error(where + ": must be a text");
    return value.get<std::string>();
  }

  static const json& array(const json& value, const std::string& where) {
    if (!value.is_array()) throw std::runtime_error(where + ": must be an array");
    return value;
  }

  // Calls take(key, value, where) for every member; unknown keys are errors.
  template <class Take>
  static void members(const json& object, const std::string& where,
                      std::initializer_list<const char*> known, Take take) {
    if (!object.is_object()) throw std::runtime_error(where + ": must be an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool ok = false;
      for (const char* k : known) ok = ok || it.key() == k;
      if (!ok) throw std::runtime_error(where + ": unknown key \"" + it.key() + "\"");
      take(it.key(), it.value(), where + "." + it.key());
    }
  }

  static std::vector<std::uint32_t> numbers(const json& value, const std::string& where,
                                            std::uint64_t max) {
    std::vector<std::uint32_t> list;
    std::size_t i = 0;
    for (const json& item : array(value, where))
      list.push_back(
          static_cast<std::uint32_t>(number(item, where + "[" + std::to_string(i++) + "]", max)));
    return list;
  }

  static FeatureDesc featureOf(const json& object, const std::string& where) {
    FeatureDesc f;
    members(object, where,
            {"name", "onOff", "auto", "manual", "absolute", "onePush", "min", "max", "absMin",
             "absMax", "on", "autoMode", "value", "absoluteControl", "absValue"},
            [&](const std::string& k, const json& v, const std::string& w) {
              if (k == "name")
                f.name = text(v, w);
              else if (k == "onOff")
                f.onOffCapable = flag(v, w);
              else if (k == "auto")
                f.autoCapable = flag(v, w);
              else if (k == "manual")
                f.manualCapable = flag(v, w);
              else if (k == "absolute")
                f.absoluteCapable = flag(v, w);
              else if (k == "onePush")
                f.onePushCapable = flag(v, w);
              else if (k == "min")
                f.minValue = static_cast<std::uint16_t>(number(v, w, 0xFFFF));
              else if (k == "max")
                f.maxValue = static_cast<std::uint16_t>(number(v, w, 0xFFFF));
              else if (k == "absMin")
                f.absMin = real(v, w);
              else if (k == "absMax")
                f.absMax = real(v, w);
              else if (k == "on")
                f.on = flag(v, w);
              else if (k == "autoMode")
                f.autoMode = flag(v, w);
              else if (k == "value")
                f.value = static_cast<std::uint32_t>(number(v, w, 0xFFFFFFFF));
              else if (k == "absoluteControl")
                f.absoluteControl = flag(v, w);
              else if (k == "absValue")
                f.absValue = real(v, w);
            });
    return f;
  }

  // A text that must be one of the names choices gives, by index.
  template <class Enum, std::size_t N>
  static Enum choice(const json& value, const std::string& where, const Enum (&choices)[N]) {
    const std::string name = text(value, where);
    std::string known;
    for (Enum c : choices) {
      if (name == quirkName(c)) return c;
      known += std::string(known.empty() ? "" : ", ") + quirkName(c);
    }
    throw std::runtime_error(where + ": \"" + name + "\" is not one of " + known);
  }

  // "1.30" or "1.31".
  static std::uint32_t versionOf(const json& value, const std::string& where) {
    const std::string version = text(value, where);
    if (version == "1.30") return 130;
    if (version == "1.31") return 131;
    throw std::runtime_error(where + ": \"" + version + "\" is not 1.30 or 1.31");
  }

  static Quirks quirksOf(const json& object, const std::string& where) {
    static const Quirks::Startup kStartups[] = {Quirks::Startup::kHonest, Quirks::Startup::kRefused,
                                                Quirks::Startup::kIgnored};
    Quirks q;
    members(object, where,
            {"channelAnswer", "nullImages", "startupInfo", "framesAfterStop", "framesAcrossStart"},
            [&](const std::string& k, const json& v, const std::string& w) {
              if (k == "channelAnswer")
                q.channelAnswer = static_cast<int>(number(v, w, 255));
              else if (k == "nullImages")
                q.nullImages = flag(v, w);
              else if (k == "startupInfo")
                q.startupInfo = choice(v, w, kStartups);
              else if (k == "framesAfterStop")
                q.framesAfterStop = flag(v, w);
              else
                q.framesAcrossStart = flag(v, w);
            });
    return q;
  }

  static LibraryQuirks libraryQuirksOf(const json& object, const std::string& where) {
    static const LibraryQuirks::Texts kTexts[] = {
        LibraryQuirks::Texts::kHonest, LibraryQuirks::Texts::kNull, LibraryQuirks::Texts::kSame};
    LibraryQuirks q;
    members(object, where, {"texts", "nullStatusTexts"},
            [&](const std::string& k, const json& v, const std::string& w) {
              if (k == "texts")
                q.texts = choice(v, w, kTexts);
              else
                q.nullStatusTexts = flag(v, w);
            });
    return q;
  }

  static CameraDesc cameraOf(const json& object, const std::string& where) {
    CameraDesc c;
    bool hasId = false;
    members(object, where,
            {"id", "iidcVersion", "vendor", "model", "number", "speed", "commandBase", "fixed",
             "format7", "extraFormatBits", "format7Bit", "filterPattern", "triggerInquiry",
             "dualPacket", "dualPacketCaps", "oneShot", "multiShot", "features", "quirks"},
            [&](const std::string& k, const json& v, const std::string& w) {
              if (k == "id") {
                c.id = number(v, w, UINT64_MAX);
                hasId = true;
              } else if (k == "vendor")
                c.vendor = text(v, w);
              else if (k == "model")
                c.model = text(v, w);
              else if (k == "number")
                c.number = static_cast<std::uint32_t>(number(v, w, 0xFFFFFFFF));
              else if (k == "speed")
                c.speed = static_cast<std::uint8_t>(number(v, w, kCvS3200));
              else if (k == "commandBase")
                c.commandBase = static_cast<std::uint32_t>(number(v, w, 0xFFFFF000));
              else if (k == "extraFormatBits")
                c.extraFormatBits = static_cast<std::uint8_t>(number(v, w, 0xFF));
              else if (k == "format7Bit")
                c.format7Bit = flag(v, w);
              else if (k == "filterPattern")
                c.filterPattern = static_cast<std::uint8_t>(number(v, w, 0xFF));
              else if (k == "triggerInquiry")
                c.triggerInquiry = static_cast<std::uint32_t>(number(v, w, 0xFFFFFFFF));
              else if (k == "dualPacket")
                c.dualPacket = flag(v, w);
              else if (k == "dualPacketCaps")
                c.dualPacketCaps = static_cast<std::uint32_t>(number(v, w, 0xFFFFFFFF));
              else if (k == "quirks")
                c.quirks = quirksOf(v, w);
              else if (k == "iidcVersion")
                c.iidcVersion = versionOf(v, w);
              else if (k == "oneShot")
                c.oneShot = flag(v, w);
              else if (k == "multiShot")
                c.multiShot = flag(v, w);
              else if (k == "features") {
                std::size_t i = 0;
                for (const json& item : array(v, w))
                  c.features.push_back(featureOf(item, w + "[" + std::to_string(i++) + "]"));
              } else if (k == "fixed") {
                std::size_t i = 0;
                for (const json& item : array(v, w)) {
                  FixedModeDesc m;
                  members(item, w + "[" + std::to_string(i++) + "]", {"format", "mode", "rates"},
                          [&](const std::string& k2, const json& v2, const std::string& w2) {
                            if (k2 == "format")
                              m.format = static_cast<std::uint32_t>(number(v2, w2, 2));
                            else if (k2 == "mode")
                              m.mode = static_cast<std::uint32_t>(number(v2, w2, 7));
                            else
                              m.rates = numbers(v2, w2, 7);
                          });
                  c.fixed.push_back(m);
                }
              } else if (k == "format7") {
                std::size_t i = 0;
                for (const json& item : array(v, w)) {
                  Format7ModeDesc m;
                  members(item, w + "[" + std::to_string(i++) + "]",
                          {"mode", "maxWidth", "maxHeight", "widthUnit", "heightUnit",
                           "offsetXUnit", "offsetYUnit", "codings", "packetSize"},
                          [&](const std::string& k2, const json& v2, const std::string& w2) {
                            auto u16 = [&] {
                              return static_cast<std::uint16_t>(number(v2, w2, 0xFFFF));
                            };
                            if (k2 == "mode")
                              m.mode = static_cast<std::uint32_t>(number(v2, w2, 7));
                            else if (k2 == "maxWidth")
                              m.maxWidth = u16();
                            else if (k2 == "maxHeight")
                              m.maxHeight = u16();
                            else if (k2 == "widthUnit")
                              m.widthUnit = u16();
                            else if (k2 == "heightUnit")
                              m.heightUnit = u16();
                            else if (k2 == "offsetXUnit")
                              m.offsetXUnit = u16();
                            else if (k2 == "offsetYUnit")
                              m.offsetYUnit = u16();
                            else if (k2 == "packetSize")
                              m.packetSize = u16();
                            else
                              m.codings = numbers(v2, w2, 31);
                          });
                  c.format7.push_back(m);
                }
              }
            });
    if (!hasId) throw std::runtime_error(where + ": needs an \"id\"");
    return c;
  }
};

// Far beyond any bus: 248 cameras of 280 formats and every feature take about 2 MB.
constexpr std::size_t kMaxDescriptionBytes = 16u << 20;
// A description nests six deep (bus, adapters, an adapter, cameras, a camera, its lists).
constexpr int kMaxNesting = 12;

// Where the text first nests deeper than any description does, outside strings.
std::string tooDeep(const std::string& text) {
  int depth = 0, line = 1;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (c == '\n') ++line;
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') inString = true;
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') --depth;
    if (depth > kMaxNesting)
      return "line " + std::to_string(line) + ": nested deeper than " +
             std::to_string(kMaxNesting) + " levels; no bus description does that";
  }
  return {};
}

std::string hex(std::uint64_t n) {
  std::ostringstream out;
  out << "0x" << std::hex << n;
  return out.str();
}

}  // namespace

BusDesc defaultBus() {
  BusDesc bus;

  CameraDesc mono;
  mono.id = kMonoCamera;
  mono.model = "MV-640M";
  mono.number = 100201;
  mono.speed = kCvS400;
  mono.fixed = {{0, 5, {2, 3, 4, 5}}, {0, 6, {2, 3, 4}}, {1, 2, {2, 3, 4}}, {2, 2, {2, 3}}};
  mono.features = {feature("Brightness", 0, 255, 128),
                   withAuto(feature("Auto_Exposure", 0, 1023, 512)),
                   feature("Sharpness", 0, 255, 64),
                   withOnOff(feature("Gamma", 0, 1, 0)),
                   withAbsolute(withAuto(feature("Shutter", 1, 4095, 1000)), 0.00001f, 0.5f, 0.01f),
                   withAbsolute(withAuto(feature("Gain", 0, 680, 0)), 0.0f, 24.0f, 0.0f)};

  CameraDesc bayer;
  bayer.id = kBayerCamera;
  bayer.model = "CX-1280B";
  bayer.number = 100202;
  bayer.speed = kCvS800;
  bayer.format7 = {{0, 1280, 960, 8, 2, 0, 0, {0, 9, 10}, 4096},
                   {1, 640, 480, 4, 2, 0, 0, {0, 9}, 2048}};
  bayer.filterPattern = 1;
  // Presence, on/off, sources 0 and 1, modes 0, 1, 14 and 15.
  bayer.triggerInquiry = 0x84C0C003u;
  bayer.features = {withOnOff(feature("Brightness", 0, 255, 128)),
                    withAbsolute(feature("Shutter", 1, 4095, 1000), 0.00001f, 0.5f, 0.01f),
                    withAbsolute(withAuto(feature("Gain", 0, 680, 0)), 0.0f, 24.0f, 0.0f),
                    withOnOff(feature("Gamma", 0, 1, 0))};

  CameraDesc yuv;
  yuv.id = kYuvCamera;
  yuv.model = "CY-422DP";
  yuv.number = 100203;
  yuv.speed = kCvS400;
  yuv.fixed = {{0, 1, {2, 3, 4, 5}}, {0, 3, {2, 3, 4}}, {1, 0, {2, 3}}};
  // A full S400 packet: the bandwidth share that asks for dual packet mode.
  yuv.format7 = {{0, 640, 480, 8, 2, 0, 0, {2, 4}, 4096}};
  yuv.dualPacket = true;
  yuv.features = {feature("Brightness", 0, 255, 128),
                  withAuto(feature("Color_UB", 0, 1023, 512)),
                  withAuto(feature("Color_VR", 0, 1023, 512)),
                  feature("Hue", 0, 255, 128),
                  feature("Saturation", 0, 255, 128),
                  withAbsolute(feature("Shutter", 1, 4095, 1000), 0.00001f, 0.5f, 0.01f),
                  feature("Gain", 0, 680, 0)};

  bus.adapters = {{mono, bayer}, {yuv}};
  return bus;
}

CameraDesc everyFormatCamera(std::uint64_t id) {
  CameraDesc c;
  c.id = id;
  c.number = static_cast<std::uint32_t>(id);
  for (std::uint32_t f = 0; f < 3; ++f)
    for (std::uint32_t m = 0; m < 8; ++m) c.fixed.push_back({f, m, {0, 1, 2, 3, 4, 5, 6, 7}});
  c.extraFormatBits = 0x1E;
  for (std::uint32_t m = 0; m < 8; ++m)
    c.format7.push_back({m,
                         static_cast<std::uint16_t>(640 + 16 * m),
                         480,
                         8,
                         2,
                         0,
                         0,
                         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                         2048});
  return c;
}

bool parseBus(const std::string& text, BusDesc& bus, std::string& error) {
  // Limits before the parser sees it: a file no bus needs must not cost
  // seconds and gigabytes before it is refused.
  if (text.size() > kMaxDescriptionBytes) {
    error = "bus: " + std::to_string(text.size()) + " bytes; a description has at most " +
            std::to_string(kMaxDescriptionBytes);
    return false;
  }
  if (const std::string deep = tooDeep(text); !deep.empty()) {
    error = deep;
    return false;
  }
  json document;
  // A key given twice would silently lose one of its values: refused.
  std::vector<std::set<std::string>> keys;
  std::string twice;
  const json::parser_callback_t noKeyTwice = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) keys.emplace_back();
    if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == json::parse_event_t::key && !keys.empty() &&
        !keys.back().insert(parsed.get<std::string>()).second && twice.empty())
      twice = parsed.get<std::string>();
    return true;
  };
  try {
    document = json::parse(text, noKeyTwice);
    if (!twice.empty()) {
      error = "the key \"" + twice + "\" appears twice in one object";
      return false;
    }
  } catch (const json::exception& e) {
    // The library's message names the line and column (or the number that
    // overflows), behind a tag of its own that tells a user nothing.
    error = e.what();
    if (error.rfind("[json.exception.", 0) == 0 && error.find("] ") != std::string::npos)
      error = error.substr(error.find("] ") + 2);
    return false;
  }
  BusDesc parsed;
  try {
    Reader::members(document, "bus", {"adapters", "quirks", "comment"},
                    [&](const std::string& k, const json& v, const std::string& w) {
                      if (k == "comment") {
                        Reader::text(v, w);  // for people; the bus takes nothing of it
                        return;
                      }
                      if (k == "quirks") {
                        parsed.quirks = Reader::libraryQuirksOf(v, w);
                        return;
                      }
                      std::size_t a = 0;
                      for (const json& adapter : Reader::array(v, w)) {
                        const std::string where = "adapters[" + std::to_string(a++) + "]";
                        parsed.adapters.emplace_back();
                        parsed.otherTraffic.push_back(0);
                        Reader::members(
                            adapter, where, {"cameras", "otherTraffic"},
                            [&](const std::string& ck, const json& cv, const std::string& cw) {
                              if (ck == "otherTraffic") {
                                parsed.otherTraffic.back() = static_cast<std::uint32_t>(
                                    Reader::number(cv, cw, iidc::kUnitsPerCycle));
                                return;
                              }
                              std::size_t c = 0;
                              for (const json& camera : Reader::array(cv, cw))
                                parsed.adapters.back().push_back(
                                    Reader::cameraOf(camera, cw + "[" + std::to_string(c++) + "]"));
                            });
                      }
                    });
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  error = validateBus(parsed);
  if (error.empty()) error = checkCameraRules(parsed);
  if (!error.empty()) return false;
  bus = std::move(parsed);
  return true;
}

bool loadBusFile(const std::string& path, BusDesc& bus, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (!parseBus(text.str(), bus, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::string busToJson(const BusDesc& bus) {
  json adapters = json::array();
  for (const auto& adapter : bus.adapters) {
    json cameras = json::array();
    for (const CameraDesc& c : adapter) {
      json camera = {{"id", hex(c.id)},
                     {"iidcVersion", c.iidcVersion == 130 ? "1.30" : "1.31"},
                     {"vendor", c.vendor},
                     {"model", c.model},
                     {"number", c.number},
                     {"speed", c.speed},
                     {"commandBase", hex(c.commandBase)},
                     {"filterPattern", c.filterPattern},
                     {"triggerInquiry", hex(c.triggerInquiry)},
                     {"dualPacket", c.dualPacket},
                     {"dualPacketCaps", c.dualPacketCaps},
                     {"oneShot", c.oneShot},
                     {"multiShot", c.multiShot},
                     {"extraFormatBits", c.extraFormatBits},
                     {"format7Bit", c.format7Bit}};
      camera["fixed"] = json::array();
      for (const FixedModeDesc& m : c.fixed)
        camera["fixed"].push_back({{"format", m.format}, {"mode", m.mode}, {"rates", m.rates}});
      camera["format7"] = json::array();
      for (const Format7ModeDesc& m : c.format7)
        camera["format7"].push_back({{"mode", m.mode},
                                     {"maxWidth", m.maxWidth},
                                     {"maxHeight", m.maxHeight},
                                     {"widthUnit", m.widthUnit},
                                     {"heightUnit", m.heightUnit},
                                     {"offsetXUnit", m.offsetXUnit},
                                     {"offsetYUnit", m.offsetYUnit},
                                     {"codings", m.codings},
                                     {"packetSize", m.packetSize}});
      camera["features"] = json::array();
      for (const FeatureDesc& f : c.features)
        camera["features"].push_back({{"name", f.name},
                                      {"onOff", f.onOffCapable},
                                      {"auto", f.autoCapable},
                                      {"manual", f.manualCapable},
                                      {"absolute", f.absoluteCapable},
                                      {"onePush", f.onePushCapable},
                                      {"min", f.minValue},
                                      {"max", f.maxValue},
                                      {"absMin", f.absMin},
                                      {"absMax", f.absMax},
                                      {"on", f.on},
                                      {"autoMode", f.autoMode},
                                      {"value", f.value},
                                      {"absoluteControl", f.absoluteControl},
                                      {"absValue", f.absValue}});
      if (c.quirks != Quirks{}) {
        json quirks = {{"nullImages", c.quirks.nullImages},
                       {"startupInfo", quirkName(c.quirks.startupInfo)},
                       {"framesAfterStop", c.quirks.framesAfterStop},
                       {"framesAcrossStart", c.quirks.framesAcrossStart}};
        if (c.quirks.channelAnswer >= 0) quirks["channelAnswer"] = c.quirks.channelAnswer;
        camera["quirks"] = quirks;
      }
      cameras.push_back(camera);
    }
    json entry = {{"cameras", cameras}};
    const std::size_t a = adapters.size();
    if (a < bus.otherTraffic.size() && bus.otherTraffic[a] != 0)
      entry["otherTraffic"] = bus.otherTraffic[a];
    adapters.push_back(entry);
  }
  json document{{"adapters", adapters}};
  if (bus.quirks != LibraryQuirks{})
    document["quirks"] = {{"texts", quirkName(bus.quirks.texts)},
                          {"nullStatusTexts", bus.quirks.nullStatusTexts}};
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace sim
