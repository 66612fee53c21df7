/* The virtual camera bus's own C functions, beside the Cv functions in its
 * BL1394 library. A program finds them at run time (dlsym, GetProcAddress)
 * and does without them when the library is the camera maker's. Each returns
 * 0 on success. */
#ifndef CORVANE_SIM_CORVANE_BUS_H
#define CORVANE_SIM_CORVANE_BUS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the bus with the description (JSON text, as bus description files
 * hold). On failure the old bus stays, and error holds what is wrong and where
 * (cut to errorSize bytes, terminated). */
typedef int (*CorvaneBusInstall)(const char* json, char* error, size_t errorSize);
/* The installed bus's description as JSON: returns its length; copies it,
 * terminated, when buffer holds that length plus one. */
typedef size_t (*CorvaneBusDescription)(char* buffer, size_t size);
/* Trigger pulses at a steady rate (0 stops them) on a camera by its identifier. */
typedef int (*CorvaneBusSetPulseRate)(uint64_t cameraId, double hertz);
/* What the bus holds now; all 0 once a module has given everything back. */
typedef struct CorvaneBusResources {
  uint32_t openHandles;
  uint32_t reservedChannels;
  uint32_t engines;
  uint32_t runningCameras;
} CorvaneBusResources;
typedef int (*CorvaneBusReadResources)(CorvaneBusResources* resources);

/* Frames the camera finished before the frame-th frame (1 for the first)
 * its newest receive engine handed out, which that engine never handed out
 * (overwritten in its ring, or passed over), in lost. Asked in increasing
 * order of frame: what lies before an asked frame is forgotten. Nonzero for a
 * camera no engine takes frames from, or a frame not yet handed out. */
typedef int (*CorvaneBusLostBefore)(uint64_t cameraId, uint64_t frame, uint64_t* lost);

/* Why the bus description named at load (CORVANE_BUS, or virtual-bus.json
 * beside the library) was not installed, empty when it was: returns its
 * length, copies it as the description does. The library then leaves saying
 * it to the caller. */
typedef size_t (*CorvaneBusStartupError)(char* buffer, size_t size);

#define CORVANE_BUS_STARTUP_ERROR "corvaneBusStartupError"
#define CORVANE_BUS_INSTALL "corvaneBusInstall"
#define CORVANE_BUS_DESCRIPTION "corvaneBusDescription"
#define CORVANE_BUS_SET_PULSE_RATE "corvaneBusSetPulseRate"
#define CORVANE_BUS_READ_RESOURCES "corvaneBusReadResources"
#define CORVANE_BUS_LOST_BEFORE "corvaneBusLostBefore"

#ifdef __cplusplus
}
#endif

#endif
