// The host's properties: the factory, source list and trigger list that
// getDeviceAttributes fills, and the property container of an engine, where
// the user reads and writes property values through the module's listeners.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "imaqkit.h"

// The kit's property handle, defined by the host.
class IProperty {
 public:
  virtual ~IProperty() = default;
};

namespace host {

enum class PropertyType { kDouble, kInteger, kEnum };

struct PropertyValue {
  PropertyType type = PropertyType::kInteger;
  std::int32_t integer = 0;  // integer value, or enumeration value id
  double real = 0.0;
};

class Property final : public IProperty, public IPropertyRecord {
 public:
  Property(std::string name, PropertyType type) : name_(std::move(name)), type_(type) {}
  ~Property() override;
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;

  // IPropertyRecord
  const void* storedValue() override;
  std::uint32_t identifier() override;
  bool isDeviceProperty() override;

  const std::string& name() const { return name_; }
  PropertyType type() const { return type_; }
  double minimum() const { return minimum_; }
  double maximum() const { return maximum_; }
  const std::vector<std::pair<std::string, std::int32_t>>& values() const { return values_; }
  PropertyValue defaultValue() const { return default_; }
  const std::string& readOnly() const { return readOnly_; }
  std::uint32_t id() const { return id_; }
  bool device() const { return device_; }
  // What the module installed on it.
  bool hasGetter() const { return getter_ != nullptr; }
  std::size_t listenerCount() const { return listeners_.size(); }
  // What the property accepts, for error messages: "an integer from 0 to 255".
  std::string accepts() const;
  // The value as text: an enumeration's value name, or the number.
  std::string text(const PropertyValue& value) const;
  // Parses and checks a user's value; false with the reason in error.
  bool parse(const std::string& text, PropertyValue& value, std::string& error) const;

  // A fresh copy of the definition with the default value stored.
  std::unique_ptr<Property> clone(bool deviceProperty) const;
  // A property of the host's own (no device property), made without the
  // factory the module uses.
  static std::unique_ptr<Property> hostDouble(const std::string& name, double minimum,
                                              double maximum, double defaultValue);

 private:
  friend class PropertyFactory;
  friend class PropertyContainer;
  void store(const PropertyValue& value);
  PropertyValue stored() const;

  std::string name_;
  PropertyType type_;
  double minimum_ = 0.0;
  double maximum_ = 0.0;
  std::vector<std::pair<std::string, std::int32_t>> values_;
  PropertyValue default_;
  std::string readOnly_ = "never";
  std::uint32_t id_ = 0;
  bool device_ = false;
  std::array<std::uint8_t, 8> stored_{};
  IPropCustomGetFcn* getter_ = nullptr;
  std::vector<IPropPostSetListener*> listeners_;
};

class PropertyFactory final : public IPropertyFactory {
 public:
  PropertyFactory();
  ~PropertyFactory();
  PropertyFactory(const PropertyFactory&) = delete;
  PropertyFactory& operator=(const PropertyFactory&) = delete;

  IProperty* createDoubleProperty(const char* name, double minimum, double maximum,
                                  double defaultValue) override;
  IProperty* createIntProperty(const char* name, std::int32_t minimum, std::int32_t maximum,
                               std::int32_t defaultValue) override;
  IProperty* createEnumProperty(const char* name, const char* valueName,
                                std::int32_t valueId) override;
  void addEnumValue(IProperty* property, const char* valueName, std::int32_t valueId) override;
  void addProperty(IProperty* property) override;
  void setReadOnly(IProperty* property, const char* condition) override;
  void setIdentifier(IProperty* property, std::uint32_t id) override;

  // The properties added, in order; the factory gives them up.
  std::vector<std::unique_ptr<Property>> take();

 private:
  Property* created(IProperty* property, const char* operation);
  std::vector<std::unique_ptr<Property>> created_;
  std::vector<std::unique_ptr<Property>> added_;
  std::uint64_t actionsAtStart_;
};

struct Source {
  std::string name;
  std::int32_t id;
};

class SourceList final : public ISourceList {
 public:
  void addSource(const char* name, std::int32_t id) override;
  std::vector<Source> sources;
};

struct TriggerConfiguration {
  std::string configuration;
  std::uint32_t configurationId;
  std::string source;
  std::uint32_t sourceId;
};

class TriggerList final : public ITriggerList {
 public:
  void addHardwareTrigger(const char* configurationName, std::uint32_t configurationId,
                          const char* sourceName, std::uint32_t sourceId) override;
  std::vector<TriggerConfiguration> triggers;
};

// What getDeviceAttributes declared for one device.
struct DeviceAttributes {
  std::vector<std::unique_ptr<Property>> properties;
  std::vector<Source> sources;
  std::vector<TriggerConfiguration> triggers;
};

class PropertyContainer final : public IPropertyContainer {
 public:
  PropertyContainer() = default;
  ~PropertyContainer() = default;
  PropertyContainer(const PropertyContainer&) = delete;
  PropertyContainer& operator=(const PropertyContainer&) = delete;

  IPropertyRecord* propertyRecord(const char* name) override;
  std::int32_t propertyCount() override;
  void propertyNames(const char** names) override;
  void setCustomGetter(const char* name, IPropCustomGetFcn* getter) override;
  void addPostSetListener(const char* name, IPropPostSetListener* listener) override;

  // Makes the nth setCustomGetter or addPostSetListener call from now throw
  // std::bad_alloc before it takes the object, as a host out of memory would
  // (1 = the next call); 0 cancels.
  void failInstallation(int nth) { installFault_ = nth; }

  void add(std::unique_ptr<Property> property);
  Property* find(const std::string& name) const;
  const std::vector<std::unique_ptr<Property>>& properties() const { return properties_; }
  // The current value, asked of the property's getter when it has one.
  bool read(const std::string& name, PropertyValue& value, std::string& error);
  // Checks and stores a user's value, then tells the property's listeners.
  // Fails, changing nothing, on a value the property does not accept.
  bool write(const std::string& name, const std::string& text, std::string& error);

 private:
  std::vector<std::unique_ptr<Property>> properties_;
  std::mutex mutex_;  // guards stored values; listeners are called without it
  int installFault_ = 0;
  void maybeFailInstallation();
};

}  // namespace host
