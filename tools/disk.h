// What the run folder asks of the system: a lock the system keeps for the
// process (and lets go when it dies), and data and names made durable.
// One implementation per platform, chosen by the build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tool {

class FolderLock {
 public:
  enum class Take {
    kTaken,   // this process holds it
    kHeld,    // another process holds it
    kGone,    // the file was removed while it was being taken: try again
    kFailed,  // the system refused; error says why
  };
  FolderLock() = default;
  ~FolderLock() { release(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Opens the lock file at path (made if missing) and locks it without
  // waiting. Whatever the answer, the file is left where it is.
  Take take(const std::string& path, std::string& error);
  // Replaces the file's text (who holds it: information for people only).
  // REQUIRES: taken.
  bool say(const std::string& text);
  // Removes the file while still holding it, then lets go: a process that
  // opened it meanwhile finds it gone once it has the lock, and tries again.
  void release();
  bool held() const { return held_; }

 private:
  std::string path_;
  void* handle_ = nullptr;  // a HANDLE, or a descriptor + 1
  bool held_ = false;
};

// Makes what a folder's entries name (made, renamed, removed) durable.
bool syncFolder(const std::string& dir, std::string& error);
// Cuts an unbuffered file back to size bytes: a line half written when the
// disk filled goes again.
bool truncateFile(std::FILE* file, std::uint64_t size);
// This process's id.
unsigned long processId();

}  // namespace tool
