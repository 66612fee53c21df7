// A host that shares no declaration with the module. Its objects are plain
// records whose first field points at a table of operations laid out in the
// documented order (contract.h); it reaches the module's objects through slot
// indices of their tables; its kit library defines the kit functions by
// symbol name. The module agrees with this host only where it agrees with the
// documented contract: a slot out of order shows as a wrong call (a violation the records
// catch) or a wrong value.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "conformance_kit.h"
#include "contract.h"
#include "host_tables.h"

namespace {

using conformance::as;
using conformance::Word;
using contract::Self;

// ---- Loading the module from this program's folder -------------------------------

constexpr char kModuleFile[] = "CorvaneImaq.so";
std::string programDirectory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  return text.substr(0, text.rfind('/') + 1);
}
void* openLibrary(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* findSymbol(void* library, const char* name) {
  return dlsym(library, name);
}
void closeLibrary(void* library) {
  dlclose(library);
}

template <class Function>
Function entryPoint(void* library, const char* name) {
  void* address = findSymbol(library, name);
  Function function = nullptr;
  static_assert(sizeof function == sizeof address);
  std::memcpy(&function, &address, sizeof function);
  return function;
}

// ---- The host's records ---------------------------------------------------------------

struct Record {
  conformance::Head head;
  Record(const void* slots, std::uint32_t kind) : head{slots, kind} { ck::addRecord(this); }
  ~Record() { ck::removeRecord(this); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
};

struct FormatEntry : Record {
  FormatEntry(std::uint32_t id, std::string name);
  std::uint32_t id;
  std::string name;
  Self data = nullptr;
  bool added = false;
  bool isDefault = false;
};

struct DeviceEntry : Record {
  DeviceEntry(std::uint32_t id, std::string name);
  std::uint32_t id;
  std::string name;
  Self data = nullptr;
  std::vector<std::unique_ptr<FormatEntry>> created;
  std::vector<FormatEntry*> formats;  // added, in order
  bool listed = false;
};

struct HardwareList : Record {
  HardwareList();
  std::vector<std::unique_ptr<DeviceEntry>> created;
  std::vector<DeviceEntry*> devices;  // added, in order
};

enum class PropertyType { kDouble, kInteger, kEnum };

// A property as the factory makes it: the module's handle for it and, in a
// container, the record the listeners are given.
struct Property : Record {
  Property(std::string name, PropertyType type);
  std::string name;
  PropertyType type;
  double minimum = 0, maximum = 0, defaultValue = 0;
  std::vector<std::pair<std::string, std::int32_t>> values;
  std::vector<std::string> steps;  // what the factory was asked, in order
  std::uint32_t id = 0;
  bool device = true;
  unsigned char stored[8] = {};
  Self getter = nullptr;
  std::vector<Self> listeners;
};

struct PropertyFactory : Record {
  PropertyFactory();
  std::vector<std::unique_ptr<Property>> created;
  std::vector<Property*> added;
};

struct SourceList : Record {
  SourceList();
  std::vector<std::pair<std::string, std::int32_t>> sources;
};

struct TriggerList : Record {
  TriggerList();
  std::vector<std::tuple<std::string, std::uint32_t, std::string, std::uint32_t>> triggers;
};

struct PropertyContainer : Record {
  PropertyContainer();
  std::vector<std::unique_ptr<Property>> properties;
  Property* find(const char* name) const {
    for (const auto& p : properties)
      if (name != nullptr && p->name == name) return p.get();
    return nullptr;
  }
};

struct TriggerSetting : Record {
  TriggerSetting();
  int type = 0;
  std::uint32_t condition = 0;
  std::uint32_t source = 0;
  std::vector<std::string> asked;
};

struct FrameBuffer : Record {
  FrameBuffer(std::uint32_t frameType, int width, int height);
  std::uint32_t frameType;
  int width, height;
  const void* image = nullptr;
  int imageWidth = -1, imageHeight = -1, offsetX = -1, offsetY = -1;
  double time = 0;
  bool delivered = false;
};

struct Manager;

struct Engine : Record {
  Engine();
  PropertyContainer container;
  TriggerSetting trigger;
  Manager* manager = nullptr;
  std::mutex mutex;
  std::vector<std::unique_ptr<FrameBuffer>> frames;
  std::vector<FrameBuffer*> delivered;
};

std::atomic<int> managersDestroyed{0};

// What the adaptor asked of its managers, in order (host threads only).
std::vector<std::string>& managerEvents() {
  static std::vector<std::string> events;
  return events;
}

struct Manager : Record {
  Manager(Self adaptor, Engine* engine);
  Self adaptor;
  Engine* engine;
  std::atomic<bool> open{false}, acquiring{false}, active{false};
  std::atomic<std::uint64_t> counted{0}, target{0};
  std::atomic<int> acquiringAsked{0};
  std::mutex regionMutex;
  int region[4] = {0, 0, 0, 0};
};

// ---- The module's objects, by slot -------------------------------------------------------

const contract::AdaptorSlots& adaptorSlots(Self adaptor) {
  return contract::slotsOf<contract::AdaptorSlots>(adaptor);
}

void destroyModuleObject(Self object) {
  if (object != nullptr) contract::slotsOf<contract::ObjectSlots>(object).destroyAndFree(object);
}

// ---- Host operations -----------------------------------------------------------------------

using namespace conformance;

namespace hardware_list {
Word createDevice(Self self, std::uint32_t id, const char* name) {
  auto* list = as<HardwareList>(self, kHardwareList, "createDevice");
  if (list == nullptr || name == nullptr) return 0;
  list->created.push_back(std::make_unique<DeviceEntry>(id, name));
  return reinterpret_cast<Word>(list->created.back().get());
}
Word addDevice(Self self, Self entry) {
  auto* list = as<HardwareList>(self, kHardwareList, "addDevice");
  auto* device = as<DeviceEntry>(entry, kDeviceEntry, "addDevice (its entry)");
  if (list == nullptr || device == nullptr) return 0;
  if (device->listed) ck::violation("a device entry added twice");
  device->listed = true;
  list->devices.push_back(device);
  return 0;
}
}  // namespace hardware_list

namespace device_entry {
Word createFormat(Self self, std::uint32_t id, const char* name) {
  auto* device = as<DeviceEntry>(self, kDeviceEntry, "createFormat");
  if (device == nullptr || name == nullptr) return 0;
  device->created.push_back(std::make_unique<FormatEntry>(id, name));
  return reinterpret_cast<Word>(device->created.back().get());
}
Word addFormat(Self self, Self entry, bool isDefault) {
  auto* device = as<DeviceEntry>(self, kDeviceEntry, "addFormat");
  auto* format = as<FormatEntry>(entry, kFormatEntry, "addFormat (its entry)");
  if (device == nullptr || format == nullptr) return 0;
  if (format->added) ck::violation("a format entry added twice");
  format->added = true;
  format->isDefault = isDefault;
  device->formats.push_back(format);
  return 0;
}
Word formatByName(Self self, const char* name) {
  auto* device = as<DeviceEntry>(self, kDeviceEntry, "formatByName");
  if (device == nullptr || name == nullptr) return 0;
  for (FormatEntry* f : device->formats)
    if (f->name == name) return reinterpret_cast<Word>(f);
  return 0;
}
}  // namespace device_entry

// The adaptor data of device and format entries alike.
namespace entry_data {
template <class Entry, std::uint32_t K>
Word setAdaptorData(Self self, Self object) {
  auto* entry = as<Entry>(self, K, "setAdaptorData");
  if (entry == nullptr) return 0;
  if (entry->data != nullptr) ck::violation(std::string(kindName(K)) + " given adaptor data twice");
  entry->data = object;
  return 0;
}
template <class Entry, std::uint32_t K>
Word adaptorData(Self self) {
  auto* entry = as<Entry>(self, K, "adaptorData");
  return entry != nullptr ? reinterpret_cast<Word>(entry->data) : 0;
}
}  // namespace entry_data

namespace device_entry {
constexpr auto setAdaptorData = entry_data::setAdaptorData<DeviceEntry, kDeviceEntry>;
constexpr auto adaptorData = entry_data::adaptorData<DeviceEntry, kDeviceEntry>;
}  // namespace device_entry

namespace format_entry {
constexpr auto setAdaptorData = entry_data::setAdaptorData<FormatEntry, kFormatEntry>;
constexpr auto adaptorData = entry_data::adaptorData<FormatEntry, kFormatEntry>;
}  // namespace format_entry

namespace property_factory {
Word make(Self self, const char* operation, const char* name, PropertyType type) {
  auto* factory = as<PropertyFactory>(self, kPropertyFactory, operation);
  if (factory == nullptr || name == nullptr) return 0;
  factory->created.push_back(std::make_unique<Property>(name, type));
  factory->created.back()->steps.push_back(operation);
  return reinterpret_cast<Word>(factory->created.back().get());
}
Word createDoubleProperty(Self self, const char* name, double minimum, double maximum,
                          double defaultValue) {
  Word made = make(self, "createDoubleProperty", name, PropertyType::kDouble);
  if (auto* p = reinterpret_cast<Property*>(made)) {
    p->minimum = minimum;
    p->maximum = maximum;
    p->defaultValue = defaultValue;
    std::memcpy(p->stored, &defaultValue, sizeof defaultValue);
  }
  return made;
}
Word createIntProperty(Self self, const char* name, std::int32_t minimum, std::int32_t maximum,
                       std::int32_t defaultValue) {
  Word made = make(self, "createIntProperty", name, PropertyType::kInteger);
  if (auto* p = reinterpret_cast<Property*>(made)) {
    p->minimum = minimum;
    p->maximum = maximum;
    p->defaultValue = defaultValue;
    std::memcpy(p->stored, &defaultValue, sizeof defaultValue);
  }
  return made;
}
Word createEnumProperty(Self self, const char* name, const char* valueName, std::int32_t valueId) {
  Word made = make(self, "createEnumProperty", name, PropertyType::kEnum);
  if (auto* p = reinterpret_cast<Property*>(made)) {
    p->values.emplace_back(valueName != nullptr ? valueName : "", valueId);
    p->defaultValue = valueId;
    std::memcpy(p->stored, &valueId, sizeof valueId);
  }
  return made;
}
Word addEnumValue(Self self, Self property, const char* valueName, std::int32_t valueId) {
  auto* p = as<Property>(property, kProperty, "addEnumValue (its property)");
  if (as<PropertyFactory>(self, kPropertyFactory, "addEnumValue") == nullptr || p == nullptr)
    return 0;
  p->values.emplace_back(valueName != nullptr ? valueName : "", valueId);
  p->steps.push_back("addEnumValue");
  return 0;
}
Word addProperty(Self self, Self property) {
  auto* factory = as<PropertyFactory>(self, kPropertyFactory, "addProperty");
  auto* p = as<Property>(property, kProperty, "addProperty (its property)");
  if (factory == nullptr || p == nullptr) return 0;
  p->steps.push_back("addProperty");
  factory->added.push_back(p);
  return 0;
}
Word setReadOnly(Self self, Self property, const char* condition) {
  auto* p = as<Property>(property, kProperty, "setReadOnly (its property)");
  if (as<PropertyFactory>(self, kPropertyFactory, "setReadOnly") == nullptr || p == nullptr)
    return 0;
  p->steps.push_back(std::string("setReadOnly ") + (condition != nullptr ? condition : "(null)"));
  return 0;
}
Word setIdentifier(Self self, Self property, std::uint32_t id) {
  auto* p = as<Property>(property, kProperty, "setIdentifier (its property)");
  if (as<PropertyFactory>(self, kPropertyFactory, "setIdentifier") == nullptr || p == nullptr)
    return 0;
  p->steps.push_back("setIdentifier");
  p->id = id;
  return 0;
}
}  // namespace property_factory

namespace source_list {
Word addSource(Self self, const char* name, std::int32_t id) {
  auto* list = as<SourceList>(self, kSourceList, "addSource");
  if (list != nullptr) list->sources.emplace_back(name != nullptr ? name : "(null)", id);
  return 0;
}
}  // namespace source_list

namespace trigger_list {
Word addHardwareTrigger(Self self, const char* configurationName, std::uint32_t configurationId,
                        const char* sourceName, std::uint32_t sourceId) {
  auto* list = as<TriggerList>(self, kTriggerList, "addHardwareTrigger");
  if (list != nullptr && configurationName != nullptr && sourceName != nullptr)
    list->triggers.emplace_back(configurationName, configurationId, sourceName, sourceId);
  return 0;
}
}  // namespace trigger_list

namespace property_record {
Word storedValue(Self self) {
  auto* p = as<Property>(self, kProperty, "storedValue");
  return p != nullptr ? reinterpret_cast<Word>(p->stored) : 0;
}
Word identifier(Self self) {
  auto* p = as<Property>(self, kProperty, "identifier");
  return p != nullptr ? p->id : 0;
}
Word isDeviceProperty(Self self) {
  auto* p = as<Property>(self, kProperty, "isDeviceProperty");
  return p != nullptr && p->device ? 1 : 0;
}
}  // namespace property_record

namespace property_container {
Word propertyRecord(Self self, const char* name) {
  auto* c = as<PropertyContainer>(self, kPropertyContainer, "propertyRecord");
  return c != nullptr ? reinterpret_cast<Word>(c->find(name)) : 0;
}
Word propertyCount(Self self) {
  auto* c = as<PropertyContainer>(self, kPropertyContainer, "propertyCount");
  return c != nullptr ? c->properties.size() : 0;
}
Word propertyNames(Self self, const char** names) {
  auto* c = as<PropertyContainer>(self, kPropertyContainer, "propertyNames");
  if (c == nullptr || names == nullptr) return 0;
  for (std::size_t i = 0; i < c->properties.size(); ++i) names[i] = c->properties[i]->name.c_str();
  return 0;
}
Word setCustomGetter(Self self, const char* name, Self getter) {
  auto* c = as<PropertyContainer>(self, kPropertyContainer, "setCustomGetter");
  Property* p = c != nullptr ? c->find(name) : nullptr;
  if (p == nullptr) {
    ck::violation("setCustomGetter for a property the container does not hold");
    return 0;
  }
  if (p->getter != nullptr) ck::violation("a second getter for " + p->name);
  p->getter = getter;
  return 0;
}
Word addPostSetListener(Self self, const char* name, Self listener) {
  auto* c = as<PropertyContainer>(self, kPropertyContainer, "addPostSetListener");
  Property* p = c != nullptr ? c->find(name) : nullptr;
  if (p == nullptr) {
    ck::violation("addPostSetListener for a property the container does not hold");
    return 0;
  }
  p->listeners.push_back(listener);
  return 0;
}
}  // namespace property_container

namespace trigger_setting {
Word triggerType(Self self) {
  auto* t = as<TriggerSetting>(self, kTriggerSetting, "triggerType");
  if (t == nullptr) return 0;
  t->asked.push_back("triggerType");
  return static_cast<std::uint32_t>(t->type);
}
Word triggerCondition(Self self) {
  auto* t = as<TriggerSetting>(self, kTriggerSetting, "triggerCondition");
  if (t == nullptr) return 0;
  t->asked.push_back("triggerCondition");
  return t->condition;
}
Word triggerSource(Self self) {
  auto* t = as<TriggerSetting>(self, kTriggerSetting, "triggerSource");
  if (t == nullptr) return 0;
  t->asked.push_back("triggerSource");
  return t->source;
}
}  // namespace trigger_setting

namespace frame_buffer {
Word setImage(Self self, const void* data, int width, int height, int offsetX, int offsetY) {
  auto* f = as<FrameBuffer>(self, kFrameBuffer, "setImage");
  if (f == nullptr) return 0;
  f->image = data;
  f->imageWidth = width;
  f->imageHeight = height;
  f->offsetX = offsetX;
  f->offsetY = offsetY;
  return 0;
}
Word setTime(Self self, double time) {
  auto* f = as<FrameBuffer>(self, kFrameBuffer, "setTime");
  if (f != nullptr) f->time = time;
  return 0;
}
}  // namespace frame_buffer

namespace engine {
Word newFrame(Self self, std::uint32_t frameType, int width, int height) {
  auto* e = as<Engine>(self, kEngine, "newFrame");
  if (e == nullptr) return 0;
  std::lock_guard<std::mutex> hold(e->mutex);
  e->frames.push_back(std::make_unique<FrameBuffer>(frameType, width, height));
  return reinterpret_cast<Word>(e->frames.back().get());
}
Word deliverFrame(Self self, Self frame) {
  auto* e = as<Engine>(self, kEngine, "deliverFrame");
  auto* f = as<FrameBuffer>(frame, kFrameBuffer, "deliverFrame (its frame)");
  if (e == nullptr || f == nullptr) return 0;
  std::lock_guard<std::mutex> hold(e->mutex);
  if (f->delivered) ck::violation("a frame buffer delivered twice");
  f->delivered = true;
  e->delivered.push_back(f);
  return 0;
}
Word propertyContainer(Self self) {
  auto* e = as<Engine>(self, kEngine, "propertyContainer");
  return e != nullptr ? reinterpret_cast<Word>(&e->container) : 0;
}
Word currentTrigger(Self self) {
  auto* e = as<Engine>(self, kEngine, "currentTrigger");
  return e != nullptr ? reinterpret_cast<Word>(&e->trigger) : 0;
}
}  // namespace engine

namespace manager {
Manager* of(Self self, const char* operation) {
  return as<Manager>(self, kAdaptorManager, operation);
}
Word destroy(Self self) {
  if (of(self, "~IAdaptorManager") != nullptr)
    ck::violation(
        "the adaptor manager's complete-object destructor called; the adaptor deletes it");
  return 0;
}
Word destroyAndFree(Self self) {
  Manager* m = of(self, "~IAdaptorManager (deleting)");
  if (m == nullptr) return 0;
  if (m->engine != nullptr) m->engine->manager = nullptr;
  managerEvents().push_back("deleted");
  delete m;
  ++managersDestroyed;
  return 0;
}
void stop(Manager* m) {
  m->active = false;
  if (m->acquiring) adaptorSlots(m->adaptor).stopCapture(m->adaptor);
  m->acquiring = false;
}
Word requestStop(Self self) {
  Manager* m = of(self, "requestStop");
  if (m == nullptr) return 0;
  managerEvents().push_back("requestStop");
  stop(m);
  return 0;
}
Word requestClose(Self self) {
  Manager* m = of(self, "requestClose");
  if (m == nullptr) return 0;
  managerEvents().push_back("requestClose");
  stop(m);
  if (m->open) adaptorSlots(m->adaptor).closeDevice(m->adaptor);
  m->open = false;
  return 0;
}
Word deviceIsOpen(Self self) {
  Manager* m = of(self, "deviceIsOpen");
  return m != nullptr && m->open ? 1 : 0;
}
Word deviceIsAcquiring(Self self) {
  Manager* m = of(self, "deviceIsAcquiring");
  if (m == nullptr) return 0;
  ++m->acquiringAsked;
  return m->acquiring ? 1 : 0;
}
Word engine(Self self) {
  Manager* m = of(self, "engine");
  return m != nullptr ? reinterpret_cast<Word>(m->engine) : 0;
}
Word regionOfInterest(Self self, int* offsetX, int* offsetY, int* width, int* height) {
  Manager* m = of(self, "regionOfInterest");
  if (m == nullptr || !offsetX || !offsetY || !width || !height) return 0;
  std::lock_guard<std::mutex> hold(m->regionMutex);
  *offsetX = m->region[0];
  *offsetY = m->region[1];
  *width = m->region[2];
  *height = m->region[3];
  return 0;
}
Word setRegionOfInterest(Self self, int offsetX, int offsetY, int width, int height) {
  Manager* m = of(self, "setRegionOfInterest");
  if (m == nullptr) return 0;
  std::lock_guard<std::mutex> hold(m->regionMutex);
  m->region[0] = offsetX;
  m->region[1] = offsetY;
  m->region[2] = width;
  m->region[3] = height;
  return 0;
}
Word countFrame(Self self) {
  if (Manager* m = of(self, "countFrame")) ++m->counted;
  return 0;
}
Word frameWanted(Self self) {
  Manager* m = of(self, "frameWanted");
  return m != nullptr && m->counted < m->target ? 1 : 0;
}
Word acquisitionActive(Self self) {
  Manager* m = of(self, "acquisitionActive");
  return m != nullptr && m->active && m->counted < m->target ? 1 : 0;
}
}  // namespace manager

// ---- Tables ------------------------------------------------------------------------------

#define SLOT(Slots, space, name) slot<decltype(contract::Slots::name)>(space::name)

const auto kHardwareListTable = makeTable<kHardwareList>(
    contract::HardwareListSlots{SLOT(HardwareListSlots, hardware_list, createDevice),
                                SLOT(HardwareListSlots, hardware_list, addDevice)});

const auto kDeviceEntryTable = makeTable<kDeviceEntry>(
    contract::DeviceEntrySlots{SLOT(DeviceEntrySlots, device_entry, createFormat),
                               SLOT(DeviceEntrySlots, device_entry, addFormat),
                               SLOT(DeviceEntrySlots, device_entry, formatByName),
                               SLOT(DeviceEntrySlots, device_entry, setAdaptorData),
                               SLOT(DeviceEntrySlots, device_entry, adaptorData)});

const auto kFormatEntryTable = makeTable<kFormatEntry>(
    contract::FormatEntrySlots{SLOT(FormatEntrySlots, format_entry, setAdaptorData),
                               SLOT(FormatEntrySlots, format_entry, adaptorData)});

const auto kPropertyFactoryTable = makeTable<kPropertyFactory>(contract::PropertyFactorySlots{
    SLOT(PropertyFactorySlots, property_factory, createDoubleProperty),
    SLOT(PropertyFactorySlots, property_factory, createIntProperty),
    SLOT(PropertyFactorySlots, property_factory, createEnumProperty),
    SLOT(PropertyFactorySlots, property_factory, addEnumValue),
    SLOT(PropertyFactorySlots, property_factory, addProperty),
    SLOT(PropertyFactorySlots, property_factory, setReadOnly),
    SLOT(PropertyFactorySlots, property_factory, setIdentifier)});

const auto kSourceListTable = makeTable<kSourceList>(
    contract::SourceListSlots{SLOT(SourceListSlots, source_list, addSource)});

const auto kTriggerListTable = makeTable<kTriggerList>(
    contract::TriggerListSlots{SLOT(TriggerListSlots, trigger_list, addHardwareTrigger)});

const auto kPropertyTable = makeTable<kProperty>(
    contract::PropertyRecordSlots{SLOT(PropertyRecordSlots, property_record, storedValue),
                                  SLOT(PropertyRecordSlots, property_record, identifier),
                                  SLOT(PropertyRecordSlots, property_record, isDeviceProperty)});

const auto kPropertyContainerTable = makeTable<kPropertyContainer>(contract::PropertyContainerSlots{
    SLOT(PropertyContainerSlots, property_container, propertyRecord),
    SLOT(PropertyContainerSlots, property_container, propertyCount),
    SLOT(PropertyContainerSlots, property_container, propertyNames),
    SLOT(PropertyContainerSlots, property_container, setCustomGetter),
    SLOT(PropertyContainerSlots, property_container, addPostSetListener)});

const auto kTriggerSettingTable = makeTable<kTriggerSetting>(
    contract::TriggerSettingSlots{SLOT(TriggerSettingSlots, trigger_setting, triggerType),
                                  SLOT(TriggerSettingSlots, trigger_setting, triggerCondition),
                                  SLOT(TriggerSettingSlots, trigger_setting, triggerSource)});

const auto kFrameBufferTable = makeTable<kFrameBuffer>(contract::FrameBufferSlots{
    SLOT(FrameBufferSlots, frame_buffer, setImage), SLOT(FrameBufferSlots, frame_buffer, setTime)});

const auto kEngineTable = makeTable<kEngine>(contract::EngineSlots{
    SLOT(EngineSlots, engine, newFrame), SLOT(EngineSlots, engine, deliverFrame),
    SLOT(EngineSlots, engine, propertyContainer), SLOT(EngineSlots, engine, currentTrigger)});

const auto kManagerTable = makeTable<kAdaptorManager>(contract::AdaptorManagerSlots{
    SLOT(AdaptorManagerSlots, manager, destroy), SLOT(AdaptorManagerSlots, manager, destroyAndFree),
    SLOT(AdaptorManagerSlots, manager, requestClose),
    SLOT(AdaptorManagerSlots, manager, requestStop),
    SLOT(AdaptorManagerSlots, manager, deviceIsOpen),
    SLOT(AdaptorManagerSlots, manager, deviceIsAcquiring),
    SLOT(AdaptorManagerSlots, manager, engine),
    SLOT(AdaptorManagerSlots, manager, regionOfInterest),
    SLOT(AdaptorManagerSlots, manager, setRegionOfInterest),
    SLOT(AdaptorManagerSlots, manager, countFrame), SLOT(AdaptorManagerSlots, manager, frameWanted),
    SLOT(AdaptorManagerSlots, manager, acquisitionActive)});

#undef SLOT

FormatEntry::FormatEntry(std::uint32_t i, std::string n)
    : Record(&kFormatEntryTable.slots, kFormatEntry), id(i), name(std::move(n)) {}
DeviceEntry::DeviceEntry(std::uint32_t i, std::string n)
    : Record(&kDeviceEntryTable.slots, kDeviceEntry), id(i), name(std::move(n)) {}
HardwareList::HardwareList() : Record(&kHardwareListTable.slots, kHardwareList) {}
Property::Property(std::string n, PropertyType t)
    : Record(&kPropertyTable.slots, kProperty), name(std::move(n)), type(t) {}
PropertyFactory::PropertyFactory() : Record(&kPropertyFactoryTable.slots, kPropertyFactory) {}
SourceList::SourceList() : Record(&kSourceListTable.slots, kSourceList) {}
TriggerList::TriggerList() : Record(&kTriggerListTable.slots, kTriggerList) {}
PropertyContainer::PropertyContainer()
    : Record(&kPropertyContainerTable.slots, kPropertyContainer) {}
TriggerSetting::TriggerSetting() : Record(&kTriggerSettingTable.slots, kTriggerSetting) {}
FrameBuffer::FrameBuffer(std::uint32_t type, int w, int h)
    : Record(&kFrameBufferTable.slots, kFrameBuffer), frameType(type), width(w), height(h) {}
Engine::Engine() : Record(&kEngineTable.slots, kEngine) {}
Manager::Manager(Self a, Engine* e)
    : Record(&kManagerTable.slots, kAdaptorManager), adaptor(a), engine(e) {}

Self makeManager(Self adaptor, Self engineObject) {
  auto* e = as<Engine>(engineObject, kEngine, "createAdaptorManager (its engine)");
  if (e == nullptr) return nullptr;
  auto* m = new Manager(adaptor, e);
  e->manager = m;
  return m;
}

// ---- The fixture -----------------------------------------------------------------------------

constexpr std::uint32_t kBrightnessValue = 0x80050000;

class ConformanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ck::setManagerFactory(makeManager);
    ck::clearReports();
    ck::clearViolations();
    managersDestroyed = 0;
    blocksBefore_ = ck::liveBlocks();
    locksBefore_ = ck::liveLocks();
    const std::string path = programDirectory() + kModuleFile;
    library_ = openLibrary(path);
    ASSERT_NE(nullptr, library_) << "cannot load " << path;
    initializeAdaptor_ = entryPoint<contract::InitializeAdaptor>(library_, "initializeAdaptor");
    uninitializeAdaptor_ =
        entryPoint<contract::UninitializeAdaptor>(library_, "uninitializeAdaptor");
    getAvailHW_ = entryPoint<contract::GetAvailHW>(library_, "getAvailHW");
    getDeviceAttributes_ =
        entryPoint<contract::GetDeviceAttributes>(library_, "getDeviceAttributes");
    createInstance_ = entryPoint<contract::CreateInstance>(library_, "createInstance");
    ASSERT_TRUE(initializeAdaptor_ && uninitializeAdaptor_ && getAvailHW_ && getDeviceAttributes_ &&
                createInstance_);
    initializeAdaptor_();
    getAvailHW_(&hardware_);
  }

  void TearDown() override {
    for (Self adaptor : adaptors_) DestroyAdaptor(adaptor);
    for (auto& engine : engines_) ReleaseListeners(engine->container);
    // The host releases its device and format entries, and with them the
    // module's objects, before the library is terminated.
    for (const auto& device : hardware_.created) {
      for (const auto& format : device->created) destroyModuleObject(format->data);
      destroyModuleObject(device->data);
    }
    hardware_.created.clear();
    if (uninitializeAdaptor_ != nullptr) uninitializeAdaptor_();
    if (library_ != nullptr) closeLibrary(library_);
    EXPECT_EQ(blocksBefore_, ck::liveBlocks()) << "blocks the module did not give back";
    EXPECT_EQ(locksBefore_, ck::liveLocks()) << "locks or holders the module did not destroy";
    const std::vector<std::string> broken = ck::violations();
    EXPECT_TRUE(broken.empty()) << broken.size() << " broken, first: " << broken.front();
  }

  DeviceEntry& Device(std::uint32_t id) {
    for (DeviceEntry* d : hardware_.devices)
      if (d->id == id) return *d;
    throw std::runtime_error("no device " + std::to_string(id));
  }

  Engine& NewEngine() {
    engines_.push_back(std::make_unique<Engine>());
    return *engines_.back();
  }

  // An adaptor for a device and format, made through createInstance.
  Self Create(Engine& engine, std::uint32_t device, const char* format) {
    Self adaptor = createInstance_(&engine, &Device(device), format);
    if (adaptor != nullptr) adaptors_.push_back(adaptor);
    return adaptor;
  }

  void DestroyAdaptor(Self adaptor) {
    std::erase(adaptors_, adaptor);
    adaptorSlots(adaptor).destroyAndFree(adaptor);
  }

  // The device properties getDeviceAttributes declares for a device, moved
  // into an engine's container as a host does.
  void DeclareInto(Engine& engine, std::uint32_t device) {
    PropertyFactory factory;
    SourceList sources;
    TriggerList triggers;
    getDeviceAttributes_(&Device(device), "", &factory, &sources, &triggers);
    for (auto& p : factory.created) engine.container.properties.push_back(std::move(p));
  }

  static void ReleaseListeners(PropertyContainer& container) {
    for (auto& p : container.properties) {
      destroyModuleObject(p->getter);
      for (Self listener : p->listeners) destroyModuleObject(listener);
      p->getter = nullptr;
      p->listeners.clear();
    }
  }

  static std::int32_t ReadInteger(Property& property) {
    std::int32_t value = -1;
    EXPECT_NE(nullptr, property.getter) << property.name;
    if (property.getter != nullptr)
      contract::slotsOf<contract::GetterSlots>(property.getter)
          .getValue(property.getter, &property, &value);
    return value;
  }

  static double ReadDouble(Property& property) {
    double value = -1;
    EXPECT_NE(nullptr, property.getter) << property.name;
    if (property.getter != nullptr)
      contract::slotsOf<contract::GetterSlots>(property.getter)
          .getValue(property.getter, &property, &value);
    return value;
  }

  // Stores a value as the host does, then tells the property's listeners.
  static void Write(Property& property, std::int32_t value) {
    std::memcpy(property.stored, &value, sizeof value);
    for (Self listener : property.listeners)
      contract::slotsOf<contract::SetterSlots>(listener).notify(listener, &property,
                                                                property.stored);
  }

  // Opens, captures until count frames were counted, stops and closes, as a host does.
  static void Acquire(Self adaptor, Manager& m, std::uint64_t count) {
    const contract::AdaptorSlots& a = adaptorSlots(adaptor);
    ASSERT_TRUE(a.openDevice(adaptor));
    m.open = true;
    m.target = count;
    m.active = true;
    ASSERT_TRUE(a.startCapture(adaptor));
    m.acquiring = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m.counted < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(count, m.counted.load());
    EXPECT_TRUE(a.stopCapture(adaptor));
    m.acquiring = false;
    m.active = false;
    EXPECT_TRUE(a.closeDevice(adaptor));
    m.open = false;
  }

  HardwareList hardware_;
  std::vector<std::unique_ptr<Engine>> engines_;
  std::vector<Self> adaptors_;
  void* library_ = nullptr;
  contract::InitializeAdaptor initializeAdaptor_ = nullptr;
  contract::UninitializeAdaptor uninitializeAdaptor_ = nullptr;
  contract::GetAvailHW getAvailHW_ = nullptr;
  contract::GetDeviceAttributes getDeviceAttributes_ = nullptr;
  contract::CreateInstance createInstance_ = nullptr;
  std::size_t blocksBefore_ = 0;
  std::size_t locksBefore_ = 0;
};

// ---- Tests -------------------------------------------------------------------------------------

TEST_F(ConformanceTest, DiscoveryFillsTheHardwareListThroughItsSlots) {
  ASSERT_EQ(3u, hardware_.devices.size());
  const char* const names[] = {"Corvane MV-640M 100201", "Corvane CX-1280B 100202",
                               "Corvane CY-422DP 100203"};
  const std::size_t formatCounts[] = {12, 5, 11};
  for (std::size_t d = 0; d < 3; ++d) {
    const DeviceEntry& device = *hardware_.devices[d];
    EXPECT_EQ(d + 1, device.id);
    EXPECT_EQ(names[d], device.name);
    EXPECT_NE(nullptr, device.data);
    EXPECT_EQ(device.created.size(), device.formats.size()) << "every format entry made is added";
    ASSERT_EQ(formatCounts[d], device.formats.size()) << device.name;
    for (std::size_t k = 0; k < device.formats.size(); ++k) {
      const FormatEntry& format = *device.formats[k];
      EXPECT_EQ(k + 1, format.id);
      EXPECT_EQ(k == 0, format.isDefault) << format.name;
      EXPECT_NE(nullptr, format.data) << format.name;
    }
  }
  EXPECT_EQ("640X480 Mono8 7.5 FPS", Device(1).formats.front()->name);
  EXPECT_EQ("VARIABLE_1 (640X480) Raw8", Device(2).formats.back()->name);
  EXPECT_EQ(hardware_.created.size(), hardware_.devices.size());
}

TEST_F(ConformanceTest, AttributesArriveThroughTheFactorySourceAndTriggerSlots) {
  PropertyFactory factory;
  SourceList sources;
  TriggerList triggers;
  getDeviceAttributes_(&Device(2), "VARIABLE_0 (1280X960) Mono8", &factory, &sources, &triggers);

  ASSERT_EQ(1u, sources.sources.size());
  EXPECT_EQ(std::make_pair(std::string("CorvaneSource"), std::int32_t{1}), sources.sources[0]);

  using T = std::tuple<std::string, std::uint32_t, std::string, std::uint32_t>;
  const std::vector<T> expectedTriggers = {
      {"Mode_0", 0, "Source_0", 0},     {"Mode_1", 1, "Source_0", 0},
      {"Vendor_14", 14, "Source_0", 0}, {"Vendor_15", 15, "Source_0", 0},
      {"Mode_0", 0, "Source_1", 1},     {"Mode_1", 1, "Source_1", 1},
      {"Vendor_14", 14, "Source_1", 1}, {"Vendor_15", 15, "Source_1", 1}};
  EXPECT_EQ(expectedTriggers, triggers.triggers);

  std::vector<std::string> names;
  for (const Property* p : factory.added) names.push_back(p->name);
  const std::vector<std::string> expectedNames = {
      "Brightness_State",   "Brightness_Value",       "Gamma_State", "Gamma_Value", "Shutter_Value",
      "Shutter_Type",       "Shutter_Absolute_Value", "Gain_Mode",   "Gain_Value",  "Gain_Type",
      "Gain_Absolute_Value"};
  EXPECT_EQ(expectedNames, names);
  EXPECT_EQ(factory.created.size(), factory.added.size());

  // Each property is made, finished and added in one go.
  for (const Property* p : factory.added) {
    std::vector<std::string> expected;
    switch (p->type) {
      case PropertyType::kEnum:
        expected = {"createEnumProperty", "addEnumValue"};
        break;
      case PropertyType::kInteger:
        expected = {"createIntProperty"};
        break;
      case PropertyType::kDouble:
        expected = {"createDoubleProperty"};
        break;
    }
    expected.insert(expected.end(), {"setReadOnly never", "setIdentifier", "addProperty"});
    EXPECT_EQ(expected, p->steps) << p->name;
  }

  auto find = [&](const std::string& name) -> const Property& {
    for (const Property* p : factory.added)
      if (p->name == name) return *p;
    throw std::runtime_error("no property " + name);
  };
  using Values = std::vector<std::pair<std::string, std::int32_t>>;
  EXPECT_EQ(0x10050000u, find("Brightness_State").id);
  EXPECT_EQ((Values{{"On", 1}, {"Off", 0}}), find("Brightness_State").values);
  EXPECT_EQ(kBrightnessValue, find("Brightness_Value").id);
  EXPECT_EQ(0.0, find("Brightness_Value").minimum);
  EXPECT_EQ(255.0, find("Brightness_Value").maximum);
  EXPECT_EQ(0.0, find("Brightness_Value").defaultValue);
  EXPECT_EQ(0x40051C07u, find("Shutter_Type").id);
  EXPECT_EQ((Values{{"Relative", 0}, {"Absolute", 1}}), find("Shutter_Type").values);
  const Property& shutter = find("Shutter_Absolute_Value");
  EXPECT_EQ(0x81051C07u, shutter.id);
  EXPECT_EQ(static_cast<double>(0.00001f), shutter.minimum);
  EXPECT_EQ(static_cast<double>(0.5f), shutter.maximum);
  EXPECT_EQ(static_cast<double>(0.01f), shutter.defaultValue);
  EXPECT_EQ(0x20052008u, find("Gain_Mode").id);
  EXPECT_EQ((Values{{"Manual", 0}, {"Auto", 1}}), find("Gain_Mode").values);
}

TEST_F(ConformanceTest, EveryAdaptorOperationAnswersThroughItsSlot) {
  Engine& engine = NewEngine();
  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  ASSERT_NE(nullptr, engine.manager) << "the adaptor asked the kit for its manager";
  Manager& m = *engine.manager;
  EXPECT_EQ(adaptor, m.adaptor);

  const contract::AdaptorSlots& a = adaptorSlots(adaptor);
  EXPECT_EQ(640, a.getMaxWidth(adaptor));
  EXPECT_EQ(480, a.getMaxHeight(adaptor));
  EXPECT_EQ(contract::kMono8, a.getFrameType(adaptor));
  EXPECT_EQ(1, a.getBandCount(adaptor));
  EXPECT_STREQ("1.0.0", a.getVersion(adaptor));
  ASSERT_NE(nullptr, a.getDescription(adaptor));
  EXPECT_GT(std::strlen(a.getDescription(adaptor)), 10u);

  // A fixed format's region is the kit's: both operations go to the manager.
  {
    std::lock_guard<std::mutex> hold(m.regionMutex);
    const int region[4] = {8, 6, 320, 240};
    std::memcpy(m.region, region, sizeof region);
  }
  int x = -1, y = -1, w = -1, h = -1;
  a.getROI(adaptor, &x, &y, &w, &h);
  EXPECT_EQ(std::make_tuple(8, 6, 320, 240), std::make_tuple(x, y, w, h));
  a.setROI(adaptor, 16, 8, 160, 120);
  EXPECT_EQ(std::make_tuple(16, 8, 160, 120),
            std::make_tuple(m.region[0], m.region[1], m.region[2], m.region[3]));

  // The kit's own operation forwards to the manager.
  m.acquiring = true;
  const int asked = m.acquiringAsked;
  EXPECT_TRUE(a.kitDefault(adaptor));
  m.acquiring = false;
  EXPECT_FALSE(a.kitDefault(adaptor));
  EXPECT_EQ(asked + 2, m.acquiringAsked);

  // Format 7: the region lives in the format and is checked.
  Engine& engine7 = NewEngine();
  Self bayer = Create(engine7, 2, "VARIABLE_1 (640X480) Raw8");
  ASSERT_NE(nullptr, bayer);
  const contract::AdaptorSlots& b = adaptorSlots(bayer);
  EXPECT_EQ(0x06030003u, b.getFrameType(bayer));
  EXPECT_EQ(3, b.getBandCount(bayer));
  b.getROI(bayer, &x, &y, &w, &h);
  EXPECT_EQ(std::make_tuple(0, 0, 640, 480), std::make_tuple(x, y, w, h));
  b.setROI(bayer, 2, 0, 640, 480);
  const std::vector<ck::Report> reports = ck::reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_TRUE(reports[0].error);
  EXPECT_EQ("setROI", reports[0].source);
  EXPECT_EQ("Unsupported ROI values.", reports[0].message);
  EXPECT_EQ(bayer, reports[0].adaptor);
  b.setROI(bayer, 8, 4, 320, 240);
  b.getROI(bayer, &x, &y, &w, &h);
  EXPECT_EQ(std::make_tuple(8, 4, 320, 240), std::make_tuple(x, y, w, h));

  // Destruction asks the manager to stop and to close, then deletes it.
  DestroyAdaptor(adaptor);
  DestroyAdaptor(bayer);
  EXPECT_EQ(2, managersDestroyed);
  EXPECT_EQ(nullptr, engine.manager);

  ck::clearReports();
  EXPECT_EQ(nullptr, Create(NewEngine(), 1, "no such format"));
  ASSERT_EQ(1u, ck::reports().size());
  EXPECT_EQ("CorvaneImaq:createInstance", ck::reports()[0].source);
}

TEST_F(ConformanceTest, DestructionRequestsStopAndCloseThenDeletesTheManager) {
  Engine& engine = NewEngine();
  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  Manager& m = *engine.manager;
  const contract::AdaptorSlots& a = adaptorSlots(adaptor);
  ASSERT_TRUE(a.openDevice(adaptor));
  m.open = true;
  m.target = 1000000;
  m.active = true;
  ASSERT_TRUE(a.startCapture(adaptor));
  m.acquiring = true;
  managerEvents().clear();
  DestroyAdaptor(adaptor);
  const std::vector<std::string> expected = {"requestStop", "requestClose", "deleted"};
  EXPECT_EQ(expected, managerEvents());
  EXPECT_EQ(1, managersDestroyed);
  const std::size_t delivered = engine.delivered.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(delivered, engine.delivered.size()) << "no frame after the adaptor is gone";
}

TEST_F(ConformanceTest, ListenersAnswerThroughTheirSlots) {
  Engine& engine = NewEngine();
  DeclareInto(engine, 1);
  auto hostOwn = std::make_unique<Property>("FramesPerTrigger", PropertyType::kInteger);
  hostOwn->device = false;
  engine.container.properties.push_back(std::move(hostOwn));

  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  for (const auto& p : engine.container.properties) {
    if (p->device) {
      EXPECT_NE(nullptr, p->getter) << p->name;
      EXPECT_EQ(1u, p->listeners.size()) << p->name;
    } else {
      EXPECT_EQ(nullptr, p->getter) << "a host property gets no getter";
      EXPECT_TRUE(p->listeners.empty()) << "a host property gets no listener";
    }
  }

  Property& brightness = *engine.container.find("Brightness_Value");
  EXPECT_EQ(kBrightnessValue, brightness.id);
  EXPECT_EQ(128, ReadInteger(brightness));
  Write(brightness, 200);
  EXPECT_EQ(200, ReadInteger(brightness));
  EXPECT_EQ(static_cast<double>(0.01f),
            ReadDouble(*engine.container.find("Shutter_Absolute_Value")));
  EXPECT_EQ(1, ReadInteger(*engine.container.find("Gamma_State"))) << "On";
  EXPECT_TRUE(ck::reports().empty());

  // A new adaptor has an empty register cache: it reads what the camera holds.
  DestroyAdaptor(adaptor);
  ReleaseListeners(engine.container);
  Engine& second = NewEngine();
  DeclareInto(second, 1);
  ASSERT_NE(nullptr, Create(second, 1, "640X480 Mono8 60 FPS"));
  EXPECT_EQ(200, ReadInteger(*second.container.find("Brightness_Value")));
}

TEST_F(ConformanceTest, FramesReachTheEngineThroughItsSlotsAndTheFrameBuffers) {
  Engine& engine = NewEngine();
  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  Manager& m = *engine.manager;
  {
    std::lock_guard<std::mutex> hold(m.regionMutex);
    const int region[4] = {0, 0, 640, 480};
    std::memcpy(m.region, region, sizeof region);
  }
  Acquire(adaptor, m, 3);
  EXPECT_EQ(std::vector<std::string>{"triggerType"}, engine.trigger.asked);
  ASSERT_EQ(3u, engine.delivered.size());
  double last = 1000.0;
  for (std::size_t i = 0; i < engine.delivered.size(); ++i) {
    const FrameBuffer& f = *engine.delivered[i];
    EXPECT_EQ(engine.frames[i].get(), &f) << "delivered in the order they were made";
    EXPECT_EQ(contract::kMono8, f.frameType);
    EXPECT_EQ(std::make_tuple(640, 480), std::make_tuple(f.width, f.height));
    EXPECT_NE(nullptr, f.image);
    EXPECT_EQ(std::make_tuple(640, 480, 0, 0),
              std::make_tuple(f.imageWidth, f.imageHeight, f.offsetX, f.offsetY));
    EXPECT_GT(f.time, last) << "a time the kit's clock gave, later than the one before";
    EXPECT_LE(f.time, ck::lastTime());
    last = f.time;
  }

  // Format 7: the buffer has the region's size and the image is the region.
  Engine& engine7 = NewEngine();
  Self bayer = Create(engine7, 2, "VARIABLE_1 (640X480) Raw8");
  ASSERT_NE(nullptr, bayer);
  adaptorSlots(bayer).setROI(bayer, 0, 0, 320, 240);
  Acquire(bayer, *engine7.manager, 2);
  ASSERT_EQ(2u, engine7.delivered.size());
  for (const FrameBuffer* f : engine7.delivered) {
    EXPECT_EQ(0x06030003u, f->frameType);
    EXPECT_EQ(std::make_tuple(320, 240), std::make_tuple(f->width, f->height));
    EXPECT_EQ(std::make_tuple(320, 240, 0, 0),
              std::make_tuple(f->imageWidth, f->imageHeight, f->offsetX, f->offsetY));
  }
  for (const ck::Report& r : ck::reports()) ADD_FAILURE() << r.source << ": " << r.message;
}

TEST_F(ConformanceTest, AHardwareTriggerIsReadThroughTheTriggerSettingSlots) {
  Engine& engine = NewEngine();
  engine.trigger.type = contract::kHardwareTrigger;
  engine.trigger.condition = 1;
  engine.trigger.source = 1;
  Self adaptor = Create(engine, 2, "VARIABLE_1 (640X480) Raw8");
  ASSERT_NE(nullptr, adaptor);
  Manager& m = *engine.manager;
  const contract::AdaptorSlots& a = adaptorSlots(adaptor);
  ASSERT_TRUE(a.openDevice(adaptor));
  m.open = true;
  // Not armed: the thread takes no frame wait, so the stop is at once.
  EXPECT_TRUE(a.startCapture(adaptor));
  m.acquiring = true;
  const std::vector<std::string> asked = {"triggerType", "triggerCondition", "triggerSource"};
  EXPECT_EQ(asked, engine.trigger.asked);
  EXPECT_TRUE(a.stopCapture(adaptor));
  m.acquiring = false;
  EXPECT_TRUE(a.closeDevice(adaptor));
  m.open = false;
  EXPECT_TRUE(engine.delivered.empty()) << "no pulse, no frame";
}

}  // namespace
