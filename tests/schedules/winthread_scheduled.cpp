// The module's thread service for the schedule explorer: the same functions as
// the portable file, on the scheduler's threads, so that every message post,
// message wait, thread wait and sleep is a point where it chooses who runs.
// A test build compiles this file in place of the portable one.
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "kit.h"
#include "recursive_lock.h"
#include "scheduler.h"
#include "winthread.h"

namespace {

struct ThreadObject {
  DWORD id = 0;
  schedule::Thread* thread = nullptr;
  bool queueMade = false;
  std::deque<MSG> messages;
};

// Ids as Windows gives them: from a small pool, the lowest free first, given
// back as a thread ends, so that a host thread soon gets an ended thread's id.
// Host threads (the scheduler's, other than the module's) take theirs on
// their first question; they go back with the run.
struct Registry {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<ThreadObject>> threads;
  std::set<DWORD> freeIds;
  DWORD nextId = 4;
  std::uint64_t run = ~std::uint64_t{0};
  std::map<int, DWORD> hostIds;  // by the scheduler's thread number
};

// Goes with the module: every thread it made has ended by then.
Registry& registry() {
  static Registry instance;
  return instance;
}

// The module's threads by the scheduler's thread: each knows its object.
thread_local ThreadObject* current = nullptr;

// REQUIRES: the registry's lock.
DWORD takeId(Registry& r) {
  if (r.run != schedule::run()) {
    // A new run: every id is free again.
    r.run = schedule::run();
    r.hostIds.clear();
    r.freeIds.clear();
    r.nextId = 4;
  }
  if (!r.freeIds.empty()) return r.freeIds.extract(r.freeIds.begin()).value();
  const DWORD id = r.nextId;
  r.nextId += 4;
  return id;
}

std::shared_ptr<ThreadObject> find(DWORD id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.threads.find(id);
  return it == r.threads.end() ? nullptr : it->second;
}

}  // namespace

HANDLE CreateThread(void*, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (start == nullptr || creationFlags != 0) return nullptr;
  auto object = std::make_shared<ThreadObject>();
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    object->id = takeId(r);
    r.threads[object->id] = object;
  }
  if (threadId != nullptr) *threadId = object->id;
  kit::noteModuleThread(+1);
  object->thread = schedule::spawn([object, start, parameter] {
    current = object.get();
    start(parameter);
    current = nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.run == schedule::run()) r.freeIds.insert(object->id);
  });
  return new std::shared_ptr<ThreadObject>(object);
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  schedule::point("PostThreadMessage");
  std::shared_ptr<ThreadObject> object = find(threadId);
  if (!object || !object->queueMade || schedule::finished(object->thread)) return 0;
  object->messages.push_back(MSG{nullptr, message, wParam, lParam, 0});
  return 1;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT, UINT) {
  if (msg == nullptr || hwnd != nullptr || current == nullptr) return -1;
  ThreadObject* self = current;
  self->queueMade = true;
  schedule::blockUntil("GetMessage", [self] { return !self->messages.empty(); });
  *msg = self->messages.front();
  self->messages.pop_front();
  return msg->message == WM_QUIT ? 0 : 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle == nullptr) return WAIT_FAILED;
  ThreadObject& object = **static_cast<std::shared_ptr<ThreadObject>*>(handle);
  schedule::Thread* thread = object.thread;
  const bool ended = schedule::blockUntil(
      "WaitForSingleObject", [thread] { return schedule::finished(thread); },
      milliseconds == INFINITE ? -1 : static_cast<std::int64_t>(milliseconds));
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) return 0;
  auto* reference = static_cast<std::shared_ptr<ThreadObject>*>(handle);
  const std::shared_ptr<ThreadObject> object = *reference;
  delete reference;
  kit::noteModuleThread(-1);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  // The id may be another thread's by now.
  auto it = r.threads.find(object->id);
  if (it != r.threads.end() && it->second == object) r.threads.erase(it);
  return 1;
}

// A poll's pause: it lets the others run, and ends the next time the
// scheduler looks at it (or once the time passed, should nothing else run).
// A sleeper that waited for virtual time alone would never wake beside a
// thread that always can run, a free-running camera's.
void Sleep(DWORD milliseconds) {
  schedule::blockUntil(
      "Sleep", [asked = 0]() mutable { return ++asked > 1; }, milliseconds);
}

DWORD GetCurrentThreadId() {
  if (current != nullptr) return current->id;
  // Host threads: the scheduler's threads other than the module's.
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const int number = schedule::threadNumber();
  auto it = r.run == schedule::run() ? r.hostIds.find(number) : r.hostIds.end();
  if (it != r.hostIds.end()) return it->second;
  const DWORD id = takeId(r);
  r.hostIds[number] = id;
  return id;
}

// The module stays loaded through the whole test: no references.
BOOL GetModuleHandleExW(DWORD, LPCWSTR, HMODULE* module) {
  if (module != nullptr) *module = nullptr;
  return 0;
}

BOOL FreeLibrary(HMODULE) {
  return 0;
}

void FreeLibraryAndExitThread(HMODULE, DWORD) {}

// The module's locks: held across points (a thread message, a library call),
// so they must wait in the scheduler, not in the system. Each hold is told to
// the kit, which holds every host call made under one to be a violation.
namespace {
struct ScheduledLock {
  std::thread::id owner;
  int depth = 0;
};
}  // namespace

RecursiveLock::RecursiveLock() {
  static_assert(sizeof(ScheduledLock) <= sizeof storage_);
  new (storage_) ScheduledLock;
}

RecursiveLock::~RecursiveLock() {
  std::launder(reinterpret_cast<ScheduledLock*>(storage_))->~ScheduledLock();
}

void RecursiveLock::lock() {
  auto* lock = std::launder(reinterpret_cast<ScheduledLock*>(storage_));
  const std::thread::id me = std::this_thread::get_id();
  if (lock->depth > 0 && lock->owner == me) {
    ++lock->depth;
    kit::noteModuleLock(+1);
    return;
  }
  schedule::blockUntil("the register lock", [lock] { return lock->depth == 0; });
  lock->owner = me;
  lock->depth = 1;
  kit::noteModuleLock(+1);
}

void RecursiveLock::unlock() {
  auto* lock = std::launder(reinterpret_cast<ScheduledLock*>(storage_));
  kit::noteModuleLock(-1);
  if (--lock->depth == 0) lock->owner = std::thread::id();
  schedule::point("the register lock left");
}
