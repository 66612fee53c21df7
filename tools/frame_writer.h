// Frames to files as they arrive, each with its line in the run's record
// (frames.jsonl), in frame order, once its file is complete: a buffer sized in
// bytes and a few writer threads (one for a TIFF stack, whose pages go in
// order) below the acquisition's priority. Nothing is kept per frame, so
// memory stays the same however long the run; a frame that finds the buffer
// full is the caller's to count as skipped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "acquisition.h"
#include "picture.h"

namespace tool {

class TiffStack;

class FrameWriter {
 public:
  enum class Save { kPng, kRaw, kTiff, kOmeTiff };
  // What the record says of a frame besides its file.
  struct Record {
    std::uint32_t index = 0;    // its file's number: 1 for the first written
    std::uint64_t number = 0;   // its place among the frames the module counted
    double time = 0.0;          // the host's time stamp
    double gap = -1.0;          // seconds since the frame written before it; < 0 for the first
    std::uint64_t skipped = 0;  // frames skipped between that one and this
    std::uint64_t lost = 0;     // frames the camera sent between them that the host never had
  };
  // The frames a run expects: what the writers get ready for.
  struct Expected {
    std::uint32_t frameType = 0;
    int width = 0, height = 0;
  };

  // Writes into folder: frame_<index>.png (at the data's depth) or .raw (the
  // camera's bytes), their names padded to digits; or pages of frames.tif
  // (frames.ome.tif). frames: how many the run takes at most (a stack past
  // 4 GB is BigTIFF). bufferBytes: the frames waiting may hold this much.
  FrameWriter(std::string folder, Save save, int digits, std::uint64_t frames,
              std::size_t bufferBytes);
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Makes the record and the stack, starts the writers and returns once each
  // has its working storage; false with the reason in error().
  bool open(const Expected& expected);
  // Takes the frame unless the buffer lacks room or a write has failed.
  bool offer(host::Frame&& frame, const Record& record);
  // The record's account of the frames from the first written to the last:
  // those written, and those skipped and lost between them.
  struct Totals {
    std::uint64_t written = 0, skipped = 0, lost = 0;
    std::uint64_t firstSkipped = 0;  // 0: none
    std::uint64_t firstNumber = 0, lastNumber = 0;
    double firstTime = 0, lastTime = 0;
  };
  // What the stack's description needs beyond the record: the wall clock
  // (seconds since 1970, UTC) read beside the host clock of the frames' time
  // stamps, and the camera's period (0: unknown).
  struct Clock {
    double unixAtStart = 0, hostClockAtStart = 0, period = 0;
  };
  // Waits until everything offered is written (or dropped after a failure),
  // and closes the record and the stack, whose first page then says what the
  // stack is.
  void finish(const Clock& clock);
  void finish();

  std::uint64_t written();
  // Whether a stack with pages lacks its time-series description (after a
  // failure it may). REQUIRES finish() has returned.
  bool stackUndescribed() const;
  // What the stack is, for the user: an ImageJ hyperstack, OME-TIFF, or a
  // plain stack and why. REQUIRES finish() has returned.
  std::string stackSaid() const;
  // Files finished a second, from the first file's completion to the last's:
  // writers that fall behind show here, whatever the frames' arrival. 0 below two.
  double writingRate();
  // REQUIRES finish() has returned.
  const Totals& totals() const { return totals_; }
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
  // Whether the run may write a file of this name (frame_0007.png, say).
  bool makes(const std::string& name) const;

 private:
  struct Job {
    host::Frame frame;
    Record record;
  };
  void work(const Expected& expected);
  void dropped(const Record& record);
  void settle(std::uint32_t index);
  bool write(Job& job, std::string& error);
  // Writes the frame's line in the record in its turn, then runs then (what
  // completes the frame); the line is cut back when either fails.
  bool note(const Job& job, std::string& error, const std::function<bool(std::string&)>& then = {});
  // Reads the record back: the totals, and the stack's first description.
  void readRecord(const Clock& clock, std::string& description);

  const std::string folder_;
  const Save save_;
  const int digits_;
  const std::uint64_t frames_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::size_t busy_ = 0, ready_ = 0;
  std::size_t bytes_ = 0;  // of the frames queued and being written
  bool stopping_ = false;
  bool finished_ = false;
  std::uint64_t written_ = 0;
  std::chrono::steady_clock::time_point firstDone_, lastDone_;
  std::uint64_t firstDropped_ = 0;
  std::vector<Record> dropped_;  // only after a failure: as many as the buffer held
  Totals totals_;
  // The record's order: the next index to have its line (or none), and those
  // after it already settled.
  std::uint32_t nextLine_ = 1;
  std::set<std::uint32_t> settled_;
  std::vector<std::pair<std::uint32_t, host::Picture>> thumbnails_;
  std::string error_;
  std::FILE* record_ = nullptr;
  std::uint64_t recordBytes_ = 0;  // its whole lines
  // When the record and the folder's names last reached the disk; like
  // record_, the frame whose line is next has it alone.
  std::chrono::steady_clock::time_point synced_;
  std::unique_ptr<TiffStack> stack_;
  bool describing_ = false;  // a description was due on the stack's first page
  std::string plainWhy_;     // why a --save tiff stack is not ImageJ's

  std::vector<std::thread> threads_;
};

}  // namespace tool
