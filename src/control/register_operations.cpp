// The adaptor's register operations: feature control, absolute and trigger
// registers, answered from the register cache once read or written.
#include <mutex>

#include "adaptor/boundary.h"
#include "adaptor/corvane_adaptor.h"
#include "device/iidc_registers.h"

namespace {

constexpr std::uint32_t kTriggerPresence = 0x80000000u;
constexpr std::uint32_t kTriggerOn = 0x02000000u;
// Everything but Trigger_Source (bits 23-21) and Trigger_Mode (bits 19-16).
constexpr std::uint32_t kTriggerKeep = 0xFF10FFFFu;
constexpr std::uint32_t kSourceShift = 21;
constexpr std::uint32_t kModeShift = 16;

// The camera call succeeded; only the copy for the cache could not be made.
void keep(RegisterCache& cache, const char* operation, std::uint32_t key, const void* data,
          std::size_t size) {
  if (!cache.store(key, data, size))
    adaptorWarn(operation,
                "Not enough memory to cache register 0x%08x; it is read from the camera again.",
                static_cast<unsigned>(key));
}

}  // namespace

bool CorvaneAdaptor::GetControlRegister(std::uint32_t registerId, FeatureControlRecord& record) {
  std::lock_guard<RecursiveLock> hold(registerLock);
  if (registerCache.find(registerId, &record, sizeof record)) return true;
  if (CvStatus status =
          CvQueryCameraRegister(device->cameraHandle, registerId, &record, sizeof record)) {
    adaptorError(this, "GetControlRegister", "Failed to query camera register: %s",
                 StatusText(status).c_str());
    return false;
  }
  keep(registerCache, "CorvaneImaq:GetControlRegister", registerId, &record, sizeof record);
  return true;
}

void CorvaneAdaptor::SetControlRegister(std::uint32_t registerId,
                                        const FeatureControlRecord& record) {
  std::lock_guard<RecursiveLock> hold(registerLock);
  if (CvStatus status =
          CvSetCameraRegister(device->cameraHandle, registerId, &record, sizeof record)) {
    adaptorError(this, "SetControlRegister", "Failed to set camera register: %s",
                 StatusText(status).c_str());
    return;
  }
  keep(registerCache, "CorvaneImaq:SetControlRegister", registerId, &record, sizeof record);
}

bool CorvaneAdaptor::GetAbsControlRegister(std::uint32_t registerId,
                                           AbsoluteControlRecord& record) {
  std::lock_guard<RecursiveLock> hold(registerLock);
  if (registerCache.find(registerId, &record, sizeof record)) return true;
  if (CvStatus status =
          CvQueryCameraRegister(device->cameraHandle, registerId, &record, sizeof record)) {
    adaptorError(this, "GetAbsControlRegister", "Failed to query camera absolute register: %s",
                 StatusText(status).c_str());
    return false;
  }
  keep(registerCache, "CorvaneImaq:GetAbsControlRegister", registerId, &record, sizeof record);
  return true;
}

void CorvaneAdaptor::SetAbsControlRegister(std::uint32_t registerId, float value) {
  std::lock_guard<RecursiveLock> hold(registerLock);
  // Only the value is written; the camera's range comes from a read.
  if (CvStatus status =
          CvSetCameraRegister(device->cameraHandle, registerId, &value, sizeof value)) {
    adaptorError(this, "SetAbsControlRegister", "Failed to set camera absolute register: %s",
                 StatusText(status).c_str());
    return;
  }
  AbsoluteControlRecord record;
  if (!GetAbsControlRegister(registerId, record)) return;
  record.value = value;
  keep(registerCache, "CorvaneImaq:SetAbsControlRegister", registerId, &record, sizeof record);
}

bool CorvaneAdaptor::GetTriggerRegister(std::uint32_t& word) {
  std::lock_guard<RecursiveLock> hold(registerLock);
  if ((device->triggerInquiry & kTriggerPresence) == 0) return false;
  const std::uint32_t address = device->commandBase + csr::kTriggerMode;
  if (registerCache.find(address, &word, sizeof word)) return true;
  if (CvStatus status = CvReadQuad(device->cameraHandle, address, &word)) {
    adaptorError(this, "GetTriggerRegister", "Failed to query camera trigger register: %s",
                 StatusText(status).c_str());
    return false;
  }
  keep(registerCache, "CorvaneImaq:GetTriggerRegister", address, &word, sizeof word);
  return true;
}

void CorvaneAdaptor::SetTriggerRegister(bool enable, std::uint32_t source,
                                        std::uint32_t condition) {
  std::lock_guard<RecursiveLock> hold(registerLock);
  std::uint32_t word = 0;
  if (!GetTriggerRegister(word)) return;
  const std::uint32_t next = enable ? (word & kTriggerKeep) | kTriggerOn |
                                          ((source & 7u) << kSourceShift) |
                                          ((condition & 0xFu) << kModeShift)
                                    : word & ~kTriggerOn;
  // A trigger left on with another source or mode is reprogrammed too.
  if (next == word) return;
  const std::uint32_t address = device->commandBase + csr::kTriggerMode;
  if (CvStatus status = CvWriteQuad(device->cameraHandle, address, next)) {
    adaptorError(this, "SetTriggerRegister", "Failed to set camera trigger register: %s",
                 StatusText(status).c_str());
    return;
  }
  keep(registerCache, "CorvaneImaq:SetTriggerRegister", address, &next, sizeof next);
}
