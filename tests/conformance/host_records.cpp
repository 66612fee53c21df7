// The conformance host's operations, by the documented slot of each table,
// and the tables themselves: what the module calls when it calls the host.
#include "host_records.h"

namespace conformance_host {
namespace {

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

}  // namespace

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

}  // namespace conformance_host
