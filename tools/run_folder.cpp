#include "run_folder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "acquire_record.h"
#include "paths.h"
#include "support.h"
#include "text.h"

namespace tool {
namespace {

namespace fs = std::filesystem;
constexpr const char* kLockName = ".corvane-acquire.lock";
// Where an earlier run's files wait while --overwrite clears them.
constexpr const char* kAsideName = ".corvane-earlier";
constexpr int kAttempts = 50;

// The names acquire gives its frames' files: frame_<digits>.png or .raw, or a stack.
bool frameFileName(const std::string& name) {
  if (name == "frames.tif" || name == "frames.ome.tif") return true;
  if (name.rfind("frame_", 0) != 0) return false;
  const std::size_t dot = name.find('.', 6);
  if (dot == std::string::npos || dot == 6) return false;
  for (std::size_t i = 6; i < dot; ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  const std::string ext = name.substr(dot);
  return ext == ".png" || ext == ".raw";
}

std::string withoutPart(const std::string& name) {
  const bool part = name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0;
  return part ? name.substr(0, name.size() - 5) : name;
}

bool regularFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(path, ec));
}

nlohmann::json readJson(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return nlohmann::json::parse(in, nullptr, false);
}

}  // namespace

bool RunFolder::make(std::string& error) {
  const fs::path path = host::fsPath(dir_);
  std::error_code ec;
  if (fs::exists(path, ec)) {
    if (fs::is_directory(path, ec)) return true;
    error = "'" + dir_ + "' is a file, not a folder";
    return false;
  }
  // Level by level, so that this run knows which folders are its own.
  std::vector<fs::path> missing;
  for (fs::path p = path; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
    if (fs::create_directory(*at, ec)) made_.push_back(*at);
    if (ec) {
      error = "cannot make folder '" + dir_ + "': " + ec.message();
      return false;
    }
  }
  return true;
}

bool RunFolder::takeLock(std::string& error) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (!make(error)) return false;
    holdAt("made");
    switch (lock_.take(lockPath_, error)) {
      case FolderLock::Take::kTaken:
        holdAt("locked");
        lock_.say("process " + std::to_string(processId()) + ", corvane-host acquire since " +
                  utcAt(unixNow()) + "\n");
        return true;
      case FolderLock::Take::kHeld: {
        std::string holder;
        if (std::FILE* f = host::openFile(lockPath_, "rb")) {
          char text[200] = {};
          holder.assign(text, std::fread(text, 1, sizeof text - 1, f));
          std::fclose(f);
        }
        while (!holder.empty() && std::isspace(static_cast<unsigned char>(holder.back())))
          holder.pop_back();
        error = "folder '" + dir_ + "' is in use by another acquisition: its lock file '" +
                lockPath_ + "' is held by " +
                (holder.empty() ? "a run that has not yet said who it is" : printable(holder));
        made_.clear();  // the folder is that run's now
        return false;
      }
      case FolderLock::Take::kGone:
        continue;
      case FolderLock::Take::kFailed:
        error = "cannot write to folder '" + dir_ + "': " + error;
        return false;
    }
  }
  error = "cannot lock '" + lockPath_ + "': it went each time it was opened";
  return false;
}

bool RunFolder::prepare(const std::string& dir, bool overwrite, std::string& error) {
  dir_ = dir;
  lockPath_ = host::joinPath(dir_, kLockName);
  if (!takeLock(error)) {
    dropRun();
    return false;
  }
  std::error_code ec;
  bool used = false;
  for (const auto& entry : fs::directory_iterator(host::fsPath(dir_), ec))
    if (entry.path().filename() != kLockName) used = true;
  if (used && !overwrite) {
    error = "folder '" + dir +
            "' holds files already; give --overwrite to write over an earlier acquisition's, "
            "or another folder";
    dropRun();
    return false;
  }
  return true;
}

bool RunFolder::clearEarlier(const std::vector<std::string>& names,
                             const std::function<bool(const std::string&)>& makes,
                             std::string& error) {
  const fs::path folder = host::fsPath(dir_);
  std::set<std::string> recorded;
  const nlohmann::json summary = readJson(folder / "acquisition.json");
  // An earlier run's acquisition.json is the first file it makes: without it,
  // nothing in the folder is any run's.
  if (summary.is_object() && summary.value("record", "") == "frames.jsonl") {
    recorded = {"acquisition.json", "frames.jsonl", "contact_sheet.png"};
    const std::string files = summary.value("files", "");
    if (files == "frames.tif" || files == "frames.ome.tif") recorded.insert(files);
    if (summary.value("save", "") == "raw") recorded.insert("raw.json");
    std::ifstream lines(folder / "frames.jsonl", std::ios::binary);
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      if (j.is_object() && j.contains("file") && j["file"].is_string() &&
          frameFileName(j["file"].get<std::string>()))
        recorded.insert(j["file"].get<std::string>());
    }
  }
  // A .part is a file the earlier run was making when it ended: one of its
  // own names, or a frame's it had no line for yet.
  auto ours = [&](const std::string& name) {
    const std::string base = withoutPart(name);
    return recorded.count(base) > 0 || (base != name && !recorded.empty() && frameFileName(base) &&
                                        base != "frames.tif" && base != "frames.ome.tif");
  };
  auto wanted = [&](const std::string& name) {
    const std::string base = withoutPart(name);
    return std::find(names.begin(), names.end(), base) != names.end() || makes(base);
  };
  // What would stay in the way of this run is found first, a frame's name
  // included: a refused run removes nothing of the earlier one.
  std::error_code ec;
  std::vector<std::string> earlier;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = host::utf8Of(entry.path().filename());
    const bool file = regularFile(entry.path());
    if (ours(name) && file) {
      earlier.push_back(name);
    } else if (wanted(name)) {
      error = "'" + host::joinPath(dir_, name) + "' is in the way and " +
              (ours(name) ? "is not a file" : "no earlier acquisition recorded it as its own") +
              "; move it, or write to another folder";
      return false;
    }
  }
  if (ec) {
    error = "cannot read folder '" + dir_ + "': " + ec.message();
    return false;
  }
  // All or nothing: the earlier files are moved aside, and back should one
  // not move (a file another program holds open, say); then they go.
  const fs::path aside = folder / kAsideName;
  fs::remove_all(aside, ec);
  if (!fs::create_directory(aside, ec) && ec) {
    error = "cannot make '" + host::joinPath(dir_, kAsideName) + "': " + ec.message();
    return false;
  }
  std::size_t moved = 0;
  for (; moved < earlier.size(); ++moved) {
    fs::rename(folder / host::fsPath(earlier[moved]), aside / host::fsPath(earlier[moved]), ec);
    if (ec) break;
  }
  if (moved < earlier.size()) {
    error = "cannot remove the earlier acquisition's " + earlier[moved] + " (" + ec.message() +
            ") in '" + dir_ + "'; nothing was removed or written";
    for (std::size_t i = 0; i < moved; ++i) {
      std::error_code back;
      fs::rename(aside / host::fsPath(earlier[i]), folder / host::fsPath(earlier[i]), back);
    }
    fs::remove(aside, ec);
    return false;
  }
  fs::remove_all(aside, ec);
  return true;
}

void RunFolder::own(const std::string& name) {
  owned_.push_back(name);
}

void RunFolder::dropRun() {
  std::error_code ec;
  if (lock_.held()) {
    const fs::path folder = host::fsPath(dir_);
    for (const std::string& name : owned_)
      for (const std::string& each : {name, name + ".part"})
        if (regularFile(folder / host::fsPath(each))) fs::remove(folder / host::fsPath(each), ec);
  }
  owned_.clear();
  lock_.release();
  // Only while empty: a folder another run has begun to use keeps its lock file.
  for (auto at = made_.rbegin(); at != made_.rend(); ++at) fs::remove(*at, ec);
  made_.clear();
}

}  // namespace tool
