#include "tracking/PelkCustomTracking.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "pelk/PelkEnums.h"
#include "messaging/LocationUtils.h"
#include "platform/Console.h"
#include "platform/SettingValue.h"
#include "tracking/BaseCLManager.h"
#include "tracking/CustomAccuracyGate.h"
#include "tracking/LocationDataManager.h"
#include "tracking/PelkTimeBasedLocationManager.h"
#include "tracking/SentFixes.h"
#include "tracking/TrackingModeSupport.h"
#include "platform/Dispatch.h"

namespace pelk {
namespace {

using platform::SettingValue;

constexpr std::int64_t kCustomImproveAccuracy = 50;

constexpr const char* kCustomAccuracy = "customaccuracy";
constexpr const char* kCustomActivityType = "customactivityType";
constexpr const char* kCustomUseVisits = "customuseVisits";
constexpr const char* kCustomShowBlueBar = "customshowBlueBar";
constexpr const char* kCustomDistanceFilter = "customdistanceFilter";
constexpr const char* kCustomUseSignificant = "customuseSignificant";
constexpr const char* kCustomUseRegionMonitoring = "customuseRegionMonitoring";
constexpr const char* kCustomUseDynamicGeofencRadius = "customuseDynamicGeofencRadius";
constexpr const char* kCustomGeofenceRadius = "customgeofenceRadius";
constexpr const char* kCustomAllowBackground = "customallowBackgroundLocationUpdates";
constexpr const char* kCustomPauses = "custompausesLocationUpdatesAutomatically";
constexpr const char* kCustomUseStandard = "customuseStandardLocationServices";
constexpr const char* kCustomUpdateInterval = "customUpdateInterval";
constexpr const char* kCustomOptionSet = "customoptionset";

std::string decimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::int64_t toInt(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9.0e18) return 0;
  return static_cast<std::int64_t>(value);
}

const platform::Location* newest(const std::vector<platform::Location>& fixes) {
  const platform::Location* best = nullptr;
  for (const auto& fix : fixes) {
    if (!best || fix.timestamp > best->timestamp) best = &fix;
  }
  return best;
}

// Interval tracking only for a positive interval: a negative one has no
// meaning as a period and is read like 0, continuous updates.
bool usesInterval(const PelkTrackingCustomMethods& o) { return o.updateInterval && *o.updateInterval > 0; }

bool on(const std::optional<bool>& option) { return option.value_or(false); }

template <class T>
void store(const std::optional<T>& value, const char* key) {
  if (value) SharedUtil::userDefaultValue()->set(key, SettingValue(*value));
}

std::optional<bool> readBool(const char* key) {
  auto v = SharedUtil::userDefaultValue()->value(key);
  if (!v || v->kind() != SettingValue::Kind::Bool) return std::nullopt;
  return *v->get<bool>();
}

std::optional<double> readDouble(const char* key) {
  auto v = SharedUtil::userDefaultValue()->value(key);
  if (!v || (v->kind() != SettingValue::Kind::Double && v->kind() != SettingValue::Kind::Integer)) return std::nullopt;
  const auto d = v->doubleValue();
  if (!d || !std::isfinite(*d)) return std::nullopt;
  return d;
}

std::optional<std::int64_t> readInteger(const char* key) {
  auto v = SharedUtil::userDefaultValue()->value(key);
  if (!v || v->kind() != SettingValue::Kind::Integer) return std::nullopt;
  return *v->get<std::int64_t>();
}

}  // namespace

PelkCustomTracking& PelkCustomTracking::sharedInstance() {
  // Never destroyed: the location manager holds this delegate weakly and the
  // main queue may still run a callback or a stop at exit.
  static auto* instance = [] { return new std::shared_ptr<PelkCustomTracking>(new PelkCustomTracking()); }();
  return **instance;
}

std::shared_ptr<platform::LocationManager> PelkCustomTracking::setDelegate() {
  std::shared_ptr<platform::LocationManager> m;
  {
    platform::LockGuard lock(mutex_);
    if (!manager_) manager_ = platform::LocationManager::create();
    m = manager_;
  }
  if (!m->hasDelegate()) m->setDelegate(shared_from_this());
  return m;
}

void PelkCustomTracking::startTracking(const PelkTrackingCustomMethods& options) {
  PELK_ASSERT_ON_MAIN();
  {
    platform::LockGuard lock(mutex_);
    option_ = options;
  }
  if (usesInterval(options)) {
    // Continuous updates of an earlier start would run on beside the interval.
    stopContinuous();
    SharedUtil::setDefaultBoolean(true, kTrackingTimeBase);
    LoggerManager::sharedInstance().writeLocationToFile("Custom tracking withh time based " +
                                                        std::to_string(*options.updateInterval));
    PelkTimeBasedLocationManager::instance().start(*options.updateInterval);
    return;
  }
  // Interval tracking of an earlier start would run on beside the updates.
  PelkTimeBasedLocationManager::instance().stop();
  auto m = setDelegate();
  m->requestAlwaysAuthorization();
  if (options.pausesLocationUpdatesAutomatically) {
    m->setPausesLocationUpdatesAutomatically(*options.pausesLocationUpdatesAutomatically);
  }
  if (options.allowBackgroundLocationUpdates) {
    m->setAllowsBackgroundLocationUpdates(*options.allowBackgroundLocationUpdates);
  }
  if (options.activityType) m->setActivityType(platformActivityType(*options.activityType));
  if (options.desiredAccuracy) m->setDesiredAccuracy(getLocationDesiredAccuracy(*options.desiredAccuracy));
  if (options.showsBackgroundLocationIndicator) {
    m->setShowsBackgroundLocationIndicator(*options.showsBackgroundLocationIndicator);
  }
  if (options.useVisits) updateVisitSettings(options);
  if (options.useSignificant) updateSignificantSettings(options);
  if (options.distanceFilter) updateDistanceFilterSetting(options);
  m->startUpdatingLocation();
  LoggerManager::sharedInstance().writeLocationToFile("Custom Tracking ");
}

void PelkCustomTracking::updateDistanceFilterSetting(const PelkTrackingCustomMethods& options) {
  auto m = locationManager();
  // A filter that is no number of metres would hold back every later position.
  if (m && options.distanceFilter && std::isfinite(*options.distanceFilter)) {
    m->setDistanceFilter(*options.distanceFilter);
  }
}

void PelkCustomTracking::updateVisitSettings(const PelkTrackingCustomMethods& options) {
  auto m = locationManager();
  if (!m) return;
  if (on(options.useVisits) && !on(options.useStandardLocationServices)) {
    m->startMonitoringVisits();
  } else {
    m->stopMonitoringVisits();
  }
}

void PelkCustomTracking::updateSignificantSettings(const PelkTrackingCustomMethods& options) {
  auto m = locationManager();
  if (!m) return;
  if (on(options.useSignificant) && !on(options.useStandardLocationServices)) {
    m->startMonitoringSignificantLocationChanges();
  } else {
    m->stopMonitoringSignificantLocationChanges();
  }
}

void PelkCustomTracking::updateLocation(const platform::Location& fix, const std::string& activity) {
  if (SaveUtilis::getTrackingOptions() != PelkTrackingModeLocal::custom) {
    stopTracking();
    return;
  }
  if (!fix.hasFiniteCoordinate()) return;
  // Measured against this mode's own previous position: the shared last
  // position belongs to the other modes and may be far older.
  std::optional<platform::Location> previous;
  {
    platform::LockGuard lock(mutex_);
    previous = std::exchange(lastRoadFix_, fix);
  }
  const auto speed = trackingmode::ownSpeedKmh(fix, previous);
  const auto options = option();
  if (options && options->useRegionMonitoring) updateRegionMoitoring(fix);
  if (!SentFixes::shared().claim(fix)) return;
  LocationDataManager::sharedInstance().sendDataServer(
      {.fix = fix, .activity = activity, .speed = toInt(speed), .locationId = AppUtilis::getLocationId()});
}

void PelkCustomTracking::updateRegionMoitoring(const platform::Location& fix) {
  const auto options = option();
  if (!options) return;
  if (on(options->useRegionMonitoring) && !on(options->useStandardLocationServices)) {
    std::int64_t radius = kFixedRegionRadius;
    // An absent or unusable radius falls back to the fixed one.
    if (on(options->useDynamicGeofencRadius) && options->geofenceRadius && *options->geofenceRadius > 0) {
      radius = *options->geofenceRadius;
    }
    createGeofence(fix, radius);
  } else {
    clearRegions();
  }
}

void PelkCustomTracking::createGeofence(const platform::Location& fix, std::int64_t radius) {
  clearRegions();
  auto m = locationManager();
  if (!m) return;
  platform::CircularRegion region;
  region.identifier = kRegionIdentifier;
  region.center = fix.coordinate;
  region.radius = static_cast<double>(radius);
  region.notifyOnExit = true;
  m->startMonitoring(region);
}

void PelkCustomTracking::clearRegions() {
  auto m = locationManager();
  if (!m) return;
  const std::string prefix = KGeofenceRegionIdentifier;
  for (const auto& region : m->monitoredRegions()) {
    if (region.identifier == kRegionIdentifier || region.identifier.rfind(prefix, 0) == 0) {
      m->stopMonitoring(region.identifier);
    }
  }
}

void PelkCustomTracking::stopContinuous() {
  auto m = locationManager();
  if (!m) return;
  clearRegions();
  m->stopUpdatingLocation();
  m->stopMonitoringVisits();
  m->stopMonitoringSignificantLocationChanges();
  m->clearDelegate();
  platform::LockGuard lock(mutex_);
  if (manager_ == m) manager_.reset();
}

void PelkCustomTracking::stopTracking() {
  // Both kinds: whichever an earlier start left running ends here.
  PelkTimeBasedLocationManager::instance().stop();
  stopContinuous();
}

void PelkCustomTracking::saveCustomOptions(const PelkTrackingCustomMethods& options) {
  if (options.desiredAccuracy) setDescireAccuracy(*options.desiredAccuracy);
  if (options.activityType) setActivityType(*options.activityType);
  store(options.useVisits, kCustomUseVisits);
  store(options.showsBackgroundLocationIndicator, kCustomShowBlueBar);
  if (options.distanceFilter && std::isfinite(*options.distanceFilter)) {
    store(options.distanceFilter, kCustomDistanceFilter);
  }
  store(options.useSignificant, kCustomUseSignificant);
  store(options.useRegionMonitoring, kCustomUseRegionMonitoring);
  store(options.useDynamicGeofencRadius, kCustomUseDynamicGeofencRadius);
  store(options.geofenceRadius, kCustomGeofenceRadius);
  store(options.allowBackgroundLocationUpdates, kCustomAllowBackground);
  store(options.pausesLocationUpdatesAutomatically, kCustomPauses);
  store(options.useStandardLocationServices, kCustomUseStandard);
  store(options.accuracyFilter, kCustomAccuracyFilter);
  store(options.updateInterval, kCustomUpdateInterval);
  SharedUtil::userDefaultValue()->set(kCustomOptionSet, SettingValue(true));
}

PelkTrackingCustomMethods PelkCustomTracking::getCustomOptions() {
  PelkTrackingCustomMethods o;
  if (readBool(kCustomOptionSet) != true) return o;
  o.desiredAccuracy = getDescireAccuracy();
  o.useVisits = readBool(kCustomUseVisits);
  o.showsBackgroundLocationIndicator = readBool(kCustomShowBlueBar);
  o.distanceFilter = readDouble(kCustomDistanceFilter);
  o.useSignificant = readBool(kCustomUseSignificant);
  o.useRegionMonitoring = readBool(kCustomUseRegionMonitoring);
  o.useDynamicGeofencRadius = readBool(kCustomUseDynamicGeofencRadius);
  o.geofenceRadius = readInteger(kCustomGeofenceRadius);
  o.allowBackgroundLocationUpdates = readBool(kCustomAllowBackground);
  o.activityType = getActivityType();
  o.pausesLocationUpdatesAutomatically = readBool(kCustomPauses);
  o.useStandardLocationServices = readBool(kCustomUseStandard);
  o.accuracyFilter = readInteger(kCustomAccuracyFilter);
  o.updateInterval = readInteger(kCustomUpdateInterval);
  return o;
}

void PelkCustomTracking::setDescireAccuracy(LocationAccuracy accuracy) {
  // Stored one above the raw value: an absent key (0) then reads as the best
  // accuracy for navigation too.
  SharedUtil::setDefaultInteger(rawValue(accuracy) + 1, kCustomAccuracy);
}

LocationAccuracy PelkCustomTracking::getDescireAccuracy() {
  switch (SharedUtil::getDefaultInteger(kCustomAccuracy)) {
    case 0:
    case 1:
      return LocationAccuracy::bestForNavigation;
    case 2:
      return LocationAccuracy::best;
    case 3:
      return LocationAccuracy::nearestTenMeters;
    case 5:
      return LocationAccuracy::kilometer;
    case 6:
      return LocationAccuracy::other;
    default:
      return LocationAccuracy::hundredMeters;
  }
}

double PelkCustomTracking::getLocationDesiredAccuracy(LocationAccuracy option) {
  switch (option) {
    case LocationAccuracy::bestForNavigation:
      return platform::DesiredAccuracy::bestForNavigation;
    case LocationAccuracy::best:
      return platform::DesiredAccuracy::best;
    case LocationAccuracy::nearestTenMeters:
      return platform::DesiredAccuracy::nearestTenMeters;
    case LocationAccuracy::hundredMeters:
      return platform::DesiredAccuracy::hundredMeters;
    case LocationAccuracy::kilometer:
      return platform::DesiredAccuracy::kilometer;
    case LocationAccuracy::other:
      return platform::DesiredAccuracy::hundredMeters;
  }
  return platform::DesiredAccuracy::hundredMeters;
}

void PelkCustomTracking::setActivityType(LocationActivityType type) {
  SharedUtil::setDefaultInteger(rawValue(type), kCustomActivityType);
}

LocationActivityType PelkCustomTracking::getActivityType() {
  return locationActivityTypeFromRawValue(SharedUtil::getDefaultInteger(kCustomActivityType))
      .value_or(LocationActivityType::automotiveNavigation);
}

platform::ActivityType PelkCustomTracking::platformActivityType(LocationActivityType type) {
  return static_cast<platform::ActivityType>(static_cast<int>(rawValue(type)));
}

bool PelkCustomTracking::takeFirstCall() {
  platform::LockGuard lock(mutex_);
  return std::exchange(firstTimeCalled_, false);
}

void PelkCustomTracking::didUpdateLocations(platform::LocationManager& manager,
                                            const std::vector<platform::Location>& fixes) {
  PELK_ASSERT_ON_MAIN();
  if (takeFirstCall()) {
    if (auto last = manager.location()) updateLocation(*last, kStationary);
    return;
  }
  const auto* fix = newest(fixes);
  if (!fix) return;
  LoggerManager::sharedInstance().writeLocationToFile("Custom location update:" + decimal(fix->horizontalAccuracy));
  if (!SharedUtil::getDefaultBoolean(kAccuracyFilterCustom)) {
    // Any accuracy passes without the filter, but not one that says the fix
    // has no position at all.
    if (!unusableFix(*fix)) updateLocation(*fix, kMoving);
    return;
  }
  if (passesCustomAccuracyGate(*fix)) {
    updateLocation(*fix, kMoving);
    return;
  }
  BaseCLManager::sharedInstance().updateCurrentLocationImproveAccuracy(kCustomImproveAccuracy);
  LoggerManager::sharedInstance().writeLocationToFile("location accuracy did not pass:" +
                                                      decimal(fix->horizontalAccuracy));
}

void PelkCustomTracking::didVisit(platform::LocationManager& manager, const platform::Visit&) {
  PELK_ASSERT_ON_MAIN();
  auto last = manager.location();
  if (!last || !AppUtilis::checkCoordinate(*last)) return;
  SentFixes::shared().claim(*last);
  LocationDataManager::sharedInstance().sendDataServer(
      {.fix = *last, .activity = kStationary, .locationId = AppUtilis::getLocationId()});
}

void PelkCustomTracking::didExitRegion(platform::LocationManager& manager, const platform::CircularRegion&) {
  PELK_ASSERT_ON_MAIN();
  const bool first = takeFirstCall();
  auto last = manager.location();
  if (!last) return;
  if (SaveUtilis::getTrackingOptions() != PelkTrackingModeLocal::custom) {
    stopTracking();
    return;
  }
  {
    // The update that placed the region already sent this position.
    platform::LockGuard lock(mutex_);
    if (lastRoadFix_ == *last) return;
  }
  if (first) {
    updateLocation(*last, kStationary);
    return;
  }
  // An exit caused by a fix the accuracy gate refused does not let it in.
  const bool accepted =
      SharedUtil::getDefaultBoolean(kAccuracyFilterCustom) ? passesCustomAccuracyGate(*last) : !unusableFix(*last);
  if (accepted) updateLocation(*last, kMoving);
}

void PelkCustomTracking::didFailWithError(platform::LocationManager&, const platform::LocationError& error) {
  PELK_ASSERT_ON_MAIN();
  platform::Console::print(error.localizedDescription(), platform::Console::Level::Error);
  LoggerManager::sharedInstance().writeLocationToFile("Custom location failed:" + error.localizedDescription());
}

void PelkCustomTracking::didChangeAuthorization(platform::LocationManager&, platform::AuthorizationStatus status) {
  PELK_ASSERT_ON_MAIN();
  LoggerManager::sharedInstance().writeLocationToFile("Custom location permission:" +
                                                      std::to_string(static_cast<int>(status)));
  SharedUtil::setDefaultBoolean(platform::isAuthorized(status), kIsLocationTracking);
}

std::shared_ptr<platform::LocationManager> PelkCustomTracking::locationManager() const {
  platform::LockGuard lock(mutex_);
  return manager_;
}

std::optional<PelkTrackingCustomMethods> PelkCustomTracking::option() const {
  platform::LockGuard lock(mutex_);
  return option_;
}

bool PelkCustomTracking::firstTimeCalled() const {
  platform::LockGuard lock(mutex_);
  return firstTimeCalled_;
}

void PelkCustomTracking::resetForTesting() {
  platform::LockGuard lock(mutex_);
  firstTimeCalled_ = true;
  option_.reset();
  lastRoadFix_.reset();
}

}  // namespace pelk
