#include "session.h"

namespace host {

bool Session::start(const std::string& modulePath, std::string& error) {
  stop();
  module_ = Module::load(modulePath, error);
  if (!module_) return false;
  module_->entry().initializeAdaptor();
  initialized_ = true;
  return true;
}

void Session::discover() {
  release();
  hardware_ = std::make_unique<HardwareList>();
  module_->entry().getAvailHW(hardware_.get());
}

void Session::release() {
  hardware_.reset();
}

void Session::stop() {
  release();
  if (initialized_) module_->entry().uninitializeAdaptor();
  initialized_ = false;
  module_.reset();
}

}  // namespace host
