#include "platform/VisitDetector.h"

#include <algorithm>
#include <cmath>

#include "platform/LocationServices.h"

namespace pelk::platform {

namespace {

// The longitude difference b - a brought into (-180, 180], so that a stay on
// the antimeridian is not averaged to the other side of the Earth.
double longitudeOffset(double a, double b) {
  double d = std::fmod(b - a, 360.0);
  if (d > 180.0) d -= 360.0;
  if (d <= -180.0) d += 360.0;
  return d;
}

double wrapLongitude(double lon) {
  double l = std::fmod(lon + 180.0, 360.0);
  if (l < 0) l += 360.0;
  return l - 180.0;
}

}  // namespace

VisitDetector::VisitDetector(VisitRules rules) : rules_(rules) {}

void VisitDetector::begin(const Location& fix) {
  active_ = true;
  arrived_ = false;
  anchor_ = fix.coordinate;
  first_ = fix.timestamp;
  lastInside_ = fix.timestamp;
  lastSeen_ = fix.timestamp;
  sumDLat_ = 0.0;
  sumDLon_ = 0.0;
  sumAccuracy_ = fix.horizontalAccuracy;
  count_ = 1;
}

Visit VisitDetector::visitSoFar() const {
  const double n = static_cast<double>(count_);
  Visit v;
  v.coordinate = {anchor_.latitude + sumDLat_ / n, wrapLongitude(anchor_.longitude + sumDLon_ / n)};
  v.horizontalAccuracy = std::max(rules_.radius, sumAccuracy_ / n);
  v.arrivalDate = first_;
  v.departureDate = TimePoint::max();
  return v;
}

std::optional<Visit> VisitDetector::add(const Location& fix) {
  if (!LocationServices::isUsableFix(fix) || fix.horizontalAccuracy > rules_.maxAccuracy) return std::nullopt;
  if (!active_) {
    begin(fix);
    return std::nullopt;
  }
  // A fix out of time order, or beyond the radius, ends the stay under way
  // (a visit departs at its last fix inside) and begins the next one.
  const bool outOfOrder = fix.timestamp < lastSeen_;
  if (!outOfOrder) lastSeen_ = fix.timestamp;
  if (outOfOrder || greatCircleDistance(anchor_, fix.coordinate) > rules_.radius) {
    std::optional<Visit> departed;
    if (arrived_) {
      departed = visitSoFar();
      departed->departureDate = lastInside_;
    }
    begin(fix);
    return departed;
  }
  sumDLat_ += fix.coordinate.latitude - anchor_.latitude;
  sumDLon_ += longitudeOffset(anchor_.longitude, fix.coordinate.longitude);
  sumAccuracy_ += fix.horizontalAccuracy;
  ++count_;
  lastInside_ = fix.timestamp;
  if (!arrived_ && lastInside_ - first_ >= rules_.dwell) {
    arrived_ = true;
    return visitSoFar();
  }
  return std::nullopt;
}

}  // namespace pelk::platform
