// Frames to files as they arrive, each with its line in the run's record
// (frames.jsonl) once its file is complete: a small queue and a few writer
// threads (one for a TIFF stack, whose pages go in order). Nothing is kept per
// frame, so memory stays the same however long the run; a frame that finds
// the queue full is the caller's to count as skipped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition.h"
#include "picture.h"

namespace tool {

class TiffStack;

class FrameWriter {
 public:
  enum class Save { kPng, kRaw, kTiff };
  // What the record says of a frame besides its file.
  struct Record {
    std::uint32_t index = 0;    // its file's number: 1 for the first written
    std::uint64_t number = 0;   // its place among the frames the camera sent
    double time = 0.0;          // the host's time stamp
    double gap = -1.0;          // seconds since the frame written before it; < 0 for the first
    std::uint64_t skipped = 0;  // frames skipped between that one and this
  };

  // Writes into folder: frame_<index>.png (at the data's depth) or .raw (the
  // camera's bytes), their names padded to digits; or pages of frames.tif.
  // frames: how many the run takes at most (a stack past 4 GB is BigTIFF).
  FrameWriter(std::string folder, Save save, int digits, std::uint64_t frames);
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Opens the record; false with the reason in error().
  bool open();
  // Takes the frame unless the queue is full or a write has failed.
  bool offer(host::Frame&& frame, const Record& record);
  // Waits until everything offered is written (or dropped after a failure),
  // and closes the stack and the record.
  void finish();

  std::uint64_t written();
  std::size_t queued();
  bool failed();
  // The first failure, with the file and the system's reason; empty when none.
  std::string error();
  // Small pictures of the first 16 frames written, for the contact sheet.
  std::vector<host::Picture> thumbnails();
  // The smallest place among the frames taken but not written (a failed write,
  // or queued behind one); 0 when none.
  std::uint64_t firstDropped();
  // A file name for the record: frame_0001.png, or frames.tif.
  std::string fileName(std::uint32_t index) const;
  // What the files are called: frame_*.png, or frames.tif.
  std::string filePattern() const;

 private:
  struct Job {
    host::Frame frame;
    Record record;
  };
  void work();
  void dropped(const Record& record);
  bool write(Job& job, std::string& error);
  bool note(const Job& job, std::string& error);

  const std::string folder_;
  const Save save_;
  const int digits_;
  const std::uint64_t frames_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::uint64_t written_ = 0;
  std::uint64_t firstDropped_ = 0;
  std::vector<std::pair<std::uint32_t, host::Picture>> thumbnails_;
  std::string error_;
  std::mutex recordMutex_;
  std::FILE* record_ = nullptr;
  std::unique_ptr<TiffStack> stack_;
  std::vector<std::thread> threads_;
};

}  // namespace tool
