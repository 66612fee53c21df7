#include <cstdint>
#include <new>
#include <vector>

#include "adaptor/acquisition_run.h"
#include "adaptor/corvane_adaptor.h"
#include "adaptor/exports.h"
#include "control/feature_properties.h"
#include "device/corvane_device.h"
#include "platform/bl1394.h"

namespace {

constexpr char kDiscoveryWarning[] = "CorvaneImaq:getAvailHW";
constexpr char kNoCamera[] = "Failed to create camera object.";
// Far more adapters than a machine has: a library that never reports the end
// of the enumeration (one that failed to start, say) must not hold the host forever.
constexpr std::uint32_t kMaxAdapters = 64;

// Destroys the formats the host did not take (all, when taken is empty), and
// leaves the device's list with those it did. Allocates nothing: it also
// cleans up after the host or the memory ran out.
void dropUntaken(CorvaneDevice* device, const std::vector<bool>& taken) noexcept {
  std::size_t kept = 0;
  for (std::size_t k = 0; k < device->formats.size(); ++k) {
    if (k < taken.size() && taken[k]) {
      device->formats[kept++] = device->formats[k];
    } else {
      delete device->formats[k];
    }
  }
  device->formats.resize(kept);
}

// Reports one probed camera and its formats to the host, which owns each of
// them once it has taken it. Returns false when the host gave no entry; the
// device is then still the caller's. Should the host (or the memory) fail
// with an exception, what the host has not taken is destroyed here and the
// exception goes on.
bool report(IHardwareList* hardwareList, CorvaneDevice* device, std::uint32_t deviceId) {
  std::vector<bool> taken;
  bool deviceTaken = false;
  try {
    taken.assign(device->formats.size(), false);
    IDeviceEntry* entry = hardwareList->createDevice(deviceId, device->name);
    if (entry == nullptr) return false;
    entry->setAdaptorData(device);
    deviceTaken = true;
    for (std::size_t k = 0; k < device->formats.size(); ++k) {
      CorvaneFormat* format = device->formats[k];
      IFormatEntry* formatEntry =
          entry->createFormat(static_cast<std::uint32_t>(k + 1), format->name);
      if (formatEntry == nullptr) continue;
      formatEntry->setAdaptorData(format);
      taken[k] = true;
      entry->addFormat(formatEntry, k == 0);
    }
    // A format the host gave no entry for is nobody else's.
    dropUntaken(device, taken);
    hardwareList->addDevice(entry);
    return true;
  } catch (...) {
    dropUntaken(device, taken);
    if (!deviceTaken) delete device;
    throw;
  }
}

void discover(IHardwareList* hardwareList) {
  std::uint32_t deviceId = 1;
  for (std::uint32_t adapter = 1; adapter <= kMaxAdapters; ++adapter) {
    std::uint64_t ids[CV_MAX_CAMERAS_PER_ADAPTER] = {};
    std::uint32_t count = CV_MAX_CAMERAS_PER_ADAPTER;
    const CvStatus status = CvLocateCamerasEx(adapter, ids, 0, &count);
    if (status == CV_NO_SUCH_ADAPTER) return;
    // Any other status goes by the count; a library that overstates it gets
    // no more than the list holds.
    if (count > CV_MAX_CAMERAS_PER_ADAPTER) count = CV_MAX_CAMERAS_PER_ADAPTER;
    for (std::uint32_t i = 0; i < count; ++i) {
      CorvaneDevice* device = imaqNew<CorvaneDevice>(adapter, ids[i]);
      if (device == nullptr || device->probe() != 0) {
        delete device;
        adaptorWarn(kDiscoveryWarning, kNoCamera);
        continue;
      }
      bool reported = false;
      try {
        reported = report(hardwareList, device, deviceId);
      } catch (const std::bad_alloc&) {
        // What was not handed over went with it; the next camera may fare better.
        adaptorWarn(kDiscoveryWarning, kNoCamera);
        continue;
      }
      if (!reported) {
        // Without a device entry nothing was handed over: the formats are still ours.
        for (CorvaneFormat* format : device->formats) delete format;
        delete device;
        adaptorWarn(kDiscoveryWarning, kNoCamera);
        continue;
      }
      ++deviceId;
    }
  }
}

}  // namespace

// The library's start status is not examined: a library that failed to start
// fails every later call, and those are reported where they happen.
void initializeAdaptor() {
  CvInitialize();
}

// Acquisition threads let go from a host callback end once the callback has
// returned; they are waited for first, so that they delete their engines while
// the library is up and leave the module's code before the host unloads it.
void uninitializeAdaptor() {
  endLetGoThreads();
  CvTerminate();
}

void getAvailHW(IHardwareList* hardwareList) {
  joinEndedThreads();
  if (hardwareList == nullptr) return;
  try {
    discover(hardwareList);
  } catch (...) {
    // Nothing may cross into the host; what was reported so far stands.
  }
}

IAdaptor* createInstance(IEngine* engine, IDeviceEntry* deviceEntry, const char* formatName) {
  joinEndedThreads();
  try {
    auto* device =
        deviceEntry != nullptr ? dynamic_cast<CorvaneDevice*>(deviceEntry->adaptorData()) : nullptr;
    if (device == nullptr) {
      adaptorWarn("CorvaneImaq:createInstance",
                  "The device entry carries no camera of this adaptor.");
      return nullptr;
    }
    IFormatEntry* formatEntry = deviceEntry->formatByName(formatName != nullptr ? formatName : "");
    auto* format =
        formatEntry != nullptr ? dynamic_cast<CorvaneFormat*>(formatEntry->adaptorData()) : nullptr;
    if (format == nullptr) {
      adaptorWarn("CorvaneImaq:createInstance", "'%s' is not a video format of camera '%s'.",
                  formatName != nullptr ? formatName : "", device->name);
      return nullptr;
    }
    // No storage: nothing is constructed and nothing reported.
    void* block = imaqmalloc(sizeof(CorvaneAdaptor));
    if (block == nullptr) return nullptr;
    CorvaneAdaptor* adaptor = nullptr;
    try {
      adaptor = new (block) CorvaneAdaptor(engine, device, format);
    } catch (...) {
      // What the base made (the adaptor manager) is gone with it; no lock or
      // listener exists yet when the base throws.
      imaqfree(block);
      adaptorWarn("CorvaneImaq:createInstance",
                  "The host failed while the adaptor was made; no adaptor for '%s'.", device->name);
      return nullptr;
    }
    if (!adaptor->complete()) {
      const bool noMemory = adaptor->outOfMemory();
      delete adaptor;
      if (noMemory) {
        adaptorWarn("CorvaneImaq:createInstance", "Not enough memory for an adaptor for '%s'.",
                    device->name);
      } else {
        adaptorWarn("CorvaneImaq:createInstance",
                    "The host kit gave no adaptor manager or no critical section; no adaptor "
                    "for '%s'.",
                    device->name);
      }
      return nullptr;
    }
    return adaptor;
  } catch (...) {
    return nullptr;
  }
}

void getDeviceAttributes(IDeviceEntry* deviceEntry, const char* /*formatName*/,
                         IPropertyFactory* propertyFactory, ISourceList* sourceList,
                         ITriggerList* triggerList) {
  joinEndedThreads();
  declareDeviceAttributes(deviceEntry, propertyFactory, sourceList, triggerList);
}
