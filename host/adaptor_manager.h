// The adaptor manager: what the host tells an adaptor of the acquisition it
// runs (open, acquiring, frames wanted, the kit's region) and the requests the
// adaptor makes of the host.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine.h"
#include "imaqkit.h"
#include "kit.h"

namespace host {

struct AcquisitionSettings {
  std::uint32_t framesPerTrigger = 10;  // 0: until stopped
  std::uint32_t triggerRepeat = 0;
  std::uint32_t frameGrabInterval = 1;  // every nth frame is wanted
};

// Every call the adaptor makes runs the kit's host-call hook, and a hook may
// destroy the adaptor, and this manager with it, from inside: a call with a
// result runs it first and then answers, a call without runs it as its last act.
class AdaptorManager final : public imaqkit::Implements<IAdaptorManager> {
 public:
  AdaptorManager(IAdaptor* adaptor, Engine* engine);
  ~AdaptorManager() override;

  void requestClose() override;
  void requestStop() override;
  bool deviceIsOpen() override;
  bool deviceIsAcquiring() override;
  IEngine* engine() override;
  void regionOfInterest(int& offsetX, int& offsetY, int& width, int& height) override;
  void setRegionOfInterest(int offsetX, int offsetY, int width, int height) override;
  void countFrame() override;
  bool frameWanted() override;
  bool acquisitionActive() override;

  // Host side (the host's own questions and requests run no hook). stop and
  // close return false when the adaptor was destroyed inside its own call, and
  // this manager with it.
  bool stop();
  bool close();
  // While startCapture runs: a stop asked for meanwhile (from a callback on
  // the acquisition thread, say) waits for it to return, as a host that
  // serialises its own requests does. finishStart says whether one did.
  void beginStart() { starting_ = true; }
  bool finishStart();
  bool isOpen() const { return open_; }
  bool isAcquiring() const { return acquiring_; }
  void setOpen(bool open) { open_ = open; }
  void arm(const AcquisitionSettings& settings);
  void setAcquiring(bool acquiring) { acquiring_ = acquiring; }
  void setStopping(bool stopping) { stopping_ = stopping; }
  // A host freedom: engine() answers null while off.
  void setGiveEngine(bool give) { giveEngine_ = give; }
  bool stopping() const { return stopping_ || starting_; }
  bool armed() const { return active_; }
  void disarm() { active_ = false; }
  // True from the return of stopCapture until the next arm: no frame may come.
  bool stopReturned() const { return stopReturned_; }
  // True once the last wanted frame has been counted.
  bool done() const { return done_; }
  bool waitDone(double timeoutSeconds);
  std::uint64_t framesCounted() const { return counted_; }
  std::uint64_t framesWantedCounted() const { return wantedCounted_; }
  void initRegion(int width, int height);

 private:
  // Runs the hook: false when it answered nothing, or destroyed this manager.
  bool answers(kit::HostCall call);

  IAdaptor* adaptor_;
  Engine* engine_;
  // False once this manager is destroyed: what a request still has to do
  // after the adaptor's own call returns asks it first.
  std::shared_ptr<std::atomic<bool>> alive_;
  std::atomic<bool> open_{false};
  std::atomic<bool> acquiring_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> starting_{false};
  std::atomic<bool> stopPending_{false};
  std::atomic<bool> stopReturned_{false};
  std::atomic<bool> active_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> giveEngine_{true};
  std::atomic<std::uint64_t> counted_{0};
  std::atomic<std::uint64_t> wantedCounted_{0};
  std::atomic<std::uint64_t> target_{0};
  std::atomic<std::uint32_t> interval_{1};
  std::mutex mutex_;
  std::condition_variable doneChanged_;
  int roi_[4] = {0, 0, 0, 0};
};

// Makes createAdaptorManager give the host's manager.
void installAdaptorManagerFactory();

}  // namespace host
