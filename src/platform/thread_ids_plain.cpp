// The portable thread service's ids: module threads counted up from 0x1000,
// other threads by the system's id with the top bit set.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "thread_ids.h"

namespace threadids {

namespace {
std::atomic<DWORD> next{0x1000};
}  // namespace

DWORD take() {
  return next++;
}

void give(DWORD) {}

// Looked up, not kept in the thread's own storage: a host thread that
// touched the module's thread-local storage would keep a block of it that the
// module's unloading leaves dangling. The system's id of the thread is unique
// among the running ones.
DWORD foreign() {
  return 0x80000000u | (static_cast<DWORD>(syscall(SYS_gettid)) & 0x7FFFFFFFu);
}

void lockNoted(int) {}

void handleNoted(int) {}

}  // namespace threadids
