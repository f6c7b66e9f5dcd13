#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "platform/ThreadSafety.h"

namespace pelk {

// Location ids: 12 bytes written as 24 lowercase hex characters, made of the
// time in seconds (4 bytes), a random field (5 bytes) and a running counter
// (3 bytes) that starts at a random value.
class DeravObjectId {
 public:
  static DeravObjectId& shared();

  std::string generate();

  std::int64_t counter() const;
  void setCounterForTesting(std::int64_t value);

 private:
  DeravObjectId();
  std::int64_t takeCounter();

  // Lock order: a leaf (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::int64_t counter_ PELK_GUARDED_BY(mutex_);
  std::mt19937_64 random_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk
