#include "host_call_table.h"

namespace table {

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
      return true;
    default:
      return false;
  }
}

bool isDestruction(HostCall call) {
  return call == HostCall::kHolderDestroyed || call == HostCall::kSectionDestroyed;
}

constexpr Action kActions[] = {Action::kClose,   Action::kDestroy, Action::kStop,
                               Action::kRestart, Action::kThrow,   Action::kAnswerNone,
                               Action::kBlock,   Action::kNoHolder};

}  // namespace

const char* contextName(Context context) {
  static const char* const kNames[] = {"create", "open",  "start",  "thread",
                                       "stop",   "close", "destroy"};
  return kNames[static_cast<int>(context)];
}

const char* actionName(Action action) {
  static const char* const kNames[] = {"Close", "Destroy",    "Stop",  "Restart",
                                       "Throw", "AnswerNone", "Block", "NoHolder"};
  return kNames[static_cast<int>(action)];
}

const char* causeName(Cause cause) {
  static const char* const kNames[] = {"",
                                       "engine throws",
                                       "engine fails",
                                       "packet size fails",
                                       "triggered",
                                       "trigger write fails",
                                       "camera start fails",
                                       "frame wait fails",
                                       "camera stop fails"};
  return kNames[static_cast<int>(cause)];
}

std::string Row::name() const {
  std::string call = kit::hostCallName(place.call);
  call[0] = static_cast<char>(call[0] - 'a' + 'A');
  std::string context = contextName(place.context);
  context[0] = static_cast<char>(context[0] - 'a' + 'A');
  return context + "_" + call + "_" + actionName(action);
}

const std::vector<Place>& places() {
  using C = Context;
  using H = HostCall;
  using S = Cause;
  static const std::vector<Place> kPlaces = {
      // Construction: the locks, then the listeners on every device property.
      {C::kCreate, H::kSectionMade},
      {C::kCreate, H::kEngine},
      {C::kCreate, H::kPropertyCount},
      {C::kCreate, H::kPropertyNames},
      {C::kCreate, H::kPropertyRecord},
      {C::kCreate, H::kSetCustomGetter},
      {C::kCreate, H::kAddPostSetListener},
      {C::kCreate, H::kAdaptorWarn, S::kEngineThrows},
      {C::kOpen, H::kDeviceIsOpen},
      {C::kOpen, H::kAdaptorError, S::kOpenFails},
      {C::kOpen, H::kAdaptorWarn, S::kPacketSizeFails},
      {C::kStart, H::kDeviceIsOpen},
      {C::kStart, H::kDeviceIsAcquiring},
      {C::kStart, H::kEngine},
      {C::kStart, H::kCurrentTrigger},
      {C::kStart, H::kTriggerType},
      {C::kStart, H::kTriggerCondition, S::kHardwareTrigger},
      {C::kStart, H::kTriggerSource, S::kHardwareTrigger},
      {C::kStart, H::kHolderMade},
      {C::kStart, H::kHolderLeft},
      {C::kStart, H::kHolderDestroyed},
      {C::kStart, H::kAdaptorError, S::kTriggerFails},
      {C::kStart, H::kAdaptorWarn, S::kStartCameraFails},
      // The acquisition thread: its holder, the start message, each frame cycle.
      {C::kThread, H::kHolderMade},
      {C::kThread, H::kAcquisitionActive},
      {C::kThread, H::kHolderEntered},
      {C::kThread, H::kHolderLeft},
      {C::kThread, H::kHolderDestroyed},
      {C::kThread, H::kFrameWanted},
      {C::kThread, H::kRegionOfInterest},
      {C::kThread, H::kEngine},
      {C::kThread, H::kNewFrame},
      {C::kThread, H::kSetImage},
      {C::kThread, H::kGetCurrentTime},
      {C::kThread, H::kSetTime},
      {C::kThread, H::kDeliverFrame},
      {C::kThread, H::kCountFrame},
      {C::kThread, H::kAdaptorWarn, S::kFrameWaitFails},
      {C::kStop, H::kDeviceIsAcquiring},
      {C::kStop, H::kHolderMade},
      {C::kStop, H::kHolderLeft},
      {C::kStop, H::kHolderDestroyed},
      {C::kStop, H::kAdaptorWarn, S::kStopCameraFails},
      // A close while acquiring stops first, as a host does.
      {C::kClose, H::kDeviceIsAcquiring},
      {C::kClose, H::kHolderMade},
      {C::kClose, H::kHolderLeft},
      {C::kClose, H::kHolderDestroyed},
      {C::kClose, H::kDeviceIsOpen},
      {C::kClose, H::kAdaptorWarn, S::kStopCameraFails},
      // Destruction while acquiring: the adaptor asks the host to stop and close.
      {C::kDestroy, H::kRequestStop},
      {C::kDestroy, H::kRequestClose},
      {C::kDestroy, H::kDeviceIsAcquiring},
      {C::kDestroy, H::kDeviceIsOpen},
      {C::kDestroy, H::kHolderMade},
      {C::kDestroy, H::kHolderLeft},
      {C::kDestroy, H::kHolderDestroyed},
      {C::kDestroy, H::kSectionDestroyed},
      {C::kDestroy, H::kAdaptorWarn, S::kStopCameraFails},
  };
  return kPlaces;
}

bool admits(const Place& place, Action action) {
  switch (action) {
    case Action::kClose:
    case Action::kStop:
    case Action::kRestart:
      return place.context != Context::kCreate;
    case Action::kDestroy:
      return place.context != Context::kCreate && place.context != Context::kDestroy;
    case Action::kThrow:
      return !isDestruction(place.call);
    case Action::kAnswerNone:
      return hasResult(place.call);
    case Action::kBlock:
    case Action::kNoHolder:
      return true;
  }
  return false;
}

std::vector<Row> rows() {
  std::vector<Row> all;
  for (const Place& place : places())
    for (Action action : kActions)
      if (admits(place, action)) all.push_back({place, action});
  return all;
}

}  // namespace table
