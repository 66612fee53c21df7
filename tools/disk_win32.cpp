#include <io.h>
#include <windows.h>
#include <cstdint>
#include <cstdio>

#include "disk.h"
#include "paths.h"
#include "support.h"

namespace tool {
namespace {

// Windows locks byte ranges, and keeps others from reading a locked range:
// the lock is on a byte far past the text, which anyone may read.
constexpr DWORD kLockedByteHigh = 1;

std::string systemReason(DWORD code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string reason(text, n);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
    reason.pop_back();
  return reason.empty() ? "system error " + std::to_string(code) : reason;
}

bool sameFile(HANDLE handle, const std::string& path) {
  HANDLE named = CreateFileW(host::widePath(path).c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool same = GetFileInformationByHandle(handle, &a) &&
                    GetFileInformationByHandle(named, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

}  // namespace

FolderLock::Take FolderLock::take(const std::string& path, std::string& error) {
  release();
  HANDLE h = CreateFileW(host::widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // Gone with its folder, or removed and not yet closed by its holder.
    if (code == ERROR_PATH_NOT_FOUND || code == ERROR_ACCESS_DENIED ||
        code == ERROR_DELETE_PENDING) {
      Sleep(10);
      return Take::kGone;
    }
    error = path + ": " + systemReason(code);
    return Take::kFailed;
  }
  holdAt("opened");
  OVERLAPPED at{};
  at.OffsetHigh = kLockedByteHigh;
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD code = GetLastError();
    CloseHandle(h);
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return Take::kHeld;
    error = path + ": " + systemReason(code);
    return Take::kFailed;
  }
  if (!sameFile(h, path)) {
    CloseHandle(h);
    return Take::kGone;
  }
  path_ = path;
  handle_ = h;
  held_ = true;
  return Take::kTaken;
}

bool FolderLock::say(const std::string& text) {
  HANDLE h = static_cast<HANDLE>(handle_);
  DWORD written = 0;
  return SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(h) &&
         WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

void FolderLock::release() {
  if (!held_) return;
  DeleteFileW(host::widePath(path_).c_str());
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  held_ = false;
}

bool syncFolder(const std::string& dir, std::string& error) {
  HANDLE h = CreateFileW(host::widePath(dir).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
  if (!ok) error = dir + ": " + systemReason(GetLastError());
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return ok;
}

bool truncateFile(std::FILE* file, std::uint64_t size) {
  return _chsize_s(_fileno(file), static_cast<__int64>(size)) == 0;
}

unsigned long processId() {
  return GetCurrentProcessId();
}

}  // namespace tool
