// The control interface: thin forwarding to the one bus.
#include <sstream>

#include "bus.h"

namespace sim {

bool installBus(const BusDesc& bus, std::string* error) {
  return Bus::get().install(bus, error);
}
BusDesc installedBus() {
  return Bus::get().description();
}
void setFreeRunning(bool on) {
  Bus::get().setFreeRunning(on);
}
void setTimeoutScale(double scale) {
  Bus::get().setTimeoutScale(scale);
}
void setFrameWaitHook(FrameWaitHook hook) {
  Bus::get().setFrameWaitHook(hook);
}
void addFault(const FaultRule& rule) {
  Bus::get().addFault(rule);
}
void clearFaults() {
  Bus::get().clearFaults();
}
std::uint64_t faultsInjected() {
  return Bus::get().faultsInjected();
}

void setRandomFaults(double rate, std::uint64_t seed, const std::vector<std::string>& functions) {
  Bus::get().setRandomFaults(rate, seed, functions);
}

std::uint64_t randomFaultsInjected() {
  return Bus::get().randomFaultsInjected();
}
void setCountOverstatement(std::uint32_t extra) {
  Bus::get().setCountOverstatement(extra);
}
void setQuirks(const Quirks& quirks) {
  Bus::get().setQuirks(quirks);
}
bool setCameraQuirks(std::uint64_t cameraId, const Quirks& quirks) {
  return Bus::get().setCameraQuirks(cameraId, quirks);
}
void setLibraryQuirks(const LibraryQuirks& quirks) {
  Bus::get().setLibraryQuirks(quirks);
}
const char* quirkName(Quirks::Startup startup) {
  switch (startup) {
    case Quirks::Startup::kRefused:
      return "refused";
    case Quirks::Startup::kIgnored:
      return "ignored";
    case Quirks::Startup::kHonest:
      break;
  }
  return "honest";
}
const char* quirkName(LibraryQuirks::Texts texts) {
  switch (texts) {
    case LibraryQuirks::Texts::kNull:
      return "null";
    case LibraryQuirks::Texts::kSame:
      return "same";
    case LibraryQuirks::Texts::kHonest:
      break;
  }
  return "honest";
}
void setCallLog(bool on) {
  Bus::get().setCallLog(on);
}
std::vector<Call> callLog() {
  return Bus::get().callLog();
}
void clearCallLog() {
  Bus::get().clearCallLog();
}
bool pulseTrigger(std::uint64_t cameraId, int source) {
  return Bus::get().pulse(cameraId, source);
}
bool setPulseRate(std::uint64_t cameraId, double hertz) {
  return Bus::get().setPulseRate(cameraId, hertz);
}
bool unplug(std::uint64_t cameraId) {
  return Bus::get().setPlugged(cameraId, false);
}
bool replug(std::uint64_t cameraId) {
  return Bus::get().setPlugged(cameraId, true);
}
bool readCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t& value) {
  return Bus::get().readCsr(cameraId, offset, value);
}
bool writeCsr(std::uint64_t cameraId, std::uint32_t offset, std::uint32_t value) {
  return Bus::get().writeCsr(cameraId, offset, value);
}
bool readFeature(std::uint64_t cameraId, const std::string& name, FeatureState& state) {
  return Bus::get().readFeature(cameraId, name, state);
}
bool readCamera(std::uint64_t cameraId, CameraState& state) {
  return Bus::get().readCamera(cameraId, state);
}
Resources resources() {
  return Bus::get().resources();
}
bool readEngine(CvEngineHandle engine, EngineStats& stats) {
  return Bus::get().readEngine(engine, stats);
}
std::vector<CvEngineHandle> engines() {
  return Bus::get().engineList();
}
bool lostBefore(std::uint64_t cameraId, std::uint64_t frame, std::uint64_t& lost) {
  return Bus::get().lostBefore(cameraId, frame, lost);
}

std::string describeCall(const Call& call) {
  std::ostringstream out;
  out << call.function << "(";
  for (std::size_t i = 0; i < call.args.size(); ++i)
    out << (i ? ", " : "") << "0x" << std::hex << call.args[i];
  out << std::dec << ")";
  if (!call.record.empty()) out << " [" << call.record.size() << " bytes]";
  out << " -> 0x" << std::hex << call.status;
  return out.str();
}

}  // namespace sim
