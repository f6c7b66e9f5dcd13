#include "tracking/BaseCLManager.h"

#include <cmath>
#include <limits>

#include "platform/Console.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

class BaseCLManagerTest : public TrackingTest {
 protected:
  BaseCLManagerTest() {
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    platform::Dispatch::drainMain();
  }
  BaseCLManager& base() { return BaseCLManager::sharedInstance(); }
  void deliver(const platform::Location& fix) { base().didUpdateLocations(*base().manager(), {fix}); }
  struct Answers {
    std::vector<std::optional<platform::Location>> fixes;
    std::vector<std::optional<PelkError>> errors;
  };
  BaseCLManager::Handler recordInto(std::shared_ptr<Answers> a) {
    return [a](std::optional<platform::Location> fix, std::optional<PelkError> error) {
      a->fixes.push_back(fix);
      a->errors.push_back(error);
    };
  }
};

TEST_F(BaseCLManagerTest, AccuracyIsTruncatedAndInvalidAccuracyNeverAccepted) {
  const struct {
    double accuracy;
    bool accepted;
  } cases[] = {{100.9, true},
               {100.0, true},
               {101.0, false},
               {-1.0, false},
               {std::numeric_limits<double>::quiet_NaN(), false},
               {5.0, true},
               // Past what an integer holds (a receiver's error estimate gone wild).
               {1e19, false},
               {1e300, false},
               {std::numeric_limits<double>::infinity(), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.accuracy);
    auto answers = std::make_shared<Answers>();
    base().getCurrentLocation(100, recordInto(answers));
    deliver(fixAt(52.5, 13.4, c.accuracy));
    EXPECT_EQ(answers->fixes.size(), c.accepted ? 1u : 0u);
    base().resetForTesting();
    platform::Dispatch::drainMain();
  }
}

TEST_F(BaseCLManagerTest, AFixWithoutFiniteCoordinatesServesNoRequest) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  const struct { double lat, lon; } cases[] = {{nan, 13.4}, {52.5, nan}, {nan, nan}, {inf, 13.4}, {52.5, -inf}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.lat << "," << c.lon);
    auto app = std::make_shared<Answers>();
    auto trip = std::make_shared<Answers>();
    base().getCurrentLocation(100, recordInto(app));
    base().startTrip(recordInto(trip));
    deliver(fixAt(c.lat, c.lon, 5));
    EXPECT_EQ(app->fixes.size(), 0u);
    EXPECT_EQ(trip->fixes.size(), 0u);
    EXPECT_EQ(base().pendingCount(), 2u);
    // The next real position still serves both.
    deliver(fixAt(52.5, 13.4, 5));
    ASSERT_EQ(app->fixes.size(), 1u);
    EXPECT_EQ(app->fixes[0]->coordinate.latitude, 52.5);
    EXPECT_EQ(trip->fixes.size(), 1u);
    base().resetForTesting();
    platform::Dispatch::drainMain();
  }
}

TEST_F(BaseCLManagerTest, PendingRequestsAreNeverReplacedAndEachMeetsItsOwnAccuracy) {
  auto wide = std::make_shared<Answers>();
  auto narrow = std::make_shared<Answers>();
  base().getCurrentLocation(100, recordInto(wide));
  base().getCurrentLocation(20, recordInto(narrow));
  deliver(fixAt(52.5, 13.4, 60));
  EXPECT_EQ(wide->fixes.size(), 1u);
  EXPECT_EQ(narrow->fixes.size(), 0u);
  // The queued stop finds the narrow request still waiting: updates go on.
  platform::Dispatch::drainMain();
  EXPECT_TRUE(base().manager()->isUpdatingLocation());
  EXPECT_TRUE(base().manager()->hasDelegate());
  deliver(fixAt(52.5, 13.4, 15));
  EXPECT_EQ(narrow->fixes.size(), 1u);
  EXPECT_EQ(wide->fixes.size(), 1u);
  platform::Dispatch::drainMain();
  EXPECT_FALSE(base().manager()->isUpdatingLocation());
  EXPECT_EQ(base().lcoationAccuracy(), 100);
}

TEST_F(BaseCLManagerTest, ARequestMadeBeforeTheQueuedStopKeepsItsUpdates) {
  auto first = std::make_shared<Answers>();
  auto second = std::make_shared<Answers>();
  base().getCurrentLocation(100, recordInto(first));
  deliver(fixAt(52.5, 13.4, 10));
  base().getCurrentLocation(100, recordInto(second));
  platform::Dispatch::drainMain();
  EXPECT_TRUE(base().manager()->isUpdatingLocation());
  sim_->deliverFix(fixAt(52.6, 13.4, 10));
  platform::Dispatch::drainMain();
  EXPECT_EQ(second->fixes.size(), 1u);
}

TEST_F(BaseCLManagerTest, DeniedAuthorizationFailsEveryAppRequestAndClearsTheRetryFlag) {
  auto current1 = std::make_shared<Answers>();
  auto current2 = std::make_shared<Answers>();
  auto trip = std::make_shared<Answers>();
  base().getCurrentLocation(10, recordInto(current1));
  base().getCurrentLocation(10, recordInto(current2));
  base().startTrip(recordInto(trip));
  SharedUtil::setDefaultBoolean(true, kIsLocationUpdating);
  base().updateCurrentLocationImproveAccuracy(50);
  platform::Dispatch::drainMain();
  sim_->setAuthorization(platform::AuthorizationStatus::denied);
  platform::Dispatch::drainMain();
  for (auto* a : {current1.get(), current2.get(), trip.get()}) {
    ASSERT_EQ(a->errors.size(), 1u);
    ASSERT_TRUE(a->errors[0]);
    EXPECT_EQ(a->errors[0]->code(), "QB408");
    EXPECT_EQ(a->errors[0]->message(), "Location services error or permissions not granted");
    EXPECT_FALSE(a->fixes[0]);
  }
  EXPECT_EQ(base().pendingCount(), 0u);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationUpdating));
  EXPECT_FALSE(base().manager()->isUpdatingLocation());
}

TEST_F(BaseCLManagerTest, OtherFailureFailsOnlyTheTripStart) {
  auto current = std::make_shared<Answers>();
  auto trip = std::make_shared<Answers>();
  base().getCurrentLocation(10, recordInto(current));
  base().startTrip(recordInto(trip));
  base().didFailWithError(*base().manager(), {platform::LocationErrorCode::locationUnknown, "no fix"});
  ASSERT_EQ(trip->errors.size(), 1u);
  EXPECT_EQ(trip->errors[0]->code(), "QB408");
  EXPECT_TRUE(current->fixes.empty());
  EXPECT_EQ(base().pendingCount(), 1u);
}

TEST_F(BaseCLManagerTest, TripStartTakesAnyFixAfterThreeSeconds) {
  auto trip = std::make_shared<Answers>();
  base().startTrip(recordInto(trip));
  deliver(fixAt(52.5, 13.4, 500));
  EXPECT_TRUE(trip->fixes.empty());
  platform::Dispatch::advanceClock(3100ms);
  deliver(fixAt(52.5, 13.4, 500));
  ASSERT_EQ(trip->fixes.size(), 1u);
  EXPECT_FALSE(SharedUtil::userDefaultValue()->value(kCurrentLocationTimer).has_value());
}

TEST_F(BaseCLManagerTest, AccuracyRetrySendsMovingFixToTheSinkOnceAndClearsItsFlag) {
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kIsLocationUpdating);
  base().updateCurrentLocationImproveAccuracy(50);
  base().updateCurrentLocationImproveAccuracy(50);
  EXPECT_EQ(base().pendingCount(), 1u);
  deliver(fixAt(52.5, 13.4, 80));
  EXPECT_EQ(deliveredCount(), 0u);
  deliver(fixAt(52.5, 13.4, 40));
  ASSERT_EQ(deliveredCount(), 1u);
  EXPECT_EQ(rec_->delivered[0].second, "M");
  EXPECT_EQ(publishedCount(), 1u);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationUpdating));
}

// No request waits for ever.  Each kind, with what it saw before its bound
// (fixes coarser than it asked for, or none), and what it gets at the bound;
// afterwards nothing is pending and the updates are off.
TEST_F(BaseCLManagerTest, EveryRequestEndsAtItsBound) {
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  enum class Kind { current, manualUpdate, retry, trip };
  const struct {
    const char* name;
    Kind kind;
    std::vector<double> seen;  // accuracies of the fixes that came, in order
    platform::Duration bound;
    std::optional<double> answered;  // the accuracy of the fix it gets; none: QB408 / nothing sent
  } cases[] = {
      {"current location: the best fix seen", Kind::current, {21, 15, 18}, BaseCLManager::kRequestBound, 15},
      {"current location: no fix", Kind::current, {}, BaseCLManager::kRequestBound, std::nullopt},
      {"manual update: the best fix seen", Kind::manualUpdate, {21, 15, 18}, BaseCLManager::kRequestBound, 15},
      {"manual update: no fix", Kind::manualUpdate, {}, BaseCLManager::kRequestBound, std::nullopt},
      {"retry: nothing coarser than asked", Kind::retry, {80, 70}, BaseCLManager::kRequestBound, std::nullopt},
      {"trip start: no fix", Kind::trip, {}, BaseCLManager::kTripStartBound, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Dispatch::advanceClock(1s);
    {
      std::lock_guard lock(rec_->mutex);
      rec_->delivered.clear();
      rec_->published.clear();
    }
    SharedUtil::setDefaultBoolean(c.kind == Kind::retry, kIsLocationUpdating);
    platform::Console::Capture console;
    auto answers = std::make_shared<Answers>();
    switch (c.kind) {
      case Kind::current:
        base().getCurrentLocation(10, recordInto(answers));
        break;
      case Kind::manualUpdate:
        base().updateCurrentLocation(10);
        break;
      case Kind::retry:
        base().updateCurrentLocationImproveAccuracy(50);
        break;
      case Kind::trip:
        base().startTrip(recordInto(answers));
        break;
    }
    double lat = 52.5;
    for (double accuracy : c.seen) {
      sim_->deliverFix(fixAt(lat += 0.0001, 13.4, accuracy));
      platform::Dispatch::drainMain();
    }
    platform::Dispatch::advanceClock(c.bound - 1s);
    EXPECT_EQ(base().pendingCount(), 1u) << "answered before its bound";
    platform::Dispatch::advanceClock(1s);
    EXPECT_EQ(base().pendingCount(), 0u);
    EXPECT_FALSE(base().manager()->isUpdatingLocation()) << "the stream stops once nothing waits";
    EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationUpdating));
    if (c.kind == Kind::current || c.kind == Kind::trip) {
      ASSERT_EQ(answers->fixes.size(), 1u);
      if (c.answered) {
        ASSERT_TRUE(answers->fixes[0]);
        EXPECT_EQ(answers->fixes[0]->horizontalAccuracy, *c.answered);
        EXPECT_FALSE(answers->errors[0]);
      } else {
        EXPECT_FALSE(answers->fixes[0]);
        ASSERT_TRUE(answers->errors[0]);
        EXPECT_EQ(answers->errors[0]->code(), "QB408");
      }
    } else {
      // Only the app's own update, which has no handler, says that nothing came.
      const bool said = console.contains("Current location not updated: no position came in time");
      EXPECT_EQ(said, c.kind == Kind::manualUpdate && !c.answered);
      EXPECT_EQ(console.lines(platform::Console::Level::Error).size(), said ? 1u : 0u);
      std::lock_guard lock(rec_->mutex);
      ASSERT_EQ(rec_->delivered.size(), c.answered ? 1u : 0u);
      if (c.answered) {
        EXPECT_EQ(rec_->delivered[0].first.horizontalAccuracy, *c.answered);
        EXPECT_EQ(rec_->delivered[0].second, "S");
        ASSERT_EQ(rec_->published.size(), 1u);
        EXPECT_NE(rec_->published[0].find("\"tracking_mode\":\"manual\""), std::string::npos) << rec_->published[0];
      }
    }
  }
}

// The app's update and a mode's retry wait together; one fix meets both.  It
// goes into the sink once, as the app's update.
TEST_F(BaseCLManagerTest, OneFixServingTheAppsUpdateAndARetryEntersTheSinkOnce) {
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kIsLocationUpdating);
  base().updateCurrentLocation(100);
  base().updateCurrentLocationImproveAccuracy(50);
  ASSERT_EQ(base().pendingCount(), 2u);
  sim_->deliverFix(fixAt(52.5, 13.4, 30));
  platform::Dispatch::drainMain();
  EXPECT_EQ(base().pendingCount(), 0u);
  EXPECT_EQ(activities(), std::vector<std::string>{"S"});
  EXPECT_EQ(publishedCount(), 1u);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationUpdating));
}

}  // namespace
}  // namespace pelk::test
