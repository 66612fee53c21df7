// What the register operations owe the host, kept while registerLock is held
// and said once it is given back: no call into the host is made under a lock
// of the module (a report handler may wait for another host thread that
// reads a property, or destroy the adaptor).
#pragma once

#include <cstdint>

#include "platform/bl1394.h"

class CorvaneAdaptor;

class RegisterReports {
 public:
  // An error for the operation named, its message's "%s" the status text.
  void error(const char* operation, const char* message, CvStatus status) noexcept;
  // A register whose copy could not be cached (the camera call succeeded).
  void uncached(const char* identifier, std::uint32_t key) noexcept;
  // Makes the reports, in order, through the kit; stops once the host has
  // destroyed the adaptor inside one. May throw what the host throws.
  // REQUIRES: registerLock not held by the calling thread.
  void send(CorvaneAdaptor* adaptor);
  bool empty() const { return count_ == 0; }

 private:
  struct Entry {
    bool warning;
    const char* source;
    const char* message;
    CvStatus status;
    std::uint32_t key;
  };
  // More than an operation and the operations it calls can owe; beyond it,
  // later reports are dropped rather than allocated.
  static constexpr int kCapacity = 4;
  Entry entries_[kCapacity];
  int count_ = 0;
};
