// The conformance host's own kit library (built as imaqmex beside a copy of the
// module): the kit functions the module imports, under their symbol names, and
// what the conformance test reads back of them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "contract.h"

#define CONFORMANCE_KIT_API __attribute__((visibility("default")))

namespace ck {

struct Report {
  bool error;          // adaptorError; else adaptorWarn
  std::string source;  // the operation (errors) or the identifier (warnings)
  std::string message;
  contract::Self adaptor;  // errors only
};

// createAdaptorManager hands its two arguments to this and returns its answer.
using ManagerFactory = contract::Self (*)(contract::Self adaptor, contract::Self engine);
CONFORMANCE_KIT_API void setManagerFactory(ManagerFactory factory);

CONFORMANCE_KIT_API std::size_t liveBlocks();
// Locks and lock holders not yet destroyed.
CONFORMANCE_KIT_API std::size_t liveLocks();
CONFORMANCE_KIT_API std::vector<Report> reports();
CONFORMANCE_KIT_API void clearReports();

// Calls that break the contract: a slot called on the wrong kind of object, a
// call past a table's last slot, a lock misused, a block freed twice.
CONFORMANCE_KIT_API std::vector<std::string> violations();
CONFORMANCE_KIT_API void clearViolations();
CONFORMANCE_KIT_API void violation(const std::string& what);

// The live records of the conformance host and its kit: an argument is taken
// for a host object only when it is one of these.
CONFORMANCE_KIT_API void addRecord(const void* record);
CONFORMANCE_KIT_API void removeRecord(const void* record);
CONFORMANCE_KIT_API bool isRecord(const void* record);

// getCurrentTime answers 1001, 1002, ... one more on every call; this is the
// last answer given (1000 before the first).
CONFORMANCE_KIT_API double lastTime();

}  // namespace ck
