// Paths are UTF-8 text everywhere in the host and its tools; these make them
// the system's (UTF-16 on Windows, so that any name works, not only those of
// the ANSI code page).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace host {

std::filesystem::path fsPath(const std::string& utf8);
std::string utf8Of(const std::filesystem::path& path);
// fopen for a UTF-8 path.
std::FILE* openFile(const std::string& utf8, const char* mode);
// Flushes the stream and the system's copy of its data to the disk; false
// with errno set when either fails.
bool syncFile(std::FILE* file);
// dir and name joined with the separator dir already uses ('/' unless it has
// only '\'), so that what is printed keeps one style.
std::string joinPath(const std::string& dir, const std::string& name);
#if defined(_WIN32)
std::wstring widePath(const std::string& utf8);
#endif

}  // namespace host
