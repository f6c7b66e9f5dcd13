#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pelk/PelkEnums.h"
#include "platform/LocationManager.h"
#include "platform/ThreadSafety.h"

namespace pelk::trackingmode {

// What the geofenced tracking modes (active, balanced, passive) share: how a
// batch of fixes is read, the accuracy gate, the sink call, visits,
// authorization changes and failures.

// The identifier of the region a mode keeps around its latest position when
// that region is not one of the kit's prefixed geofences.
inline constexpr const char* kModeRegionIdentifier = "geofenceRadius";

// The newest fix of a batch: the greatest time stamp, the first among equal
// ones; null for an empty batch.
const platform::Location* newestFix(const std::vector<platform::Location>& fixes);

// A number as it goes into the log ("%.1f").
std::string decimalText(double value);

// A speed in whole km/h; 0 when it is not finite.
std::int64_t wholeSpeed(double kmh);

// The speed of a fix in km/h for the modes that keep no shared last position
// (custom and time-based): the receiver's own when it reports one (finite and
// not negative), else measured from `previous`, the mode's own previous
// position (0 without one, and for a fix not later than it).
double ownSpeedKmh(const platform::Location& fix, const std::optional<platform::Location>& previous);

// The accuracy gate of the modes that follow the "AccuracyFilterOn" switch.
// A fix without a usable accuracy (NaN, infinite, negative) never passes.
// With the switch on the position-history filter decides; a refused fix asks
// the one-shot service for a fix of at most 50 m (it goes to the sink as
// moving) and logs the refusal.  With the switch off a fix passes when its
// accuracy is at most `unfilteredLimit`.
bool passesAccuracyGate(const platform::Location& fix, double unfilteredLimit);
// The same judgement without asking for a better fix or logging.
bool accuracyAccepted(const platform::Location& fix, double unfilteredLimit);

// Hands one tracked position to the location sink: not an app-requested
// update, the speed in whole km/h, a new location id.  The fix the engine
// handed to the sink last (the one-shot service may have sent it in this
// mode's place) does not go in again (SentFixes).
void sendPosition(const platform::Location& fix, const std::string& activity, double speedKmh);

// A visit: the manager's last position, when it is a usable one, goes to the
// sink as stationary with speed 0.  The visit's own place is not used.  It is
// sent even when that position just went in as a tracked one (a visit is an
// event of its own), and counts as the last one sent.
void sendVisit(platform::LocationManager& manager);

// Removes every monitored region whose identifier begins with the kit's
// geofence prefix; other regions stay.
void clearKitGeofences(platform::LocationManager& manager);

// The fixed exit region placed around the last position when permission is
// granted (the kit's geofence identifier, 100 m).
platform::CircularRegion grantRegion(const platform::Coordinate& center);

// Logs "<mode> location permission:" and the status, then sets the tracking
// switch: on for a grant (answers true); off for anything else, and the GPS
// status record is reported or kept for later.
bool applyAuthorizationChange(const std::string& mode, platform::AuthorizationStatus status);

// A location failure only prints and logs ("<mode> location failed:").
void reportLocationFailure(const std::string& mode, const platform::LocationError& error);

// A stop runs later on the main queue; a start that comes after the stop was
// asked for and before it runs wins, so that start, stop, start leaves the
// mode running.
class StopTicket {
 public:
  void started() { starts_.fetch_add(1); }
  std::uint64_t take() const { return starts_.load(); }
  bool stillDue(std::uint64_t ticket) const { return starts_.load() == ticket; }

 private:
  std::atomic<std::uint64_t> starts_{0};
};

// What the three geofenced modes share: their own location manager, the
// first-call flag, the queued stop and the callbacks that differ only in the
// mode's name.  Each mode adds its start, its per-position road and its
// reaction to a permission grant.
class GeofencedMode : public platform::LocationManagerDelegate, public std::enable_shared_from_this<GeofencedMode> {
 public:
  // Makes the mode's manager when there is none and becomes its delegate
  // when it has none.
  void setDelegate();
  virtual void startTracking() = 0;
  // Queued on the main queue.
  virtual void stopTracking() = 0;
  // The road of one position: when another mode is stored the mode stops and
  // nothing is sent; a position without a usable coordinate is not sent
  // (unusableCoordinate runs); otherwise the dynamic radius and the speed are
  // taken, the mode's region placed, the position sent, the distance filter
  // follows the radius and the position becomes the last saved one.
  void updateLocation(const platform::Location& fix, const std::string& activity);
  // The mode's region around an accepted position.
  virtual void createGeofence(const platform::Location& fix, std::int64_t radius) = 0;
  // Settings that follow the radius (default: none).
  virtual void updateLocationManager(std::int64_t radius);
  // Removes the kit's prefixed geofences (nothing without a manager).
  void clearGeofence();

  // The first update after construction takes the manager's last position
  // unfiltered as stationary; later ones pass the gate as moving.
  void didUpdateLocations(platform::LocationManager& manager, const std::vector<platform::Location>& fixes) override;
  // The manager's last position, stationary the first time, else moving.
  // Nothing when that position already went through this mode's road (the
  // update that placed the region sent it), and, after the first time,
  // nothing when the accuracy gate would refuse it: an exit caused by a fix
  // the gate refused does not let that fix in.
  void didExitRegion(platform::LocationManager& manager, const platform::CircularRegion& region) override;
  void didVisit(platform::LocationManager& manager, const platform::Visit& visit) override;
  void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;
  // Sets the tracking switch; on a grant, with a last position, calls
  // permissionGranted.
  void didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) override;

  std::shared_ptr<platform::LocationManager> locationManager() const;
  bool firstTimeCalled() const;
  // Tests: a fresh first-call flag.
  void resetFirstCallForTesting();

 protected:
  // `mode` is the stored mode this engine runs; `name` begins its log lines;
  // while the accuracy filter is off a fix passes when its accuracy is at
  // most `unfilteredLimit`.
  GeofencedMode(PelkTrackingModeLocal mode, std::string name, double unfilteredLimit);
  // A position without a usable coordinate (default: nothing).
  virtual void unusableCoordinate();
  // Default: the fixed exit region around a usable last position.
  virtual void permissionGranted(platform::LocationManager& manager, const platform::Location& last);
  // The start of the continuous modes: always authorization, hundred-metre
  // accuracy, the given distance filter, background updates that may pause,
  // the background indicator when asked for, visits and standard updates.
  void startContinuousUpdates(double distanceFilter, bool showsBackgroundIndicator);
  // Marks a start: a stop asked for before it no longer runs.
  void noteStart() { stopTicket_.started(); }
  // Queues the stop on the main queue: `first` (when given), the kit's
  // geofences, updates, visits and significant changes stopped, the delegate
  // cleared, and with `dropManager` the manager released (the next start
  // makes a new one).  Nothing happens without a manager or after a start.
  void queueStop(bool dropManager, std::function<void(platform::LocationManager&)> first = nullptr);
  void log(const std::string& text) const;

  const std::string name_;
  // Guards the manager, the flag and whatever the mode adds.
  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable platform::Mutex mutex_;

 private:
  bool takeFirstCall();

  const PelkTrackingModeLocal mode_;
  const double unfilteredLimit_;
  std::shared_ptr<platform::LocationManager> locationManager_ PELK_GUARDED_BY(mutex_);
  bool firstTimeCalled_ PELK_GUARDED_BY(mutex_) = true;
  // The last position that went through updateLocation's road.
  std::optional<platform::Location> lastRoadFix_ PELK_GUARDED_BY(mutex_);
  StopTicket stopTicket_;
};

// Keeps a mode for the whole process (the location manager holds its
// delegate weakly and the main queue may still run a callback or a queued
// stop at exit).  The caller keeps the returned holder in a static, so it
// stays reachable.
template <class Mode>
std::shared_ptr<Mode>* keepForProcess(Mode* mode) {
  return new std::shared_ptr<Mode>(mode);
}

}  // namespace pelk::trackingmode
