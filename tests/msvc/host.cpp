// A host built with Microsoft's C++ ABI (clang in Microsoft's mode, linked by
// lld-link, no runtime but msvcrt.dll and kernel32.dll) takes the module
// through a whole life, as a host on Windows does: load and the five entry
// points; discovery, and a plain delete of every object the module attached;
// attributes; adaptors and every operation of theirs; getters and listeners
// through the host's container; open, start, frames and their times, stop,
// close; a plain delete of every adaptor, getter and listener; every kit block,
// lock, holder and manager given back; uninitialise and unload. Then it resets
// the module (load to unload) dozens of times: the process heaps stay as they were.
//
// It prints one line for each failed check and ends with 0 only when none
// failed. A crash anywhere is reported with its code, address and module.
#include "freestanding.h"
#include "host_objects.h"
#include "interfaces.h"

using namespace freestanding;
using namespace host;

namespace {

long checks = 0;
long failures = 0;
const char* step = "loading";

__attribute__((format(printf, 2, 3))) bool check(bool ok, const char* format, ...) {
  ++checks;
  if (ok) return true;
  ++failures;
  char line[512];
  va_list args;
  va_start(args, format);
  _vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  line[sizeof line - 1] = '\0';
  say("FAIL %s", line);
  return false;
}

long crashFilter(ExceptionPointers* exception) {
  const ExceptionRecord& r = *exception->record;
  char module[260] = "an unknown module";
  Handle handle = nullptr;
  constexpr Dword kFromAddress = 4, kUnchangedCount = 2;
  if (GetModuleHandleExA(kFromAddress | kUnchangedCount, r.address, &handle) != 0)
    GetModuleFileNameA(handle, module, sizeof module);
  stop(3,
       "FAIL crashed during %s: exception 0x%08lx at %p in %s; the module's last call into the "
       "host: %s (%ld checks, %ld failed before)",
       step, r.code, r.address, module, lastCall(), checks, failures);
}

Dword watchdog(void*) {
  Sleep(100000);
  stop(4, "FAIL hung: the life did not end within 100 s (%ld checks, %ld failed)", checks,
       failures);
}

// ---- The module ----------------------------------------------------------------------------

struct Module {
  Handle library = nullptr;
  void (*initializeAdaptor)() = nullptr;
  void (*uninitializeAdaptor)() = nullptr;
  void (*getAvailHW)(IHardwareList*) = nullptr;
  void (*getDeviceAttributes)(IDeviceEntry*, const char*, IPropertyFactory*, ISourceList*,
                              ITriggerList*) = nullptr;
  IAdaptor* (*createInstance)(IEngine*, IDeviceEntry*, const char*) = nullptr;
};

// Windows refuses to load a module that imports a name its DLL does not
// export; Wine binds such an import to a stub that aborts when called. So the
// module's imports from the kit are checked here, as Windows' loader would.
bool kitImportsResolve(Handle module) {
  struct ImportDescriptor {
    uint32_t names, timeDateStamp, forwarderChain, dllName, addresses;
  };
  const auto* base = static_cast<const unsigned char*>(module);
  uint32_t header = 0, importsAt = 0;
  memcpy(&header, base + 0x3c, sizeof header);
  memcpy(&importsAt, base + header + 24 + 120, sizeof importsAt);  // PE32+ import directory
  bool all = true;
  for (auto* d = reinterpret_cast<const ImportDescriptor*>(base + importsAt); d->dllName != 0;
       ++d) {
    const char* dll = reinterpret_cast<const char*>(base + d->dllName);
    Handle kit = GetModuleHandleA("imaqmex.mexw64");
    if (GetModuleHandleA(dll) != kit) continue;
    for (auto* entry = reinterpret_cast<const uint64_t*>(base + d->names); *entry != 0; ++entry) {
      if ((*entry >> 63) != 0) continue;  // by ordinal
      const char* name = reinterpret_cast<const char*>(base + (*entry & 0x7fffffff) + 2);
      all = check(GetProcAddress(kit, name) != nullptr,
                  "the module imports '%s' from %s, which does not export it: Windows would "
                  "refuse to load the module (error 127)",
                  name, dll) &&
            all;
    }
  }
  return all;
}

// The module's C++ runtime takes its storage from msvcrt's malloc through the
// module's import table. Pointed at starvingMalloc, the module's next
// allocation finds no memory, as in a process that has run out.
long starveNext = 0;
void* starvingMalloc(size_t size) {
  if (exchange(starveNext, 0L) != 0) return nullptr;
  return malloc(size);
}

bool starveModule(Handle module) {
  struct ImportDescriptor {
    uint32_t names, timeDateStamp, forwarderChain, dllName, addresses;
  };
  auto* base = static_cast<unsigned char*>(module);
  uint32_t header = 0, importsAt = 0;
  memcpy(&header, base + 0x3c, sizeof header);
  memcpy(&importsAt, base + header + 24 + 120, sizeof importsAt);  // PE32+ import directory
  for (auto* d = reinterpret_cast<const ImportDescriptor*>(base + importsAt); d->dllName != 0;
       ++d) {
    if (GetModuleHandleA(reinterpret_cast<const char*>(base + d->dllName)) !=
        GetModuleHandleA("msvcrt.dll"))
      continue;
    auto* slot = reinterpret_cast<uint64_t*>(base + d->addresses);
    for (auto* entry = reinterpret_cast<const uint64_t*>(base + d->names); *entry != 0;
         ++entry, ++slot) {
      if ((*entry >> 63) != 0 ||
          !same(reinterpret_cast<const char*>(base + (*entry & 0x7fffffff) + 2), "malloc"))
        continue;
      constexpr Dword kReadWrite = 4;
      Dword was = 0;
      if (VirtualProtect(slot, sizeof *slot, kReadWrite, &was) == 0) return false;
      void* (*hook)(size_t) = starvingMalloc;
      memcpy(slot, &hook, sizeof *slot);
      VirtualProtect(slot, sizeof *slot, was, &was);
      return true;
    }
  }
  return false;
}

template <class Function>
bool entryPoint(Handle library, const char* name, Function& function) {
  void* address = GetProcAddress(library, name);
  memcpy(&function, &address, sizeof function);
  return check(address != nullptr, "the module exports no '%s'", name);
}

// The path of a file in this program's folder.
void besideThisProgram(const char* file, char (&path)[260]) {
  Dword n = GetModuleFileNameA(nullptr, path, sizeof path);
  while (n > 0 && path[n - 1] != '\\' && path[n - 1] != '/') --n;
  copyText(path + n, sizeof path - n, file);
}

bool loadModule(Module& m) {
  char path[260];
  besideThisProgram("CorvaneImaq.dll", path);
  constexpr Dword kAlteredSearchPath = 8;
  m.library = LoadLibraryExA(path, nullptr, kAlteredSearchPath);
  if (m.library == nullptr) {
    const Dword error = GetLastError();
    check(false, "%s did not load: error %lu%s", path, error,
          error == 127   ? " (a function it imports is not exported by the DLL it names: a kit "
                           "function under a name imaqmex.mexw64 does not export?)"
          : error == 126 ? " (a DLL it needs is missing)"
                         : "");
    return false;
  }
  bool all = kitImportsResolve(m.library);
  all = entryPoint(m.library, "initializeAdaptor", m.initializeAdaptor) && all;
  all = entryPoint(m.library, "uninitializeAdaptor", m.uninitializeAdaptor) && all;
  all = entryPoint(m.library, "getAvailHW", m.getAvailHW) && all;
  all = entryPoint(m.library, "getDeviceAttributes", m.getDeviceAttributes) && all;
  return entryPoint(m.library, "createInstance", m.createInstance) && all;
}

template <class T>
unsigned count(const List<T>& list) {
  return static_cast<unsigned>(list.size());
}

KitCounts counts() {
  KitCounts c{};
  kitCounts(&c);
  return c;
}

// Every report the kit received after the first `from`, said and counted as
// failures; but for refusals of a region, which are checked where they are made.
// Besides the errors that the life provokes on purpose.
void noReportsSince(long from, const char* during) {
  KitReport r;
  for (long i = from; kitReport(i, &r); ++i)
    check(r.error &&
              ((same(r.source, "setROI") && same(r.message, "Unsupported ROI values.")) ||
               (same(r.source, "openDevice") && same(r.message, "Failed: not enough memory."))),
          "%s: unexpected %s %s: %s", during, r.error ? "error in" : "warning", r.source,
          r.message);
}

// ---- The life ------------------------------------------------------------------------------

constexpr uint32_t kMono8 = 0x11010000;
constexpr uint32_t kBayerRaw8 = 0x06030003;
constexpr char kMono60[] = "640X480 Mono8 60 FPS";
constexpr char kBayer7[] = "VARIABLE_1 (640X480) Raw8";

void discover(Module& m, HardwareList& list) {
  step = "discovery (getAvailHW)";
  m.getAvailHW(&list);
  const char* const names[] = {"Corvane MV-640M 100201", "Corvane CX-1280B 100202",
                               "Corvane CY-422DP 100203"};
  const size_t formatCounts[] = {12, 5, 11};
  if (!check(list.devices.size() == 3, "discovery: %u devices, not 3", count(list.devices))) return;
  for (uint32_t d = 0; d < 3; ++d) {
    DeviceEntry& device = *list.devices[d];
    check(device.id == d + 1, "discovery: device %u has id %u", d + 1, device.id);
    check(same(device.name, names[d]), "discovery: device %u is '%s'", d + 1, device.name);
    check(device.data != nullptr, "discovery: device %u carries no object", d + 1);
    check(device.formats.size() == formatCounts[d], "discovery: device %u has %u formats", d + 1,
          count(device.formats));
    for (size_t k = 0; k < device.formats.size(); ++k) {
      const FormatEntry& f = *device.formats[k];
      check(f.id == k + 1 && f.isDefault == (k == 0) && f.data != nullptr,
            "discovery: format '%s' (id %u, default %d, object %p)", f.name, f.id, f.isDefault,
            static_cast<void*>(f.data));
    }
  }
}

void attributes(Module& m, HardwareList& list) {
  PropertyFactory factory;
  SourceList sources;
  TriggerList triggers;
  step = "getDeviceAttributes";
  m.getDeviceAttributes(list.device(2), "VARIABLE_0 (1280X960) Mono8", &factory, &sources,
                        &triggers);
  check(sources.sources.size() == 1 && same(sources.sources[0].name, "CorvaneSource") &&
            sources.sources[0].id == 1,
        "attributes: the source is not CorvaneSource with id 1");
  check(triggers.triggers.size() == 8, "attributes: %u hardware triggers, not 8",
        count(triggers.triggers));
  if (triggers.triggers.size() == 8) {
    const HardwareTrigger& t = triggers.triggers[6];
    check(same(t.configuration, "Vendor_14") && t.configurationId == 14 &&
              same(t.source, "Source_1") && t.sourceId == 1,
          "attributes: trigger 7 is %s (%u) / %s (%u)", t.configuration, t.configurationId,
          t.source, t.sourceId);
  }
  check(factory.created.size() == 11, "attributes: %u properties, not 11", count(factory.created));
  for (const Property* p : factory.created)
    check(p->added && same(p->readOnly, "never"), "attributes: '%s' not added, or read-only '%s'",
          p->name, p->readOnly);
  const Property* state = factory.find("Brightness_State");
  check(state != nullptr && state->id == 0x10050000 && state->values.size() == 2 &&
            same(state->values[0].name, "On") && state->values[0].id == 1 &&
            same(state->values[1].name, "Off") && state->values[1].id == 0,
        "attributes: Brightness_State is not On = 1, Off = 0 with id 0x10050000");
  const Property* value = factory.find("Brightness_Value");
  check(value != nullptr && value->type == PropertyType::kInteger && value->id == 0x80050000 &&
            value->minimum == 0 && value->maximum == 255,
        "attributes: Brightness_Value is not an integer 0 to 255 with id 0x80050000");
  const Property* shutter = factory.find("Shutter_Absolute_Value");
  check(shutter != nullptr && shutter->type == PropertyType::kDouble && shutter->id == 0x81051C07 &&
            shutter->maximum == static_cast<double>(0.5f),
        "attributes: Shutter_Absolute_Value is not a double up to 0.5 with id 0x81051C07");
}

// An engine whose container holds the device's properties and one of the host's own.
Engine* engineFor(Module& m, HardwareList& list, uint32_t device) {
  auto* engine = new Engine;
  PropertyFactory factory;
  SourceList sources;
  TriggerList triggers;
  m.getDeviceAttributes(list.device(device), "", &factory, &sources, &triggers);
  engine->container.take(factory);
  auto* hostOwn = new Property("FramesPerTrigger", PropertyType::kInteger);
  hostOwn->device = false;
  engine->container.properties.push(hostOwn);
  return engine;
}

void adaptorOperations(Module& m, HardwareList& list, Engine& engine, IAdaptor* a) {
  step = "the adaptor's operations";
  Manager* manager = engine.manager;
  if (!check(manager != nullptr && manager->adaptor == a,
             "createInstance: the adaptor did not ask the kit for its manager"))
    return;
  check(a->getMaxWidth() == 640 && a->getMaxHeight() == 480, "adaptor: %d x %d, not 640 x 480",
        a->getMaxWidth(), a->getMaxHeight());
  check(a->getFrameType() == kMono8, "adaptor: frame type 0x%08x", a->getFrameType());
  check(a->getBandCount() == 1, "adaptor: %d bands", a->getBandCount());
  check(same(a->getVersion(), "1.0.0"), "adaptor: version '%s'", a->getVersion());
  const char* description = a->getDescription();
  check(description != nullptr && strlen(description) > 10, "adaptor: description '%s'",
        description != nullptr ? description : "(null)");
  // The kit's own operation forwards to the manager.
  store(manager->acquiring, true);
  const bool acquiring = a->isAcquiring();
  store(manager->acquiring, false);
  check(acquiring && !a->isAcquiring() && load(manager->acquiringAsked) == 2,
        "adaptor: the kit's own operation does not answer the manager's deviceIsAcquiring");
  // A fixed format's region is the kit's.
  manager->setRegionOfInterest(8, 6, 320, 240);
  int x = -1, y = -1, w = -1, h = -1;
  a->getROI(x, y, w, h);
  check(x == 8 && y == 6 && w == 320 && h == 240, "adaptor: getROI gave %d,%d %dx%d", x, y, w, h);
  a->setROI(0, 0, 640, 480);
  check(manager->region[2] == 640 && manager->region[3] == 480,
        "adaptor: setROI did not reach the manager");

  // Format 7: the region lives in the format and is checked.
  step = "a Format 7 adaptor";
  Engine engine7;
  IAdaptor* bayer = m.createInstance(&engine7, list.device(2), kBayer7);
  if (!check(bayer != nullptr, "createInstance: no adaptor for %s", kBayer7)) return;
  check(bayer->getFrameType() == kBayerRaw8 && bayer->getBandCount() == 3,
        "Format 7 adaptor: frame type 0x%08x, %d bands", bayer->getFrameType(),
        bayer->getBandCount());
  const long mark = counts().reports;
  bayer->setROI(2, 0, 640, 480);
  KitReport r{};
  check(kitReport(mark, &r) && r.error && r.adaptor == bayer && same(r.source, "setROI") &&
            same(r.message, "Unsupported ROI values."),
        "Format 7 adaptor: a region past the image is not refused with its report");
  bayer->setROI(0, 0, 320, 240);
  bayer->getROI(x, y, w, h);
  check(x == 0 && y == 0 && w == 320 && h == 240, "Format 7 adaptor: getROI gave %d,%d %dx%d", x, y,
        w, h);
  // Out of memory in openDevice: an error report, not an exception, reaches
  // this host, and nothing is left open; the next open works.
  step = "openDevice out of memory";
  if (check(starveModule(m.library), "the module's import of malloc cannot be redirected")) {
    const long before = counts().reports;
    store(starveNext, 1L);
    const bool opened = bayer->openDevice();
    check(!opened && load(starveNext) == 0 && kitReport(before, &r) && r.error &&
              r.adaptor == bayer && same(r.source, "openDevice") &&
              same(r.message, "Failed: not enough memory."),
          "openDevice out of memory: %s, report '%s: %s'", opened ? "opened" : "not opened",
          r.source, r.message);
  }
  step = "a Format 7 adaptor";
  check(engine7.manager->acquire(2), "Format 7 adaptor: no two frames");
  for (size_t i = 0; i < engine7.deliveredCount(); ++i) {
    const FrameBuffer& f = *engine7.delivered(i);
    check(f.frameType == kBayerRaw8 && f.width == 320 && f.height == 240 && f.imageWidth == 320 &&
              f.imageHeight == 240,
          "Format 7 frame %u: type 0x%08x, %d x %d, image %d x %d", static_cast<unsigned>(i),
          f.frameType, f.width, f.height, f.imageWidth, f.imageHeight);
  }
  bayer->setROI(0, 0, 640, 480);  // the region outlives the adaptor, in the format
  delete bayer;
}

void frames(IAdaptor* a, Engine& engine) {
  step = "acquisition";
  Manager& manager = *engine.manager;
  const KitCounts before = counts();
  if (!check(manager.acquire(5), "acquisition: 5 frames not counted (%ld)", load(manager.counted)))
    return;
  const KitCounts after = counts();
  check(load(engine.trigger.asked) >= 1, "acquisition: the trigger setting was not asked");
  check(engine.deliveredCount() == 5, "acquisition: %u frames delivered, not 5",
        static_cast<unsigned>(engine.deliveredCount()));
  double last = static_cast<double>(before.clockReads) / 4.0;
  for (size_t i = 0; i < engine.deliveredCount(); ++i) {
    const FrameBuffer& f = *engine.delivered(i);
    check(f.frameType == kMono8 && f.width == 640 && f.height == 480,
          "frame %u: type 0x%08x, %d x %d", static_cast<unsigned>(i), f.frameType, f.width,
          f.height);
    check(f.image && f.imageWidth == 640 && f.imageHeight == 480 && f.offsetX == 0 &&
              f.offsetY == 0 && f.firstRowSum > 0,
          "frame %u: image %d x %d at %d,%d (first row sums to %lu)", static_cast<unsigned>(i),
          f.imageWidth, f.imageHeight, f.offsetX, f.offsetY,
          static_cast<unsigned long>(f.firstRowSum));
    // The kit's clock answers its nth read with n / 4: a frame's time is one it gave.
    const double reads = f.time * 4.0;
    check(f.time > last && reads == static_cast<double>(static_cast<long>(reads)) &&
              f.time <= static_cast<double>(after.clockReads) / 4.0,
          "frame %u: time %g is not a later reading of the kit's clock", static_cast<unsigned>(i),
          f.time);
    last = f.time;
  }
  check(!a->isAcquiring(), "acquisition: still acquiring after stop");
}

int32_t readInteger(Property& p) {
  int32_t value = -1;
  p.getter->getValue(&p, &value);
  return value;
}

double readDouble(Property& p) {
  double value = -1;
  p.getter->getValue(&p, &value);
  return value;
}

// Stores a value as the host does, then tells the property's listeners.
template <class T>
void write(Property& p, T value) {
  memcpy(p.stored, &value, sizeof value);
  for (IPropPostSetListener* l : p.listeners) l->notify(&p, p.stored);
}

void listeners(Module& m, HardwareList& list, Engine& engine) {
  step = "getters and listeners";
  for (Property* p : engine.container.properties) {
    if (p->device)
      check(p->getter != nullptr && p->listeners.size() == 1,
            "listeners: device property %s has %s getter and %u listeners", p->name,
            p->getter != nullptr ? "a" : "no", count(p->listeners));
    else
      check(p->getter == nullptr && p->listeners.size() == 0,
            "listeners: the host's own %s was given listeners", p->name);
  }
  Property* brightness = engine.container.find("Brightness_Value");
  Property* shutter = engine.container.find("Shutter_Absolute_Value");
  if (!check(brightness != nullptr && brightness->getter != nullptr && shutter != nullptr &&
                 shutter->getter != nullptr,
             "listeners: no getter on Brightness_Value or Shutter_Absolute_Value"))
    return;
  check(readInteger(*brightness) == 128, "listeners: Brightness_Value reads %d, not 128",
        readInteger(*brightness));
  write(*brightness, int32_t{200});
  write(*shutter, 0.1);
  check(readInteger(*brightness) == 200, "listeners: Brightness_Value reads %d after 200",
        readInteger(*brightness));
  check(readDouble(*shutter) == static_cast<double>(0.1f),
        "listeners: Shutter_Absolute_Value reads %.9g after 0.1", readDouble(*shutter));

  // A new adaptor has an empty register cache: it reads what the camera holds.
  Engine* second = engineFor(m, list, 1);
  IAdaptor* fresh = m.createInstance(second, list.device(1), kMono60);
  if (check(fresh != nullptr, "listeners: no second adaptor")) {
    Property* again = second->container.find("Brightness_Value");
    check(again != nullptr && again->getter != nullptr && readInteger(*again) == 200,
          "listeners: the camera does not hold Brightness_Value 200");
    write(*again, int32_t{128});
    delete fresh;
  }
  delete second;  // its properties, with their getters and listeners
}

// ---- Resets --------------------------------------------------------------------------------

struct HeapFigures {
  long long bytes = 0;
  long blocks = 0;
};

// What the blocks in use of every heap of the process add up to.
HeapFigures heapsInUse() {
  HeapFigures f;
  Handle heaps[64];
  const Dword count = GetProcessHeaps(64, heaps);
  for (Dword i = 0; i < count && i < 64; ++i) {
    if (HeapLock(heaps[i]) == 0) continue;
    HeapEntry entry{};
    while (HeapWalk(heaps[i], &entry) != 0) {
      if ((entry.flags & kHeapEntryBusy) == 0) continue;
      f.bytes += entry.size;
      ++f.blocks;
    }
    HeapUnlock(heaps[i]);
  }
  return f;
}

// A host that resets the module: load, initialise, discover, delete what was
// attached, uninitialise, unload; again and again. A reset may leave nothing
// behind in the process. The camera maker's libraries stay loaded meanwhile
// (the host holds them, as one that uses them itself does): what is measured
// is the module's.
void resets() {
  constexpr int kCycles = 60, kWarmUp = 10;
  step = "resets";
  Handle held[2] = {};
  const char* const makers[2] = {"BL1394.dll", "blShared.dll"};
  for (int i = 0; i < 2; ++i) {
    char path[260];
    besideThisProgram(makers[i], path);
    held[i] = LoadLibraryExA(path, nullptr, 0);
  }
  HeapFigures warm;
  for (int i = 0; i < kCycles; ++i) {
    Module m;
    if (!loadModule(m)) return;
    m.initializeAdaptor();
    {
      HardwareList list;
      m.getAvailHW(&list);
      if (!check(list.devices.size() == 3 && list.deleteAdaptorData() == 31,
                 "reset %d: discovery found %u devices", i + 1, count(list.devices)))
        return;
    }
    m.uninitializeAdaptor();
    FreeLibrary(m.library);
    if (!check(GetModuleHandleA("CorvaneImaq.dll") == nullptr,
               "reset %d: the module stayed loaded after its unload", i + 1))
      return;
    if (i + 1 == kWarmUp) warm = heapsInUse();
  }
  const HeapFigures end = heapsInUse();
  for (Handle library : held)
    if (library != nullptr) FreeLibrary(library);
  check(end.bytes - warm.bytes <= 64 * 1024 && end.blocks - warm.blocks <= 16,
        "resets: the process heaps grew by %lld bytes in %ld blocks over %d loads and unloads",
        end.bytes - warm.bytes, end.blocks - warm.blocks, kCycles - kWarmUp);
}

}  // namespace

// A host that knows nothing of the virtual bus, given another bus by the
// environment (CORVANE_BUS names sample-bus.json): it sees that bus's cameras.
[[noreturn]] void sampleBusLife() {
  Module m;
  if (!loadModule(m)) stop(1, "msvc_host: %ld checks, %ld failed", checks, failures);
  step = "initializeAdaptor with CORVANE_BUS";
  m.initializeAdaptor();
  {
    HardwareList list;
    step = "discovery of the bus CORVANE_BUS names";
    m.getAvailHW(&list);
    const char* const names[] = {"Corvane MV-640M 200101", "Corvane CX-1280B 200102",
                                 "Corvane CY-422DP 200103"};
    if (check(list.devices.size() == 3, "CORVANE_BUS: %u devices, not 3", count(list.devices)))
      for (uint32_t d = 0; d < 3; ++d)
        check(same(list.devices[d]->name, names[d]), "CORVANE_BUS: device %u is '%s', not '%s'",
              d + 1, list.devices[d]->name, names[d]);
    list.deleteAdaptorData();
  }
  m.uninitializeAdaptor();
  check(FreeLibrary(m.library) != 0, "the module did not unload");
  check(counts().blocks == 0, "CORVANE_BUS: %ld kit blocks not given back", counts().blocks);
  stop(failures == 0 ? 0 : 1, "msvc_host: %ld checks, %ld failed", checks, failures);
}

extern "C" [[noreturn]] void hostMain() {
  SetUnhandledExceptionFilter(crashFilter);
  CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
  kitSetManagerFactory(makeManager);
  const char* line = GetCommandLineA();
  if (line != nullptr && strlen(line) > 12 && same(line + strlen(line) - 12, "--sample-bus"))
    sampleBusLife();

  Module m;
  if (!loadModule(m)) stop(1, "msvc_host: %ld checks, %ld failed", checks, failures);
  step = "initializeAdaptor";
  m.initializeAdaptor();

  {  // Discovery, then the host lets go of every object the module attached.
    HardwareList list;
    discover(m, list);
    step = "delete of the device and format objects";
    const int deleted = list.deleteAdaptorData();
    check(deleted == 31, "discovery: %d objects attached, not 31", deleted);
    check(counts().blocks == 0, "discovery: %ld blocks not given back after delete of all %d",
          counts().blocks, deleted);
  }

  HardwareList list;
  discover(m, list);
  attributes(m, list);
  noReportsSince(0, "discovery and attributes");

  Engine* engine = engineFor(m, list, 1);
  step = "createInstance";
  IAdaptor* adaptor = m.createInstance(engine, list.device(1), kMono60);
  if (check(adaptor != nullptr, "createInstance: no adaptor for %s", kMono60)) {
    const long mark = counts().reports;
    adaptorOperations(m, list, *engine, adaptor);
    listeners(m, list, *engine);
    frames(adaptor, *engine);
    noReportsSince(mark, "adaptors, listeners and frames");
    Manager& manager = *engine->manager;
    step = "delete of the adaptor";
    delete adaptor;  // its destructor asks the manager to stop and to close
    check(manager.stopsRequested >= 1 && manager.closesRequested == 1,
          "destruction: the adaptor asked %ld stops and %ld closes", manager.stopsRequested,
          manager.closesRequested);
  }
  step = "delete of getters, listeners, devices and formats";
  delete engine;  // its properties, with their getters and listeners

  const int deleted = list.deleteAdaptorData();
  const KitCounts end = counts();
  check(Manager::made == 3 && Manager::destroyed == 3, "managers: %ld made, %ld destroyed",
        Manager::made, Manager::destroyed);
  check(end.blocks == 0, "end: %ld kit blocks not given back (%d device and format objects)",
        end.blocks, deleted);
  check(end.locks == 0 && end.holders == 0, "end: %ld locks and %ld holders not destroyed",
        end.locks, end.holders);
  check(end.violations == 0, "end: the module broke %ld kit rules", end.violations);
  step = "uninitializeAdaptor and unload";
  m.uninitializeAdaptor();
  check(FreeLibrary(m.library) != 0, "the module did not unload");
  resets();
  check(counts().blocks == 0 && counts().violations == 0,
        "resets: %ld kit blocks not given back, %ld rules broken", counts().blocks,
        counts().violations);
  stop(failures == 0 ? 0 : 1, "msvc_host: %ld checks, %ld failed", checks, failures);
}
