// Thread_Create on Windows returns only once the system has finished
// starting the new thread: a thread that the end of the process catches in
// its start-up can crash the whole process under Wine, and the port's last
// close starts a thread just before the program ends.
//
// The system runs an executable's TLS callbacks on a new thread before the
// thread's own routine, as part of starting it. The callback below holds
// each new thread there while a test asks it to, which widens that window
// far beyond anything the creator could cover by chance.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "Thread.h"

namespace {

std::atomic<DWORD> gHoldStartMs{0};
std::atomic<int> gStartsFinished{0};

void NTAPI holdNewThread(PVOID, DWORD reason, PVOID) {
  const DWORD hold = gHoldStartMs.load();
  if (reason == DLL_THREAD_ATTACH && hold != 0) {
    Sleep(hold);
    gStartsFinished.fetch_add(1);
  }
}

}  // namespace

// The CRT collects the callbacks of the .CRT$XL? sections into the image's
// TLS directory.
extern "C" __attribute__((section(".CRT$XLY"), used)) const PIMAGE_TLS_CALLBACK kHoldNewThread = holdNewThread;

TEST(ThreadWin32, CreateReturnsOnlyOnceTheNewThreadHasStarted) {
  gStartsFinished = 0;
  gHoldStartMs = 300;
  std::atomic<bool> ran{false};
  Thread* t = nullptr;
  Thread_Create(&t, [](void* p) -> uint32_t {
    static_cast<std::atomic<bool>*>(p)->store(true);
    return 0;
  }, &ran);
  // Read before anything else can wait for the thread.
  const int finished = gStartsFinished.load();
  gHoldStartMs = 0;
  EXPECT_EQ(finished, 1) << "Thread_Create returned while the system was still starting the thread";
  Thread_Join(t);
  EXPECT_TRUE(ran.load());
  Thread_Delete(t);
}
