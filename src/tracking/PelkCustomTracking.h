#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pelk/PelkTrackingCustomMethods.h"
#include "platform/LocationManager.h"
#include "platform/ThreadSafety.h"

namespace pelk {

// Tracking with the app's own option set: applied to this mode's location
// manager (continuous updates), or, when the set carries an update interval,
// handed to the time-based tracker (one position per interval).  Each start
// stops the other kind first and a stop tears down both, so switching kinds
// leaves nothing running behind.  The option set is stored so that restarts of
// tracking run with it.
class PelkCustomTracking : public platform::LocationManagerDelegate,
                           public std::enable_shared_from_this<PelkCustomTracking> {
 public:
  // The identifier of this mode's region; the fixed radius without a dynamic one.
  static constexpr const char* kRegionIdentifier = "geofenceRadius";
  static constexpr std::int64_t kFixedRegionRadius = 100;

  static PelkCustomTracking& sharedInstance();

  void startTracking(const PelkTrackingCustomMethods& options);
  // Synchronous on the calling thread (the main thread as a rule).
  void stopTracking();

  void updateDistanceFilterSetting(const PelkTrackingCustomMethods& options);
  void updateVisitSettings(const PelkTrackingCustomMethods& options);
  void updateSignificantSettings(const PelkTrackingCustomMethods& options);
  // The hand-off of one position to the sink, with the receiver's own speed
  // or else the speed from this mode's previous position.
  void updateLocation(const platform::Location& fix, const std::string& activity);
  void updateRegionMoitoring(const platform::Location& fix);
  void createGeofence(const platform::Location& fix, std::int64_t radius);

  // The stored option set: each present option under its key, then the
  // marker.  An absent option keeps what an earlier save stored.
  static void saveCustomOptions(const PelkTrackingCustomMethods& options);
  // A new set from the store; every option absent when none was ever saved.
  static PelkTrackingCustomMethods getCustomOptions();
  static void setDescireAccuracy(LocationAccuracy accuracy);
  static LocationAccuracy getDescireAccuracy();
  static double getLocationDesiredAccuracy(LocationAccuracy option);
  static void setActivityType(LocationActivityType type);
  static LocationActivityType getActivityType();
  static platform::ActivityType platformActivityType(LocationActivityType type);

  void didUpdateLocations(platform::LocationManager& manager, const std::vector<platform::Location>& fixes) override;
  void didVisit(platform::LocationManager& manager, const platform::Visit& visit) override;
  void didExitRegion(platform::LocationManager& manager, const platform::CircularRegion& region) override;
  void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;
  void didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) override;

  std::shared_ptr<platform::LocationManager> locationManager() const;
  std::optional<PelkTrackingCustomMethods> option() const;
  bool firstTimeCalled() const;
  // Tests: a fresh first-call flag, no option set and no previous position
  // (stopTracking() first).
  void resetForTesting();

 private:
  PelkCustomTracking() = default;
  std::shared_ptr<platform::LocationManager> setDelegate();
  // Removes the kit's regions only; regions the host app placed stay.
  void clearRegions();
  void stopContinuous();
  bool takeFirstCall();

  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::LocationManager> manager_ PELK_GUARDED_BY(mutex_);
  std::optional<PelkTrackingCustomMethods> option_ PELK_GUARDED_BY(mutex_);
  bool firstTimeCalled_ PELK_GUARDED_BY(mutex_) = true;
  // The last position handed on by updateLocation: the speed of the next is
  // measured from it, and a region exit does not send it again.
  std::optional<platform::Location> lastRoadFix_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk
