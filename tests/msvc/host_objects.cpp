#include "host_objects.h"

namespace host {

using namespace freestanding;

namespace {

const char* lastOperation = "none";

void check(bool ok, const char* what) {
  if (!ok) say("FAIL the module broke a host rule: %s", what);
  if (!ok) ExitProcess(1);
}

}  // namespace

void noteCall(const char* operation) {
  store(lastOperation, operation);
}

const char* lastCall() {
  return load(lastOperation);
}

// ---- Hardware list --------------------------------------------------------------------

FormatEntry::FormatEntry(uint32_t formatId, const char* formatName) : id(formatId) {
  copyText(name, sizeof name, formatName);
}

void FormatEntry::setAdaptorData(IMAQInterface* object) {
  check(data == nullptr, "a format entry given adaptor data twice");
  data = object;
}

DeviceEntry::DeviceEntry(uint32_t deviceId, const char* deviceName) : id(deviceId) {
  copyText(name, sizeof name, deviceName);
}

DeviceEntry::~DeviceEntry() {
  for (FormatEntry* f : created) delete f;
}

IFormatEntry* DeviceEntry::createFormat(uint32_t formatId, const char* formatName) {
  created.push(new FormatEntry(formatId, formatName));
  return created[created.size() - 1];
}

void DeviceEntry::addFormat(IFormatEntry* entry, bool isDefault) {
  FormatEntry* format = nullptr;
  for (FormatEntry* f : created)
    if (f == entry) format = f;
  check(format != nullptr, "addFormat with an entry the device did not create");
  check(!format->added, "a format entry added twice");
  format->added = true;
  format->isDefault = isDefault;
  formats.push(format);
}

IFormatEntry* DeviceEntry::formatByName(const char* formatName) {
  for (FormatEntry* f : formats)
    if (same(f->name, formatName)) return f;
  return nullptr;
}

void DeviceEntry::setAdaptorData(IMAQInterface* object) {
  check(data == nullptr, "a device entry given adaptor data twice");
  data = object;
}

int DeviceEntry::deleteAdaptorData() {
  int deleted = 0;
  for (FormatEntry* f : created) {
    deleted += f->data != nullptr ? 1 : 0;
    delete f->data;  // the module's object, through its virtual destructor
    f->data = nullptr;
  }
  deleted += data != nullptr ? 1 : 0;
  delete data;
  data = nullptr;
  return deleted;
}

HardwareList::~HardwareList() {
  for (DeviceEntry* d : created) delete d;
}

IDeviceEntry* HardwareList::createDevice(uint32_t deviceId, const char* deviceName) {
  created.push(new DeviceEntry(deviceId, deviceName));
  return created[created.size() - 1];
}

void HardwareList::addDevice(IDeviceEntry* entry) {
  DeviceEntry* device = nullptr;
  for (DeviceEntry* d : created)
    if (d == entry) device = d;
  check(device != nullptr, "addDevice with an entry the list did not create");
  check(!device->listed, "a device entry added twice");
  device->listed = true;
  devices.push(device);
}

DeviceEntry* HardwareList::device(uint32_t deviceId) {
  for (DeviceEntry* d : devices)
    if (d->id == deviceId) return d;
  return nullptr;
}

int HardwareList::deleteAdaptorData() {
  int deleted = 0;
  for (DeviceEntry* d : created) deleted += d->deleteAdaptorData();
  return deleted;
}

// ---- Properties -------------------------------------------------------------------------

Property::Property(const char* propertyName, PropertyType propertyType) : type(propertyType) {
  copyText(name, sizeof name, propertyName);
}

Property::~Property() {
  releaseListeners();
}

void Property::releaseListeners() {
  delete getter;  // the module's objects, through their virtual destructors
  getter = nullptr;
  for (IPropPostSetListener* l : listeners) delete l;
  listeners.clear();
}

PropertyFactory::~PropertyFactory() {
  for (Property* p : created) delete p;
}

// A range property: its limits, and its default as the host's stored value.
template <class T>
Property* makeRange(List<Property*>& created, const char* name, PropertyType type, T minimum,
                    T maximum, T defaultValue) {
  auto* p = new Property(name, type);
  p->minimum = minimum;
  p->maximum = maximum;
  p->defaultValue = defaultValue;
  memcpy(p->stored, &defaultValue, sizeof defaultValue);
  created.push(p);
  return p;
}

IProperty* PropertyFactory::createDoubleProperty(const char* name, double minimum, double maximum,
                                                 double defaultValue) {
  return makeRange(created, name, PropertyType::kDouble, minimum, maximum, defaultValue);
}

IProperty* PropertyFactory::createIntProperty(const char* name, int32_t minimum, int32_t maximum,
                                              int32_t defaultValue) {
  return makeRange(created, name, PropertyType::kInteger, minimum, maximum, defaultValue);
}

IProperty* PropertyFactory::createEnumProperty(const char* name, const char* valueName,
                                               int32_t valueId) {
  auto* p = new Property(name, PropertyType::kEnum);
  p->defaultValue = valueId;
  memcpy(p->stored, &valueId, sizeof valueId);
  created.push(p);
  addEnumValue(p, valueName, valueId);
  return p;
}

void PropertyFactory::addEnumValue(IProperty* property, const char* valueName, int32_t valueId) {
  EnumValue value{};
  copyText(value.name, sizeof value.name, valueName);
  value.id = valueId;
  static_cast<Property*>(property)->values.push(value);
}

void PropertyFactory::addProperty(IProperty* property) {
  auto* p = static_cast<Property*>(property);
  check(!p->added, "a property added twice");
  p->added = true;
}

void PropertyFactory::setReadOnly(IProperty* property, const char* condition) {
  auto* p = static_cast<Property*>(property);
  copyText(p->readOnly, sizeof p->readOnly, condition);
}

void PropertyFactory::setIdentifier(IProperty* property, uint32_t id) {
  static_cast<Property*>(property)->id = id;
}

Property* PropertyFactory::find(const char* name) {
  for (Property* p : created)
    if (same(p->name, name)) return p;
  return nullptr;
}

void SourceList::addSource(const char* name, int32_t id) {
  Source source{};
  copyText(source.name, sizeof source.name, name);
  source.id = id;
  sources.push(source);
}

void TriggerList::addHardwareTrigger(const char* configurationName, uint32_t configurationId,
                                     const char* sourceName, uint32_t sourceId) {
  HardwareTrigger t{};
  copyText(t.configuration, sizeof t.configuration, configurationName);
  t.configurationId = configurationId;
  copyText(t.source, sizeof t.source, sourceName);
  t.sourceId = sourceId;
  triggers.push(t);
}

PropertyContainer::~PropertyContainer() {
  for (Property* p : properties) delete p;
}

void PropertyContainer::propertyNames(const char** names) {
  noteCall("IPropertyContainer::propertyNames");
  for (size_t i = 0; i < properties.size(); ++i) names[i] = properties[i]->name;
}

void PropertyContainer::setCustomGetter(const char* name, IPropCustomGetFcn* getter) {
  noteCall("IPropertyContainer::setCustomGetter");
  Property* p = find(name);
  check(p != nullptr, "setCustomGetter for a property the container does not hold");
  delete p->getter;
  p->getter = getter;
}

void PropertyContainer::addPostSetListener(const char* name, IPropPostSetListener* listener) {
  noteCall("IPropertyContainer::addPostSetListener");
  Property* p = find(name);
  check(p != nullptr, "addPostSetListener for a property the container does not hold");
  p->listeners.push(listener);
}

IPropertyRecord* PropertyContainer::propertyRecord(const char* name) {
  noteCall("IPropertyContainer::propertyRecord");
  return find(name);
}

int32_t PropertyContainer::propertyCount() {
  noteCall("IPropertyContainer::propertyCount");
  return static_cast<int32_t>(properties.size());
}

Property* PropertyContainer::find(const char* name) {
  for (Property* p : properties)
    if (same(p->name, name)) return p;
  return nullptr;
}

void PropertyContainer::take(PropertyFactory& factory) {
  for (Property* p : factory.created) properties.push(p);
  factory.created.clear();
}

// ---- Acquisition ------------------------------------------------------------------------

int TriggerSetting::triggerType() {
  add(asked, 1L);
  return 0;  // not a hardware trigger
}
uint32_t TriggerSetting::triggerCondition() {
  add(asked, 1L);
  return 0;
}
uint32_t TriggerSetting::triggerSource() {
  add(asked, 1L);
  return 0;
}

void FrameBuffer::setImage(const void* data, int w, int h, int x, int y) {
  image = data != nullptr;
  imageWidth = w;
  imageHeight = h;
  offsetX = x;
  offsetY = y;
  // The image is the engine's only during the call: what the host keeps, it reads now.
  firstRowSum = 0;
  if (data != nullptr)
    for (int i = 0; i < w; ++i) firstRowSum += static_cast<const unsigned char*>(data)[i];
}

Engine::Engine() {
  InitializeCriticalSection(&lock_);
}

Engine::~Engine() {
  for (FrameBuffer* f : made_) delete f;
  DeleteCriticalSection(&lock_);
}

IFrameBuffer* Engine::newFrame(uint32_t frameType, int width, int height) {
  noteCall("IEngine::newFrame");
  auto* frame = new FrameBuffer(frameType, width, height);
  EnterCriticalSection(&lock_);
  made_.push(frame);
  LeaveCriticalSection(&lock_);
  return frame;
}

void Engine::deliverFrame(IFrameBuffer* frame) {
  noteCall("IEngine::deliverFrame");
  EnterCriticalSection(&lock_);
  bool made = false;
  for (FrameBuffer* f : made_) made = made || f == frame;
  if (made) delivered_.push(static_cast<FrameBuffer*>(frame));
  LeaveCriticalSection(&lock_);
  check(made, "deliverFrame with a frame the engine did not make");
}

IPropertyContainer* Engine::propertyContainer() {
  noteCall("IEngine::propertyContainer");
  return &container;
}

ITriggerSetting* Engine::currentTrigger() {
  noteCall("IEngine::currentTrigger");
  return &trigger;
}

size_t Engine::deliveredCount() {
  EnterCriticalSection(&lock_);
  const size_t n = delivered_.size();
  LeaveCriticalSection(&lock_);
  return n;
}

FrameBuffer* Engine::delivered(size_t i) {
  EnterCriticalSection(&lock_);
  FrameBuffer* f = i < delivered_.size() ? delivered_[i] : nullptr;
  LeaveCriticalSection(&lock_);
  return f;
}

long Manager::made = 0;
long Manager::destroyed = 0;

void Manager::requestStop() {
  noteCall("IAdaptorManager::requestStop");
  add(stopsRequested, 1L);
  if (load(acquiring)) adaptor->stopCapture();
  store(acquiring, false);
}

void Manager::requestClose() {
  noteCall("IAdaptorManager::requestClose");
  add(closesRequested, 1L);
  requestStop();
  if (load(open)) adaptor->closeDevice();
  store(open, false);
}

bool Manager::deviceIsOpen() {
  noteCall("IAdaptorManager::deviceIsOpen");
  return load(open);
}

IEngine* Manager::engine() {
  noteCall("IAdaptorManager::engine");
  return engine_;
}

void Manager::countFrame() {
  noteCall("IAdaptorManager::countFrame");
  add(counted, 1L);
}

bool Manager::deviceIsAcquiring() {
  noteCall("IAdaptorManager::deviceIsAcquiring");
  add(acquiringAsked, 1L);
  return load(acquiring);
}

void Manager::regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) {
  noteCall("IAdaptorManager::regionOfInterest");
  offsetX = region[0];
  offsetY = region[1];
  width = region[2];
  height = region[3];
}

void Manager::setRegionOfInterest(int offsetX, int offsetY, int width, int height) {
  noteCall("IAdaptorManager::setRegionOfInterest");
  region[0] = offsetX;
  region[1] = offsetY;
  region[2] = width;
  region[3] = height;
}

bool Manager::frameWanted() {
  noteCall("IAdaptorManager::frameWanted");
  return load(counted) < load(target);
}

bool Manager::acquisitionActive() {
  noteCall("IAdaptorManager::acquisitionActive");
  return load(active) && load(counted) < load(target);
}

void Manager::trap11() {
  stop(5,
       "host: a call through slot 11 of the adaptor manager, past its last operation: the module "
       "lays out its table otherwise than Microsoft's C++ ABI");
}

void Manager::trap12() {
  stop(5,
       "host: a call through slot 12 of the adaptor manager, past its last operation: the module "
       "lays out its table otherwise than Microsoft's C++ ABI");
}

bool Manager::acquire(long count) {
  if (!adaptor->openDevice()) return false;
  store(open, true);
  store(target, count);
  store(counted, 0L);
  store(active, true);
  if (!adaptor->startCapture()) return false;
  store(acquiring, true);
  const uint64_t deadline = GetTickCount64() + 30000;
  while (load(counted) < count && GetTickCount64() < deadline) Sleep(5);
  const bool stopped = adaptor->stopCapture();
  store(acquiring, false);
  store(active, false);
  const bool closed = adaptor->closeDevice();
  store(open, false);
  return stopped && closed && load(counted) >= count;
}

IAdaptorManager* makeManager(IAdaptor* adaptor, IEngine* engine) {
  auto* e = static_cast<Engine*>(engine);
  auto* m = new Manager(adaptor, e);
  e->manager = m;
  return m;
}

}  // namespace host
