// The Microsoft-ABI host's objects: ordinary C++ classes implementing the
// kit's host interfaces, keeping what the module told them.
#pragma once

#include "freestanding.h"
#include "interfaces.h"

namespace host {

using freestanding::List;

// The last operation the module called on a host object, for a crash report:
// a call through the wrong slot crashes in the operation that slot holds.
void noteCall(const char* operation);
const char* lastCall();

class FormatEntry final : public IFormatEntry {
 public:
  FormatEntry(uint32_t id, const char* name);
  void setAdaptorData(IMAQInterface* object) override;
  IMAQInterface* adaptorData() override { return data; }

  uint32_t id;
  char name[256];
  IMAQInterface* data = nullptr;
  bool added = false;
  bool isDefault = false;
};

class DeviceEntry final : public IDeviceEntry {
 public:
  DeviceEntry(uint32_t id, const char* name);
  ~DeviceEntry();
  IFormatEntry* createFormat(uint32_t id, const char* name) override;
  void addFormat(IFormatEntry* entry, bool isDefault) override;
  IFormatEntry* formatByName(const char* name) override;
  void setAdaptorData(IMAQInterface* object) override;
  IMAQInterface* adaptorData() override { return data; }
  // Deletes the module's objects attached to this entry and its formats, as a
  // host does when it lets go of its hardware list.
  int deleteAdaptorData();

  uint32_t id;
  char name[160];
  IMAQInterface* data = nullptr;
  List<FormatEntry*> created;
  List<FormatEntry*> formats;  // added, in order
  bool listed = false;
};

class HardwareList final : public IHardwareList {
 public:
  HardwareList() = default;
  ~HardwareList();
  IDeviceEntry* createDevice(uint32_t id, const char* name) override;
  void addDevice(IDeviceEntry* entry) override;
  DeviceEntry* device(uint32_t id);
  int deleteAdaptorData();

  List<DeviceEntry*> created;
  List<DeviceEntry*> devices;  // added, in order
};

enum class PropertyType { kDouble, kInteger, kEnum };

struct EnumValue {
  char name[16];
  int32_t id;
};

// A property as the factory makes it; the module passes it back as IProperty.
class Property final : public IPropertyRecord, public IProperty {
 public:
  Property(const char* name, PropertyType type);
  ~Property();
  const void* storedValue() override { return stored; }
  uint32_t identifier() override { return id; }
  bool isDeviceProperty() override { return device; }
  // Deletes the getter and listeners the module installed.
  void releaseListeners();

  char name[200];
  PropertyType type;
  double minimum = 0, maximum = 0, defaultValue = 0;
  List<EnumValue> values;
  uint32_t id = 0;
  bool device = true;
  bool added = false;
  char readOnly[16] = {};
  unsigned char stored[8] = {};
  IPropCustomGetFcn* getter = nullptr;
  List<IPropPostSetListener*> listeners;
};

class PropertyFactory final : public IPropertyFactory {
 public:
  PropertyFactory() = default;
  ~PropertyFactory();
  IProperty* createDoubleProperty(const char* name, double minimum, double maximum,
                                  double defaultValue) override;
  IProperty* createIntProperty(const char* name, int32_t minimum, int32_t maximum,
                               int32_t defaultValue) override;
  IProperty* createEnumProperty(const char* name, const char* valueName, int32_t valueId) override;
  void addEnumValue(IProperty* property, const char* valueName, int32_t valueId) override;
  void addProperty(IProperty* property) override;
  void setReadOnly(IProperty* property, const char* condition) override;
  void setIdentifier(IProperty* property, uint32_t id) override;
  Property* find(const char* name);

  List<Property*> created;
};

struct Source {
  char name[16];
  int32_t id;
};
class SourceList final : public ISourceList {
 public:
  void addSource(const char* name, int32_t id) override;
  List<Source> sources;
};

struct HardwareTrigger {
  char configuration[16];
  uint32_t configurationId;
  char source[16];
  uint32_t sourceId;
};
class TriggerList final : public ITriggerList {
 public:
  void addHardwareTrigger(const char* configurationName, uint32_t configurationId,
                          const char* sourceName, uint32_t sourceId) override;
  List<HardwareTrigger> triggers;
};

class PropertyContainer final : public IPropertyContainer {
 public:
  PropertyContainer() = default;
  ~PropertyContainer();
  IPropertyRecord* propertyRecord(const char* name) override;
  int32_t propertyCount() override;
  void propertyNames(const char** names) override;
  void setCustomGetter(const char* name, IPropCustomGetFcn* getter) override;
  void addPostSetListener(const char* name, IPropPostSetListener* listener) override;
  Property* find(const char* name);
  // Takes the properties a factory made, as a host fills an engine's container.
  void take(PropertyFactory& factory);

  List<Property*> properties;
};

class TriggerSetting final : public ITriggerSetting {
 public:
  int triggerType() override;
  uint32_t triggerCondition() override;
  uint32_t triggerSource() override;
  long asked = 0;
};

class FrameBuffer final : public IFrameBuffer {
 public:
  FrameBuffer(uint32_t frameType, int width, int height)
      : frameType(frameType), width(width), height(height) {}
  void setImage(const void* data, int imageWidth, int imageHeight, int offsetX,
                int offsetY) override;
  void setTime(double value) override { time = value; }

  uint32_t frameType;
  int width, height;
  bool image = false;
  uint64_t firstRowSum = 0;
  int imageWidth = -1, imageHeight = -1, offsetX = -1, offsetY = -1;
  double time = -1;
};

class Manager;

class Engine final : public IEngine {
 public:
  Engine();
  ~Engine();
  IFrameBuffer* newFrame(uint32_t frameType, int width, int height) override;
  void deliverFrame(IFrameBuffer* frame) override;
  IPropertyContainer* propertyContainer() override;
  ITriggerSetting* currentTrigger() override;
  // Frames delivered so far; frame i of them when i < that count.
  size_t deliveredCount();
  FrameBuffer* delivered(size_t i);

  PropertyContainer container;
  TriggerSetting trigger;
  Manager* manager = nullptr;

 private:
  CriticalSectionStorage lock_;
  List<FrameBuffer*> made_;
  List<FrameBuffer*> delivered_;
};

// The adaptor manager the kit makes for an adaptor (through the host's factory).
class Manager final : public IAdaptorManager {
 public:
  Manager(IAdaptor* adaptor, Engine* engine) : adaptor(adaptor), engine_(engine) { ++made; }
  ~Manager() override { ++destroyed; }
  void requestClose() override;
  void requestStop() override;
  bool deviceIsOpen() override;
  bool deviceIsAcquiring() override;
  IEngine* engine() override;
  void regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) override;
  void setRegionOfInterest(int offsetX, int offsetY, int width, int height) override;
  void countFrame() override;
  bool frameWanted() override;
  bool acquisitionActive() override;
  virtual void trap11();
  virtual void trap12();

  // Opens, captures until count frames were counted, stops and closes as a
  // host does. False when an operation failed or the frames did not come.
  bool acquire(long count);

  static long made;
  static long destroyed;
  IAdaptor* adaptor;
  bool open = false;
  bool acquiring = false;
  bool active = false;  // an acquisition is armed: frames are wanted until target are counted
  long target = 0;
  long counted = 0;
  long acquiringAsked = 0;
  long stopsRequested = 0;
  long closesRequested = 0;
  int region[4] = {0, 0, 0, 0};

 private:
  Engine* engine_;
};

IAdaptorManager* makeManager(IAdaptor* adaptor, IEngine* engine);

}  // namespace host
