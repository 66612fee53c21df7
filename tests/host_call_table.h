// The table of every call the module makes into the host, by every action a
// host may take inside it. A place is a call in a context: on the acquisition
// thread, or on the host's thread during one of its operations. Some calls come
// only when something fails first (a warning needs a cause): their place names
// the set-up that makes them come. A row is a place and an action; the rows
// are generated from the places and the actions each call admits.
#pragma once

#include <string>
#include <vector>

#include "kit.h"

namespace table {

// Where a call comes from: the host operation in progress on the host's
// thread, or the acquisition thread.
enum class Context { kCreate, kOpen, kStart, kThread, kStop, kClose, kDestroy };

// What the host does inside the call.
enum class Action {
  kClose,       // closes the device (stopping first, as a host does)
  kDestroy,     // destroys the adaptor
  kStop,        // stops the acquisition
  kRestart,     // stops and starts it again
  kThrow,       // throws an exception of its own
  kAnswerNone,  // answers false, null, zero or an empty region
  kBlock,       // is slow: blocks for a while
  kNoHolder,    // gives no lock holder from then on
};

// What must fail or be chosen first for the call to come.
enum class Cause {
  kNone,
  kEngineThrows,      // the host fails as the adaptor asks for its engine
  kOpenFails,         // the library cannot make a receive engine
  kPacketSizeFails,   // a Format 7 mode whose packet size cannot be read
  kHardwareTrigger,   // a hardware trigger is chosen
  kTriggerFails,      // ... and its register cannot be written
  kStartCameraFails,  // the camera does not start
  kFrameWaitFails,    // a frame wait fails
  kStopCameraFails,   // the camera does not stop
};

struct Place {
  Context context;
  kit::HostCall call;
  Cause cause = Cause::kNone;
};

struct Row {
  Place place;
  Action action;
  std::string name() const;
};

const char* contextName(Context context);
const char* actionName(Action action);
const char* causeName(Cause cause);

// Every place the module calls the host from, as it works today.
const std::vector<Place>& places();
// Whether a host can take the action inside the call in that context: an
// answer needs a call with a result, a throw a call that is no destructor, and
// the adaptor must exist (and, for a destroy, not be on its way out already).
bool admits(const Place& place, Action action);
// Every row of the table, in order.
std::vector<Row> rows();

}  // namespace table
