// The adaptor's register operations: feature control, absolute and trigger
// registers, answered from the register cache once read or written. Each
// public operation holds registerLock for its library calls and its cache,
// and makes its reports once the lock is given back.
#include <mutex>
#include <type_traits>

#include "adaptor/boundary.h"
#include "adaptor/corvane_adaptor.h"
#include "control/feature_table.h"
#include "control/register_reports.h"
#include "device/iidc_registers.h"

namespace {

constexpr std::uint32_t kTriggerPresence = 0x80000000u;
constexpr std::uint32_t kTriggerOn = 0x02000000u;
// Everything but Trigger_Source (bits 23-21) and Trigger_Mode (bits 19-16).
constexpr std::uint32_t kTriggerKeep = 0xFF10FFFFu;
constexpr std::uint32_t kSourceShift = 21;
constexpr std::uint32_t kModeShift = 16;

// The camera call succeeded; only the copy for the cache could not be made.
void keep(RegisterCache& cache, RegisterReports& reports, const char* operation, std::uint32_t key,
          const void* data, std::size_t size) {
  if (!cache.store(key, data, size)) reports.uncached(operation, key);
}

// The words a white balance half shares with the other: one ON_OFF, A_M_Mode
// and Abs_Control for both.
void copySwitches(const FeatureControlRecord& from, FeatureControlRecord& to) {
  to.onOff = from.onOff;
  to.autoMode = from.autoMode;
  to.absoluteControl = from.absoluteControl;
}

// A half read from the camera while the other is cached takes the cached
// switches: the register is cached once, and both halves answer alike.
void takeSharedSwitches(const RegisterCache& cache, std::uint32_t controlId,
                        FeatureControlRecord& record) {
  FeatureControlRecord other;
  const std::uint32_t otherId = sharingRegisterId(controlId);
  if (otherId != 0 && cache.find(otherId, &other, sizeof other)) copySwitches(other, record);
}

// After a write through one half, the other half's copy holds the switches the
// camera now has; its own value half is untouched by the write.
void giveSharedSwitches(RegisterCache& cache, RegisterReports& reports, std::uint32_t controlId,
                        const FeatureControlRecord& written) {
  FeatureControlRecord other;
  const std::uint32_t otherId = sharingRegisterId(controlId);
  if (otherId == 0 || !cache.find(otherId, &other, sizeof other)) return;
  copySwitches(written, other);
  keep(cache, reports, "CorvaneImaq:SetControlRegister", otherId, &other, sizeof other);
}

// The camera's own trigger word, whatever the cache holds; kept as the cached copy.
bool readTrigger(const CorvaneDevice& device, RegisterCache& cache, std::uint32_t& word,
                 RegisterReports& reports) {
  const std::uint32_t address = device.commandBase + csr::kTriggerMode;
  if (CvStatus status = CvReadQuad(device.cameraHandle, address, &word)) {
    reports.error("GetTriggerRegister", "Failed to query camera trigger register: %s", status);
    return false;
  }
  keep(cache, reports, "CorvaneImaq:GetTriggerRegister", address, &word, sizeof word);
  return true;
}

}  // namespace

void RegisterReports::error(const char* operation, const char* message, CvStatus status) noexcept {
  if (count_ < kCapacity) entries_[count_++] = {false, operation, message, status, 0};
}

void RegisterReports::uncached(const char* identifier, std::uint32_t key) noexcept {
  if (count_ < kCapacity) entries_[count_++] = {true, identifier, nullptr, 0, key};
}

void RegisterReports::send(CorvaneAdaptor* adaptor) {
  for (int i = 0; i < count_ && !adaptor->doomed(); ++i) {
    const Entry& e = entries_[i];
    if (e.warning) {
      adaptorWarn(e.source,
                  "Not enough memory to cache register 0x%08x; it is read from the camera again.",
                  static_cast<unsigned>(e.key));
    } else {
      adaptorError(adaptor, e.source, e.message, StatusText(e.status).c_str());
    }
  }
  count_ = 0;
}

bool CorvaneAdaptor::getControl(std::uint32_t registerId, FeatureControlRecord& record,
                                RegisterReports& reports) {
  if (registerCache.find(registerId, &record, sizeof record)) return true;
  if (CvStatus status =
          CvQueryCameraRegister(device->cameraHandle, registerId, &record, sizeof record)) {
    reports.error("GetControlRegister", "Failed to query camera register: %s", status);
    return false;
  }
  takeSharedSwitches(registerCache, registerId, record);
  keep(registerCache, reports, "CorvaneImaq:GetControlRegister", registerId, &record,
       sizeof record);
  return true;
}

void CorvaneAdaptor::setControl(std::uint32_t registerId, const FeatureControlRecord& record,
                                RegisterReports& reports) {
  if (CvStatus status =
          CvSetCameraRegister(device->cameraHandle, registerId, &record, sizeof record)) {
    reports.error("SetControlRegister", "Failed to set camera register: %s", status);
    return;
  }
  keep(registerCache, reports, "CorvaneImaq:SetControlRegister", registerId, &record,
       sizeof record);
  giveSharedSwitches(registerCache, reports, registerId, record);
}

bool CorvaneAdaptor::getAbsolute(std::uint32_t registerId, AbsoluteControlRecord& record,
                                 RegisterReports& reports) {
  if (registerCache.find(registerId, &record, sizeof record)) return true;
  // White balance's halves have one absolute register: cached through either, it is cached.
  const std::uint32_t otherId = sharingRegisterId(registerId);
  if (otherId != 0 && registerCache.find(otherId, &record, sizeof record)) {
    keep(registerCache, reports, "CorvaneImaq:GetAbsControlRegister", registerId, &record,
         sizeof record);
    return true;
  }
  if (CvStatus status =
          CvQueryCameraRegister(device->cameraHandle, registerId, &record, sizeof record)) {
    reports.error("GetAbsControlRegister", "Failed to query camera absolute register: %s", status);
    return false;
  }
  keep(registerCache, reports, "CorvaneImaq:GetAbsControlRegister", registerId, &record,
       sizeof record);
  return true;
}

void CorvaneAdaptor::setAbsolute(std::uint32_t registerId, float value, RegisterReports& reports) {
  // Only the value is written; the camera's range comes from a read.
  if (CvStatus status =
          CvSetCameraRegister(device->cameraHandle, registerId, &value, sizeof value)) {
    reports.error("SetAbsControlRegister", "Failed to set camera absolute register: %s", status);
    return;
  }
  AbsoluteControlRecord record;
  if (!getAbsolute(registerId, record, reports)) return;
  record.value = value;
  keep(registerCache, reports, "CorvaneImaq:SetAbsControlRegister", registerId, &record,
       sizeof record);
  if (const std::uint32_t otherId = sharingRegisterId(registerId))
    keep(registerCache, reports, "CorvaneImaq:SetAbsControlRegister", otherId, &record,
         sizeof record);
}

bool CorvaneAdaptor::getTrigger(std::uint32_t& word, RegisterReports& reports) {
  if ((device->triggerInquiry & kTriggerPresence) == 0) return false;
  if (registerCache.find(device->commandBase + csr::kTriggerMode, &word, sizeof word)) return true;
  return readTrigger(*device, registerCache, word, reports);
}

void CorvaneAdaptor::setTrigger(bool enable, std::uint32_t source, std::uint32_t condition,
                                RegisterReports& reports) {
  // Compared with the camera's word, not the cache: another video input of the
  // camera may have switched the trigger since this one last wrote it.
  std::uint32_t word = 0;
  if ((device->triggerInquiry & kTriggerPresence) == 0 ||
      !readTrigger(*device, registerCache, word, reports))
    return;
  const std::uint32_t next = enable ? (word & kTriggerKeep) | kTriggerOn |
                                          ((source & 7u) << kSourceShift) |
                                          ((condition & 0xFu) << kModeShift)
                                    : word & ~kTriggerOn;
  // A trigger left on with another source or mode is reprogrammed too.
  if (next == word) return;
  const std::uint32_t address = device->commandBase + csr::kTriggerMode;
  if (CvStatus status = CvWriteQuad(device->cameraHandle, address, next)) {
    reports.error("SetTriggerRegister", "Failed to set camera trigger register: %s", status);
    return;
  }
  keep(registerCache, reports, "CorvaneImaq:SetTriggerRegister", address, &next, sizeof next);
}

// The public operations: the work under the lock, the reports after it.

namespace {

template <class Work>
auto reported(CorvaneAdaptor* adaptor, Work&& work) {
  RegisterReports reports;
  if constexpr (std::is_void_v<decltype(work(reports))>) {
    {
      std::lock_guard<RecursiveLock> hold(adaptor->registerLock);
      work(reports);
    }
    reports.send(adaptor);
  } else {
    decltype(work(reports)) result;
    {
      std::lock_guard<RecursiveLock> hold(adaptor->registerLock);
      result = work(reports);
    }
    reports.send(adaptor);
    return result;
  }
}

}  // namespace

bool CorvaneAdaptor::GetControlRegister(std::uint32_t registerId, FeatureControlRecord& record) {
  return reported(this, [&](RegisterReports& r) { return getControl(registerId, record, r); });
}

void CorvaneAdaptor::SetControlRegister(std::uint32_t registerId,
                                        const FeatureControlRecord& record) {
  reported(this, [&](RegisterReports& r) { setControl(registerId, record, r); });
}

bool CorvaneAdaptor::GetAbsControlRegister(std::uint32_t registerId,
                                           AbsoluteControlRecord& record) {
  return reported(this, [&](RegisterReports& r) { return getAbsolute(registerId, record, r); });
}

void CorvaneAdaptor::SetAbsControlRegister(std::uint32_t registerId, float value) {
  reported(this, [&](RegisterReports& r) { setAbsolute(registerId, value, r); });
}

bool CorvaneAdaptor::GetTriggerRegister(std::uint32_t& word) {
  return reported(this, [&](RegisterReports& r) { return getTrigger(word, r); });
}

void CorvaneAdaptor::SetTriggerRegister(bool enable, std::uint32_t source,
                                        std::uint32_t condition) {
  reported(this, [&](RegisterReports& r) { setTrigger(enable, source, condition, r); });
}
