// One use of the module by the host, in the order the module requires:
// load, initializeAdaptor, getAvailHW, ..., release the hardware list (and with
// it every device and format object), uninitializeAdaptor, unload.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "hardware.h"
#include "module.h"
#include "properties.h"

namespace host {

class Session {
 public:
  // Loads the module and initialises it. On failure, error says why.
  bool start(const std::string& modulePath, std::string& error);
  // Runs discovery into a fresh hardware list (releasing the previous one first).
  void discover();
  HardwareList& hardware() { return *hardware_; }
  bool discovered() const { return hardware_ != nullptr; }
  // What getDeviceAttributes declares for a discovered device (asked once).
  DeviceAttributes& attributes(DeviceEntry& device);
  // Destroys the hardware list and the module's objects attached to it.
  void release();
  // release(), uninitializeAdaptor, unload. Safe to call twice.
  void stop();
  // release() and unload without uninitializeAdaptor, as a careless host does.
  void abandon();
  ~Session() { stop(); }

  const Module& module() const { return *module_; }

 private:
  std::unique_ptr<Module> module_;
  std::unique_ptr<HardwareList> hardware_;
  std::map<const DeviceEntry*, std::unique_ptr<DeviceAttributes>> attributes_;
  bool initialized_ = false;
};

}  // namespace host
