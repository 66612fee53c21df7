// The binary contract between a host and the module, written down from the
// documented interfaces alone. Nothing here comes from the module's, the kit's or the
// stand-in host's headers: a conformance host built on this file agrees with
// the module only if the module agrees with that document.
//
// An interface pointer points at a record whose first field points at a table
// of function pointers, one slot per operation, in the interface's order. An
// operation is a call through its slot with the object as the first argument,
// where the System V calling convention puts "this".
//
// Destructor slots are those of the Linux module's ABI (g++, the Itanium C++
// ABI; Windows has a host of its own, in Microsoft's): a virtual destructor takes two
// consecutive slots, the complete-object destructor and then the deleting
// destructor, and a table's first slot is preceded by the offset to the top
// of the object and a pointer to its type information.
#pragma once

#include <cstddef>
#include <cstdint>

namespace contract {

using Self = void*;
using Destructor = void (*)(Self);

// What precedes the first slot of every table.
struct TablePrefix {
  std::ptrdiff_t offsetToTop;
  const void* typeInfo;
};

// ---- Host interfaces without a destructor ---------------------------------------

struct EngineSlots {
  Self (*newFrame)(Self, std::uint32_t frameType, int width, int height);
  void (*deliverFrame)(Self, Self frame);
  Self (*propertyContainer)(Self);
  Self (*currentTrigger)(Self);
};

struct PropertyContainerSlots {
  Self (*propertyRecord)(Self, const char* name);
  std::int32_t (*propertyCount)(Self);
  void (*propertyNames)(Self, const char** names);
  void (*setCustomGetter)(Self, const char* name, Self getter);
  void (*addPostSetListener)(Self, const char* name, Self listener);
};

struct PropertyRecordSlots {
  const void* (*storedValue)(Self);
  std::uint32_t (*identifier)(Self);
  bool (*isDeviceProperty)(Self);
};

struct TriggerSettingSlots {
  int (*triggerType)(Self);
  std::uint32_t (*triggerCondition)(Self);
  std::uint32_t (*triggerSource)(Self);
};

struct FrameBufferSlots {
  void (*setImage)(Self, const void* data, int width, int height, int offsetX, int offsetY);
  void (*setTime)(Self, double time);
};

struct HardwareListSlots {
  Self (*createDevice)(Self, std::uint32_t id, const char* name);
  void (*addDevice)(Self, Self entry);
};

struct DeviceEntrySlots {
  Self (*createFormat)(Self, std::uint32_t id, const char* name);
  void (*addFormat)(Self, Self entry, bool isDefault);
  Self (*formatByName)(Self, const char* name);
  void (*setAdaptorData)(Self, Self object);
  Self (*adaptorData)(Self);
};

struct FormatEntrySlots {
  void (*setAdaptorData)(Self, Self object);
  Self (*adaptorData)(Self);
};

struct PropertyFactorySlots {
  Self (*createDoubleProperty)(Self, const char* name, double minimum, double maximum,
                               double defaultValue);
  Self (*createIntProperty)(Self, const char* name, std::int32_t minimum, std::int32_t maximum,
                            std::int32_t defaultValue);
  Self (*createEnumProperty)(Self, const char* name, const char* valueName, std::int32_t valueId);
  void (*addEnumValue)(Self, Self property, const char* valueName, std::int32_t valueId);
  void (*addProperty)(Self, Self property);
  void (*setReadOnly)(Self, Self property, const char* condition);
  void (*setIdentifier)(Self, Self property, std::uint32_t id);
};

struct SourceListSlots {
  void (*addSource)(Self, const char* name, std::int32_t id);
};

struct TriggerListSlots {
  void (*addHardwareTrigger)(Self, const char* configurationName, std::uint32_t configurationId,
                             const char* sourceName, std::uint32_t sourceId);
};

// ---- Host interfaces with a virtual destructor ----------------------------------

struct AdaptorManagerSlots {
  Destructor destroy;
  Destructor destroyAndFree;
  void (*requestClose)(Self);
  void (*requestStop)(Self);
  bool (*deviceIsOpen)(Self);
  bool (*deviceIsAcquiring)(Self);
  Self (*engine)(Self);
  void (*regionOfInterest)(Self, int* offsetX, int* offsetY, int* width, int* height);
  void (*setRegionOfInterest)(Self, int offsetX, int offsetY, int width, int height);
  void (*countFrame)(Self);
  bool (*frameWanted)(Self);
  bool (*acquisitionActive)(Self);
};

// The lock (createCriticalSection) and the lock holder (createAutoCriticalSection).
struct LockSlots {
  Destructor destroy;
  Destructor destroyAndFree;
  void (*enter)(Self);
  void (*leave)(Self);
};

// ---- The module's objects --------------------------------------------------------

// Device and format objects: IMAQInterface alone.
struct ObjectSlots {
  Destructor destroy;
  Destructor destroyAndFree;
};

struct AdaptorSlots {
  Destructor destroy;
  Destructor destroyAndFree;
  // The kit's own operation, with a default that forwards to the adaptor manager.
  bool (*kitDefault)(Self);
  void (*getROI)(Self, int* offsetX, int* offsetY, int* width, int* height);
  void (*setROI)(Self, int offsetX, int offsetY, int width, int height);
  int (*getMaxWidth)(Self);
  int (*getMaxHeight)(Self);
  std::uint32_t (*getFrameType)(Self);
  int (*getBandCount)(Self);
  const char* (*getDescription)(Self);
  const char* (*getVersion)(Self);
  bool (*openDevice)(Self);
  bool (*closeDevice)(Self);
  bool (*startCapture)(Self);
  bool (*stopCapture)(Self);
};

struct GetterSlots {
  Destructor destroy;
  Destructor destroyAndFree;
  void (*getValue)(Self, Self record, void* valueBuffer);
};

struct SetterSlots {
  Destructor destroy;
  Destructor destroyAndFree;
  void (*notify)(Self, Self record, const void* newValue);
};

// The slots of an object the module made.
template <class Slots>
const Slots& slotsOf(Self object) {
  return **static_cast<const Slots* const*>(object);
}

// ---- Entry points, by their plain names ------------------------------------------

using InitializeAdaptor = void (*)();
using UninitializeAdaptor = void (*)();
using GetAvailHW = void (*)(Self hardwareList);
using GetDeviceAttributes = void (*)(Self deviceEntry, const char* formatName, Self factory,
                                     Self sourceList, Self triggerList);
using CreateInstance = Self (*)(Self engine, Self deviceEntry, const char* formatName);

// ---- Values the contract fixes ---------------------------------------------------

constexpr int kHardwareTrigger = 2;
constexpr std::uint32_t kMono8 = 0x11010000;

}  // namespace contract
