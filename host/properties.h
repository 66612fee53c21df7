// The host's property container of an engine. Device properties come with the
// property factory (camera control); until then the container is empty.
#pragma once

#include <cstdint>

#include "imaqkit.h"

namespace host {

class PropertyContainer final : public IPropertyContainer {
 public:
  IPropertyRecord* propertyRecord(const char*) override { return nullptr; }
  std::int32_t propertyCount() override { return 0; }
  void propertyNames(const char**) override {}
  void setCustomGetter(const char*, IPropCustomGetFcn* getter) override { delete getter; }
  void addPostSetListener(const char*, IPropPostSetListener* listener) override { delete listener; }
};

}  // namespace host
