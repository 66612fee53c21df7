#include "hardware.h"

#include <algorithm>
#include <cstdio>

#include "kit.h"

namespace host {

void ruleBroken(const std::string& what) {
  kit::reportViolation(what);
}

// The module's calls run the kit's host-call hook: one with a result first,
// one without as its last act; one that takes an object first, so that a
// host that throws has not taken it.

FormatEntry::~FormatEntry() {
  kit::EntryScope entry(kit::Entry::kDestroyFormat);
  imaqkit::destroy(data_);
}

IMAQInterface* FormatEntry::adaptorData() {
  if (kit::hostCall(kit::HostCall::kAdaptorData) == kit::Answer::kNone) return nullptr;
  return data_;
}

void FormatEntry::setAdaptorData(IMAQInterface* object) {
  kit::hostCall(kit::HostCall::kSetAdaptorData);
  if (data_ != nullptr && data_ != object) {
    ruleBroken("format entry '" + name_ + "' given adaptor data twice");
    imaqkit::destroy(data_);
  }
  data_ = object;
}

DeviceEntry::~DeviceEntry() {
  created_.clear();  // formats go first: a device's formats never outlive it
  kit::EntryScope entry(kit::Entry::kDestroyDevice);
  imaqkit::destroy(data_);
}

IMAQInterface* DeviceEntry::adaptorData() {
  if (kit::hostCall(kit::HostCall::kAdaptorData) == kit::Answer::kNone) return nullptr;
  return data_;
}

IFormatEntry* DeviceEntry::createFormat(std::uint32_t id, const char* name) {
  if (kit::hostCall(kit::HostCall::kCreateFormat) == kit::Answer::kNone) return nullptr;
  created_.push_back(std::make_unique<FormatEntry>(id, name ? name : ""));
  return created_.back().get();
}

void DeviceEntry::addFormat(IFormatEntry* entry, bool isDefault) {
  // The entry just created is the usual one: look there first.
  auto it = !created_.empty() && created_.back().get() == entry
                ? created_.end() - 1
                : std::find_if(created_.begin(), created_.end(),
                               [&](const auto& e) { return e.get() == entry; });
  if (it == created_.end()) {
    ruleBroken("addFormat with an entry device '" + name_ + "' did not create");
    return;
  }
  FormatEntry* format = it->get();
  if (format->added_) {
    ruleBroken("format '" + format->name() + "' added twice");
    return;
  }
  if (!byName_.emplace(format->name(), format).second)
    ruleBroken("two formats of device '" + name_ + "' named '" + format->name() + "'");
  if (isDefault && defaultFormat() != nullptr)
    ruleBroken("device '" + name_ + "' given a second default format");
  format->markDefault(isDefault);
  format->added_ = true;
  added_.push_back(format);
  kit::hostCall(kit::HostCall::kAddFormat);
}

IFormatEntry* DeviceEntry::formatByName(const char* name) {
  if (kit::hostCall(kit::HostCall::kFormatByName) == kit::Answer::kNone) return nullptr;
  if (name == nullptr) return nullptr;
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

void DeviceEntry::setAdaptorData(IMAQInterface* object) {
  kit::hostCall(kit::HostCall::kSetAdaptorData);
  if (data_ != nullptr && data_ != object) {
    ruleBroken("device entry '" + name_ + "' given adaptor data twice");
    imaqkit::destroy(data_);
  }
  data_ = object;
}

FormatEntry* DeviceEntry::formatNamed(const std::string& name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

FormatEntry* DeviceEntry::formatById(std::uint32_t id) const {
  for (FormatEntry* f : added_)
    if (f->id() == id) return f;
  return nullptr;
}

FormatEntry* DeviceEntry::defaultFormat() const {
  for (FormatEntry* f : added_)
    if (f->isDefault()) return f;
  return nullptr;
}

IDeviceEntry* HardwareList::createDevice(std::uint32_t id, const char* name) {
  if (kit::hostCall(kit::HostCall::kCreateDevice) == kit::Answer::kNone) return nullptr;
  created_.push_back(std::make_unique<DeviceEntry>(id, name ? name : ""));
  return created_.back().get();
}

void HardwareList::addDevice(IDeviceEntry* entry) {
  auto it = !created_.empty() && created_.back().get() == entry
                ? created_.end() - 1
                : std::find_if(created_.begin(), created_.end(),
                               [&](const auto& e) { return e.get() == entry; });
  if (it == created_.end()) {
    ruleBroken("addDevice with an entry the hardware list did not create");
    return;
  }
  DeviceEntry* device = it->get();
  if (std::find(added_.begin(), added_.end(), device) != added_.end()) {
    ruleBroken("device '" + device->name() + "' added twice");
    return;
  }
  if (!ids_.insert(device->id()).second)
    ruleBroken("two devices with identifier " + std::to_string(device->id()));
  added_.push_back(device);
  kit::hostCall(kit::HostCall::kAddDevice);
}

DeviceEntry* HardwareList::deviceById(std::uint32_t id) const {
  for (DeviceEntry* d : added_)
    if (d->id() == id) return d;
  return nullptr;
}

DeviceEntry* HardwareList::deviceByName(const std::string& name) const {
  for (DeviceEntry* d : added_)
    if (d->name() == name) return d;
  return nullptr;
}

}  // namespace host
