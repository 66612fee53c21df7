// The stand-in host's side of its kit library (imaqmex): what the host and the
// tests see of the kit's accounting and of the adaptor's reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaqkit.h"

namespace kit {

enum class ReportKind { kError, kWarning };

// One adaptorError or adaptorWarn call: for an error, the operation name; for a
// warning, the identifier.
struct Report {
  ReportKind kind;
  std::string source;
  std::string message;
  const IAdaptor* adaptor;  // errors only
};

struct Accounting {
  std::size_t liveBlocks;
  std::size_t liveBytes;
  std::size_t totalAllocations;
  std::size_t liveSections;  // critical sections and holders not yet destroyed
};

IMAQKIT_API Accounting accounting();
// Makes the nth imaqmalloc call from now return null (1 = the next call);
// 0 cancels.
IMAQKIT_API void failAllocation(std::uint64_t nth);
// While on, createAutoCriticalSection gives no holder (a host out of resources).
IMAQKIT_API void failLockHolders(bool on);
// Makes the nth createCriticalSection call from now give no lock (1 = the
// next call); 0 cancels.
IMAQKIT_API void failCriticalSections(std::uint64_t nth);
// While on, a holder made without lockNow and entered later waits at the start
// of enter until it is off again: a test widens the window before a lock as far
// as it likes, as a busy machine may.
IMAQKIT_API void holdExplicitEnters(bool on);
// Enters waiting there now.
IMAQKIT_API std::uint64_t heldEnters();
// Holder leaves so far (explicit, or by a holder's destruction).
IMAQKIT_API std::uint64_t holderLeaves();

IMAQKIT_API std::vector<Report> reports();
IMAQKIT_API void clearReports();
// Whether reports are also printed to standard error as they arrive (default on).
IMAQKIT_API void setReportEcho(bool echo);

// Breaches of the kit's rules by the adaptor (a block freed twice or never
// allocated, a lock left that was not held, a section destroyed while held).
// A real host would crash or deadlock; this one records and tells.
IMAQKIT_API std::vector<std::string> violations();
IMAQKIT_API void clearViolations();
// The host's own objects record their breaches here too.
IMAQKIT_API void reportViolation(const std::string& what);

// ---- Host calls, where a host may act -------------------------------------------------

// The calls the module makes into the host's kit and objects that a host may
// do something of its own inside: run code, fail, answer otherwise, or be slow.
// The kit's functions and the host's objects (engine, adaptor manager, frame
// buffers, trigger setting, property container) each run the hook once per
// call: a call with a result first, then it answers with what the host holds
// after it; a call without one as its last act, so that an action may destroy
// the object it is called on. The kit's lock calls run it where a real kit
// could only fail or wait: before a holder is made, after a lock is taken,
// after it is given back, after a holder or lock is destroyed.
enum class HostCall : int {
  kAcquisitionActive,
  kFrameWanted,
  kCountFrame,
  kRegionOfInterest,
  kEngine,
  kDeviceIsOpen,
  kDeviceIsAcquiring,
  kRequestStop,
  kRequestClose,
  kNewFrame,
  kDeliverFrame,
  kCurrentTrigger,
  kSetImage,
  kSetTime,
  kTriggerType,
  kTriggerCondition,
  kTriggerSource,
  kGetCurrentTime,
  kHolderMade,
  kHolderEntered,
  kHolderLeft,
  kHolderDestroyed,
  kSectionMade,
  kSectionDestroyed,
  kAdaptorWarn,
  kAdaptorError,
  kPropertyCount,
  kPropertyNames,
  kPropertyRecord,
  kSetCustomGetter,
  kAddPostSetListener,
  // A listener asks the host's property record.
  kIdentifier,
  kStoredValue,
  kIsDeviceProperty,
  // Discovery and declaration.
  kCreateDevice,
  kAddDevice,
  kSetAdaptorData,
  kAdaptorData,
  kCreateFormat,
  kAddFormat,
  kFormatByName,
  kCreateProperty,
  kAddEnumValue,
  kSetReadOnly,
  kSetIdentifier,
  kAddProperty,
  kAddSource,
  kAddHardwareTrigger,
  kCreateAdaptorManager,
  kCount
};
IMAQKIT_API const char* hostCallName(HostCall call);

// ---- Entries: the host's calls into the module ----------------------------------------

// Every call a host makes into the module: the five exports, the adaptor's
// operations that reach the camera or the host, the listeners, and the
// destruction of the objects the module gave the host.
enum class Entry : int {
  kNone,  // no entry: a thread of the module's own (the acquisition thread)
  kInitialize,
  kUninitialize,
  kGetAvailHW,
  kGetDeviceAttributes,
  kCreateInstance,
  kGetROI,
  kSetROI,
  kOpenDevice,
  kCloseDevice,
  kStartCapture,
  kStopCapture,
  kGetValue,
  kNotify,
  kDestroyAdaptor,
  kDestroyDevice,
  kDestroyFormat,
  kCount
};
IMAQKIT_API const char* entryName(Entry entry);
// The calling thread is in the entry until endEntry; entries nest (a host
// action inside a host call makes one of its own).
IMAQKIT_API void beginEntry(Entry entry);
IMAQKIT_API void endEntry();
class EntryScope {
 public:
  explicit EntryScope(Entry entry) { beginEntry(entry); }
  ~EntryScope() { endEntry(); }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Where a host call comes from: the innermost entry of its thread, and its
// occurrence there (1 for the first such call of that entry's run; on a
// module's thread, of the thread's life).
struct Place {
  Entry entry;
  HostCall call;
  std::uint32_t occurrence;
};
// The place of the host call in progress on the calling thread: valid inside
// the hook, and after it until the thread's next host call.
IMAQKIT_API Place currentPlace();

// What a test build of the module tells of its seams: its own locks held by
// the calling thread (a host call under one is a breach of the kit's rules:
// a violation), and thread handles it has not given back.
IMAQKIT_API void noteModuleLock(int delta);
IMAQKIT_API void noteModuleThread(int delta);
IMAQKIT_API int moduleThreads();

// What the host answers: as it would, or the nothing of the call's type (false,
// null, zero, an empty region). Calls without a result ignore it.
enum class Answer { kAsIs, kNone };
using HostCallHook = Answer (*)(HostCall call, void* context);
// One hook for every host call, on whatever thread makes it; null removes it.
IMAQKIT_API void setHostCallHook(HostCallHook hook, void* context);
// Called by the host's code at each host call: runs the hook, kAsIs without one.
IMAQKIT_API Answer hostCall(HostCall call);
// Actions hooks took so far (they count them through noteAction): an engine
// forgives a frame buffer left with the module when a host action came while
// it was lent, as a real host drops the buffers of an acquisition it stopped.
IMAQKIT_API void noteAction();
IMAQKIT_API std::uint64_t actionsTaken();

// A cooperative scheduler for the kit's locks: while set, a critical section
// that is held is waited for by blocking in the scheduler (which runs one
// thread at a time and so must never see a thread block on its own), not in
// the operating system. ready(arg) tells when the wait may end.
using BlockHook = void (*)(const char* what, bool (*ready)(const void* arg), const void* arg);
IMAQKIT_API void setBlockHook(BlockHook hook);

// The adaptor manager factory used by createAdaptorManager; the host installs
// its own. Without one, createAdaptorManager returns null.
using ManagerFactory = IAdaptorManager* (*)(IAdaptor* adaptor, IEngine* engine, void* context);
IMAQKIT_API void setManagerFactory(ManagerFactory factory, void* context);

}  // namespace kit
