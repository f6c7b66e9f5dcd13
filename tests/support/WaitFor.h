#pragma once

#include <chrono>
#include <functional>
#include <thread>

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

}  // namespace pelk::test
