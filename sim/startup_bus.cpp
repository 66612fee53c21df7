// The bus the library starts with: the description file that the environment
// variable CORVANE_BUS names, else virtual-bus.json beside the library, else the
// embedded default. So a host that knows nothing of the virtual bus can be
// given any bus.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bus.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace sim {
namespace {

// The folder of this library, with a separator at its end; empty when unknown.
std::string libraryFolder() {
#if defined(_WIN32)
  HMODULE self = nullptr;
  char path[MAX_PATH];
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&libraryFolder), &self))
    return {};
  const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return {};
  std::string text(path, n);
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&libraryFolder), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::string text = info.dli_fname;
#endif
  const std::size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

// Once, where a host's user sees it: standard error, and a debugger's output on Windows.
void say(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
#if defined(_WIN32)
  OutputDebugStringA((line + "\n").c_str());
#endif
}

}  // namespace

void Bus::installStartupBus() {
  std::string path;
  if (const char* named = std::getenv("CORVANE_BUS"); named != nullptr && *named != '\0') {
    path = named;
  } else {
    const std::string beside = libraryFolder() + "virtual-bus.json";
    std::error_code ec;
    if (!libraryFolder().empty() && std::filesystem::exists(beside, ec)) path = beside;
  }
  std::string error;
  if (path.empty()) {
    install(defaultBus(), &error);
    return;
  }
  BusDesc bus;
  if (loadBusFile(path, bus, error) && install(bus, &error)) return;
  // Nothing half installed: no camera at all, and the reason, once.
  install(BusDesc{}, nullptr);
  std::lock_guard<std::mutex> lock(mutex_);
  startupError_ = "virtual camera bus: " + error + " (no cameras)";
}

void Bus::sayStartupError() {
  // Said at the library's start, unless a program took the reason to say it itself.
  if (!startupError_.empty() && !startupErrorTaken_) say("BL1394: " + startupError_);
  startupErrorTaken_ = true;
}

}  // namespace sim
