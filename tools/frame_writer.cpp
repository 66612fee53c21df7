#include "frame_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "frame_types.h"
#include "image.h"
#include "paths.h"
#include "pixel_layout.h"
#include "text.h"
#include "tiff_stack.h"

namespace tool {
namespace {

constexpr int kThumbnailWidth = 200;
constexpr std::uint32_t kThumbnails = 16;

std::string systemReason() {
  return errno != 0 ? std::strerror(errno) : "an unknown error";
}

}  // namespace

FrameWriter::FrameWriter(std::string folder, Save save, int digits, std::uint64_t frames)
    : folder_(std::move(folder)),
      save_(save),
      digits_(digits),
      frames_(frames),
      // Deep enough to ride out the disk's pauses and the first frames' extra
      // work (their thumbnails); shallow enough that memory stays small.
      capacity_(8) {}

FrameWriter::~FrameWriter() {
  finish();
}

bool FrameWriter::open() {
  const std::string path = host::joinPath(folder_, "frames.jsonl");
  errno = 0;
  record_ = host::openFile(path, "ab");
  if (record_ == nullptr) {
    error_ = path + ": " + systemReason();
    return false;
  }
  const std::size_t threads = save_ == Save::kTiff ? 1 : 2;
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  return true;
}

bool FrameWriter::offer(host::Frame&& frame, const Record& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!error_.empty() || jobs_.size() >= capacity_ || threads_.empty()) return false;
  jobs_.push_back({std::move(frame), record});
  changed_.notify_all();
  return true;
}

void FrameWriter::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  std::string error;
  if (stack_ && !stack_->close(error)) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) error_ = error;
  }
  if (record_ != nullptr) {
    errno = 0;
    if (std::fclose(std::exchange(record_, nullptr)) != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (error_.empty()) error_ = host::joinPath(folder_, "frames.jsonl") + ": " + systemReason();
    }
  }
}

std::uint64_t FrameWriter::written() {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

std::size_t FrameWriter::queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + busy_;
}

bool FrameWriter::failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !error_.empty();
}

std::string FrameWriter::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

std::vector<host::Picture> FrameWriter::thumbnails() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::sort(thumbnails_.begin(), thumbnails_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<host::Picture> pictures;
  for (const auto& [n, picture] : thumbnails_) pictures.push_back(picture);
  return pictures;
}

std::uint64_t FrameWriter::firstDropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstDropped_;
}

// Called with mutex_ held.
void FrameWriter::dropped(const Record& record) {
  if (firstDropped_ == 0 || record.number < firstDropped_) firstDropped_ = record.number;
}

std::string FrameWriter::filePattern() const {
  if (save_ == Save::kTiff) return "frames.tif";
  return save_ == Save::kPng ? "frame_*.png" : "frame_*.raw";
}

std::string FrameWriter::fileName(std::uint32_t index) const {
  if (save_ == Save::kTiff) return "frames.tif";
  char name[64];
  std::snprintf(name, sizeof name, "frame_%0*u.%s", digits_, index,
                save_ == Save::kPng ? "png" : "raw");
  return name;
}

void FrameWriter::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      // After a failure, what is queued is dropped: the run stops there.
      if (!error_.empty()) {
        dropped(job.record);
        continue;
      }
      ++busy_;
    }
    std::string error;
    const bool ok = write(job, error);
    host::Picture small;
    const bool thumbnail = ok && job.record.index <= kThumbnails && host::decode(job.frame, small);
    std::lock_guard<std::mutex> lock(mutex_);
    --busy_;
    if (!ok) {
      if (error_.empty()) error_ = error;
      dropped(job.record);
    } else {
      ++written_;
      if (thumbnail)
        thumbnails_.emplace_back(job.record.index, host::shrink(small, kThumbnailWidth));
    }
  }
}

// The frame's file first, complete under a temporary name; then its line in
// the record; then the file under its own name. Killed at any moment, the run
// leaves no complete frame file without its line.
bool FrameWriter::write(Job& job, std::string& error) {
  const std::string path = host::joinPath(folder_, fileName(job.record.index));
  if (save_ == Save::kTiff) {
    if (!stack_) {
      stack_ = std::make_unique<TiffStack>();
      const bool big = needsBigTiff(frames_, job.frame.data.size());
      if (!stack_->open(path, big, error)) return false;
    }
    nlohmann::json description = {{"number", job.record.number}, {"time", job.record.time}};
    if (job.record.index == 1) {
      // What the pages hold, once: a mosaic's pattern is the reader's to know.
      description["frameType"] = host::frameTypeName(job.frame.frameType);
      const host::PixelKind kind = host::pixelKind(job.frame.frameType);
      if (kind == host::PixelKind::kBayer8 || kind == host::PixelKind::kBayer16)
        description["bayer"] = pixel::bayerName(pixel::bayerOfFrameType(job.frame.frameType));
    }
    return stack_->add(job.frame, dumpJson(description), error) && note(job, error);
  }
  auto noteIt = [&](std::string& reason) { return note(job, reason); };
  if (save_ == Save::kRaw)
    return host::writeFileWhole(path, job.frame.data.data(), job.frame.data.size(), error, noteIt);
  // Kept from frame to frame by each writer thread: a frame's worth of storage
  // made afresh each time costs more than its compression.
  thread_local host::Image image;
  thread_local std::vector<std::uint8_t> png;
  if (!host::decodeImage(job.frame, image)) {
    error = path + ": frame type " + std::to_string(job.frame.frameType) + " unknown";
    return false;
  }
  if (!host::encodeImage(image, png, error)) {
    error = path + ": " + error;
    return false;
  }
  return host::writeFileWhole(path, png.data(), png.size(), error, noteIt);
}

bool FrameWriter::note(const Job& job, std::string& error) {
  const Record& r = job.record;
  nlohmann::json line = {{"number", r.number},
                         {"file", fileName(r.index)},
                         {"time", r.time},
                         {"gap", r.gap < 0 ? nlohmann::json(nullptr) : nlohmann::json(r.gap)},
                         {"skippedBefore", r.skipped}};
  if (save_ == Save::kTiff) line["page"] = r.index;
  const std::string text = dumpJson(line) + "\n";
  std::lock_guard<std::mutex> lock(recordMutex_);
  errno = 0;
  // Flushed line by line: a line the system has is kept when the process is killed.
  if (std::fwrite(text.data(), 1, text.size(), record_) != text.size() ||
      std::fflush(record_) != 0) {
    error = host::joinPath(folder_, "frames.jsonl") + ": " + systemReason();
    return false;
  }
  return true;
}

}  // namespace tool
