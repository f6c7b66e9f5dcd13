#include <cmath>
#include <limits>

#include "platform/Application.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

class HostileCustomOptionsTest : public TrackingTest {
 protected:
  HostileCustomOptionsTest() {
    platform::Application::resetForTesting();
    SharedUtil::setDefaultInteger(4, kTrackingOption);
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    custom().stopTracking();
    custom().resetForTesting();
    timeBased().resetForTesting();
    platform::Dispatch::drainMain();
  }
  ~HostileCustomOptionsTest() override {
    custom().stopTracking();
    platform::Dispatch::drainMain();
    custom().resetForTesting();
    timeBased().resetForTesting();
  }
  static PelkCustomTracking& custom() { return PelkCustomTracking::sharedInstance(); }
  static PelkTimeBasedLocationManager& timeBased() { return PelkTimeBasedLocationManager::instance(); }
};

// An interval far past what a clock can count (the app's number, or one read
// back from the store) must neither wrap into a timer that ticks at once and
// for ever nor overflow on the way to the clock's units.
TEST_F(HostileCustomOptionsTest, HugeIntervalsNeverTick) {
  for (std::int64_t interval : {std::numeric_limits<std::int64_t>::max(), std::int64_t{10'000'000'000},
                                std::int64_t{9'223'372'037}}) {
    SCOPED_TRACE(interval);
    PelkTrackingCustomMethods o;
    o.updateInterval = interval;
    custom().startTracking(o);
    auto m = timeBased().locationManager();
    ASSERT_TRUE(m);
    EXPECT_TRUE(timeBased().hasTimer());
    m->stopUpdatingLocation();
    platform::Dispatch::advanceClock(std::chrono::hours(24 * 365));
    EXPECT_FALSE(m->isUpdatingLocation()) << "the timer ticked";
    custom().stopTracking();
    platform::Dispatch::drainMain();
  }
}

// A distance filter that is no number of metres (NaN, infinite) must not
// silence continuous tracking: every later position would be held back.
TEST_F(HostileCustomOptionsTest, NonFiniteDistanceFilterKeepsPositionsComing) {
  for (double filter : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(filter);
    custom().resetForTesting();
    rec_->delivered.clear();
    PelkTrackingCustomMethods o;
    o.distanceFilter = filter;
    custom().startTracking(o);
    auto m = custom().locationManager();
    ASSERT_TRUE(m);
    EXPECT_TRUE(std::isfinite(m->distanceFilter()));
    for (int i = 0; i < 3; ++i) {
      sim_->deliverFix(fixAt(52.5 + i * 0.01, 13.4, 10));
      platform::Dispatch::drainMain();
    }
    EXPECT_EQ(deliveredCount(), 3u);
    // Stored and read back for a restart, it is no filter either.
    PelkCustomTracking::saveCustomOptions(o);
    const auto stored = PelkCustomTracking::getCustomOptions().distanceFilter;
    EXPECT_TRUE(!stored || std::isfinite(*stored));
    custom().stopTracking();
    platform::Dispatch::drainMain();
  }
}

// A failure the location service reported just before the app's stop reaches
// the tracker after it: it must not take a background task and start the
// stopped tracker again.
TEST_F(HostileCustomOptionsTest, AFailureQueuedBeforeAStopDoesNotRestartIntervalTracking) {
  PelkTrackingCustomMethods o;
  o.updateInterval = 30;
  custom().startTracking(o);
  platform::Dispatch::drainMain();
  sim_->deliverFailure({platform::LocationErrorCode::locationUnknown, "no fix"});
  custom().stopTracking();
  platform::Dispatch::drainMain();
  platform::Dispatch::advanceClock(60s);
  EXPECT_FALSE(timeBased().locationManager());
  EXPECT_FALSE(timeBased().hasTimer());
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 0u);
}

// The system clock stepped back an hour after a position was sent: interval
// tracking must not fall silent until the clock has caught up again.
TEST_F(HostileCustomOptionsTest, AClockSteppedBackDoesNotSilenceIntervalTracking) {
  PelkTrackingCustomMethods o;
  o.updateInterval = 60;
  custom().startTracking(o);
  sim_->deliverFix(fixAt(52.5, 13.4, 10));
  platform::Dispatch::drainMain();
  ASSERT_EQ(deliveredCount(), 1u);
  platform::Clock::setVirtualNow(platform::Clock::now() - std::chrono::hours(1));
  sim_->deliverFix(fixAt(52.51, 13.4, 10));
  platform::Dispatch::drainMain();
  platform::Clock::setVirtualNow(platform::Clock::now() + 61s);
  sim_->deliverFix(fixAt(52.52, 13.4, 10));
  platform::Dispatch::drainMain();
  EXPECT_EQ(deliveredCount(), 3u) << "the first position after the step back goes out, then one per interval";
}

}  // namespace
}  // namespace pelk::test
