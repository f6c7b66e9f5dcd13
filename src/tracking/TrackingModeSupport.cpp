#include "tracking/TrackingModeSupport.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationUtils.h"
#include "network/Reachability.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "tracking/BaseCLManager.h"
#include "tracking/LocationCounters.h"
#include "tracking/LocationDataManager.h"
#include "tracking/SentFixes.h"

namespace pelk::trackingmode {
namespace {

// The accuracy asked of the one-shot fix that replaces a refused one.
constexpr std::int64_t kImproveAccuracy = 50;

void log(const std::string& text) { LoggerManager::sharedInstance().writeLocationToFile(text); }

}  // namespace

const platform::Location* newestFix(const std::vector<platform::Location>& fixes) {
  const platform::Location* best = nullptr;
  for (const auto& fix : fixes) {
    if (!best || fix.timestamp > best->timestamp) best = &fix;
  }
  return best;
}

std::string decimalText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::int64_t wholeSpeed(double kmh) {
  if (!std::isfinite(kmh)) return 0;
  return static_cast<std::int64_t>(kmh);
}

double ownSpeedKmh(const platform::Location& fix, const std::optional<platform::Location>& previous) {
  if (std::isfinite(fix.speed) && fix.speed >= 0) return fix.speed * 3.6;
  if (!previous || !previous->hasFiniteCoordinate() || !fix.hasFiniteCoordinate()) return 0;
  const double elapsed = std::chrono::duration<double>(fix.timestamp - previous->timestamp).count();
  if (!(elapsed > 0)) return 0;
  const double kmh = previous->distance(fix) / elapsed * 3.6;
  return std::isfinite(kmh) ? kmh : 0;
}

bool accuracyAccepted(const platform::Location& fix, double unfilteredLimit) {
  // A NaN compares as within any limit, so it is refused before the filter.
  const double accuracy = fix.horizontalAccuracy;
  if (!std::isfinite(accuracy) || accuracy < 0) return false;
  if (!SharedUtil::getDefaultBoolean(kAccuracyFilter)) return accuracy <= unfilteredLimit;
  return LocationUtils::filterAndAddLocation(fix);
}

bool passesAccuracyGate(const platform::Location& fix, double unfilteredLimit) {
  if (accuracyAccepted(fix, unfilteredLimit)) return true;
  // Only the filter asks for a better fix; without it a bad fix is dropped.
  const double accuracy = fix.horizontalAccuracy;
  if (!std::isfinite(accuracy) || accuracy < 0 || !SharedUtil::getDefaultBoolean(kAccuracyFilter)) return false;
  BaseCLManager::sharedInstance().updateCurrentLocationImproveAccuracy(kImproveAccuracy);
  log("location accuracy did not pass:" + decimalText(accuracy));
  return false;
}

void sendPosition(const platform::Location& fix, const std::string& activity, double speedKmh) {
  if (!SentFixes::shared().claim(fix)) return;
  LocationDataManager::sharedInstance().sendDataServer(
      {.fix = fix, .activity = activity, .speed = wholeSpeed(speedKmh), .locationId = AppUtilis::getLocationId()});
}

void sendVisit(platform::LocationManager& manager) {
  auto last = manager.location();
  if (!last || !AppUtilis::checkCoordinate(*last)) return;
  SentFixes::shared().claim(*last);
  LocationDataManager::sharedInstance().sendDataServer(
      {.fix = *last, .activity = kStationary, .locationId = AppUtilis::getLocationId()});
}

void clearKitGeofences(platform::LocationManager& manager) {
  const std::string prefix = KGeofenceRegionIdentifier;
  for (const auto& region : manager.monitoredRegions()) {
    if (region.identifier.rfind(prefix, 0) == 0) manager.stopMonitoring(region.identifier);
  }
}

platform::CircularRegion grantRegion(const platform::Coordinate& center) {
  platform::CircularRegion region;
  region.identifier = KGeofenceRegionIdentifier;
  region.center = center;
  region.radius = static_cast<double>(KGeofenceRegionRadius);
  region.notifyOnExit = true;
  return region;
}

bool applyAuthorizationChange(const std::string& mode, platform::AuthorizationStatus status) {
  log(mode + " location permission:" + std::to_string(static_cast<int>(status)));
  if (platform::isAuthorized(status)) {
    SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
    return true;
  }
  SharedUtil::setDefaultBoolean(false, kIsLocationTracking);
  PelkLocationGpsData::sharedInstance().gpsChange(ReachabilityCheck::isConnectedToNetwork());
  return false;
}

void reportLocationFailure(const std::string& mode, const platform::LocationError& error) {
  platform::Console::print(error.localizedDescription(), platform::Console::Level::Error);
  log(mode + " location failed:" + error.localizedDescription());
}

GeofencedMode::GeofencedMode(PelkTrackingModeLocal mode, std::string name, double unfilteredLimit)
    : name_(std::move(name)), mode_(mode), unfilteredLimit_(unfilteredLimit) {}

void GeofencedMode::updateLocation(const platform::Location& fix, const std::string& activity) {
  if (SaveUtilis::getTrackingOptions() != mode_) {
    stopTracking();
    return;
  }
  if (!AppUtilis::checkCoordinate(fix)) {
    unusableCoordinate();
    return;
  }
  {
    platform::LockGuard lock(mutex_);
    lastRoadFix_ = fix;
  }
  const auto radius = LocationFilter::getPassiveRadius(fix);
  const auto speed = LocationUtils::speedCalculate(fix);
  createGeofence(fix, radius);
  sendPosition(fix, activity, speed);
  updateLocationManager(radius);
  LocationUtils::saveLocation(fix);
}

void GeofencedMode::updateLocationManager(std::int64_t) {}

void GeofencedMode::unusableCoordinate() {}

void GeofencedMode::log(const std::string& text) const { LoggerManager::sharedInstance().writeLocationToFile(text); }

void GeofencedMode::setDelegate() {
  std::shared_ptr<platform::LocationManager> m;
  {
    platform::LockGuard lock(mutex_);
    if (!locationManager_) locationManager_ = platform::LocationManager::create();
    m = locationManager_;
  }
  if (!m->hasDelegate()) m->setDelegate(shared_from_this());
}

void GeofencedMode::startContinuousUpdates(double distanceFilter, bool showsBackgroundIndicator) {
  PELK_ASSERT_ON_MAIN();
  noteStart();
  setDelegate();
  auto m = locationManager();
  m->requestAlwaysAuthorization();
  m->setDelegate(shared_from_this());
  m->setDesiredAccuracy(platform::DesiredAccuracy::hundredMeters);
  m->setDistanceFilter(distanceFilter);
  if (showsBackgroundIndicator) m->setShowsBackgroundLocationIndicator(true);
  m->setAllowsBackgroundLocationUpdates(true);
  m->setPausesLocationUpdatesAutomatically(true);
  m->startMonitoringVisits();
  m->startUpdatingLocation();
  log(name_ + " Tracking ");
}

void GeofencedMode::clearGeofence() {
  if (auto m = locationManager()) clearKitGeofences(*m);
}

void GeofencedMode::queueStop(bool dropManager, std::function<void(platform::LocationManager&)> first) {
  platform::Dispatch::main().async([this, dropManager, first = std::move(first), ticket = stopTicket_.take()] {
    auto m = locationManager();
    if (!m || !stopTicket_.stillDue(ticket)) return;
    if (first) first(*m);
    clearKitGeofences(*m);
    m->stopUpdatingLocation();
    m->stopMonitoringVisits();
    m->stopMonitoringSignificantLocationChanges();
    m->clearDelegate();
    if (!dropManager) return;
    platform::LockGuard lock(mutex_);
    if (locationManager_ == m) locationManager_.reset();
  });
}

bool GeofencedMode::takeFirstCall() {
  platform::LockGuard lock(mutex_);
  const bool first = firstTimeCalled_;
  firstTimeCalled_ = false;
  return first;
}

void GeofencedMode::didUpdateLocations(platform::LocationManager& manager,
                                       const std::vector<platform::Location>& fixes) {
  PELK_ASSERT_ON_MAIN();
  if (takeFirstCall()) {
    // Without a last position there is nothing to record; tracking goes on.
    if (auto last = manager.location()) updateLocation(*last, kStationary);
    return;
  }
  const auto* fix = newestFix(fixes);
  if (!fix) return;
  log(name_ + " location update:" + decimalText(fix->horizontalAccuracy));
  if (passesAccuracyGate(*fix, unfilteredLimit_)) updateLocation(*fix, kMoving);
}

void GeofencedMode::didExitRegion(platform::LocationManager& manager, const platform::CircularRegion&) {
  PELK_ASSERT_ON_MAIN();
  const bool first = takeFirstCall();
  auto last = manager.location();
  if (!last) return;
  if (SaveUtilis::getTrackingOptions() != mode_) {
    stopTracking();
    return;
  }
  {
    platform::LockGuard lock(mutex_);
    if (lastRoadFix_ == *last) return;
  }
  if (first) {
    updateLocation(*last, kStationary);
    return;
  }
  if (accuracyAccepted(*last, unfilteredLimit_)) updateLocation(*last, kMoving);
}

void GeofencedMode::didVisit(platform::LocationManager& manager, const platform::Visit&) { sendVisit(manager); }

void GeofencedMode::didFailWithError(platform::LocationManager&, const platform::LocationError& error) {
  PELK_ASSERT_ON_MAIN();
  reportLocationFailure(name_, error);
}

void GeofencedMode::didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) {
  PELK_ASSERT_ON_MAIN();
  if (!applyAuthorizationChange(name_, status)) return;
  if (auto last = manager.location()) permissionGranted(manager, *last);
}

void GeofencedMode::permissionGranted(platform::LocationManager& manager, const platform::Location& last) {
  if (AppUtilis::checkCoordinate(last)) manager.startMonitoring(grantRegion(last.coordinate));
}

std::shared_ptr<platform::LocationManager> GeofencedMode::locationManager() const {
  platform::LockGuard lock(mutex_);
  return locationManager_;
}

bool GeofencedMode::firstTimeCalled() const {
  platform::LockGuard lock(mutex_);
  return firstTimeCalled_;
}

void GeofencedMode::resetFirstCallForTesting() {
  platform::LockGuard lock(mutex_);
  firstTimeCalled_ = true;
}

}  // namespace pelk::trackingmode
