// The host's hardware list: what discovery reports, and the owner of the
// device and format objects the module attaches to its entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "imaqkit.h"

namespace host {

class FormatEntry final : public IFormatEntry {
 public:
  FormatEntry(std::uint32_t id, std::string name) : id_(id), name_(std::move(name)) {}
  ~FormatEntry();
  FormatEntry(const FormatEntry&) = delete;
  FormatEntry& operator=(const FormatEntry&) = delete;

  void setAdaptorData(IMAQInterface* object) override;
  IMAQInterface* adaptorData() override;

  std::uint32_t id() const { return id_; }
  const std::string& name() const { return name_; }
  bool isDefault() const { return default_; }
  void markDefault(bool value) { default_ = value; }

 private:
  std::uint32_t id_;
  std::string name_;
  bool default_ = false;
  bool added_ = false;
  IMAQInterface* data_ = nullptr;
  friend class DeviceEntry;
};

class DeviceEntry final : public IDeviceEntry {
 public:
  DeviceEntry(std::uint32_t id, std::string name) : id_(id), name_(std::move(name)) {}
  ~DeviceEntry();
  DeviceEntry(const DeviceEntry&) = delete;
  DeviceEntry& operator=(const DeviceEntry&) = delete;

  IFormatEntry* createFormat(std::uint32_t id, const char* name) override;
  void addFormat(IFormatEntry* entry, bool isDefault) override;
  IFormatEntry* formatByName(const char* name) override;
  void setAdaptorData(IMAQInterface* object) override;
  IMAQInterface* adaptorData() override;

  std::uint32_t id() const { return id_; }
  const std::string& name() const { return name_; }
  // The formats added, in order.
  const std::vector<FormatEntry*>& formats() const { return added_; }
  FormatEntry* formatById(std::uint32_t id) const;
  // The host's own look-up (formatByName is the module's, and runs the hook).
  FormatEntry* formatNamed(const std::string& name) const;
  // The default format, or null when there is none.
  FormatEntry* defaultFormat() const;

 private:
  std::uint32_t id_;
  std::string name_;
  std::vector<std::unique_ptr<FormatEntry>> created_;
  std::vector<FormatEntry*> added_;
  std::unordered_map<std::string, FormatEntry*> byName_;
  IMAQInterface* data_ = nullptr;
};

class HardwareList final : public IHardwareList {
 public:
  HardwareList() = default;
  // Destroys the entries and so the objects attached to them.
  ~HardwareList() = default;
  HardwareList(const HardwareList&) = delete;
  HardwareList& operator=(const HardwareList&) = delete;

  IDeviceEntry* createDevice(std::uint32_t id, const char* name) override;
  void addDevice(IDeviceEntry* entry) override;

  const std::vector<DeviceEntry*>& devices() const { return added_; }
  DeviceEntry* deviceById(std::uint32_t id) const;
  DeviceEntry* deviceByName(const std::string& name) const;

 private:
  std::vector<std::unique_ptr<DeviceEntry>> created_;
  std::vector<DeviceEntry*> added_;
  std::unordered_set<std::uint32_t> ids_;
};

// Records a breach of the host's rules by the module (the kit's violation list).
void ruleBroken(const std::string& what);

}  // namespace host
