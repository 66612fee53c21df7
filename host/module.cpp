#include "module.h"

#include <cstring>
#include <filesystem>

namespace host {
namespace {

template <class Fn>
bool resolve(void* library, const char* name, Fn& target) {
  void* symbol = platform::findSymbol(library, name);
  if (symbol == nullptr) return false;
  static_assert(sizeof target == sizeof symbol);
  std::memcpy(&target, &symbol, sizeof target);
  return true;
}

}  // namespace

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error) {
  void* library = platform::openLibrary(path, error);
  if (library == nullptr) {
    error = "cannot load module " + path + ": " + error;
    return nullptr;
  }
  std::unique_ptr<Module> module(new Module(library, path));
  EntryPoints& e = module->entry_;
  const char* missing = nullptr;
  auto require = [&](const char* name, auto& target) {
    if (!resolve(library, name, target) && missing == nullptr) missing = name;
  };
  require("initializeAdaptor", e.initializeAdaptor);
  require("uninitializeAdaptor", e.uninitializeAdaptor);
  require("getAvailHW", e.getAvailHW);
  require("getDeviceAttributes", e.getDeviceAttributes);
  require("createInstance", e.createInstance);
  if (missing != nullptr) {
    error = "module " + path + " has no entry point '" + missing + "'";
    return nullptr;
  }
  return module;
}

std::string Module::defaultPath() {
  // Beside the program, as a build lays it out; else in the module part of a
  // package, beside the demonstration kit's folder.
  const std::string beside = platform::programDirectory() + platform::kModuleFileName;
  const std::string packaged =
      platform::programDirectory() + "../module/" + platform::kModuleFileName;
  std::error_code ec;
  if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(packaged, ec))
    return std::filesystem::path(packaged).lexically_normal().string();
  return beside;
}

std::pair<std::uintptr_t, std::uintptr_t> Module::image() const {
  return platform::imageOf(library_);
}

Module::~Module() {
  platform::closeLibrary(library_);
}

}  // namespace host
