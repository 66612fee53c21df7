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

// The adaptor manager factory used by createAdaptorManager; the host installs
// its own. Without one, createAdaptorManager returns null.
using ManagerFactory = IAdaptorManager* (*)(IAdaptor* adaptor, IEngine* engine, void* context);
IMAQKIT_API void setManagerFactory(ManagerFactory factory, void* context);

}  // namespace kit
