// The thread message service of the acquisition thread. On Windows these are
// the Win32 functions themselves; elsewhere a small portable layer with the
// same names and the semantics the module relies on:
//  - a thread's message queue exists once the thread first calls GetMessageA;
//    posting to the thread fails until then, and again after the thread ended;
//  - GetMessageA returns 0 for WM_QUIT, -1 on failure, else a positive value;
//  - WaitForSingleObject on a thread handle waits for the thread to end;
//  - a reference on the module (GetModuleHandleExW from an address in it)
//    keeps it loaded; a thread gives its own back as it ends with
//    FreeLibraryAndExitThread, which on Windows never returns. Elsewhere a
//    thread cannot leave code that is being unmapped: there the reference goes
//    back once the thread has been waited for (or never, if nobody waits, and
//    the module stays loaded), and FreeLibraryAndExitThread returns.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cstddef>
#include <cstdint>

using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using HANDLE = void*;
using HWND = void*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LPVOID = void*;
using LPDWORD = DWORD*;
#define WINAPI

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
};
using LPMSG = MSG*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
using HMODULE = void*;
using LPCWSTR = const wchar_t*;

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

// Returns null when the thread cannot be created. security and stackSize are
// accepted and ignored; creationFlags must be 0.
HANDLE CreateThread(void* security, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Only thread messages exist here: hwnd must be null. The filter range is
// honoured like Win32 (0, 0 takes every message).
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
// The calling thread's id: as CreateThread gave it, or, for a thread made
// elsewhere, one with the top bit set that no thread CreateThread made has.
// Never 0.
DWORD GetCurrentThreadId();
// Only GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS: address is a code or data
// address in the module, as on Windows.
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR address, HMODULE* module);
BOOL FreeLibrary(HMODULE module);
// Called as a thread's last act (see above).
void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);
#endif
