// Facts of the IIDC 1394-based digital camera standard and of IEEE 1394 that
// the virtual camera follows. Register offsets are from the command base.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace iidc {

// ---- Addresses ------------------------------------------------------------------------

// The bus gives 48-bit addresses; the camera library takes their low 32 bits
// (0xFFFF F000 0000 is the initial register space, so its low half is
// 0xF000 0000). Register offsets below are from the camera's command base,
// which lies in that space; quadlet offsets that registers give (absolute
// value blocks, Format 7 blocks, the command base itself) count quadlets
// from its start.
constexpr std::uint32_t kInitialSpace = 0xF0000000u;
constexpr std::uint32_t kConfigRom = kInitialSpace + 0x400;  // IEEE 1212 configuration ROM
constexpr std::uint32_t kConfigRomBytes = 0x400;
constexpr std::uint32_t quadletOffset(std::uint32_t address) {
  return (address - kInitialSpace) / 4;
}
// Where this camera keeps the blocks its inquiry registers point at, from the
// command base: an absolute value block per feature register, a Format 7
// block per mode.
constexpr std::uint32_t kAbsoluteBlocks = 0x1000;  // + 16 * feature index
constexpr std::uint32_t kAbsoluteBlockStride = 16;
constexpr std::uint32_t kFormat7Blocks = 0x2000;  // + 0x100 * mode
constexpr std::uint32_t kFormat7BlockStride = 0x100;
constexpr std::uint32_t kCameraSpan = 0x2800;  // everything of the camera from its command base

// ---- Configuration ROM (IEEE 1212; offsets from kConfigRom) ---------------------------

constexpr std::uint32_t kBusName = 0x31333934;  // "1394"
// Directory entry keys: immediate (0x0_, 0x1_, 0x3_), leaf (0x8_), directory (0xC_/0xD_).
constexpr std::uint32_t kKeyModuleVendorId = 0x03;
constexpr std::uint32_t kKeyNodeCapabilities = 0x0C;
constexpr std::uint32_t kKeyUnitSpecId = 0x12;
constexpr std::uint32_t kKeyUnitSwVersion = 0x13;
// In the unit dependent directory: the command base, Unit_Sub_SW_Version (IIDC
// 1.31 on) and the vendor's unique information.
constexpr std::uint32_t kKeyCommandRegsBase = 0x40;
constexpr std::uint32_t kKeyUnitSubSwVersion = 0x38;
constexpr std::uint32_t kKeyVendorUniqueInfo0 = 0x39;
constexpr std::uint32_t kKeyVendorUniqueInfo1 = 0x3A;
constexpr std::uint32_t kKeyVendorNameLeaf = 0x81;
constexpr std::uint32_t kKeyModelNameLeaf = 0x82;
constexpr std::uint32_t kKeyUnitDirectory = 0xD1;
constexpr std::uint32_t kKeyUnitDependentDirectory = 0xD4;
constexpr std::uint32_t kIidcSpecId = 0x00A02D;
constexpr std::uint32_t kIidcSwVersion = 0x000102;  // IIDC 1.30 and 1.31
constexpr std::uint32_t kIidc131SubVersion = 0x10;

// ---- Control and status registers (offsets from the command base) ---------------------

constexpr std::uint32_t kInitialize = 0x000;
constexpr std::uint32_t kVideoFormatInq = 0x100;
constexpr std::uint32_t kVideoModeInq = 0x180;   // + 4 * format
constexpr std::uint32_t kFrameRateInq = 0x200;   // + 32 * format + 4 * mode, formats 0 to 5
constexpr std::uint32_t kFormat7CsrInq = 0x2E0;  // + 4 * mode: quadlet offset of its block
constexpr std::uint32_t kBasicFuncInq = 0x400;
constexpr std::uint32_t kFeatureHiInq = 0x404;
constexpr std::uint32_t kFeatureLoInq = 0x408;
constexpr std::uint32_t kOptFunctionInq = 0x40C;
constexpr std::uint32_t kAdvancedFeatureInq = 0x480;
constexpr std::uint32_t kFeatureInq = 0x500;  // + 4 * feature index
constexpr std::uint32_t kTriggerInq = 0x530;
constexpr std::uint32_t kAbsoluteCsrInq =
    0x700;  // + 4 * feature index: quadlet offset of its block
constexpr std::uint32_t kCurFrameRate = 0x600;
constexpr std::uint32_t kCurVideoMode = 0x604;
constexpr std::uint32_t kCurVideoFormat = 0x608;
constexpr std::uint32_t kIsoChannelSpeed = 0x60C;
constexpr std::uint32_t kCameraPower = 0x610;
constexpr std::uint32_t kIsoEnable = 0x614;
constexpr std::uint32_t kMemorySave = 0x618;
constexpr std::uint32_t kShot = 0x61C;
constexpr std::uint32_t kVmodeErrorStatus = 0x628;  // 1.31
constexpr std::uint32_t kSoftwareTrigger = 0x62C;   // 1.31
constexpr std::uint32_t kDataDepth = 0x630;         // 1.31
constexpr std::uint32_t kFeatureControl = 0x800;    // + 4 * feature index
constexpr std::uint32_t kTriggerMode = 0x830;

// Bits of BASIC_FUNC_INQ.
constexpr std::uint32_t kBasicVmodeErrorStatus = 0x40000000u;
constexpr std::uint32_t kBasic1394b = 0x00800000u;  // 1.31
constexpr std::uint32_t kBasicCameraPower = 0x00008000u;
constexpr std::uint32_t kBasicOneShot = 0x00001000u;
constexpr std::uint32_t kBasicMultiShot = 0x00000800u;
// ISO_CHANNEL / ISO_SPEED: the legacy layout (4-bit channel in bits 0-3, 2-bit
// speed in bits 6-7) and, with Operation_Mode (bit 16) set, the 1394b one
// (6-bit channel in bits 18-23, 3-bit speed in bits 29-31).
constexpr std::uint32_t kIsoLegacyChannelShift = 28;
constexpr std::uint32_t kIsoLegacySpeedShift = 24;
constexpr std::uint32_t kIsoOperationMode = 0x00008000u;
constexpr std::uint32_t kIsoChannelBShift = 8;
// One_Shot (bit 0), Multi_Shot (bit 1), Count_Number (bits 16-31).
constexpr std::uint32_t kOneShot = 0x80000000u;
constexpr std::uint32_t kMultiShot = 0x40000000u;

// Bits of a feature inquiry register.
constexpr std::uint32_t kPresence = 0x80000000u;
constexpr std::uint32_t kAbsControl = 0x40000000u;  // also Abs_Control in a control register
constexpr std::uint32_t kOnePushInq = 0x10000000u;
constexpr std::uint32_t kReadOutInq = 0x08000000u;
constexpr std::uint32_t kOnOffInq = 0x04000000u;
constexpr std::uint32_t kAutoInq = 0x02000000u;
constexpr std::uint32_t kManualInq = 0x01000000u;
constexpr std::uint32_t kMinShift = 12;  // Min_Value, bits 8-19
constexpr std::uint32_t kValueMask = 0xFFFu;
// Bits of a feature control register: value in bits 20-31; white balance
// holds U/B in bits 8-19 and V/R in bits 20-31; temperature its target in
// bits 8-19 and the current temperature (read only) in bits 20-31.
constexpr std::uint32_t kOnePush = 0x04000000u;
constexpr std::uint32_t kOnOff = 0x02000000u;
constexpr std::uint32_t kAutoMode = 0x01000000u;
constexpr std::uint32_t kHighValueShift = 12;
// TRIGGER_INQ: Polarity_Inq, Value_Read_Inq, sources 0-3 (bits 8-11),
// Software_Trigger_Inq (bit 15), modes 0-5 (bits 16-21), 14 and 15 (bits 30, 31).
constexpr std::uint32_t kTriggerPolarityInq = 0x02000000u;
constexpr std::uint32_t kTriggerValueReadInq = 0x01000000u;
constexpr std::uint32_t kTriggerSourceInqShift = 20;  // source s: bit (23 - s) from bit 0
constexpr std::uint32_t kTriggerSoftwareInq = 0x00010000u;
// TRIGGER_MODE: ON_OFF, Trigger_Polarity, Trigger_Source, Trigger_Value (read
// only), Trigger_Mode, Parameter.
constexpr std::uint32_t kTriggerPolarity = 0x01000000u;
constexpr std::uint32_t kTriggerSourceShift = 21;
constexpr std::uint32_t kTriggerSourceMask = 0x7u << kTriggerSourceShift;
constexpr std::uint32_t kTriggerValue = 0x00100000u;
constexpr std::uint32_t kTriggerModeShift = 16;
constexpr std::uint32_t kTriggerModeMask = 0xFu << kTriggerModeShift;
constexpr std::uint32_t kTriggerParameterMask = 0xFFFu;
constexpr std::uint32_t kTriggerIndex = 12;  // TRIGGER_MODE is feature control register 12
// Feature indices (register index, the low bits of the offset / 4).
constexpr std::uint32_t kWhiteBalanceIndex = 3;
constexpr std::uint32_t kTemperatureIndex = 11;
constexpr std::uint32_t kFeatureSlots = 36;  // indices 0 to 35 (32 to 35: Zoom .. Optical_Filter)

// ---- A Format 7 mode's block (offsets from the block) --------------------------------

constexpr std::uint32_t kF7MaxImageSize = 0x000;    // Hmax, Vmax
constexpr std::uint32_t kF7UnitSize = 0x004;        // Hunit, Vunit
constexpr std::uint32_t kF7ImagePosition = 0x008;   // Left, Top
constexpr std::uint32_t kF7ImageSize = 0x00C;       // Width, Height
constexpr std::uint32_t kF7ColorCodingId = 0x010;   // bits 0-7
constexpr std::uint32_t kF7ColorCodingInq = 0x014;  // coding c: bit c from bit 0
constexpr std::uint32_t kF7PixelNumber = 0x034;
constexpr std::uint32_t kF7TotalBytesHi = 0x038;
constexpr std::uint32_t kF7TotalBytesLo = 0x03C;
constexpr std::uint32_t kF7PacketPara = 0x040;     // UnitBytePerPacket, MaxBytePerPacket
constexpr std::uint32_t kF7BytePerPacket = 0x044;  // BytePerPacket, RecBytePerPacket
constexpr std::uint32_t kF7PacketPerFrame = 0x048;
constexpr std::uint32_t kF7UnitPosition = 0x04C;   // Hposunit, Vposunit (0: the size units)
constexpr std::uint32_t kF7FrameInterval = 0x050;  // seconds, IEEE-754
constexpr std::uint32_t kF7DataDepth = 0x054;      // 1.31, bits 0-7
constexpr std::uint32_t kF7ColorFilterId = 0x058;  // 1.31, bits 0-7
constexpr std::uint32_t kF7ValueSetting = 0x07C;
constexpr std::uint32_t kF7BlockBytes = 0x080;
// COLOR_FILTER_ID: 0 RGGB, 1 GBRG, 2 GRBG, 3 BGGR. VALUE_SETTING: Presence_Inq,
// Setting_1 (bit 1: take the settings), ErrorFlag_1 (bit 8: they do not fit),
// ErrorFlag_2 (bit 9: the bytes per packet do not).
constexpr std::uint32_t kF7Setting = 0x40000000u;
constexpr std::uint32_t kF7ErrorFlag1 = 0x00800000u;
constexpr std::uint32_t kF7ErrorFlag2 = 0x00400000u;
constexpr std::uint32_t kF7UnitBytePerPacket = 4;

// The camera library's features: register index (bits 10-15 of the library
// register ids) and running number (low byte); white balance is one IIDC
// register seen as two features.
struct Feature {
  std::string_view name;
  std::uint32_t index;
  std::uint32_t number;
};
constexpr std::array<Feature, 17> kFeatures = {{{"Brightness", 0, 0x00},
                                                {"Auto_Exposure", 1, 0x01},
                                                {"Sharpness", 2, 0x02},
                                                {"Color_UB", 3, 0x03},
                                                {"Color_VR", 3, 0x83},
                                                {"Hue", 4, 0x04},
                                                {"Saturation", 5, 0x05},
                                                {"Gamma", 6, 0x06},
                                                {"Shutter", 7, 0x07},
                                                {"Gain", 8, 0x08},
                                                {"Iris", 9, 0x09},
                                                {"Focus", 10, 0x0A},
                                                {"Temperature", 11, 0x0B},
                                                {"Zoom", 32, 0x0C},
                                                {"Pan", 33, 0x0D},
                                                {"Tilt", 34, 0x0E},
                                                {"Optical_Filter", 35, 0x0F}}};

constexpr std::uint32_t inquiryId(const Feature& f) {
  return 0x00050000u | (f.index << 10) | f.number;
}

// Fixed formats 0 to 2: size and colour coding of every mode. Mode 7 of
// format 0 is reserved and has no image.
struct FixedMode {
  std::uint32_t width, height, coding;
};
constexpr FixedMode kFixedModes[3][8] = {{{160, 120, 3},
                                          {320, 240, 2},
                                          {640, 480, 1},
                                          {640, 480, 2},
                                          {640, 480, 4},
                                          {640, 480, 0},
                                          {640, 480, 5},
                                          {0, 0, 0}},
                                         {{800, 600, 2},
                                          {800, 600, 4},
                                          {800, 600, 0},
                                          {1024, 768, 2},
                                          {1024, 768, 4},
                                          {1024, 768, 0},
                                          {800, 600, 5},
                                          {1024, 768, 5}},
                                         {{1280, 960, 2},
                                          {1280, 960, 4},
                                          {1280, 960, 0},
                                          {1600, 1200, 2},
                                          {1600, 1200, 4},
                                          {1600, 1200, 0},
                                          {1280, 960, 5},
                                          {1600, 1200, 5}}};

// Bits per sample of a colour coding (DATA_DEPTH): 16 for the 16-bit codings.
constexpr std::uint32_t dataDepth(std::uint32_t coding) {
  return coding == 5 || coding == 6 || coding == 7 || coding == 8 || coding == 10 ? 16 : 8;
}

// Frame rates of the frame-rate indices, frames per second.
constexpr double kFrameRates[8] = {1.875, 3.75, 7.5, 15, 30, 60, 120, 240};

// IEEE 1394: one isochronous cycle is 125 us; a bus grants 4915 allocation
// units per cycle, one unit the time of one byte at S400.
constexpr double kCycleSeconds = 125e-6;
constexpr std::uint32_t kUnitsPerCycle = 4915;
constexpr std::uint32_t kChannels = 64;

// Allocation units of a packet of the given size at a speed code (0 = S100).
constexpr std::uint32_t bandwidthUnits(std::uint32_t speed, std::uint32_t packetBytes) {
  // S100 takes four times as long as S400 for a byte; S800 half.
  return speed <= 2 ? packetBytes << (2 - speed)
                    : (packetBytes + (1u << (speed - 2)) - 1) >> (speed - 2);
}

// Largest isochronous payload of one packet at a speed code.
constexpr std::uint32_t maxPacketBytes(std::uint32_t speed) {
  return 1024u << speed;
}

}  // namespace iidc
