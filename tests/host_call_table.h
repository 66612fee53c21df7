// The host-call table, generated from a trace: every call the module makes
// into the host, by the entry it makes it in (the host's call into the module
// in progress on that thread, or the acquisition thread) and its occurrence
// there, crossed with every action a host may take inside it. Nobody lists the
// places: a life of an adaptor is run once for each way it can end and each
// cause that makes a rarer call come (a warning needs a failure first), with
// the kit recording every host call; the rows are what was recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit.h"

namespace table {

// How a life ends: stopped (then closed and destroyed), closed while
// acquiring, or destroyed while acquiring.
enum class Shape { kStop, kClose, kDestroy };

// What must fail or be chosen first for a rarer call to come.
// Those whose calls come whatever the machine does first: a place that a
// busy machine also makes come (a frame wait's warning) is then the
// deterministic life's.
enum class Cause {
  kNone,
  kFrameWaitFails,      // a frame wait fails
  kStopCameraFails,     // the camera does not stop
  kRegisterReadFails,   // a property's register cannot be read
  kRegisterWriteFails,  // ... or written
  kEngineThrows,        // the host fails as the adaptor asks for its engine
  kOpenFails,           // the library cannot make a receive engine
  kPacketSizeFails,     // a Format 7 mode whose packet size cannot be read
  kStartCameraFails,    // the camera does not start
  kHardwareTrigger,     // a hardware trigger is chosen
  kTriggerFails,        // ... and its register cannot be written
  kCount
};

// What the host does inside the call.
enum class Action {
  kClose,                 // closes the device (stopping first, as a host does)
  kDestroy,               // destroys the adaptor
  kStop,                  // stops the acquisition
  kStart,                 // starts it (when it is not running)
  kRestart,               // stops and starts it again
  kStartStop,             // starts it, then stops it
  kOpen,                  // opens the device again
  kThrow,                 // throws an exception of its own
  kAnswerNone,            // answers false, null, zero or an empty region
  kBlock,                 // is slow: blocks for a while
  kNoHolder,              // gives no lock holder from then on
  kOtherRead,             // another host thread reads a property meanwhile
  kOtherWrite,            // ... sets one
  kOtherStop,             // ... stops
  kOtherClose,            // ... closes
  kOtherDestroy,          // ... destroys the adaptor
  kOtherDestroyInReport,  // ... reads a property that fails, destroying inside the report
  kCount
};

// A host call where it came from.
struct Place {
  kit::Entry entry;
  kit::HostCall call;
  std::uint32_t occurrence;
  bool operator<(const Place& o) const;
  bool operator==(const Place& o) const;
};

// The life that first made a place come.
struct Origin {
  Cause cause;
  Shape shape;
};

struct Traced {
  Place place;
  Origin origin;
};

struct Row {
  Place place;
  Origin origin;
  Action action;
  std::string name() const;
};

const char* causeName(Cause cause);
const char* actionName(Action action);
const char* shapeName(Shape shape);
std::string placeName(const Place& place);

// The occurrences a trace's places stand for: the first, the second and the
// last of a call in an entry (the middle ones of a loop do what the second
// does); on the acquisition thread, whose calls are counted over its life,
// the first and the second (how many frames a life brings is the machine's).
// Every traced place belongs to one kept place.
Place keptFor(const Place& place, const std::vector<Place>& trace);
// Whether a host can take the action inside the call: an answer needs a call
// with a result, a throw a call that is no destructor's, the host's own
// actions a video input (none exists before createInstance returns), a
// destruction an adaptor not already on its way out.
bool admits(const Place& place, Action action);
// Every row: each kept place of the trace once, with the first life that
// made it, by every action it admits.
std::vector<Row> rows(const std::vector<Traced>& trace);

}  // namespace table
