// The folder an acquisition writes into: made when missing, refused when it
// holds files (unless overwrite) or another run is writing there, locked for
// the run's length. With overwrite, an earlier run's files stay until the new
// run has its first frame, so a run that fails to start destroys nothing.
#pragma once

#include <string>

namespace tool {

class RunFolder {
 public:
  RunFolder() = default;
  ~RunFolder() { release(); }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;

  // False with the reason (a sentence without "acquire: ").
  bool prepare(const std::string& dir, bool overwrite, std::string& error);
  // Removes an earlier run's files (with overwrite); once the first new frame is here.
  void clearEarlier();
  // Removes the folder if this run made it and wrote nothing into it.
  void dropIfMade();
  // Removes this run's files (it wrote no frame), then the folder if it made it.
  void dropRun();
  // Lets go of the lock.
  void release();

 private:
  bool lock(std::string& error);

  std::string dir_;
  std::string lockPath_;
  bool made_ = false;
  bool locked_ = false;
  bool overwrite_ = false;
};

}  // namespace tool
