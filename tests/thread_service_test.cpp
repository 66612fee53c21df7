// The thread message service as the acquisition thread uses it. The same
// tests run natively (the portable layer) and under Wine (Win32 itself), which
// keeps the portable layer honest.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "winthread.h"

namespace {

struct Mailbox {
  std::atomic<bool> release{false};
  std::vector<UINT> received;
  std::vector<WPARAM> params;
  BOOL last = 1;
};

// Waits until told, then takes messages until GetMessageA says stop.
DWORD WINAPI Receiver(LPVOID parameter) {
  auto* box = static_cast<Mailbox*>(parameter);
  while (!box->release) Sleep(1);
  MSG msg;
  while ((box->last = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
    box->received.push_back(msg.message);
    box->params.push_back(msg.wParam);
  }
  return 0;
}

DWORD WINAPI Quick(LPVOID) {
  return 0;
}

TEST(ThreadService, PostingFailsUntilTheThreadTakesMessages) {
  Mailbox box;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, Receiver, &box, 0, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(0u, id);
  // The thread has not asked for a message yet: it has no queue.
  EXPECT_EQ(0, PostThreadMessageA(id, WM_USER + 1, 0, 0));
  box.release = true;
  int tries = 0;
  while (!PostThreadMessageA(id, WM_USER + 1, 7, 0)) {
    Sleep(1);
    ASSERT_LT(++tries, 10000);
  }
  EXPECT_NE(0, PostThreadMessageA(id, WM_USER, 8, 0));
  EXPECT_NE(0, PostThreadMessageA(id, WM_QUIT, 0, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  EXPECT_NE(0, CloseHandle(thread));
  // Messages arrive in order; WM_QUIT ends the loop with 0 and is not seen as a message.
  EXPECT_EQ((std::vector<UINT>{WM_USER + 1, WM_USER}), box.received);
  EXPECT_EQ((std::vector<WPARAM>{7, 8}), box.params);
  EXPECT_EQ(0, box.last);
}

TEST(ThreadService, PostingFailsAfterTheThreadEnded) {
  Mailbox box;
  box.release = true;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, Receiver, &box, 0, &id);
  ASSERT_NE(nullptr, thread);
  while (!PostThreadMessageA(id, WM_QUIT, 0, 0)) Sleep(1);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  EXPECT_EQ(0, PostThreadMessageA(id, WM_USER, 0, 0));
  CloseHandle(thread);
}

TEST(ThreadService, WaitTimesOutOnARunningThreadAndSucceedsOnAnEndedOne) {
  Mailbox box;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, Receiver, &box, 0, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));
  box.release = true;
  while (!PostThreadMessageA(id, WM_QUIT, 0, 0)) Sleep(1);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
  CloseHandle(thread);

  HANDLE quick = CreateThread(nullptr, 0, Quick, nullptr, 0, nullptr);
  ASSERT_NE(nullptr, quick);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(quick, 10000));
  CloseHandle(quick);
}

TEST(ThreadService, GetMessageFailsForAWindowThatDoesNotExist) {
  MSG msg;
  EXPECT_EQ(-1, GetMessageA(&msg, reinterpret_cast<HWND>(0x1234), 0, 0));
}

TEST(ThreadService, MessageNumbers) {
  EXPECT_EQ(0x400u, static_cast<unsigned>(WM_USER));
  EXPECT_EQ(0x12u, static_cast<unsigned>(WM_QUIT));
}

}  // namespace
