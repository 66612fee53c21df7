#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "module.h"

namespace host::platform {

const char kModuleFileName[] = "CorvaneImaq.so";
const char kBusLibraryFileName[] = "BL1394.so";

void* openLibrary(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    error = why ? why : "unknown error";
  }
  return library;
}

void* findSymbol(void* library, const char* name) {
  return dlsym(library, name);
}

void closeLibrary(void* library) {
  if (library) dlclose(library);
}

bool isLoaded(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (library != nullptr) dlclose(library);
  return library != nullptr;
}

// The program links the bus library: its functions are in the global scope.
void* findLoadedSymbol(const char*, const char* name) {
  return dlsym(RTLD_DEFAULT, name);
}

std::string programDirectory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/') + 1);
}

std::pair<std::uintptr_t, std::uintptr_t> imageOf(void*) {
  return {0, 0};
}

// The test programs run no threads of their own beside the module's.
int threadCount(std::uintptr_t, std::uintptr_t) {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace host::platform
