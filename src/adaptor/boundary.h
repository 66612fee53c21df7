// What the module does at its boundary with the host and the camera library:
// no exception leaves a function the host calls (a host built with another
// compiler or runtime cannot catch it), and every library status has a text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>

#include "platform/bl1394.h"
#include "platform/imaqkit.h"

// The text of a library status for a report's "%s": the library's own, or,
// when it has none, one of ours with the number.
class StatusText {
 public:
  explicit StatusText(CvStatus status) noexcept {
    const char* text = CvStatusStringA(status);
    if (text != nullptr) {
      text_ = text;
    } else {
      std::snprintf(own_, sizeof own_, "status 0x%08x", static_cast<unsigned>(status));
      text_ = own_;
    }
  }
  StatusText(const StatusText&) = delete;
  StatusText& operator=(const StatusText&) = delete;
  const char* c_str() const noexcept { return text_; }

 private:
  const char* text_;
  char own_[20];
};

// What an exception said, kept once the exception is gone. Filled only when
// something failed: a call that succeeds pays nothing for it.
struct Failure {
  char text[160];
};

// Runs fn; true when it returned. When it threw, false with why filled in:
// "not enough memory", or the exception's own text.
template <class Fn>
bool shielded(Fn&& fn, Failure& why) noexcept {
  try {
    fn();
    return true;
  } catch (const std::bad_alloc&) {
    std::snprintf(why.text, sizeof why.text, "not enough memory");
  } catch (const std::exception& e) {
    std::snprintf(why.text, sizeof why.text, "%s", e.what());
  } catch (...) {
    std::snprintf(why.text, sizeof why.text, "an unknown exception");
  }
  return false;
}

// Reports from a place that has already failed: a report the host fails to
// take is dropped, not thrown on.
inline void reportError(IAdaptor* adaptor, const char* operation, const Failure& why) noexcept {
  try {
    adaptorError(adaptor, operation, "Failed: %s.", why.text);
  } catch (...) {
  }
}

inline void reportWarning(const char* identifier, const char* what, const Failure& why) noexcept {
  try {
    adaptorWarn(identifier, "%s: %s.", what, why.text);
  } catch (...) {
  }
}

// adaptorWarn from a place that goes on whatever the host does with the
// report (a clean-up, the acquisition thread): a throw is dropped.
template <class... Args>
void warnQuietly(const char* identifier, const char* format, Args... args) noexcept {
  static_assert(sizeof...(Args) > 0, "give the text as \"%s\", text");
  try {
    adaptorWarn(identifier, format, args...);
  } catch (...) {
  }
}
