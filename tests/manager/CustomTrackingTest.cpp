#include "ManagerFixture.h"

#include <optional>

#include "platform/NotificationCenter.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"

namespace pelk::test {
namespace {

class CustomTrackingControlTest : public ManagerTest {
 protected:
  CustomTrackingControlTest() {
    storeUser();
    custom().stopTracking();
    custom().resetForTesting();
    PelkTimeBasedLocationManager::instance().resetForTesting();
    platform::Dispatch::drainMain();
    timers0_ = platform::Dispatch::liveRepeatingTimers();
  }
  ~CustomTrackingControlTest() override {
    custom().stopTracking();
    platform::Dispatch::drainMain();
    custom().resetForTesting();
    PelkTimeBasedLocationManager::instance().resetForTesting();
  }
  static PelkCustomTracking& custom() { return PelkCustomTracking::sharedInstance(); }

  std::size_t timers0_ = 0;
};

PelkTrackingCustomMethods someOptions() {
  PelkTrackingCustomMethods o;
  o.setUpCustomOptions(LocationAccuracy::kilometer, true, true, 30.0, false, true, true, 400, true,
                       LocationActivityType::otherNavigation, false, false, 40);
  return o;
}

TEST_F(CustomTrackingControlTest, AppStartsHandTheirOptionSetToTheCustomModeAndStoreIt) {
  auto given = std::make_shared<std::vector<PelkTrackingCustomMethods>>();
  TrackingModes modes;
  modes.start = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("start", mode)); };
  modes.startCustom = [given](const PelkTrackingCustomMethods& o) { given->push_back(o); };
  manager().setTrackingModes(modes);
  const auto options = someOptions();

  platform::Console::Capture console;
  Pelk::startTracking(PelkTrackingMode::custom, options);
  platform::Dispatch::drainMain();
  EXPECT_TRUE(console.contains("Tracking Started"));
  EXPECT_TRUE(Pelk::isLocationTracking());
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::custom);
  ASSERT_EQ(given->size(), 1u);
  EXPECT_EQ(given->front(), options);
  EXPECT_TRUE(modes_->calls().empty()) << "the app's own start does not read the store";
  auto stored = PelkCustomTracking::getCustomOptions();
  EXPECT_EQ(stored.desiredAccuracy, LocationAccuracy::kilometer);
  EXPECT_EQ(stored.geofenceRadius, 400);
  EXPECT_EQ(SharedUtil::getDefaultInteger(kCustomAccuracyFilter), 40);

  Pelk::stopTracking();
  platform::Dispatch::drainMain();
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  auto self = options;
  self.updateInterval = 30;
  Pelk::startSelfTracking(PelkTrackingMode::custom, self);
  platform::Dispatch::drainMain();
  ASSERT_EQ(given->size(), 2u);
  EXPECT_EQ(given->back(), self);
  EXPECT_FALSE(Pelk::isLocationTracking()) << "self-tracking leaves the switch alone";
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(KLocationPublisher));
  EXPECT_EQ(PelkCustomTracking::getCustomOptions().updateInterval, 30);
}

// The option set outlives the process: after a restart of the manager and the
// mode, the lifecycle's restart of the stored mode configures the same
// tracking from the stored set.
TEST_F(CustomTrackingControlTest, StoredOptionsRestartTheSameTrackingAfterAManagerRestart) {
  manager().setTrackingModes(defaultTrackingModes());
  Pelk::startTracking(PelkTrackingMode::custom, someOptions());
  platform::Dispatch::drainMain();
  auto before = custom().locationManager();
  ASSERT_TRUE(before);
  const auto settings = [](const platform::LocationManager& m) {
    return std::make_tuple(m.desiredAccuracy(), m.distanceFilter(), m.activityType(),
                           m.allowsBackgroundLocationUpdates(), m.pausesLocationUpdatesAutomatically(),
                           m.showsBackgroundLocationIndicator(), m.isMonitoringVisits(), m.isUpdatingLocation());
  };
  const auto expected = settings(*before);
  EXPECT_EQ(before->desiredAccuracy(), platform::DesiredAccuracy::kilometer);
  EXPECT_EQ(before->activityType(), platform::ActivityType::otherNavigation);

  // A new process: nothing in memory, the store kept.
  custom().stopTracking();
  custom().resetForTesting();
  resetManager();
  manager().setTrackingModes(defaultTrackingModes());
  ASSERT_FALSE(custom().locationManager());
  manager().applicationWillForeground();
  platform::Dispatch::drainMain();
  auto after = custom().locationManager();
  ASSERT_TRUE(after);
  EXPECT_EQ(settings(*after), expected);
  EXPECT_EQ(custom().option(), PelkCustomTracking::getCustomOptions());

  // Now with an interval: the restart runs interval tracking again.
  auto interval = someOptions();
  interval.updateInterval = 120;
  Pelk::startTracking(PelkTrackingMode::custom, interval);
  platform::Dispatch::drainMain();
  custom().stopTracking();
  custom().resetForTesting();
  PelkTimeBasedLocationManager::instance().resetForTesting();
  resetManager();
  manager().setTrackingModes(defaultTrackingModes());
  manager().applicationWillForeground();
  platform::Dispatch::drainMain();
  EXPECT_FALSE(custom().locationManager());
  EXPECT_TRUE(PelkTimeBasedLocationManager::instance().locationManager());
  EXPECT_EQ(PelkTimeBasedLocationManager::instance().updateInterval(), 120);

  Pelk::stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_FALSE(PelkTimeBasedLocationManager::instance().locationManager());
  EXPECT_EQ(platform::Dispatch::liveRepeatingTimers(), timers0_);
}

TEST_F(CustomTrackingControlTest, StopAfterSwitchingKindsTearsDownBoth) {
  manager().setTrackingModes(defaultTrackingModes());
  auto interval = someOptions();
  interval.updateInterval = 10;
  Pelk::startTracking(PelkTrackingMode::custom, interval);
  Pelk::startTracking(PelkTrackingMode::custom, someOptions());
  Pelk::startTracking(PelkTrackingMode::custom, interval);
  platform::Dispatch::drainMain();
  EXPECT_TRUE(PelkTimeBasedLocationManager::instance().locationManager());
  EXPECT_FALSE(custom().locationManager());
  Pelk::stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_FALSE(PelkTimeBasedLocationManager::instance().locationManager());
  EXPECT_FALSE(custom().locationManager());
  EXPECT_EQ(platform::Dispatch::liveRepeatingTimers(), timers0_);
}

}  // namespace
}  // namespace pelk::test
