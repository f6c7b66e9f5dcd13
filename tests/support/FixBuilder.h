#pragma once

// A position fix for a test: its coordinate and only the readings the test
// sets; the others stay as a fix built from a coordinate reads them (accuracy
// 0, altitude 0, vertical accuracy, speed and course not known, no time).
//   platform::Location f = FixBuilder(52.5, 13.4).accuracy(20).takenAt(now);

#include "platform/Clock.h"
#include "platform/Location.h"

namespace pelk::test {

class FixBuilder {
 public:
  FixBuilder(double latitude, double longitude) { fix_.coordinate = {latitude, longitude}; }

  FixBuilder& accuracy(double metres) {
    fix_.horizontalAccuracy = metres;
    return *this;
  }
  // An altitude whose accuracy is not known unless given.
  FixBuilder& altitude(double metres, double accuracy = -1.0) {
    fix_.altitude = metres;
    fix_.verticalAccuracy = accuracy;
    return *this;
  }
  FixBuilder& speed(double metresPerSecond) {
    fix_.speed = metresPerSecond;
    return *this;
  }
  FixBuilder& course(double degrees) {
    fix_.course = degrees;
    return *this;
  }
  FixBuilder& takenAt(platform::TimePoint when) {
    fix_.timestamp = when;
    return *this;
  }

  platform::Location build() const { return fix_; }
  operator platform::Location() const { return fix_; }  // NOLINT: a builder stands for its fix

 private:
  platform::Location fix_;
};

}  // namespace pelk::test
