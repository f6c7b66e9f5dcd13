#include "tracking/PelkActiveTracking.h"

#include <limits>

#include "messaging/LocationUtils.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

class ActiveTrackingTest : public TrackingTest {
 protected:
  ActiveTrackingTest() {
    SharedUtil::setDefaultInteger(3, kTrackingOption);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    active().resetFirstCallForTesting();
    active().startTracking();
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    platform::Dispatch::drainMain();
  }
  ~ActiveTrackingTest() override {
    active().stopTracking();
    platform::Dispatch::drainMain();
  }
  PelkActiveTracking& active() { return PelkActiveTracking::shareInstance(); }
  std::size_t ownGeofences() {
    std::size_t n = 0;
    for (auto& r : platform::LocationServices::monitoredRegions()) {
      if (r.identifier.rfind(KGeofenceRegionIdentifier, 0) == 0) ++n;
    }
    return n;
  }
};

TEST_F(ActiveTrackingTest, FirstFixIsStationaryThenMovingWithOneGeofenceAndPublished) {
  deliver(52.5, 30);
  deliver(52.5003, 30);
  deliver(52.5006, 30);
  EXPECT_EQ(activities(), (std::vector<std::string>{"S", "M", "M"}));
  EXPECT_EQ(publishedCount(), 3u);
  EXPECT_EQ(ownGeofences(), 1u);
  EXPECT_EQ(active().locationManager()->distanceFilter(), 25.0);
}

TEST_F(ActiveTrackingTest, WithoutTheFilterOnlyFixesWithinAHundredMetresPass) {
  deliver(52.5, 30);  // the first fix
  const struct {
    double accuracy;
    bool passes;
  } cases[] = {{100.0, true}, {100.1, false}, {20.0, true}};
  double lat = 52.5;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.accuracy);
    const auto before = deliveredCount();
    lat += 0.0003;  // stays inside the geofence: no exit
    deliver(lat, c.accuracy);
    EXPECT_EQ(deliveredCount() - before, c.passes ? 1u : 0u);
  }
}

// The 10 s age test counts from when the fix was received, on a clock the
// host's clock setting does not move: a receiver's time an hour off the host's
// clock (either way, or the host's clock set while tracking) refuses nothing,
// and the position keeps the receiver's time.
TEST_F(ActiveTrackingTest, TheAgeTestIgnoresHowFarTheHostClockIsFromTheReceiver) {
  SharedUtil::setDefaultBoolean(true, kAccuracyFilter);
  deliver(52.5, 30);  // the first fix
  const struct {
    const char* name;
    std::chrono::hours receiverOffset;  // receiver's time minus the host's
    std::chrono::hours hostClockStep;   // the host's clock set before the fix
  } cases[] = {
      {"receiver an hour behind", -1h, 0h},
      {"receiver an hour ahead", 1h, 0h},
      {"host clock set an hour forward", 0h, 1h},
      {"host clock set two hours back", 0h, -2h},
  };
  double lat = 52.5;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Clock::setVirtualNow(platform::Clock::now() + c.hostClockStep);
    const auto receiverTime = platform::Clock::now() + c.receiverOffset;
    const auto before = deliveredCount();
    lat += 0.0003;
    sim_->deliverFix(fixAt(lat, 13.4, 30, receiverTime));
    platform::Dispatch::drainMain();
    ASSERT_EQ(deliveredCount(), before + 1);
    std::lock_guard lock(rec_->mutex);
    EXPECT_EQ(rec_->delivered.back().second, "M");
    EXPECT_EQ(rec_->delivered.back().first.timestamp, receiverTime);
  }
}

// A position received more than 10 s ago is stale whatever its time stamp
// says: the manager's last known position, handed on after a quiet spell, is
// refused by the gate.
TEST_F(ActiveTrackingTest, AFixReceivedMoreThanTenSecondsAgoIsRefused) {
  SharedUtil::setDefaultBoolean(true, kAccuracyFilter);
  deliver(52.5, 30);  // the first fix
  sim_->deliverFix(fixAt(52.5003, 13.4, 30));
  platform::Dispatch::drainMain();
  const auto last = active().locationManager()->location();
  ASSERT_TRUE(last);
  EXPECT_TRUE(LocationUtils::filterAndAddLocation(*last));
  platform::Dispatch::advanceClock(11s);
  platform::Clock::setVirtualNow(last->timestamp);  // the host's clock says no time passed
  EXPECT_FALSE(LocationUtils::filterAndAddLocation(*last));
}

TEST_F(ActiveTrackingTest, AFixWithoutAUsableAccuracyOrPositionIsNeverSentFilterOnOrOff) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  deliver(52.5, 30);  // the first fix
  const struct {
    double lat, accuracy;
  } cases[] = {{52.5003, nan}, {52.5003, -1.0}, {52.5003, std::numeric_limits<double>::infinity()}, {nan, 10.0}};
  for (bool filter : {false, true}) {
    SharedUtil::setDefaultBoolean(filter, kAccuracyFilter);
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "filter " << filter << " lat " << c.lat << " accuracy " << c.accuracy);
      const auto before = deliveredCount();
      // Straight to the engine: the platform's own providers drop such fixes,
      // but the engine must not rely on every provider doing so.
      active().didUpdateLocations(*active().locationManager(), {fixAt(c.lat, 13.4, c.accuracy)});
      platform::Dispatch::drainMain();
      EXPECT_EQ(deliveredCount(), before);
    }
  }
  EXPECT_EQ(publishedCount(), 1u);
}

TEST_F(ActiveTrackingTest, ARefusedFixAsksForABetterOneThatGoesInAsMoving) {
  SharedUtil::setDefaultBoolean(true, kAccuracyFilter);
  deliver(52.5, 30);     // the first fix, no gate
  deliver(52.5003, 80);  // refused by the 50 m filter: a one-shot retry
  EXPECT_EQ(deliveredCount(), 1u);
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 1u);
  // Passes the filter and serves the retry too: the mode and the retry both
  // take it, and it goes in once.
  deliver(52.5006, 40);
  EXPECT_EQ(activities(), (std::vector<std::string>{"S", "M"}));
  EXPECT_EQ(publishedCount(), 2u);
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
  std::lock_guard lock(rec_->mutex);
  EXPECT_EQ(rec_->delivered.back().first.coordinate.latitude, 52.5006);
}

TEST_F(ActiveTrackingTest, AFixAfterTheModeChangedStopsTheModeAndSendsNothing) {
  deliver(52.5, 30);
  SharedUtil::setDefaultInteger(2, kTrackingOption);
  deliver(52.5003, 30);
  EXPECT_EQ(deliveredCount(), 1u);
  EXPECT_FALSE(active().locationManager()->isUpdatingLocation());
  EXPECT_EQ(ownGeofences(), 0u);
}

TEST_F(ActiveTrackingTest, AVisitSendsTheLastPositionAsStationary) {
  deliver(52.5, 30);
  deliver(52.5003, 30);
  const auto published = publishedCount();
  platform::Visit visit;
  visit.coordinate = {52.6, 13.5};  // the visit's own place is not what goes out
  visit.horizontalAccuracy = 40;
  visit.arrivalDate = platform::Clock::now();
  sim_->deliverVisit(visit);
  platform::Dispatch::drainMain();
  EXPECT_EQ(activities(), (std::vector<std::string>{"S", "M", "S"}));
  EXPECT_EQ(publishedCount(), published + 1);
  std::lock_guard lock(rec_->mutex);
  EXPECT_EQ(rec_->delivered.back().first.coordinate.latitude, 52.5003);
}

TEST_F(ActiveTrackingTest, PermissionLossSwitchesTrackingOffAndKeepsTheGpsRecordOffline) {
  setOnline(false);
  sim_->setAuthorization(platform::AuthorizationStatus::denied);
  platform::Dispatch::drainMain();
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
  EXPECT_FALSE(SharedUtil::getDefaultDictionary(kGPSStatus).empty());
}

}  // namespace
}  // namespace pelk::test
