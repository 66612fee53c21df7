// The listeners that connect the host's device properties to the camera's
// registers through the adaptor's register operations.
#pragma once

#include "platform/imaqkit.h"

#include <atomic>

class CorvaneAdaptor;

// How listeners reach their adaptor. The host keeps the listeners and may call
// them on any of its threads, while another destroys the adaptor or after it
// did: the adaptor lets go of the link first thing in its destruction, and a
// call that finds it let go answers without the camera. Shared by the adaptor
// and its listeners; the last of them frees it.
class ListenerLink {
 public:
  // Made by the adaptor, holding its use.
  static ListenerLink* make(CorvaneAdaptor* adaptor) noexcept;
  void use() noexcept { uses_.fetch_add(1); }
  void release() noexcept;
  // The adaptor's destruction: no call enters from now on.
  void cut() noexcept;

 private:
  friend class ListenerCall;
  explicit ListenerLink(CorvaneAdaptor* adaptor) : adaptor_(adaptor) {}
  std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  CorvaneAdaptor* adaptor_;
  std::atomic<int> uses_{1};
};

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
