// The Microsoft-ABI host's kit, built as imaqmex.mexw64: the eight kit
// functions exported under the names Microsoft's C++ ABI gives their
// declarations, a lock and a lock holder as ordinary classes, and accounts of
// what the module took and gave back. Beyond the last operation of the lock,
// the holder (and, in the host, the adaptor manager) sit traps: a caller that
// lays out their tables otherwise lands there and is told so.
#define KIT_BUILD
#include "freestanding.h"
#include "interfaces.h"

using namespace freestanding;

namespace {

constexpr uint64_t kLiveBlock = 0x6b636f6c42657669;   // "iveBlock"
constexpr uint64_t kFreedBlock = 0x6b636f6c42646572;  // "redBlock"
struct BlockHead {
  uint64_t magic;
  uint64_t size;
};

KitCounts counts{};
SpinLock reportLock;
constexpr long kReportsKept = 64;
KitReport reports[kReportsKept];

void violation(const char* what) {
  add(counts.violations, 1L);
  say("kit: the module broke a rule: %s", what);
}

[[noreturn]] void pastTheEnd(const char* object, int slot) {
  stop(5,
       "kit: a call through slot %d of %s, past its last operation: the module lays out its "
       "table otherwise than Microsoft's C++ ABI",
       slot, object);
}

void record(bool error, IAdaptor* adaptor, const char* source, const char* format, va_list args) {
  reportLock.lock();
  const long n = counts.reports++;
  if (n < kReportsKept) {
    KitReport& r = reports[n];
    r.error = error;
    r.adaptor = adaptor;
    copyText(r.source, sizeof r.source, source);
    _vsnprintf(r.message, sizeof r.message - 1, format != nullptr ? format : "", args);
    r.message[sizeof r.message - 1] = '\0';
  }
  reportLock.unlock();
}

class Lock final : public ICriticalSection {
 public:
  Lock() {
    InitializeCriticalSection(&section_);
    add(counts.locks, 1L);
  }
  ~Lock() override {
    if (load(owner_) != 0) violation("a lock destroyed while held");
    DeleteCriticalSection(&section_);
    add(counts.locks, -1L);
  }
  void enter() override {
    if (load(owner_) == GetCurrentThreadId()) violation("a lock entered twice by one thread");
    EnterCriticalSection(&section_);
    store(owner_, GetCurrentThreadId());
  }
  void leave() override {
    if (load(owner_) != GetCurrentThreadId()) {
      violation("a lock left by a thread that does not hold it");
      return;
    }
    store(owner_, Dword{0});
    LeaveCriticalSection(&section_);
  }
  virtual void trap3() { pastTheEnd("a lock (ICriticalSection)", 3); }
  virtual void trap4() { pastTheEnd("a lock (ICriticalSection)", 4); }

 private:
  CriticalSectionStorage section_;
  Dword owner_ = 0;
};

class Holder final : public IAutoCriticalSection {
 public:
  Holder(ICriticalSection* section, bool lockNow) : section_(section) {
    add(counts.holders, 1L);
    if (lockNow) enter();
  }
  ~Holder() override {
    if (held_) leave();
    add(counts.holders, -1L);
  }
  void enter() override {
    if (held_) {
      violation("a holder entered while it holds its lock");
      return;
    }
    section_->enter();
    held_ = true;
  }
  void leave() override {
    if (!held_) {
      violation("a holder left while it holds no lock");
      return;
    }
    held_ = false;
    section_->leave();
  }
  virtual void trap3() { pastTheEnd("a lock holder (IAutoCriticalSection)", 3); }
  virtual void trap4() { pastTheEnd("a lock holder (IAutoCriticalSection)", 4); }

 private:
  ICriticalSection* section_;
  bool held_ = false;
};

ManagerFactory managerFactory = nullptr;

}  // namespace

void* imaqmalloc(size_t size) {
  auto* head = static_cast<BlockHead*>(malloc(sizeof(BlockHead) + size));
  if (head == nullptr) return nullptr;
  head->magic = kLiveBlock;
  head->size = size;
  add(counts.blocks, 1L);
  return head + 1;
}

void imaqfree(void* block) {
  if (block == nullptr) return;
  BlockHead* head = static_cast<BlockHead*>(block) - 1;
  if (head->magic != kLiveBlock) {
    violation("imaqfree of a block imaqmalloc did not hand out, or freed twice");
    return;
  }
  head->magic = kFreedBlock;
  add(counts.blocks, -1L);
  free(head);
}

void adaptorError(IAdaptor* adaptor, const char* operation, const char* format, ...) {
  va_list args;
  va_start(args, format);
  record(true, adaptor, operation, format, args);
  va_end(args);
}

void adaptorWarn(const char* identifier, const char* format, ...) {
  va_list args;
  va_start(args, format);
  record(false, nullptr, identifier, format, args);
  va_end(args);
}

ICriticalSection* createCriticalSection() {
  return new Lock;
}

IAutoCriticalSection* createAutoCriticalSection(ICriticalSection* section, bool lockNow) {
  if (section == nullptr) {
    violation("createAutoCriticalSection without a lock");
    return nullptr;
  }
  return new Holder(section, lockNow);
}

IAdaptorManager* createAdaptorManager(IAdaptor* adaptor, IEngine* engine) {
  return managerFactory != nullptr ? managerFactory(adaptor, engine) : nullptr;
}

double getCurrentTime() {
  return static_cast<double>(add(counts.clockReads, 1L)) / 4.0;
}

void kitCounts(KitCounts* out) {
  reportLock.lock();
  *out = counts;
  reportLock.unlock();
}

bool kitReport(long index, KitReport* out) {
  reportLock.lock();
  const bool kept = index >= 0 && index < counts.reports && index < kReportsKept;
  if (kept) *out = reports[index];
  reportLock.unlock();
  return kept;
}

void kitSetManagerFactory(ManagerFactory factory) {
  managerFactory = factory;
}
