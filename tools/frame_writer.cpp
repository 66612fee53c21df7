#include "frame_writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "acquire_record.h"
#include "cli_values.h"
#include "disk.h"
#include "frame_types.h"
#include "image.h"
#include "paths.h"
#include "pixel_layout.h"
#include "stack_metadata.h"
#include "text.h"
#include "thread_priority.h"
#include "tiff_stack.h"

namespace tool {
namespace {

constexpr int kThumbnailWidth = 200;
constexpr std::uint32_t kThumbnails = 16;
// The record reaches the disk this often: every line would cost a sync a
// frame; the frames' own files are each synced before their lines.
constexpr std::chrono::milliseconds kRecordSync{200};

std::string systemReason() {
  return errno != 0 ? std::strerror(errno) : "an unknown error";
}

// Kept from frame to frame by each writer thread: a frame's worth of storage
// made afresh each time costs more than its compression.
thread_local host::Image image;
thread_local std::vector<std::uint8_t> png;

// Directories to reserve for a stack of this many pages; CORVANE_STACK_SLOTS
// makes it fewer, so that a test reaches the pages past them in seconds.
std::uint64_t stackSlots(std::uint64_t frames) {
  const char* slots = std::getenv("CORVANE_STACK_SLOTS");
  std::uint32_t n = 0;
  return slots != nullptr && host::parseCount(slots, n) ? std::min<std::uint64_t>(frames, n)
                                                        : frames;
}

// Space kept for the stack's description, so that a full disk at the end
// leaves it too: ImageJ's is short; OME-XML has a Plane a page.
std::uint64_t stackText(FrameWriter::Save save, std::uint64_t frames) {
  if (save != FrameWriter::Save::kOmeTiff) return 1024;
  return 4096 + 96 * std::min<std::uint64_t>(stackSlots(frames), 1000000);
}

// Why ImageJ could not read the stack as its own hyperstack; empty when it can.
std::string notImagej(const TiffStack& stack, const StackFacts& facts) {
  if (stack.big()) return "BigTIFF, as the frames asked for could pass 4 GB";
  if (facts.samples == 3 && facts.bits == 16) return "16-bit RGB";
  if (!stack.contiguous()) return "pages past those whose directories precede the data";
  return {};
}

}  // namespace

FrameWriter::FrameWriter(std::string folder, Save save, int digits, std::uint64_t frames,
                         std::size_t bufferBytes)
    : folder_(std::move(folder)),
      save_(save),
      digits_(digits),
      frames_(frames),
      capacity_(bufferBytes) {}

FrameWriter::~FrameWriter() {
  finish();
}

bool FrameWriter::open(const Expected& expected) {
  const std::string path = host::joinPath(folder_, "frames.jsonl");
  errno = 0;
  record_ = host::openFile(path, "ab");
  // Unbuffered, a line a write: a line the disk takes only in part is cut
  // off again, with nothing of it left in a buffer to follow later.
  if (record_ == nullptr || std::setvbuf(record_, nullptr, _IONBF, 0) != 0 ||
      std::fseek(record_, 0, SEEK_END) != 0) {
    error_ = path + ": " + systemReason();
    return false;
  }
  const long size = std::ftell(record_);
  recordBytes_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  const bool stack = save_ == Save::kTiff || save_ == Save::kOmeTiff;
  if (stack && expected.width > 0) {
    stack_ = std::make_unique<TiffStack>();
    if (!stack_->open(host::joinPath(folder_, fileName(1)),
                      needsBigTiff(frames_, stackPageBytes(expected.frameType, expected.width,
                                                           expected.height)),
                      stackSlots(frames_), stackText(save_, frames_), error_))
      return false;
  }
  const std::size_t threads = stack ? 1 : 2;
  for (std::size_t i = 0; i < threads; ++i)
    threads_.emplace_back([this, expected] { work(expected); });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return ready_ == threads; });
  return true;
}

bool FrameWriter::offer(host::Frame&& frame, const Record& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t size = frame.data.size();
  // An empty buffer takes any frame, however large.
  if (!error_.empty() || threads_.empty() || (bytes_ > 0 && bytes_ + size > capacity_))
    return false;
  bytes_ += size;
  jobs_.push_back({std::move(frame), record});
  changed_.notify_all();
  return true;
}

void FrameWriter::finish() {
  finish(Clock{});
}

void FrameWriter::finish(const Clock& clock) {
  if (std::exchange(finished_, true)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  std::string error;
  if (record_ != nullptr) {
    errno = 0;
    const bool synced = host::syncFile(record_);
    if (std::fclose(std::exchange(record_, nullptr)) != 0 || !synced)
      error = host::joinPath(folder_, "frames.jsonl") + ": " + systemReason();
    std::string why;
    if (!syncFolder(folder_, why) && error.empty()) error = why;
  }
  std::string description;
  readRecord(clock, description);
  if (stack_) {
    std::string why;
    if (!stack_->close(why, description) && error.empty()) error = why;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_.empty()) error_ = error;
}

// The record read back, whose lines are the written frames in order: nothing
// of them is kept in memory while the run goes.
void FrameWriter::readRecord(const Clock& clock, std::string& description) {
  StackFacts facts;
  facts.period = clock.period;
  bool layoutKnown = false;
  Totals& t = totals_;
  std::uint64_t before = 0;
  std::FILE* f = host::openFile(host::joinPath(folder_, "frames.jsonl"), "rb");
  if (f == nullptr) return;
  std::string line;
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    line.clear();
    if (!j.is_object()) continue;
    const std::uint64_t number = j.value("number", std::uint64_t{0});
    const double time = j.value("time", 0.0);
    if (t.written++ == 0) {
      t.firstNumber = number;
      t.firstTime = time;
      facts.firstNumber = number;
      facts.width = j.value("width", 0);
      facts.height = j.value("height", 0);
      facts.frameType = j.value("frameType", std::string());
      facts.bayer = j.value("bayer", std::string());
      if (clock.unixAtStart > 0)
        facts.firstUtc = utcAt(clock.unixAtStart + time - clock.hostClockAtStart);
      nlohmann::json own = {{"number", number}, {"time", time}, {"frameType", facts.frameType}};
      if (!facts.bayer.empty()) own["bayer"] = facts.bayer;
      facts.firstDescription = dumpJson(own);
      layoutKnown =
          stackLayout(j.value("frameTypeCode", 0u), facts.samples, facts.bits, facts.isSigned);
    } else {
      const std::uint64_t skipped = j.value("skippedBefore", std::uint64_t{0});
      if (skipped > 0 && t.firstSkipped == 0) t.firstSkipped = before + 1;
      t.skipped += skipped;
      t.lost += j.value("lostBefore", std::uint64_t{0});
    }
    before = t.lastNumber = number;
    t.lastTime = time;
    if (j.contains("page")) facts.times.push_back(time);
  }
  std::fclose(f);
  // Frames taken but dropped after a failure, between written ones: skipped,
  // with what came before them.
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Record& r : dropped_)
    if (t.written > 0 && r.number > t.firstNumber && r.number < t.lastNumber) {
      t.skipped += 1 + r.skipped;
      t.lost += r.lost;
      if (t.firstSkipped == 0 || r.number < t.firstSkipped) t.firstSkipped = r.number;
    }
  if (!stack_ || stack_->pages() == 0) return;
  if (save_ == Save::kTiff && layoutKnown) plainWhy_ = notImagej(*stack_, facts);
  // Due unless the stack is a plain one; not given unless the stack holds the
  // pages the record lists, and no more (the tool then says so).
  describing_ = plainWhy_.empty();
  if (!describing_ || !layoutKnown || facts.times.size() != stack_->pages()) return;
  description = save_ == Save::kOmeTiff ? omeXml(facts) : imagejDescription(facts);
}

std::uint64_t FrameWriter::written() {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

bool FrameWriter::stackUndescribed() const {
  return stack_ && stack_->pages() > 0 && describing_ && !stack_->described();
}

std::string FrameWriter::stackSaid() const {
  if (!plainWhy_.empty())
    return "a plain TIFF stack at the data's depth: " + plainWhy_ +
           ", which ImageJ does not take as a hyperstack; --save ome-tiff keeps the time axis";
  if (stackUndescribed())
    return "a plain TIFF stack at the data's depth: its time-series description could not be "
           "written";
  return save_ == Save::kOmeTiff ? "OME-TIFF at the data's depth"
                                 : "an ImageJ hyperstack at the data's depth";
}

double FrameWriter::writingRate() {
  std::lock_guard<std::mutex> lock(mutex_);
  const double span = std::chrono::duration<double>(lastDone_ - firstDone_).count();
  return written_ > 1 && span > 0 ? static_cast<double>(written_ - 1) / span : 0.0;
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
  dropped_.push_back(record);
  settle(record.index);
}

// Called with mutex_ held: the frame has its line, or will have none.
void FrameWriter::settle(std::uint32_t index) {
  if (index < nextLine_) return;  // settled already
  settled_.insert(index);
  while (!settled_.empty() && *settled_.begin() == nextLine_) {
    settled_.erase(settled_.begin());
    ++nextLine_;
  }
  changed_.notify_all();
}

std::string FrameWriter::filePattern() const {
  if (save_ == Save::kTiff || save_ == Save::kOmeTiff) return fileName(1);
  return save_ == Save::kPng ? "frame_*.png" : "frame_*.raw";
}

bool FrameWriter::makes(const std::string& name) const {
  if (save_ == Save::kTiff || save_ == Save::kOmeTiff) return name == fileName(1);
  if (name.rfind("frame_", 0) != 0) return false;
  std::uint64_t index = 0;
  for (std::size_t i = 6;
       i < name.size() && index <= frames_ && std::isdigit(static_cast<unsigned char>(name[i]));
       ++i)
    index = index * 10 + static_cast<std::uint64_t>(name[i] - '0');
  // The number as this run pads it, and its extension.
  return index >= 1 && index <= frames_ && name == fileName(static_cast<std::uint32_t>(index));
}

std::string FrameWriter::fileName(std::uint32_t index) const {
  if (save_ == Save::kTiff) return "frames.tif";
  if (save_ == Save::kOmeTiff) return "frames.ome.tif";
  char name[64];
  std::snprintf(name, sizeof name, "frame_%0*u.%s", digits_, index,
                save_ == Save::kPng ? "png" : "raw");
  return name;
}

void FrameWriter::work(const Expected& expected) {
  lowerThisThread();
  if (save_ == Save::kPng && expected.width > 0) {
    // The encoder's storage made before the camera starts, not at its first frame.
    host::Frame blank;
    blank.frameType = expected.frameType;
    blank.width = expected.width;
    blank.height = expected.height;
    blank.data.assign(host::imageBytes(expected.frameType, expected.width, expected.height), 0);
    std::string ignored;
    if (host::decodeImage(blank, image)) host::encodeImage(image, png, ignored);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ready_;
    changed_.notify_all();
  }
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
        bytes_ -= job.frame.data.size();
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
    bytes_ -= job.frame.data.size();
    if (!ok) {
      if (error_.empty()) error_ = error;
      dropped(job.record);
    } else {
      // Writers finish out of order: the earliest and the latest completion.
      const auto done = std::chrono::steady_clock::now();
      if (written_++ == 0 || done < firstDone_) firstDone_ = done;
      lastDone_ = std::max(lastDone_, done);
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
  if (save_ == Save::kTiff || save_ == Save::kOmeTiff) {
    if (!stack_) {
      stack_ = std::make_unique<TiffStack>();
      const bool big = needsBigTiff(
          frames_, stackPageBytes(job.frame.frameType, job.frame.width, job.frame.height));
      if (!stack_->open(path, big, stackSlots(frames_), stackText(save_, frames_), error))
        return false;
    }
    nlohmann::json description = {{"number", job.record.number}, {"time", job.record.time}};
    if (job.record.index == 1) {
      // What the pages hold, once: a mosaic's pattern is the reader's to know.
      description["frameType"] = host::frameTypeName(job.frame.frameType);
      const host::PixelKind kind = host::pixelKind(job.frame.frameType);
      if (kind == host::PixelKind::kBayer8 || kind == host::PixelKind::kBayer16)
        description["bayer"] = pixel::bayerName(pixel::bayerOfFrameType(job.frame.frameType));
    }
    // The page, then its line, then the page in the chain: killed at any
    // moment, the stack holds no page without its line.
    return stack_->write(job.frame, dumpJson(description), error) &&
           note(job, error, [this](std::string& why) { return stack_->link(why); });
  }
  auto noteIt = [&](std::string& reason) {
    // A line goes only with a file that takes its name: something of that
    // name in the way would fail the rename after the line.
    std::error_code ec;
    if (std::filesystem::exists(host::fsPath(path), ec)) {
      reason = path + ": something of that name is in the way";
      return false;
    }
    return note(job, reason);
  };
  if (save_ == Save::kRaw)
    return host::writeFileWhole(path, job.frame.data.data(), job.frame.data.size(), error, noteIt,
                                true);
  if (!host::decodeImage(job.frame, image)) {
    error = path + ": frame type " + std::to_string(job.frame.frameType) + " unknown";
    return false;
  }
  if (!host::encodeImage(image, png, error)) {
    error = path + ": " + error;
    return false;
  }
  return host::writeFileWhole(path, png.data(), png.size(), error, noteIt, true);
}

// Waits for the lines of the frames before this one, in the record's order.
bool FrameWriter::note(const Job& job, std::string& error,
                       const std::function<bool(std::string&)>& then) {
  const Record& r = job.record;
  nlohmann::json line = {{"number", r.number},
                         {"file", fileName(r.index)},
                         {"time", r.time},
                         {"gap", r.gap < 0 ? nlohmann::json(nullptr) : nlohmann::json(r.gap)},
                         {"skippedBefore", r.skipped},
                         {"lostBefore", r.lost}};
  if (save_ == Save::kTiff || save_ == Save::kOmeTiff) {
    line["page"] = r.index;
    if (r.index == 1) {
      // What the stack's first page will say of all of them.
      line["width"] = job.frame.width;
      line["height"] = job.frame.height;
      line["frameTypeCode"] = job.frame.frameType;
      line["frameType"] = host::frameTypeName(job.frame.frameType);
      const host::PixelKind kind = host::pixelKind(job.frame.frameType);
      if (kind == host::PixelKind::kBayer8 || kind == host::PixelKind::kBayer16)
        line["bayer"] = pixel::bayerName(pixel::bayerOfFrameType(job.frame.frameType));
    }
  }
  const std::string text = dumpJson(line) + "\n";
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return nextLine_ == r.index; });
  }
  // The record is this frame's alone until it settles, and the lock is free
  // meanwhile: the acquisition never waits for the disk.
  errno = 0;
  // Flushed line by line: a line the system has is kept when the process is
  // killed; on the disk with the names renamed before it, every so often.
  bool ok =
      std::fwrite(text.data(), 1, text.size(), record_) == text.size() && std::fflush(record_) == 0;
  const auto now = std::chrono::steady_clock::now();
  if (ok && now - synced_ >= kRecordSync) {
    std::string why;
    ok = syncFolder(folder_, why) && host::syncFile(record_);
    if (!ok && !why.empty()) {
      error = why;
      truncateFile(record_, recordBytes_);
      return false;
    }
    synced_ = now;
  }
  if (!ok) error = host::joinPath(folder_, "frames.jsonl") + ": " + systemReason();
  // What completes the frame once its line is in: a line stays only with it.
  if (ok && then) ok = then(error);
  if (!ok) {
    // No line for a frame that has no file: the record is cut back.
    truncateFile(record_, recordBytes_);
    return false;  // the caller settles it as dropped
  }
  recordBytes_ += text.size();
  std::lock_guard<std::mutex> lock(mutex_);
  settle(r.index);
  return true;
}

}  // namespace tool
