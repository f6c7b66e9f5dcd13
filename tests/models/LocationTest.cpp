#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "ModelTestSupport.h"
#include "pelk/PelkLocation.h"
#include "platform/Location.h"

namespace pelk::test {
namespace {

using platform::Location;

TEST(PlatformLocation, GreatCircleDistanceInMetres) {
  const Location bangalore{.coordinate = {12.9716, 77.5946}};
  const Location chennai{.coordinate = {13.0827, 80.2707}};
  const Location north{.coordinate = {90.0, 0.0}};
  const Location south{.coordinate = {-90.0, 0.0}};
  const Location equator0{.coordinate = {0.0, 0.0}};
  const Location equator1{.coordinate = {0.0, 1.0}};
  const Location antipode{.coordinate = {0.0, 180.0}};

  EXPECT_NEAR(bangalore.distance(chennai), 290'200.0, 1'000.0);
  EXPECT_DOUBLE_EQ(bangalore.distance(chennai), chennai.distance(bangalore));
  EXPECT_EQ(bangalore.distance(bangalore), 0.0);
  EXPECT_NEAR(equator0.distance(equator1), 111'195.0, 5.0);  // one degree of arc
  EXPECT_NEAR(north.distance(south), std::numbers::pi * 6371008.8, 1.0);
  EXPECT_NEAR(equator0.distance(antipode), std::numbers::pi * 6371008.8, 1.0);
  // Short hops between fixes keep their precision.
  const Location a{.coordinate = {48.0, 11.0}};
  const Location b{.coordinate = {48.0, 11.0 + 1e-5}};
  EXPECT_NEAR(a.distance(b), 0.744, 0.01);
  // Altitude does not enter the distance.
  Location high = a;
  high.altitude = 1000.0;
  EXPECT_EQ(a.distance(high), 0.0);
}

TEST(PlatformLocation, OnlyFiniteLatitudeAndLongitudeMakeAPlace) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    double latitude, longitude, altitude;
    bool place;
  };
  for (const auto& c : std::vector<Case>{{12.97, 77.59, 0, true},
                                         {0, 0, 0, true},
                                         {1, 2, kNaN, true},  // a fix without altitude still has a place
                                         {kNaN, 77.59, 0, false},
                                         {12.97, kNaN, 0, false},
                                         {kInf, 0, 0, false},
                                         {0, -kInf, 0, false}}) {
    Location fix{.coordinate = {c.latitude, c.longitude}};
    fix.altitude = c.altitude;
    EXPECT_EQ(fix.hasFiniteCoordinate(), c.place) << c.latitude << "," << c.longitude;
  }
}

TEST(PlatformLocation, CoordinateOnlyFixKnowsNoSpeedCourseOrAltitudeAccuracy) {
  const Location fix{.coordinate = {1.0, 2.0}};
  EXPECT_EQ(fix.horizontalAccuracy, 0.0);
  EXPECT_LT(fix.verticalAccuracy, 0.0);
  EXPECT_LT(fix.speed, 0.0);
  EXPECT_LT(fix.course, 0.0);
}

TEST(PelkLocationModel, KeepsItsFiveValuesUnchanged) {
  const Location fix{.coordinate = {12.5, 77.25},
                     .altitude = 900.0,
                     .horizontalAccuracy = 5.0,
                     .verticalAccuracy = 3.0,
                     .speed = 1.5,
                     .course = 90.0,
                     .timestamp = std::chrono::system_clock::time_point{std::chrono::seconds{1'600'000'000}}};
  const PelkLocation l("u-1", "M", fix, "+0530", "2024-01-02T03:04:05.678Z");
  EXPECT_EQ(l.userId(), "u-1");
  EXPECT_EQ(l.activity(), "M");
  EXPECT_EQ(l.location(), fix);
  EXPECT_EQ(l.timezoneOffset(), "+0530");
  EXPECT_EQ(l.recordedAt(), "2024-01-02T03:04:05.678Z");
}

TEST(PelkLocationReceivedModel, ReadsEveryFieldByItsKind) {
  const json full = {{"activity", "M"},
                     {"altitude", 920},
                     {"course", 45.5},
                     {"event_source", "src"},
                     {"event_type", "location"},
                     {"event_version", "v1"},
                     {"horizontal_accuracy", 4.2},
                     {"location_id", "loc-1"},
                     {"recorded_at", "2024-01-01T00:00:00.000Z"},
                     {"speed", 4.0},
                     {"user_id", "u-2"},
                     {"vertical_accuracy", 3},
                     {"coordinates", {{"type", "Point"}, {"coordinates", {77.5946, 12.9716}}}}};
  const std::vector<ModelCase<PelkLocationReceived>> cases = {
      {"full message", full,
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.activity(), "M");
         EXPECT_EQ(m.altitude(), D(920.0));
         EXPECT_EQ(m.course(), D(45.5));
         EXPECT_EQ(m.eventSource(), "src");
         EXPECT_EQ(m.eventType(), "location");
         EXPECT_EQ(m.eventVersion(), "v1");
         EXPECT_EQ(m.horizontalAccuracy(), D(4.2));
         EXPECT_EQ(m.locationId(), "loc-1");
         EXPECT_EQ(m.recordedAt(), "2024-01-01T00:00:00.000Z");
         EXPECT_EQ(m.speed(), I(4));
         EXPECT_EQ(m.userId(), "u-2");
         EXPECT_EQ(m.verticalAccuracy(), D(3.0));
         EXPECT_EQ(m.longitude(), D(77.5946));
         EXPECT_EQ(m.latitude(), D(12.9716));
       }},
      {"empty message: every field null", json::object(),
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.activity(), std::nullopt);
         EXPECT_EQ(m.altitude(), std::nullopt);
         EXPECT_EQ(m.latitude(), std::nullopt);
         EXPECT_EQ(m.longitude(), std::nullopt);
         EXPECT_EQ(m.course(), std::nullopt);
         EXPECT_EQ(m.eventSource(), std::nullopt);
         EXPECT_EQ(m.eventType(), std::nullopt);
         EXPECT_EQ(m.eventVersion(), std::nullopt);
         EXPECT_EQ(m.horizontalAccuracy(), std::nullopt);
         EXPECT_EQ(m.locationId(), std::nullopt);
         EXPECT_EQ(m.recordedAt(), std::nullopt);
         EXPECT_EQ(m.speed(), std::nullopt);
         EXPECT_EQ(m.userId(), std::nullopt);
         EXPECT_EQ(m.verticalAccuracy(), std::nullopt);
       }},
      {"speed is whole, altitude is not", json{{"speed", 3.2}, {"altitude", 3.2}},
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.speed(), std::nullopt);
         EXPECT_EQ(m.altitude(), D(3.2));
       }},
      {"speed 0 is the integer 0", json{{"speed", 0}},
       [](const PelkLocationReceived& m) { EXPECT_EQ(m.speed(), I(0)); }},
      {"single coordinate gives both", json{{"coordinates", {{"coordinates", {5.5}}}}},
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.longitude(), D(5.5));
         EXPECT_EQ(m.latitude(), D(5.5));
       }},
      {"empty inner list leaves the position empty", json{{"coordinates", {{"coordinates", json::array()}}}},
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.longitude(), std::nullopt);
         EXPECT_EQ(m.latitude(), std::nullopt);
       }},
      {"list given directly", json{{"coordinates", {1.0, 2.0}}},
       [](const PelkLocationReceived& m) { EXPECT_EQ(m.latitude(), std::nullopt); }},
      {"text among the numbers", json{{"coordinates", {{"coordinates", {1.0, "2"}}}}},
       [](const PelkLocationReceived& m) { EXPECT_EQ(m.longitude(), std::nullopt); }},
      {"top-level latitude and longitude ignored", json{{"latitude", 1.0}, {"longitude", 2.0}},
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.latitude(), std::nullopt);
         EXPECT_EQ(m.longitude(), std::nullopt);
       }},
      {"text and booleans are not numbers", json{{"altitude", "12"}, {"course", true}, {"user_id", 5}},
       [](const PelkLocationReceived& m) {
         EXPECT_EQ(m.altitude(), std::nullopt);
         EXPECT_EQ(m.course(), std::nullopt);
         EXPECT_EQ(m.userId(), std::nullopt);
       }},
      {"not an object", json::array({full}), {}},
      {"null", json(nullptr), {}},
  };
  runModelCases(cases);
}

}  // namespace
}  // namespace pelk::test
