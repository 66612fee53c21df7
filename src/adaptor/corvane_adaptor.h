// The adaptor object the host creates for one camera in one video format.
#pragma once

#include <atomic>
#include <cstdint>

#include "control/register_cache.h"
#include "device/corvane_device.h"
#include "device/corvane_format.h"
#include "platform/bl1394.h"
#include "platform/imaqkit.h"
#include "platform/recursive_lock.h"
#include "platform/winthread.h"

struct AcquisitionRun;

// Threads and locks. Host threads call the IAdaptor operations, the register
// operations and the listeners; the acquisition thread runs the capture runs.
// acquireLock is held by the thread around each frame wait and delivery, and by
// stopCapture while it stops the camera; captureFlagLock only for one read or
// write of captureFlag. Lock order: acquireLock, then captureFlagLock (the
// thread reads the flag only once it holds acquireLock, so that a stop that
// lands just before the lock costs no frame). Nothing takes
// acquireLock while it holds captureFlagLock, and stopCapture never holds the
// flag lock while it waits for acquireLock. registerLock serialises the
// register operations; the thread never takes it.
//
// closeDevice, stopCapture and the destructor may be called from a host
// callback on the acquisition thread itself (deliverFrame, countFrame,
// frameWanted). They never wait for that thread: the thread is let go, ends
// once the callback returns, and deletes its receive engine then.
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
  // Taken under captureFlagLock; atomic as well, so that a host that gives no
  // holder for the lock cannot make it a data race.
  std::atomic<bool> captureFlag{false};
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
  friend void captureRun(AcquisitionRun& run);

  // The operations themselves; the IAdaptor operations run them so that
  // nothing they throw reaches the host.
  bool open();
  bool start();
  void stop();

  // Ends the acquisition thread and deletes the receive engine, whatever the
  // host believes of the device. On the thread itself, lets it go instead.
  void shutdownDevice() noexcept;
  bool onAcquisitionThread() const;
  // From a host callback on the acquisition thread: the thread takes its engine
  // and its handle and ends once the callback returns; the adaptor is closed.
  void letThreadGo() noexcept;
  void setCaptureFlag(bool value) noexcept;
  bool readCaptureFlag() noexcept;
  // What an open left that nothing runs on: the engine and the thread's share.
  void dropEngine();
  void abandonOpen() noexcept;

  AcquisitionRun* run_ = nullptr;
};

DWORD WINAPI AcquisitionThread(LPVOID parameter);
