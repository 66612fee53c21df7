// One video input: the module's adaptor for a device and format, with the
// host engine that receives its frames and the manager it answers to.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "adaptor_manager.h"
#include "engine.h"
#include "hardware.h"
#include "imaqkit.h"
#include "properties.h"

namespace host {

class Session;

// One video input: the adaptor the module made for a device and format.
class VideoInput {
 public:
  // Device and format by identifier or name; the format defaults to the
  // device's default format. On failure error says why.
  static std::unique_ptr<VideoInput> create(Session& session, const std::string& device,
                                            const std::string& format, std::string& error);
  // Destroys the adaptor, which stops and closes through the manager.
  ~VideoInput();
  VideoInput(const VideoInput&) = delete;
  VideoInput& operator=(const VideoInput&) = delete;

  // REQUIRES: hasAdaptor().
  IAdaptor& adaptor() { return *adaptor_.load(); }
  AdaptorManager& manager() { return *manager_.load(); }
  Engine& engine() { return *engine_; }
  DeviceEntry& device() { return *device_; }
  FormatEntry& format() { return *format_; }

  // The device's declarations (properties, source, hardware triggers).
  const DeviceAttributes& attributes() const { return *attributes_; }
  PropertyContainer& properties() { return engine_->properties(); }
  // Hardware trigger by the names getDeviceAttributes declared.
  bool selectTrigger(const std::string& configuration, const std::string& source,
                     std::string& error);
  bool setRoi(int offsetX, int offsetY, int width, int height, std::string& error);
  void roi(int& offsetX, int& offsetY, int& width, int& height);
  bool open(std::string& error);
  void close();
  // Arms the acquisition and starts the capture.
  bool start(std::string& error);
  // Stops the capture (as the user or the host at the end of an acquisition).
  void stop();
  // Waits until the last wanted frame has arrived, then stops. False on time-out.
  bool waitAndStop(double timeoutSeconds);
  // Destroys the adaptor now (its destructor stops and closes through the
  // manager); nothing but the engine may be used afterwards. A host may do this
  // from a callback on the acquisition thread.
  void destroyAdaptor();
  // False once the adaptor was destroyed (by the host, perhaps from inside one
  // of the adaptor's own calls); the operations above then fail or do nothing.
  bool hasAdaptor() const { return adaptor_ != nullptr; }

  AcquisitionSettings settings;

 private:
  VideoInput() = default;
  // The message of an error the adaptor reported since mark, if any.
  static bool adaptorFailed(std::size_t mark, const IAdaptor* adaptor, std::string& error);

  std::unique_ptr<Engine> engine_;
  // A host action on the acquisition thread may destroy the adaptor while a
  // host thread is inside one of its calls: both read these afresh.
  std::atomic<IAdaptor*> adaptor_{nullptr};
  std::atomic<AdaptorManager*> manager_{nullptr};
  DeviceEntry* device_ = nullptr;
  FormatEntry* format_ = nullptr;
  DeviceAttributes* attributes_ = nullptr;
};

}  // namespace host
