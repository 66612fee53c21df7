// The adaptor object the host creates for one camera in one video format.
#pragma once

#include <cstdint>

#include "control/register_cache.h"
#include "device/corvane_device.h"
#include "device/corvane_format.h"
#include "platform/bl1394.h"
#include "platform/imaqkit.h"
#include "platform/recursive_lock.h"
#include "platform/winthread.h"

class CorvaneAdaptor : public imaqkit::Implements<IAdaptor> {
 public:
  // REQUIRES: device and format are the objects of the host's entries; they
  // outlive the adaptor.
  CorvaneAdaptor(IEngine* engine, CorvaneDevice* device, CorvaneFormat* format);
  ~CorvaneAdaptor() override;

  // Whether construction got everything it needs from the kit: the adaptor
  // manager and both locks. An incomplete adaptor installed no listener and
  // is only fit to be destroyed.
  bool complete() const;

  void getROI(int& offsetX, int& offsetY, int& width, int& height) override;
  void setROI(int offsetX, int offsetY, int width, int height) override;
  int getMaxWidth() override;
  int getMaxHeight() override;
  std::uint32_t getFrameType() override;
  int getBandCount() override;
  const char* getDescription() override;
  const char* getVersion() override;
  bool openDevice() override;
  bool closeDevice() override;
  bool startCapture() override;
  bool stopCapture() override;

  // Register access through the cache. A failed library call is reported with
  // adaptorError under the operation's name; the reads then return false.
  // Each operation holds registerLock, so host threads may call them at once.
  bool GetControlRegister(std::uint32_t registerId, FeatureControlRecord& record);
  void SetControlRegister(std::uint32_t registerId, const FeatureControlRecord& record);
  bool GetAbsControlRegister(std::uint32_t registerId, AbsoluteControlRecord& record);
  void SetAbsControlRegister(std::uint32_t registerId, float value);
  // False, silently, on a camera without a trigger register.
  bool GetTriggerRegister(std::uint32_t& word);
  void SetTriggerRegister(bool enable, std::uint32_t source, std::uint32_t condition);

  HANDLE threadHandle = nullptr;
  DWORD threadId = 0;
  ICriticalSection* acquireLock = nullptr;
  ICriticalSection* captureFlagLock = nullptr;
  bool captureFlag = false;
  CvEngineHandle receiveEngine = nullptr;
  CameraStartupRecord startup{};
  CorvaneDevice* device;
  CorvaneFormat* format;
  RegisterCache registerCache;
  // Serialises the register operations and the listeners' read-modify-writes;
  // recursive because operations call one another.
  RecursiveLock registerLock;

 private:
  friend DWORD WINAPI AcquisitionThread(LPVOID parameter);

  // Ends the acquisition thread and deletes the receive engine, whatever the
  // host believes of the device.
  void shutdownDevice();
  void setCaptureFlag(bool value);
  bool readCaptureFlag();
  // Fails the open: the engine (and a thread that already ended) go.
  void dropEngine();
};

DWORD WINAPI AcquisitionThread(LPVOID parameter);
