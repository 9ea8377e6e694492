// A program whose first poll() is made by a thread of its own, and whose
// main thread polls next with nothing between the two that the thread
// sanitizer would take as synchronisation (a relaxed flag). Run with
// libmeisim.so preloaded: the stand-in's poll must have found the C
// library's in a way that every thread sees, also when its first call
// comes from inside the sanitizer's own poll. Exit code 0; under the thread
// sanitizer, its report and 66 otherwise.
#include <poll.h>

#include <atomic>
#include <thread>

int main() {
  std::atomic<bool> polled{false};
  std::thread first([&] {
    poll(nullptr, 0, 0);
    polled.store(true, std::memory_order_relaxed);
  });
  while (!polled.load(std::memory_order_relaxed)) std::this_thread::yield();
  poll(nullptr, 0, 0);
  first.join();
  return 0;
}
