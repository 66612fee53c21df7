#include "acquisition.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "frame_types.h"
#include "kit.h"
#include "session.h"

namespace host {
namespace {

std::chrono::duration<double> seconds(double s) {
  return std::chrono::duration<double>(s);
}

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

// ---- Frame buffers and the engine ---------------------------------------------------------

void FrameBuffer::setImage(const void* data, int width, int height, int offsetX, int offsetY) {
  const PixelKind kind = pixelKind(frameType_);
  if (data == nullptr || kind == PixelKind::kUnknown) {
    ruleBroken("setImage without an image, or for an unknown frame type");
    return;
  }
  if (offsetX < 0 || offsetY < 0 || width < 0 || height < 0 || offsetX + width_ > width ||
      offsetY + height_ > height) {
    ruleBroken("setImage: the frame's region does not lie within the image");
    return;
  }
  // The frame is the region at the offsets of the image; whole rows copy at once.
  const std::size_t rowBytes = imageBytes(frameType_, static_cast<std::size_t>(width), 1);
  const std::size_t regionRowBytes = imageBytes(frameType_, static_cast<std::size_t>(width_), 1);
  const std::size_t skip = imageBytes(frameType_, static_cast<std::size_t>(offsetX), 1);
  const auto* source = static_cast<const std::uint8_t*>(data);
  data_.resize(
      imageBytes(frameType_, static_cast<std::size_t>(width_), static_cast<std::size_t>(height_)));
  if (regionRowBytes == rowBytes && offsetX == 0) {
    std::memcpy(data_.data(), source + rowBytes * static_cast<std::size_t>(offsetY), data_.size());
  } else {
    for (int y = 0; y < height_; ++y)
      std::memcpy(data_.data() + regionRowBytes * static_cast<std::size_t>(y),
                  source + rowBytes * static_cast<std::size_t>(offsetY + y) + skip, regionRowBytes);
  }
  hasImage_ = true;
}

Engine::Engine() = default;

Engine::~Engine() {
  if (!lent_.empty()) ruleBroken("frame buffers never handed back to the engine");
}

IFrameBuffer* Engine::newFrame(std::uint32_t frameType, int width, int height) {
  if (pixelKind(frameType) == PixelKind::kUnknown || width < 0 || height < 0) {
    ruleBroken("newFrame for an unknown frame type or a negative size");
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (memoryCount_ >= memoryLimit_) return nullptr;
  FrameBuffer* buffer;
  if (free_.empty()) {
    buffers_.push_back(std::make_unique<FrameBuffer>());
    buffer = buffers_.back().get();
  } else {
    buffer = free_.back();
    free_.pop_back();
  }
  buffer->frameType_ = frameType;
  buffer->width_ = width;
  buffer->height_ = height;
  buffer->time_ = 0.0;
  buffer->hasImage_ = false;
  lent_.push_back(buffer);
  return buffer;
}

void Engine::deliverFrame(IFrameBuffer* frame) {
  store(frame);
  runInside(Callback::kDeliverFrame);
}

void Engine::store(IFrameBuffer* frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(lent_.begin(), lent_.end(), frame);
  if (it == lent_.end()) {
    ruleBroken("deliverFrame of a buffer the engine did not lend (or delivered twice)");
    return;
  }
  lent_.erase(it);
  auto* buffer = static_cast<FrameBuffer*>(frame);
  if (manager_ != nullptr && !manager_->armed() && !manager_->deviceIsAcquiring() &&
      !manager_->stopping())
    ruleBroken("frame delivered while no acquisition runs");
  if (!buffer->hasImage_) ruleBroken("frame delivered without an image");
  if (memoryCount_ == memory_.size()) {
    // Full: unroll the ring into a larger one.
    std::vector<FrameBuffer*> larger(std::max<std::size_t>(16, memory_.size() * 2));
    for (std::size_t i = 0; i < memoryCount_; ++i)
      larger[i] = memory_[(memoryHead_ + i) % memory_.size()];
    memory_.swap(larger);
    memoryHead_ = 0;
  }
  memory_[(memoryHead_ + memoryCount_) % memory_.size()] = buffer;
  ++memoryCount_;
  ++delivered_;
  arrived_.notify_all();
  if (deliverHook_) deliverHook_();
}

void Engine::actInside(Callback callback, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(insideMutex_);
  inside_[static_cast<int>(callback)] = std::move(action);
}

void Engine::runInside(Callback callback) {
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> lock(insideMutex_);
    action.swap(inside_[static_cast<int>(callback)]);
  }
  if (action) action();
}

bool Engine::takeFrame(Frame& frame, double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, seconds(timeoutSeconds), [&] { return memoryCount_ > 0; }))
    return false;
  FrameBuffer* buffer = memory_[memoryHead_];
  memoryHead_ = (memoryHead_ + 1) % memory_.size();
  --memoryCount_;
  frame.frameType = buffer->frameType_;
  frame.width = buffer->width_;
  frame.height = buffer->height_;
  frame.time = buffer->time_;
  frame.number = delivered_ - memoryCount_;
  frame.data.swap(buffer->data_);  // the buffer keeps the caller's old storage
  free_.push_back(buffer);
  return true;
}

std::size_t Engine::framesWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return memoryCount_;
}

void Engine::setMemoryLimit(std::size_t frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  memoryLimit_ = frames;
}

void Engine::resetCounts() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < memoryCount_; ++i)
    free_.push_back(memory_[(memoryHead_ + i) % memory_.size()]);
  memoryHead_ = 0;
  memoryCount_ = 0;
  delivered_ = 0;
}

std::size_t Engine::buffersMade() {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffers_.size();
}

// ---- The adaptor manager ------------------------------------------------------------------

void AdaptorManager::requestStop() {
  stopping_ = true;
  active_ = false;
  if (acquiring_) adaptor_->stopCapture();
  acquiring_ = false;
  stopping_ = false;
}

void AdaptorManager::requestClose() {
  requestStop();
  if (!open_) return;
  adaptor_->closeDevice();
  open_ = false;
}

void AdaptorManager::initRegion(int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  roi_[0] = roi_[1] = 0;
  roi_[2] = width;
  roi_[3] = height;
}

void AdaptorManager::regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) {
  std::lock_guard<std::mutex> lock(mutex_);
  offsetX = roi_[0];
  offsetY = roi_[1];
  width = roi_[2];
  height = roi_[3];
}

void AdaptorManager::setRegionOfInterest(int offsetX, int offsetY, int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  roi_[0] = offsetX;
  roi_[1] = offsetY;
  roi_[2] = width;
  roi_[3] = height;
}

void AdaptorManager::arm(const AcquisitionSettings& settings) {
  interval_ = std::max<std::uint32_t>(1, settings.frameGrabInterval);
  target_ = settings.framesPerTrigger == 0 ? 0
                                           : std::uint64_t{settings.framesPerTrigger} *
                                                 (std::uint64_t{settings.triggerRepeat} + 1);
  counted_ = 0;
  wantedCounted_ = 0;
  done_ = false;
  active_ = true;
}

// The actions a host may run inside these callbacks may destroy this manager:
// each is the last thing the callback does.
bool AdaptorManager::frameWanted() {
  const bool wanted = counted_ % interval_ == 0 && (target_ == 0 || wantedCounted_ < target_);
  engine_->runInside(Callback::kFrameWanted);
  return wanted;
}

void AdaptorManager::countFrame() {
  if (counted_ % interval_ == 0) ++wantedCounted_;
  ++counted_;
  if (target_ != 0 && wantedCounted_ >= target_ && !done_) {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    doneChanged_.notify_all();
  }
  engine_->runInside(Callback::kCountFrame);
}

bool AdaptorManager::waitDone(double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return doneChanged_.wait_for(lock, seconds(timeoutSeconds), [&] { return done_.load(); });
}

// ---- Video inputs -----------------------------------------------------------------------------

namespace {

IAdaptorManager* makeManager(IAdaptor* adaptor, IEngine* engine, void*) {
  auto* hostEngine = dynamic_cast<Engine*>(engine);
  if (hostEngine == nullptr) return nullptr;
  auto* manager = new AdaptorManager(adaptor, hostEngine);
  hostEngine->attach(manager);
  return manager;
}

// A property of the host, not of the device: the adaptor leaves it alone.
std::unique_ptr<Property> hostTimeoutProperty() {
  PropertyFactory factory;
  IProperty* p = factory.createDoubleProperty("Timeout", 0.0, 3600.0, 10.0);
  factory.setReadOnly(p, "never");
  factory.addProperty(p);
  return factory.take().front()->clone(false);
}

}  // namespace

void installAdaptorManagerFactory() {
  kit::setManagerFactory(makeManager, nullptr);
}

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
    f = static_cast<FormatEntry*>(d->formatByName(format.c_str()));
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
  input->adaptor_ =
      session.module().entry().createInstance(input->engine_.get(), d, f->name().c_str());
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
  input->manager_->initRegion(input->adaptor_->getMaxWidth(), input->adaptor_->getMaxHeight());
  return input;
}

VideoInput::~VideoInput() {
  destroyAdaptor();
}

void VideoInput::destroyAdaptor() {
  IAdaptor* adaptor = adaptor_;
  adaptor_ = nullptr;
  manager_ = nullptr;
  imaqkit::destroy(adaptor);  // its destructor asks the manager to stop and to close
}

bool VideoInput::adaptorFailed(std::size_t mark, std::string& error) const {
  const std::vector<kit::Report> reports = kit::reports();
  for (std::size_t i = mark; i < reports.size(); ++i) {
    if (reports[i].kind == kit::ReportKind::kError && reports[i].adaptor == adaptor_) {
      error = reports[i].source + ": " + reports[i].message;
      return true;
    }
  }
  return false;
}

bool VideoInput::setRoi(int offsetX, int offsetY, int width, int height, std::string& error) {
  const int maxWidth = adaptor_->getMaxWidth(), maxHeight = adaptor_->getMaxHeight();
  if (offsetX < 0 || offsetY < 0 || width <= 0 || height <= 0 || offsetX + width > maxWidth ||
      offsetY + height > maxHeight) {
    error = "region " + std::to_string(offsetX) + "," + std::to_string(offsetY) + "," +
            std::to_string(width) + "," + std::to_string(height) + " does not lie within the " +
            std::to_string(maxWidth) + "x" + std::to_string(maxHeight) + " image";
    return false;
  }
  const std::size_t mark = kit::reports().size();
  adaptor_->setROI(offsetX, offsetY, width, height);
  return !adaptorFailed(mark, error);
}

void VideoInput::roi(int& offsetX, int& offsetY, int& width, int& height) {
  adaptor_->getROI(offsetX, offsetY, width, height);
}

bool VideoInput::open(std::string& error) {
  if (manager_->deviceIsOpen()) return true;
  const std::size_t mark = kit::reports().size();
  const bool opened = adaptor_->openDevice();
  const bool reported = adaptorFailed(mark, error);
  if (!opened || reported) {
    if (opened) adaptor_->closeDevice();
    if (error.empty()) error = "openDevice failed";
    return false;
  }
  manager_->setOpen(true);
  return true;
}

void VideoInput::close() {
  manager_->requestClose();
}

bool VideoInput::start(std::string& error) {
  if (manager_->deviceIsAcquiring()) return true;
  engine_->resetCounts();
  manager_->arm(settings);
  const std::size_t mark = kit::reports().size();
  if (!adaptor_->startCapture()) {
    manager_->disarm();
    error = "startCapture failed: the device is not open";
    return false;
  }
  manager_->setAcquiring(true);
  if (adaptorFailed(mark, error)) {
    stop();
    return false;
  }
  return true;
}

void VideoInput::stop() {
  manager_->requestStop();
}

bool VideoInput::waitAndStop(double timeoutSeconds) {
  const bool done = manager_->waitDone(timeoutSeconds);
  stop();
  return done;
}

}  // namespace host
