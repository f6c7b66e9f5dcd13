#pragma once

#include <chrono>

namespace pelk {

// A point on the Earth in degrees (WGS 84).
struct Coordinate {
  double latitude = 0.0;
  double longitude = 0.0;

  bool operator==(const Coordinate&) const = default;
};

// One position fix as the location service delivers it.  Negative accuracies,
// speed or course mean "not known", the way location services report them; a
// fix built from a coordinate alone therefore knows its horizontal accuracy (0)
// but neither its vertical accuracy, speed nor course.
struct Location {
  Coordinate coordinate;
  double altitude = 0.0;            // metres above sea level
  double horizontalAccuracy = 0.0;  // metres, radius of uncertainty; < 0: coordinate invalid
  double verticalAccuracy = -1.0;   // metres; < 0: altitude invalid
  double speed = -1.0;              // metres per second; < 0: not known
  double course = -1.0;             // degrees clockwise from true north; < 0: not known
  std::chrono::system_clock::time_point timestamp{};

  // Great-circle distance in metres between the two coordinates (altitude is
  // ignored), on a sphere of the Earth's mean radius.
  double distance(const Location& other) const;

  // Latitude and longitude are both finite numbers.  A receiver without a fix
  // reports NaN; such a fix says nothing about where the device is.
  bool hasFiniteCoordinate() const;

  bool operator==(const Location&) const = default;
};

// Great-circle distance in metres between two coordinates.
double greatCircleDistance(const Coordinate& a, const Coordinate& b);

}  // namespace pelk
