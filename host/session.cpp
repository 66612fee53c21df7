#include "session.h"

#include "kit.h"

namespace host {

bool Session::start(const std::string& modulePath, std::string& error) {
  stop();
  module_ = Module::load(modulePath, error);
  if (!module_) return false;
  {
    kit::EntryScope entry(kit::Entry::kInitialize);
    module_->entry().initializeAdaptor();
  }
  initialized_ = true;
  return true;
}

void Session::discover() {
  release();
  hardware_ = std::make_unique<HardwareList>();
  kit::EntryScope entry(kit::Entry::kGetAvailHW);
  module_->entry().getAvailHW(hardware_.get());
}

DeviceAttributes& Session::attributes(DeviceEntry& device) {
  std::unique_ptr<DeviceAttributes>& cached = attributes_[&device];
  if (!cached) {
    cached = std::make_unique<DeviceAttributes>();
    PropertyFactory factory;
    SourceList sources;
    TriggerList triggers;
    FormatEntry* format = device.defaultFormat();
    kit::EntryScope entry(kit::Entry::kGetDeviceAttributes);
    module_->entry().getDeviceAttributes(&device, format ? format->name().c_str() : "", &factory,
                                         &sources, &triggers);
    cached->properties = factory.take();
    cached->sources = std::move(sources.sources);
    cached->triggers = std::move(triggers.triggers);
  }
  return *cached;
}

void Session::release() {
  attributes_.clear();
  hardware_.reset();
}

void Session::abandon() {
  release();
  initialized_ = false;
  module_.reset();
}

void Session::stop() {
  release();
  if (initialized_) {
    kit::EntryScope entry(kit::Entry::kUninitialize);
    module_->entry().uninitializeAdaptor();
  }
  initialized_ = false;
  module_.reset();
}

}  // namespace host
