// Small programs over the OS services with known concurrency faults, shared
// by the self-tests of the scheduler and the explorer and by the benchmark.
#pragma once

#include <cstdint>

#include "Dst.h"
#include "Mutex.h"
#include "OnThread.h"
#include "Sync.h"
#include "Thread.h"

namespace dsttest {

using testsupport::OnThread;

// A lost wake-up of depth 2: the consumer checks the flag, lets go of the
// lock, and only then waits, without checking again. It hangs when the whole
// of the producer falls between its check and its wait.
inline void LostWakeUp() {
  osal_sync::Mutex m;
  osal_sync::CondVar cv;
  bool ready = false;
  auto consumer = [&] {
    {
      std::lock_guard<osal_sync::Mutex> g(m);
      if (ready) return;
    }
    std::unique_lock<osal_sync::Mutex> l(m);
    cv.wait(l);  // the fault: no second look at `ready`
  };
  auto producer = [&] {
    std::lock_guard<osal_sync::Mutex> g(m);
    ready = true;
    cv.notify_one();
  };
  osal_sync::Thread c(consumer);
  osal_sync::Thread p(producer);
  c.join();
  p.join();
}

// The same fault among 60 points of unrelated work of each thread: the
// window is one step wide among hundreds.
inline void LostWakeUpInNoise() {
  osal_sync::Mutex m;
  osal_sync::Mutex other;
  osal_sync::CondVar cv;
  bool ready = false;
  auto noise = [&] {
    for (int i = 0; i < 30; ++i) {
      std::lock_guard<osal_sync::Mutex> g(other);
    }
  };
  auto consumer = [&] {
    noise();
    {
      std::lock_guard<osal_sync::Mutex> g(m);
      if (ready) return;
    }
    std::unique_lock<osal_sync::Mutex> l(m);
    cv.wait(l);
  };
  auto producer = [&] {
    noise();
    std::lock_guard<osal_sync::Mutex> g(m);
    ready = true;
    cv.notify_one();
  };
  osal_sync::Thread c(consumer);
  osal_sync::Thread p(producer);
  noise();
  c.join();
  p.join();
}

// Two threads take the same two locks in opposite orders.
inline void Abba() {
  Mutex* a = nullptr;
  Mutex* b = nullptr;
  Mutex_Create(&a);
  Mutex_Create(&b);
  auto ab = [&] {
    Mutex_Lock(a);
    Mutex_Lock(b);
    Mutex_Unlock(b);
    Mutex_Unlock(a);
  };
  auto ba = [&] {
    Mutex_Lock(b);
    Mutex_Lock(a);
    Mutex_Unlock(a);
    Mutex_Unlock(b);
  };
  OnThread t1(ab);
  OnThread t2(ba);
  t1.join();
  t2.join();
  Mutex_Delete(a);
  Mutex_Delete(b);
}

// A correct hand-over between three threads, about `rounds` * 12 points.
inline void Handover(int rounds) {
  osal_sync::Mutex m;
  osal_sync::CondVar cv;
  int turn = 0;
  int done = 0;
  auto worker = [&](int me) {
    for (int i = 0; i < rounds; ++i) {
      std::unique_lock<osal_sync::Mutex> l(m);
      cv.wait(l, [&] { return turn % 3 == me; });
      ++turn;
      cv.notify_all();
    }
    std::lock_guard<osal_sync::Mutex> g(m);
    ++done;
  };
  osal_sync::Thread t1(worker, 1);
  osal_sync::Thread t2(worker, 2);
  worker(0);
  t1.join();
  t2.join();
  if (done != 3 || turn != 3 * rounds) dst::Fail("hand-over lost a turn");
}

}  // namespace dsttest
