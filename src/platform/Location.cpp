#include "platform/Location.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace pelk {

namespace {
constexpr double kEarthMeanRadiusMetres = 6371008.8;  // IUGG mean radius

double radians(double degrees) { return degrees * std::numbers::pi / 180.0; }
}  // namespace

double greatCircleDistance(const Coordinate& a, const Coordinate& b) {
  // Haversine form: well conditioned for the short distances between
  // consecutive fixes, where the spherical law of cosines loses precision.
  const double lat1 = radians(a.latitude);
  const double lat2 = radians(b.latitude);
  const double dLat = lat2 - lat1;
  const double dLon = radians(b.longitude - a.longitude);
  const double s1 = std::sin(dLat / 2.0);
  const double s2 = std::sin(dLon / 2.0);
  double h = s1 * s1 + std::cos(lat1) * std::cos(lat2) * s2 * s2;
  h = std::clamp(h, 0.0, 1.0);  // rounding may push antipodal points past 1
  return 2.0 * kEarthMeanRadiusMetres * std::asin(std::sqrt(h));
}

double Location::distance(const Location& other) const { return greatCircleDistance(coordinate, other.coordinate); }

bool Location::operator==(const Location& o) const {
  return coordinate == o.coordinate && altitude == o.altitude && horizontalAccuracy == o.horizontalAccuracy &&
         verticalAccuracy == o.verticalAccuracy && speed == o.speed && course == o.course && timestamp == o.timestamp;
}

bool Location::hasFiniteCoordinate() const {
  return std::isfinite(coordinate.latitude) && std::isfinite(coordinate.longitude);
}

}  // namespace pelk
