// The listeners that connect the host's device properties to the camera's
// registers through the adaptor's register operations.
#pragma once

#include "platform/imaqkit.h"

#include "control/listener_link.h"

class CorvaneAdaptor;

class CorvanePropGetListener : public imaqkit::Implements<IPropCustomGetFcn> {
 public:
  explicit CorvanePropGetListener(ListenerLink* link) : link_(link) { link_->use(); }
  ~CorvanePropGetListener() override { link_->release(); }
  // Writes the register's value; after a failed read, or once the adaptor is
  // gone, the host's stored value.
  void getValue(IPropertyRecord* record, void* valueBuffer) override;

 private:
  void read(CorvaneAdaptor* adaptor, IPropertyRecord* record, void* valueBuffer);
  ListenerLink* link_;
};

class CorvanePropSetListener : public imaqkit::Implements<IPropPostSetListener> {
 public:
  explicit CorvanePropSetListener(ListenerLink* link) : link_(link) { link_->use(); }
  ~CorvanePropSetListener() override { link_->release(); }
  // Writes the new value to the camera unless the register already holds it.
  void notify(IPropertyRecord* record, const void* newValue) override;

 private:
  void write(CorvaneAdaptor* adaptor, IPropertyRecord* record, const void* newValue);
  ListenerLink* link_;
};

// Installs a getter and a post-set listener on every device property of the
// adaptor's engine. A pair that cannot be allocated, or that the host fails to
// take, is left out with a warning; nothing the host throws escapes.
void installPropertyListeners(ListenerLink* link, IPropertyContainer* container);
