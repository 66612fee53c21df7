// The acquisition thread: its message loop, capture runs and frame cycles, and
// the threads let go from a host call on them.
#include <utility>

#include "adaptor/acquisition_run.h"
#include "adaptor/boundary.h"

namespace {

constexpr DWORD kFrameWaitMs = 2000;
constexpr char kThreadWarning[] = "CorvaneImaq:acquireThread";

// What a capture run has said already: each of these once a run.
struct RunNotes {
  bool noBuffer = false;
  bool noEngine = false;
  bool failed = false;
};

// What follows a host call: the thread goes on; the host failed and the frame
// is lost, but the run goes on; a stop, a start or a destruction there ended
// the cycle and the run; or the thread was let go and must touch nothing of
// the adaptor.
enum class Next { kGoOn, kFrameLost, kEndRun, kLetGo };

Next after(const AcquisitionRun& run) {
  if (run.detached) return Next::kLetGo;
  if (run.endCycle || run.adaptor->doomed()) return Next::kEndRun;
  return Next::kGoOn;
}

// One host call made by the thread. A throw costs what the call was for; the
// run says so once.
template <class Fn>
Next ask(AcquisitionRun& run, RunNotes& notes, Fn&& fn) noexcept {
  Failure why;
  const bool done = shielded(fn, why);
  Next next = after(run);
  if (done || next != Next::kGoOn) return next;
  if (!notes.failed) {
    notes.failed = true;
    reportWarning(kThreadWarning, "A frame was lost", why);
    next = after(run);
  }
  return next == Next::kGoOn ? Next::kFrameLost : next;
}

// A warning from the thread, itself a host call.
Next warnOnce(AcquisitionRun& run, bool& said, const char* message) noexcept {
  if (!said) {
    said = true;
    warnQuietly(kThreadWarning, "%s", message);
  }
  return after(run);
}

// The frame's road to the host, once the engine gave it.
Next deliver(AcquisitionRun& run, RunNotes& notes, void* data) noexcept {
  CorvaneAdaptor& adaptor = *run.adaptor;
  IAdaptorManager* manager = run.manager;
  bool wanted = false;
  if (Next n = ask(run, notes, [&] { wanted = manager->frameWanted(); }); n != Next::kGoOn)
    return n;
  if (wanted) {
    int offsetX = 0, offsetY = 0, width = run.width, height = run.height;
    if (!run.format7) {
      if (Next n = ask(run, notes, [&] { adaptor.getROI(offsetX, offsetY, width, height); });
          n != Next::kGoOn)
        return n;
    }
    const std::uint32_t type = adaptor.getFrameType();
    IEngine* engine = nullptr;
    if (Next n = ask(run, notes, [&] { engine = manager->engine(); }); n != Next::kGoOn) return n;
    IFrameBuffer* frame = nullptr;
    if (engine != nullptr) {
      if (Next n = ask(run, notes, [&] { frame = engine->newFrame(type, width, height); });
          n != Next::kGoOn)
        return n;
    }
    if (engine == nullptr) {
      if (Next n = warnOnce(run, notes.noEngine,
                            "The host gave no engine; frames are counted, not delivered.");
          n != Next::kGoOn)
        return n;
    } else if (frame == nullptr) {
      if (Next n = warnOnce(run, notes.noBuffer,
                            "The host gave no frame buffer; frames are counted, not delivered.");
          n != Next::kGoOn)
        return n;
    } else {
      Next n;
      if (run.format7) {
        // The camera sends only the region.
        n = ask(run, notes, [&] { frame->setImage(data, width, height, 0, 0); });
      } else {
        const int maxHeight = adaptor.getMaxHeight();
        const int maxWidth = adaptor.getMaxWidth();
        n = ask(run, notes, [&] { frame->setImage(data, maxWidth, maxHeight, offsetX, offsetY); });
      }
      if (n != Next::kGoOn) return n;
      double now = 0.0;
      if (n = ask(run, notes, [&] { now = getCurrentTime(); }); n != Next::kGoOn) return n;
      if (n = ask(run, notes, [&] { frame->setTime(now); }); n != Next::kGoOn) return n;
      if (n = ask(run, notes, [&] { engine->deliverFrame(frame); }); n != Next::kGoOn) return n;
    }
  }
  return ask(run, notes, [&] { manager->countFrame(); });
}

// Reads the capture flag under its lock; without a holder (the host has none,
// or fails) all the same, since the flag is atomic. The holder is made before
// the flag is read: a host call there may have let the thread go.
Next readFlag(AcquisitionRun& run, RunNotes& notes, bool& capturing) noexcept {
  IAutoCriticalSection* hold = nullptr;
  Next n = ask(run, notes, [&] { hold = createAutoCriticalSection(run.locks->flag, true); });
  if (n != Next::kLetGo) capturing = run.adaptor->captureFlag;
  imaqkit::destroy(hold);
  n = after(run);
  return n == Next::kGoOn && !capturing ? Next::kEndRun : n;
}

// One frame wait and, when a frame came, its delivery, inside the acquire
// lock and the module's gate.
Next cycle(AcquisitionRun& run, RunNotes& notes) noexcept {
  bool held = false;
  if (run.frameHold != nullptr) {
    // An enter that fails holds nothing, and the cycle goes on without the
    // host's lock: the module's gate holds a stop back.
    const Next n = ask(run, notes, [&] { run.frameHold->enter(); });
    if (n == Next::kLetGo) return n;
    held = n != Next::kFrameLost;
  }
  // The gate goes up before the flag is read, and a stop lowers the flag
  // before it looks at the gate: one of the two sees the other.
  run.inCycle = true;
  bool capturing = false;
  Next n = readFlag(run, notes, capturing);
  if (n == Next::kLetGo) return n;
  if (n == Next::kGoOn) {
    void* data = nullptr;
    const CvStatus status = CvGetNextCompleteFrame(&data, run.engine, kFrameWaitMs);
    if (status != 0 || data == nullptr) {
      // A success without an image is no frame either.
      warnQuietly(kThreadWarning, "Failed to receive frame from camera: %s",
                  status == 0 ? "no image" : StatusText(status).c_str());
      n = after(run);
    } else {
      n = deliver(run, notes, data);
    }
    if (n == Next::kLetGo) return n;
  }
  run.inCycle = false;
  if (held) {
    const Next left = ask(run, notes, [&] { run.frameHold->leave(); });
    if (left == Next::kLetGo || left == Next::kEndRun) return left;
  }
  return n;
}

// Frame cycles while the flag is up and the host reports the acquisition
// active; a frame lost to a host failure does not end the run.
Next captureRun(AcquisitionRun& run) noexcept {
  RunNotes notes;
  for (;;) {
    const Next n = cycle(run, notes);
    if (n == Next::kLetGo || n == Next::kEndRun) return n;
    bool active = false;
    const Next asked = ask(run, notes, [&] { active = run.manager->acquisitionActive(); });
    if (asked == Next::kLetGo) return asked;
    if (asked != Next::kGoOn || !active) return Next::kEndRun;
  }
}

// The message loop; returns when the thread is to end.
void messageLoop(AcquisitionRun& run) noexcept {
  MSG msg;
  // The first message is openDevice's wake-up, posted once the adaptor knows
  // its thread: the thread makes no host call before, so a host that acts
  // inside one finds the adaptor whole.
  if (GetMessageA(&msg, nullptr, 0, 0) <= 0) return;
  RunNotes notes;
  // Without a holder (the host has none, or fails) the thread works all the
  // same: the module's gate keeps a stop from overtaking a cycle.
  if (ask(run, notes, [&] {
        run.frameHold = createAutoCriticalSection(run.locks->acquire, false);
      }) == Next::kLetGo)
    return;
  do {
    if (msg.message != WM_USER) continue;
    // A new start: the stop that ended the last run is history.
    run.endCycle = false;
    bool active = false;
    const Next n = ask(run, notes, [&] { active = run.manager->acquisitionActive(); });
    if (n == Next::kLetGo) return;
    if (n != Next::kGoOn || !active) continue;
    if (captureRun(run) == Next::kLetGo) return;
  } while (GetMessageA(&msg, nullptr, 0, 0) > 0);
}

}  // namespace

DWORD WINAPI AcquisitionThread(LPVOID parameter) {
  auto* run = static_cast<AcquisitionRun*>(parameter);
  HMODULE module = run->module;
  messageLoop(*run);
  // Let go, the holder went with the host call that let it go; otherwise the
  // adaptor frees the run once the thread has ended.
  imaqkit::destroy(std::exchange(run->frameHold, nullptr));
  if (!run->detached) {
    // Ended (a failed message wait, say) before its close: no later thread
    // that gets this id is taken for it.
    DWORD me = GetCurrentThreadId();
    run->adaptor->threadId.compare_exchange_strong(me, 0);
  }
  if (run->detached) {
    // The host call that let the thread go has returned: nothing uses the engine.
    CvStopIsochReceiveEngine(run->engine);
    CvDeleteIsochReceiveEngine(run->engine);
  }
  run->locks->release();
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

namespace {
std::atomic<AcquisitionRun*> letGo{nullptr};
}  // namespace

void keepLetGo(AcquisitionRun* run) noexcept {
  run->nextLetGo = letGo.load();
  while (!letGo.compare_exchange_weak(run->nextLetGo, run)) {
  }
}

void joinEndedThreads() noexcept {
  // Cheap when none was let go, as almost always: one load.
  if (letGo.load() == nullptr) return;
  // Taken whole, so that two threads never join one; the others go back.
  for (AcquisitionRun* run = letGo.exchange(nullptr); run != nullptr;) {
    AcquisitionRun* next = run->nextLetGo;
    if (WaitForSingleObject(run->handle, 0) == WAIT_OBJECT_0) {
      CloseHandle(run->handle);
      delete run;
    } else {
      keepLetGo(run);
    }
    run = next;
  }
}

void endLetGoThreads() noexcept {
  for (AcquisitionRun* run = letGo.exchange(nullptr); run != nullptr;) {
    AcquisitionRun* next = run->nextLetGo;
    WaitForSingleObject(run->handle, INFINITE);
    CloseHandle(run->handle);
    delete run;
    run = next;
  }
}
