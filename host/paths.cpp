#include "paths.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace host {

std::filesystem::path fsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

#if defined(_WIN32)
std::wstring widePath(const std::string& utf8) {
  return fsPath(utf8).wstring();
}

std::FILE* openFile(const std::string& utf8, const char* mode) {
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(widePath(utf8).c_str(), wideMode.c_str());
}
#else
std::FILE* openFile(const std::string& utf8, const char* mode) {
  return std::fopen(utf8.c_str(), mode);
}
#endif

bool syncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fdatasync(fileno(file)) == 0;
#endif
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const bool backslashes =
      dir.find('\\') != std::string::npos && dir.find('/') == std::string::npos;
  const char separator = backslashes ? '\\' : '/';
  if (dir.back() == separator) return dir + name;
  return dir + separator + name;
}

}  // namespace host
