// The C API of the virtual camera bus. Each function passes the fault gate,
// calls the bus, and records itself in the call log when the log is on.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "bus.h"
#include "iidc.h"

using sim::Bus;

namespace {

std::uint64_t arg(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}

// Runs op unless the gate fails the call; no exception leaves the library.
template <class Op>
CvStatus gated(const char* function, std::int64_t gateArgument, Op&& op) {
  CvStatus status = 0;
  if (Bus::get().gate(function, gateArgument, status)) return status;
  try {
    return op();
  } catch (...) {
    return sim::kInvalidArgument;
  }
}

CvStatus logged(const char* function, CvStatus status, std::initializer_list<std::uint64_t> args,
                const void* record = nullptr, std::size_t size = 0) {
  Bus& bus = Bus::get();
  if (bus.logging()) {
    sim::Call call{function, args, {}, status};
    if (record != nullptr) {
      const auto* bytes = static_cast<const std::uint8_t*>(record);
      call.record.assign(bytes, bytes + size);
    }
    bus.log(std::move(call));
  }
  return status;
}

}  // namespace

extern "C" {

CvStatus CvInitialize(void) {
  CvStatus s = gated("CvInitialize", -1, [] { return Bus::get().initialize(); });
  return logged("CvInitialize", s, {});
}

CvStatus CvTerminate(void) {
  CvStatus s = gated("CvTerminate", -1, [] { return Bus::get().terminate(); });
  return logged("CvTerminate", s, {});
}

CvStatus CvLocateCamerasEx(uint32_t adapter, uint64_t* ids, uint32_t flags, uint32_t* count) {
  const uint32_t capacity = count ? *count : 0;
  CvStatus s = 0;
  if (Bus::get().gate("CvLocateCamerasEx", adapter, s)) {
    // Whatever the status, the count says how many identifiers were filled in.
    if (count != nullptr) *count = 0;
  } else {
    s = Bus::get().locate(adapter, ids, count);
  }
  const bool filled = ids != nullptr && count != nullptr;
  return logged("CvLocateCamerasEx", s, {adapter, arg(ids), flags, capacity},
                filled ? ids : nullptr, filled ? *count * 8u : 0);
}

CvStatus CvOpenCameraHandleEx(uint32_t adapter, CvCameraHandle* handle, const uint64_t* cameraId) {
  CvStatus s = gated("CvOpenCameraHandleEx", adapter,
                     [&] { return Bus::get().open(adapter, handle, cameraId); });
  return logged("CvOpenCameraHandleEx", s,
                {adapter, s == 0 && handle ? arg(*handle) : 0, cameraId ? *cameraId : 0});
}

CvStatus CvCloseCameraHandle(CvCameraHandle handle) {
  CvStatus s = gated("CvCloseCameraHandle", -1, [&] { return Bus::get().close(handle); });
  return logged("CvCloseCameraHandle", s, {arg(handle)});
}

CvStatus CvQueryCameraRegister(CvCameraHandle handle, uint32_t registerId, void* buffer,
                               uint32_t size) {
  CvStatus s = gated("CvQueryCameraRegister", registerId,
                     [&] { return Bus::get().query(handle, registerId, buffer, size); });
  return logged("CvQueryCameraRegister", s, {arg(handle), registerId, size},
                s == 0 ? buffer : nullptr, size);
}

CvStatus CvSetCameraRegister(CvCameraHandle handle, uint32_t registerId, const void* buffer,
                             uint32_t size) {
  CvStatus s = gated("CvSetCameraRegister", registerId,
                     [&] { return Bus::get().set(handle, registerId, buffer, size); });
  return logged("CvSetCameraRegister", s, {arg(handle), registerId, size}, buffer,
                buffer ? std::min<uint32_t>(size, 64) : 0);
}

CvStatus CvReadQuad(CvCameraHandle handle, uint32_t address, uint32_t* value) {
  CvStatus s =
      gated("CvReadQuad", address, [&] { return Bus::get().readQuad(handle, address, value); });
  return logged("CvReadQuad", s, {arg(handle), address, s == 0 && value ? *value : 0});
}

CvStatus CvWriteQuad(CvCameraHandle handle, uint32_t address, uint32_t value) {
  CvStatus s =
      gated("CvWriteQuad", address, [&] { return Bus::get().writeQuad(handle, address, value); });
  return logged("CvWriteQuad", s, {arg(handle), address, value});
}

CvStatus CvInitFormatInfo(FixedFormatTable* table, uint32_t format, uint32_t mode,
                          uint32_t frameRate) {
  CvStatus s = gated("CvInitFormatInfo", format, [&]() -> CvStatus {
    if (table == nullptr) return sim::kInvalidArgument;
    std::memset(table, 0, sizeof *table);
    if (format > 2 || mode > 7 || frameRate > 7) return sim::kInvalidArgument;
    table->header[0] = format;
    table->header[1] = frameRate;
    table->header[2] = 8;
    table->header[3] = static_cast<uint32_t>(iidc::kFrameRates[frameRate] * 1000);
    for (uint32_t m = 0; m < 8; ++m) {
      const iidc::FixedMode& fixed = iidc::kFixedModes[format][m];
      table->modes[m].colorCoding = fixed.coding;
      table->modes[m].width = fixed.width;
      table->modes[m].height = fixed.height;
    }
    return 0;
  });
  return logged("CvInitFormatInfo", s, {arg(table), format, mode, frameRate});
}

const char* CvPixelFormatStringA(uint32_t colorCoding) {
  static const char* const names[] = {"Mono8",        "YUV411", "YUV422", "YUV444",
                                      "RGB8",         "Mono16", "RGB16",  "Signed Mono16",
                                      "Signed RGB16", "Raw8",   "Raw16"};
  logged("CvPixelFormatStringA", 0, {colorCoding});
  switch (Bus::get().libraryQuirks().texts) {
    case sim::LibraryQuirks::Texts::kNull:
      return nullptr;
    case sim::LibraryQuirks::Texts::kSame:
      return "Pixels";
    case sim::LibraryQuirks::Texts::kHonest:
      break;
  }
  return colorCoding < 11 ? names[colorCoding] : "Unknown";
}

const char* CvFpsStringA(uint32_t frameRate) {
  static const char* const names[] = {"1.875", "3.75", "7.5", "15", "30", "60", "120", "240"};
  logged("CvFpsStringA", 0, {frameRate});
  switch (Bus::get().libraryQuirks().texts) {
    case sim::LibraryQuirks::Texts::kNull:
      return nullptr;
    case sim::LibraryQuirks::Texts::kSame:
      return "Some";
    case sim::LibraryQuirks::Texts::kHonest:
      break;
  }
  return frameRate < 8 ? names[frameRate] : "Unknown";
}

const char* CvStatusStringA(CvStatus status) {
  switch (status) {
    case 0:
      return "Success";
    case CV_NO_SUCH_ADAPTER:
      return "No adapter with that number";
    case sim::kNotInitialized:
      return "Library not initialized";
    case sim::kInvalidHandle:
      return "Invalid handle";
    case sim::kInvalidArgument:
      return "Invalid argument";
    case sim::kBufferSize:
      return "Wrong buffer size for the register";
    case sim::kUnknownRegister:
      return "Unknown register";
    case sim::kNotSupported:
      return "Not supported by the camera";
    case sim::kNoChannel:
      return "No free isochronous channel";
    case sim::kNoBandwidth:
      return "Not enough isochronous bandwidth";
    case sim::kTimeout:
      return "Timed out waiting for a frame";
    case sim::kDeviceRemoved:
      return "Camera removed from the bus";
    case sim::kNotStarted:
      return "Not started";
    case sim::kBusy:
      return "Busy";
    case sim::kBadRecord:
      return "Record tag or contents not valid";
    case sim::kNoCamera:
      return "No such camera on the adapter";
    case sim::kInjected:
      return "Injected failure";
    case sim::kBusNotRead: {
      thread_local std::string why;
      why = Bus::get().startupError();
      return why.empty() ? "The bus description was read after all" : why.c_str();
    }
    default:
      break;
  }
  if (Bus::get().libraryQuirks().nullStatusTexts) return nullptr;
  thread_local char text[40];
  std::snprintf(text, sizeof text, "Unknown status 0x%08x", status);
  return text;
}

CvStatus CvGetAvailableIsoChannel(CvCameraHandle handle, uint8_t* channel) {
  CvStatus s =
      gated("CvGetAvailableIsoChannel", -1, [&] { return Bus::get().channel(handle, channel); });
  return logged("CvGetAvailableIsoChannel", s, {arg(handle), s == 0 && channel ? *channel : 255u});
}

CvStatus CvSetCameraStartupInfo(CvCameraHandle handle, const CameraStartupRecord* startup) {
  CvStatus s =
      gated("CvSetCameraStartupInfo", -1, [&] { return Bus::get().setStartup(handle, startup); });
  return logged("CvSetCameraStartupInfo", s, {arg(handle)}, startup, startup ? sizeof *startup : 0);
}

CvStatus CvGetSpecialFeaturePresence(CvCameraHandle handle, uint32_t feature, uint32_t* presence) {
  CvStatus s = gated("CvGetSpecialFeaturePresence", feature,
                     [&] { return Bus::get().specialFeature(handle, feature, presence, false); });
  return logged("CvGetSpecialFeaturePresence", s,
                {arg(handle), feature, s == 0 && presence ? *presence : 0});
}

CvStatus CvGetSpecialFeatureCaps(CvCameraHandle handle, uint32_t feature, uint32_t* caps) {
  CvStatus s = gated("CvGetSpecialFeatureCaps", feature,
                     [&] { return Bus::get().specialFeature(handle, feature, caps, true); });
  return logged("CvGetSpecialFeatureCaps", s, {arg(handle), feature, s == 0 && caps ? *caps : 0});
}

CvStatus CvCreateIsochReceiveEngine(CvEngineHandle* engine) {
  CvStatus s =
      gated("CvCreateIsochReceiveEngine", -1, [&] { return Bus::get().createEngine(engine); });
  return logged("CvCreateIsochReceiveEngine", s, {s == 0 && engine ? arg(*engine) : 0});
}

CvStatus CvSetIsochEngineOption(CvEngineHandle engine, uint32_t option, const uint32_t* value) {
  CvStatus s = gated("CvSetIsochEngineOption", option,
                     [&] { return Bus::get().setEngineOption(engine, option, value); });
  return logged("CvSetIsochEngineOption", s, {arg(engine), option, value ? *value : 0});
}

CvStatus CvStartIsochReceiveEngine(CvEngineHandle engine, const CameraStartupRecord* startup,
                                   uint32_t adapter) {
  CvStatus s = gated("CvStartIsochReceiveEngine", adapter,
                     [&] { return Bus::get().startEngine(engine, startup, adapter); });
  return logged("CvStartIsochReceiveEngine", s, {arg(engine), adapter}, startup,
                startup ? sizeof *startup : 0);
}

CvStatus CvStopIsochReceiveEngine(CvEngineHandle engine) {
  CvStatus s = gated("CvStopIsochReceiveEngine", -1, [&] { return Bus::get().stopEngine(engine); });
  return logged("CvStopIsochReceiveEngine", s, {arg(engine)});
}

CvStatus CvDeleteIsochReceiveEngine(CvEngineHandle engine) {
  CvStatus s =
      gated("CvDeleteIsochReceiveEngine", -1, [&] { return Bus::get().deleteEngine(engine); });
  return logged("CvDeleteIsochReceiveEngine", s, {arg(engine)});
}

CvStatus CvIsCameraRunning(CvCameraHandle handle, uint8_t* running) {
  CvStatus s =
      gated("CvIsCameraRunning", -1, [&] { return Bus::get().isRunning(handle, running); });
  return logged("CvIsCameraRunning", s, {arg(handle), s == 0 && running ? *running : 0u});
}

CvStatus CvStartCamera(CvCameraHandle handle, const CameraStartupRecord* startup) {
  CvStatus s = gated("CvStartCamera", -1, [&] { return Bus::get().startCamera(handle, startup); });
  return logged("CvStartCamera", s, {arg(handle)}, startup, startup ? sizeof *startup : 0);
}

CvStatus CvStopCamera(CvCameraHandle handle) {
  CvStatus s = gated("CvStopCamera", -1, [&] { return Bus::get().stopCamera(handle); });
  return logged("CvStopCamera", s, {arg(handle)});
}

CvStatus CvGetNextCompleteFrame(void** image, CvEngineHandle engine, uint32_t timeoutMs) {
  CvStatus s = gated("CvGetNextCompleteFrame", -1,
                     [&] { return Bus::get().nextFrame(image, engine, timeoutMs); });
  return logged("CvGetNextCompleteFrame", s, {arg(engine), timeoutMs});
}

}  // extern "C"
