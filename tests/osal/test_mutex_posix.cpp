// POSIX Mutex: deleting a lock that a thread still sleeps on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "Memory.h"
#include "Mutex.h"
#include "Thread.h"
#include "TestSupport.h"

namespace {

std::atomic<int> gReleased{0};
void countThenFree(void* block, uint32_t) {
  ++gReleased;
  std::free(block);
}

struct Sleeper {
  Mutex* m = nullptr;
  bool asleep = false;  // guarded by m
  bool woken = false;   // guarded by m
};

// Runs in a child process, so that a crash or a hang of a delete that frees
// the record under its sleeper shows as a failure: the alarm ends a hang.
// Exits 0 when the delete was refused with its error line, the record stayed
// usable and the sleeper could still be woken.
void deleteWhileAThreadSleeps() {
  alarm(20);
  Sleeper s;
  Mutex_Create(&s.m);
  Thread* thread = nullptr;
  Thread_Create(&thread, [](void* p) -> uint32_t {
    auto* sl = static_cast<Sleeper*>(p);
    Mutex_Lock(sl->m);
    sl->asleep = true;
    while (!sl->woken) {
      Mutex_Wait(sl->m);
    }
    Mutex_Unlock(sl->m);
    return 0;
  }, &s);
  // The sleeper releases the lock only inside Mutex_Wait.
  for (;;) {
    Mutex_Lock(s.m);
    const bool asleep = s.asleep;
    Mutex_Unlock(s.m);
    if (asleep) break;
    Thread_Sleep(1);
  }
  Memory_SetReleaseHook(countThenFree);
  testsupport::Output captured;
  Mutex_Delete(s.m);
  const std::string log = captured.take();
  if (log != "ERROR   : Mutex_Delete : a thread still sleeps on this mutex : not deleted\n") std::_Exit(1);
  if (gReleased.load() != 0) std::_Exit(2);

  Mutex_Lock(s.m);
  s.woken = true;
  Mutex_Signal(s.m);
  Mutex_Unlock(s.m);
  Thread_Join(thread);
  Thread_Delete(thread);
  const int before = gReleased.load();
  Mutex_Delete(s.m);  // nobody sleeps on it any more
  if (gReleased.load() != before + 1) std::_Exit(3);
  Memory_SetReleaseHook(nullptr);
  std::_Exit(0);
}

}  // namespace

TEST(MutexDeathTest, DeleteWhileAThreadSleepsOnItIsRefusedAndLogged) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(deleteWhileAThreadSleeps(), testing::ExitedWithCode(0), "");
}
