#include "tracking/SentFixes.h"

namespace pelk {

SentFixes& SentFixes::shared() {
  // Never destroyed: queued main-queue work may still send a fix at exit.
  static auto* instance = new SentFixes();
  return *instance;
}

bool SentFixes::claim(const platform::Location& fix) {
  const Key key{fix.coordinate.latitude, fix.coordinate.longitude, fix.horizontalAccuracy, fix.timestamp};
  platform::LockGuard lock(mutex_);
  if (last_ == key) return false;
  last_ = key;
  return true;
}

void SentFixes::resetForTesting() {
  platform::LockGuard lock(mutex_);
  last_.reset();
}

}  // namespace pelk
