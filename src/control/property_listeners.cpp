#include "control/property_listeners.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "adaptor/acquisition_run.h"
#include "adaptor/boundary.h"
#include "adaptor/corvane_adaptor.h"
#include "control/feature_table.h"
#include "control/register_reports.h"

// A listener's call: an operation of its adaptor from the host's call in to
// its return, so that a destruction meanwhile (on another host thread, or
// inside the call's own report) waits for it or finishes when it returns.
class ListenerCall {
 public:
  explicit ListenerCall(ListenerLink& link) noexcept {
    // First, as every entry does; not under the link's lock, which is only
    // ever held for a few instructions.
    joinEndedThreads();
    while (link.lock_.test_and_set(std::memory_order_acquire)) {
    }
    // Listed among the operations before the link lets anyone else decide.
    if (link.adaptor_ != nullptr)
      operation_.emplace(*link.adaptor_, CorvaneAdaptor::Operation::Joined{});
    adaptor_ = link.adaptor_;
    link.lock_.clear(std::memory_order_release);
  }
  // Null once the adaptor is gone, or its destruction has begun.
  CorvaneAdaptor* adaptor() const {
    return adaptor_ != nullptr && !adaptor_->doomed() ? adaptor_ : nullptr;
  }

 private:
  CorvaneAdaptor* adaptor_ = nullptr;
  std::optional<CorvaneAdaptor::Operation> operation_;
};

namespace {

// The word of a control record that a kind of property reads and writes.
// The host's own value, as the answer when the camera cannot give one; a host
// that keeps none leaves the buffer as it was.
void answerStored(IPropertyRecord* record, void* valueBuffer, std::size_t size) {
  if (const void* stored = record->storedValue()) std::memcpy(valueBuffer, stored, size);
}

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
  ListenerCall call(*link_);
  CorvaneAdaptor* adaptor = call.adaptor();
  Failure why;
  if (!shielded([&] { read(adaptor, record, valueBuffer); }, why) && call.adaptor() != nullptr)
    reportError(adaptor, "getValue", why);
}

void CorvanePropSetListener::notify(IPropertyRecord* record, const void* newValue) {
  ListenerCall call(*link_);
  CorvaneAdaptor* adaptor = call.adaptor();
  Failure why;
  if (!shielded([&] { write(adaptor, record, newValue); }, why) && call.adaptor() != nullptr)
    reportError(adaptor, "notify", why);
}

void CorvanePropGetListener::read(CorvaneAdaptor* adaptor, IPropertyRecord* record,
                                  void* valueBuffer) {
  const PropertyId::Decoded d = PropertyId::decode(record->identifier());
  if (d.kind == PropertyId::Kind::kNone) return;
  const std::size_t size =
      d.kind == PropertyId::Kind::kAbsoluteValue ? sizeof(double) : sizeof(std::int32_t);
  // Without an adaptor the camera is out of reach: the host's own value stands.
  if (adaptor == nullptr) {
    answerStored(record, valueBuffer, size);
    return;
  }
  if (d.kind == PropertyId::Kind::kAbsoluteValue) {
    AbsoluteControlRecord absolute;
    if (adaptor->GetAbsControlRegister(d.registerId, absolute)) {
      const double value = absolute.value;
      std::memcpy(valueBuffer, &value, sizeof value);
    } else {
      answerStored(record, valueBuffer, size);
    }
    return;
  }
  FeatureControlRecord control;
  if (!adaptor->GetControlRegister(d.registerId, control)) {
    answerStored(record, valueBuffer, size);
    return;
  }
  const std::uint32_t value =
      d.kind == PropertyId::Kind::kValue ? control.value & 0xFFFFu : wordOf(control, d.kind);
  std::memcpy(valueBuffer, &value, sizeof value);
}

void CorvanePropSetListener::write(CorvaneAdaptor* adaptor, IPropertyRecord* record,
                                   const void* newValue) {
  const PropertyId::Decoded d = PropertyId::decode(record->identifier());
  if (d.kind == PropertyId::Kind::kNone) return;
  if (adaptor == nullptr) {
    warnQuietly("CorvaneImaq:notify", "%s",
                "The video input's adaptor is gone; the new value did not reach the camera.");
    return;
  }
  if (d.kind == PropertyId::Kind::kAbsoluteValue) {
    double value;
    std::memcpy(&value, newValue, sizeof value);
    adaptor->SetAbsControlRegister(d.registerId, static_cast<float>(value));
    return;
  }
  std::uint32_t wanted;
  std::memcpy(&wanted, newValue, sizeof wanted);
  adaptor->updateControlWord(d.registerId, d.kind, wanted);
}

namespace {

// Installs one getter and one post-set listener on a device property. A host
// call that throws is taken as not done: what it was given is released here.
void installPair(ListenerLink* link, IPropertyContainer* container, const char* name) {
  IPropertyRecord* record = container->propertyRecord(name);
  if (record == nullptr || !record->isDeviceProperty()) return;
  CorvanePropGetListener* getter = imaqNew<CorvanePropGetListener>(link);
  CorvanePropSetListener* setter = imaqNew<CorvanePropSetListener>(link);
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

void installPropertyListeners(ListenerLink* link, IPropertyContainer* container) {
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
      installPair(link, container, name);
    } catch (...) {
      adaptorWarn("CorvaneImaq:createInstance",
                  "The host failed to take the listeners of property '%s'; it is not connected "
                  "to the camera.",
                  name);
    }
  }
}

void CorvaneAdaptor::updateControlWord(std::uint32_t registerId, PropertyId::Kind kind,
                                       std::uint32_t wanted) {
  RegisterReports reports;
  {
    // The read and the write of one change go together.
    std::lock_guard<RecursiveLock> hold(registerLock);
    FeatureControlRecord control;
    if (getControl(registerId, control, reports)) {
      bool changed = false;
      if (kind == PropertyId::Kind::kValue) {
        // Only the low 16 bits hold the value; the high half is carried through.
        changed = (control.value & 0xFFFFu) != wanted;
        control.value = (control.value & 0xFFFF0000u) | (wanted & 0xFFFFu);
      } else {
        std::uint32_t& word = wordOf(control, kind);
        changed = word != wanted;
        word = wanted;
      }
      if (changed) setControl(registerId, control, reports);
    }
  }
  reports.send(this);
}
