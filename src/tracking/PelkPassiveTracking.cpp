#include "tracking/PelkPassiveTracking.h"

#include <atomic>
#include <limits>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationUtils.h"
#include "tracking/LocationCounters.h"
#include "platform/Dispatch.h"

namespace pelk {
namespace {

// The radius of the region placed on a permission grant and on entering the
// background.
constexpr double kFixedRadius = static_cast<double>(KGeofenceRegionRadius);
// Without the accuracy filter every fix with a usable accuracy passes.
constexpr double kUnfilteredAccuracyLimit = std::numeric_limits<double>::infinity();

}  // namespace

PelkPassiveTracking::PelkPassiveTracking()
    : GeofencedMode(PelkTrackingModeLocal::passive, "Passive", kUnfilteredAccuracyLimit) {}

PelkPassiveTracking& PelkPassiveTracking::shareInstance() {
  // The background observer is never removed: the mode lives for the process.
  static auto* instance = [] {
    auto* holder = trackingmode::keepForProcess(new PelkPassiveTracking());
    (*holder)->construct();
    return holder;
  }();
  return **instance;
}

void PelkPassiveTracking::construct() {
  setDelegate();
  backgroundObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      platform::Application::didEnterBackgroundNotification, nullptr,
      [this](const platform::Notification&) { applicationDidEnterBackground(); });
}

void PelkPassiveTracking::beginBackgroundTask() {
  // Only one task is held: the one of an earlier start is ended before the
  // new one begins, so no task is left running without a holder.
  platform::BackgroundTaskId previous;
  {
    platform::LockGuard lock(mutex_);
    previous = currentBGTask_;
    currentBGTask_ = platform::invalidBackgroundTask;
  }
  if (previous != platform::invalidBackgroundTask) platform::Application::endBackgroundTask(previous);
  // The handler ends its own task and forgets it only if it is still the held one.
  auto own = std::make_shared<std::atomic<platform::BackgroundTaskId>>(platform::invalidBackgroundTask);
  const auto id = platform::Application::beginBackgroundTask(
      [this, own] {
        const auto task = own->load();
        if (task == platform::invalidBackgroundTask) return;
        {
          platform::LockGuard lock(mutex_);
          if (currentBGTask_ == task) currentBGTask_ = platform::invalidBackgroundTask;
        }
        platform::Application::endBackgroundTask(task);
      },
      "Passive tracking");
  own->store(id);
  platform::LockGuard lock(mutex_);
  currentBGTask_ = id;
}

void PelkPassiveTracking::startTracking() {
  PELK_ASSERT_ON_MAIN();
  noteStart();
  beginBackgroundTask();
  setDelegate();
  if (auto m = locationManager()) {
    m->requestAlwaysAuthorization();
    m->setAllowsBackgroundLocationUpdates(true);
    m->setPausesLocationUpdatesAutomatically(false);
    m->setDelegate(shared_from_this());
    m->startMonitoringVisits();
    m->startMonitoringSignificantLocationChanges();
    m->requestLocation();
  }
  log("Passive Tracking ");
}

void PelkPassiveTracking::stopTracking() { queueStop(true); }

void PelkPassiveTracking::singleGoefence(const platform::Location& fix, double radius) {
  auto m = locationManager();
  if (!m) return;
  clearGeofence();
  platform::CircularRegion region;
  region.identifier = KGeofenceRegionIdentifier;
  region.center = fix.coordinate;
  region.radius = radius;
  region.notifyOnExit = true;
  m->startMonitoring(region);
}

void PelkPassiveTracking::createGeofence(const platform::Location& fix, std::int64_t radius) {
  singleGoefence(fix, static_cast<double>(radius));
}

void PelkPassiveTracking::unusableCoordinate() {
  if (auto m = locationManager()) m->requestLocation();
}

void PelkPassiveTracking::applicationDidEnterBackground() {
  if (SaveUtilis::getTrackingOptions() != PelkTrackingModeLocal::passive ||
      !SharedUtil::getDefaultBoolean(kIsLocationTracking)) {
    return;
  }
  // The manager first, so that the region is placed also when none existed.
  setDelegate();
  const auto last = LocationUtils::getLastLocation();
  if (AppUtilis::checkCoordinate(last)) singleGoefence(last, kFixedRadius);
  if (auto m = locationManager()) m->startMonitoringSignificantLocationChanges();
}

void PelkPassiveTracking::didEnterRegion(platform::LocationManager& manager, const platform::CircularRegion&) {
  PELK_ASSERT_ON_MAIN();
  auto last = manager.location();
  if (!last || !AppUtilis::checkCoordinate(*last)) return;
  singleGoefence(*last, static_cast<double>(LocationFilter::getPassiveRadius(*last)));
}

void PelkPassiveTracking::permissionGranted(platform::LocationManager&, const platform::Location& last) {
  if (AppUtilis::checkCoordinate(last)) singleGoefence(last, kFixedRadius);
}

platform::BackgroundTaskId PelkPassiveTracking::currentBackgroundTask() const {
  platform::LockGuard lock(mutex_);
  return currentBGTask_;
}

}  // namespace pelk
