// The little a program in Microsoft's C++ ABI needs from a runtime, here built
// from msvcrt.dll and kernel32.dll alone; linked into the host and its kit.
#include "freestanding.h"

extern "C" {
// Floating point in use (the compiler asks for this symbol when it is).
int _fltused = 0;

int _purecall() {
  freestanding::stop(6, "a pure virtual operation was called");
}
}

void* operator new(size_t size) {
  void* block = malloc(size == 0 ? 1 : size);
  if (block == nullptr) freestanding::stop(6, "out of memory");
  return block;
}
void* operator new[](size_t size) {
  return operator new(size);
}
void operator delete(void* block) noexcept {
  free(block);
}
void operator delete(void* block, size_t) noexcept {
  free(block);
}
void operator delete[](void* block) noexcept {
  free(block);
}
void operator delete[](void* block, size_t) noexcept {
  free(block);
}

namespace freestanding {

void vsay(const char* format, va_list args) {
  char line[1024];
  int length = _vsnprintf(line, sizeof line - 1, format, args);
  if (length < 0 || length > static_cast<int>(sizeof line - 2)) length = sizeof line - 2;
  line[length++] = '\n';
  Dword written = 0;
  constexpr Dword kStandardOutput = static_cast<Dword>(-11);
  WriteFile(GetStdHandle(kStandardOutput), line, static_cast<Dword>(length), &written, nullptr);
}

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsay(format, args);
  va_end(args);
}

void stop(unsigned int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsay(format, args);
  va_end(args);
  ExitProcess(code);
  __builtin_unreachable();
}

void copyText(char* to, size_t size, const char* from) {
  size_t n = 0;
  if (from != nullptr)
    for (; n + 1 < size && from[n] != '\0'; ++n) to[n] = from[n];
  to[n] = '\0';
}

}  // namespace freestanding
