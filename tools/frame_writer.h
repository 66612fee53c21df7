// Frames to files as they arrive: a small queue and a few writer threads, so
// that what an acquisition holds in memory does not grow with its length.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition.h"
#include "picture.h"

namespace tool {

class FrameWriter {
 public:
  enum class Save { kPng, kRaw };
  // Writes into folder: frame_0001.png ... (PNG at the data's depth), or .raw
  // (the bytes as the camera sent them).
  FrameWriter(std::string folder, Save save, std::size_t threads, std::size_t queue);
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Takes the frame as picture number n (1 on); waits while the queue is full.
  // False once a write has failed.
  bool push(host::Frame&& frame, std::uint32_t n);
  // Waits until everything pushed is written (or failed).
  void finish();

  std::size_t written();
  std::size_t queued();
  // The first failure, with the file and the system's reason; empty when none.
  std::string error();
  // The files written, in picture order.
  std::vector<std::string> files();
  // Small pictures of the first 16 frames, for the contact sheet.
  std::vector<host::Picture> thumbnails();

 private:
  struct Job {
    host::Frame frame;
    std::uint32_t n;
  };
  void work();
  void write(Job& job);

  const std::string folder_;
  const Save save_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::vector<std::pair<std::uint32_t, std::string>> files_;
  std::vector<std::pair<std::uint32_t, host::Picture>> thumbnails_;
  std::string error_;
  std::vector<std::thread> threads_;
};

}  // namespace tool
