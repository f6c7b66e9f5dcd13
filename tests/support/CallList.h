#pragma once

// The calls a test's stand-ins received (hooks, modes, handlers), as text, in
// the order they came, from whichever thread.

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace pelk::test {

class CallList {
 public:
  void add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t count(const std::string& call) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call));
  }
  void clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace pelk::test
