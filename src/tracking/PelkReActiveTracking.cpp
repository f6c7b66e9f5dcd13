#include "tracking/PelkReActiveTracking.h"

namespace pelk {
namespace {

constexpr double kStartDistanceFilter = 50.0;
constexpr double kUnfilteredAccuracyLimit = 100.0;

}  // namespace

PelkReActiveTracking::PelkReActiveTracking()
    : GeofencedMode(PelkTrackingModeLocal::balanced, "Reactive", kUnfilteredAccuracyLimit) {}

PelkReActiveTracking& PelkReActiveTracking::shareInstance() {
  static auto* instance = trackingmode::keepForProcess(new PelkReActiveTracking());
  return **instance;
}

void PelkReActiveTracking::startTracking() { startContinuousUpdates(kStartDistanceFilter, false); }

void PelkReActiveTracking::stopTracking() {
  queueStop(true, [this](platform::LocationManager& m) { removeOwnRegion(m); });
}

void PelkReActiveTracking::removeOwnRegion(platform::LocationManager& manager) {
  std::optional<platform::CircularRegion> own;
  {
    platform::LockGuard lock(mutex_);
    own.swap(ownRegion_);
  }
  if (!own) return;
  // Regions are app-wide and keyed by name: one of the same name that differs
  // from what this mode placed belongs to someone else and stays.
  for (const auto& region : manager.monitoredRegions()) {
    if (region == *own) manager.stopMonitoring(region.identifier);
  }
}

void PelkReActiveTracking::createGeofence(const platform::Location& fix, std::int64_t radius) {
  clearGeofence();
  auto m = locationManager();
  if (!m) return;
  platform::CircularRegion region;
  region.identifier = trackingmode::kModeRegionIdentifier;
  region.center = fix.coordinate;
  region.radius = static_cast<double>(radius);
  m->startMonitoring(region);
  platform::LockGuard lock(mutex_);
  ownRegion_ = region;
}

void PelkReActiveTracking::updateLocationManager(std::int64_t radius) {
  double filter = 50.0;
  double accuracy = platform::DesiredAccuracy::hundredMeters;
  switch (radius) {
    case 100:
      filter = 50.0;
      break;
    case 200:
      filter = 100.0;
      break;
    case 300:
      filter = 150.0;
      break;
    case 400:
      filter = 200.0;
      break;
    case 500:
      filter = 250.0;
      break;
    case 700:
      filter = 350.0;
      accuracy = platform::DesiredAccuracy::kilometer;
      break;
    case 1000:
      filter = 500.0;
      accuracy = platform::DesiredAccuracy::kilometer;
      break;
    default:
      break;
  }
  auto m = locationManager();
  if (!m) {
    log("Distance filter none    Accuracy   none");
    return;
  }
  m->setDistanceFilter(filter);
  m->setDesiredAccuracy(accuracy);
  log("Distance filter " + trackingmode::decimalText(m->distanceFilter()) + "    Accuracy   " +
      trackingmode::decimalText(m->desiredAccuracy()));
}

}  // namespace pelk
