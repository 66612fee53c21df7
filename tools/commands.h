// corvane-host's commands. Each runs with its arguments already parsed and
// checked, and returns the tool's exit status: 0 done, 1 done in part (an
// acquisition that ran out of frames), 2 refused with a one-line error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct Common {
  std::string module;  // the module file to load
};

struct ListOptions {
  bool json = false;
};

struct InfoOptions {
  std::string device;
  std::vector<std::string> settings;  // NAME=VALUE, applied in order
  bool json = false;
};

// A device in a format, as acquire and view capture it.
struct CaptureOptions {
  std::string device;
  std::string format;   // empty: the device's default format
  std::string roi;      // X,Y,W,H; empty: the whole image
  std::string trigger;  // CONFIG/SOURCE; empty: immediate
  double pulseRate = 10.0;
};

struct AcquireOptions {
  CaptureOptions capture;
  std::uint32_t frames = 10;
  std::vector<std::string> settings;
  std::string out = "frames";
  bool overwrite = false;  // a folder that holds an earlier acquisition's files
  // "png", "tiff" (ImageJ) or "ome-tiff" (at the data's depth), "raw" (the camera's bytes)
  std::string save = "png";
  std::uint32_t bufferMib = 256;  // frames waiting for the writers hold at most this much
  bool json = false;
};

struct ViewOptions {
  CaptureOptions capture;
  std::uint16_t port = 0;      // 0: any free port
  std::size_t maxViewers = 8;  // streams watched at once; more are refused
};

struct DescribeOptions {
  std::string out;  // a file, or empty (or "-") for standard output
};

int describeBus(bool json);
// Writes a bus description of every camera the library shows, read through its
// C API alone.
int describe(const Common& common, const DescribeOptions& options);
int listDevices(const Common& common, const ListOptions& options);
int deviceInfo(const Common& common, const InfoOptions& options);
int acquire(const Common& common, const AcquireOptions& options);
// Serves the device live on 127.0.0.1 until interrupted.
int view(const Common& common, const ViewOptions& options);

// Prints "corvane-host: message" on standard error and returns 2.
int fail(const std::string& message);
// The module's warnings since report from, one line each on standard error.
void showWarnings(std::size_t from);

}  // namespace tool
