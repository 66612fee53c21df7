// What the Microsoft-ABI host and its kit need of a runtime, with none at hand:
// C functions from msvcrt.dll and Win32 from kernel32.dll, declared here and
// reached through import libraries made from kernel32.def and msvcrt.def, and
// a few helpers of their own (output, checks, a list, a spin lock).
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {
// msvcrt.dll
void* malloc(size_t size);
void free(void* block);
void* memcpy(void* to, const void* from, size_t size);
void* memset(void* to, int value, size_t size);
int strcmp(const char* a, const char* b);
size_t strlen(const char* text);
int _vsnprintf(char* buffer, size_t size, const char* format, va_list args);

// kernel32.dll
using Handle = void*;
using Dword = unsigned long;
struct CriticalSectionStorage {
  alignas(8) unsigned char bytes[40];
};
struct ExceptionRecord {
  Dword code;
  Dword flags;
  ExceptionRecord* next;
  void* address;
  Dword parameterCount;
  uintptr_t parameters[15];
};
struct ExceptionPointers {
  ExceptionRecord* record;
  void* context;
};
struct HeapEntry {  // PROCESS_HEAP_ENTRY
  void* data;
  Dword size;
  unsigned char overhead;
  unsigned char regionIndex;
  unsigned short flags;
  unsigned char rest[24];
};
constexpr unsigned short kHeapEntryBusy = 0x0004;
using ExceptionFilter = long (*)(ExceptionPointers*);
using ThreadStart = Dword (*)(void*);

__declspec(dllimport) Handle GetStdHandle(Dword which);
__declspec(dllimport) int WriteFile(Handle file, const void* data, Dword size, Dword* written,
                                    void* overlapped);
__declspec(dllimport) void ExitProcess(unsigned int code);
__declspec(dllimport) void Sleep(Dword milliseconds);
__declspec(dllimport) uint64_t GetTickCount64();
__declspec(dllimport) Dword GetCurrentThreadId();
__declspec(dllimport) Dword GetLastError();
__declspec(dllimport) Handle CreateThread(void* security, size_t stack, ThreadStart start,
                                          void* parameter, Dword flags, Dword* id);
__declspec(dllimport) void InitializeCriticalSection(CriticalSectionStorage* section);
__declspec(dllimport) void EnterCriticalSection(CriticalSectionStorage* section);
__declspec(dllimport) void LeaveCriticalSection(CriticalSectionStorage* section);
__declspec(dllimport) void DeleteCriticalSection(CriticalSectionStorage* section);
__declspec(dllimport) Handle LoadLibraryExA(const char* path, Handle reserved, Dword flags);
__declspec(dllimport) void* GetProcAddress(Handle module, const char* name);
__declspec(dllimport) int FreeLibrary(Handle module);
__declspec(dllimport) Handle GetModuleHandleA(const char* name);
__declspec(dllimport) Dword GetModuleFileNameA(Handle module, char* path, Dword size);
__declspec(dllimport) int GetModuleHandleExA(Dword flags, const void* address, Handle* module);
__declspec(dllimport) const char* GetCommandLineA();
__declspec(dllimport) int VirtualProtect(void* address, size_t size, Dword protection,
                                         Dword* previous);
__declspec(dllimport) Dword GetProcessHeaps(Dword count, Handle* heaps);
__declspec(dllimport) int HeapLock(Handle heap);
__declspec(dllimport) int HeapUnlock(Handle heap);
__declspec(dllimport) int HeapWalk(Handle heap, HeapEntry* entry);
__declspec(dllimport) ExceptionFilter SetUnhandledExceptionFilter(ExceptionFilter filter);
}

namespace freestanding {

// Writes a formatted line (a newline is added) to standard output.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vsay(const char* format, va_list args);
// Says what broke and ends the process with the given code: for a state in
// which going on would only crash further away.
[[noreturn]] void stop(unsigned int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

inline bool same(const char* a, const char* b) {
  return a != nullptr && b != nullptr && strcmp(a, b) == 0;
}
// Copies text into a buffer of size bytes, cut to fit and terminated.
void copyText(char* to, size_t size, const char* from);

template <class T>
T load(const T& value) {
  return __atomic_load_n(&value, __ATOMIC_SEQ_CST);
}
template <class T>
T exchange(T& place, T value) {
  return __atomic_exchange_n(&place, value, __ATOMIC_SEQ_CST);
}
template <class T>
void store(T& place, T value) {
  __atomic_store_n(&place, value, __ATOMIC_SEQ_CST);
}
template <class T>
T add(T& place, T delta) {
  return __atomic_add_fetch(&place, delta, __ATOMIC_SEQ_CST);
}

// A lock that needs no construction, for state shared by threads.
class SpinLock {
 public:
  void lock() {
    while (__atomic_exchange_n(&held_, 1, __ATOMIC_ACQUIRE) != 0) Sleep(0);
  }
  void unlock() { __atomic_store_n(&held_, 0, __ATOMIC_RELEASE); }

 private:
  long held_ = 0;
};

// A growable list of trivially copyable values (pointers, small records).
template <class T>
class List {
 public:
  List() = default;
  ~List() { free(items_); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;

  void push(const T& item) {
    if (size_ == capacity_) {
      capacity_ = capacity_ == 0 ? 8 : capacity_ * 2;
      T* grown = static_cast<T*>(malloc(capacity_ * sizeof(T)));
      if (size_ != 0) memcpy(grown, items_, size_ * sizeof(T));
      free(items_);
      items_ = grown;
    }
    items_[size_++] = item;
  }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }
  T* begin() { return items_; }
  T* end() { return items_ + size_; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + size_; }
  void clear() { size_ = 0; }

 private:
  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace freestanding
