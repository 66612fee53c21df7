// Control interface of the virtual camera bus, for tests and tools. It lives in
// the BL1394 library beside the C API, so a program that links it steers the
// very bus that a loaded module reaches through the Cv functions.
//
// None of these knobs is visible through the C API: a camera's faults,
// pulses and unplugging never show up as camera features.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bl1394.h"

// The control interface is exported for tests and tools, but not by the
// library in the camera maker's shape, which exports the Cv functions alone.
#if defined(CORVANE_CV_ONLY)
#define SIM_API
#else
#define SIM_API BL1394_API
#endif

namespace sim {

// ---- Camera identifiers ------------------------------------------------------------

// Camera identifiers are EUI-64s: a 24-bit company id, then 40 bits the company
// numbers its cameras with. The virtual bus's cameras use a locally
// administered company id (bit 0x02 of its first byte set), which IEEE assigns
// to no company.
constexpr std::uint64_t kCompanyId = 0x02C0DE;
constexpr std::uint64_t cameraId(std::uint64_t serial) {
  return kCompanyId << 40 | (serial & 0xFFFFFFFFFFull);
}
// The cameras of the default bus.
constexpr std::uint64_t kMonoCamera = cameraId(0x0100A1C001);
constexpr std::uint64_t kBayerCamera = cameraId(0x0100B2C002);
constexpr std::uint64_t kYuvCamera = cameraId(0x0100C3C003);

// ---- Bus descriptions ------------------------------------------------------------

// Freedoms a camera library may take, each an answer a real library may give.
// They are a camera's (set in its description, or here), so that one camera of
// a bus can take them while the others answer plainly.
struct Quirks {
  // CvGetAvailableIsoChannel succeeds with this channel (-1: an honest one).
  int channelAnswer = -1;
  // CvGetNextCompleteFrame succeeds without an image.
  bool nullImages = false;
  // CvSetCameraStartupInfo: kRefused fails it with kNotSupported, kIgnored
  // reports success; either way the camera keeps the image settings it had.
  enum class Startup { kHonest, kRefused, kIgnored } startupInfo = Startup::kHonest;
  // A stop leaves the frame the camera finished last in the receive engine,
  // untaken, and the engine hands it out afterwards (as DMA buffers queued
  // before a stop are).
  bool framesAfterStop = false;
  // The receive engine keeps the frames it finished, the one on its way at a
  // stop among them, across the next start of the camera, and hands them out
  // first (as a ring of DMA buffers that only a read empties does).
  bool framesAcrossStart = false;
  bool operator==(const Quirks&) const = default;
};
// Freedoms of the calls that name no camera.
struct LibraryQuirks {
  // CvPixelFormatStringA and CvFpsStringA: kNull answers null, kSame one
  // text for every coding and one for every rate.
  enum class Texts { kHonest, kNull, kSame } texts = Texts::kHonest;
  // CvStatusStringA answers null for a status it does not know.
  bool nullStatusTexts = false;
  bool operator==(const LibraryQuirks&) const = default;
};

struct FeatureDesc {
  std::string name;  // one of the camera library's 17 feature names
  bool onOffCapable = false;
  bool autoCapable = false;
  bool manualCapable = true;
  bool absoluteCapable = false;
  bool onePushCapable = false;
  // Integer range: IIDC's registers hold 12 bits, so 0 to 4095.
  std::uint16_t minValue = 0;
  std::uint16_t maxValue = 255;
  float absMin = 0.0f;
  float absMax = 1.0f;
  // State at power-up.
  bool on = true;
  bool autoMode = false;
  // Low 16 bits: the value (the target for Temperature); the library carries
  // the high 16 bits of its control record through as written.
  std::uint32_t value = 0;
  bool absoluteControl = false;
  float absValue = 0.0f;
};

// Frame rates offered for one mode of a fixed format (0, 1 or 2).
struct FixedModeDesc {
  std::uint32_t format = 0;
  std::uint32_t mode = 0;
  std::vector<std::uint32_t> rates;  // frame-rate indices 0..7
};

struct Format7ModeDesc {
  std::uint32_t mode = 0;
  std::uint16_t maxWidth = 640;
  std::uint16_t maxHeight = 480;
  std::uint16_t widthUnit = 4;
  std::uint16_t heightUnit = 2;
  std::uint16_t offsetXUnit = 0;  // 0: the same as widthUnit
  std::uint16_t offsetYUnit = 0;
  std::vector<std::uint32_t> codings;  // colour codings 0..10
  std::uint16_t packetSize = 2048;     // bytes per isochronous packet
};

struct CameraDesc {
  std::uint64_t id = 0;
  // The IIDC version the camera follows: 130 (1.30) or 131 (1.31). Only 1.31
  // knows 1394b (speeds above S400), the Raw codings, the colour filter and
  // data depth registers, and says its version in the unit directory.
  std::uint32_t iidcVersion = 131;
  std::string vendor = "Corvane";
  std::string model = "Virtual";
  std::uint32_t number = 0;
  std::uint8_t speed = kCvS400;
  std::uint32_t commandBase = 0xF0F00000u;
  std::vector<FixedModeDesc> fixed;
  std::vector<Format7ModeDesc> format7;
  // Extra bits for byte 0 of the video-mode inquiry (formats 3 to 6 exist in the
  // standard, but this camera offers none of their modes).
  std::uint8_t extraFormatBits = 0;
  // The Format 7 bit is set when format7 is not empty, or when this is true.
  bool format7Bit = false;
  std::uint8_t filterPattern = 0;
  std::uint32_t triggerInquiry = 0;  // IIDC TRIGGER_INQ
  bool dualPacket = false;
  std::uint32_t dualPacketCaps = 1;
  // One_Shot and Multi_Shot in BASIC_FUNC_INQ.
  bool oneShot = false;
  bool multiShot = false;
  std::vector<FeatureDesc> features;
  Quirks quirks;
};

struct BusDesc {
  std::vector<std::vector<CameraDesc>> adapters;  // adapter 1 is adapters[0]
  // Per adapter (missing: 0): bandwidth units of each 125 us cycle that other
  // devices on its bus take, which its cameras cannot have.
  std::vector<std::uint32_t> otherTraffic;
  LibraryQuirks quirks;
};

// Three cameras on two adapters: a monochrome fixed-format camera, a Format 7
// Bayer colour camera with hardware trigger, a YUV 4:2:2 camera with dual
// packet mode.
SIM_API BusDesc defaultBus();
// A camera that sets every inquiry bit: all 192 fixed formats and 8 Format 7
// modes (of different widths) with all 11 colour codings, 280 formats in all.
SIM_API CameraDesc everyFormatCamera(std::uint64_t id);
// Parses a bus description (JSON). On failure returns false and says what and
// where in error.
SIM_API bool parseBus(const std::string& json, BusDesc& bus, std::string& error);
SIM_API bool loadBusFile(const std::string& path, BusDesc& bus, std::string& error);
// The description as JSON text, loadable by parseBus.
SIM_API std::string busToJson(const BusDesc& bus);
// Checks a description for what the registers cannot tell; empty when sound.
// installBus asks this much of any description.
SIM_API std::string validateBus(const BusDesc& bus);
// Checks a description against a camera's own rules: units that divide the
// sizes, packets that fit the speed, codings and rates that exist, values in
// their ranges, modes that fit their bus. Empty when it holds to them, else
// the first that does not, with its place in the description. parseBus and
// loadBusFile ask this of every file; a program may install a camera that
// breaks them (a faulty camera, to test what survives one).
SIM_API std::string checkCameraRules(const BusDesc& bus);

// Replaces the whole bus: every handle, engine and stream of the old one is
// dropped (their handles become unknown). Returns false with the problem in
// error when the description is not sound; the old bus then stays.
SIM_API bool installBus(const BusDesc& bus, std::string* error = nullptr);
// The description of the installed bus (the default bus until one is installed).
SIM_API BusDesc installedBus();

// ---- Time ---------------------------------------------------------------------------

// Free-running: a running camera that is not waiting for a trigger completes a
// frame whenever one is asked for, as fast as they are taken.
SIM_API void setFreeRunning(bool on);
// Scales the time-outs of CvGetNextCompleteFrame (1 = as given), so tests wait
// short for frames that never come.
SIM_API void setTimeoutScale(double scale);
// A frame wait's sleep, for a test that runs the threads itself: while set,
// CvGetNextCompleteFrame waits for a change of the bus by calling it instead
// of sleeping; it returns false once the (scaled) time-out has passed, as its
// own clock counts. ready(arg) tells when the bus has changed.
using FrameWaitHook = bool (*)(bool (*ready)(const void* arg), const void* arg,
                               std::uint32_t timeoutMs);
SIM_API void setFrameWaitHook(FrameWaitHook hook);

// ---- Faults and the call log --------------------------------------------------------

struct FaultRule {
  std::string function;     // a Cv function name
  CvStatus status = 0;      // status the call returns instead of doing its work
  std::uint64_t nth = 0;    // fail the nth matching call from now (1 = next); 0 = every call
  std::uint64_t times = 1;  // with nth: how many calls from the nth on fail
  // Only calls whose first 32-bit argument after the handle (register id,
  // address, adapter) equals this count as matching; -1 = any.
  std::int64_t argument = -1;
};
SIM_API void addFault(const FaultRule& rule);
SIM_API void clearFaults();
// How many calls have been failed by rules since the last clearFaults.
SIM_API std::uint64_t faultsInjected();
// Faults at random, beside the rules: each call of one of the functions (of
// any gated function when the list is empty) fails with kInjected at the given
// rate, drawn from a generator seeded with seed, so that a run can be repeated.
// A rate of 0 turns them off; clearFaults does too.
SIM_API void setRandomFaults(double rate, std::uint64_t seed,
                             const std::vector<std::string>& functions = {});
// Calls failed at random since the last setRandomFaults.
SIM_API std::uint64_t randomFaultsInjected();
// A faulty library: CvLocateCamerasEx reports this many identifiers more than
// it filled in (0 = honest).
SIM_API void setCountOverstatement(std::uint32_t extra);
// Gives every camera of the installed bus these quirks.
SIM_API void setQuirks(const Quirks& quirks);
// One camera's; false for an unknown camera.
SIM_API bool setCameraQuirks(std::uint64_t cameraId, const Quirks& quirks);
SIM_API void setLibraryQuirks(const LibraryQuirks& quirks);
// The quirks' names as bus descriptions spell them ("refused", "same", ...).
SIM_API const char* quirkName(Quirks::Startup startup);
SIM_API const char* quirkName(LibraryQuirks::Texts texts);

struct Call {
  std::string function;
  std::vector<std::uint64_t> args;   // integer arguments and handles, in order
  std::vector<std::uint8_t> record;  // the record passed in, or the buffer filled
  CvStatus status = 0;
};
SIM_API void setCallLog(bool on);
SIM_API std::vector<Call> callLog();
SIM_API void clearCallLog();
SIM_API std::string describeCall(const Call& call);

// ---- Cameras ------------------------------------------------------------------------

// A hardware trigger pulse on a source line of the camera (-1: the source its
// TRIGGER_MODE register selects). Returns false for an unknown camera.
SIM_API bool pulseTrigger(std::uint64_t cameraId, int source = -1);
// Pulses at a steady rate from now on (0 stops them).
SIM_API bool setPulseRate(std::uint64_t cameraId, double hertz);
// Unplugged, a camera disappears from enumeration; its handles fail every call
// and its stream stops. Plugged back, it enumerates again (old handles stay dead).
SIM_API bool unplug(std::uint64_t cameraId);
SIM_API bool replug(std::uint64_t cameraId);

// IIDC register contents by offset from the command base.
SIM_API bool readCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t& value);
// A change the camera makes to one of its own feature, trigger or absolute
// value registers (a value its automatic mode moves, a switch on its panel),
// as a write from the bus would make it; no library handle sees it. False for
// an unknown camera, or a register outside those (or one it refuses).
SIM_API bool writeCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t value);

struct FeatureState {
  bool present = false;
  bool on = false;
  bool autoMode = false;
  std::uint32_t value = 0;
  bool absoluteControl = false;
  float absValue = 0.0f;
};
SIM_API bool readFeature(std::uint64_t cameraId, const std::string& name, FeatureState& state);

struct CameraState {
  bool plugged = false;
  bool running = false;
  bool triggered = false;
  std::uint32_t openHandles = 0;
  std::uint8_t channel = 255;  // reserved channel, 255 = none
  std::uint64_t framesCompleted = 0;
  std::uint64_t pulsesIgnored = 0;  // trigger pulses that came while a frame was being sent
  // What the camera sends, or sent last: colour coding, image size, bytes a frame.
  std::uint32_t coding = 0;
  std::uint32_t width = 0, height = 0;
  std::size_t frameBytes = 0;
};
SIM_API bool readCamera(std::uint64_t cameraId, CameraState& state);

// What the bus holds right now; after a module has released everything all
// counts are 0.
struct Resources {
  std::uint32_t openHandles = 0;
  std::uint32_t reservedChannels = 0;
  std::uint32_t engines = 0;
  std::uint32_t runningCameras = 0;
  std::uint32_t bandwidthUnitsInUse = 0;
  bool initialized = false;
};
SIM_API Resources resources();

struct EngineStats {
  bool started = false;
  bool dualPacket = false;
  bool waiting = false;  // a thread waits in CvGetNextCompleteFrame on the engine
  std::uint64_t framesDelivered = 0;
  std::uint64_t framesLost = 0;          // completed but overwritten before they were taken
  std::uint64_t framesWithoutImage = 0;  // taken, but handed out as no image (nullImages)
  std::uint32_t lastSequence = 0;
  double lastCompletion = 0.0;  // seconds on the bus clock (busTime) of the last frame taken
};
SIM_API bool readEngine(CvEngineHandle engine, EngineStats& stats);
// The engines that exist, oldest first.
SIM_API std::vector<CvEngineHandle> engines();
// Frames the camera finished before the frame-th frame (1 for the first) that
// the newest receive engine taking its frames handed out, which that engine
// never handed out: overwritten in its ring, or passed over. Asked in
// increasing order of frame: what lies before an asked frame is forgotten, so
// that a long run's losses take no memory. False for a camera no engine takes
// frames from, or a frame not yet handed out.
SIM_API bool lostBefore(std::uint64_t cameraId, std::uint64_t frame, std::uint64_t& lost);
// Seconds on the bus clock (steady, arbitrary origin).
SIM_API double busTime();

// Status codes of the virtual bus (CV_NO_SUCH_ADAPTER is the library's own).
enum Status : CvStatus {
  kNotInitialized = 0xe0040001u,
  kInvalidHandle = 0xe0040002u,
  kInvalidArgument = 0xe0040003u,
  kBufferSize = 0xe0040004u,
  kUnknownRegister = 0xe0040005u,
  kNotSupported = 0xe0040006u,
  kNoChannel = 0xe0040007u,
  kNoBandwidth = 0xe0040008u,
  kTimeout = 0xe0040009u,
  kDeviceRemoved = 0xe004000au,
  kNotStarted = 0xe004000bu,
  kBusy = 0xe004000cu,
  kBadRecord = 0xe004000du,
  kNoCamera = 0xe004000eu,
  kBusNotRead = 0xe004000fu,  // CvInitialize: the description the library started with
  kInjected = 0xe00400ffu     // a handy status for fault rules
};

}  // namespace sim
