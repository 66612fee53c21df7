// The folder an acquisition writes into: made when missing (with its
// parents), refused when another run holds it or, without overwrite, when it
// holds files. The run holds the system's lock on a file in it from before it
// touches anything there until its record is final; the system lets go when
// the process dies, so a lock file left behind stops no one.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "disk.h"

namespace tool {

class RunFolder {
 public:
  RunFolder() = default;
  ~RunFolder() { release(); }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;

  // False with the reason (a sentence without "acquire: "), having removed
  // only folders this run made and no other run holds.
  bool prepare(const std::string& dir, bool overwrite, std::string& error);
  // With overwrite: removes the files an earlier run recorded as its own
  // (its acquisition.json, frames.jsonl and the files they name, their .part
  // leftovers, its contact sheet), all of them or none. False, having removed
  // and written nothing, when one could not be removed or something else has
  // a name this run makes: one in names, or one makes says yes to (a frame's).
  bool clearEarlier(const std::vector<std::string>& names,
                    const std::function<bool(const std::string&)>& makes, std::string& error);
  // A file of this run, by name: dropRun removes it.
  void own(const std::string& name);
  // Removes this run's own files, lets go of the lock, and removes the
  // folders it made as long as they are empty.
  void dropRun();
  // Lets go of the lock (its file goes too).
  void release() { lock_.release(); }
  const std::string& lockPath() const { return lockPath_; }

 private:
  bool make(std::string& error);
  bool takeLock(std::string& error);

  std::string dir_;
  std::string lockPath_;
  std::vector<std::filesystem::path> made_;  // the folders this run made, outermost first
  std::vector<std::string> owned_;
  FolderLock lock_;
};

}  // namespace tool
