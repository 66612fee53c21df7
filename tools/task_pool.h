// The live view's connection threads. The HTTP server runs each connection,
// with its keep-alive wait, on one task; a viewer's stream keeps its task for
// as long as it watches. A fixed pool therefore starves the page and the
// controls once enough viewers watch. This one starts a thread whenever a
// connection would otherwise wait, up to a ceiling far above what the view
// admits as viewers, and keeps the threads it started for the next ones.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace tool {

class TaskPool final : public httplib::TaskQueue {
 public:
  explicit TaskPool(std::size_t mostThreads) : mostThreads_(mostThreads) {}
  ~TaskPool() override { shutdown(); }
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  void enqueue(std::function<void()> task) override;
  // Runs what is queued, then joins every thread.
  void shutdown() override;
  // Threads started so far (they stay until shutdown).
  std::size_t threads();

 private:
  void work();

  const std::size_t mostThreads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace tool
