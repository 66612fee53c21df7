#include "adaptor/corvane_adaptor.h"

#include <string_view>
#include <utility>

#include "adaptor/acquisition_run.h"
#include "adaptor/boundary.h"
#include "control/property_listeners.h"

namespace {

constexpr std::uint32_t kFormat7 = 7;

// Host frame types by IIDC colour coding.
constexpr std::uint32_t kMono8 = 0x11010000;
constexpr std::uint32_t kFrameTypes[] = {
    kMono8,     0x03030003, 0x03030001, 0x03030004, 0x01030000,
    0x11010004, 0x01030006, 0x11010009, 0x0103000a,
};
constexpr std::uint32_t kRaw8 = 9;
constexpr std::uint32_t kRaw16 = 10;

// Bayer frame types by the library's filter pattern code 1 to 4; any other code
// takes the first layout.
constexpr std::uint32_t bayerType(std::uint32_t base, std::uint8_t pattern) {
  switch (pattern) {
    case 1:
      return base | 3;
    case 3:
      return base | 1;
    case 4:
      return base | 2;
    default:
      return base;
  }
}

}  // namespace

CorvaneAdaptor::CorvaneAdaptor(IEngine* engine, CorvaneDevice* cameraDevice,
                               CorvaneFormat* videoFormat)
    : imaqkit::Implements<IAdaptor>(engine), device(cameraDevice), format(videoFormat) {
  // Nothing thrown by the host may leave a lock behind: a lock that cannot be
  // had stays null, and createInstance then destroys the incomplete adaptor.
  try {
    link_ = ListenerLink::make(this);
    locks_ = new AdaptorLocks;
    locks_->acquire = acquireLock = createCriticalSection();
    locks_->flag = captureFlagLock = createCriticalSection();
  } catch (...) {
  }
  if (!complete()) return;
  // Last: the listeners may be called as soon as they are installed. From the
  // first one on, the adaptor must outlive construction, so installation
  // survives whatever the host throws, its reports included.
  try {
    IEngine* hostEngine = manager->engine();
    if (hostEngine != nullptr) installPropertyListeners(link_, hostEngine->propertyContainer());
  } catch (...) {
    warnQuietly("CorvaneImaq:createInstance", "%s",
                "The host failed while property listeners were installed; some properties are "
                "not connected to the camera.");
  }
}

bool CorvaneAdaptor::complete() const {
  return manager != nullptr && locks_ != nullptr && link_ != nullptr && acquireLock != nullptr &&
         captureFlagLock != nullptr;
}

void AdaptorLocks::release() noexcept {
  if (--uses != 0) return;
  imaqkit::destroy(acquire);
  imaqkit::destroy(flag);
  delete this;
}

CorvaneAdaptor::~CorvaneAdaptor() {
  endWithHost();
  if (locks_ != nullptr) {
    locks_->release();
  } else {
    imaqkit::destroy(acquireLock);
    imaqkit::destroy(captureFlagLock);
  }
  delete startup.image;
  startup.image = nullptr;
  if (link_ != nullptr) link_->release();
}

void CorvaneAdaptor::endWithHost() noexcept {
  Failure why;
  if (manager != nullptr && !shielded(
                                [&] {
                                  manager->requestStop();
                                  manager->requestClose();
                                },
                                why))
    reportWarning("CorvaneImaq:destroyAdaptor", "The host failed to stop and close the device",
                  why);
  // A host that did not close through closeDevice, or that started again
  // inside its own stop, must not leave a thread running on a destroyed
  // adaptor, nor a camera streaming on its bus.
  if (captureFlag.exchange(false)) {
    if (!onAcquisitionThread()) waitForCycleEnd();
    stopCamera();
  }
  shutdownDevice();
  imaqkit::destroy(std::exchange(manager, nullptr));
}

void CorvaneAdaptor::operator delete(CorvaneAdaptor* self, std::destroying_delete_t) noexcept {
  const DWORD me = GetCurrentThreadId();
  // First: a listener entering from now on finds the adaptor gone; one that
  // entered before is among the operations.
  if (self->link_ != nullptr) self->link_->cut();
  self->lockOperations();
  if (self->doomed_) {
    self->unlockOperations();
    return;
  }
  bool mine = self->inOperation(me);
  // Inside its own operation on a host thread while other host threads are
  // inside theirs: those go first. Each may be about to ask the manager (its
  // check of doomed() and its call are two steps), and none of them waits
  // for a host thread.
  while (mine && !self->onAcquisitionThread() && self->othersInside(me)) {
    self->unlockOperations();
    Sleep(1);
    self->lockOperations();
    if (self->doomed_) {
      self->unlockOperations();
      return;
    }
  }
  if (mine || (self->operations_ != nullptr && self->onAcquisitionThread())) {
    // Inside its own operation, or on the thread a host thread's operation may
    // be waiting for: what concerns the host ends now (its delete may be
    // followed by the end of its engine), the rest when the operation returns.
    self->finisher_ = mine ? me : 0;
    self->doomed_ = true;
    // An operation itself, listed with the doom, so that the rest does not
    // overtake it.
    Operation ending(*self, Operation::Locked{});
    self->unlockOperations();
    self->endWithHost();
    return;
  }
  self->unlockOperations();
  self->waitForOtherOperations();
  self->destroyNow();
}

void CorvaneAdaptor::lockOperations() noexcept {
  while (operationsLock_.test_and_set(std::memory_order_acquire)) {
  }
}

bool CorvaneAdaptor::othersInside(DWORD thread) const noexcept {
  for (const Operation* o = operations_; o != nullptr; o = o->next_)
    if (o->thread_ != thread) return true;
  return false;
}

bool CorvaneAdaptor::inOperation(DWORD thread) const noexcept {
  for (const Operation* o = operations_; o != nullptr; o = o->next_)
    if (o->thread_ == thread) return true;
  return false;
}

void CorvaneAdaptor::waitForOtherOperations() noexcept {
  for (;;) {
    lockOperations();
    const bool idle = operations_ == nullptr;
    unlockOperations();
    if (idle) return;
    Sleep(1);
  }
}

void CorvaneAdaptor::destroyNow() noexcept {
  // The destructor's own calls into the host run operations of their own.
  doomed_ = false;
  finishing_ = false;
  this->~CorvaneAdaptor();
  imaqfree(this);
}

CorvaneAdaptor::Operation::Operation(CorvaneAdaptor& adaptor) noexcept
    : Operation((joinEndedThreads(), adaptor), Joined{}) {}

CorvaneAdaptor::Operation::Operation(CorvaneAdaptor& adaptor, Joined) noexcept
    : adaptor_(adaptor), thread_(GetCurrentThreadId()) {
  adaptor_.lockOperations();
  next_ = adaptor_.operations_;
  adaptor_.operations_ = this;
  adaptor_.unlockOperations();
}

CorvaneAdaptor::Operation::Operation(CorvaneAdaptor& adaptor, Locked) noexcept
    : adaptor_(adaptor), thread_(GetCurrentThreadId()) {
  next_ = adaptor_.operations_;
  adaptor_.operations_ = this;
}

CorvaneAdaptor::Operation::~Operation() {
  adaptor_.lockOperations();
  Operation** link = &adaptor_.operations_;
  while (*link != this) link = &(*link)->next_;
  *link = next_;
  // The adaptor's finisher is the thread that destroyed it inside its own
  // operation, once its outermost one returns, or else the last to return.
  bool finish = false;
  if (adaptor_.doomed_ && !adaptor_.finishing_) {
    finish = adaptor_.finisher_ == 0
                 ? adaptor_.operations_ == nullptr
                 : adaptor_.finisher_ == thread_ && !adaptor_.inOperation(thread_);
    adaptor_.finishing_ = finish;
  }
  adaptor_.unlockOperations();
  if (!finish) return;
  adaptor_.waitForOtherOperations();
  adaptor_.destroyNow();
}

void CorvaneAdaptor::getROI(int& offsetX, int& offsetY, int& width, int& height) {
  if (format->formatNumber != kFormat7 || format->format7Info == nullptr) {
    // The kit's region, kept by the host.
    Operation operation(*this);
    Failure why;
    if (!shielded([&] { IAdaptor::getROI(offsetX, offsetY, width, height); }, why))
      reportError(this, "getROI", why);
    return;
  }
  const Format7ImageRecord& image = *format->format7Info->image;
  offsetX = image.left;
  offsetY = image.top;
  width = image.width;
  height = image.height;
}

void CorvaneAdaptor::setROI(int offsetX, int offsetY, int width, int height) {
  Operation operation(*this);
  if (format->formatNumber != kFormat7 || format->format7Info == nullptr) {
    Failure why;
    if (!shielded([&] { IAdaptor::setROI(offsetX, offsetY, width, height); }, why))
      reportError(this, "setROI", why);
    return;
  }
  if (!format->isValidRoi(offsetX, offsetY, width, height)) {
    adaptorError(this, "setROI", "Unsupported ROI values.");
    return;
  }
  // Stored in the format: the camera takes it at the next openDevice.
  Format7ImageRecord& image = *format->format7Info->image;
  image.left = static_cast<std::uint16_t>(offsetX);
  image.top = static_cast<std::uint16_t>(offsetY);
  image.width = static_cast<std::uint16_t>(width);
  image.height = static_cast<std::uint16_t>(height);
}

int CorvaneAdaptor::getMaxWidth() {
  return static_cast<int>(format->width);
}

int CorvaneAdaptor::getMaxHeight() {
  return static_cast<int>(format->height);
}

std::uint32_t CorvaneAdaptor::getFrameType() {
  const std::uint32_t coding = format->colorCoding;
  if (coding < std::size(kFrameTypes)) return kFrameTypes[coding];
  if (coding == kRaw8) return bayerType(0x06030000, format->filterPattern);
  if (coding == kRaw16) return bayerType(0x06030010, format->filterPattern);
  return kMono8;
}

int CorvaneAdaptor::getBandCount() {
  const std::uint32_t coding = format->colorCoding;
  const bool mono = coding == 0 || coding == 5 || coding == 7 || coding > kRaw16;
  return mono ? 1 : 3;
}

const char* CorvaneAdaptor::getDescription() {
  return "CorvaneImaq: IIDC 1394 digital cameras through the BL1394 camera bus library";
}

const char* CorvaneAdaptor::getVersion() {
  return "1.0.0";
}

// The binaries carry the build files' version; the module's must be the one it answers.
static_assert(std::string_view(CORVANE_VERSION) == "1.0.0",
              "getVersion and the version of the build files disagree");

// Without a holder (the host has none, or throws) the flag is still set: a
// stop must end the run whatever the host's locks do.
void CorvaneAdaptor::setCaptureFlag(bool value) noexcept {
  IAutoCriticalSection* hold = holdFlag();
  captureFlag = value;
  imaqkit::destroy(hold);
}
