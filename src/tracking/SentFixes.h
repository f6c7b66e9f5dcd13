#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "platform/Location.h"
#include "platform/ThreadSafety.h"

namespace pelk {

// The fix the tracking engine handed to the location sink last.  One fix
// reaches the engine through several location managers at once (a mode's own
// and the one-shot service's, which may be waiting for a better fix in the
// mode's place), so more than one part of the engine may want to send it in
// turn; the first one claims it and the others leave it.  Only the last fix
// is kept: the same fix comes back at once or not at all (a recorded route
// played again brings the same fixes back, and those go in again).  The trip
// actions' fixes do not pass through here: they are trip records of their own.
//
// Its lock is a leaf: nothing is called while it is held.
class SentFixes {
 public:
  static SentFixes& shared();

  // True when the fix is not the one handed to the sink last; from now on it
  // is.
  bool claim(const platform::Location& fix);
  // Tests: forgets the last fix.
  void resetForTesting();

 private:
  // What makes a fix the same fix: where, how well and when it was taken.
  struct Key {
    double latitude;
    double longitude;
    double horizontalAccuracy;
    std::chrono::system_clock::time_point timestamp;
    bool operator==(const Key&) const = default;
  };

  // Lock order: a leaf (platform/LockOrder.h).
  platform::Mutex mutex_;
  std::optional<Key> last_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk
