// Visits found in a stream of fixes, for a source (gpsd) that reports none.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "platform/VisitDetector.h"
#include "support/FixBuilder.h"

using namespace pelk::platform;
using namespace std::chrono_literals;

namespace {

const TimePoint t0 = Clock::fromSecondsSince1970(1'700'000'000);

struct Step {
  int second;
  double north, east;  // metres from (52.5, 13.4)
  double accuracy = 5;
};

// "A<arrival>" or "D<arrival>-<departure>", in seconds after t0.
std::string describe(const Visit& v) {
  const auto s = [](TimePoint t) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(t - t0).count());
  };
  return v.departureDate == TimePoint::max() ? "A" + s(v.arrivalDate)
                                             : "D" + s(v.arrivalDate) + "-" + s(v.departureDate);
}

Location at(const Step& s) {
  constexpr double metresPerDegree = 6371008.8 * std::numbers::pi / 180.0;
  return pelk::test::FixBuilder(52.5 + s.north / metresPerDegree,
                                13.4 + s.east / (metresPerDegree * std::cos(52.5 * std::numbers::pi / 180.0)))
      .accuracy(s.accuracy)
      .takenAt(t0 + std::chrono::seconds(s.second));
}

}  // namespace

TEST(VisitDetector, ArrivalsAndDeparturesOfAStreamOfFixes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> visits;
  };
  const std::vector<Case> cases = {
      {"wander within the radius: one arrival, at the dwell",
       {{0, 0, 0}, {20, 8, -5}, {40, -10, 12}, {60, 3, 3}, {80, 0, 9}},
       {"A0"}},
      {"a fix beyond the radius before the dwell begins a new stay",
       {{0, 0, 0}, {30, 5, 0}, {40, 200, 0}, {70, 205, 0}, {100, 198, 3}},
       {"A40"}},
      {"leaving reports the departure at the last fix within the radius",
       {{0, 0, 0}, {60, 4, 4}, {65, 2, 0}, {70, 60, 0}, {80, 300, 0}},
       {"A0", "D0-65"}},
      {"vague and unusable fixes say nothing about the stay",
       {{0, 0, 0}, {30, 500, 0, 300}, {40, nan, 0}, {50, 0, 0, -1}, {60, 1, 1}},
       {"A0"}},
      {"time going back ends the visit under way",
       {{100, 0, 0}, {160, 1, 0}, {170, 2, 0}, {50, 2, 0}},
       {"A100", "D100-170"}},
      {"a gap in the fixes at the same place is still the stay", {{0, 0, 0}, {600, 3, 0}}, {"A0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VisitDetector detector({50.0, 60s, 100.0});
    std::vector<std::string> seen;
    for (const auto& step : c.steps) {
      if (auto v = detector.add(at(step))) seen.push_back(describe(*v));
    }
    EXPECT_EQ(seen, c.visits);
  }
}

// The visit's centre is the mean of the stay's fixes, also across the
// antimeridian.
TEST(VisitDetector, TheVisitLiesAtTheMeanOfItsFixes) {
  VisitDetector detector({50.0, 10s, 100.0});
  Location a;
  a.coordinate = {10.0, 179.99995};
  a.horizontalAccuracy = 5;
  a.timestamp = t0;
  Location b = a;
  b.coordinate = {10.0, -179.99995};
  b.timestamp = t0 + 10s;
  EXPECT_FALSE(detector.add(a));
  const auto v = detector.add(b);
  ASSERT_TRUE(v);
  EXPECT_NEAR(v->coordinate.latitude, 10.0, 1e-9);
  EXPECT_NEAR(std::abs(v->coordinate.longitude), 180.0, 1e-9);
  EXPECT_EQ(v->horizontalAccuracy, 50.0) << "no better than the radius";
}
