// The conformance host's kit library. It defines the kit functions under the
// symbol names the module imports (the names the README's binary contract
// lists), not through any C++ declaration of them, and makes the lock, the
// lock holder and (through the test's factory) the adaptor manager as records
// laid out by the contract.
#include "conformance_kit.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "host_tables.h"

#define KIT_SYMBOL __attribute__((visibility("default")))
#define KIT_SIZE_T "m"  // std::size_t is unsigned long

// The kit functions by symbol name.
extern "C" {
KIT_SYMBOL void* kitImaqmalloc(std::size_t size) __asm__("_Z10imaqmalloc" KIT_SIZE_T);
KIT_SYMBOL void kitImaqfree(void* block) __asm__("_Z8imaqfreePv");
KIT_SYMBOL void kitAdaptorError(void* adaptor, const char* operation, const char* format,
                                ...) __asm__("_Z12adaptorErrorP8IAdaptorPKcS2_z");
KIT_SYMBOL void kitAdaptorWarn(const char* identifier, const char* format,
                               ...) __asm__("_Z11adaptorWarnPKcS0_z");
KIT_SYMBOL void* kitCreateCriticalSection() __asm__("_Z21createCriticalSectionv");
KIT_SYMBOL void* kitCreateAutoCriticalSection(void* section, bool lockNow) __asm__(
    "_Z25createAutoCriticalSectionP16ICriticalSectionb");
KIT_SYMBOL void* kitCreateAdaptorManager(void* adaptor, void* engine) __asm__(
    "_Z20createAdaptorManagerP8IAdaptorP7IEngine");
KIT_SYMBOL double kitGetCurrentTime() __asm__("_Z14getCurrentTimev");
}

namespace {

using conformance::Head;
using contract::Self;

struct State {
  std::mutex mutex;
  std::unordered_set<void*> blocks;
  std::unordered_set<const void*> records;
  std::size_t liveLocks = 0;
  std::vector<ck::Report> reports;
  std::vector<std::string> violations;
  ck::ManagerFactory factory = nullptr;
  double clock = 1000.0;
};

State& state() {
  static State* s = new State;  // outlives whatever frees blocks at exit
  return *s;
}

void countLock(int delta) {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().liveLocks += static_cast<std::size_t>(delta);
}

std::string vformat(const char* format, va_list args) {
  if (format == nullptr) return "(no format)";
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

void record(ck::Report report) {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().reports.push_back(std::move(report));
}

// ---- The lock and the lock holder -------------------------------------------------

struct Lock {
  Head head;
  std::mutex mutex;
  std::atomic<std::thread::id> owner{};  // read unlocked, to tell a second enter
  std::atomic<int> holders{0};
};

struct Holder {
  Head head;
  Lock* lock;
  bool held;
};

Lock* asLock(Self self, const char* operation) {
  return conformance::as<Lock>(self, conformance::kLock, operation);
}
Holder* asHolder(Self self, const char* operation) {
  return conformance::as<Holder>(self, conformance::kHolder, operation);
}

void lockEnter(Lock* lock) {
  if (lock->owner == std::this_thread::get_id())
    ck::violation("a lock entered twice by one thread");
  lock->mutex.lock();
  lock->owner = std::this_thread::get_id();
}

void lockLeave(Lock* lock) {
  if (lock->owner != std::this_thread::get_id()) {
    ck::violation("a lock left by a thread that does not hold it");
    return;
  }
  lock->owner = std::thread::id();
  lock->mutex.unlock();
}

void lockDestroy(Self self) {
  Lock* lock = asLock(self, "~ICriticalSection");
  if (lock == nullptr) return;
  if (lock->owner != std::thread::id()) ck::violation("a lock destroyed while held");
  if (lock->holders != 0) ck::violation("a lock destroyed while a holder still uses it");
  ck::removeRecord(lock);
  lock->~Lock();
  countLock(-1);
}

void lockDestroyAndFree(Self self) {
  if (asLock(self, "~ICriticalSection (deleting)") == nullptr) return;
  lockDestroy(self);
  std::free(self);
}

void holderEnter(Self self) {
  Holder* holder = asHolder(self, "enter");
  if (holder == nullptr) return;
  if (holder->held) {
    ck::violation("a holder entered while it holds its lock");
    return;
  }
  lockEnter(holder->lock);
  holder->held = true;
}

void holderLeave(Self self) {
  Holder* holder = asHolder(self, "leave");
  if (holder == nullptr) return;
  if (!holder->held) {
    ck::violation("a holder left while it holds no lock");
    return;
  }
  holder->held = false;
  lockLeave(holder->lock);
}

void holderDestroy(Self self) {
  Holder* holder = asHolder(self, "~IAutoCriticalSection");
  if (holder == nullptr) return;
  if (holder->held) holderLeave(self);
  --holder->lock->holders;
  ck::removeRecord(holder);
  countLock(-1);
}

void holderDestroyAndFree(Self self) {
  if (asHolder(self, "~IAutoCriticalSection (deleting)") == nullptr) return;
  holderDestroy(self);
  std::free(self);
}

void lockDirectEnter(Self self) {
  if (Lock* lock = asLock(self, "enter")) lockEnter(lock);
}
void lockDirectLeave(Self self) {
  if (Lock* lock = asLock(self, "leave")) lockLeave(lock);
}

const auto kLockTable = conformance::makeTable<conformance::kLock>(
    contract::LockSlots{lockDestroy, lockDestroyAndFree, lockDirectEnter, lockDirectLeave});
const auto kHolderTable = conformance::makeTable<conformance::kHolder>(
    contract::LockSlots{holderDestroy, holderDestroyAndFree, holderEnter, holderLeave});

}  // namespace

// ---- Kit functions ----------------------------------------------------------------

void* kitImaqmalloc(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(state().mutex);
  state().blocks.insert(block);
  return block;
}

void kitImaqfree(void* block) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(state().mutex);
    if (state().blocks.erase(block) == 1) {
      std::free(block);
      return;
    }
  }
  ck::violation("imaqfree of a block imaqmalloc did not hand out, or freed twice");
}

void kitAdaptorError(void* adaptor, const char* operation, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  record({true, operation != nullptr ? operation : "", std::move(message), adaptor});
}

void kitAdaptorWarn(const char* identifier, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  record({false, identifier != nullptr ? identifier : "", std::move(message), nullptr});
}

void* kitCreateCriticalSection() {
  void* block = std::malloc(sizeof(Lock));
  if (block == nullptr) return nullptr;
  Lock* lock = new (block) Lock;
  lock->head = {&kLockTable.slots, conformance::kLock};
  ck::addRecord(lock);
  countLock(+1);
  return lock;
}

void* kitCreateAutoCriticalSection(void* section, bool lockNow) {
  Lock* lock = asLock(section, "createAutoCriticalSection's section");
  if (lock == nullptr) return nullptr;
  auto* holder = static_cast<Holder*>(std::malloc(sizeof(Holder)));
  if (holder == nullptr) return nullptr;
  *holder = {{&kHolderTable.slots, conformance::kHolder}, lock, false};
  ck::addRecord(holder);
  ++lock->holders;
  countLock(+1);
  if (lockNow) holderEnter(holder);
  return holder;
}

void* kitCreateAdaptorManager(void* adaptor, void* engine) {
  ck::ManagerFactory factory;
  {
    std::lock_guard<std::mutex> hold(state().mutex);
    factory = state().factory;
  }
  return factory != nullptr ? factory(adaptor, engine) : nullptr;
}

double kitGetCurrentTime() {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().clock += 1.0;
  return state().clock;
}

// ---- What the test reads back -------------------------------------------------------

namespace ck {

void setManagerFactory(ManagerFactory factory) {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().factory = factory;
}

std::size_t liveBlocks() {
  std::lock_guard<std::mutex> hold(state().mutex);
  return state().blocks.size();
}

std::size_t liveLocks() {
  std::lock_guard<std::mutex> hold(state().mutex);
  return state().liveLocks;
}

std::vector<Report> reports() {
  std::lock_guard<std::mutex> hold(state().mutex);
  return state().reports;
}

void clearReports() {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().reports.clear();
}

std::vector<std::string> violations() {
  std::lock_guard<std::mutex> hold(state().mutex);
  return state().violations;
}

void clearViolations() {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().violations.clear();
}

void violation(const std::string& what) {
  {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().violations.push_back(what);
  }
  std::fprintf(stderr, "conformance: %s\n", what.c_str());
}

void addRecord(const void* record) {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().records.insert(record);
}

void removeRecord(const void* record) {
  std::lock_guard<std::mutex> hold(state().mutex);
  state().records.erase(record);
}

bool isRecord(const void* record) {
  std::lock_guard<std::mutex> hold(state().mutex);
  return state().records.count(record) != 0;
}

double lastTime() {
  std::lock_guard<std::mutex> hold(state().mutex);
  return state().clock;
}

}  // namespace ck
