#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Application.h"
#include "platform/LocationManager.h"
#include "platform/NotificationCenter.h"
#include "tracking/TrackingModeSupport.h"

namespace pelk {

// The passive mode: the low-power mode that lets the location service wake
// the app.  Significant changes, visits, one-shot requests and one exit
// region around the last sent position whose radius grows with speed; each
// exit yields a position and moves the region.  A background task is held
// from each start until the host says its time is up.  On entering the
// background while the passive mode is stored and tracking is on, the region
// and significant changes are armed again.
class PelkPassiveTracking : public trackingmode::GeofencedMode {
 public:
  static PelkPassiveTracking& shareInstance();

  void startTracking() override;
  // Queued on the main queue.  The background task is left to its expiry.
  void stopTracking() override;
  // The one exit region, around the position (replaces the previous one).
  void singleGoefence(const platform::Location& fix, double radius);
  void createGeofence(const platform::Location& fix, std::int64_t radius) override;
  void applicationDidEnterBackground();

  // An entry places the region again around the manager's last position;
  // nothing is sent.
  void didEnterRegion(platform::LocationManager& manager, const platform::CircularRegion& region) override;

  // The background task begun by the last start (invalid once it expired).
  platform::BackgroundTaskId currentBackgroundTask() const;

 protected:
  void permissionGranted(platform::LocationManager& manager, const platform::Location& last) override;
  // Asks for a new fix instead.
  void unusableCoordinate() override;

 private:
  PelkPassiveTracking();
  void construct();
  void beginBackgroundTask();

  // Guarded by mutex_.
  platform::BackgroundTaskId currentBGTask_ PELK_GUARDED_BY(mutex_) = platform::invalidBackgroundTask;
  platform::NotificationCenter::ObserverId backgroundObserver_ = 0;
};

}  // namespace pelk
