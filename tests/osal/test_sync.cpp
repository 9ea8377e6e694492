// Locks, the WaiterNotifier handshake and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "Mutex.h"
#include "Thread.h"
#include "WaiterNotifier.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits (bounded) until `flag` reads true.
bool eventually(const std::atomic<bool>& flag, int limitMs = 10000) {
  const auto start = Clock::now();
  while (!flag.load()) {
    if (msSince(start) > limitMs) {
      return false;
    }
    Thread_Sleep(1);
  }
  return true;
}

struct LockHolder {
  Mutex* mutex;
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
};

uint32_t holdUntilReleased(void* p) {
  auto* h = static_cast<LockHolder*>(p);
  Mutex_Lock(h->mutex);
  h->holding = true;
  while (!h->release.load()) {
    Thread_Sleep(1);
  }
  Mutex_Unlock(h->mutex);
  return 0;
}

uint32_t lockAndEnd(void* p) {
  Mutex_Lock(static_cast<Mutex*>(p));
  Mutex_Lock(static_cast<Mutex*>(p));  // twice: the whole depth dies with us
  return 7;
}

}  // namespace

TEST(Mutex, SecondLockerWaitsForTheFirstHoldersUnlock) {
  Mutex* m = nullptr;
  ASSERT_EQ(Mutex_Create(&m), 0);
  LockHolder h{m};
  Thread* t = nullptr;
  Thread_Create(&t, holdUntilReleased, &h);
  ASSERT_TRUE(eventually(h.holding));

  std::atomic<bool> got{false};
  struct Ctx { Mutex* m; std::atomic<bool>* got; } ctx{m, &got};
  Thread* second = nullptr;
  Thread_Create(&second, [](void* p) -> uint32_t {
    auto* c = static_cast<Ctx*>(p);
    Mutex_Lock(c->m);
    *c->got = true;
    Mutex_Unlock(c->m);
    return 0;
  }, &ctx);
  Thread_Sleep(50);
  EXPECT_FALSE(got.load());
  h.release = true;
  Thread_Join(second);
  EXPECT_TRUE(got.load());
  Thread_Join(t);
  Thread_Delete(second);
  Thread_Delete(t);
  Mutex_Delete(m);
}

TEST(Mutex, OwnerThatEndsHoldingTheLockDoesNotBlockTheNextTakerAndNothingIsLogged) {
  Mutex* m = nullptr;
  Mutex_Create(&m);
  Thread* t = nullptr;
  Thread_Create(&t, lockAndEnd, m);
  Thread_Join(t);
  Thread_Delete(t);
  Thread_Sleep(20);  // let the OS finish the thread off

  CaptureStdout();
  Mutex_Lock(m);
  Mutex_Lock(m);
  Mutex_Unlock(m);
  Mutex_Unlock(m);
  EXPECT_EQ(GetCapturedStdout(), "");
  Mutex_Delete(m);
}

TEST(WaiterNotifier, NotifyBeforeWaitIsKept) {
  WaiterNotifier* w = nullptr;
  ASSERT_EQ(WaiterNotifier_Create(&w), 0u);
  EXPECT_EQ(WaiterNotifier_Notify(w), 0u);
  EXPECT_EQ(WaiterNotifier_Lock(w), 0u);
  EXPECT_EQ(WaiterNotifier_Wait(w), 0u);
  EXPECT_EQ(w->state, WN_IDLE);
  EXPECT_EQ(WaiterNotifier_Unlock(w), 0u);
  EXPECT_EQ(WaiterNotifier_Delete(w), 0u);
}

TEST(Thread, JoinRightAfterCreateReturnsOnlyAfterTheFunction) {
  std::atomic<bool> done{false};
  Thread* t = nullptr;
  EXPECT_EQ(Thread_Create(&t, [](void* p) -> uint32_t {
    Thread_Sleep(30);
    *static_cast<std::atomic<bool>*>(p) = true;
    return 0;
  }, &done), 0);
  Thread_Join(t);
  EXPECT_TRUE(done.load());
  Thread_Delete(t);
}
