#include "kit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

struct KitState {
  std::mutex mutex;
  std::unordered_map<void*, std::size_t> blocks;
  std::size_t liveBytes = 0;
  std::size_t totalAllocations = 0;
  std::size_t liveSections = 0;
  std::uint64_t failCountdown = 0;
  std::uint64_t sectionCountdown = 0;
  std::atomic<bool> failHolders{false};
  std::vector<kit::Report> reports;
  std::vector<std::string> violations;
  bool echo = true;
  kit::ManagerFactory managerFactory = nullptr;
  void* managerContext = nullptr;
};

// The hooks are read on every host call, often once a frame: atomics, not the lock.
struct Hooks {
  std::atomic<kit::HostCallHook> hostCall{nullptr};
  std::atomic<void*> context{nullptr};
  std::atomic<kit::BlockHook> block{nullptr};
  std::atomic<std::uint64_t> actions{0};
};

Hooks& hooks() {
  static Hooks* instance = new Hooks;
  return *instance;
}

// Runs the hook where it cannot throw on (a destructor's last act).
void hostCallQuietly(kit::HostCall call) noexcept {
  try {
    kit::hostCall(call);
  } catch (...) {
  }
}

KitState& state() {
  static KitState* instance = new KitState;  // outlives every static that may free blocks
  return *instance;
}

struct EnterGate {
  std::mutex mutex;
  std::condition_variable opened;
  std::atomic<bool> hold{false};
  std::uint64_t waiting = 0;
  std::atomic<std::uint64_t> leaves{0};
};

EnterGate& gate() {
  static EnterGate* instance = new EnterGate;
  return *instance;
}

void violation(const std::string& what) {
  KitState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.violations.push_back(what);
  }
  std::fprintf(stderr, "imaqkit: rule broken: %s\n", what.c_str());
}

std::string vformat(const char* format, va_list args) {
  if (format == nullptr) return {};
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) return format;
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void record(kit::Report report) {
  KitState& s = state();
  bool echo;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.reports.push_back(report);
    echo = s.echo;
  }
  if (echo) {
    std::fprintf(stderr, "%s %s: %s\n",
                 report.kind == kit::ReportKind::kError ? "Error in" : "Warning",
                 report.source.c_str(), report.message.c_str());
  }
}

class CriticalSection final : public imaqkit::Implements<ICriticalSection> {
 public:
  CriticalSection() { adjustSections(+1); }
  ~CriticalSection() override {
    if (owner_ != std::thread::id()) violation("critical section destroyed while held");
    adjustSections(-1);
    hostCallQuietly(kit::HostCall::kSectionDestroyed);
  }
  void enter() override {
    if (owner_ == std::this_thread::get_id())
      violation("critical section entered twice by one thread");
    if (kit::BlockHook block = hooks().block.load()) {
      while (!mutex_.try_lock())
        block(
            "critical section",
            [](const void* self) {
              return static_cast<const CriticalSection*>(self)->owner_.load() == std::thread::id();
            },
            this);
    } else {
      mutex_.lock();
    }
    owner_ = std::this_thread::get_id();
  }
  void leave() override {
    if (owner_ != std::this_thread::get_id()) {
      violation("critical section left by a thread that does not hold it");
      return;
    }
    owner_ = std::thread::id();
    mutex_.unlock();
  }
  static void adjustSections(int delta) {
    KitState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.liveSections += static_cast<std::size_t>(delta);
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

std::mutex& holderPoolMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::vector<void*>& holderPool() {
  static std::vector<void*>* pool = [] {
    auto* p = new std::vector<void*>;
    p->reserve(64);
    return p;
  }();
  return *pool;
}

class AutoCriticalSection final : public imaqkit::Implements<IAutoCriticalSection> {
 public:
  static void* operator new(std::size_t size);
  static void operator delete(void* block) noexcept;

  AutoCriticalSection(ICriticalSection* section, bool lockNow) : section_(section) {
    CriticalSection::adjustSections(+1);
    if (lockNow) take();
  }
  ~AutoCriticalSection() override {
    if (held_) release();
    CriticalSection::adjustSections(-1);
    hostCallQuietly(kit::HostCall::kHolderDestroyed);
  }
  void enter() override {
    EnterGate& g = gate();
    if (g.hold.load()) {
      std::unique_lock<std::mutex> lock(g.mutex);
      ++g.waiting;
      g.opened.wait(lock, [&] { return !g.hold.load(); });
      --g.waiting;
    }
    if (!take()) return;
    // An enter that fails holds nothing.
    try {
      kit::hostCall(kit::HostCall::kHolderEntered);
    } catch (...) {
      release();
      throw;
    }
  }
  void leave() override {
    if (!held_) {
      violation("holder left while it holds no lock");
      return;
    }
    release();
    kit::hostCall(kit::HostCall::kHolderLeft);
  }

 private:
  bool take() {
    if (held_) {
      violation("holder entered while it already holds its lock");
      return false;
    }
    section_->enter();
    held_ = true;
    return true;
  }
  void release() {
    held_ = false;
    section_->leave();
    ++gate().leaves;
  }

 public:
 private:
  ICriticalSection* section_;
  bool held_ = false;
};

}  // namespace

void* imaqmalloc(std::size_t size) {
  KitState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.failCountdown != 0 && --s.failCountdown == 0) return nullptr;
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.blocks[block] = size;
  s.liveBytes += size;
  ++s.totalAllocations;
  return block;
}

void imaqfree(void* block) {
  if (block == nullptr) return;
  KitState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.blocks.find(block);
    if (it != s.blocks.end()) {
      s.liveBytes -= it->second;
      // Poisoned: a module that uses a block after freeing it reads garbage
      // at once, not the values it left there.
      std::memset(block, 0xDD, it->second);
      s.blocks.erase(it);
      std::free(block);
      return;
    }
  }
  violation("imaqfree of a block that imaqmalloc did not hand out (or freed twice)");
}

void adaptorError(IAdaptor* adaptor, const char* operation, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  record({kit::ReportKind::kError, operation ? operation : "", message, adaptor});
  kit::hostCall(kit::HostCall::kAdaptorError);
}

void adaptorWarn(const char* identifier, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  record({kit::ReportKind::kWarning, identifier ? identifier : "", message, nullptr});
  kit::hostCall(kit::HostCall::kAdaptorWarn);
}

ICriticalSection* createCriticalSection() {
  if (kit::hostCall(kit::HostCall::kSectionMade) == kit::Answer::kNone) return nullptr;
  {
    KitState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sectionCountdown != 0 && --s.sectionCountdown == 0) return nullptr;
  }
  return new CriticalSection;
}

IAutoCriticalSection* createAutoCriticalSection(ICriticalSection* section, bool lockNow) {
  if (section == nullptr) {
    violation("createAutoCriticalSection without a critical section");
    return nullptr;
  }
  if (kit::hostCall(kit::HostCall::kHolderMade) == kit::Answer::kNone) return nullptr;
  if (state().failHolders.load(std::memory_order_relaxed)) return nullptr;
  return new AutoCriticalSection(section, lockNow);
}

// Holders are made and destroyed for every lock an adaptor takes, often once a
// frame: their storage is recycled so that a steady acquisition allocates nothing.
void* AutoCriticalSection::operator new(std::size_t size) {
  {
    std::lock_guard<std::mutex> lock(holderPoolMutex());
    std::vector<void*>& pool = holderPool();
    if (!pool.empty()) {
      void* block = pool.back();
      pool.pop_back();
      return block;
    }
  }
  return ::operator new(size);
}

void AutoCriticalSection::operator delete(void* block) noexcept {
  std::lock_guard<std::mutex> lock(holderPoolMutex());
  std::vector<void*>& pool = holderPool();
  if (pool.size() < 64 && pool.capacity() >= 64) {
    pool.push_back(block);
    return;
  }
  ::operator delete(block);
}

IAdaptorManager* createAdaptorManager(IAdaptor* adaptor, IEngine* engine) {
  KitState& s = state();
  kit::ManagerFactory factory;
  void* context;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    factory = s.managerFactory;
    context = s.managerContext;
  }
  if (kit::hostCall(kit::HostCall::kCreateAdaptorManager) == kit::Answer::kNone) return nullptr;
  return factory ? factory(adaptor, engine, context) : nullptr;
}

double getCurrentTime() {
  using namespace std::chrono;
  static const steady_clock::time_point origin = steady_clock::now();
  if (kit::hostCall(kit::HostCall::kGetCurrentTime) == kit::Answer::kNone) return 0.0;
  return duration<double>(steady_clock::now() - origin).count();
}

namespace kit {

const char* hostCallName(HostCall call) {
  static const char* const kNames[] = {"acquisitionActive",
                                       "frameWanted",
                                       "countFrame",
                                       "regionOfInterest",
                                       "engine",
                                       "deviceIsOpen",
                                       "deviceIsAcquiring",
                                       "requestStop",
                                       "requestClose",
                                       "newFrame",
                                       "deliverFrame",
                                       "currentTrigger",
                                       "setImage",
                                       "setTime",
                                       "triggerType",
                                       "triggerCondition",
                                       "triggerSource",
                                       "getCurrentTime",
                                       "holderMade",
                                       "holderEntered",
                                       "holderLeft",
                                       "holderDestroyed",
                                       "sectionMade",
                                       "sectionDestroyed",
                                       "adaptorWarn",
                                       "adaptorError",
                                       "propertyCount",
                                       "propertyNames",
                                       "propertyRecord",
                                       "setCustomGetter",
                                       "addPostSetListener",
                                       "identifier",
                                       "storedValue",
                                       "isDeviceProperty",
                                       "createDevice",
                                       "addDevice",
                                       "setAdaptorData",
                                       "adaptorData",
                                       "createFormat",
                                       "addFormat",
                                       "formatByName",
                                       "createProperty",
                                       "addEnumValue",
                                       "setReadOnly",
                                       "setIdentifier",
                                       "addProperty",
                                       "addSource",
                                       "addHardwareTrigger",
                                       "createAdaptorManager"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(HostCall::kCount));
  const auto i = static_cast<std::size_t>(call);
  return i < std::size(kNames) ? kNames[i] : "?";
}

void setHostCallHook(HostCallHook hook, void* context) {
  hooks().context = context;
  hooks().hostCall = hook;
}

namespace {

// The calling thread's entries, innermost last, each with its calls counted;
// frame 0 stands for no entry. Fixed in size: no host call allocates.
struct EntryStack {
  static constexpr int kDepth = 16;
  struct Frame {
    Entry entry = Entry::kNone;
    std::uint32_t counts[static_cast<int>(HostCall::kCount)] = {};
  };
  Frame frames[kDepth];
  int depth = 0;  // frames in use beyond frame 0
  int overflow = 0;
  Place last{Entry::kNone, HostCall::kCount, 0};
  int moduleLocks = 0;
};

EntryStack& entries() {
  thread_local EntryStack stack;
  return stack;
}

std::atomic<int> liveModuleThreads{0};

}  // namespace

const char* entryName(Entry entry) {
  static const char* const kNames[] = {"thread",
                                       "initializeAdaptor",
                                       "uninitializeAdaptor",
                                       "getAvailHW",
                                       "getDeviceAttributes",
                                       "createInstance",
                                       "getROI",
                                       "setROI",
                                       "openDevice",
                                       "closeDevice",
                                       "startCapture",
                                       "stopCapture",
                                       "getValue",
                                       "notify",
                                       "destroyAdaptor",
                                       "destroyDevice",
                                       "destroyFormat"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Entry::kCount));
  const auto i = static_cast<std::size_t>(entry);
  return i < std::size(kNames) ? kNames[i] : "?";
}

void beginEntry(Entry entry) {
  EntryStack& s = entries();
  if (s.depth + 1 >= EntryStack::kDepth) {
    ++s.overflow;
    return;
  }
  EntryStack::Frame& f = s.frames[++s.depth];
  f.entry = entry;
  std::fill(std::begin(f.counts), std::end(f.counts), 0u);
}

void endEntry() {
  EntryStack& s = entries();
  if (s.overflow > 0) {
    --s.overflow;
  } else if (s.depth > 0) {
    --s.depth;
  }
}

Place currentPlace() {
  return entries().last;
}

void noteModuleLock(int delta) {
  entries().moduleLocks += delta;
}

void noteModuleThread(int delta) {
  liveModuleThreads += delta;
}

int moduleThreads() {
  return liveModuleThreads.load();
}

Answer hostCall(HostCall call) {
  EntryStack& s = entries();
  EntryStack::Frame& f = s.frames[s.depth];
  s.last = {f.entry, call, ++f.counts[static_cast<int>(call)]};
  if (s.moduleLocks > 0)
    violation(std::string("host call ") + hostCallName(call) + " made under a lock of the module");
  Hooks& h = hooks();
  HostCallHook hook = h.hostCall.load();
  return hook != nullptr ? hook(call, h.context.load()) : Answer::kAsIs;
}

void noteAction() {
  ++hooks().actions;
}

std::uint64_t actionsTaken() {
  return hooks().actions.load();
}

void setBlockHook(BlockHook hook) {
  hooks().block = hook;
}

Accounting accounting() {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return {s.blocks.size(), s.liveBytes, s.totalAllocations, s.liveSections};
}

void failLockHolders(bool on) {
  state().failHolders = on;
}

void failCriticalSections(std::uint64_t nth) {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sectionCountdown = nth;
}

void holdExplicitEnters(bool on) {
  EnterGate& g = gate();
  std::lock_guard<std::mutex> lock(g.mutex);
  g.hold = on;
  g.opened.notify_all();
}

std::uint64_t heldEnters() {
  EnterGate& g = gate();
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.waiting;
}

std::uint64_t holderLeaves() {
  return gate().leaves.load();
}

void failAllocation(std::uint64_t nth) {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.failCountdown = nth;
}

std::vector<Report> reports() {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.reports;
}

void clearReports() {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.reports.clear();
}

void setReportEcho(bool echo) {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.echo = echo;
}

std::vector<std::string> violations() {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.violations;
}

void clearViolations() {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.violations.clear();
}

void reportViolation(const std::string& what) {
  violation(what);
}

void setManagerFactory(ManagerFactory factory, void* context) {
  KitState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.managerFactory = factory;
  s.managerContext = context;
}

}  // namespace kit
