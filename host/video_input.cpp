#include "video_input.h"

#include <algorithm>

#include "kit.h"
#include "session.h"

namespace host {
namespace {

// A number given as text names an entry by identifier; anything else by name.
bool isNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An identifier as given, if it is one an entry can have (1 to 2^32 - 1): a
// longer number is no identifier, not one that wraps to another.
std::uint32_t identifierOf(const std::string& text) {
  const std::size_t digits = text.size() - std::min(text.find_first_not_of('0'), text.size());
  if (digits == 0 || digits > 10) return 0;
  const std::uint64_t n = std::stoull(text);
  return n <= 0xFFFFFFFFull ? static_cast<std::uint32_t>(n) : 0;
}

std::string range(const char* what, std::size_t count) {
  return count == 0   ? std::string(" (there are no ") + what + "s)"
         : count == 1 ? std::string(" (there is ") + what + " 1)"
                      : std::string(" (") + what + "s are 1 to " + std::to_string(count) + ")";
}

}  // namespace

namespace {

// A property of the host, not of the device: the adaptor leaves it alone.
std::unique_ptr<Property> hostTimeoutProperty() {
  return Property::hostDouble("Timeout", 0.0, 3600.0, 10.0);
}

}  // namespace

bool VideoInput::selectTrigger(const std::string& configuration, const std::string& source,
                               std::string& error) {
  std::string offered;
  for (const TriggerConfiguration& t : attributes_->triggers) {
    if (t.configuration == configuration && t.source == source) {
      engine_->trigger().type = kHardwareTrigger;
      engine_->trigger().condition = t.configurationId;
      engine_->trigger().source = t.sourceId;
      return true;
    }
    offered += (offered.empty() ? "" : ", ") + t.configuration + "/" + t.source;
  }
  error = "device '" + device_->name() + "' has no hardware trigger " + configuration + "/" +
          source + (offered.empty() ? " (it has none)" : " (it has " + offered + ")");
  return false;
}

std::unique_ptr<VideoInput> VideoInput::create(Session& session, const std::string& device,
                                               const std::string& format, std::string& error) {
  if (!session.discovered()) session.discover();
  HardwareList& hardware = session.hardware();
  DeviceEntry* d = nullptr;
  if (isNumber(device)) {
    d = hardware.deviceById(identifierOf(device));
    if (d == nullptr) {
      error = "no device '" + device + "'" + range("device", hardware.devices().size());
      return nullptr;
    }
  } else {
    std::string same;
    for (DeviceEntry* candidate : hardware.devices()) {
      if (candidate->name() != device) continue;
      if (d != nullptr) same += ", ";
      same += std::to_string(candidate->id());
      if (d == nullptr) d = candidate;
    }
    if (d == nullptr) {
      error = "no device '" + device + "'";
      return nullptr;
    }
    if (same.find(',') != std::string::npos) {
      error = "device '" + device + "' is ambiguous: devices " + same +
              " have that name; give the device's identifier";
      return nullptr;
    }
  }
  FormatEntry* f = nullptr;
  if (format.empty()) {
    f = d->defaultFormat();
  } else if (isNumber(format)) {
    f = d->formatById(identifierOf(format));
    if (f == nullptr) {
      error = "device '" + d->name() + "' has no format '" + format + "'" +
              range("format", d->formats().size());
      return nullptr;
    }
  } else {
    f = d->formatNamed(format);
  }
  if (f == nullptr) {
    error = format.empty() ? "device '" + d->name() + "' has no formats"
                           : "device '" + d->name() + "' has no format '" + format + "'";
    return nullptr;
  }
  installAdaptorManagerFactory();
  std::unique_ptr<VideoInput> input(new VideoInput);
  input->engine_ = std::make_unique<Engine>();
  // The engine's properties: the device's, and one of the host's own.
  input->attributes_ = &session.attributes(*d);
  for (const auto& p : input->attributes_->properties)
    input->engine_->properties().add(p->clone(true));
  input->engine_->properties().add(hostTimeoutProperty());
  const std::size_t mark = kit::reports().size();
  {
    kit::EntryScope entry(kit::Entry::kCreateInstance);
    input->adaptor_ =
        session.module().entry().createInstance(input->engine_.get(), d, f->name().c_str());
  }
  if (input->adaptor_ == nullptr) {
    const std::vector<kit::Report> reports = kit::reports();
    error = reports.size() > mark ? reports.back().message : "the module made no adaptor";
    return nullptr;
  }
  input->manager_ = input->engine_->manager();
  input->device_ = d;
  input->format_ = f;
  if (input->manager_ == nullptr) {
    error = "the adaptor has no manager";
    return nullptr;
  }
  // The kit's own region covers the whole image until the user sets one.
  IAdaptor* adaptor = input->adaptor_;
  input->manager_.load()->initRegion(adaptor->getMaxWidth(), adaptor->getMaxHeight());
  return input;
}

VideoInput::~VideoInput() {
  destroyAdaptor();
}

void VideoInput::destroyAdaptor() {
  IAdaptor* adaptor = adaptor_.exchange(nullptr);
  manager_ = nullptr;
  if (adaptor == nullptr) return;
  kit::EntryScope entry(kit::Entry::kDestroyAdaptor);
  imaqkit::destroy(adaptor);  // its destructor asks the manager to stop and to close
}

bool VideoInput::adaptorFailed(std::size_t mark, const IAdaptor* adaptor, std::string& error) {
  const std::vector<kit::Report> reports = kit::reports();
  for (std::size_t i = mark; i < reports.size(); ++i) {
    if (reports[i].kind == kit::ReportKind::kError && reports[i].adaptor == adaptor) {
      error = reports[i].source + ": " + reports[i].message;
      return true;
    }
  }
  return false;
}

namespace {
constexpr char kDestroyed[] = "the adaptor was destroyed";
}  // namespace

bool VideoInput::setRoi(int offsetX, int offsetY, int width, int height, std::string& error) {
  IAdaptor* adaptor = adaptor_;
  if (adaptor == nullptr) {
    error = kDestroyed;
    return false;
  }
  const int maxWidth = adaptor->getMaxWidth(), maxHeight = adaptor->getMaxHeight();
  if (offsetX < 0 || offsetY < 0 || width <= 0 || height <= 0 || offsetX + width > maxWidth ||
      offsetY + height > maxHeight) {
    error = "region " + std::to_string(offsetX) + "," + std::to_string(offsetY) + "," +
            std::to_string(width) + "," + std::to_string(height) + " does not lie within the " +
            std::to_string(maxWidth) + "x" + std::to_string(maxHeight) + " image";
    return false;
  }
  const std::size_t mark = kit::reports().size();
  {
    kit::EntryScope entry(kit::Entry::kSetROI);
    adaptor->setROI(offsetX, offsetY, width, height);
  }
  return !adaptorFailed(mark, adaptor, error);
}

void VideoInput::roi(int& offsetX, int& offsetY, int& width, int& height) {
  if (IAdaptor* adaptor = adaptor_) {
    kit::EntryScope entry(kit::Entry::kGetROI);
    adaptor->getROI(offsetX, offsetY, width, height);
  }
}

// Each operation reads the adaptor afresh after every call into it: a host
// action inside the call may have destroyed it.
bool VideoInput::open(std::string& error) {
  IAdaptor* adaptor = adaptor_;
  AdaptorManager* manager = manager_;
  if (adaptor == nullptr) {
    error = kDestroyed;
    return false;
  }
  if (manager->isOpen()) return true;
  const std::size_t mark = kit::reports().size();
  bool opened;
  {
    kit::EntryScope entry(kit::Entry::kOpenDevice);
    opened = adaptor->openDevice();
  }
  const bool reported = adaptorFailed(mark, adaptor, error);
  if (adaptor_ != adaptor) {
    error = kDestroyed;
    return false;
  }
  if (!opened || reported) {
    if (opened) {
      kit::EntryScope entry(kit::Entry::kCloseDevice);
      adaptor->closeDevice();
    }
    if (error.empty()) error = "openDevice failed";
    return false;
  }
  manager->setOpen(true);
  return true;
}

void VideoInput::close() {
  if (AdaptorManager* manager = manager_) manager->close();
}

bool VideoInput::start(std::string& error) {
  IAdaptor* adaptor = adaptor_;
  AdaptorManager* manager = manager_;
  if (adaptor == nullptr) {
    error = kDestroyed;
    return false;
  }
  if (manager->isAcquiring()) return true;
  engine_->reclaimLent();
  engine_->resetCounts();
  manager->arm(settings);
  const std::size_t mark = kit::reports().size();
  manager->beginStart();
  engine_->beginRun();
  bool started;
  {
    kit::EntryScope entry(kit::Entry::kStartCapture);
    started = adaptor->startCapture();
  }
  if (adaptor_ != adaptor) {
    error = kDestroyed;
    return false;
  }
  const bool stopAsked = manager->finishStart();
  if (!started) {
    manager->disarm();
    if (!adaptorFailed(mark, adaptor, error)) error = "startCapture failed: the device is not open";
    return false;
  }
  manager->setAcquiring(true);
  if (adaptorFailed(mark, adaptor, error) || stopAsked) {
    stop();
    if (error.empty()) error = "stopped while it started";
    return false;
  }
  return true;
}

void VideoInput::stop() {
  if (AdaptorManager* manager = manager_) manager->stop();
}

bool VideoInput::waitAndStop(double timeoutSeconds) {
  AdaptorManager* manager = manager_;
  const bool done = manager != nullptr && manager->waitDone(timeoutSeconds);
  stop();
  return done;
}

}  // namespace host
