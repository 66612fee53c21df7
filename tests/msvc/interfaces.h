// The host kit's interfaces as a host built with Microsoft's C++ compiler
// declares them, written from the documented interfaces alone: ordinary C++ classes, with a
// virtual destructor where the interface documents one, operations in
// the documented order. The compiler lays out their tables; nothing here comes
// from the module's headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(KIT_BUILD)
#define KIT_API __declspec(dllexport)
#else
#define KIT_API __declspec(dllimport)
#endif

class IAdaptor;
class IAdaptorManager;
class IEngine;
class IMAQInterface;
class IPropertyRecord;

// The host's handle for a property its factory made; the module only passes it back.
class IProperty {};

// The lock and the lock holder: how the kit names them is the kit's; these are
// the names the module's kit header gives them, which decorate the kit
// functions' names.
class ICriticalSection {
 public:
  virtual ~ICriticalSection() {}
  virtual void enter() = 0;
  virtual void leave() = 0;
};

class IAutoCriticalSection {
 public:
  virtual ~IAutoCriticalSection() {}
  virtual void enter() = 0;
  virtual void leave() = 0;
};

// ---- Kit functions ---------------------------------------------------------------------

KIT_API void* imaqmalloc(size_t size);
KIT_API void imaqfree(void* block);
KIT_API void adaptorError(IAdaptor* adaptor, const char* operation, const char* format, ...);
KIT_API void adaptorWarn(const char* identifier, const char* format, ...);
KIT_API ICriticalSection* createCriticalSection();
KIT_API IAutoCriticalSection* createAutoCriticalSection(ICriticalSection* section, bool lockNow);
KIT_API IAdaptorManager* createAdaptorManager(IAdaptor* adaptor, IEngine* engine);
KIT_API double getCurrentTime();

// ---- Host objects --------------------------------------------------------------------

class IAdaptorManager {
 public:
  virtual ~IAdaptorManager() {}
  virtual void requestClose() = 0;
  virtual void requestStop() = 0;
  virtual bool deviceIsOpen() = 0;
  virtual bool deviceIsAcquiring() = 0;
  virtual IEngine* engine() = 0;
  virtual void regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) = 0;
  virtual void setRegionOfInterest(int offsetX, int offsetY, int width, int height) = 0;
  virtual void countFrame() = 0;
  virtual bool frameWanted() = 0;
  virtual bool acquisitionActive() = 0;
};

class IFrameBuffer {
 public:
  virtual void setImage(const void* data, int width, int height, int offsetX, int offsetY) = 0;
  virtual void setTime(double time) = 0;
};

class ITriggerSetting {
 public:
  virtual int triggerType() = 0;
  virtual uint32_t triggerCondition() = 0;
  virtual uint32_t triggerSource() = 0;
};

class IPropertyRecord {
 public:
  virtual const void* storedValue() = 0;
  virtual uint32_t identifier() = 0;
  virtual bool isDeviceProperty() = 0;
};

class IPropCustomGetFcn;
class IPropPostSetListener;

class IPropertyContainer {
 public:
  virtual IPropertyRecord* propertyRecord(const char* name) = 0;
  virtual int32_t propertyCount() = 0;
  virtual void propertyNames(const char** names) = 0;
  virtual void setCustomGetter(const char* name, IPropCustomGetFcn* getter) = 0;
  virtual void addPostSetListener(const char* name, IPropPostSetListener* listener) = 0;
};

class IEngine {
 public:
  virtual IFrameBuffer* newFrame(uint32_t frameType, int width, int height) = 0;
  virtual void deliverFrame(IFrameBuffer* frame) = 0;
  virtual IPropertyContainer* propertyContainer() = 0;
  virtual ITriggerSetting* currentTrigger() = 0;
};

class IFormatEntry {
 public:
  virtual void setAdaptorData(IMAQInterface* object) = 0;
  virtual IMAQInterface* adaptorData() = 0;
};

class IDeviceEntry {
 public:
  virtual IFormatEntry* createFormat(uint32_t id, const char* name) = 0;
  virtual void addFormat(IFormatEntry* entry, bool isDefault) = 0;
  virtual IFormatEntry* formatByName(const char* name) = 0;
  virtual void setAdaptorData(IMAQInterface* object) = 0;
  virtual IMAQInterface* adaptorData() = 0;
};

class IHardwareList {
 public:
  virtual IDeviceEntry* createDevice(uint32_t id, const char* name) = 0;
  virtual void addDevice(IDeviceEntry* entry) = 0;
};

class IPropertyFactory {
 public:
  virtual IProperty* createDoubleProperty(const char* name, double minimum, double maximum,
                                          double defaultValue) = 0;
  virtual IProperty* createIntProperty(const char* name, int32_t minimum, int32_t maximum,
                                       int32_t defaultValue) = 0;
  virtual IProperty* createEnumProperty(const char* name, const char* valueName,
                                        int32_t valueId) = 0;
  virtual void addEnumValue(IProperty* property, const char* valueName, int32_t valueId) = 0;
  virtual void addProperty(IProperty* property) = 0;
  virtual void setReadOnly(IProperty* property, const char* condition) = 0;
  virtual void setIdentifier(IProperty* property, uint32_t id) = 0;
};

class ISourceList {
 public:
  virtual void addSource(const char* name, int32_t id) = 0;
};

class ITriggerList {
 public:
  virtual void addHardwareTrigger(const char* configurationName, uint32_t configurationId,
                                  const char* sourceName, uint32_t sourceId) = 0;
};

// ---- What the module implements ------------------------------------------------------

class IMAQInterface {
 public:
  virtual ~IMAQInterface() {}
};

class IPropCustomGetFcn : public IMAQInterface {
 public:
  virtual void getValue(IPropertyRecord* record, void* valueBuffer) = 0;
};

class IPropPostSetListener : public IMAQInterface {
 public:
  virtual void notify(IPropertyRecord* record, const void* newValue) = 0;
};

class IAdaptor : public IMAQInterface {
 public:
  // The kit's own operation; its default forwards to the adaptor manager.
  virtual bool isAcquiring() = 0;
  virtual void getROI(int& offsetX, int& offsetY, int& width, int& height) = 0;
  virtual void setROI(int offsetX, int offsetY, int width, int height) = 0;
  virtual int getMaxWidth() = 0;
  virtual int getMaxHeight() = 0;
  virtual uint32_t getFrameType() = 0;
  virtual int getBandCount() = 0;
  virtual const char* getDescription() = 0;
  virtual const char* getVersion() = 0;
  virtual bool openDevice() = 0;
  virtual bool closeDevice() = 0;
  virtual bool startCapture() = 0;
  virtual bool stopCapture() = 0;

 protected:
  IAdaptorManager* manager;
};

// ---- Not the kit's interface: what this test's kit tells its host -----------------------

struct KitCounts {
  long blocks;      // imaqmalloc blocks not given back
  long locks;       // locks not destroyed
  long holders;     // holders not destroyed
  long violations;  // rules the module broke
  long reports;     // adaptorError and adaptorWarn calls
  long clockReads;  // getCurrentTime calls; the nth read answered n / 4.0
};
struct KitReport {
  bool error;  // adaptorError, else adaptorWarn
  IAdaptor* adaptor;
  char source[64];  // the operation (errors) or the identifier (warnings)
  char message[256];
};
using ManagerFactory = IAdaptorManager* (*)(IAdaptor* adaptor, IEngine* engine);

extern "C" {
KIT_API void kitCounts(KitCounts* counts);
// Report index (from 0) of those kept; false past the last.
KIT_API bool kitReport(long index, KitReport* report);
KIT_API void kitSetManagerFactory(ManagerFactory factory);
}
