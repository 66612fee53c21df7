// Portable thread message service for builds other than Windows.
#include "winthread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<MSG> messages;
};

// One created thread. The handle owns a reference; the running thread owns another.
struct ThreadObject {
  DWORD id = 0;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
};

// Queues of threads that have started taking messages, by thread id.
struct Registry {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<MessageQueue>> queues;
  DWORD nextId = 0x1000;
};

Registry& registry() {
  static Registry* instance = new Registry;  // never destroyed: threads may outlive statics
  return *instance;
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
  std::lock_guard<std::mutex> lock(r.mutex);
  if (currentThreadId == 0) currentThreadId = r.nextId++;
  auto& queue = r.queues[currentThreadId];
  if (!queue) queue = std::make_shared<MessageQueue>();
  return queue;
}

}  // namespace

HANDLE CreateThread(void*, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (start == nullptr || creationFlags != 0) return nullptr;
  auto object = std::make_shared<ThreadObject>();
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    object->id = r.nextId++;
  }
  try {
    std::thread([object, start, parameter] {
      currentThreadId = object->id;
      start(parameter);
      {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.queues.erase(object->id);
      }
      std::lock_guard<std::mutex> lock(object->mutex);
      object->done = true;
      object->ended.notify_all();
    }).detach();
  } catch (...) {
    return nullptr;
  }
  if (threadId != nullptr) *threadId = object->id;
  return new std::shared_ptr<ThreadObject>(object);
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<MessageQueue> queue = queueOf(threadId);
  if (!queue) return 0;
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->messages.push_back(MSG{nullptr, message, wParam, lParam, 0});
  queue->ready.notify_one();
  return 1;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (msg == nullptr || hwnd != nullptr) return -1;
  std::shared_ptr<MessageQueue> queue = ownQueue();
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
    return WAIT_OBJECT_0;
  }
  return object.ended.wait_for(lock, std::chrono::milliseconds(milliseconds), isDone)
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) return 0;
  delete static_cast<std::shared_ptr<ThreadObject>*>(handle);
  return 1;
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
