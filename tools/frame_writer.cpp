#include "frame_writer.h"

#include <algorithm>
#include <cstdio>

#include "image.h"

namespace tool {
namespace {

constexpr int kThumbnailWidth = 200;
constexpr std::uint32_t kThumbnails = 16;

}  // namespace

FrameWriter::FrameWriter(std::string folder, Save save, std::size_t threads, std::size_t queue)
    : folder_(std::move(folder)), save_(save), capacity_(std::max<std::size_t>(1, queue)) {
  for (std::size_t i = 0; i < std::max<std::size_t>(1, threads); ++i)
    threads_.emplace_back([this] { work(); });
}

FrameWriter::~FrameWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool FrameWriter::push(host::Frame&& frame, std::uint32_t n) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return jobs_.size() < capacity_ || !error_.empty(); });
  if (!error_.empty()) return false;
  jobs_.push_back({std::move(frame), n});
  changed_.notify_all();
  return true;
}

void FrameWriter::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return jobs_.empty() && busy_ == 0; });
}

std::size_t FrameWriter::written() {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.size();
}

std::size_t FrameWriter::queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + busy_;
}

std::string FrameWriter::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

std::vector<std::string> FrameWriter::files() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::sort(files_.begin(), files_.end());
  std::vector<std::string> paths;
  for (const auto& [n, path] : files_) paths.push_back(path);
  return paths;
}

std::vector<host::Picture> FrameWriter::thumbnails() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::sort(thumbnails_.begin(), thumbnails_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<host::Picture> pictures;
  for (const auto& [n, picture] : thumbnails_) pictures.push_back(picture);
  return pictures;
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
      ++busy_;
    }
    changed_.notify_all();
    write(job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
    changed_.notify_all();
  }
}

void FrameWriter::write(Job& job) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%04u.%s", job.n, save_ == Save::kPng ? "png" : "raw");
  const std::string path = folder_ + "/" + name;
  std::string error;
  bool ok;
  if (save_ == Save::kRaw) {
    ok = host::writeFileWhole(path, job.frame.data.data(), job.frame.data.size(), error);
  } else {
    host::Image image;
    ok = host::decodeImage(job.frame, image);
    if (!ok) error = path + ": frame type " + std::to_string(job.frame.frameType) + " unknown";
    ok = ok && host::writeImage(image, path, error);
  }
  host::Picture small;
  const bool thumbnail = ok && job.n <= kThumbnails && host::decode(job.frame, small);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ok) {
    if (error_.empty()) error_ = error;
    return;
  }
  files_.emplace_back(job.n, path);
  if (thumbnail) thumbnails_.emplace_back(job.n, host::shrink(small, kThumbnailWidth));
}

}  // namespace tool
