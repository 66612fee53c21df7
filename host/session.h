// One use of the module by the host, in the order the module requires:
// load, initializeAdaptor, getAvailHW, ..., release the hardware list (and with
// it every device and format object), uninitializeAdaptor, unload.
#pragma once

#include <memory>
#include <string>

#include "hardware.h"
#include "module.h"

namespace host {

class Session {
 public:
  // Loads the module and initialises it. On failure, error says why.
  bool start(const std::string& modulePath, std::string& error);
  // Runs discovery into a fresh hardware list (releasing the previous one first).
  void discover();
  HardwareList& hardware() { return *hardware_; }
  bool discovered() const { return hardware_ != nullptr; }
  // Destroys the hardware list and the module's objects attached to it.
  void release();
  // release(), uninitializeAdaptor, unload. Safe to call twice.
  void stop();
  ~Session() { stop(); }

  const Module& module() const { return *module_; }

 private:
  std::unique_ptr<Module> module_;
  std::unique_ptr<HardwareList> hardware_;
  bool initialized_ = false;
};

}  // namespace host
