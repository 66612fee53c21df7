#include "host_call_table.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <tuple>

namespace table {

using kit::Entry;
using kit::HostCall;

namespace {

bool hasResult(HostCall call) {
  switch (call) {
    case HostCall::kAcquisitionActive:
    case HostCall::kFrameWanted:
    case HostCall::kRegionOfInterest:
    case HostCall::kEngine:
    case HostCall::kDeviceIsOpen:
    case HostCall::kDeviceIsAcquiring:
    case HostCall::kNewFrame:
    case HostCall::kCurrentTrigger:
    case HostCall::kTriggerType:
    case HostCall::kTriggerCondition:
    case HostCall::kTriggerSource:
    case HostCall::kGetCurrentTime:
    case HostCall::kHolderMade:
    case HostCall::kSectionMade:
    case HostCall::kPropertyCount:
    case HostCall::kPropertyRecord:
    case HostCall::kIdentifier:
    case HostCall::kStoredValue:
    case HostCall::kIsDeviceProperty:
    case HostCall::kCreateDevice:
    case HostCall::kAdaptorData:
    case HostCall::kCreateFormat:
    case HostCall::kFormatByName:
    case HostCall::kCreateProperty:
    case HostCall::kCreateAdaptorManager:
      return true;
    default:
      return false;
  }
}

bool isDestruction(HostCall call) {
  return call == HostCall::kHolderDestroyed || call == HostCall::kSectionDestroyed;
}

// Entries during which the host has a video input to act on.
bool hasInput(Entry entry) {
  switch (entry) {
    case Entry::kNone:
    case Entry::kGetROI:
    case Entry::kSetROI:
    case Entry::kOpenDevice:
    case Entry::kCloseDevice:
    case Entry::kStartCapture:
    case Entry::kStopCapture:
    case Entry::kGetValue:
    case Entry::kNotify:
    case Entry::kDestroyAdaptor:
      return true;
    default:
      return false;
  }
}

std::string upperFirst(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

}  // namespace

bool Place::operator<(const Place& o) const {
  return std::tie(entry, call, occurrence) < std::tie(o.entry, o.call, o.occurrence);
}

bool Place::operator==(const Place& o) const {
  return entry == o.entry && call == o.call && occurrence == o.occurrence;
}

const char* causeName(Cause cause) {
  static const char* const kNames[] = {"",
                                       "frame wait fails",
                                       "camera stop fails",
                                       "register read fails",
                                       "register write fails",
                                       "engine throws",
                                       "engine fails",
                                       "packet size fails",
                                       "camera start fails",
                                       "triggered",
                                       "trigger write fails"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Cause::kCount));
  return kNames[static_cast<int>(cause)];
}

const char* actionName(Action action) {
  static const char* const kNames[] = {"Close",
                                       "Destroy",
                                       "Stop",
                                       "Start",
                                       "Restart",
                                       "StartStop",
                                       "Open",
                                       "Throw",
                                       "AnswerNone",
                                       "Block",
                                       "NoHolder",
                                       "OtherRead",
                                       "OtherWrite",
                                       "OtherStop",
                                       "OtherClose",
                                       "OtherDestroy",
                                       "OtherDestroyInReport"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Action::kCount));
  return kNames[static_cast<int>(action)];
}

const char* shapeName(Shape shape) {
  static const char* const kNames[] = {"stopped", "closed while acquiring",
                                       "destroyed while acquiring"};
  return kNames[static_cast<int>(shape)];
}

std::string placeName(const Place& place) {
  return upperFirst(kit::entryName(place.entry)) + "_" + upperFirst(kit::hostCallName(place.call)) +
         "_" + std::to_string(place.occurrence);
}

std::string Row::name() const {
  return placeName(place) + "_" + actionName(action);
}

Place keptFor(const Place& place, const std::vector<Place>& trace) {
  if (place.occurrence <= 2) return place;
  if (place.entry == Entry::kNone) return {place.entry, place.call, 2};
  std::uint32_t last = 0;
  for (const Place& p : trace)
    if (p.entry == place.entry && p.call == place.call) last = std::max(last, p.occurrence);
  return place.occurrence == last ? place : Place{place.entry, place.call, 2};
}

bool admits(const Place& place, Action action) {
  switch (action) {
    case Action::kClose:
    case Action::kStop:
    case Action::kStart:
    case Action::kRestart:
    case Action::kStartStop:
    case Action::kOpen:
    case Action::kOtherRead:
    case Action::kOtherWrite:
    case Action::kOtherStop:
    case Action::kOtherClose:
      return hasInput(place.entry);
    case Action::kDestroy:
    case Action::kOtherDestroy:
    case Action::kOtherDestroyInReport:
      return hasInput(place.entry) && place.entry != Entry::kDestroyAdaptor;
    case Action::kThrow:
      return !isDestruction(place.call);
    case Action::kAnswerNone:
      return hasResult(place.call);
    case Action::kBlock:
    case Action::kNoHolder:
      return true;
    case Action::kCount:
      break;
  }
  return false;
}

std::vector<Row> rows(const std::vector<Traced>& trace) {
  std::vector<Row> all;
  std::set<Place> done;
  for (const Traced& t : trace) {
    if (!done.insert(t.place).second) continue;
    for (int a = 0; a < static_cast<int>(Action::kCount); ++a)
      if (admits(t.place, static_cast<Action>(a)))
        all.push_back({t.place, t.origin, static_cast<Action>(a)});
  }
  return all;
}

}  // namespace table
