// corvane-host describe: every camera the camera bus library shows, read
// through its C API alone, as any IIDC client reads a camera: the
// configuration ROM (IEEE 1212), the IIDC registers and the absolute value and
// Format 7 blocks they point at, and the library's identity records. Written
// as a bus description, it runs on the virtual bus as that camera: a twin.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "bl1394.h"
#include "commands.h"
#include "image.h"
#include "paths.h"
#include "support.h"
#include "text.h"

namespace tool {
namespace {

using nlohmann::json;

constexpr std::uint32_t kRom = 0xF0000400u;
constexpr std::uint32_t kSpace = 0xF0000000u;  // 0xFFFF F000 0000, as the library takes it
constexpr std::uint32_t kDualPacketMode = 0x10000;

std::string hex(std::uint64_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(n));
  return text;
}

std::string statusText(CvStatus status) {
  const char* text = CvStatusStringA(status);
  return text != nullptr ? text : "status " + hex(status);
}

float real(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// One camera read through the library. A read that fails is noted (the first
// one, with where it was), and whatever needed it is left out.
class Reader {
 public:
  explicit Reader(CvCameraHandle handle) : h_(handle) {}

  std::optional<std::uint32_t> quad(std::uint32_t address) {
    std::uint32_t q = 0;
    if (const CvStatus s = CvReadQuad(h_, address, &q)) return fail(s, "register " + hex(address));
    return q;
  }
  std::optional<std::uint32_t> csr(std::uint32_t offset) { return quad(base + offset); }

  template <class Record>
  std::optional<Record> record(std::uint32_t id, Record r = Record{}) {
    if (const CvStatus s = CvQueryCameraRegister(h_, id, &r, sizeof r))
      return fail(s, "record " + std::to_string(id));
    return r;
  }

  // A directory's entries by key; leaf and directory keys (0x8_, 0xC_) give the
  // address they point at.
  std::optional<std::map<std::uint32_t, std::uint32_t>> directory(std::uint32_t address) {
    const auto header = quad(address);
    if (!header) return std::nullopt;
    std::map<std::uint32_t, std::uint32_t> entries;
    for (std::uint32_t i = 1; i <= *header >> 16; ++i) {
      const auto q = quad(address + 4 * i);
      if (!q) return std::nullopt;
      const std::uint32_t key = *q >> 24, value = *q & 0xFFFFFF;
      entries[key] = (key & 0x80) != 0 ? address + 4 * i + 4 * value : value;
    }
    return entries;
  }
  // A textual descriptor leaf, ASCII after its two descriptor quadlets.
  std::optional<std::string> text(std::uint32_t leaf) {
    const auto header = quad(leaf);
    if (!header) return std::nullopt;
    std::string s;
    for (std::uint32_t i = 3; i <= *header >> 16; ++i) {
      const auto q = quad(leaf + 4 * i);
      if (!q) return std::nullopt;
      for (int shift = 24; shift >= 0; shift -= 8)
        if (const char c = static_cast<char>(*q >> shift)) s.push_back(c);
    }
    return s;
  }

  CvCameraHandle handle() const { return h_; }
  const std::string& problem() const { return problem_; }
  std::uint32_t base = 0;

 private:
  std::nullopt_t fail(CvStatus status, const std::string& what) {
    if (problem_.empty()) problem_ = what + ": " + statusText(status);
    return std::nullopt;
  }
  CvCameraHandle h_;
  std::string problem_;
};

// The library's 17 features: name, IIDC register index, inquiry record id.
struct Feature {
  const char* name;
  std::uint32_t index;
  std::uint32_t id;
};
constexpr Feature kFeatures[] = {
    {"Brightness", 0, 0x00050000},     {"Auto_Exposure", 1, 0x00050401},
    {"Sharpness", 2, 0x00050802},      {"Color_UB", 3, 0x00050C03},
    {"Color_VR", 3, 0x00050C83},       {"Hue", 4, 0x00051004},
    {"Saturation", 5, 0x00051405},     {"Gamma", 6, 0x00051806},
    {"Shutter", 7, 0x00051C07},        {"Gain", 8, 0x00052008},
    {"Iris", 9, 0x00052409},           {"Focus", 10, 0x0005280A},
    {"Temperature", 11, 0x00052C0B},   {"Zoom", 32, 0x0005800C},
    {"Pan", 33, 0x0005840D},           {"Tilt", 34, 0x0005880E},
    {"Optical_Filter", 35, 0x00058C0F}};

void identity(Reader& r, json& camera) {
  // ROM: bus info block, then the root, unit and unit dependent directories.
  const auto info = r.quad(kRom);
  const auto options = r.quad(kRom + 8);
  if (options) camera["speed"] = *options & 0x7;
  if (!info) return;
  const auto root = r.directory(kRom + 4 * (1 + (*info >> 24)));
  if (!root || root->count(0xD1) == 0) return;
  const auto unit = r.directory(root->at(0xD1));
  if (!unit) return;
  camera["iidcVersion"] = "1.30";
  if (unit->count(0xD4) == 0) return;
  const auto dependent = r.directory(unit->at(0xD4));
  if (!dependent) return;
  // Unit_Sub_SW_Version, in the unit dependent directory from IIDC 1.31 on.
  if (dependent->count(0x38) != 0 && dependent->at(0x38) >= 0x10) camera["iidcVersion"] = "1.31";
  if (dependent->count(0x40)) {
    r.base = kSpace + 4 * dependent->at(0x40);
    camera["commandBase"] = hex(r.base);
  }
  for (const auto& [key, name] : {std::pair{0x81u, "vendor"}, std::pair{0x82u, "model"}})
    if (dependent->count(key))
      if (const auto text = r.text(dependent->at(key))) camera[name] = *text;
  // Texts the ROM did not give, the number and the speed as the library gives them.
  for (const auto& [id, name] :
       {std::pair{kCvRegVendorName, "vendor"}, std::pair{kCvRegModelName, "model"}}) {
    if (camera.contains(name)) continue;
    char text[64] = {};
    if (CvQueryCameraRegister(r.handle(), static_cast<std::uint32_t>(id), text, sizeof text) == 0)
      camera[name] = std::string(text, strnlen(text, sizeof text));
  }
  if (const auto number = r.record<std::uint32_t>(kCvRegCameraNumber)) camera["number"] = *number;
  if (const auto speed = r.record<std::uint8_t>(kCvRegSpeed)) camera["speed"] = *speed;
}

void videoModes(Reader& r, json& camera) {
  const auto formats = r.csr(0x100);  // V_FORMAT_INQ
  if (!formats) return;
  const std::uint32_t f = *formats >> 24;
  camera["extraFormatBits"] = f & 0x1E;  // formats 3 to 6: nothing of theirs is read
  json fixed = json::array();
  for (std::uint32_t format = 0; format < 3; ++format) {
    if ((f & (0x80u >> format)) == 0) continue;
    const auto modes = r.csr(0x180 + 4 * format);  // V_MODE_INQ_f
    if (!modes) return;
    for (std::uint32_t mode = 0; mode < 8; ++mode) {
      if ((*modes >> 24 & (0x80u >> mode)) == 0) continue;
      const auto rates = r.csr(0x200 + 32 * format + 4 * mode);  // V_RATE_INQ_f_m
      if (!rates) return;
      json list = json::array();
      for (std::uint32_t rate = 0; rate < 8; ++rate)
        if (*rates >> 24 & (0x80u >> rate)) list.push_back(rate);
      fixed.push_back({{"format", format}, {"mode", mode}, {"rates", list}});
    }
  }
  camera["fixed"] = fixed;
  camera["format7"] = json::array();
  if ((f & 0x01) == 0) return;
  const auto modes = r.csr(0x19C);  // V_MODE_INQ_7
  if (!modes) return;
  camera["format7Bit"] = (*modes >> 24) == 0;
  for (std::uint32_t mode = 0; mode < 8; ++mode) {
    if ((*modes >> 24 & (0x80u >> mode)) == 0) continue;
    const auto offset = r.csr(0x2E0 + 4 * mode);  // V_CSR_INQ_7_m
    if (!offset) return;
    const std::uint32_t block = kSpace + 4 * *offset;
    const auto size = r.quad(block + 0x000), unit = r.quad(block + 0x004);
    const auto position = r.quad(block + 0x04C), codingInq = r.quad(block + 0x014);
    const auto coding = r.quad(block + 0x010), packet = r.quad(block + 0x044);
    if (!size || !unit || !position || !codingInq || !coding || !packet) return;
    // The coding the mode holds now comes first: a twin starts with it.
    json codings = json::array({*coding >> 24});
    for (std::uint32_t c = 0; c < 32; ++c)
      if ((*codingInq & (0x80000000u >> c)) != 0 && c != *coding >> 24) codings.push_back(c);
    camera["format7"].push_back({{"mode", mode},
                                 {"maxWidth", *size >> 16},
                                 {"maxHeight", *size & 0xFFFF},
                                 {"widthUnit", *unit >> 16},
                                 {"heightUnit", *unit & 0xFFFF},
                                 {"offsetXUnit", *position >> 16},
                                 {"offsetYUnit", *position & 0xFFFF},
                                 {"codings", codings},
                                 {"packetSize", *packet >> 16}});
    // The filter code is the library's own: its record says it.
    Format7ImageRecord image{};
    image.tag = CV_FORMAT7_IMAGE_TAG;
    Format7InfoRecord record{};
    record.tag = CV_FORMAT7_INFO_TAG;
    record.mode = mode;
    record.image = &image;
    if (r.record(kCvRegFormat7Info, record)) camera["filterPattern"] = image.filterPattern;
  }
}

void features(Reader& r, json& camera) {
  camera["features"] = json::array();
  for (const Feature& k : kFeatures) {
    const auto inquiry = r.csr(0x500 + 4 * k.index);
    if (!inquiry) return;
    if ((*inquiry >> 31) == 0) continue;
    const auto control = r.csr(0x800 + 4 * k.index);
    const auto record = r.record<FeatureControlRecord>(k.id + kCvFeatureControlOffset);
    if (!control || !record) return;
    const std::uint32_t high = *control >> 12 & 0xFFF, low = *control & 0xFFF;
    // The library's own high half of the value, beside the register's value.
    std::uint32_t value = (record->value & 0xFFFF0000u) | (k.id == 0x00050C03 ? high : low);
    if (k.index == 11) value = high;  // Temperature: the target
    json f = {{"name", k.name},
              {"absolute", (*inquiry >> 30 & 1) != 0},
              {"onePush", (*inquiry >> 28 & 1) != 0},
              {"onOff", (*inquiry >> 26 & 1) != 0},
              {"auto", (*inquiry >> 25 & 1) != 0},
              {"manual", (*inquiry >> 24 & 1) != 0},
              {"min", *inquiry >> 12 & 0xFFF},
              {"max", *inquiry & 0xFFF},
              {"absoluteControl", (*control >> 30 & 1) != 0},
              {"on", (*control >> 25 & 1) != 0},
              {"autoMode", (*control >> 24 & 1) != 0},
              {"value", value}};
    if ((*inquiry >> 30 & 1) != 0) {
      const auto offset = r.csr(0x700 + 4 * k.index);  // ABS_CSR_INQ
      if (!offset) return;
      const std::uint32_t block = kSpace + 4 * *offset;
      const auto minimum = r.quad(block), maximum = r.quad(block + 4), now = r.quad(block + 8);
      if (!minimum || !maximum || !now) return;
      f["absMin"] = real(*minimum);
      f["absMax"] = real(*maximum);
      f["absValue"] = real(*now);
    }
    camera["features"].push_back(f);
  }
}

void functions(Reader& r, json& camera) {
  if (const auto trigger = r.csr(0x530)) camera["triggerInquiry"] = hex(*trigger);
  if (const auto basic = r.csr(0x400)) {  // BASIC_FUNC_INQ: One_Shot_Inq, Multi_Shot_Inq
    camera["oneShot"] = (*basic >> 12 & 1) != 0;
    camera["multiShot"] = (*basic >> 11 & 1) != 0;
  }
  std::uint32_t presence = 0, caps = 0;
  const bool dual = CvGetSpecialFeaturePresence(r.handle(), kDualPacketMode, &presence) == 0 &&
                    presence != 0 &&
                    CvGetSpecialFeatureCaps(r.handle(), kDualPacketMode, &caps) == 0;
  camera["dualPacket"] = dual;
  if (dual) camera["dualPacketCaps"] = caps;
}

// One camera, as far as it answers; a warning says where it stopped.
json camera(std::uint32_t adapter, std::uint64_t id) {
  json c = {{"id", hex(id)}};
  CvCameraHandle h = nullptr;
  if (const CvStatus s = CvOpenCameraHandleEx(adapter, &h, &id)) {
    std::fprintf(stderr,
                 "corvane-host: describe: warning: camera %s cannot be opened (%s); "
                 "described by its identifier alone\n",
                 hex(id).c_str(), statusText(s).c_str());
    return c;
  }
  Reader r(h);
  identity(r, c);
  if (r.base != 0) {
    videoModes(r, c);
    features(r, c);
    functions(r, c);
  }
  CvCloseCameraHandle(h);
  if (!r.problem().empty() || r.base == 0)
    std::fprintf(stderr,
                 "corvane-host: describe: warning: camera %s: %s; described as far as it "
                 "answered\n",
                 hex(id).c_str(),
                 r.problem().empty() ? "no command base in its ROM" : r.problem().c_str());
  return c;
}

}  // namespace

int describe(const Common&, const DescribeOptions& options) {
  if (const CvStatus s = CvInitialize()) {
    CvTerminate();
    return fail("describe: the camera bus library did not start: " + statusText(s));
  }
  json adapters = json::array();
  std::size_t cameras = 0;
  for (std::uint32_t adapter = 1; adapter <= 64; ++adapter) {
    std::uint64_t ids[CV_MAX_CAMERAS_PER_ADAPTER] = {};
    std::uint32_t count = CV_MAX_CAMERAS_PER_ADAPTER;
    if (CvLocateCamerasEx(adapter, ids, 0, &count) == CV_NO_SUCH_ADAPTER) break;
    json list = json::array();
    for (std::uint32_t i = 0; i < count && i < CV_MAX_CAMERAS_PER_ADAPTER; ++i)
      list.push_back(camera(adapter, ids[i]));
    cameras += list.size();
    adapters.push_back({{"cameras", list}});
  }
  CvTerminate();
  const json bus = {
      {"comment",
       "Described by corvane-host from the registers of " + std::to_string(cameras) +
           " camera(s). Registers do not tell a camera's frame timing or scene: on the virtual "
           "bus, a twin streams at the rates its modes give and shows the virtual bus's scene."},
      {"adapters", adapters}};
  const std::string text = dumpJson(bus, 2) + "\n";
  if (options.out.empty() || options.out == "-") {
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(host::fsPath(options.out), ec))
    return fail("describe: '" + options.out + "' is a folder; --out takes a file");
  // Whole or not at all: written beside, then put in place.
  std::string error;
  if (!host::writeFileWhole(options.out, text.data(), text.size(), error))
    return fail("describe: cannot write " + error);
  std::fprintf(stderr, "described %zu camera(s) into %s\n", cameras, options.out.c_str());
  return 0;
}

}  // namespace tool
