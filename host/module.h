// Loading the adaptor module at run time and reaching its entry points by name,
// as a host does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "imaqkit.h"

namespace host {

struct EntryPoints {
  void (*initializeAdaptor)() = nullptr;
  void (*uninitializeAdaptor)() = nullptr;
  void (*getAvailHW)(IHardwareList*) = nullptr;
  void (*getDeviceAttributes)(IDeviceEntry*, const char*, IPropertyFactory*, ISourceList*,
                              ITriggerList*) = nullptr;
  IAdaptor* (*createInstance)(IEngine*, IDeviceEntry*, const char*) = nullptr;
};

class Module {
 public:
  // Loads the module file and resolves its entry points. Fails, saying which
  // file and which entry point, when the file cannot be loaded or lacks one of
  // the required entry points.
  static std::unique_ptr<Module> load(const std::string& path, std::string& error);
  // The module beside the running program, or else in ../module beside the
  // program's folder (the layout of the packages).
  static std::string defaultPath();
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const EntryPoints& entry() const { return entry_; }
  const std::string& path() const { return path_; }
  // Where the module's code lies in memory (Windows; empty elsewhere).
  std::pair<std::uintptr_t, std::uintptr_t> image() const;

 private:
  Module(void* library, std::string path) : library_(library), path_(std::move(path)) {}
  void* library_;
  std::string path_;
  EntryPoints entry_;
};

// Platform side of the loader: one file per platform.
namespace platform {
void* openLibrary(const std::string& path, std::string& error);
void* findSymbol(void* library, const char* name);
void closeLibrary(void* library);
// Whether the library file is loaded in this process now.
bool isLoaded(const std::string& path);
// A function of a library the program has loaded already (by its file name),
// or null.
void* findLoadedSymbol(const char* library, const char* name);
extern const char kBusLibraryFileName[];
std::string programDirectory();
extern const char kModuleFileName[];
// Threads the process runs now. On Windows only those started in the code
// between begin and end, when given: Wine starts threads of its own as it likes.
int threadCount(std::uintptr_t begin = 0, std::uintptr_t end = 0);
// Where a loaded library's code lies (Windows; 0, 0 elsewhere).
std::pair<std::uintptr_t, std::uintptr_t> imageOf(void* library);
}  // namespace platform

}  // namespace host
