// The host's adaptor kit as the module sees it: kit functions exported by the
// host kit library (imaqmex) and the interfaces of the host objects that are
// handed to the module's entry points.
//
// Every interface lists its operations in the host's slot order: the order of
// declaration is the binary contract with a host built elsewhere. A virtual
// destructor is declared only where the host's interface has one (the adaptor
// manager, the lock and its holder, IMAQInterface and what derives from it);
// the other host interfaces have a protected non-virtual destructor, so that
// they take no slot and nothing can delete a host object through them.
// An adaptor reaches host objects only through these operations.
//
// The boundary speaks the platform's C++ ABI. On Linux that is the compiler's
// own (g++ hosts, the Itanium ABI). On Windows it is Microsoft's, which a
// compiler in Microsoft's mode speaks by itself; mingw-w64 speaks the Itanium
// ABI, so under it this header lays out the two things that differ (see
// "Microsoft's C++ ABI under mingw-w64" below). Implement an interface that has
// a destructor through imaqkit::Implements, and destroy a host or kit object
// through imaqkit::destroy: then the same code is right on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#if defined(_WIN32) && !defined(_MSC_VER)
#define IMAQKIT_MICROSOFT_LAYOUT 1
#else
#define IMAQKIT_MICROSOFT_LAYOUT 0
#endif

#if defined(_WIN32)
#if defined(IMAQKIT_BUILD)
#define IMAQKIT_API __declspec(dllexport)
#else
#define IMAQKIT_API __declspec(dllimport)
#endif
#else
#define IMAQKIT_API __attribute__((visibility("default")))
#endif

#if defined(__clang__) || defined(_MSC_VER)
#define IMAQKIT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define IMAQKIT_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#endif

// ---- Microsoft's C++ ABI under mingw-w64 -------------------------------------------------

// The kit functions' symbol names in a kit built by Microsoft's compiler from
// the declarations below: its decoration of them, class keys ("class", V) and
// the lock types' names included. A kit that declares them differently
// exports other names; an integrator changes them here, and nowhere else.
// scripts/check-binaries.sh holds these to what clang's Microsoft mode makes
// of this header's declarations.
#define IMAQKIT_SYMBOL_imaqmalloc "?imaqmalloc@@YAPEAX_K@Z"
#define IMAQKIT_SYMBOL_imaqfree "?imaqfree@@YAXPEAX@Z"
#define IMAQKIT_SYMBOL_adaptorError "?adaptorError@@YAXPEAVIAdaptor@@PEBD1ZZ"
#define IMAQKIT_SYMBOL_adaptorWarn "?adaptorWarn@@YAXPEBD0ZZ"
#define IMAQKIT_SYMBOL_createCriticalSection "?createCriticalSection@@YAPEAVICriticalSection@@XZ"
#define IMAQKIT_SYMBOL_createAutoCriticalSection \
  "?createAutoCriticalSection@@YAPEAVIAutoCriticalSection@@PEAVICriticalSection@@_N@Z"
#define IMAQKIT_SYMBOL_createAdaptorManager \
  "?createAdaptorManager@@YAPEAVIAdaptorManager@@PEAVIAdaptor@@PEAVIEngine@@@Z"
#define IMAQKIT_SYMBOL_getCurrentTime "?getCurrentTime@@YANXZ"

#if IMAQKIT_MICROSOFT_LAYOUT
#if !defined(__clang__)
// g++ writes assembly text, where these names would need quoting.
#error "Build for Windows with clang (in mingw-w64 or Microsoft's mode), not with g++."
#endif
// A kit function goes by its Microsoft name.
#define IMAQKIT_SYMBOL(name) __asm__(IMAQKIT_SYMBOL_##name)
// Microsoft's compiler gives a virtual destructor one slot, where it is
// declared: a deleting destructor that takes flags (bit 0: give the storage
// back, as delete does) and returns the object. The Itanium ABI would give it
// two slots and shift every later operation. So an interface's destructor is
// this one slot, and the real destructor stays out of the interface's table.
#define IMAQKIT_INTERFACE_DESTRUCTOR(Type)                      \
 public:                                                        \
  virtual void* imaqDeletingDestructor(unsigned int flags) = 0; \
                                                                \
 protected:                                                     \
  ~Type() = default;                                            \
                                                                \
 public:
#define IMAQKIT_DERIVED_DESTRUCTOR(Type) \
 protected:                              \
  ~Type()
#else
#define IMAQKIT_SYMBOL(name)
#define IMAQKIT_INTERFACE_DESTRUCTOR(Type) \
 public:                                   \
  virtual ~Type() = default;
#define IMAQKIT_DERIVED_DESTRUCTOR(Type) \
 public:                                 \
  ~Type() override
#endif

namespace imaqkit {

// Bit 0 of a deleting destructor's flags: give the storage back.
inline constexpr unsigned int kFreeStorage = 1;

// Destroys an object through its interface as the platform's delete does:
// the adaptor manager, a lock or a holder (kit objects), or, for a host, an
// object the module handed over. Null is ignored.
template <class Interface>
void destroy(Interface* object) noexcept {
#if IMAQKIT_MICROSOFT_LAYOUT
  if (object != nullptr) object->imaqDeletingDestructor(kFreeStorage);
#else
  delete object;
#endif
}

#if IMAQKIT_MICROSOFT_LAYOUT
// Base of a class that implements Interface, which has a destructor. The
// deleting destructor slot runs the most derived destructor, which is virtual
// here, behind the interface's last operation, where no host looks.
template <class Interface>
class Implements : public Interface {
 public:
  using Interface::Interface;
  virtual ~Implements() = default;

  void* imaqDeletingDestructor(unsigned int flags) final {
    void* self = this;
    if ((flags & kFreeStorage) != 0) {
      delete this;
    } else {
      this->~Implements();
    }
    return self;
  }
};
#else
template <class Interface>
using Implements = Interface;
#endif

}  // namespace imaqkit

class IAdaptor;
class IAdaptorManager;
class IEngine;
class IFrameBuffer;
class IPropertyContainer;
class IPropertyRecord;
class ITriggerSetting;
class IPropCustomGetFcn;
class IPropPostSetListener;
class IMAQInterface;
// A property made by the host's factory; the module only passes it back.
class IProperty;

// A host lock.
class ICriticalSection {
  IMAQKIT_INTERFACE_DESTRUCTOR(ICriticalSection)
  virtual void enter() = 0;
  virtual void leave() = 0;
};

// A holder on a critical section; releases a held lock when destroyed.
class IAutoCriticalSection {
  IMAQKIT_INTERFACE_DESTRUCTOR(IAutoCriticalSection)
  virtual void enter() = 0;
  virtual void leave() = 0;
};

// ---- Kit functions -----------------------------------------------------------

// Storage for every object handed to the host. imaqmalloc returns null when it
// cannot allocate.
IMAQKIT_API void* imaqmalloc(std::size_t size) IMAQKIT_SYMBOL(imaqmalloc);
IMAQKIT_API void imaqfree(void* block) IMAQKIT_SYMBOL(imaqfree);

// An error that fails the named operation of the adaptor.
IMAQKIT_API void adaptorError(IAdaptor* adaptor, const char* operation, const char* format, ...)
    IMAQKIT_SYMBOL(adaptorError) IMAQKIT_PRINTF(3, 4);
// A problem the adaptor survives; identifier is "CorvaneImaq:<operation>".
IMAQKIT_API void adaptorWarn(const char* identifier, const char* format, ...)
    IMAQKIT_SYMBOL(adaptorWarn) IMAQKIT_PRINTF(2, 3);

IMAQKIT_API ICriticalSection* createCriticalSection() IMAQKIT_SYMBOL(createCriticalSection);
// lockNow true: the holder holds the lock at once.
IMAQKIT_API IAutoCriticalSection* createAutoCriticalSection(ICriticalSection* section, bool lockNow)
    IMAQKIT_SYMBOL(createAutoCriticalSection);
IMAQKIT_API IAdaptorManager* createAdaptorManager(IAdaptor* adaptor, IEngine* engine)
    IMAQKIT_SYMBOL(createAdaptorManager);
// Host clock in seconds.
IMAQKIT_API double getCurrentTime() IMAQKIT_SYMBOL(getCurrentTime);

// ---- Objects handed to the host ----------------------------------------------

// Base of every object the module hands to the host. Such objects live in
// imaqmalloc storage and their deleting destructor gives it back with
// imaqfree; make them with imaqNew.
class IMAQInterface {
  IMAQKIT_INTERFACE_DESTRUCTOR(IMAQInterface)

  static void* operator new(std::size_t) = delete;
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void* block) noexcept { imaqfree(block); }
  static void operator delete(void*, void*) noexcept {}
};

// Allocates with imaqmalloc and constructs T there. Returns null when the host
// has no storage or the constructor throws; nothing is leaked either way.
template <class T, class... Args>
T* imaqNew(Args&&... args) noexcept {
  void* block = imaqmalloc(sizeof(T));
  if (block == nullptr) return nullptr;
  try {
    return new (block) T(std::forward<Args>(args)...);
  } catch (...) {
    imaqfree(block);
    return nullptr;
  }
}

class IPropCustomGetFcn : public IMAQInterface {
 public:
  // Writes the property's current value into valueBuffer (a 32-bit integer,
  // or a 64-bit double for double properties).
  virtual void getValue(IPropertyRecord* record, void* valueBuffer) = 0;

  IMAQKIT_DERIVED_DESTRUCTOR(IPropCustomGetFcn) = default;
};

class IPropPostSetListener : public IMAQInterface {
 public:
  // Told after the host has stored newValue for the property.
  virtual void notify(IPropertyRecord* record, const void* newValue) = 0;

  IMAQKIT_DERIVED_DESTRUCTOR(IPropPostSetListener) = default;
};

// ---- Host objects --------------------------------------------------------------

class IFrameBuffer {
 public:
  // data is a width x height image; the frame's region lies at the offsets.
  virtual void setImage(const void* data, int width, int height, int offsetX, int offsetY) = 0;
  virtual void setTime(double time) = 0;

 protected:
  ~IFrameBuffer() = default;
};

class ITriggerSetting {
 public:
  // 2 is a hardware trigger.
  virtual int triggerType() = 0;
  virtual std::uint32_t triggerCondition() = 0;
  virtual std::uint32_t triggerSource() = 0;

 protected:
  ~ITriggerSetting() = default;
};

class IPropertyRecord {
 public:
  // The host's copy of the value: 4 bytes (integer) or 8 bytes (double).
  virtual const void* storedValue() = 0;
  virtual std::uint32_t identifier() = 0;
  virtual bool isDeviceProperty() = 0;

 protected:
  ~IPropertyRecord() = default;
};

class IPropertyContainer {
 public:
  virtual IPropertyRecord* propertyRecord(const char* name) = 0;
  virtual std::int32_t propertyCount() = 0;
  // Fills names[0 .. propertyCount()-1]; the texts belong to the host.
  virtual void propertyNames(const char** names) = 0;
  // The host takes ownership of getter and listener.
  virtual void setCustomGetter(const char* name, IPropCustomGetFcn* getter) = 0;
  virtual void addPostSetListener(const char* name, IPropPostSetListener* listener) = 0;

 protected:
  ~IPropertyContainer() = default;
};

class IEngine {
 public:
  // May return null when the host has no buffer to give.
  virtual IFrameBuffer* newFrame(std::uint32_t frameType, int width, int height) = 0;
  virtual void deliverFrame(IFrameBuffer* frame) = 0;
  virtual IPropertyContainer* propertyContainer() = 0;
  virtual ITriggerSetting* currentTrigger() = 0;

 protected:
  ~IEngine() = default;
};

class IAdaptorManager {
  IMAQKIT_INTERFACE_DESTRUCTOR(IAdaptorManager)
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

class IFormatEntry {
 public:
  // The entry owns object from now on.
  virtual void setAdaptorData(IMAQInterface* object) = 0;
  virtual IMAQInterface* adaptorData() = 0;

 protected:
  ~IFormatEntry() = default;
};

class IDeviceEntry {
 public:
  virtual IFormatEntry* createFormat(std::uint32_t id, const char* name) = 0;
  virtual void addFormat(IFormatEntry* entry, bool isDefault) = 0;
  // Null when no format has that name.
  virtual IFormatEntry* formatByName(const char* name) = 0;
  virtual void setAdaptorData(IMAQInterface* object) = 0;
  virtual IMAQInterface* adaptorData() = 0;

 protected:
  ~IDeviceEntry() = default;
};

class IHardwareList {
 public:
  virtual IDeviceEntry* createDevice(std::uint32_t id, const char* name) = 0;
  virtual void addDevice(IDeviceEntry* entry) = 0;

 protected:
  ~IHardwareList() = default;
};

class IPropertyFactory {
 public:
  virtual IProperty* createDoubleProperty(const char* name, double minimum, double maximum,
                                          double defaultValue) = 0;
  virtual IProperty* createIntProperty(const char* name, std::int32_t minimum, std::int32_t maximum,
                                       std::int32_t defaultValue) = 0;
  virtual IProperty* createEnumProperty(const char* name, const char* valueName,
                                        std::int32_t valueId) = 0;
  virtual void addEnumValue(IProperty* property, const char* valueName, std::int32_t valueId) = 0;
  virtual void addProperty(IProperty* property) = 0;
  virtual void setReadOnly(IProperty* property, const char* condition) = 0;
  virtual void setIdentifier(IProperty* property, std::uint32_t id) = 0;

 protected:
  ~IPropertyFactory() = default;
};

class ISourceList {
 public:
  virtual void addSource(const char* name, std::int32_t id) = 0;

 protected:
  ~ISourceList() = default;
};

class ITriggerList {
 public:
  virtual void addHardwareTrigger(const char* configurationName, std::uint32_t configurationId,
                                  const char* sourceName, std::uint32_t sourceId) = 0;

 protected:
  ~ITriggerList() = default;
};

// ---- The adaptor -----------------------------------------------------------------

// Base of the module's adaptor object. The base creates the adaptor manager
// and destroys it; getROI/setROI default to the kit's region of interest.
class IAdaptor : public IMAQInterface {
 public:
  explicit IAdaptor(IEngine* engine) : manager(createAdaptorManager(this, engine)) {}
  IAdaptor(const IAdaptor&) = delete;
  IAdaptor& operator=(const IAdaptor&) = delete;

  // The kit's own operation: whether the host reports the device acquiring.
  virtual bool isAcquiring() { return manager != nullptr && manager->deviceIsAcquiring(); }
  virtual void getROI(int& offsetX, int& offsetY, int& width, int& height) {
    manager->regionOfInterest(offsetX, offsetY, width, height);
  }
  virtual void setROI(int offsetX, int offsetY, int width, int height) {
    manager->setRegionOfInterest(offsetX, offsetY, width, height);
  }
  virtual int getMaxWidth() = 0;
  virtual int getMaxHeight() = 0;
  virtual std::uint32_t getFrameType() = 0;
  virtual int getBandCount() = 0;
  virtual const char* getDescription() = 0;
  virtual const char* getVersion() = 0;
  virtual bool openDevice() = 0;
  virtual bool closeDevice() = 0;
  virtual bool startCapture() = 0;
  virtual bool stopCapture() = 0;

  IMAQKIT_DERIVED_DESTRUCTOR(IAdaptor) { imaqkit::destroy(manager); }

 protected:
  IAdaptorManager* manager;
};
