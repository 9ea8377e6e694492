// Locks, the WaiterNotifier handshake and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "Mutex.h"
#include "Thread.h"
#include "TestSupport.h"
#include "WaiterNotifier.h"

using testsupport::OnThread;
using testsupport::Output;

namespace {

// The error code that an unlock by a non-owner logs.
#ifdef _WIN32
const char* const kNotOwnerLine = "ERROR   : Cannot unlock mutex 120\n\n";  // ERROR_NOT_OWNER
#else
const char* const kNotOwnerLine = "ERROR   : Cannot unlock mutex 1\n\n";  // EPERM
#endif

// A thread that takes a lock, notes that it got it and gives it back; `got`
// tells whether it has got through so far.
struct Taker {
  explicit Taker(Mutex* m) : Taker([m] { Mutex_Lock(m); }, [m] { Mutex_Unlock(m); }) {}
  explicit Taker(WaiterNotifier* w) : Taker([w] { WaiterNotifier_Lock(w); }, [w] { WaiterNotifier_Unlock(w); }) {}
  Taker(std::function<void()> lock, std::function<void()> unlock)
      : thread([this, lock, unlock] {
          lock();
          got = true;
          unlock();
        }) {}
  std::atomic<bool> got{false};
  OnThread thread;
};

}  // namespace

TEST(Mutex, SerialisesAndIsReentrantForItsOwner) {
  Mutex* m = nullptr;
  ASSERT_EQ(Mutex_Create(&m), 0);
  Mutex_Lock(m);
  Mutex_Lock(m);
  Taker other(m);
  Mutex_Unlock(m);
  Thread_Sleep(50);
  EXPECT_FALSE(other.got.load()) << "one unlock of two takes released the lock";
  Mutex_Unlock(m);
  other.thread.join();
  EXPECT_TRUE(other.got.load());
  Mutex_Delete(m);
}

TEST(Mutex, OwnerThatEndsHoldingTheLockDoesNotBlockTheNextTakerAndNothingIsLogged) {
  Mutex* m = nullptr;
  Mutex_Create(&m);
  {
    OnThread dies([&] {
      Mutex_Lock(m);
      Mutex_Lock(m);
    });
  }
  Thread_Sleep(20);  // let the OS finish the thread off
  Output out;
  Taker next(m);
  next.thread.join();
  Mutex_Lock(m);
  Mutex_Unlock(m);
  EXPECT_EQ(out.take(), "");
  EXPECT_TRUE(next.got.load());
  Mutex_Delete(m);
}

TEST(Mutex, UnlockByANonOwnerIsLoggedAndTheLockStaysWithItsHolder) {
  Mutex* m = nullptr;
  Mutex_Create(&m);
  Mutex_Lock(m);
  Output out;
  OnThread intruder([&] { Mutex_Unlock(m); });
  intruder.join();
  EXPECT_EQ(out.take(), kNotOwnerLine);
  Taker taker(m);
  Thread_Sleep(50);
  EXPECT_FALSE(taker.got.load());
  Mutex_Unlock(m);
  taker.thread.join();
  EXPECT_TRUE(taker.got.load());
  Mutex_Delete(m);
}

TEST(Mutex, SignalWhileNobodyWaitsIsSeenByTheNextWaitWhichResetsTheEvent) {
  Mutex* m = nullptr;
  Mutex_Create(&m);
  Mutex_Lock(m);
  Mutex_Signal(m);
  Mutex_Wait(m);  // returns at once: the event stayed set

  // The event is reset now: the next wait sleeps until somebody signals,
  // and the signaller can take the lock only because the wait released it.
  std::atomic<bool> signalled{false};
  OnThread waker([&] {
    Thread_Sleep(50);
    Mutex_Lock(m);
    signalled = true;
    Mutex_Signal(m);
    Mutex_Unlock(m);
  });
  Mutex_Wait(m);
  EXPECT_TRUE(signalled.load());
  Mutex_Unlock(m);
  waker.join();
  Mutex_Delete(m);
}

TEST(RecursiveMutex, NullSlotLogsAndCreatesNothing) {
  Output out;
  RecursiveMutex_Create(nullptr);
  EXPECT_EQ(out.take(), "ERROR   : RecursiveMutex_Create : Invalide pointer\n");

  RecursiveMutex* r = nullptr;
  RecursiveMutex_Create(&r);
  ASSERT_NE(r, nullptr);
  RecursiveMutex_Lock(r);
  RecursiveMutex_Lock(r);
  RecursiveMutex_Unlock(r);
  RecursiveMutex_Unlock(r);
  RecursiveMutex_Delete(r);
  RecursiveMutex_Delete(nullptr);
}

TEST(WaiterNotifier, NotifyBeforeWaitAndTwoNotifiesCountAsOne) {
  WaiterNotifier* w = nullptr;
  ASSERT_EQ(WaiterNotifier_Create(&w), 0u);
  WaiterNotifier_Notify(w);
  WaiterNotifier_Lock(w);
  WaiterNotifier_Notify(w);  // by the holder, as a send callback inside the send: must not block
  EXPECT_EQ(WaiterNotifier_Wait(w), 0u);  // at once
  EXPECT_EQ(w->state, WN_IDLE);

  // The second wait sleeps until the next notify.
  std::atomic<bool> notified{false};
  OnThread notifier([&] {
    Thread_Sleep(50);
    notified = true;
    WaiterNotifier_Notify(w);
  });
  EXPECT_EQ(WaiterNotifier_Wait(w), 0u);
  EXPECT_TRUE(notified.load());
  EXPECT_EQ(w->state, WN_IDLE);
  WaiterNotifier_Unlock(w);
  notifier.join();
  EXPECT_EQ(WaiterNotifier_Delete(w), 0u);
}

TEST(WaiterNotifier, WokenWaiterHoldsTheLockAgain) {
  WaiterNotifier* w = nullptr;
  WaiterNotifier_Create(&w);
  WaiterNotifier_Lock(w);
  OnThread notifier([&] { WaiterNotifier_Notify(w); });
  WaiterNotifier_Wait(w);
  Taker locker(w);
  Thread_Sleep(50);
  EXPECT_FALSE(locker.got.load());
  WaiterNotifier_Unlock(w);
  notifier.join();
  locker.thread.join();
  EXPECT_TRUE(locker.got.load());
  WaiterNotifier_Delete(w);
}

TEST(WaiterNotifier, SecondWaiterLogsTheStateAndDoesNotSleep) {
  WaiterNotifier* w = nullptr;
  WaiterNotifier_Create(&w);
  std::atomic<bool> woke{false};
  OnThread first([&] {
    WaiterNotifier_Lock(w);
    WaiterNotifier_Wait(w);
    woke = true;
    WaiterNotifier_Unlock(w);
  });
  // The first waiter publishes WN_WAITING and releases the lock in one step.
  for (;;) {
    WaiterNotifier_Lock(w);
    if (w->state == WN_WAITING) {
      break;
    }
    WaiterNotifier_Unlock(w);
    Thread_Sleep(1);
  }
  Output out;
  EXPECT_EQ(WaiterNotifier_Wait(w), 0u);
  EXPECT_EQ(out.take(), "ERROR   : WaiterNotifier_Wait invalid state :1\n");
  EXPECT_EQ(w->state, WN_IDLE);
  EXPECT_FALSE(woke.load());
  // The state word no longer records the first sleeper, so a notify would
  // not wake it: wake it by hand.
  w->state = WN_WAITING;
  WaiterNotifier_Unlock(w);
  WaiterNotifier_Notify(w);
  first.join();
  EXPECT_TRUE(woke.load());
  WaiterNotifier_Delete(w);
}

TEST(WaiterNotifier, DeleteLogsOnlyWhenSomebodyWaits) {
  WaiterNotifier* w = nullptr;
  WaiterNotifier_Create(&w);
  Output out;
  WaiterNotifier_Delete(w);
  EXPECT_EQ(out.take(), "");

  WaiterNotifier_Create(&w);
  w->state = WN_WAITING;  // as left by a sleeper its owner forgot to join
  Output out2;
  WaiterNotifier_Delete(w);
  EXPECT_EQ(out2.take(),
            "WARNING : WaiterNotifier_Delete : Join the thread that is in Wait state before deleting "
            "this WaiterNotifier. It might crash !\n\n");
}

TEST(WaiterNotifier, NullNotifierAnswersOne) {
  EXPECT_EQ(WaiterNotifier_Create(nullptr), 1u);
  EXPECT_EQ(WaiterNotifier_Lock(nullptr), 1u);
  EXPECT_EQ(WaiterNotifier_Unlock(nullptr), 1u);
  EXPECT_EQ(WaiterNotifier_Wait(nullptr), 1u);
  EXPECT_EQ(WaiterNotifier_Notify(nullptr), 1u);
  EXPECT_EQ(WaiterNotifier_Delete(nullptr), 1u);
}

TEST(Thread, JoinRightAfterCreateReturnsOnlyAfterTheFunction) {
  for (int i = 0; i < 20; ++i) {
    std::atomic<bool> done{false};
    Thread* t = nullptr;
    EXPECT_EQ(Thread_Create(&t, [](void* p) -> uint32_t {
      Thread_Sleep(5);
      *static_cast<std::atomic<bool>*>(p) = true;
      return 0;
    }, &done), 0);
    Thread_Join(t);
    EXPECT_TRUE(done.load());
    Thread_Delete(t);
  }
}

TEST(Thread, FunctionFindsItsRecordAndJoiningItselfReturnsAtOnce) {
  struct Ctx {
    Thread* self = nullptr;
    std::atomic<bool> current{false};
    std::atomic<bool> joined{false};
  } ctx;
  Thread_Create(&ctx.self, [](void* p) -> uint32_t {
    auto* c = static_cast<Ctx*>(p);
    c->current = Thread_IsCurrent(c->self);
    Thread_Join(c->self);
    c->joined = true;
    return 0;
  }, &ctx);
  Thread_Join(ctx.self);
  EXPECT_TRUE(ctx.joined.load());
  EXPECT_TRUE(ctx.current.load());
  EXPECT_FALSE(Thread_IsCurrent(ctx.self));
  Thread_Delete(ctx.self);
}

TEST(Thread, DeleteFromTheThreadItselfIsRefusedAndLogged) {
  struct Ctx {
    Thread* self = nullptr;
    std::atomic<bool> deleteReturned{false};
  } ctx;
  Output out;
  Thread_Create(&ctx.self, [](void* p) -> uint32_t {
    auto* c = static_cast<Ctx*>(p);
    Thread_Delete(c->self);  // would free the run mutex this thread holds
    c->deleteReturned = true;
    return 0;
  }, &ctx);
  for (int i = 0; i < 200 && !ctx.deleteReturned.load(); ++i) Thread_Sleep(10);
  ASSERT_TRUE(ctx.deleteReturned.load());
  Thread_Join(ctx.self);
  EXPECT_EQ(out.take(), "ERROR   : Thread_Delete called from the thread itself : refused\n");
  Thread_Delete(ctx.self);  // by its owner, after the join
}
