#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"

namespace pelk::test {

// Polls `condition` until it holds or `timeout` passes; in manual main-queue
// mode the main queue is drained between polls.  Answers the last result.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (platform::Dispatch::isManual()) platform::Dispatch::drainMain();
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Runs each of `workers` on a thread of its own and waits for all of them to
// end.  Threads that deadlock cannot be freed in-process (and a process
// exiting with kit locks held may hang in its exit handlers), so when they
// have not ended within `limit` the test program says what hung and ends at
// once, failing, instead of blocking until the suite's timeout.
inline void allFinishOrDie(const std::vector<std::function<void()>>& workers, const char* what,
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
  auto left = std::make_shared<std::atomic<int>>(static_cast<int>(workers.size()));
  std::vector<std::thread> threads;
  for (const auto& work : workers) {
    threads.emplace_back([work, left] {
      work();
      left->fetch_sub(1);
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (left->load() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "FAILED: %s: %d of %zu threads still running after %lld s (deadlock)\n", what, left->load(),
                   workers.size(), static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::_Exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (auto& t : threads) t.join();
}

}  // namespace pelk::test
