#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"

#include <cmath>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "messaging/LocationUtils.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

using platform::DesiredAccuracy;

class CustomTrackingTest : public TrackingTest {
 protected:
  CustomTrackingTest() {
    platform::Application::resetForTesting();
    SharedUtil::setDefaultInteger(4, kTrackingOption);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    custom().stopTracking();
    custom().resetForTesting();
    timeBased().resetForTesting();
    platform::Dispatch::drainMain();
    timers0_ = platform::Dispatch::liveRepeatingTimers();
    observers0_ = platform::NotificationCenter::defaultCenter().observerCount();
  }
  ~CustomTrackingTest() override {
    custom().stopTracking();
    platform::Dispatch::drainMain();
    custom().resetForTesting();
    timeBased().resetForTesting();
    platform::Application::resetForTesting();
  }
  static PelkCustomTracking& custom() { return PelkCustomTracking::sharedInstance(); }
  static PelkTimeBasedLocationManager& timeBased() { return PelkTimeBasedLocationManager::instance(); }

  void deliver(double lat, double accuracy) {
    sim_->deliverFix(fixAt(lat, 13.4, accuracy));
    platform::Dispatch::drainMain();
  }
  std::vector<std::string> activities() {
    std::lock_guard lock(rec_->mutex);
    std::vector<std::string> out;
    for (auto& d : rec_->delivered) out.push_back(d.second);
    return out;
  }
  static std::optional<platform::CircularRegion> region(const std::string& id) {
    for (auto& r : platform::LocationServices::monitoredRegions()) {
      if (r.identifier == id) return r;
    }
    return std::nullopt;
  }
  std::size_t liveTimers() const { return platform::Dispatch::liveRepeatingTimers() - timers0_; }
  std::size_t observers() const { return platform::NotificationCenter::defaultCenter().observerCount() - observers0_; }

  std::size_t timers0_ = 0;
  std::size_t observers0_ = 0;
};

PelkTrackingCustomMethods accuracyOnly(LocationAccuracy a) {
  PelkTrackingCustomMethods o;
  o.desiredAccuracy = a;
  return o;
}

// What each option set leaves on the mode's location manager, and the regions
// two sent positions leave behind.  A region of the host app and a stale one
// of the kit are in place before the start.
TEST_F(CustomTrackingTest, OptionSetsConfigureTheLocationManagerAndRegions) {
  auto host = platform::LocationManager::create();
  struct Case {
    const char* name;
    PelkTrackingCustomMethods options;
    double accuracy = DesiredAccuracy::best;  // the platform defaults
    double distanceFilter = platform::distanceFilterNone;
    platform::ActivityType activity = platform::ActivityType::other;
    bool background = false, pauses = true, indicator = false, visits = false, significant = false;
    // The kit's region after two positions: nullopt none, 5 the stale one untouched.
    std::optional<double> regionRadius = 5.0;
  };
  std::vector<Case> cases;
  cases.push_back({"nothing chosen", {}});
  const std::pair<LocationAccuracy, double> accuracies[] = {
      {LocationAccuracy::bestForNavigation, DesiredAccuracy::bestForNavigation},
      {LocationAccuracy::best, DesiredAccuracy::best},
      {LocationAccuracy::nearestTenMeters, DesiredAccuracy::nearestTenMeters},
      {LocationAccuracy::hundredMeters, DesiredAccuracy::hundredMeters},
      {LocationAccuracy::kilometer, DesiredAccuracy::kilometer},
      {LocationAccuracy::other, DesiredAccuracy::hundredMeters}};
  for (auto [a, metres] : accuracies) {
    Case c{"accuracy", accuracyOnly(a)};
    c.accuracy = metres;
    cases.push_back(c);
  }
  {
    Case c{"everything on, fixed region", {}};
    c.options.setUpCustomOptions(LocationAccuracy::nearestTenMeters, true, true, 40.0, true, true, false, 350, true,
                                 LocationActivityType::fitness, false, false, 20);
    c.accuracy = DesiredAccuracy::nearestTenMeters;
    c.distanceFilter = 40.0;
    c.activity = platform::ActivityType::fitness;
    c.background = true, c.pauses = false, c.indicator = true, c.visits = true, c.significant = true;
    c.regionRadius = 100.0;
    cases.push_back(c);
  }
  {
    Case c{"dynamic radius", {}};
    c.options.useRegionMonitoring = true;
    c.options.useDynamicGeofencRadius = true;
    c.options.geofenceRadius = 350;
    c.options.activityType = LocationActivityType::airborne;
    c.activity = platform::ActivityType::airborne;
    c.regionRadius = 350.0;
    cases.push_back(c);
  }
  {
    Case c{"dynamic radius absent reads as 100", {}};
    c.options.useRegionMonitoring = true;
    c.options.useDynamicGeofencRadius = true;
    c.regionRadius = 100.0;
    cases.push_back(c);
  }
  {
    Case c{"standard services keep visits, significant changes and regions off", {}};
    c.options.useVisits = true;
    c.options.useSignificant = true;
    c.options.useRegionMonitoring = true;
    c.options.useStandardLocationServices = true;
    c.regionRadius = std::nullopt;
    cases.push_back(c);
  }
  {
    Case c{"region monitoring off clears the kit's regions", {}};
    c.options.useRegionMonitoring = false;
    c.options.distanceFilter = 0.0;
    c.distanceFilter = 0.0;
    c.regionRadius = std::nullopt;
    cases.push_back(c);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    custom().stopTracking();
    platform::Dispatch::drainMain();
    host->startMonitoring({"host-fence", {48.0, 11.0}, 250.0, true, true});
    host->startMonitoring({PelkCustomTracking::kRegionIdentifier, {48.0, 11.0}, 5.0, true, true});
    custom().startTracking(c.options);
    auto m = custom().locationManager();
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->isUpdatingLocation());
    EXPECT_EQ(m->desiredAccuracy(), c.accuracy);
    EXPECT_EQ(m->distanceFilter(), c.distanceFilter);
    EXPECT_EQ(m->activityType(), c.activity);
    EXPECT_EQ(m->allowsBackgroundLocationUpdates(), c.background);
    EXPECT_EQ(m->pausesLocationUpdatesAutomatically(), c.pauses);
    EXPECT_EQ(m->showsBackgroundLocationIndicator(), c.indicator);
    EXPECT_EQ(m->isMonitoringVisits(), c.visits);
    EXPECT_EQ(m->isMonitoringSignificantLocationChanges(), c.significant);
    EXPECT_FALSE(timeBased().locationManager());
    deliver(52.5, 10);
    deliver(52.51, 10);
    auto kit = region(PelkCustomTracking::kRegionIdentifier);
    ASSERT_EQ(kit.has_value(), c.regionRadius.has_value());
    if (kit) {
      EXPECT_EQ(kit->radius, *c.regionRadius);
      if (*c.regionRadius != 5.0) {
        EXPECT_DOUBLE_EQ(kit->center.latitude, 52.51);
      }
    }
    EXPECT_TRUE(region("host-fence")) << "the host's own region must never be removed";
  }
  custom().stopTracking();
  EXPECT_FALSE(region(PelkCustomTracking::kRegionIdentifier));
  EXPECT_TRUE(region("host-fence"));
  host->stopMonitoring("host-fence");
}

TEST_F(CustomTrackingTest, AccuracyGateOfTheCustomMode) {
  struct Case {
    const char* name;
    bool filterOn;
    std::optional<std::int64_t> customLimit;  // "customAccuracyFilter"
    std::int64_t engineValue;                 // "kAccuracyFilterCustomValue"
    double accuracy;
    bool sent;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"filter off, any accuracy", false, std::nullopt, 0, 500, true},
      {"filter off, no accuracy at all", false, std::nullopt, 0, nan, false},
      {"filter off, negative accuracy", false, std::nullopt, 0, -1, false},
      {"app's limit refuses", true, 20, 0, 35, false},
      {"app's limit passes", true, 20, 0, 20, true},
      {"no app limit: engine value refuses", true, std::nullopt, 30, 35, false},
      {"no app limit: engine value passes", true, std::nullopt, 30, 30, true},
      {"no app limit, engine below 1: passes", true, std::nullopt, 0, 900, true},
      {"filter on, no accuracy at all", true, std::nullopt, 0, nan, false},
  };
  custom().startTracking({});
  deliver(52.5, 10);  // the first update
  ASSERT_EQ(activities(), std::vector<std::string>{"S"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::setDefaultBoolean(c.filterOn, kAccuracyFilterCustom);
    if (c.customLimit) {
      SharedUtil::setDefaultInteger(*c.customLimit, kCustomAccuracyFilter);
    } else {
      SharedUtil::removeKey(kCustomAccuracyFilter);
    }
    SharedUtil::setDefaultInteger(c.engineValue, kAccuracyFilterCustomValue);
    BaseCLManager::sharedInstance().resetForTesting();
    const auto before = deliveredCount();
    deliver(52.6, c.accuracy);
    EXPECT_EQ(deliveredCount() - before, c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(activities().back(), "M");
    }
  }
}

TEST_F(CustomTrackingTest, APositionWhileAnotherModeIsStoredStopsTheModeAndSendsNothing) {
  PelkTrackingCustomMethods o;
  o.useRegionMonitoring = true;
  custom().startTracking(o);
  deliver(52.5, 10);
  EXPECT_EQ(deliveredCount(), 1u);
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  deliver(52.6, 10);
  EXPECT_EQ(deliveredCount(), 1u);
  EXPECT_FALSE(custom().locationManager());
  EXPECT_FALSE(region(PelkCustomTracking::kRegionIdentifier));
}

// The stored option set: what a restart of tracking reads back.
TEST_F(CustomTrackingTest, OptionSetIsStoredAndReadBack) {
  EXPECT_EQ(PelkCustomTracking::getCustomOptions(), PelkTrackingCustomMethods{}) << "nothing saved yet";
  PelkCustomTracking::saveCustomOptions({});
  auto empty = PelkCustomTracking::getCustomOptions();
  EXPECT_EQ(empty.desiredAccuracy, LocationAccuracy::bestForNavigation);
  EXPECT_EQ(empty.activityType, LocationActivityType::automotiveNavigation);
  EXPECT_FALSE(empty.useVisits || empty.distanceFilter || empty.updateInterval);

  for (std::int64_t raw = 0; raw <= 5; ++raw) {
    PelkCustomTracking::saveCustomOptions(accuracyOnly(*locationAccuracyFromRawValue(raw)));
    EXPECT_EQ(PelkCustomTracking::getCustomOptions().desiredAccuracy, locationAccuracyFromRawValue(raw));
  }
  PelkTrackingCustomMethods full;
  full.setUpCustomOptions(LocationAccuracy::kilometer, true, false, 12.5, false, true, true, 250, true,
                          LocationActivityType::airborne, false, true, 0);
  full.updateInterval = 90;
  PelkCustomTracking::saveCustomOptions(full);
  EXPECT_EQ(PelkCustomTracking::getCustomOptions(), full);
  // A later set without some options leaves their stored values.
  PelkTrackingCustomMethods later;
  later.useVisits = false;
  PelkCustomTracking::saveCustomOptions(later);
  auto merged = full;
  merged.useVisits = false;
  EXPECT_EQ(PelkCustomTracking::getCustomOptions(), merged);
  // A stored value of another type reads as absent; an unknown activity as automotive.
  SharedUtil::setDefaultString("yes", "customuseVisits");
  SharedUtil::setDefaultInteger(99, "customactivityType");
  auto odd = PelkCustomTracking::getCustomOptions();
  EXPECT_FALSE(odd.useVisits);
  EXPECT_EQ(odd.activityType, LocationActivityType::automotiveNavigation);
  SharedUtil::setDefaultString("true", "customoptionset");
  EXPECT_EQ(PelkCustomTracking::getCustomOptions(), PelkTrackingCustomMethods{});
}

TEST_F(CustomTrackingTest, OptionValuesAndRawValues) {
  PelkTrackingCustomMethods o;
  EXPECT_EQ(o, PelkTrackingCustomMethods{});
  EXPECT_FALSE(o.desiredAccuracy || o.useVisits || o.showsBackgroundLocationIndicator || o.distanceFilter ||
               o.useSignificant || o.useRegionMonitoring || o.useDynamicGeofencRadius || o.geofenceRadius ||
               o.allowBackgroundLocationUpdates || o.activityType || o.pausesLocationUpdatesAutomatically ||
               o.useStandardLocationServices || o.accuracyFilter || o.updateInterval);
  o.setUpCustomOptions(LocationAccuracy::best, false, false, 0.0, false, false, false, 0, false,
                       LocationActivityType::automotiveNavigation, false, false, 0);
  EXPECT_EQ(o.useVisits, false);  // present, not absent
  EXPECT_EQ(o.geofenceRadius, 0);
  EXPECT_EQ(o.accuracyFilter, 0);
  EXPECT_EQ(o.desiredAccuracy, LocationAccuracy::best);
  EXPECT_FALSE(o.updateInterval);
  EXPECT_EQ(locationAccuracyFromRawValue(5), LocationAccuracy::other);
  EXPECT_FALSE(locationAccuracyFromRawValue(6));
  EXPECT_FALSE(locationAccuracyFromRawValue(-1));
  EXPECT_FALSE(locationActivityTypeFromRawValue(0));
}

// One position per interval on the virtual clock: fixes arrive every 10 s and
// only the first and then one more than 60 whole seconds after the last sent
// one go out, in the foreground and in the background alike.
TEST_F(CustomTrackingTest, IntervalTrackingSendsOnePositionPerInterval) {
  for (bool background : {false, true}) {
    SCOPED_TRACE(background ? "background" : "foreground");
    timeBased().resetForTesting();
    rec_->delivered.clear();
    PelkTrackingCustomMethods o;
    o.updateInterval = 60;
    custom().startTracking(o);
    EXPECT_TRUE(SharedUtil::getDefaultBoolean(kTrackingTimeBase));
    EXPECT_FALSE(custom().locationManager()) << "interval tracking runs on the tracker's own manager";
    auto m = timeBased().locationManager();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->desiredAccuracy(), DesiredAccuracy::best);
    EXPECT_TRUE(m->allowsBackgroundLocationUpdates());
    if (background) platform::Application::reportBackground();
    platform::Dispatch::drainMain();
    std::vector<int> sentAt;
    for (int t = 0; t <= 150; t += 10) {
      const auto before = deliveredCount();
      sim_->deliverFix(fixAt(52.5 + t * 1e-5, 13.4, 10));
      platform::Dispatch::drainMain();
      if (deliveredCount() > before) sentAt.push_back(t);
      platform::Dispatch::advanceClock(10s);
    }
    EXPECT_EQ(sentAt, (std::vector<int>{0, 70, 140}));
    EXPECT_EQ(liveTimers(), 1u);
    custom().stopTracking();
    platform::Dispatch::drainMain();
    platform::Application::reportForeground();
    platform::Dispatch::drainMain();
  }
}

// After a failure the updates stay off until the timer's next tick: the tick
// comes one interval after the start, and counts afresh from a background entry.
TEST_F(CustomTrackingTest, IntervalTimerRestartsUpdatesAtItsIntervalAndAfterBackgroundEntry) {
  PelkTrackingCustomMethods o;
  o.updateInterval = 60;
  custom().startTracking(o);
  auto m = timeBased().locationManager();
  ASSERT_TRUE(m);
  platform::Dispatch::advanceClock(20s);
  sim_->deliverFailure({platform::LocationErrorCode::locationUnknown, "no fix"});
  platform::Dispatch::drainMain();
  EXPECT_FALSE(m->isUpdatingLocation());
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u);
  // The failure restarted the timer: it ticks 60 s after the failure, not after the start.
  platform::Dispatch::advanceClock(59s);
  EXPECT_FALSE(m->isUpdatingLocation());
  platform::Dispatch::advanceClock(1s);
  EXPECT_TRUE(m->isUpdatingLocation());

  sim_->deliverFailure({platform::LocationErrorCode::locationUnknown, "no fix"});
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u) << "the held task ends before a new one begins";
  platform::Dispatch::advanceClock(30s);
  platform::Application::reportBackground();  // the timer counts again from here
  platform::Dispatch::drainMain();
  EXPECT_TRUE(m->isUpdatingLocation());
  m->stopUpdatingLocation();
  platform::Dispatch::advanceClock(59s);
  EXPECT_FALSE(m->isUpdatingLocation()) << "no tick of the timer the background entry replaced";
  platform::Dispatch::advanceClock(1s);
  EXPECT_TRUE(m->isUpdatingLocation());
  EXPECT_EQ(liveTimers(), 1u);
  EXPECT_EQ(observers(), 1u);

  platform::Application::expireBackgroundTasks();
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 0u);
  EXPECT_FALSE(timeBased().backgroundTask());
}

TEST_F(CustomTrackingTest, RepeatedTimeBasedStartsHoldOneTimerOneObserverAndStopReleasesAll) {
  for (int i = 0; i < 3; ++i) timeBased().start(30);
  EXPECT_EQ(liveTimers(), 1u);
  EXPECT_EQ(observers(), 1u);
  // One background entry, one restart: still one timer.
  platform::Application::reportBackground();
  platform::Dispatch::drainMain();
  EXPECT_EQ(liveTimers(), 1u);
  sim_->deliverFailure({platform::LocationErrorCode::locationUnknown, "no fix"});
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u);
  timeBased().stop();
  platform::Dispatch::drainMain();
  EXPECT_EQ(liveTimers(), 0u);
  EXPECT_EQ(observers(), 0u);
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 0u);
  EXPECT_FALSE(timeBased().locationManager());
  EXPECT_EQ(timeBased().updateInterval(), 30) << "the interval outlives a stop";
}

// Switching between interval and continuous tracking, back and forth, leaves
// exactly one kind running and nothing behind: no timer, observer or
// background task of the other kind.
TEST_F(CustomTrackingTest, SwitchingKindsRepeatedlyLeavesNothingBehind) {
  PelkTrackingCustomMethods interval;
  interval.updateInterval = 45;
  interval.useRegionMonitoring = true;
  PelkTrackingCustomMethods continuous;
  continuous.useRegionMonitoring = true;
  continuous.useVisits = true;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    custom().startTracking(interval);
    sim_->deliverFailure({platform::LocationErrorCode::locationUnknown, "no fix"});
    platform::Dispatch::drainMain();
    EXPECT_TRUE(timeBased().locationManager());
    EXPECT_FALSE(custom().locationManager());
    EXPECT_EQ(liveTimers(), 1u);
    EXPECT_EQ(observers(), 1u);
    EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u);

    custom().startTracking(continuous);
    platform::Dispatch::drainMain();
    deliver(52.5 + round * 0.01, 10);
    EXPECT_FALSE(timeBased().locationManager());
    ASSERT_TRUE(custom().locationManager());
    EXPECT_TRUE(custom().locationManager()->isMonitoringVisits());
    EXPECT_EQ(liveTimers(), 0u);
    EXPECT_EQ(observers(), 0u);
    EXPECT_EQ(platform::Application::backgroundTaskCount(), 0u);
    EXPECT_TRUE(region(PelkCustomTracking::kRegionIdentifier));
  }
  custom().startTracking(interval);
  EXPECT_FALSE(region(PelkCustomTracking::kRegionIdentifier)) << "continuous tracking's region goes with it";
  custom().stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_FALSE(timeBased().locationManager());
  EXPECT_FALSE(custom().locationManager());
  EXPECT_EQ(liveTimers(), 0u);
  EXPECT_EQ(observers(), 0u);
}

TEST_F(CustomTrackingTest, NegativeIntervalRunsContinuousUpdates) {
  PelkTrackingCustomMethods o;
  o.updateInterval = -5;
  custom().startTracking(o);
  EXPECT_TRUE(custom().locationManager());
  EXPECT_FALSE(timeBased().locationManager());
  EXPECT_EQ(liveTimers(), 0u);
}

TEST_F(CustomTrackingTest, IntervalPositionWhileAnotherModeIsStoredStopsTheTracker) {
  PelkTrackingCustomMethods o;
  o.updateInterval = 60;
  custom().startTracking(o);
  SharedUtil::setDefaultInteger(1, kTrackingOption);
  deliver(52.5, 10);
  EXPECT_EQ(deliveredCount(), 0u);
  EXPECT_FALSE(timeBased().locationManager());
  EXPECT_EQ(liveTimers(), 0u);
}

TEST_F(CustomTrackingTest, IntervalPositionsGoOutWithoutTheTrackingSwitch) {
  // Self-tracking never sets the switch; its positions still reach the app.
  SharedUtil::setDefaultBoolean(false, kIsLocationTracking);
  PelkTrackingCustomMethods o;
  o.updateInterval = 60;
  custom().startTracking(o);
  deliver(52.5, 10);
  EXPECT_EQ(activities(), std::vector<std::string>{"S"});
  EXPECT_TRUE(timeBased().locationManager());
}

// Both kinds keep no shared last position.  A position's speed is the
// receiver's own when it reports one, else measured from the kind's own
// previous position; another mode's old last position (hundreds of kilometres
// and hours away) plays no part.  Interval positions are moving or stationary
// by that speed; continuous ones stay moving after the first.
TEST_F(CustomTrackingTest, PositionsTakeTheReceiversSpeedOrTheirOwnPreviousPosition) {
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  const struct {
    double lat;
    double ownSpeed;  // m/s as the receiver reports it; -1: none
    std::int64_t kmh;
  } fixes[] = {
      {52.5, -1, 0},        // nothing to measure from
      {52.5009, -1, 5},     // ~100 m in 61 s
      {52.5010, 12.5, 45},  // the receiver's 12.5 m/s, not the ~11 m moved
      {52.5110, 0, 0},      // a receiver at rest, whatever the position says
      {52.5111, 1e30, 0},   // a speed no integer holds is no speed
  };
  for (bool interval : {true, false}) {
    SCOPED_TRACE(interval ? "interval" : "continuous");
    platform::Dispatch::advanceClock(1h);
    custom().resetForTesting();
    timeBased().resetForTesting();
    {
      std::lock_guard lock(rec_->mutex);
      rec_->delivered.clear();
      rec_->published.clear();
    }
    LocationUtils::saveLocation(fixAt(48.1, 11.5, 10, platform::Clock::now() - 5h));
    PelkTrackingCustomMethods o;
    if (interval) o.updateInterval = 60;
    custom().startTracking(o);
    platform::Dispatch::drainMain();
    for (const auto& f : fixes) {
      auto fix = fixAt(f.lat, 13.4, 10);
      fix.speed = f.ownSpeed;
      sim_->deliverFix(fix);
      platform::Dispatch::drainMain();
      platform::Dispatch::advanceClock(61s);
    }
    std::vector<std::int64_t> speeds;
    {
      std::lock_guard lock(rec_->mutex);
      for (const auto& message : rec_->published) speeds.push_back(nlohmann::json::parse(message).at("speed"));
    }
    EXPECT_EQ(speeds, (std::vector<std::int64_t>{0, 5, 45, 0, 0}));
    EXPECT_EQ(activities(), interval ? (std::vector<std::string>{"S", "M", "M", "S", "S"})
                                     : (std::vector<std::string>{"S", "M", "M", "M", "M"}));
    custom().stopTracking();
    platform::Dispatch::drainMain();
  }
}

// ------------------------------------------------------------------ hostile use

// Options no app should give (intervals past what a clock counts, distances
// that are no number) and a clock or a failure at the wrong moment.
class HostileCustomOptionsTest : public CustomTrackingTest {
 protected:
  // The publisher switch as a host that never set it has it.
  HostileCustomOptionsTest() { SharedUtil::removeKey(KLocationPublisher); }
};

// An interval far past what a clock can count (the app's number, or one read
// back from the store) must neither wrap into a timer that ticks at once and
// for ever nor overflow on the way to the clock's units.
TEST_F(HostileCustomOptionsTest, HugeIntervalsNeverTick) {
  for (std::int64_t interval :
       {std::numeric_limits<std::int64_t>::max(), std::int64_t{10'000'000'000}, std::int64_t{9'223'372'037}}) {
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
