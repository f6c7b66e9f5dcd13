#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "pelk/PelkTripListener.h"

namespace pelk {
namespace {

TEST(TripProgressValues, StoreEveryArgumentUnchanged) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    const char* name;
    double speed, distance, duration, pace, latitude, longitude;
  };
  const Row rows[] = {
      {"zeros", 0, 0, 0, 0, 0, 0},
      {"ordinary", 2.5, 1000, 400, 0.4, 12.5, 77.25},
      {"non-finite and negative", inf, -1, nan, -inf, -90, 180},
  };
  auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const PelkTripListener l("", r.speed, r.distance, r.duration, "");
    EXPECT_EQ(l.tripId(), "");
    EXPECT_TRUE(same(l.speed(), r.speed));
    EXPECT_TRUE(same(l.distance(), r.distance));
    EXPECT_TRUE(same(l.duration(), r.duration));
    EXPECT_EQ(l.startedTime(), "");

    const PelkTripStatusListener s("t-1", r.speed, r.distance, r.duration, "2024-01-01T00:00:00.000Z", r.pace,
                                   r.latitude, r.longitude);
    EXPECT_EQ(s.tripId(), "t-1");
    EXPECT_TRUE(same(s.speed(), r.speed));
    EXPECT_TRUE(same(s.distance(), r.distance));
    EXPECT_TRUE(same(s.duration(), r.duration));
    EXPECT_EQ(s.startedTime(), "2024-01-01T00:00:00.000Z");
    EXPECT_TRUE(same(s.pace(), r.pace));
    EXPECT_TRUE(same(s.latitude(), r.latitude));
    EXPECT_TRUE(same(s.longitude(), r.longitude));
  }
}

}  // namespace
}  // namespace pelk
