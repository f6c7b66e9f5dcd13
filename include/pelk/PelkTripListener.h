#pragma once

#include <string>
#include <utility>

namespace pelk {

// The progress of a trip followed on the device, answered on request.  The
// values are stored exactly as given; nothing is checked or rounded.
class PelkTripListener {
 public:
  PelkTripListener(std::string tripId, double speed, double distance, double duration, std::string startedTime)
      : tripId_(std::move(tripId)),
        speed_(speed),
        distance_(distance),
        duration_(duration),
        startedTime_(std::move(startedTime)) {}

  const std::string& tripId() const { return tripId_; }
  double speed() const { return speed_; }        // metres per second
  double distance() const { return distance_; }  // metres
  double duration() const { return duration_; }  // seconds
  const std::string& startedTime() const { return startedTime_; }

 private:
  std::string tripId_;
  double speed_;
  double distance_;
  double duration_;
  std::string startedTime_;
};

// The progress of an ongoing trip pushed to the app's delegate: the values of
// PelkTripListener plus the pace and the last recorded position.
class PelkTripStatusListener {
 public:
  PelkTripStatusListener(std::string tripId, double speed, double distance, double duration, std::string startedTime,
                         double pace, double latitude, double longitude)
      : tripId_(std::move(tripId)),
        speed_(speed),
        distance_(distance),
        duration_(duration),
        startedTime_(std::move(startedTime)),
        pace_(pace),
        latitude_(latitude),
        longitude_(longitude) {}

  const std::string& tripId() const { return tripId_; }
  double speed() const { return speed_; }        // metres per second
  double distance() const { return distance_; }  // metres
  double duration() const { return duration_; }  // seconds
  const std::string& startedTime() const { return startedTime_; }
  double pace() const { return pace_; }  // seconds per metre
  double latitude() const { return latitude_; }
  double longitude() const { return longitude_; }

 private:
  std::string tripId_;
  double speed_;
  double distance_;
  double duration_;
  std::string startedTime_;
  double pace_;
  double latitude_;
  double longitude_;
};

}  // namespace pelk
