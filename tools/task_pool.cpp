#include "task_pool.h"

namespace tool {

void TaskPool::enqueue(std::function<void()> task) {
  std::lock_guard<std::mutex> hold(mutex_);
  tasks_.push_back(std::move(task));
  // Every idle thread may already be spoken for by a task queued before.
  if (tasks_.size() > idle_ && threads_.size() < mostThreads_)
    threads_.emplace_back([this] { work(); });
  else
    ready_.notify_one();
}

void TaskPool::shutdown() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (std::thread& t : threads) t.join();
}

std::size_t TaskPool::threads() {
  std::lock_guard<std::mutex> hold(mutex_);
  return threads_.size();
}

void TaskPool::work() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    ++idle_;
    ready_.wait(hold, [this] { return stopping_ || !tasks_.empty(); });
    --idle_;
    if (tasks_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    hold.unlock();
    task();
    hold.lock();
  }
}

}  // namespace tool
