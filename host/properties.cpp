#include "properties.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <sstream>

#include "hardware.h"
#include "kit.h"

namespace host {
namespace {

std::string number(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

bool parseInteger(const std::string& text, long long& value) {
  if (text.empty()) return false;
  std::size_t used = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (...) {
    return false;
  }
  return used == text.size();
}

}  // namespace

// ---- Properties -------------------------------------------------------------------------

const void* Property::storedValue() {
  if (kit::hostCall(kit::HostCall::kStoredValue) == kit::Answer::kNone) return nullptr;
  return stored_.data();
}

std::uint32_t Property::identifier() {
  if (kit::hostCall(kit::HostCall::kIdentifier) == kit::Answer::kNone) return 0;
  return id_;
}

bool Property::isDeviceProperty() {
  if (kit::hostCall(kit::HostCall::kIsDeviceProperty) == kit::Answer::kNone) return false;
  return device_;
}

Property::~Property() {
  imaqkit::destroy(getter_);
  for (IPropPostSetListener* l : listeners_) imaqkit::destroy(l);
}

std::string Property::accepts() const {
  switch (type_) {
    case PropertyType::kInteger:
      return "an integer from " + number(minimum_) + " to " + number(maximum_);
    case PropertyType::kDouble:
      return "a number from " + number(minimum_) + " to " + number(maximum_);
    case PropertyType::kEnum: {
      std::string list;
      for (const auto& [valueName, id] : values_) list += (list.empty() ? "" : ", ") + valueName;
      return "one of " + list;
    }
  }
  return {};
}

std::string Property::text(const PropertyValue& value) const {
  if (type_ == PropertyType::kDouble) return number(value.real);
  if (type_ == PropertyType::kEnum)
    for (const auto& [valueName, id] : values_)
      if (id == value.integer) return valueName;
  return std::to_string(value.integer);
}

bool Property::parse(const std::string& text, PropertyValue& value, std::string& error) const {
  value.type = type_;
  bool ok = false;
  if (type_ == PropertyType::kEnum) {
    long long id = 0;
    for (const auto& [valueName, valueId] : values_) {
      if (valueName == text || (parseInteger(text, id) && id == valueId)) {
        value.integer = valueId;
        ok = true;
        break;
      }
    }
  } else if (type_ == PropertyType::kInteger) {
    long long n = 0;
    ok = parseInteger(text, n) && n >= minimum_ && n <= maximum_;
    value.integer = static_cast<std::int32_t>(n);
  } else {
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    ok = !text.empty() && end != nullptr && *end == '\0' && std::isfinite(d) && d >= minimum_ &&
         d <= maximum_;
    value.real = d;
  }
  if (!ok) error = "property " + name_ + " takes " + accepts() + ", not '" + text + "'";
  return ok;
}

void Property::store(const PropertyValue& value) {
  stored_.fill(0);
  if (type_ == PropertyType::kDouble)
    std::memcpy(stored_.data(), &value.real, sizeof value.real);
  else
    std::memcpy(stored_.data(), &value.integer, sizeof value.integer);
}

PropertyValue Property::stored() const {
  PropertyValue value;
  value.type = type_;
  if (type_ == PropertyType::kDouble)
    std::memcpy(&value.real, stored_.data(), sizeof value.real);
  else
    std::memcpy(&value.integer, stored_.data(), sizeof value.integer);
  return value;
}

std::unique_ptr<Property> Property::clone(bool deviceProperty) const {
  auto copy = std::make_unique<Property>(name_, type_);
  copy->minimum_ = minimum_;
  copy->maximum_ = maximum_;
  copy->values_ = values_;
  copy->default_ = default_;
  copy->readOnly_ = readOnly_;
  copy->id_ = id_;
  copy->device_ = deviceProperty;
  copy->store(default_);
  return copy;
}

std::unique_ptr<Property> Property::hostDouble(const std::string& name, double minimum,
                                               double maximum, double defaultValue) {
  auto p = std::make_unique<Property>(name, PropertyType::kDouble);
  p->minimum_ = minimum;
  p->maximum_ = maximum;
  p->default_ = {PropertyType::kDouble, 0, defaultValue};
  p->store(p->default_);
  return p;
}

// ---- The factory ----------------------------------------------------------------------------

PropertyFactory::PropertyFactory() : actionsAtStart_(kit::actionsTaken()) {}

PropertyFactory::~PropertyFactory() {
  // Unless the host's own action (a throw inside the factory, say) stopped
  // the module on its way.
  if (!created_.empty() && kit::actionsTaken() == actionsAtStart_)
    ruleBroken("properties created but never added");
}

Property* PropertyFactory::created(IProperty* property, const char* operation) {
  for (const auto& p : created_)
    if (p.get() == property) return p.get();
  ruleBroken(std::string(operation) +
             " on a property the factory did not create, or already added");
  return nullptr;
}

IProperty* PropertyFactory::createDoubleProperty(const char* name, double minimum, double maximum,
                                                 double defaultValue) {
  if (kit::hostCall(kit::HostCall::kCreateProperty) == kit::Answer::kNone) return nullptr;
  auto p = std::make_unique<Property>(name ? name : "", PropertyType::kDouble);
  p->minimum_ = minimum;
  p->maximum_ = maximum;
  p->default_ = {PropertyType::kDouble, 0, defaultValue};
  p->store(p->default_);
  created_.push_back(std::move(p));
  return created_.back().get();
}

IProperty* PropertyFactory::createIntProperty(const char* name, std::int32_t minimum,
                                              std::int32_t maximum, std::int32_t defaultValue) {
  if (kit::hostCall(kit::HostCall::kCreateProperty) == kit::Answer::kNone) return nullptr;
  auto p = std::make_unique<Property>(name ? name : "", PropertyType::kInteger);
  p->minimum_ = minimum;
  p->maximum_ = maximum;
  p->default_ = {PropertyType::kInteger, defaultValue, 0.0};
  p->store(p->default_);
  created_.push_back(std::move(p));
  return created_.back().get();
}

IProperty* PropertyFactory::createEnumProperty(const char* name, const char* valueName,
                                               std::int32_t valueId) {
  if (kit::hostCall(kit::HostCall::kCreateProperty) == kit::Answer::kNone) return nullptr;
  auto p = std::make_unique<Property>(name ? name : "", PropertyType::kEnum);
  p->values_.emplace_back(valueName ? valueName : "", valueId);
  p->default_ = {PropertyType::kEnum, valueId, 0.0};
  p->store(p->default_);
  created_.push_back(std::move(p));
  return created_.back().get();
}

void PropertyFactory::addEnumValue(IProperty* property, const char* valueName,
                                   std::int32_t valueId) {
  Property* p = created(property, "addEnumValue");
  if (p == nullptr) return;
  if (p->type_ != PropertyType::kEnum)
    ruleBroken("addEnumValue on a property that is no enumeration");
  p->values_.emplace_back(valueName ? valueName : "", valueId);
  kit::hostCall(kit::HostCall::kAddEnumValue);
}

void PropertyFactory::setReadOnly(IProperty* property, const char* condition) {
  if (Property* p = created(property, "setReadOnly")) p->readOnly_ = condition ? condition : "";
  kit::hostCall(kit::HostCall::kSetReadOnly);
}

void PropertyFactory::setIdentifier(IProperty* property, std::uint32_t id) {
  if (Property* p = created(property, "setIdentifier")) p->id_ = id;
  kit::hostCall(kit::HostCall::kSetIdentifier);
}

void PropertyFactory::addProperty(IProperty* property) {
  auto it = std::find_if(created_.begin(), created_.end(),
                         [&](const auto& p) { return p.get() == property; });
  if (it == created_.end()) {
    ruleBroken("addProperty of a property the factory did not create, or added twice");
    return;
  }
  for (const auto& p : added_)
    if (p->name() == (*it)->name()) ruleBroken("two properties named " + p->name());
  added_.push_back(std::move(*it));
  created_.erase(it);
  kit::hostCall(kit::HostCall::kAddProperty);
}

std::vector<std::unique_ptr<Property>> PropertyFactory::take() {
  return std::move(added_);
}

void SourceList::addSource(const char* name, std::int32_t id) {
  sources.push_back({name ? name : "", id});
  kit::hostCall(kit::HostCall::kAddSource);
}

void TriggerList::addHardwareTrigger(const char* configurationName, std::uint32_t configurationId,
                                     const char* sourceName, std::uint32_t sourceId) {
  triggers.push_back({configurationName ? configurationName : "", configurationId,
                      sourceName ? sourceName : "", sourceId});
  kit::hostCall(kit::HostCall::kAddHardwareTrigger);
}

// ---- The container ----------------------------------------------------------------------------

void PropertyContainer::add(std::unique_ptr<Property> property) {
  properties_.push_back(std::move(property));
}

Property* PropertyContainer::find(const std::string& name) const {
  for (const auto& p : properties_)
    if (p->name() == name) return p.get();
  return nullptr;
}

// The module's calls run the kit's host-call hook first: a failure in
// installation leaves the module's objects with the module.
IPropertyRecord* PropertyContainer::propertyRecord(const char* name) {
  if (kit::hostCall(kit::HostCall::kPropertyRecord) == kit::Answer::kNone) return nullptr;
  return name != nullptr ? find(name) : nullptr;
}

std::int32_t PropertyContainer::propertyCount() {
  if (kit::hostCall(kit::HostCall::kPropertyCount) == kit::Answer::kNone) return 0;
  return static_cast<std::int32_t>(properties_.size());
}

void PropertyContainer::propertyNames(const char** names) {
  for (std::size_t i = 0; i < properties_.size(); ++i) names[i] = properties_[i]->name().c_str();
  kit::hostCall(kit::HostCall::kPropertyNames);
}

void PropertyContainer::maybeFailInstallation() {
  if (installFault_ != 0 && --installFault_ == 0) throw std::bad_alloc();
}

void PropertyContainer::setCustomGetter(const char* name, IPropCustomGetFcn* getter) {
  kit::hostCall(kit::HostCall::kSetCustomGetter);
  maybeFailInstallation();
  Property* p = name ? find(name) : nullptr;
  if (p == nullptr) {
    ruleBroken("setCustomGetter for an unknown property");
    imaqkit::destroy(getter);
    return;
  }
  imaqkit::destroy(p->getter_);
  p->getter_ = getter;
}

void PropertyContainer::addPostSetListener(const char* name, IPropPostSetListener* listener) {
  kit::hostCall(kit::HostCall::kAddPostSetListener);
  maybeFailInstallation();
  Property* p = name ? find(name) : nullptr;
  if (p == nullptr) {
    ruleBroken("addPostSetListener for an unknown property");
    imaqkit::destroy(listener);
    return;
  }
  p->listeners_.push_back(listener);
}

bool PropertyContainer::read(const std::string& name, PropertyValue& value, std::string& error) {
  Property* p = find(name);
  if (p == nullptr) {
    error = "no property '" + name + "'";
    return false;
  }
  if (p->getter_ != nullptr) {
    std::array<std::uint8_t, 8> buffer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      buffer = p->stored_;
    }
    {
      kit::EntryScope entry(kit::Entry::kGetValue);
      p->getter_->getValue(p, buffer.data());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    p->stored_ = buffer;  // the host keeps what the getter said
  }
  std::lock_guard<std::mutex> lock(mutex_);
  value = p->stored();
  return true;
}

bool PropertyContainer::write(const std::string& name, const std::string& text,
                              std::string& error) {
  Property* p = find(name);
  if (p == nullptr) {
    error = "no property '" + name + "'";
    return false;
  }
  if (p->readOnly() == "always") {
    error = "property " + name + " is read-only";
    return false;
  }
  PropertyValue value;
  if (!p->parse(text, value, error)) return false;
  std::array<std::uint8_t, 8> copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    p->store(value);
    copy = p->stored_;
  }
  const std::size_t mark = kit::reports().size();
  for (IPropPostSetListener* listener : p->listeners_) {
    kit::EntryScope entry(kit::Entry::kNotify);
    listener->notify(p, copy.data());
  }
  const std::vector<kit::Report> reports = kit::reports();
  for (std::size_t i = mark; i < reports.size(); ++i) {
    if (reports[i].kind == kit::ReportKind::kError) {
      error = reports[i].source + ": " + reports[i].message;
      return false;
    }
  }
  return true;
}

}  // namespace host
