// The test build's thread ids: from a small pool, the lowest free one first,
// given back as a thread ends, so that a new thread, the host's or the
// module's, soon gets an ended thread's id, as on Windows. And what the
// module's seams hold, told to the stand-in kit: its locks (a host call under
// one is a violation) and its thread handles (one left is a leak).
#include <mutex>
#include <set>

#include "kit.h"
#include "thread_ids.h"

namespace threadids {

namespace {

struct Pool {
  std::mutex mutex;
  std::set<DWORD> free;
  DWORD next = 4;  // Windows' ids are multiples of 4
};

Pool& pool() {
  static Pool* instance = new Pool;  // outlives every thread's own id
  return *instance;
}

// A host thread's id, taken on its first question and given back as it ends.
struct ForeignId {
  DWORD id = 0;
  ~ForeignId() {
    if (id != 0) give(id);
  }
};
thread_local ForeignId foreignId;

}  // namespace

DWORD take() {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (!p.free.empty()) return p.free.extract(p.free.begin()).value();
  const DWORD id = p.next;
  p.next += 4;
  return id;
}

void give(DWORD id) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.free.insert(id);
}

DWORD foreign() {
  if (foreignId.id == 0) foreignId.id = take();
  return foreignId.id;
}

void lockNoted(int delta) {
  kit::noteModuleLock(delta);
}

void handleNoted(int delta) {
  kit::noteModuleThread(delta);
}

}  // namespace threadids
