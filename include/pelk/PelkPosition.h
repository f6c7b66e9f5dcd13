#pragma once

#include <chrono>
#include <optional>

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
  double altitude = 0.0;                              // metres above sea level
  double horizontalAccuracy = 0.0;                    // metres, radius of uncertainty; < 0: coordinate invalid
  double verticalAccuracy = -1.0;                     // metres; < 0: altitude invalid
  double speed = -1.0;                                // metres per second; < 0: not known
  double course = -1.0;                               // degrees clockwise from true north; < 0: not known
  std::chrono::system_clock::time_point timestamp{};  // when the receiver took the fix (its own clock)
  // When this process received the fix, on a clock that does not jump when the
  // host's clock is set; empty for a fix that did not come from the location
  // service.  A fix's age is judged by it: the receiver's time stamp and the
  // host's clock may be far apart (a box without a real-time clock before NTP).
  std::optional<std::chrono::steady_clock::time_point> receivedAt = std::nullopt;

  // Great-circle distance in metres between the two coordinates (altitude is
  // ignored), on a sphere of the Earth's mean radius.
  double distance(const Location& other) const;

  // Latitude and longitude are both finite numbers.  A receiver without a fix
  // reports NaN; such a fix says nothing about where the device is.
  bool hasFiniteCoordinate() const;

  // Compares the position and its readings; when it was received is not part
  // of the position.
  bool operator==(const Location& other) const;
};

// Great-circle distance in metres between two coordinates.
double greatCircleDistance(const Coordinate& a, const Coordinate& b);

}  // namespace pelk
