// The adaptor object the host creates for one camera in one video format.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "control/feature_table.h"
#include "control/register_cache.h"
#include "device/corvane_device.h"
#include "device/corvane_format.h"
#include "platform/bl1394.h"
#include "platform/imaqkit.h"
#include "platform/recursive_lock.h"
#include "platform/winthread.h"

struct AcquisitionRun;
struct AdaptorLocks;
class ListenerLink;
class RegisterReports;

// ---- The acquisition protocol -----------------------------------------------------------
//
// Entries. An entry is a call of the host into the module: the five exports,
// every IAdaptor operation, a property getter or set listener, and the
// destruction of an adaptor, device or format object. Host threads make them,
// several at once if they like (a user interface thread beside the host's
// own); the acquisition thread makes none, but calls the host. The listeners
// are entries of their adaptor like its operations: destruction waits for
// them, and a listener called after its adaptor's destruction answers with
// the host's stored value and writes nothing.
//
// Threads. Each open device has one acquisition thread: openDevice makes it,
// closeDevice ends it (WM_QUIT, then a wait). It waits for messages; the
// start message begins a capture run of frame cycles, each a frame wait and,
// for a frame, its delivery to the host. Its id is cleared whenever it ends:
// Windows gives an ended thread's id to the next thread it makes.
//
// Locks. The host's acquire lock is held by the thread around each cycle, and
// by startCapture and stopCapture while they work on the engine and the
// camera. The host's capture-flag lock is held for one read or one write of
// captureFlag. Their one allowed order: acquire lock, then flag lock (the
// thread reads the flag inside its cycle). The module's own locks, never held
// across a call into the host (a report handler may wait for another host
// thread, or destroy the adaptor): registerLock serialises the register
// operations and the listeners' read-modify-writes, and their reports are made
// once it is given back; stateLock_ makes each decision about the device (raise
// the flag and start the camera, begin and end a close, the thread's handle,
// id, run and engine) whole against the other host threads. Beside the host's
// locks the module keeps a gate of its own (AcquisitionRun::inCycle), raised
// by the thread before it reads the flag and lowered when the cycle is over:
// a stop lowers the flag and waits for the gate, so a host that gives no lock
// holder, or whose lock fails, still never sees a frame after stopCapture
// returned, and the camera is never stopped in the middle of a cycle.
//
// Who waits for whom. Host threads wait for the thread: a stop or a start for
// the cycle in progress, a close or a destruction for the thread's end, a
// second close for the first. The thread waits for nobody but the host inside
// the host's own calls.
//
// Host calls. Inside any of them, on any thread, the host may stop, start,
// close or destroy, throw, or answer nothing, and another host thread may do
// so meanwhile. Every operation looks again after each host call it makes: a
// start made while a close is in progress does not start (the close ends what
// runs), a close made inside a start's calls makes the start return false
// without starting the camera. On the thread, a stop or a start ends the
// cycle undelivered and uncounted (the frame belongs to a run that is over);
// a close or a destruction lets the thread go, unless a host thread is
// closing already and ends it; a throw costs the frame, and the thread goes
// on. A stop, close or destruction made there never waits for the thread,
// which is the caller.
//
// A thread let go owns its receive engine, its holder (destroyed at once: the
// lock goes back to the adaptor's other users), a use of the adaptor's locks
// and a reference on the module. Once the host call returns it touches
// nothing of the adaptor: it stops and deletes the engine, gives back its use
// of the locks and its module reference, and ends. The next entry into the
// module that finds it ended joins it; uninitializeAdaptor waits for any left.
//
// Destruction. Destroyed on a host thread while other threads are inside its
// operations, the adaptor waits for those to return (none of them waits for a
// host thread); so does a destruction inside a host thread's own operation,
// for the other host threads' operations, before it ends with the host. The host may also destroy
// it inside one of its own calls into the host on the same thread (an error report, say), or from a
// host call on the acquisition thread while a host thread is inside an operation (which may be
// waiting for that very thread). What destruction owes the host then happens at once, before the
// host's delete returns: stop and close through the manager, the thread ended or let go, the
// manager destroyed. The rest (the locks, the adaptor's memory) waits until that thread's outermost
// operation, or the last one, returns; until then the operations give up
// early and call the host no more.
class CorvaneAdaptor : public imaqkit::Implements<IAdaptor> {
 public:
  // REQUIRES: device and format are the objects of the host's entries; they
  // outlive the adaptor.
  CorvaneAdaptor(IEngine* engine, CorvaneDevice* device, CorvaneFormat* format);
  ~CorvaneAdaptor() override;
  // The host's delete: destroys now, or, when an operation of the adaptor is
  // in progress, once the last one returns.
  static void operator delete(CorvaneAdaptor* self, std::destroying_delete_t) noexcept;

  // Whether construction got everything it needs from the kit: the adaptor
  // manager and both locks. An incomplete adaptor installed no listener and
  // is only fit to be destroyed.
  bool complete() const;
  // Incomplete for want of the module's own memory.
  bool outOfMemory() const { return locks_ == nullptr || link_ == nullptr; }
  // What the listeners reach the adaptor through.
  ListenerLink* link() const { return link_; }

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
  // A set listener's change of one word of a control record (the low 16 bits
  // of value for kValue): read, compared and written under one hold of
  // registerLock, unless the register holds it already.
  void updateControlWord(std::uint32_t registerId, PropertyId::Kind kind, std::uint32_t wanted);

  // An operation of the adaptor in progress, from the host's call in to its
  // return, on the adaptor's list of them: destruction waits for it.
  class Operation {
   public:
    // Joins the threads let go that have ended first (see joinEndedThreads).
    explicit Operation(CorvaneAdaptor& adaptor) noexcept;
    // Without that: for a caller holding a spin lock of its own, which must
    // not wait for anything.
    struct Joined {};
    Operation(CorvaneAdaptor& adaptor, Joined) noexcept;
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

   private:
    friend class CorvaneAdaptor;
    // REQUIRES: the list's lock.
    struct Locked {};
    Operation(CorvaneAdaptor& adaptor, Locked) noexcept;
    CorvaneAdaptor& adaptor_;
    DWORD thread_;
    Operation* next_ = nullptr;
  };
  // The host destroyed the adaptor while an operation was in progress.
  bool doomed() const { return doomed_.load(); }

  HANDLE threadHandle = nullptr;
  // Read by any thread to tell whether it is the acquisition thread; written
  // under stateLock_, and cleared whenever the thread ends.
  std::atomic<DWORD> threadId{0};
  ICriticalSection* acquireLock = nullptr;
  ICriticalSection* captureFlagLock = nullptr;
  // Taken under captureFlagLock; atomic as well, so that a host that gives no
  // holder for the lock cannot make it a data race, and so that the thread's
  // gate and a stop's wait see each other's writes in order.
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
  friend struct AcquisitionRun;
  friend DWORD WINAPI AcquisitionThread(LPVOID parameter);

  // The operations themselves; the IAdaptor operations run them so that
  // nothing they throw reaches the host.
  bool open();
  bool start();
  void stop();

  // The register operations' work, without their lock or their reports.
  // REQUIRES: registerLock.
  bool getControl(std::uint32_t registerId, FeatureControlRecord& record, RegisterReports& reports);
  void setControl(std::uint32_t registerId, const FeatureControlRecord& record,
                  RegisterReports& reports);
  bool getAbsolute(std::uint32_t registerId, AbsoluteControlRecord& record,
                   RegisterReports& reports);
  void setAbsolute(std::uint32_t registerId, float value, RegisterReports& reports);
  bool getTrigger(std::uint32_t& word, RegisterReports& reports);
  void setTrigger(bool enable, std::uint32_t source, std::uint32_t condition,
                  RegisterReports& reports);

  // Ends the acquisition thread and deletes the receive engine, whatever the
  // host believes of the device. On the thread itself, lets it go instead.
  void shutdownDevice() noexcept;
  bool onAcquisitionThread() const;
  // From a host call on the acquisition thread: the thread takes its engine
  // and its handle and ends once the call returns; the adaptor is closed.
  void letThreadGo() noexcept;
  // Waits, by the module's own means, until no frame cycle is in progress.
  // REQUIRES: not on the acquisition thread.
  void waitForCycleEnd() noexcept;
  // A host thread's work between cycles: the host's holder on acquireLock
  // (null when it gives none), taken once no cycle is in progress; release
  // leaves and destroys it, whatever the host's leave does.
  IAutoCriticalSection* holdBetweenCycles();
  static void release(IAutoCriticalSection* hold) noexcept;
  // Takes the frames the engine finished before now, so that none of them is
  // delivered in the run about to start; bounded.
  void emptyEngine() noexcept;
  // Stops the camera when it runs, or when it cannot say; 0 or the stop's status.
  CvStatus stopCamera() noexcept;
  void setCaptureFlag(bool value) noexcept;
  // What an open left when its thread ended before it took a message.
  void dropThread() noexcept;
  // The list of operations in progress; its lock is held for a few
  // instructions at a time, never across a call.
  void lockOperations() noexcept;
  void unlockOperations() noexcept { operationsLock_.clear(std::memory_order_release); }
  bool inOperation(DWORD thread) const noexcept;
  // Whether a thread other than this one is inside an operation.
  bool othersInside(DWORD thread) const noexcept;
  void waitForOtherOperations() noexcept;
  void destroyNow() noexcept;
  // What destruction owes the host, at once even when the rest waits: stop
  // and close through the manager, no thread or streaming camera left, the
  // manager gone.
  void endWithHost() noexcept;

  // On the acquisition thread: the run in progress ends undelivered.
  void endCycleHere() noexcept;
  // Closes begun so far; whether one has begun since the count was read, or
  // runs now; whether this thread is closing (a call inside its own close).
  unsigned closesSoFar() noexcept;
  // Starts that raised the flag and stops that lowered it, so far.
  unsigned captureWordsSoFar() noexcept;
  bool closedSince(unsigned count) noexcept;
  bool closingHere() noexcept;
  // A holder on captureFlagLock, held; null when the host gives none.
  IAutoCriticalSection* holdFlag() noexcept;

  // Guarded by stateLock_ (see the protocol above).
  RecursiveLock stateLock_;
  AcquisitionRun* run_ = nullptr;
  DWORD closer_ = 0;           // the thread closing the device; 0: none
  DWORD opener_ = 0;           // the thread opening it; 0: none
  unsigned closes_ = 0;        // closes begun so far
  unsigned captureWords_ = 0;  // starts and stops so far
  AdaptorLocks* locks_ = nullptr;
  ListenerLink* link_ = nullptr;
  std::atomic_flag operationsLock_ = ATOMIC_FLAG_INIT;
  Operation* operations_ = nullptr;
  std::atomic<bool> doomed_{false};
  bool finishing_ = false;  // one thread has taken on the destruction
  // A stop of the camera failed: a close stops it again.
  std::atomic<bool> cameraMayRun_{false};
  // The thread whose outermost operation destroys the doomed adaptor; 0:
  // whichever operation returns last. Threads go by GetCurrentThreadId, which
  // costs the host's threads nothing (the C++ runtime's thread ids make a
  // record for each on Windows, which an unloaded module would leave behind).
  DWORD finisher_ = 0;
};
