#include "platform/LocationManager.h"

#include <cmath>

namespace pelk::platform {

bool isAuthorized(AuthorizationStatus status) {
  return status == AuthorizationStatus::authorizedAlways || status == AuthorizationStatus::authorizedWhenInUse;
}

const char* describe(AuthorizationStatus status) {
  switch (status) {
    case AuthorizationStatus::notDetermined:
      return "notDetermined";
    case AuthorizationStatus::restricted:
      return "restricted";
    case AuthorizationStatus::denied:
      return "denied";
    case AuthorizationStatus::authorizedAlways:
      return "authorizedAlways";
    case AuthorizationStatus::authorizedWhenInUse:
      return "authorizedWhenInUse";
  }
  return "notDetermined";
}

bool CircularRegion::contains(const Coordinate& point) const {
  if (!std::isfinite(point.latitude) || !std::isfinite(point.longitude)) return false;
  return greatCircleDistance(center, point) <= radius;
}

}  // namespace pelk::platform
