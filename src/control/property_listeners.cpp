#include "control/property_listeners.h"

#include <cstring>
#include <vector>

#include "adaptor/corvane_adaptor.h"
#include "control/feature_table.h"

namespace {

// The word of a control record that a kind of property reads and writes.
std::uint32_t& wordOf(FeatureControlRecord& record, PropertyId::Kind kind) {
  switch (kind) {
    case PropertyId::Kind::kType:
      return record.absoluteControl;
    case PropertyId::Kind::kMode:
      return record.autoMode;
    default:
      return record.onOff;
  }
}

}  // namespace

void CorvanePropGetListener::getValue(IPropertyRecord* record, void* valueBuffer) {
  const PropertyId::Decoded d = PropertyId::decode(record->identifier());
  if (d.kind == PropertyId::Kind::kNone) return;
  if (d.kind == PropertyId::Kind::kAbsoluteValue) {
    AbsoluteControlRecord absolute;
    if (adaptor_->GetAbsControlRegister(d.registerId, absolute)) {
      const double value = absolute.value;
      std::memcpy(valueBuffer, &value, sizeof value);
    } else {
      std::memcpy(valueBuffer, record->storedValue(), sizeof(double));
    }
    return;
  }
  FeatureControlRecord control;
  if (!adaptor_->GetControlRegister(d.registerId, control)) {
    std::memcpy(valueBuffer, record->storedValue(), sizeof(std::int32_t));
    return;
  }
  const std::uint32_t value =
      d.kind == PropertyId::Kind::kValue ? control.value & 0xFFFFu : wordOf(control, d.kind);
  std::memcpy(valueBuffer, &value, sizeof value);
}

void CorvanePropSetListener::notify(IPropertyRecord* record, const void* newValue) {
  const PropertyId::Decoded d = PropertyId::decode(record->identifier());
  if (d.kind == PropertyId::Kind::kNone) return;
  // The read and the write of one change go together.
  std::lock_guard<std::recursive_mutex> hold(adaptor_->registerLock);
  if (d.kind == PropertyId::Kind::kAbsoluteValue) {
    double value;
    std::memcpy(&value, newValue, sizeof value);
    adaptor_->SetAbsControlRegister(d.registerId, static_cast<float>(value));
    return;
  }
  std::uint32_t wanted;
  std::memcpy(&wanted, newValue, sizeof wanted);
  FeatureControlRecord control;
  if (!adaptor_->GetControlRegister(d.registerId, control)) return;
  if (d.kind == PropertyId::Kind::kValue) {
    // Only the low 16 bits hold the value; the high half is carried through.
    if ((control.value & 0xFFFFu) == wanted) return;
    control.value = (control.value & 0xFFFF0000u) | (wanted & 0xFFFFu);
  } else {
    std::uint32_t& word = wordOf(control, d.kind);
    if (word == wanted) return;
    word = wanted;
  }
  adaptor_->SetControlRegister(d.registerId, control);
}

void installPropertyListeners(CorvaneAdaptor* adaptor, IPropertyContainer* container) {
  if (container == nullptr) return;
  const std::int32_t count = container->propertyCount();
  if (count <= 0) return;
  std::vector<const char*> names(static_cast<std::size_t>(count), nullptr);
  container->propertyNames(names.data());
  for (const char* name : names) {
    if (name == nullptr) continue;
    IPropertyRecord* record = container->propertyRecord(name);
    if (record == nullptr || !record->isDeviceProperty()) continue;
    CorvanePropGetListener* getter = imaqNew<CorvanePropGetListener>(adaptor);
    CorvanePropSetListener* setter = imaqNew<CorvanePropSetListener>(adaptor);
    if (getter == nullptr || setter == nullptr) {
      delete getter;
      delete setter;
      adaptorWarn(
          "CorvaneImaq:createInstance",
          "No storage for the listeners of property '%s'; it is not connected to the camera.",
          name);
      continue;
    }
    container->setCustomGetter(name, getter);
    container->addPostSetListener(name, setter);
  }
}
