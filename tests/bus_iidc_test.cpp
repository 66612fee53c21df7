// Every camera of the default bus and of sample-bus.json read through its
// registers alone, as any IIDC client reads a camera: the configuration ROM
// (IEEE 1212) and the IIDC 1.31 register map, by CvReadQuad and CvWriteQuad.
// Offsets and bits are written out from the standard's tables, not taken from
// the virtual bus's constants. Each fact must be what the bus description
// declares and what the library's record for it says.
#include <cmath>
#include <cstring>
#include <map>

#include "bus_fixture.h"

namespace {

constexpr std::uint32_t kRom = 0xF0000400u;
constexpr std::uint32_t kSpace = 0xF0000000u;  // low half of 0xFFFF F000 0000

// A camera reached by address only.
class Camera {
 public:
  explicit Camera(CvCameraHandle handle) : h_(handle) {}
  CvCameraHandle h() const { return h_; }
  std::uint32_t at(std::uint32_t address) const {
    std::uint32_t q = 0;
    EXPECT_EQ(0u, CvReadQuad(h_, address, &q)) << std::hex << address;
    return q;
  }
  void put(std::uint32_t address, std::uint32_t value) const {
    EXPECT_EQ(0u, CvWriteQuad(h_, address, value)) << std::hex << address;
  }
  // A register at an offset from the command base.
  std::uint32_t csr(std::uint32_t offset) const { return at(base + offset); }
  void setCsr(std::uint32_t offset, std::uint32_t value) const { put(base + offset, value); }
  static float real(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  // IEEE 1212: a directory's entries by key (for leaf and directory keys,
  // 0x8_ and 0xC_, the address they point at); its CRC checked.
  std::map<std::uint32_t, std::uint32_t> directory(std::uint32_t address) const {
    std::map<std::uint32_t, std::uint32_t> entries;
    const std::uint32_t header = at(address), length = header >> 16;
    std::vector<std::uint32_t> body;
    for (std::uint32_t i = 1; i <= length; ++i) {
      const std::uint32_t q = at(address + 4 * i);
      body.push_back(q);
      const std::uint32_t key = q >> 24, value = q & 0xFFFFFF;
      entries[key] = (key & 0x80) != 0 ? address + 4 * i + 4 * value : value;
    }
    EXPECT_EQ(header & 0xFFFF, Crc(body)) << "CRC of the block at " << std::hex << address;
    return entries;
  }
  // A textual descriptor leaf (ASCII, after two descriptor quadlets).
  std::string text(std::uint32_t leaf) const {
    std::string s;
    const std::uint32_t length = at(leaf) >> 16;
    for (std::uint32_t i = 3; i <= length; ++i)
      for (int shift = 24; shift >= 0; shift -= 8)
        if (const char c = static_cast<char>(at(leaf + 4 * i) >> shift)) s.push_back(c);
    return s;
  }
  // IEEE 1212's CRC-16, four bits at a time.
  static std::uint32_t Crc(const std::vector<std::uint32_t>& quadlets) {
    std::uint32_t crc = 0;
    for (std::uint32_t q : quadlets)
      for (int shift = 28; shift >= 0; shift -= 4) {
        const std::uint32_t sum = ((crc >> 12) ^ (q >> shift)) & 0xF;
        crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
      }
    return crc;
  }

  std::uint32_t base = 0;

 private:
  CvCameraHandle h_;
};

class IidcTest : public BusTest {
 protected:
  template <class Record>
  Record Query(CvCameraHandle h, std::uint32_t id) {
    Record r{};
    EXPECT_EQ(0u, CvQueryCameraRegister(h, id, &r, sizeof r)) << std::hex << id;
    return r;
  }
  static sim::BusDesc Sample() {
    sim::BusDesc bus;
    std::string error;
    EXPECT_TRUE(sim::loadBusFile(CORVANE_SOURCE_DIR "/packaging/sample-bus.json", bus, error))
        << error;
    return bus;
  }
  void Walk(std::uint32_t adapter, const sim::CameraDesc& d);
};

// The feature registers of the 17 library features: IIDC index, and the
// library's inquiry register id.
struct LibraryFeature {
  const char* name;
  std::uint32_t index;
  std::uint32_t id;
};
constexpr LibraryFeature kFeatures[] = {
    {"Brightness", 0, 0x00050000},     {"Auto_Exposure", 1, 0x00050401},
    {"Sharpness", 2, 0x00050802},      {"Color_UB", 3, 0x00050C03},
    {"Color_VR", 3, 0x00050C83},       {"Hue", 4, 0x00051004},
    {"Saturation", 5, 0x00051405},     {"Gamma", 6, 0x00051806},
    {"Shutter", 7, 0x00051C07},        {"Gain", 8, 0x00052008},
    {"Iris", 9, 0x00052409},           {"Focus", 10, 0x0005280A},
    {"Temperature", 11, 0x00052C0B},   {"Zoom", 32, 0x0005800C},
    {"Pan", 33, 0x0005840D},           {"Tilt", 34, 0x0005880E},
    {"Optical_Filter", 35, 0x00058C0F}};

void IidcTest::Walk(std::uint32_t adapter, const sim::CameraDesc& d) {
  SCOPED_TRACE(d.model);
  const CvCameraHandle h = Open(adapter, d.id);
  Camera cam(h);

  // ---- Configuration ROM: bus info block, root, unit and unit dependent directories.
  const std::uint32_t info = cam.at(kRom);
  EXPECT_EQ(4u, info >> 24) << "bus_info_length";
  EXPECT_EQ(0x31333934u, cam.at(kRom + 4)) << "\"1394\"";
  EXPECT_EQ(d.speed, cam.at(kRom + 8) & 0x7) << "link_spd";
  EXPECT_EQ(d.id, std::uint64_t{cam.at(kRom + 12)} << 32 | cam.at(kRom + 16)) << "EUI-64";
  auto root = cam.directory(kRom + 4 * (1 + (info >> 24)));
  EXPECT_EQ(d.id >> 40, root[0x03]) << "module vendor id";
  auto unit = cam.directory(root[0xD1]);
  EXPECT_EQ(0x00A02Du, unit[0x12]) << "unit_spec_ID: IIDC";
  EXPECT_EQ(0x000102u, unit[0x13]) << "unit_sw_version";
  auto dependent = cam.directory(unit[0xD4]);
  EXPECT_EQ(0u, unit.count(0x38)) << "unit_sub_sw_version is not in the unit directory";
  EXPECT_EQ(d.iidcVersion == 131 ? 1u : 0u, dependent.count(0x38)) << "unit_sub_sw_version";
  if (d.iidcVersion == 131) {
    EXPECT_EQ(0x10u, dependent[0x38]);
  }
  cam.base = kSpace + 4 * dependent[0x40];
  EXPECT_EQ(d.commandBase, cam.base) << "command_regs_base";
  EXPECT_EQ(d.vendor, cam.text(dependent[0x81]));
  EXPECT_EQ(d.model, cam.text(dependent[0x82]));
  EXPECT_EQ(d.number, dependent[0x3A] << 24 | dependent[0x39]) << "vendor unique info";
  EXPECT_EQ(cam.base, Query<std::uint32_t>(h, 19));
  EXPECT_EQ(d.number, Query<std::uint32_t>(h, 26));
  EXPECT_EQ(d.speed, Query<std::uint8_t>(h, 25));
  char text[64];
  ASSERT_EQ(0u, CvQueryCameraRegister(h, 20, text, 64));
  EXPECT_EQ(d.vendor, std::string(text));

  // ---- Video modes: V_FORMAT_INQ (0x100), V_MODE_INQ_f (0x180 + 4f), V_RATE_INQ_f_m
  // (0x200 + 32f + 4m), bit 0 (the highest) first.
  const auto block = Query<VideoModeInquiry>(h, 24);
  const std::uint32_t formats = cam.csr(0x100) >> 24;
  EXPECT_EQ(block.formats, formats);
  for (std::uint32_t f = 0; f < 3; ++f) {
    EXPECT_EQ(block.format[f].modes, cam.csr(0x180 + 4 * f) >> 24);
    for (std::uint32_t m = 0; m < 8; ++m) {
      std::uint32_t declared = 0;
      for (const sim::FixedModeDesc& fm : d.fixed) {
        if (fm.format != f || fm.mode != m) continue;
        for (std::uint32_t r : fm.rates) declared |= 0x80u >> r;
      }
      EXPECT_EQ(declared, cam.csr(0x200 + 32 * f + 4 * m) >> 24) << f << "/" << m;
      EXPECT_EQ(block.format[f].rates[m], cam.csr(0x200 + 32 * f + 4 * m) >> 24);
    }
  }
  // BASIC_FUNC_INQ bit 8: 1394b; the camera's speed above S400 needs it.
  EXPECT_EQ(d.speed > 2, (cam.csr(0x400) & 0x00800000u) != 0);
  // At power-up the current format (0x608), mode (0x604) and rate (0x600) are ones the
  // camera offers: Vmode_Error_Status (0x628, 1.31) reads 0, and DATA_DEPTH (0x630,
  // 1.31) the current mode's bits per sample.
  const std::uint32_t current = cam.csr(0x608) >> 29, currentMode = cam.csr(0x604) >> 29;
  EXPECT_NE(0u, formats & (0x80u >> current));
  EXPECT_NE(0u, cam.csr(0x180 + 4 * current) >> 24 & (0x80u >> currentMode));
  if (current < 7) {
    EXPECT_NE(0u, cam.csr(0x200 + 32 * current + 4 * currentMode) >> 24 &
                      (0x80u >> (cam.csr(0x600) >> 29)));
  }
  EXPECT_EQ(0u, cam.csr(0x628));
  const std::uint32_t depth = cam.csr(0x630) >> 24;
  EXPECT_TRUE(d.iidcVersion == 131 ? depth == 8 || depth == 16 : depth == 0) << depth;

  // ---- Features: FEATURE_HI_INQ (0x404) / LO (0x408), the inquiry (0x500 + 4i), control
  // (0x800 + 4i) and, through ABS_CSR_INQ (0x700 + 4i), the absolute value block.
  for (const LibraryFeature& k : kFeatures) {
    SCOPED_TRACE(k.name);
    const sim::FeatureDesc* f = nullptr;
    for (const sim::FeatureDesc& g : d.features)
      if (g.name == k.name) f = &g;
    const std::uint32_t presenceWord = cam.csr(k.index < 32 ? 0x404 : 0x408);
    EXPECT_EQ(f != nullptr, (presenceWord & (0x80000000u >> (k.index % 32))) != 0);
    const std::uint32_t inq = cam.csr(0x500 + 4 * k.index);
    const auto record = Query<FeatureInquiryRecord>(h, k.id);
    EXPECT_EQ(f != nullptr, (inq >> 31) != 0) << "Presence_Inq";
    EXPECT_EQ(record.present != 0, (inq >> 31) != 0);
    if (f == nullptr) continue;
    EXPECT_EQ(f->absoluteCapable, (inq >> 30 & 1) != 0) << "Abs_Control_Inq";
    EXPECT_EQ(f->onePushCapable, (inq >> 28 & 1) != 0) << "One_Push_Inq";
    EXPECT_EQ(f->onOffCapable, (inq >> 26 & 1) != 0) << "On_Off_Inq";
    EXPECT_EQ(f->autoCapable, (inq >> 25 & 1) != 0) << "Auto_Inq";
    EXPECT_EQ(f->manualCapable, (inq >> 24 & 1) != 0) << "Manual_Inq";
    EXPECT_EQ(f->minValue, inq >> 12 & 0xFFF) << "Min_Value";
    EXPECT_EQ(f->maxValue, inq & 0xFFF) << "Max_Value";
    EXPECT_EQ(f->absoluteCapable, record.absoluteCapable != 0);
    EXPECT_EQ(f->onOffCapable, record.onOffCapable != 0);
    EXPECT_EQ(f->autoCapable, record.autoCapable != 0);
    EXPECT_EQ(f->manualCapable, record.manualCapable != 0);
    EXPECT_EQ(f->minValue, record.minValue);
    EXPECT_EQ(f->maxValue, record.maxValue);
    const std::uint32_t control = cam.csr(0x800 + 4 * k.index);
    const auto c = Query<FeatureControlRecord>(h, k.id + 0x30000);
    EXPECT_EQ(f->absoluteControl, (control >> 30 & 1) != 0) << "Abs_Control";
    EXPECT_EQ(f->on, (control >> 25 & 1) != 0) << "ON_OFF";
    EXPECT_EQ(f->autoMode, (control >> 24 & 1) != 0) << "A_M_Mode";
    // White balance: U/B in bits 8-19, V/R in bits 20-31.
    const std::uint32_t value = k.id == 0x00050C03 ? control >> 12 & 0xFFF : control & 0xFFF;
    EXPECT_EQ(f->value & 0xFFFF, value);
    EXPECT_EQ(f->value & 0xFFFF, c.value & 0xFFFF);
    EXPECT_EQ(f->on, c.onOff != 0);
    EXPECT_EQ(f->autoMode, c.autoMode != 0);
    const std::uint32_t absolute = cam.csr(0x700 + 4 * k.index);
    EXPECT_EQ(f->absoluteCapable, absolute != 0) << "ABS_CSR_INQ";
    if (!f->absoluteCapable) continue;
    const std::uint32_t at = kSpace + 4 * absolute;
    const auto a = Query<AbsoluteControlRecord>(h, k.id + 0x20010);
    EXPECT_EQ(f->absMin, Camera::real(cam.at(at)));
    EXPECT_EQ(f->absMax, Camera::real(cam.at(at + 4)));
    EXPECT_EQ(f->absValue, Camera::real(cam.at(at + 8)));
    EXPECT_EQ(f->absMin, a.minimum);
    EXPECT_EQ(f->absMax, a.maximum);
    EXPECT_EQ(f->absValue, a.value);
  }

  // ---- Trigger: TRIGGER_INQ (0x530); its presence is bit 12 of FEATURE_HI_INQ.
  EXPECT_EQ(d.triggerInquiry, cam.csr(0x530));
  EXPECT_EQ((d.triggerInquiry >> 31) != 0, (cam.csr(0x404) & 0x00080000u) != 0);

  // ---- Format 7: V_MODE_INQ_7 (0x19C); V_CSR_INQ_7_m (0x2E0 + 4m) points at the mode's block.
  std::uint32_t modes = 0;
  for (const sim::Format7ModeDesc& m : d.format7) modes |= 0x80u >> m.mode;
  EXPECT_EQ(modes, cam.csr(0x19C) >> 24);
  for (const sim::Format7ModeDesc& m : d.format7) {
    SCOPED_TRACE("Format 7 mode " + std::to_string(m.mode));
    const std::uint32_t at = kSpace + 4 * cam.csr(0x2E0 + 4 * m.mode);
    Format7ImageRecord image{};
    image.tag = CV_FORMAT7_IMAGE_TAG;
    Format7InfoRecord rec{};
    rec.tag = CV_FORMAT7_INFO_TAG;
    rec.mode = m.mode;
    rec.image = &image;
    ASSERT_EQ(0u, CvQueryCameraRegister(h, 17, &rec, 48));
    EXPECT_EQ(std::uint32_t{m.maxWidth} << 16 | m.maxHeight, cam.at(at + 0x000))
        << "MAX_IMAGE_SIZE";
    EXPECT_EQ(std::uint32_t{m.widthUnit} << 16 | m.heightUnit, cam.at(at + 0x004)) << "UNIT_SIZE";
    EXPECT_EQ(std::uint32_t{m.offsetXUnit} << 16 | m.offsetYUnit, cam.at(at + 0x04C))
        << "UNIT_POSITION_INQ";
    EXPECT_EQ(std::uint32_t{m.maxWidth} << 16 | m.maxHeight, cam.at(at + 0x00C)) << "IMAGE_SIZE";
    EXPECT_EQ(0u, cam.at(at + 0x008)) << "IMAGE_POSITION";
    EXPECT_EQ(m.codings.front(), cam.at(at + 0x010) >> 24) << "COLOR_CODING_ID";
    std::uint32_t codings = 0;
    for (std::uint32_t c : m.codings) codings |= 0x80000000u >> c;
    EXPECT_EQ(codings, cam.at(at + 0x014)) << "COLOR_CODING_INQ";
    EXPECT_EQ(m.packetSize, cam.at(at + 0x044) >> 16) << "BYTE_PER_PACKET";
    // COLOR_FILTER_ID 0 RGGB .. 3 BGGR: the library's filter codes are one more.
    EXPECT_EQ(d.filterPattern, static_cast<std::uint8_t>((cam.at(at + 0x058) >> 24) + 1));
    EXPECT_EQ(m.maxWidth, rec.maxWidth);
    EXPECT_EQ(m.maxHeight, rec.maxHeight);
    EXPECT_EQ(m.widthUnit, rec.widthUnit);
    EXPECT_EQ(m.heightUnit, rec.heightUnit);
    EXPECT_EQ(codings, rec.colorCodings);
    EXPECT_EQ(m.packetSize, rec.packetSize);
    EXPECT_EQ(d.filterPattern, image.filterPattern);
    EXPECT_EQ(m.maxWidth, image.width);
    EXPECT_EQ(m.codings.front(), image.colorCoding);
  }
}

TEST_F(IidcTest, EveryCameraOfBothBusesIsWhatItsRegistersSay) {
  int walked = 0;
  for (const sim::BusDesc& bus : {sim::defaultBus(), Sample()}) {
    Install(bus);
    for (std::size_t a = 0; a < bus.adapters.size(); ++a) {
      for (const sim::CameraDesc& d : bus.adapters[a]) {
        Walk(static_cast<std::uint32_t>(a + 1), d);
        ++walked;
      }
    }
  }
  EXPECT_EQ(6, walked);
}

// One round trip for each kind of writable register: written by address, read
// back by address and as the library's record, and the camera acting on it.
TEST_F(IidcTest, WritableRegistersRoundTrip) {
  sim::BusDesc bus = sim::defaultBus();
  sim::FeatureDesc temperature;
  temperature.name = "Temperature";
  temperature.minValue = 0;
  temperature.maxValue = 4095;
  temperature.value = 300;
  bus.adapters[0][1].features.push_back(temperature);
  bus.adapters[1][0].multiShot = true;
  Install(bus);
  const CvCameraHandle h = Open(1, kBayer);
  Camera cam(h);
  cam.base = Query<std::uint32_t>(h, 19);

  // A value: Brightness, bits 20-31 of its control register (0x800).
  cam.setCsr(0x800, (cam.csr(0x800) & ~0xFFFu) | 200);
  EXPECT_EQ(200u, Query<FeatureControlRecord>(h, 0x00080000).value & 0xFFFF);
  auto control = Query<FeatureControlRecord>(h, 0x00080000);
  control.value = 150;
  control.onOff = 0;
  ASSERT_EQ(0u, CvSetCameraRegister(h, 0x00080000, &control, 28));
  EXPECT_EQ(150u, cam.csr(0x800) & 0xFFF);
  EXPECT_EQ(0u, cam.csr(0x800) >> 25 & 1) << "ON_OFF";

  // An absolute value: Shutter's block, its third quadlet; kept within the range.
  const std::uint32_t shutter = kSpace + 4 * cam.csr(0x700 + 4 * 7);
  float quarter = 0.25f, nine = 9.0f;
  std::uint32_t bits;
  std::memcpy(&bits, &quarter, 4);
  cam.put(shutter + 8, bits);
  EXPECT_EQ(0.25f, Query<AbsoluteControlRecord>(h, 0x00051C07 + 0x20010).value);
  std::memcpy(&bits, &nine, 4);
  cam.put(shutter + 8, bits);
  EXPECT_EQ(0.5f, Camera::real(cam.at(shutter + 8)));
  EXPECT_NE(0u, CvWriteQuad(h, shutter, bits)) << "the minimum is read only";

  // TRIGGER_MODE (0x830) keeps what TRIGGER_INQ (0x84C0C003: no polarity, sources 0 and 1,
  // modes 0, 1, 14 and 15) offers, and the parameter.
  cam.setCsr(0x830, 0x02000000u | 0x01000000u | 3u << 21 | 5u << 16 | 0x123);
  EXPECT_EQ(0x82000000u | 0x123, cam.csr(0x830)) << "on; polarity, source 3 and mode 5 refused";
  cam.setCsr(0x830, 0x02000000u | 1u << 21 | 14u << 16);
  EXPECT_EQ(0x82000000u | 1u << 21 | 14u << 16, cam.csr(0x830));
  cam.setCsr(0x830, 1u << 21 | 14u << 16);  // off again: the camera runs free

  // A Format 7 region: mode 1 (640x480, units 4 and 2), then VALUE_SETTING's Setting_1.
  const std::uint32_t f7 = kSpace + 4 * cam.csr(0x2E0 + 4 * 1);
  cam.put(f7 + 0x008, 16u << 16 | 8);     // IMAGE_POSITION
  cam.put(f7 + 0x00C, 320u << 16 | 240);  // IMAGE_SIZE
  cam.put(f7 + 0x010, 9u << 24);          // COLOR_CODING_ID: Raw8
  cam.put(f7 + 0x07C, 0x40000000u);       // Setting_1
  EXPECT_EQ(0x80000000u, cam.at(f7 + 0x07C)) << "Presence_Inq, no error flag";
  EXPECT_EQ(320u * 240, cam.at(f7 + 0x034)) << "PIXEL_NUMBER_INQ";
  EXPECT_EQ(320u * 240, cam.at(f7 + 0x03C)) << "TOTAL_BYTES_LO_INQ";
  EXPECT_EQ((320u * 240 + 2047) / 2048, cam.at(f7 + 0x048)) << "PACKET_PER_FRAME_INQ";
  EXPECT_EQ(8u, cam.at(f7 + 0x054) >> 24) << "DATA_DEPTH_INQ";
  Format7ImageRecord image{};
  image.tag = CV_FORMAT7_IMAGE_TAG;
  Format7InfoRecord info{};
  info.tag = CV_FORMAT7_INFO_TAG;
  info.mode = 1;
  info.image = &image;
  ASSERT_EQ(0u, CvQueryCameraRegister(h, 17, &info, 48));
  EXPECT_EQ((std::vector<int>{16, 8, 320, 240, 9}),
            (std::vector<int>{image.left, image.top, image.width, image.height,
                              static_cast<int>(image.colorCoding)}));
  cam.put(f7 + 0x00C, 322u << 16 | 240);  // not a multiple of the width unit
  EXPECT_NE(0u, cam.at(f7 + 0x07C) & 0x00800000u) << "ErrorFlag_1";
  cam.put(f7 + 0x00C, 320u << 16 | 240);

  // The temperature's target, bits 8-19; the current one, bits 20-31, is the camera's.
  const std::uint32_t t = 0x800 + 4 * 11;
  cam.setCsr(t, (cam.csr(t) & 0xFF000FFFu) | 500u << 12 | 77);
  EXPECT_EQ(500u, cam.csr(t) >> 12 & 0xFFF);
  EXPECT_EQ(300u, cam.csr(t) & 0xFFF);
  EXPECT_EQ(300u << 16 | 500, Query<FeatureControlRecord>(h, 0x00082C0B).value);

  // The current mode and ISO_CHANNEL in the 1394b layout (Operation_Mode, bit 16),
  // then ISO_EN: the camera streams what its registers say.
  std::uint8_t channel = 0;
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(h, &channel));
  cam.setCsr(0x608, 7u << 29);  // Cur_V_Format
  cam.setCsr(0x604, 1u << 29);  // Cur_V_Mode
  cam.setCsr(0x60C, 0x00008000u | std::uint32_t{channel} << 8 | 3);
  EXPECT_EQ(0x00008000u | std::uint32_t{channel} << 8 | 3, cam.csr(0x60C));
  CameraStartupRecord listen{};
  listen.tag = CV_CAMERA_STARTUP_TAG;
  listen.channel = channel;
  const CvEngineHandle engine = NewEngine();
  ASSERT_EQ(0u, CvStartIsochReceiveEngine(engine, &listen, 1));
  cam.setCsr(0x614, 0x80000000u);  // ISO_EN
  EXPECT_EQ(0x80000000u, cam.csr(0x614));
  std::uint8_t running = 0;
  ASSERT_EQ(0u, CvIsCameraRunning(h, &running));
  EXPECT_EQ(1, running);
  EXPECT_EQ(1u, Take(engine, 1, 320 * 240).size());
  sim::CameraState state;
  ASSERT_TRUE(sim::readCamera(kBayer, state));
  EXPECT_EQ((std::vector<std::uint32_t>{9, 320, 240}),
            (std::vector<std::uint32_t>{state.coding, state.width, state.height}));
  cam.setCsr(0x614, 0);
  ASSERT_EQ(0u, CvIsCameraRunning(h, &running));
  EXPECT_EQ(0, running);

  // A camera without 1394b keeps the legacy layout: channel in bits 0-3, speed in bits 6-7.
  Camera mono(Open(1, kMono));
  mono.base = Query<std::uint32_t>(mono.h(), 19);
  mono.setCsr(0x60C, 0x00008000u | 5u << 8 | 2);
  EXPECT_EQ(0u, mono.csr(0x60C) & 0x00008000u) << "no Operation_Mode";
  mono.setCsr(0x60C, 5u << 28 | 2u << 24);
  EXPECT_EQ(5u << 28 | 2u << 24, mono.csr(0x60C));

  // Multi_Shot (0x61C bit 1, count in bits 16-31) where BASIC_FUNC_INQ offers it (bit 20):
  // that many frames, with ISO_EN still 0; a camera without it refuses the write.
  const CvCameraHandle yh = Open(2, kYuv);
  Camera yuv(yh);
  yuv.base = Query<std::uint32_t>(yh, 19);
  EXPECT_NE(0u, yuv.csr(0x400) & 0x00000800u);
  ASSERT_EQ(0u, CvGetAvailableIsoChannel(yh, &channel));
  listen.channel = channel;
  const CvEngineHandle shots = NewEngine();
  ASSERT_EQ(0u, CvStartIsochReceiveEngine(shots, &listen, 2));
  yuv.setCsr(0x60C, std::uint32_t{channel} << 28 | 2u << 24);
  yuv.setCsr(0x61C, 0x40000000u | 3);
  EXPECT_EQ(0u, yuv.csr(0x614)) << "ISO_EN";
  EXPECT_EQ(3u, Take(shots, 3, 320 * 240 * 2).size());  // 320x240 YUV 4:2:2
  void* none = nullptr;
  sim::setTimeoutScale(0.05);
  EXPECT_EQ(sim::kTimeout, CvGetNextCompleteFrame(&none, shots, 1000)) << "three, no more";
  EXPECT_EQ(sim::kNotSupported, CvWriteQuad(h, cam.base + 0x61C, 0x80000000u));

  // INITIALIZE brings the registers back to power-up.
  cam.setCsr(0x000, 0x80000000u);
  EXPECT_EQ(0x80000000u, cam.csr(0x830));
  EXPECT_EQ(128u, cam.csr(0x800) & 0xFFF);
  EXPECT_EQ(1280u << 16 | 960, cam.at(kSpace + 4 * cam.csr(0x2E0) + 0x00C));
}

}  // namespace
