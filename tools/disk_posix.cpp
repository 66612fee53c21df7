#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "disk.h"
#include "support.h"

namespace tool {
namespace {

int descriptorOf(void* handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)) - 1;
}

}  // namespace

FolderLock::Take FolderLock::take(const std::string& path, std::string& error) {
  release();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == ENOENT) return Take::kGone;  // the folder went meanwhile
    error = path + ": " + std::strerror(errno);
    return Take::kFailed;
  }
  holdAt("opened");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    close(fd);
    if (why == EWOULDBLOCK) return Take::kHeld;
    error = path + ": " + std::strerror(why);
    return Take::kFailed;
  }
  // The holder before removed the file as it let go: this lock is on nothing.
  struct stat mine {
  }, named{};
  if (fstat(fd, &mine) != 0 || stat(path.c_str(), &named) != 0 || mine.st_dev != named.st_dev ||
      mine.st_ino != named.st_ino) {
    close(fd);
    return Take::kGone;
  }
  path_ = path;
  handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
  held_ = true;
  return Take::kTaken;
}

bool FolderLock::say(const std::string& text) {
  const int fd = descriptorOf(handle_);
  return ftruncate(fd, 0) == 0 &&
         pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

void FolderLock::release() {
  if (!held_) return;
  unlink(path_.c_str());
  close(descriptorOf(handle_));
  handle_ = nullptr;
  held_ = false;
}

bool syncFolder(const std::string& dir, std::string& error) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool ok = fd >= 0 && fsync(fd) == 0;
  if (!ok) error = dir + ": " + std::strerror(errno);
  if (fd >= 0) close(fd);
  return ok;
}

bool truncateFile(std::FILE* file, std::uint64_t size) {
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

unsigned long processId() {
  return static_cast<unsigned long>(getpid());
}

}  // namespace tool
