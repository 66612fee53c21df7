#include "control/property_listeners.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "adaptor/boundary.h"
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
  Failure why;
  if (!shielded([&] { read(record, valueBuffer); }, why)) reportError(adaptor_, "getValue", why);
}

void CorvanePropSetListener::notify(IPropertyRecord* record, const void* newValue) {
  Failure why;
  if (!shielded([&] { write(record, newValue); }, why)) reportError(adaptor_, "notify", why);
}

void CorvanePropGetListener::read(IPropertyRecord* record, void* valueBuffer) {
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

void CorvanePropSetListener::write(IPropertyRecord* record, const void* newValue) {
  const PropertyId::Decoded d = PropertyId::decode(record->identifier());
  if (d.kind == PropertyId::Kind::kNone) return;
  // The read and the write of one change go together.
  std::lock_guard<RecursiveLock> hold(adaptor_->registerLock);
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

namespace {

// Installs one getter and one post-set listener on a device property. A host
// call that throws is taken as not done: what it was given is released here.
void installPair(CorvaneAdaptor* adaptor, IPropertyContainer* container, const char* name) {
  IPropertyRecord* record = container->propertyRecord(name);
  if (record == nullptr || !record->isDeviceProperty()) return;
  CorvanePropGetListener* getter = imaqNew<CorvanePropGetListener>(adaptor);
  CorvanePropSetListener* setter = imaqNew<CorvanePropSetListener>(adaptor);
  if (getter == nullptr || setter == nullptr) {
    delete getter;
    delete setter;
    adaptorWarn("CorvaneImaq:createInstance",
                "No storage for the listeners of property '%s'; it is not connected to the camera.",
                name);
    return;
  }
  try {
    container->setCustomGetter(name, getter);
  } catch (...) {
    delete getter;
    delete setter;
    throw;
  }
  try {
    container->addPostSetListener(name, setter);
  } catch (...) {
    delete setter;
    throw;
  }
}

}  // namespace

void installPropertyListeners(CorvaneAdaptor* adaptor, IPropertyContainer* container) {
  if (container == nullptr) return;
  std::vector<const char*> names;
  Failure why;
  const bool listed = shielded(
      [&] {
        const std::int32_t count = container->propertyCount();
        if (count <= 0) return;
        names.assign(static_cast<std::size_t>(count), nullptr);
        container->propertyNames(names.data());
      },
      why);
  if (!listed) {
    reportWarning("CorvaneImaq:createInstance",
                  "The properties could not be listed; none is connected to the camera", why);
    return;
  }
  for (const char* name : names) {
    if (name == nullptr) continue;
    try {
      installPair(adaptor, container, name);
    } catch (...) {
      adaptorWarn("CorvaneImaq:createInstance",
                  "The host failed to take the listeners of property '%s'; it is not connected "
                  "to the camera.",
                  name);
    }
  }
}
