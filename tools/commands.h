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

struct AcquireOptions {
  std::string device;
  std::string format;  // empty: the device's default format
  std::uint32_t frames = 10;
  bool hasRoi = false;
  int roi[4] = {0, 0, 0, 0};
  std::string trigger;  // CONFIG/SOURCE; empty: immediate
  double pulseRate = 10.0;
  std::vector<std::string> settings;
  std::string out = "frames";
  bool json = false;
};

struct ViewOptions {
  std::string device;
  std::string format;
  std::uint16_t port = 0;  // 0: any free port
  bool hasRoi = false;
  int roi[4] = {0, 0, 0, 0};
  std::string trigger;
  double pulseRate = 10.0;
};

int describeBus(bool json);
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
