#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "foundation/DateExtensions.h"
#include "foundation/LoggerManager.h"
#include "messaging/LocationUtils.h"
#include "messaging/LocationMessageFixture.h"
#include "platform/SettingValue.h"
#include "support/FixBuilder.h"

namespace pelk {
namespace {

using platform::seconds;

// A fix at (latitude, longitude) taken `age` seconds before now.
platform::Location fix(double latitude, double longitude, double age = 0, double accuracy = 5) {
  return test::FixBuilder(latitude, longitude).accuracy(accuracy).takenAt(test::kNow - seconds(age));
}

// The point `metres` north of (lat, 13.4) on the kit's sphere.
platform::Location northOf(double latitude, double metres, double age) {
  const double degrees = metres / platform::greatCircleDistance({0, 0}, {1, 0});
  return fix(latitude + degrees, 13.4, age);
}

using PositionHistoryTest = test::LocationMessageTest;

TEST_F(PositionHistoryTest, FixesAreKeptOrRejectedByAgeAndAccuracy) {
  struct Case {
    std::int64_t mode;  // stored tracking mode, 0 none
    std::optional<double> customLimit;
    double age, accuracy;
    bool kept;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {1, {}, 10.0, 5, true},  {1, {}, 10.1, 5, false},  {1, {}, -30, 5, true},  // stamped in the future
      {1, {}, 0, 100, true},   {1, {}, 0, 100.1, false}, {2, {}, 0, 75, true},   {2, {}, 0, 75.5, false},
      {3, {}, 0, 50, true},    {3, {}, 0, 50.01, false}, {1, {}, 0, -1, false},  {0, {}, 0, -1, false},
      {4, 20.0, 0, -1, false}, {0, {}, 0, 5000, true},   {4, 20.0, 0, 20, true}, {4, 20.0, 0, 21, false},
      {4, {}, 0, 5000, true},  // no custom limit stored: every valid fix passes
      {3, {}, 0, nan, false},  {0, {}, 0, nan, false},   {4, {}, 0, nan, false},  // an unknown accuracy never passes
      {9, {}, 0, 5000, true},  // an unknown stored mode counts as none
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + ", age " + std::to_string(c.age) + ", accuracy " +
                 std::to_string(c.accuracy));
    SharedUtil::setDefaultInteger(c.mode, kTrackingOption);
    SharedUtil::removeKey(kCustomAccuracyFilter);
    if (c.customLimit) SharedUtil::setDefaultDouble(*c.customLimit, kCustomAccuracyFilter);
    EXPECT_EQ(LocationUtils::filterAndAddLocation(fix(52, 13, c.age, c.accuracy)), c.kept);
  }
}

// A fix the location service handed over is as old as the time since then on
// the steady clock; its time stamp (the receiver's clock) does not count.
TEST_F(PositionHistoryTest, AFixIsAsOldAsTheTimeSinceItWasReceived) {
  struct Case {
    double receivedAgo;  // seconds, steady clock
    double stampAge;     // seconds before the host's clock
    bool kept;
  };
  const Case cases[] = {{0, 3600, true}, {0, -3600, true}, {10, 0, true}, {10.1, 0, false}, {10.1, -20, false}};
  SharedUtil::setDefaultInteger(1, kTrackingOption);
  for (const auto& c : cases) {
    SCOPED_TRACE("received " + std::to_string(c.receivedAgo) + " s ago, stamped " + std::to_string(c.stampAge));
    auto f = fix(52, 13, c.stampAge);
    f.receivedAt = platform::Clock::steadyNow() - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(c.receivedAgo));
    EXPECT_EQ(LocationUtils::filterAndAddLocation(f), c.kept);
  }
}

TEST_F(PositionHistoryTest, SpeedIsMeasuredAgainstTheStoredLastLocation) {
  EXPECT_EQ(LocationUtils::speedCalculate(fix(52, 13)), 0) << "nothing stored";
  const auto start = fix(52, 13.4, 10);
  struct Case {
    const char* name;
    platform::Location last, next;
    double kmh;
  };
  const Case cases[] = {
      {"100 m in 10 s", start, northOf(52, 100, 0), 36.0},
      {"1 m in 3 s", start, northOf(52, 1, 7), 1.2},
      {"an older fix", start, northOf(52, 100, 20), 0},
      {"the same fix", start, start, 0},
      {"same time and place", start, fix(52, 13.4, 10, 9), 0},
      {"same time, elsewhere", start, northOf(52, 100, 10), std::numeric_limits<double>::infinity()},
      {"last on the equator counts as none", fix(0, 13.4, 10), northOf(0, 100, 0), 0},
      {"last on the prime meridian counts as none", fix(52, 0, 10), northOf(52, 100, 0), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LocationUtils::saveLocation(c.last);
    EXPECT_EQ(LocationUtils::speedCalculate(c.next), c.kmh);
  }
  // The stored last location comes back as stored.
  LocationUtils::saveLocation(start);
  const auto last = LocationUtils::getLastLocation();
  EXPECT_EQ(last.coordinate, start.coordinate);
  EXPECT_EQ(last.horizontalAccuracy, 5);
  EXPECT_EQ(last.timestamp, start.timestamp);
  EXPECT_FALSE(LocationUtils::distanceFilter(northOf(52, 149.9, 0)));
  EXPECT_TRUE(LocationUtils::distanceFilter(northOf(52, 150.1, 0)));
  LocationUtils::resetlocation();
  EXPECT_EQ(LocationUtils::getLastLocation().coordinate, (platform::Coordinate{0, 0}));
  EXPECT_FALSE(SharedUtil::userDefaultValue()->value(kIsLocationTracking)->boolValue().value_or(true));
}

TEST_F(PositionHistoryTest, TheMeanSpeedPicksTheGeofenceRadiusBand) {
  struct Case {
    std::vector<double> speeds;
    std::int64_t radius;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {{10}, 100}, {{10.4}, 100}, {{10.5}, 200}, {{0, 20}, 100},     {{20}, 200},
      {{25}, 300}, {{30.4}, 300}, {{31}, 400},   {{50}, 400},        {{60, 70}, 500},
      {{70}, 500}, {{85}, 700},   {{100}, 700},  {{100.5}, 1000},    {{400, 600}, 1000},
      {{-3}, 100}, {{}, 100},     {{inf}, 1000}, {{inf, -inf}, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.speeds));
    EXPECT_EQ(LocationUtils::getSpeed(c.speeds), c.radius);
  }
}

TEST_F(PositionHistoryTest, SpeedLogLinesWriteNumbersInTheirShortestForm) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  LocationUtils::getSpeed({12, 3.5, 0.1});
  const auto log = test::readFile(LoggerManager::fileUrl());
  EXPECT_NE(log.find("Array Speed [12.0, 3.5, 0.1]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Average Speed 5.0\n"), std::string::npos) << log;
}

TEST_F(PositionHistoryTest, SpeedHistoryGrowsAtTheFrontAndDropsTheOldest) {
  EXPECT_TRUE(LocationUtils::getAllSpeed().empty());
  LocationUtils::deleteSpeed();  // nothing stored: nothing happens
  LocationUtils::saveLocation(fix(52, 13.4, 10));
  LocationUtils::saveSpeed(northOf(52, 100, 0));  // 36 km/h
  LocationUtils::saveSpeed(fix(52, 13.4, 20));    // older: 0
  LocationUtils::saveSpeed(northOf(52, 50, 0));   // 18 km/h
  EXPECT_EQ(LocationUtils::getAllSpeed(), (std::vector<double>{18, 0, 36}));
  LocationUtils::deleteSpeed();
  EXPECT_EQ(LocationUtils::getAllSpeed(), (std::vector<double>{18, 0}));
  LocationUtils::resetSpeed();
  EXPECT_FALSE(SharedUtil::userDefaultValue()->value(kMotionSpeed));

  // A stored history that is not a list of numbers reads as empty and is removed.
  SharedUtil::setDefaultArray({"fast"}, kMotionSpeed);
  EXPECT_TRUE(LocationUtils::getAllSpeed().empty());
  LocationUtils::deleteSpeed();
  EXPECT_FALSE(SharedUtil::userDefaultValue()->value(kMotionSpeed));
  // An empty list stays as it is.
  SharedUtil::setDefaultArray({}, kMotionSpeed);
  LocationUtils::deleteSpeed();
  EXPECT_TRUE(SharedUtil::userDefaultValue()->value(kMotionSpeed));
}

TEST_F(PositionHistoryTest, OneShotTimeoutIsThreeSeconds) {
  EXPECT_FALSE(LocationUtils::getCurrentLcoation30After()) << "no request stored";
  SharedUtil::setDefaultDate(platform::Clock::now(), kCurrentLocationTimer);
  platform::Clock::advance(seconds(2));
  EXPECT_FALSE(LocationUtils::getCurrentLcoation30After());
  platform::Clock::advance(seconds(2));
  EXPECT_TRUE(LocationUtils::getCurrentLcoation30After());
}

TEST_F(PositionHistoryTest, VisitTimeIsTheFirstRealDateOfTheVisit) {
  const auto arrival = test::kNow - std::chrono::hours(2);
  const auto departure = test::kNow - std::chrono::hours(1);
  struct Case {
    const char* name;
    VisitTimes visit;
    platform::TimePoint stored;
  };
  const Case cases[] = {
      {"arrival known", {arrival, departure}, arrival},
      {"arrival known, still there", {arrival, VisitTimes::distantFuture()}, arrival},
      {"only the departure known", {VisitTimes::distantPast(), departure}, departure},
      {"neither known", {VisitTimes::distantPast(), VisitTimes::distantFuture()}, test::kNow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LocationUtils::saveVisitTime(c.visit);
    EXPECT_EQ(SharedUtil::getDefaultString(kVisitDate), iso8601(c.stored));
  }
}

TEST_F(PositionHistoryTest, GeofenceIdentifiersAreFreshAndPrefixed) {
  const auto a = LocationUtils::geofenceIdentifier();
  const auto b = LocationUtils::geofenceIdentifier();
  EXPECT_NE(a, b);
  const std::string prefix = KGeofenceRegionIdentifier;
  ASSERT_EQ(a.size(), prefix.size() + 36);
  EXPECT_EQ(a.substr(0, prefix.size()), prefix);
  EXPECT_EQ(a.substr(prefix.size()).find_first_not_of("0123456789ABCDEF-"), std::string::npos) << a;
}

}  // namespace
}  // namespace pelk
