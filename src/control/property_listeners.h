// The listeners that connect the host's device properties to the camera's
// registers through the adaptor's register operations.
#pragma once

#include "platform/imaqkit.h"

class CorvaneAdaptor;

class CorvanePropGetListener : public imaqkit::Implements<IPropCustomGetFcn> {
 public:
  explicit CorvanePropGetListener(CorvaneAdaptor* adaptor) : adaptor_(adaptor) {}
  // Writes the register's value; after a failed read, the host's stored value.
  void getValue(IPropertyRecord* record, void* valueBuffer) override;

 private:
  void read(IPropertyRecord* record, void* valueBuffer);
  CorvaneAdaptor* adaptor_;
};

class CorvanePropSetListener : public imaqkit::Implements<IPropPostSetListener> {
 public:
  explicit CorvanePropSetListener(CorvaneAdaptor* adaptor) : adaptor_(adaptor) {}
  // Writes the new value to the camera unless the register already holds it.
  void notify(IPropertyRecord* record, const void* newValue) override;

 private:
  void write(IPropertyRecord* record, const void* newValue);
  CorvaneAdaptor* adaptor_;
};

// Installs a getter and a post-set listener on every device property of the
// adaptor's engine. A pair that cannot be allocated, or that the host fails to
// take, is left out with a warning; nothing the host throws escapes.
void installPropertyListeners(CorvaneAdaptor* adaptor, IPropertyContainer* container);
