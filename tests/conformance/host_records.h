// The conformance host's records: plain records whose first field points at
// a table of operations laid out in the documented order (contract.h), and how
// the host loads the module and reaches its objects by slot. The tables and
// the operations behind them are in host_records.cpp.
#pragma once

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

namespace conformance_host {

using conformance::as;
using conformance::Word;
using contract::Self;

// ---- Loading the module from this program's folder -------------------------------

inline constexpr char kModuleFile[] = "CorvaneImaq.so";
inline std::string programDirectory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  return text.substr(0, text.rfind('/') + 1);
}
inline void* openLibrary(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
inline void* findSymbol(void* library, const char* name) {
  return dlsym(library, name);
}
inline void closeLibrary(void* library) {
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

inline std::atomic<int> managersDestroyed{0};

// What the adaptor asked of its managers, in order (host threads only).
inline std::vector<std::string>& managerEvents() {
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

inline const contract::AdaptorSlots& adaptorSlots(Self adaptor) {
  return contract::slotsOf<contract::AdaptorSlots>(adaptor);
}

inline void destroyModuleObject(Self object) {
  if (object != nullptr) contract::slotsOf<contract::ObjectSlots>(object).destroyAndFree(object);
}

// The manager the kit makes for an adaptor, on the engine the module was given.
Self makeManager(Self adaptor, Self engineObject);

}  // namespace conformance_host
