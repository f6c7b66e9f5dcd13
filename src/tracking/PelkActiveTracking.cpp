#include "tracking/PelkActiveTracking.h"

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
#include "tracking/TrackingHooks.h"

namespace pelk {
namespace {

constexpr std::int64_t kActiveImproveAccuracy = 50;
constexpr double kUnfilteredAccuracyLimit = 100.0;

const platform::Location* newest(const std::vector<platform::Location>& fixes) {
  const platform::Location* best = nullptr;
  for (const auto& fix : fixes) {
    if (!best || fix.timestamp > best->timestamp) best = &fix;
  }
  return best;
}

std::string decimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::int64_t toInt(double value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<std::int64_t>(value);
}

}  // namespace

PelkActiveTracking& PelkActiveTracking::shareInstance() {
  // Never destroyed: the location manager holds this delegate weakly and the
  // main queue may still run a callback or a queued stop at exit.
  static auto* instance = [] {
    installTrackingDeviceContextHooks();
    return new std::shared_ptr<PelkActiveTracking>(new PelkActiveTracking());
  }();
  return **instance;
}

void PelkActiveTracking::setDelegate() {
  std::shared_ptr<platform::LocationManager> m;
  {
    std::lock_guard lock(mutex_);
    if (!locationManager_) locationManager_ = platform::LocationManager::create();
    m = locationManager_;
  }
  if (!m->hasDelegate()) m->setDelegate(shared_from_this());
}

void PelkActiveTracking::startTracking() {
  setDelegate();
  auto m = locationManager();
  if (!m) return;
  m->requestAlwaysAuthorization();
  m->setDelegate(shared_from_this());
  m->setDesiredAccuracy(platform::DesiredAccuracy::hundredMeters);
  m->setDistanceFilter(25.0);
  m->setShowsBackgroundLocationIndicator(true);
  m->setAllowsBackgroundLocationUpdates(true);
  m->setPausesLocationUpdatesAutomatically(true);
  m->startMonitoringVisits();
  m->startUpdatingLocation();
  LoggerManager::sharedInstance().writeLocationToFile("Active Tracking ");
}

void PelkActiveTracking::stopTracking() {
  platform::Dispatch::main().async([this] {
    auto m = locationManager();
    if (!m) return;
    clearGeofence();
    m->stopUpdatingLocation();
    m->stopMonitoringVisits();
    m->stopMonitoringSignificantLocationChanges();
    m->clearDelegate();
  });
}

void PelkActiveTracking::updateLocation(const platform::Location& fix, const std::string& activity) {
  if (SaveUtilis::getTrackingOptions() != PelkTrackingModeLocal::active) {
    stopTracking();
    return;
  }
  if (!AppUtilis::checkCoordinate(fix)) return;
  const auto radius = LocationFilter::getPassiveRadius(fix);
  const auto speed = LocationUtils::speedCalculate(fix);
  createGeofence(fix, radius);
  LocationDataManager::sharedInstance().sendDataServer(fix, activity, false, toInt(speed), AppUtilis::getLocationId());
  updateLocationManager(radius);
  LocationUtils::saveLocation(fix);
}

void PelkActiveTracking::createGeofence(const platform::Location& fix, std::int64_t radius) {
  clearGeofence();
  auto m = locationManager();
  if (!m) return;
  platform::CircularRegion region;
  region.identifier = LocationUtils::geofenceIdentifier();
  region.center = fix.coordinate;
  region.radius = static_cast<double>(radius);
  m->startMonitoring(region);
}

void PelkActiveTracking::clearGeofence() {
  auto m = locationManager();
  if (!m) return;
  const std::string prefix = KGeofenceRegionIdentifier;
  for (const auto& region : m->monitoredRegions()) {
    if (region.identifier.rfind(prefix, 0) == 0) m->stopMonitoring(region.identifier);
  }
}

void PelkActiveTracking::updateLocationManager(std::int64_t radius) {
  double filter = 25.0;
  switch (radius) {
    case 100: filter = 25.0; break;
    case 200: filter = 50.0; break;
    case 300: filter = 75.0; break;
    case 400: filter = 100.0; break;
    case 500: filter = 125.0; break;
    case 700: filter = 175.0; break;
    case 1000: filter = 250.0; break;
    default: break;
  }
  if (auto m = locationManager()) m->setDistanceFilter(filter);
}

void PelkActiveTracking::didChangeAuthorization(platform::LocationManager& manager,
                                                platform::AuthorizationStatus status) {
  LoggerManager::sharedInstance().writeLocationToFile("Active location permission:" +
                                                      std::to_string(static_cast<int>(status)));
  if (platform::isAuthorized(status)) {
    SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
    if (auto last = manager.location(); last && last->hasFiniteCoordinate()) {
      platform::CircularRegion region;
      region.identifier = KGeofenceRegionIdentifier;
      region.center = last->coordinate;
      region.radius = static_cast<double>(KGeofenceRegionRadius);
      region.notifyOnExit = true;
      manager.startMonitoring(region);
    }
    return;
  }
  SharedUtil::setDefaultBoolean(false, kIsLocationTracking);
  PelkLocationGpsData::sharedInstance().gpsChange(ReachabilityCheck::isConnectedToNetwork());
}

void PelkActiveTracking::didExitRegion(platform::LocationManager& manager, const platform::CircularRegion&) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = firstTimeCalled_;
    firstTimeCalled_ = false;
  }
  // Without a last position there is nothing to record; tracking goes on.
  if (auto last = manager.location()) updateLocation(*last, first ? kStationary : kMoving);
}

void PelkActiveTracking::didUpdateLocations(platform::LocationManager& manager,
                                            const std::vector<platform::Location>& fixes) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = firstTimeCalled_;
    firstTimeCalled_ = false;
  }
  if (first) {
    if (auto last = manager.location()) updateLocation(*last, kStationary);
    return;
  }
  const auto* fix = newest(fixes);
  if (!fix) return;
  LoggerManager::sharedInstance().writeLocationToFile("Active location update:" + decimal(fix->horizontalAccuracy));
  // A negative or unknown accuracy is no usable position, with the accuracy
  // filter on or off (a NaN compares as within any limit).
  const double accuracy = fix->horizontalAccuracy;
  if (!std::isfinite(accuracy) || accuracy < 0) return;
  if (SharedUtil::getDefaultBoolean(kAccuracyFilter)) {
    if (LocationUtils::filterAndAddLocation(*fix)) {
      updateLocation(*fix, kMoving);
    } else {
      BaseCLManager::sharedInstance().updateCurrentLocationImproveAccuracy(kActiveImproveAccuracy);
      LoggerManager::sharedInstance().writeLocationToFile("location accuracy did not pass:" +
                                                          decimal(fix->horizontalAccuracy));
    }
    return;
  }
  if (accuracy <= kUnfilteredAccuracyLimit) updateLocation(*fix, kMoving);
}

void PelkActiveTracking::didVisit(platform::LocationManager& manager, const platform::Visit&) {
  auto last = manager.location();
  if (!last || !AppUtilis::checkCoordinate(*last)) return;
  LocationDataManager::sharedInstance().sendDataServer(*last, kStationary, false, 0, AppUtilis::getLocationId());
}

void PelkActiveTracking::didFailWithError(platform::LocationManager&, const platform::LocationError& error) {
  platform::Console::print(error.localizedDescription());
  LoggerManager::sharedInstance().writeLocationToFile("Active location failed:" + error.localizedDescription());
}

std::shared_ptr<platform::LocationManager> PelkActiveTracking::locationManager() const {
  std::lock_guard lock(mutex_);
  return locationManager_;
}

bool PelkActiveTracking::firstTimeCalled() const {
  std::lock_guard lock(mutex_);
  return firstTimeCalled_;
}

void PelkActiveTracking::resetFirstCallForTesting() {
  std::lock_guard lock(mutex_);
  firstTimeCalled_ = true;
}

}  // namespace pelk
