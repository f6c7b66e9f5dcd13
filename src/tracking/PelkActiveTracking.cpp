#include "tracking/PelkActiveTracking.h"

#include "messaging/LocationUtils.h"

namespace pelk {
namespace {

constexpr double kUnfilteredAccuracyLimit = 100.0;

}  // namespace

PelkActiveTracking::PelkActiveTracking()
    : GeofencedMode(PelkTrackingModeLocal::active, "Active", kUnfilteredAccuracyLimit) {}

PelkActiveTracking& PelkActiveTracking::shareInstance() {
  static auto* instance = trackingmode::keepForProcess(new PelkActiveTracking());
  return **instance;
}

void PelkActiveTracking::startTracking() { startContinuousUpdates(25.0, true); }

// The manager stays for the next start.
void PelkActiveTracking::stopTracking() { queueStop(false); }

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

void PelkActiveTracking::updateLocationManager(std::int64_t radius) {
  double filter = 25.0;
  switch (radius) {
    case 100:
      filter = 25.0;
      break;
    case 200:
      filter = 50.0;
      break;
    case 300:
      filter = 75.0;
      break;
    case 400:
      filter = 100.0;
      break;
    case 500:
      filter = 125.0;
      break;
    case 700:
      filter = 175.0;
      break;
    case 1000:
      filter = 250.0;
      break;
    default:
      break;
  }
  if (auto m = locationManager()) m->setDistanceFilter(filter);
}

void PelkActiveTracking::permissionGranted(platform::LocationManager& manager, const platform::Location& last) {
  if (last.hasFiniteCoordinate()) manager.startMonitoring(trackingmode::grantRegion(last.coordinate));
}

}  // namespace pelk
