#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/LocationManager.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadSafety.h"

namespace pelk {

// Interval tracking for the custom mode: its own location manager at best
// accuracy with background updates, at most one position per interval to the
// location sink, and a repeating timer of the same interval that restarts the
// updates so that a fresh fix arrives.  Entering the background restarts the
// timer; a location failure holds a background task and pauses the updates
// until the next tick.
//
// Owns at most one timer, one background observer and one background task at
// any time; stop() releases all three.
class PelkTimeBasedLocationManager : public platform::LocationManagerDelegate,
                                     public std::enable_shared_from_this<PelkTimeBasedLocationManager> {
 public:
  static PelkTimeBasedLocationManager& instance();

  // Starts (or starts again) with this interval in seconds; a held timer is
  // replaced.
  void start(std::int64_t frequencyToUpdate);
  // Runs at once on the main thread, otherwise queued on the main queue; a
  // start made meanwhile is not undone by the queued part.
  void stop();
  // A new timer from now with the last interval, when one was given.
  void restart();
  // The timer's tick: stop and start the updates again.
  void stopAndRequestAgain();
  void applicationEnterBackground();
  // Whether more than the interval (whole seconds) has passed since the last
  // position was sent.
  bool isItTime(platform::TimePoint now) const;
  // Sends the position, moving when its speed in whole km/h (the receiver's
  // own, else measured from the previous position sent) is above 0.
  void sendLocationToServer(const platform::Location& location, platform::TimePoint now);
  // Ends the held background task (if any), begins a new one, restarts the timer.
  void beginNewBackgroundTask();

  void didUpdateLocations(platform::LocationManager& manager, const std::vector<platform::Location>& fixes) override;
  void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;
  void didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) override;

  std::shared_ptr<platform::LocationManager> locationManager() const;
  std::optional<std::int64_t> updateInterval() const;
  bool hasTimer() const;
  std::optional<platform::BackgroundTaskId> backgroundTask() const;
  // Tests: no interval, no last position date, no previous position (stop()
  // first).
  void resetForTesting();

 private:
  PelkTimeBasedLocationManager() = default;
  void endBackgroundTask();

  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::LocationManager> locManager_ PELK_GUARDED_BY(mutex_);
  std::shared_ptr<platform::Timer> timer_ PELK_GUARDED_BY(mutex_);
  std::optional<platform::BackgroundTaskId> currentBgTaskId_ PELK_GUARDED_BY(mutex_);
  std::optional<platform::TimePoint> lastLocationDate_ PELK_GUARDED_BY(mutex_);
  // The position last handed to the sink: the next one's speed is measured
  // from it when the receiver reports none.
  std::optional<platform::Location> previousPosition_ PELK_GUARDED_BY(mutex_);
  std::optional<std::int64_t> updateInterval_ PELK_GUARDED_BY(mutex_);
  std::optional<platform::NotificationCenter::ObserverId> backgroundObserver_ PELK_GUARDED_BY(mutex_);
  // Bumped by every start: a stop queued before a start leaves that start alone.
  std::uint64_t generation_ PELK_GUARDED_BY(mutex_) = 0;
};

}  // namespace pelk
