#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Location.h"

namespace pelk::platform {

// What the app is allowed to do with the location service.  The raw values
// are stable: they are stored in settings.
enum class AuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorizedAlways = 3,
  authorizedWhenInUse = 4,
};

// True for authorizedAlways and authorizedWhenInUse.
bool isAuthorized(AuthorizationStatus status);
// "notDetermined", "restricted", "denied", "authorizedAlways",
// "authorizedWhenInUse".
const char* describe(AuthorizationStatus status);

// The kind of movement the app expects; a hint kept for the host.  Raw values
// are stable: they are stored in settings.
enum class ActivityType : int {
  other = 1,
  automotiveNavigation = 2,
  fitness = 3,
  otherNavigation = 4,
  airborne = 5,
};

// Desired accuracy levels in metres; the two best levels are negative markers.
struct DesiredAccuracy {
  static constexpr double bestForNavigation = -2.0;
  static constexpr double best = -1.0;
  static constexpr double nearestTenMeters = 10.0;
  static constexpr double hundredMeters = 100.0;
  static constexpr double kilometer = 1000.0;
  static constexpr double threeKilometers = 3000.0;
};

// A distance filter of this value (or any value <= 0) lets every fix through.
inline constexpr double distanceFilterNone = -1.0;

// Significant-change monitoring reports a fix once the device moved this far
// from the last one it reported.
inline constexpr double significantChangeDistance = 500.0;

// Why a location request failed.  Raw values are stable.
enum class LocationErrorCode : int {
  locationUnknown = 0,     // no fix could be had (for now); the service keeps trying
  denied = 1,              // the app is not authorized or location services are off
  serviceUnavailable = 2,  // the location service itself cannot be reached
  regionMonitoringFailure = 4,
};

struct LocationError {
  LocationErrorCode code = LocationErrorCode::locationUnknown;
  std::string message;

  const std::string& localizedDescription() const { return message; }
  bool operator==(const LocationError&) const = default;
};

// A place where the device stayed for a while.  `departureDate` is
// TimePoint::max() while the device is still there.
struct Visit {
  Coordinate coordinate;
  double horizontalAccuracy = -1.0;
  TimePoint arrivalDate{};
  TimePoint departureDate = TimePoint::max();

  bool operator==(const Visit&) const = default;
};

// A circle watched for entries and exits.  Regions are app-wide: every
// manager sees the same set, keyed by identifier.
struct CircularRegion {
  std::string identifier;
  Coordinate center;
  double radius = 0.0;  // metres
  bool notifyOnEntry = true;
  bool notifyOnExit = true;

  bool contains(const Coordinate& point) const;
  bool operator==(const CircularRegion&) const = default;
};

class LocationManager;

// Receives a manager's events, always on the main queue.  Every callback has
// an empty default.
class LocationManagerDelegate {
 public:
  virtual ~LocationManagerDelegate() = default;
  // Sent to every manager that has a delegate, only when the status actually
  // changes.
  virtual void didChangeAuthorization(LocationManager&, AuthorizationStatus) {}
  // Fixes in time order, newest last.
  virtual void didUpdateLocations(LocationManager&, const std::vector<Location>&) {}
  virtual void didFailWithError(LocationManager&, const LocationError&) {}
  virtual void didVisit(LocationManager&, const Visit&) {}
  // Region crossings go only to the manager that placed the region, and only
  // while that placement is still monitored when the crossing is delivered:
  // a crossing whose region was replaced or removed meanwhile (for instance
  // by a delegate handling the fix that caused it) is dropped.
  virtual void didEnterRegion(LocationManager&, const CircularRegion&) {}
  virtual void didExitRegion(LocationManager&, const CircularRegion&) {}
  virtual void monitoringDidFail(LocationManager&, const CircularRegion&, const LocationError&) {}
};

// One client of the location service.  Each tracking component owns its own
// manager; what they share (authorization, the last known position, the set
// of monitored regions) lives in LocationServices.  Every member may be
// called from any thread; callbacks are delivered on the main queue, to the
// delegate the manager holds when the callback runs.
//
// On Linux a host in the background keeps running, so the background flags are
// kept as settings and do not suspend deliveries; automatic pausing is not
// done.
class LocationManager : public std::enable_shared_from_this<LocationManager> {
 public:
  static std::shared_ptr<LocationManager> create();
  ~LocationManager();
  LocationManager(const LocationManager&) = delete;
  LocationManager& operator=(const LocationManager&) = delete;

  // The delegate is held weakly; a null pointer clears it.
  void setDelegate(const std::shared_ptr<LocationManagerDelegate>& delegate);
  void clearDelegate() { setDelegate(nullptr); }
  std::shared_ptr<LocationManagerDelegate> delegate() const;
  bool hasDelegate() const { return delegate() != nullptr; }

  void requestWhenInUseAuthorization();
  void requestAlwaysAuthorization();
  AuthorizationStatus authorizationStatus() const;

  double desiredAccuracy() const;  // default DesiredAccuracy::best
  void setDesiredAccuracy(double metres);
  double distanceFilter() const;  // default distanceFilterNone
  void setDistanceFilter(double metres);
  ActivityType activityType() const;  // default other
  void setActivityType(ActivityType type);
  bool allowsBackgroundLocationUpdates() const;  // default false
  void setAllowsBackgroundLocationUpdates(bool on);
  bool pausesLocationUpdatesAutomatically() const;  // default true
  void setPausesLocationUpdatesAutomatically(bool on);
  bool showsBackgroundLocationIndicator() const;  // default false
  void setShowsBackgroundLocationIndicator(bool on);

  // Continuous updates, thinned by the distance filter.  Without
  // authorization (denied, restricted, services off) the start fails with
  // `denied`; while undetermined it waits for the answer.
  void startUpdatingLocation();
  void stopUpdatingLocation();
  bool isUpdatingLocation() const;

  // One fix, then the request ends.  A failure or the one-shot time-out
  // (LocationServices::setOneShotTimeout) ends it with didFailWithError.
  void requestLocation();
  bool isRequestingLocation() const;

  void startMonitoringVisits();
  void stopMonitoringVisits();
  bool isMonitoringVisits() const;

  // A fix each time the device moved significantChangeDistance from the last
  // one reported.
  void startMonitoringSignificantLocationChanges();
  void stopMonitoringSignificantLocationChanges();
  bool isMonitoringSignificantLocationChanges() const;

  // Adds the region to the app-wide set (replacing one of the same
  // identifier) with this manager as the receiver of its crossings.  A region
  // with an invalid centre or radius is refused through monitoringDidFail.
  void startMonitoring(const CircularRegion& region);
  // Removes the region of that identifier, whoever placed it.
  void stopMonitoring(const CircularRegion& region);
  void stopMonitoring(const std::string& identifier);
  // The app-wide set, in the order the regions were placed.
  std::vector<CircularRegion> monitoredRegions() const;

  // The last known position, shared by every manager; nothing while the app
  // is not authorized or no fix has been had.
  std::optional<Location> location() const;

 private:
  friend class LocationEngine;
  LocationManager();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelk::platform
