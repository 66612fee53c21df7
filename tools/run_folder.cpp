#include "run_folder.h"

#include <fcntl.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <unistd.h>
#include <csignal>
#endif

#include "paths.h"

namespace tool {
namespace {

namespace fs = std::filesystem;
constexpr const char* kLockName = ".corvane-acquire.lock";

bool ours(const std::string& name) {
  std::string base = name;
  if (base.size() > 5 && base.compare(base.size() - 5, 5, ".part") == 0)
    base.resize(base.size() - 5);
  return base.rfind("frame_", 0) == 0 || base == "frames.tif" || base == "frames.ome.tif" ||
         base == "frames.jsonl" || base == "contact_sheet.png" || base == "raw.json" ||
         base == "acquisition.json";
}

unsigned long thisProcess() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

bool running(unsigned long process) {
#if defined(_WIN32)
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(process));
  if (h == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool alive = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return alive;
#else
  return kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM;
#endif
}

// Creates the lock file only if there is none; its text is the process's id.
int createExclusive(const std::string& path) {
#if defined(_WIN32)
  return _wopen(host::widePath(path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                _S_IREAD | _S_IWRITE);
#else
  return open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
#endif
}

}  // namespace

bool RunFolder::lock(std::string& error) {
  lockPath_ = host::joinPath(dir_, kLockName);
  for (int attempt = 0; attempt < 2; ++attempt) {
    errno = 0;
    const int fd = createExclusive(lockPath_);
    if (fd >= 0) {
      const std::string text = std::to_string(thisProcess()) + "\n";
#if defined(_WIN32)
      const bool ok = _write(fd, text.data(), static_cast<unsigned>(text.size())) ==
                      static_cast<int>(text.size());
      _close(fd);
#else
      const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      close(fd);
#endif
      if (!ok) {
        error = "cannot write to folder '" + dir_ + "': " + std::strerror(errno ? errno : EIO);
        std::error_code ec;
        fs::remove(host::fsPath(lockPath_), ec);
        return false;
      }
      locked_ = true;
      return true;
    }
    if (errno != EEXIST) {
      error = "cannot write to folder '" + dir_ + "': " + std::strerror(errno);
      return false;
    }
    unsigned long owner = 0;
    if (std::FILE* f = host::openFile(lockPath_, "rb")) {
      if (std::fscanf(f, "%lu", &owner) != 1) owner = 0;
      std::fclose(f);
    }
    if (owner != 0 && owner != thisProcess() && running(owner)) {
      error = "folder '" + dir_ + "' is in use by another acquisition (process " +
              std::to_string(owner) + ")";
      return false;
    }
    // Left by a run that was killed: its process is gone.
    std::error_code ec;
    fs::remove(host::fsPath(lockPath_), ec);
  }
  error = "folder '" + dir_ + "' is in use by another acquisition";
  return false;
}

bool RunFolder::prepare(const std::string& dir, bool overwrite, std::string& error) {
  dir_ = dir;
  overwrite_ = overwrite;
  made_ = false;
  const fs::path path = host::fsPath(dir);
  std::error_code ec;
  if (fs::exists(path, ec)) {
    if (!fs::is_directory(path, ec)) {
      error = "'" + dir + "' is a file, not a folder";
      return false;
    }
  } else {
    fs::create_directories(path, ec);
    if (ec) {
      error = "cannot make folder '" + dir + "': " + ec.message();
      return false;
    }
    made_ = true;
  }
  if (!lock(error)) {
    dropIfMade();
    return false;
  }
  bool used = false;
  for (const auto& entry : fs::directory_iterator(path, ec))
    if (entry.path().filename() != kLockName) used = true;
  if (used && !overwrite) {
    error = "folder '" + dir +
            "' holds files already; give --overwrite to write over an earlier acquisition's, "
            "or another folder";
    release();
    return false;
  }
  return true;
}

void RunFolder::clearEarlier() {
  if (!overwrite_) return;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(host::fsPath(dir_), ec))
    if (ours(host::utf8Of(entry.path().filename()))) fs::remove(entry.path(), ec);
}

void RunFolder::dropRun() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(host::fsPath(dir_), ec))
    if (ours(host::utf8Of(entry.path().filename()))) fs::remove(entry.path(), ec);
  dropIfMade();
}

void RunFolder::dropIfMade() {
  release();
  std::error_code ec;
  if (made_) fs::remove_all(host::fsPath(dir_), ec);
  made_ = false;
}

void RunFolder::release() {
  if (!locked_) return;
  std::error_code ec;
  fs::remove(host::fsPath(lockPath_), ec);
  locked_ = false;
}

}  // namespace tool
