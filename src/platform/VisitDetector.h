#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "platform/Clock.h"
#include "platform/Location.h"
#include "platform/LocationManager.h"

namespace pelk::platform {

// When a stream of fixes counts as a stay.  A stay begins at a fix and holds
// every later fix within `radius` metres of it; once its fixes span `dwell`
// (by their own time stamps) the stay is a visit and its arrival is reported;
// the first fix beyond the radius after that reports its departure and begins
// the next stay.  Fixes vaguer than `maxAccuracy` say nothing about where the
// device stays and are passed over.
//
// The defaults: 50 m holds a parked receiver's wander under open sky (a few
// metres, tens near buildings) without taking a slow walk for a stay; three
// minutes is longer than a traffic light or a level crossing and short enough
// to report a stop at a delivery address.
struct VisitRules {
  double radius = 50.0;  // metres
  Duration dwell = std::chrono::minutes(3);
  double maxAccuracy = 100.0;  // metres
};

// Finds visits in a stream of fixes, for a location source that does not
// report visits itself.  Not thread-safe: one reader feeds it.
class VisitDetector {
 public:
  explicit VisitDetector(VisitRules rules = {});

  // Takes the next fix; answers the arrival (departure still open:
  // TimePoint::max()) or the departure it completes, when it completes one.
  // A fix stamped before the one before it (a receiver that restarted, a
  // replayed log) ends what was under way: a visit departs at its last fix.
  std::optional<Visit> add(const Location& fix);

  bool arrived() const { return arrived_; }
  const VisitRules& rules() const { return rules_; }

 private:
  Visit visitSoFar() const;
  void begin(const Location& fix);

  VisitRules rules_;
  bool active_ = false;   // a stay is under way
  bool arrived_ = false;  // and its arrival was reported
  Coordinate anchor_;     // the stay's first fix
  TimePoint first_{};     // its time stamp
  TimePoint lastInside_{};
  TimePoint lastSeen_{};  // the newest fix taken, inside or not
  // Sums of the fixes' offsets from the anchor (degrees) and accuracies, for
  // the visit's centre and accuracy.
  double sumDLat_ = 0.0;
  double sumDLon_ = 0.0;
  double sumAccuracy_ = 0.0;
  std::size_t count_ = 0;
};

}  // namespace pelk::platform
