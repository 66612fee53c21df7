/* The camera bus library: BL1394 (the Cv functions) and blShared
 * (blCalcIsoBandwidthPercentage), plain C linkage, with the records that cross
 * the library boundary. Every record is little-endian with natural alignment;
 * its size and field offsets are checked at compile time below. */
#ifndef CORVANE_PLATFORM_BL1394_H
#define CORVANE_PLATFORM_BL1394_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(BL1394_BUILD)
#define BL1394_API __declspec(dllexport)
#else
#define BL1394_API __declspec(dllimport)
#endif
#if defined(BLSHARED_BUILD)
#define BLSHARED_API __declspec(dllexport)
#else
#define BLSHARED_API __declspec(dllimport)
#endif
#else
#define BL1394_API __attribute__((visibility("default")))
#define BLSHARED_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 0 is success; CvStatusStringA gives the text of any other value. */
typedef uint32_t CvStatus;
/* Opaque, pointer-sized handles; 0 is no handle. */
typedef struct CvCameraObject* CvCameraHandle;
typedef struct CvEngineObject* CvEngineHandle;

#define CV_SUCCESS 0u
/* CvLocateCamerasEx: there is no adapter with the given number. */
#define CV_NO_SUCH_ADAPTER 0xe0040a01u
/* Capacity of the camera list of one CvLocateCamerasEx call. */
#define CV_MAX_CAMERAS_PER_ADAPTER 62u

/* Library register ids of CvQueryCameraRegister / CvSetCameraRegister. */
enum {
  kCvRegFormat7Info = 17,  /* Format7InfoRecord of one Format 7 mode, 48 bytes */
  kCvRegCommandBase = 19,  /* IIDC command register base, 4 bytes */
  kCvRegVendorName = 20,   /* zero-terminated text, 64 bytes */
  kCvRegModelName = 21,    /* zero-terminated text, 64 bytes */
  kCvRegVideoModeInq = 24, /* VideoModeInquiry, 73 bytes */
  kCvRegSpeed = 25,        /* IEEE 1394 speed code, 1 byte */
  kCvRegCameraNumber = 26  /* a 32-bit number of the camera, 4 bytes */
};
/* Feature register ids: the inquiry id 0x0005xxxx names the feature; the
 * absolute record lies at +0x20010, the control record at +0x30000. */
enum {
  kCvFeatureInquiryBase = 0x00050000,
  kCvFeatureAbsoluteOffset = 0x00020010,
  kCvFeatureControlOffset = 0x00030000
};

/* Special features and engine options. */
enum { kCvDualPacketMode = 0x10000 };

/* Speed codes. */
enum { kCvS100 = 0, kCvS200 = 1, kCvS400 = 2, kCvS800 = 3, kCvS1600 = 4, kCvS3200 = 5 };

/* Record tags. */
#define CV_FORMAT7_INFO_TAG 0xc6523995u
#define CV_FORMAT7_IMAGE_TAG 0xc9931563u
#define CV_CAMERA_STARTUP_TAG 0xc6620044u

typedef struct Format7ImageRecord {
  uint32_t tag;
  uint8_t reserved0[12];
  uint16_t width;
  uint16_t height;
  uint16_t left;
  uint16_t top;
  uint32_t colorCoding;
  uint16_t packetSize;
  uint16_t reserved1;
  uint8_t filterPattern;
  uint8_t reserved2[7];
} Format7ImageRecord;

typedef struct Format7InfoRecord {
  uint32_t tag;
  uint32_t mode;
  uint8_t speed;
  uint8_t reserved0;
  uint16_t maxWidth;
  uint16_t maxHeight;
  uint16_t widthUnit;
  uint16_t heightUnit;
  uint16_t offsetXUnit;
  uint16_t offsetYUnit;
  uint16_t reserved1;
  uint32_t colorCodings; /* bit 31 = coding 0, ..., bit 21 = coding 10 */
  uint32_t reserved2;
  uint16_t packetSize;
  uint8_t reserved3[6];
  Format7ImageRecord* image;
} Format7InfoRecord;

typedef struct CameraStartupRecord {
  uint32_t tag;
  uint32_t formatNumber;
  uint32_t mode;
  int32_t frameRate; /* -1 for Format 7 */
  uint8_t channel;   /* 255: none */
  uint8_t flag;
  uint8_t speed;
  uint8_t reserved[5];
  Format7ImageRecord* image; /* Format 7 only */
} CameraStartupRecord;

typedef struct FeatureControlRecord {
  uint32_t word0;
  uint32_t word1;
  uint32_t onOff;
  uint32_t autoMode;
  uint32_t value; /* low 16 bits: the value */
  uint32_t absoluteControl;
  uint32_t word6;
} FeatureControlRecord;

typedef struct AbsoluteControlRecord {
  float minimum;
  float maximum;
  float value;
} AbsoluteControlRecord;

typedef struct FeatureInquiryRecord {
  uint32_t word0;
  uint32_t present;
  uint32_t word2;
  uint32_t word3;
  uint32_t onOffCapable;
  uint32_t autoCapable;
  uint32_t manualCapable;
  uint16_t minValue;
  uint16_t maxValue;
  uint32_t absoluteCapable;
} FeatureInquiryRecord;

/* Register id 24. Every mask is read most significant bit first. */
typedef struct VideoModeInquiry {
  uint8_t formats; /* 0x80 = Format 0 ... 0x01 = Format 7 */
  struct {
    uint8_t modes;    /* 0x80 = mode 0 */
    uint8_t rates[8]; /* per mode; 0x80 = frame-rate index 0 */
  } format[8];
} VideoModeInquiry;

/* Filled by CvInitFormatInfo: the mode table of one fixed format. */
typedef struct FixedFormatTable {
  uint32_t header[4];
  struct {
    uint32_t colorCoding;
    uint32_t width;
    uint32_t height;
    uint32_t more[42];
  } modes[8];
} FixedFormatTable;

BL1394_API CvStatus CvInitialize(void);
BL1394_API CvStatus CvTerminate(void);
/* count: in, the capacity of ids (62); out, the number filled in (also on
 * failure). Returns CV_NO_SUCH_ADAPTER past the last adapter. */
BL1394_API CvStatus CvLocateCamerasEx(uint32_t adapter, uint64_t* ids, uint32_t flags,
                                      uint32_t* count);
BL1394_API CvStatus CvOpenCameraHandleEx(uint32_t adapter, CvCameraHandle* handle,
                                         const uint64_t* cameraId);
BL1394_API CvStatus CvCloseCameraHandle(CvCameraHandle handle);
BL1394_API CvStatus CvQueryCameraRegister(CvCameraHandle handle, uint32_t registerId, void* buffer,
                                          uint32_t size);
BL1394_API CvStatus CvSetCameraRegister(CvCameraHandle handle, uint32_t registerId,
                                        const void* buffer, uint32_t size);
BL1394_API CvStatus CvReadQuad(CvCameraHandle handle, uint32_t address, uint32_t* value);
BL1394_API CvStatus CvWriteQuad(CvCameraHandle handle, uint32_t address, uint32_t value);
BL1394_API CvStatus CvInitFormatInfo(FixedFormatTable* table, uint32_t format, uint32_t mode,
                                     uint32_t frameRate);
BL1394_API const char* CvPixelFormatStringA(uint32_t colorCoding);
BL1394_API const char* CvFpsStringA(uint32_t frameRate);
BL1394_API const char* CvStatusStringA(CvStatus status);
BL1394_API CvStatus CvGetAvailableIsoChannel(CvCameraHandle handle, uint8_t* channel);
BL1394_API CvStatus CvSetCameraStartupInfo(CvCameraHandle handle,
                                           const CameraStartupRecord* startup);
BL1394_API CvStatus CvGetSpecialFeaturePresence(CvCameraHandle handle, uint32_t feature,
                                                uint32_t* presence);
BL1394_API CvStatus CvGetSpecialFeatureCaps(CvCameraHandle handle, uint32_t feature,
                                            uint32_t* caps);
BL1394_API CvStatus CvCreateIsochReceiveEngine(CvEngineHandle* engine);
BL1394_API CvStatus CvSetIsochEngineOption(CvEngineHandle engine, uint32_t option,
                                           const uint32_t* value);
BL1394_API CvStatus CvStartIsochReceiveEngine(CvEngineHandle engine,
                                              const CameraStartupRecord* startup, uint32_t adapter);
BL1394_API CvStatus CvStopIsochReceiveEngine(CvEngineHandle engine);
BL1394_API CvStatus CvDeleteIsochReceiveEngine(CvEngineHandle engine);
BL1394_API CvStatus CvIsCameraRunning(CvCameraHandle handle, uint8_t* running);
BL1394_API CvStatus CvStartCamera(CvCameraHandle handle, const CameraStartupRecord* startup);
BL1394_API CvStatus CvStopCamera(CvCameraHandle handle);
/* Waits up to timeoutMs for the next complete frame. *image stays valid until
 * the next call for the same engine. */
BL1394_API CvStatus CvGetNextCompleteFrame(void** image, CvEngineHandle engine, uint32_t timeoutMs);

/* A packet's share of one bus cycle's isochronous bandwidth, in percent. */
BLSHARED_API float blCalcIsoBandwidthPercentage(uint8_t speed, uint16_t packetSize);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(void*) == 8, "the camera records are laid out for 64-bit builds");
static_assert(sizeof(Format7ImageRecord) == 40);
static_assert(offsetof(Format7ImageRecord, width) == 16);
static_assert(offsetof(Format7ImageRecord, height) == 18);
static_assert(offsetof(Format7ImageRecord, left) == 20);
static_assert(offsetof(Format7ImageRecord, top) == 22);
static_assert(offsetof(Format7ImageRecord, colorCoding) == 24);
static_assert(offsetof(Format7ImageRecord, packetSize) == 28);
static_assert(offsetof(Format7ImageRecord, filterPattern) == 32);
static_assert(sizeof(Format7InfoRecord) == 48);
static_assert(offsetof(Format7InfoRecord, mode) == 4);
static_assert(offsetof(Format7InfoRecord, speed) == 8);
static_assert(offsetof(Format7InfoRecord, maxWidth) == 10);
static_assert(offsetof(Format7InfoRecord, maxHeight) == 12);
static_assert(offsetof(Format7InfoRecord, widthUnit) == 14);
static_assert(offsetof(Format7InfoRecord, heightUnit) == 16);
static_assert(offsetof(Format7InfoRecord, offsetXUnit) == 18);
static_assert(offsetof(Format7InfoRecord, offsetYUnit) == 20);
static_assert(offsetof(Format7InfoRecord, colorCodings) == 24);
static_assert(offsetof(Format7InfoRecord, packetSize) == 32);
static_assert(offsetof(Format7InfoRecord, image) == 40);
static_assert(sizeof(CameraStartupRecord) == 32);
static_assert(alignof(CameraStartupRecord) == 8);
static_assert(offsetof(CameraStartupRecord, formatNumber) == 4);
static_assert(offsetof(CameraStartupRecord, mode) == 8);
static_assert(offsetof(CameraStartupRecord, frameRate) == 12);
static_assert(offsetof(CameraStartupRecord, channel) == 16);
static_assert(offsetof(CameraStartupRecord, flag) == 17);
static_assert(offsetof(CameraStartupRecord, speed) == 18);
static_assert(offsetof(CameraStartupRecord, image) == 24);
static_assert(sizeof(FeatureControlRecord) == 28);
static_assert(offsetof(FeatureControlRecord, onOff) == 8);
static_assert(offsetof(FeatureControlRecord, autoMode) == 12);
static_assert(offsetof(FeatureControlRecord, value) == 16);
static_assert(offsetof(FeatureControlRecord, absoluteControl) == 20);
static_assert(offsetof(FeatureControlRecord, word6) == 24);
static_assert(sizeof(AbsoluteControlRecord) == 12);
static_assert(offsetof(AbsoluteControlRecord, maximum) == 4);
static_assert(offsetof(AbsoluteControlRecord, value) == 8);
static_assert(sizeof(FeatureInquiryRecord) == 36);
static_assert(offsetof(FeatureInquiryRecord, present) == 4);
static_assert(offsetof(FeatureInquiryRecord, onOffCapable) == 16);
static_assert(offsetof(FeatureInquiryRecord, autoCapable) == 20);
static_assert(offsetof(FeatureInquiryRecord, manualCapable) == 24);
static_assert(offsetof(FeatureInquiryRecord, minValue) == 28);
static_assert(offsetof(FeatureInquiryRecord, maxValue) == 30);
static_assert(offsetof(FeatureInquiryRecord, absoluteCapable) == 32);
static_assert(sizeof(VideoModeInquiry) == 73);
static_assert(offsetof(VideoModeInquiry, format[1].modes) == 10);
static_assert(offsetof(VideoModeInquiry, format[2].rates[7]) == 27);
static_assert(sizeof(FixedFormatTable) == 1456);
static_assert(offsetof(FixedFormatTable, modes[1].colorCoding) == 16 + 180);
static_assert(offsetof(FixedFormatTable, modes[7].height) == 24 + 180 * 7);
#endif

#endif /* CORVANE_PLATFORM_BL1394_H */
