// Portable thread message service for builds other than Windows.
#include "winthread.h"

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "recursive_lock.h"
#include "thread_ids.h"

namespace {

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<MSG> messages;
};

// One created thread. The handle owns a reference; the running thread owns another.
// A wait that sees the thread done also joins it, so that it returns only once
// the thread has left the thread routine's code (which may be unloaded next).
struct ThreadObject {
  DWORD id = 0;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread thread;  // joined by the first successful wait, else detached on close
  // The module reference the thread gave back as it ended: released once the
  // thread has been joined, when no code of the module runs on it any more.
  HMODULE reference = nullptr;
};

// The thread object of the calling thread, for FreeLibraryAndExitThread; only
// threads CreateThread made have one.
thread_local ThreadObject* currentThread = nullptr;

void joinIfDone(ThreadObject& object, std::unique_lock<std::mutex>& lock) {
  if (object.done && object.thread.joinable()) {
    std::thread thread = std::move(object.thread);
    HMODULE reference = std::exchange(object.reference, nullptr);
    lock.unlock();
    thread.join();
    if (reference != nullptr) dlclose(reference);
    lock.lock();
  }
}

// Queues of threads that have started taking messages, by thread id; and the
// ids of the running threads CreateThread made.
struct Registry {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<MessageQueue>> queues;
  std::map<std::thread::id, DWORD> running;
};

// Destroyed with the module: every thread it made has ended by then.
Registry& registry() {
  static Registry instance;
  return instance;
}

thread_local DWORD currentThreadId = 0;

std::shared_ptr<MessageQueue> queueOf(DWORD id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.queues.find(id);
  return it == r.queues.end() ? nullptr : it->second;
}

// The calling thread's queue, created on first use as on Windows.
std::shared_ptr<MessageQueue> ownQueue() {
  Registry& r = registry();
  if (currentThreadId == 0) currentThreadId = GetCurrentThreadId();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& queue = r.queues[currentThreadId];
  if (!queue) queue = std::make_shared<MessageQueue>();
  return queue;
}

}  // namespace

HANDLE CreateThread(void*, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (start == nullptr || creationFlags != 0) return nullptr;
  // Everything that may run out of memory comes before the thread starts: a
  // thread must never run without a handle the caller holds.
  std::unique_ptr<std::shared_ptr<ThreadObject>> handle;
  try {
    handle = std::make_unique<std::shared_ptr<ThreadObject>>(std::make_shared<ThreadObject>());
    ThreadObject& object = **handle;
    object.id = threadids::take();
    // The thread's entry among the running ones, made before it starts and
    // keyed once its id is known: nothing allocates after the start.
    std::map<std::thread::id, DWORD> staging;
    auto entry = staging.extract(staging.emplace(std::thread::id(), object.id).first);
    std::lock_guard<std::mutex> creating(object.mutex);
    object.thread = std::thread([running = *handle, start, parameter] {
      // Until CreateThread has entered this thread among the running ones.
      { std::lock_guard<std::mutex> started(running->mutex); }
      currentThreadId = running->id;
      currentThread = running.get();
      start(parameter);
      {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.queues.erase(running->id);
        r.running.erase(std::this_thread::get_id());
      }
      threadids::give(running->id);
      std::lock_guard<std::mutex> lock(running->mutex);
      running->done = true;
      running->ended.notify_all();
    });
    entry.key() = object.thread.get_id();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.running.insert(std::move(entry));
  } catch (...) {
    if (handle) threadids::give((*handle)->id);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = (*handle)->id;
  threadids::handleNoted(+1);
  return handle.release();
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<MessageQueue> queue = queueOf(threadId);
  if (!queue) return 0;
  std::lock_guard<std::mutex> lock(queue->mutex);
  try {
    queue->messages.push_back(MSG{nullptr, message, wParam, lParam, 0});
  } catch (...) {
    return 0;  // no memory for the message, as Windows fails a full queue
  }
  queue->ready.notify_one();
  return 1;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (msg == nullptr || hwnd != nullptr) return -1;
  std::shared_ptr<MessageQueue> queue;
  try {
    queue = ownQueue();
  } catch (...) {
    return -1;  // no memory for the queue
  }
  auto matches = [&](const MSG& m) {
    return (filterMin == 0 && filterMax == 0) || (m.message >= filterMin && m.message <= filterMax);
  };
  std::unique_lock<std::mutex> lock(queue->mutex);
  for (;;) {
    for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
      if (matches(*it)) {
        *msg = *it;
        queue->messages.erase(it);
        return msg->message == WM_QUIT ? 0 : 1;
      }
    }
    queue->ready.wait(lock);
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle == nullptr) return WAIT_FAILED;
  ThreadObject& object = **static_cast<std::shared_ptr<ThreadObject>*>(handle);
  std::unique_lock<std::mutex> lock(object.mutex);
  auto isDone = [&] { return object.done; };
  if (milliseconds == INFINITE) {
    object.ended.wait(lock, isDone);
  } else if (!object.ended.wait_for(lock, std::chrono::milliseconds(milliseconds), isDone)) {
    return WAIT_TIMEOUT;
  }
  joinIfDone(object, lock);
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) return 0;
  auto* reference = static_cast<std::shared_ptr<ThreadObject>*>(handle);
  {
    ThreadObject& object = **reference;
    std::unique_lock<std::mutex> lock(object.mutex);
    joinIfDone(object, lock);
    // Closing the handle of a running thread lets it run on, as on Windows.
    if (object.thread.joinable()) object.thread.detach();
  }
  delete reference;
  threadids::handleNoted(-1);
  return 1;
}

DWORD GetCurrentThreadId() {
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.running.find(std::this_thread::get_id());
    if (it != r.running.end()) return it->second;
  }
  return threadids::foreign();
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR address, HMODULE* module) {
  if (module == nullptr) return 0;
  *module = nullptr;
  Dl_info info;
  if (flags != GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS || dladdr(address, &info) == 0 ||
      info.dli_fname == nullptr)
    return 0;
  *module = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  return *module != nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  return module != nullptr && dlclose(module) == 0;
}

void FreeLibraryAndExitThread(HMODULE module, DWORD) {
  ThreadObject* self = currentThread;
  if (self == nullptr) return;
  std::lock_guard<std::mutex> lock(self->mutex);
  self->reference = module;
}

RecursiveLock::RecursiveLock() {
  new (storage_) std::recursive_mutex;
}

RecursiveLock::~RecursiveLock() {
  std::launder(reinterpret_cast<std::recursive_mutex*>(storage_))->~recursive_mutex();
}

void RecursiveLock::lock() {
  std::launder(reinterpret_cast<std::recursive_mutex*>(storage_))->lock();
  threadids::lockNoted(+1);
}

void RecursiveLock::unlock() {
  threadids::lockNoted(-1);
  std::launder(reinterpret_cast<std::recursive_mutex*>(storage_))->unlock();
}
