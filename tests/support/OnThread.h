// The tests' one thread runner: a body on a thread of the OS services
// (Thread.h), so that the deterministic backend schedules it as it does the
// code under test. Apart from TestSupport.h, which includes it, so that the
// benchmarks can use it without GoogleTest.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "Thread.h"

namespace testsupport {

// Starts `body` at once; join() waits for it and frees the thread, and the
// destructor joins a thread not joined yet.
class OnThread {
 public:
  explicit OnThread(std::function<void()> body) : body_(std::move(body)) {
    Thread_Create(&thread_, [](void* self) -> uint32_t {
      static_cast<OnThread*>(self)->body_();
      return 0;
    }, this);
  }
  ~OnThread() { join(); }
  OnThread(const OnThread&) = delete;
  OnThread& operator=(const OnThread&) = delete;

  void join() {
    if (thread_ == nullptr) return;
    Thread_Join(thread_);
    Thread_Delete(thread_);
    thread_ = nullptr;
  }

 private:
  std::function<void()> body_;
  Thread* thread_ = nullptr;
};

}  // namespace testsupport
