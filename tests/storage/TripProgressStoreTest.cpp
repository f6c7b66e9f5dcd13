#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/VuvivaZuvovo.h"
#include "platform/Console.h"
#include "TripStoreFixture.h"

namespace pelk {
namespace {

using test::fixAt;

class TripProgressTest : public test::TripStoreTest {
 protected:
  void startServerTrip(const std::string& tripId, const platform::Location& fix,
                       std::optional<std::string> locationId = "loc-start") {
    store_->saveTripData(fix, 0, now(), 0, locationId, kTripOngoing, tripId);
  }
  MyTrip row(const std::string& tripId) {
    auto r = store_->getTripData(tripId);
    EXPECT_TRUE(r);
    return r.value_or(MyTrip{});
  }
};

TEST_F(TripProgressTest, StartWritesOneRowWithItsFirstRoutePoint) {
  const std::string startedAt = now();
  store_->saveTripData(fixAt(12.97, 77.59), 0, startedAt, 0, std::nullopt, kTripOngoing, "t1");

  const auto trip = row("t1");
  EXPECT_EQ(trip.status, "ongoing");
  EXPECT_EQ(trip.start_time, startedAt);
  EXPECT_EQ(trip.update_time, startedAt);
  EXPECT_EQ(trip.location_count, 0);
  EXPECT_DOUBLE_EQ(trip.distance, 0);
  EXPECT_FALSE(trip.locationId);
  const auto route = store_->routeOf(trip);
  ASSERT_EQ(route.size(), 1u);
  EXPECT_EQ(route[0].activity, "s");
  EXPECT_EQ(route[0].recorded_at, startedAt);
  EXPECT_FALSE(route[0].location_id);
  EXPECT_EQ(route[0].entityId->size(), 24u);
  EXPECT_TRUE(store_->checkIfTripStarted("t1"));
  EXPECT_FALSE(store_->checkIfTripStarted("t2"));
}

TEST_F(TripProgressTest, OngoingTripAccruesOnlyWhileOngoing) {
  const auto a = fixAt(12.9700, 77.5900);
  const auto b = fixAt(12.9710, 77.5900);
  const auto c = fixAt(12.9720, 77.5910);
  const auto d = fixAt(12.9800, 77.6000);  // reached while paused
  const auto e = fixAt(12.9810, 77.6000);
  startServerTrip("t1", a);

  advance(30);
  store_->updateAllActiveTrips(b, "M");
  advance(20);
  store_->updateStatusOfTrip("t1", kTripPaused, c);  // accrues up to the pause
  advance(600);
  store_->updateAllActiveTrips(d, "M");                   // nothing for a paused trip
  EXPECT_NEAR(store_->getDuration(row("t1")), 50, 1e-6);  // a pause does not grow
  store_->updateStatusOfTrip("t1", kTripOngoing, d);      // resume restarts from d
  advance(10);
  store_->updateAllActiveTrips(e, "M");
  advance(5);
  EXPECT_NEAR(store_->getDuration(row("t1")), 65, 1e-6);  // live while ongoing
  store_->updateStatusOfTrip("t1", kTripEnd, e);

  const auto trip = row("t1");
  const double expected = a.distance(b) + b.distance(c) + d.distance(e);
  EXPECT_NEAR(trip.distance, expected, 1e-6);
  EXPECT_NEAR(trip.duration, 65, 1e-6);
  EXPECT_EQ(trip.location_count, 2);
  EXPECT_EQ(trip.status, "end");
  EXPECT_NEAR(store_->getDuration(trip), 65, 1e-6);
  const auto route = store_->routeOf(trip);
  ASSERT_EQ(route.size(), 3u);  // start point and the two ongoing positions
  EXPECT_EQ(route[1].activity, "M");
  EXPECT_DOUBLE_EQ(route[2].latitude, e.coordinate.latitude);
}

TEST_F(TripProgressTest, EndingAPausedTripAddsNothing) {
  startServerTrip("t1", fixAt(10, 10));
  advance(10);
  store_->updateStatusOfTrip("t1", kTripPaused, fixAt(10.001, 10));
  const auto paused = row("t1");
  advance(300);
  store_->updateStatusOfTrip("t1", kTripEnd, fixAt(11, 11));
  const auto ended = row("t1");
  EXPECT_DOUBLE_EQ(ended.distance, paused.distance);
  EXPECT_DOUBLE_EQ(ended.duration, paused.duration);
  EXPECT_EQ(ended.status, "end");
}

TEST_F(TripProgressTest, RepeatedPauseOrEndAddsNothing) {
  startServerTrip("t1", fixAt(10, 10));
  advance(10);
  store_->updateStatusOfTrip("t1", kTripEnd, fixAt(10.001, 10));
  const auto ended = row("t1");
  advance(3600);  // e.g. force-ended an hour later
  store_->updateStatusOfTrip("t1", kTripEnd, fixAt(12, 12));
  EXPECT_DOUBLE_EQ(row("t1").duration, ended.duration);
  EXPECT_DOUBLE_EQ(row("t1").distance, ended.distance);

  startServerTrip("t2", fixAt(10, 10));
  store_->updateStatusOfTrip("t2", kTripPaused, fixAt(10, 10));
  const auto paused = row("t2");
  advance(600);
  store_->updateStatusOfTrip("t2", kTripPaused, fixAt(11, 11));
  EXPECT_DOUBLE_EQ(row("t2").duration, paused.duration);
  EXPECT_DOUBLE_EQ(row("t2").distance, paused.distance);
}

TEST_F(TripProgressTest, PositionWithoutFiniteCoordinateLeavesProgressUntouched) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const platform::Location unusable[] = {fixAt(kNaN, 10), fixAt(10, kNaN), fixAt(kInf, 10), fixAt(10, -kInf),
                                         fixAt(kNaN, kNaN)};
  startServerTrip("t1", fixAt(10, 10));
  advance(10);
  store_->updateAllActiveTrips(fixAt(10.001, 10), "M");
  for (const auto& fix : unusable) {
    SCOPED_TRACE(std::to_string(fix.coordinate.latitude) + "," + std::to_string(fix.coordinate.longitude));
    const auto before = row("t1");
    const auto routeBefore = store_->routeOf(before).size();
    platform::Console::Capture console;
    store_->updateAllActiveTrips(fix, "M");
    const auto after = row("t1");
    EXPECT_EQ(after.distance, before.distance);
    EXPECT_EQ(after.latitude, before.latitude);
    EXPECT_EQ(after.longitude, before.longitude);
    EXPECT_EQ(after.location_count, before.location_count);
    EXPECT_EQ(after.update_time, before.update_time);
    EXPECT_EQ(store_->routeOf(before).size(), routeBefore);
    EXPECT_FALSE(console.lines().empty());
  }
  // A pause and an end at such a position change the status and the time only.
  const auto ongoing = row("t1");
  advance(5);
  store_->updateStatusOfTrip("t1", kTripPaused, fixAt(kNaN, kNaN));
  store_->updateStatusOfTrip("t1", kTripOngoing, fixAt(kInf, kInf));
  advance(5);
  store_->updateStatusOfTrip("t1", kTripEnd, fixAt(kNaN, 10));
  const auto ended = row("t1");
  EXPECT_EQ(ended.status, "end");
  EXPECT_DOUBLE_EQ(ended.distance, ongoing.distance);
  EXPECT_DOUBLE_EQ(ended.latitude, 10.001);
  EXPECT_DOUBLE_EQ(ended.longitude, 10);
  EXPECT_NEAR(ended.duration, ongoing.duration + 10, 1e-6);

  // Started without a place: no route point at (0, 0), and the distance is
  // measured from the first usable position on.
  startServerTrip("t2", fixAt(kNaN, kNaN));
  EXPECT_TRUE(store_->routeOf(row("t2")).empty());
  store_->updateAllActiveTrips(fixAt(45, 45), "M");
  store_->updateAllActiveTrips(fixAt(45.001, 45), "M");
  EXPECT_NEAR(row("t2").distance, fixAt(45, 45).distance(fixAt(45.001, 45)), 1e-6);
  EXPECT_EQ(store_->routeOf(row("t2")).size(), 2u);
}

// What the server's list of active trips leaves out, or lists as ended or
// deleted, no longer runs: its progress goes, so later positions are not added
// to it.  What was started after the list was asked for stays, and so do local
// trips.
TEST_F(TripProgressTest, ServerTripsTheServerNoLongerRunsLoseTheirProgress) {
  const auto listed = [](const std::string& id, bool ended, bool deleted) {
    return PelkTrip::fromDictionary(
        {{"id", id}, {"is_ended", ended}, {"is_deleted", deleted}, {"is_started", true}, {"is_paused", false}});
  };
  const auto noId = PelkTrip::fromDictionary({{"is_ended", false}, {"is_deleted", false}, {"is_started", true}});
  struct Case {
    const char* name;
    std::vector<std::shared_ptr<PelkTrip>> list;
    std::set<std::string> kept;
  };
  const std::vector<Case> cases = {
      {"complete list",
       {listed("running", false, false), listed("ended", true, false), listed("deleted", false, true)},
       {"running", "late", "local"}},
      {"an entry without an id",
       {listed("running", false, false), listed("ended", true, false), listed("deleted", false, true), noId},
       {"running", "gone", "late", "local"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sql("DELETE FROM MyTrip");
    sql("DELETE FROM TripsLocal");
    for (const char* id : {"running", "ended", "deleted", "gone"}) startServerTrip(id, fixAt(1, 1));
    createLocal("local");
    act1(Trip::Start, "local", fixAt(1, 1));
    const auto mark = store_->progressMark();
    startServerTrip("late", fixAt(1, 1));  // its start was recorded after the list was asked for
    store_->keepServerTrips(c.list, mark);
    std::set<std::string> kept;
    for (const auto& trip : store_->fetchAllTripData()) kept.insert(trip.tripId.value_or(""));
    EXPECT_EQ(kept, c.kept);
    for (const char* id : {"running", "ended", "deleted", "gone", "late", "local"}) {
      EXPECT_EQ(store_->getMyTripRouteDetails(id).empty(), !c.kept.count(id)) << id << ": its route goes with it";
    }
  }
  // A local trip ended the server's way keeps its progress for its sync.
  store_->endServerTrip("local", fixAt(1.001, 1));
  EXPECT_EQ(row("local").status, kTripEnd);
}

TEST_F(TripProgressTest, DurationNeverDecreases) {
  // A start time ahead of the clock (another device's clock) ...
  platform::Clock::advance(platform::seconds(120));
  const std::string future = now();
  platform::Clock::advance(platform::seconds(-120));
  store_->saveTripData(fixAt(10, 10), 0, future, 0, std::nullopt, kTripOngoing, "t1");
  EXPECT_EQ(store_->getDuration(row("t1")), 0);
  store_->updateAllActiveTrips(fixAt(10.001, 10), "M");
  EXPECT_EQ(row("t1").duration, 0);

  // ... and a clock moved back between positions add nothing.
  advance(30);
  store_->updateAllActiveTrips(fixAt(10.002, 10), "M");
  EXPECT_NEAR(row("t1").duration, 30, 1e-6);
  advance(-60);
  store_->updateAllActiveTrips(fixAt(10.003, 10), "M");
  EXPECT_NEAR(row("t1").duration, 30, 1e-6);
  store_->updateStatusOfTrip("t1", kTripPaused, fixAt(10.003, 10));
  EXPECT_NEAR(row("t1").duration, 30, 1e-6);
}

TEST_F(TripProgressTest, UnreadableUpdateTimeAccruesNothingAndRestartsTheClock) {
  store_->saveTripData(fixAt(10, 10), 0, "yesterday", 0, std::nullopt, kTripOngoing, "t1");
  EXPECT_EQ(store_->getDuration(row("t1")), 0);
  advance(40);
  store_->updateAllActiveTrips(fixAt(10.001, 10), "M");
  EXPECT_EQ(row("t1").duration, 0);
  advance(15);
  store_->updateAllActiveTrips(fixAt(10.002, 10), "M");
  EXPECT_NEAR(row("t1").duration, 15, 1e-6);
}

// An update time near the start of the clock lies further back than the
// clock's ticks can count from now; the time since must not wrap.
TEST_F(TripProgressTest, UpdateTimeFarInThePastAccruesTheWholeSpan) {
  const std::string longAgo = "1700-01-01T00:00:00.000Z";
  ASSERT_TRUE(parseIso8601(longAgo));
  const double span = platform::Clock::secondsSince1970(platform::Clock::now()) -
                      platform::Clock::secondsSince1970(*parseIso8601(longAgo));
  store_->saveTripData(fixAt(10, 10), 0, longAgo, 0, std::nullopt, kTripOngoing, "t1");
  EXPECT_NEAR(store_->getDuration(row("t1")), span, 1.0);
}

TEST_F(TripProgressTest, RepeatedStartResetsTheRowInPlace) {
  startServerTrip("t1", fixAt(10, 10));
  advance(60);
  store_->updateAllActiveTrips(fixAt(10.01, 10), "M");
  store_->updateStatusOfTrip("t1", kTripEnd, fixAt(10.02, 10));
  const std::string restartAt = now();
  store_->saveTripData(fixAt(20, 20), 0, restartAt, 0, "loc-2", kTripOngoing, "t1");

  EXPECT_EQ(store_->getAllTripData("t1").size(), 1u);
  const auto trip = row("t1");
  EXPECT_EQ(trip.status, "ongoing");
  EXPECT_EQ(trip.start_time, restartAt);
  EXPECT_EQ(trip.distance, 0);
  EXPECT_EQ(trip.duration, 0);
  EXPECT_EQ(trip.location_count, 0);
  EXPECT_EQ(trip.locationId, "loc-2");
  EXPECT_EQ(count("MyTripRoute", "tripId", "t1"), 1);
  EXPECT_TRUE(store_->checkIfTripStarted("t1"));
}

TEST_F(TripProgressTest, OnePositionSharesItsLocationIdAcrossOngoingTrips) {
  startServerTrip("a", fixAt(10, 10));
  startServerTrip("b", fixAt(10, 10));
  startServerTrip("c", fixAt(10, 10));
  store_->updateStatusOfTrip("c", kTripPaused, fixAt(10, 10));
  store_->updateAllActiveTrips(fixAt(10.001, 10), "S");

  const auto ra = store_->routeOf(row("a"));
  const auto rb = store_->routeOf(row("b"));
  ASSERT_EQ(ra.size(), 2u);
  ASSERT_EQ(rb.size(), 2u);
  ASSERT_TRUE(ra[1].location_id);
  EXPECT_EQ(ra[1].location_id, rb[1].location_id);
  EXPECT_NE(ra[1].entityId, rb[1].entityId);
  EXPECT_EQ(store_->routeOf(row("c")).size(), 1u);

  // No ongoing trip: nothing changes.
  for (const auto* id : {"a", "b"}) store_->updateStatusOfTrip(id, kTripEnd, fixAt(10.001, 10));
  store_->updateAllActiveTrips(fixAt(11, 11), "M");
  EXPECT_EQ(total("MyTripRoute"), 5);
}

TEST_F(TripProgressTest, SpeedAndPaceNeverCarryNaN) {
  struct Case {
    double distance, duration, speed, pace;
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto& c : std::vector<Case>{{0, 0, 0, 0}, {100, 0, 0, 0}, {0, 10, 0, inf}, {100, 50, 2, 0.5}}) {
    SCOPED_TRACE(testing::Message() << c.distance << " m in " << c.duration << " s");
    EXPECT_EQ(tripSpeed(c.distance, c.duration), c.speed);
    if (c.distance == 100 && c.duration == 0) continue;  // pace of a jump is not asked for
    EXPECT_EQ(tripPace(c.duration, c.distance), c.pace);
  }

  // A trip just started answers 0 for everything, then grows with the clock.
  startServerTrip("t1", fixAt(10, 10));
  std::optional<PelkTripListener> value;
  store_->getTripListener("t1", [&](std::optional<PelkTripListener> v, std::optional<PelkError> e) {
    EXPECT_FALSE(e);
    value = v;
  });
  ASSERT_TRUE(value);
  EXPECT_EQ(value->speed(), 0);
  EXPECT_EQ(value->duration(), 0);
  const auto status = store_->getTripStatusListener("t1");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->pace(), 0);
  advance(10);
  store_->getTripListener("t1", [&](std::optional<PelkTripListener> v, std::optional<PelkError>) { value = v; });
  EXPECT_NEAR(value->duration(), 10, 1e-6);
  EXPECT_EQ(value->speed(), 0);
}

TEST_F(TripProgressTest, QueriesOfATripWithoutProgress) {
  std::optional<PelkError> error;
  bool called = false;
  store_->getTripListener("nope", [&](std::optional<PelkTripListener> v, std::optional<PelkError> e) {
    called = true;
    EXPECT_FALSE(v);
    error = e;
  });
  ASSERT_TRUE(called);
  EXPECT_EQ(error, PelkError("QB402", "Trip not yet started"));
  EXPECT_FALSE(store_->getTripStatusListener("nope"));
  EXPECT_EQ(store_->tripListener("nope"), (std::map<std::string, std::string>{{"distance", ""}, {"time", ""}}));
  store_->updateStatusOfTrip("nope", kTripPaused, fixAt(1, 1));  // ignored
  EXPECT_TRUE(store_->fetchAllTripData().empty());

  startServerTrip("t1", fixAt(10, 10));
  EXPECT_EQ(store_->tripListener("t1").at("distance"), "0.0");
}

TEST_F(TripProgressTest, StatusFeedSendsOnlyWhileOngoing) {
  std::vector<PelkTripStatusListener> received;
  tripstore::links::didReceiveTripStatus.set([&](const PelkTripStatusListener& s) { received.push_back(s); });

  startServerTrip("t1", fixAt(10, 10));
  advance(20);
  const auto p = fixAt(10.001, 10.002);
  store_->updateAllActiveTrips(p, "M");
  store_->sendTripStatusIfOngoing("t1");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].tripId(), "t1");
  EXPECT_DOUBLE_EQ(received[0].latitude(), 10.001);
  EXPECT_DOUBLE_EQ(received[0].longitude(), 10.002);
  EXPECT_NEAR(received[0].duration(), 20, 1e-6);
  EXPECT_NEAR(received[0].speed(), received[0].distance() / 20, 1e-9);

  store_->updateStatusOfTrip("t1", kTripPaused, p);
  store_->sendTripStatusIfOngoing("t1");
  store_->sendTripStatusIfOngoing("unknown");
  EXPECT_EQ(received.size(), 1u);
  store_->updateStatusOfTrip("t1", kTripOngoing, p);
  store_->sendTripStatusIfOngoing("t1");
  EXPECT_EQ(received.size(), 2u);
}

TEST_F(TripProgressTest, TripIdsAreMatchedExactlyWhateverTheyHold) {
  const std::string tricky = "it's' OR '1'='1";
  startServerTrip(tricky, fixAt(10, 10));
  startServerTrip("plain", fixAt(10, 10));
  EXPECT_TRUE(store_->checkIfTripStarted(tricky));
  EXPECT_FALSE(store_->checkIfTripStarted("it's"));
  EXPECT_EQ(store_->getAllTripData(tricky).size(), 1u);
  EXPECT_EQ(row(tricky).tripId, tricky);
}

TEST_F(TripProgressTest, LocationCountStopsAtItsLimit) {
  startServerTrip("t1", fixAt(10, 10));
  sql("UPDATE MyTrip SET location_count = 32767");
  store_->updateAllActiveTrips(fixAt(10.001, 10), "M");
  EXPECT_EQ(row("t1").location_count, 32767);
}

TEST_F(TripProgressTest, PositionsAndStatusChangesFromSeveralThreads) {
  startServerTrip("t1", fixAt(10, 10));
  startServerTrip("t2", fixAt(10, 10));
  std::thread positions([&] {
    for (int i = 0; i < 40; ++i) store_->updateAllActiveTrips(fixAt(10 + i * 1e-4, 10), "M");
  });
  std::thread actions([&] {
    for (int i = 0; i < 20; ++i) {
      store_->updateStatusOfTrip("t2", i % 2 ? kTripOngoing : kTripPaused, fixAt(10, 10));
      store_->getTripStatusListener("t1");
    }
  });
  positions.join();
  actions.join();
  const auto t1 = row("t1");
  EXPECT_EQ(t1.location_count, 40);
  EXPECT_EQ(store_->routeOf(t1).size(), 41u);
  EXPECT_EQ(row("t2").status, "ongoing");
}

}  // namespace
}  // namespace pelk
