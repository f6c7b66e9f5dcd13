#include <functional>
#include <limits>

#include "messaging/LocationUtils.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"
#include "support/WalCommits.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

using Mode = PelkTrackingModeLocal;
constexpr const char* kBalancedRegion = "geofenceRadius";

// What a location manager is set to, as one comparable record.
struct ManagerSettings {
  double accuracy;
  double distanceFilter;
  platform::ActivityType activity;
  bool background, pauses, indicator, visits, significant, updates, requesting, delegate;

  bool operator==(const ManagerSettings&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ManagerSettings& s) {
  return os << "{accuracy " << s.accuracy << ", filter " << s.distanceFilter << ", activity "
            << static_cast<int>(s.activity) << ", background " << s.background << ", pauses " << s.pauses
            << ", indicator " << s.indicator << ", visits " << s.visits << ", significant " << s.significant
            << ", updates " << s.updates << ", requesting " << s.requesting << ", delegate " << s.delegate << "}";
}

ManagerSettings settingsOf(const platform::LocationManager& m) {
  return {m.desiredAccuracy(),
          m.distanceFilter(),
          m.activityType(),
          m.allowsBackgroundLocationUpdates(),
          m.pausesLocationUpdatesAutomatically(),
          m.showsBackgroundLocationIndicator(),
          m.isMonitoringVisits(),
          m.isMonitoringSignificantLocationChanges(),
          m.isUpdatingLocation(),
          m.isRequestingLocation(),
          m.hasDelegate()};
}

std::vector<platform::CircularRegion> regionsNamed(const std::string& prefix) {
  std::vector<platform::CircularRegion> out;
  for (auto& r : platform::LocationServices::monitoredRegions()) {
    if (r.identifier.rfind(prefix, 0) == 0) out.push_back(r);
  }
  return out;
}

// One mode as the tests drive it.
struct ModeUnderTest {
  const char* name;
  Mode mode;
  std::function<void()> start;
  std::function<void()> stop;
  std::function<std::shared_ptr<platform::LocationManager>()> manager;
  // The identifier of the region the mode keeps around its latest position.
  std::string region;
};

template <class Tracking>
ModeUnderTest modeUnderTest(const char* name, Mode mode, Tracking& t, std::string region) {
  return {name,
          mode,
          [&t] { t.startTracking(); },
          [&t] { t.stopTracking(); },
          [&t] { return t.locationManager(); },
          std::move(region)};
}
ModeUnderTest balancedMode() {
  return modeUnderTest("balanced", Mode::balanced, PelkReActiveTracking::shareInstance(), kBalancedRegion);
}
ModeUnderTest passiveMode() {
  return modeUnderTest("passive", Mode::passive, PelkPassiveTracking::shareInstance(), KGeofenceRegionIdentifier);
}

class BalancedPassiveTest : public TrackingTest {
 protected:
  BalancedPassiveTest() {
    platform::Application::resetForTesting();
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    balanced().resetFirstCallForTesting();
    passive().resetFirstCallForTesting();
    // The passive mode has a manager from its construction on; start from none.
    balanced().stopTracking();
    passive().stopTracking();
    platform::Dispatch::drainMain();
  }
  ~BalancedPassiveTest() override {
    balanced().stopTracking();
    passive().stopTracking();
    platform::Dispatch::drainMain();
    platform::Application::resetForTesting();
  }
  static PelkReActiveTracking& balanced() { return PelkReActiveTracking::shareInstance(); }
  static PelkPassiveTracking& passive() { return PelkPassiveTracking::shareInstance(); }

  void start(const ModeUnderTest& m) {
    SharedUtil::setDefaultInteger(rawValue(m.mode), kTrackingOption);
    m.start();
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    platform::Dispatch::drainMain();
  }
  void cross(const std::string& region, bool entered) {
    sim_->deliverRegionCrossing(region, entered);
    platform::Dispatch::drainMain();
  }
  void visit() {
    platform::Visit v;
    v.coordinate = {48.1, 11.5};  // the visit's own place is not what goes out
    v.horizontalAccuracy = 40;
    v.arrivalDate = platform::Clock::now();
    sim_->deliverVisit(v);
    platform::Dispatch::drainMain();
  }
  double lastLatitude() {
    std::lock_guard lock(rec_->mutex);
    return rec_->delivered.empty() ? 0.0 : rec_->delivered.back().first.coordinate.latitude;
  }
};

TEST_F(BalancedPassiveTest, EachModeSetsUpItsLocationManagerAndTearsItDownAtStop) {
  constexpr double best = platform::DesiredAccuracy::best;  // left at the default
  constexpr double none = platform::distanceFilterNone;     // left at the default
  using platform::ActivityType;
  const struct {
    ModeUnderTest mode;
    ManagerSettings started;
    double regionRadius;
    bool notifyOnEntry;
  } cases[] = {
      // accuracy, filter, activity, background, pauses, indicator, visits, significant, updates, requesting, delegate
      {balancedMode(), {100, 50, ActivityType::other, true, true, false, true, false, true, false, true}, 100, true},
      {passiveMode(), {best, none, ActivityType::other, true, false, false, true, true, false, true, true}, 100, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode.name);
    SharedUtil::setDefaultInteger(rawValue(c.mode.mode), kTrackingOption);
    c.mode.start();
    auto m = c.mode.manager();
    ASSERT_TRUE(m);
    EXPECT_EQ(settingsOf(*m), c.started);
    EXPECT_EQ(sim_->authorizationRequests().back(), true);  // always

    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    deliver(52.5);
    const auto regions = regionsNamed(c.mode.region);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].center.latitude, 52.5);
    EXPECT_EQ(regions[0].radius, c.regionRadius);
    EXPECT_TRUE(regions[0].notifyOnExit);
    EXPECT_EQ(regions[0].notifyOnEntry, c.notifyOnEntry);

    // A stop ends everything that runs and leaves the settings alone.
    auto stopped = settingsOf(*m);
    stopped.visits = stopped.significant = stopped.updates = stopped.requesting = stopped.delegate = false;
    c.mode.stop();
    platform::Dispatch::drainMain();
    EXPECT_EQ(settingsOf(*m), stopped);
    EXPECT_FALSE(c.mode.manager()) << "the next start makes a new manager";
    EXPECT_TRUE(platform::LocationServices::monitoredRegions().empty());
    sim_->setAuthorization(platform::AuthorizationStatus::notDetermined);
    platform::Dispatch::drainMain();
  }
}

TEST_F(BalancedPassiveTest, BalancedDistanceFilterAndAccuracyFollowTheRadius) {
  start(balancedMode());
  const struct {
    std::int64_t radius;
    double filter, accuracy;
  } cases[] = {{700, 350, 1000}, {100, 50, 100}, {200, 100, 100}, {500, 250, 100}, {1000, 500, 1000}, {250, 50, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.radius);
    balanced().updateLocationManager(c.radius);
    EXPECT_EQ(balanced().locationManager()->distanceFilter(), c.filter);
    EXPECT_EQ(balanced().locationManager()->desiredAccuracy(), c.accuracy);
  }
}

TEST_F(BalancedPassiveTest, BalancedFixesGoThroughTheProviderToTheSinkAndMoveItsOneRegion) {
  start(balancedMode());
  deliver(52.5, 30);
  deliver(52.5005, 30);  // 55 m: beyond the 50 m distance filter, inside the region
  deliver(52.5010, 30);
  EXPECT_EQ(activities(), (std::vector<std::string>{"S", "M", "M"}));
  EXPECT_EQ(publishedCount(), 3u);
  const auto regions = regionsNamed(kBalancedRegion);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].center.latitude, 52.5010);
}

TEST_F(BalancedPassiveTest, TheGateDropsABadFixAndAsksTheOneShotServiceForABetterOne) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // Straight to the mode's callback: the provider itself drops unusable fixes
  // and a passive mode hears of small moves only through its region.
  const struct {
    ModeUnderTest mode;
    bool filter;
    double accuracy;
    bool passes, retries;
  } cases[] = {
      {balancedMode(), true, 75.0, true, false},   {balancedMode(), true, 75.1, false, true},
      {balancedMode(), false, 100.0, true, false}, {balancedMode(), false, 100.1, false, false},
      {passiveMode(), true, 100.0, true, false},   {passiveMode(), true, 100.1, false, true},
      {passiveMode(), false, 900.0, true, false},  {passiveMode(), false, nan, false, false},
      {balancedMode(), false, -1.0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode.name << " filter " << c.filter << " accuracy " << c.accuracy);
    start(c.mode);
    deliver(52.5, 30);  // the first fix, taken unfiltered
    BaseCLManager::sharedInstance().resetForTesting();
    SharedUtil::setDefaultBoolean(c.filter, kAccuracyFilter);
    const auto before = deliveredCount();
    auto m = c.mode.manager();
    auto& delegate = *m->delegate();
    delegate.didUpdateLocations(*m, {fixAt(52.5003, 13.4, c.accuracy)});
    platform::Dispatch::drainMain();
    EXPECT_EQ(deliveredCount() - before, c.passes ? 1u : 0u);
    EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), c.retries ? 1u : 0u);
    if (c.retries) {
      // A good enough fix serves the one-shot request: into the sink as moving.
      sim_->deliverFix(fixAt(52.5004, 13.4, 40));
      platform::Dispatch::drainMain();
      EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
      EXPECT_EQ(activities().back(), "M");
      EXPECT_EQ(lastLatitude(), 52.5004);
    }
    c.mode.stop();
    platform::Dispatch::drainMain();
    SharedUtil::setDefaultBoolean(false, kAccuracyFilter);
  }
}

TEST_F(BalancedPassiveTest, PassiveTakesOneFixAtStartThenFollowsItsRegion) {
  start(passiveMode());
  deliver(52.5);  // serves the start's one-shot request
  EXPECT_EQ(activities(), (std::vector<std::string>{"S"}));
  EXPECT_FALSE(passive().locationManager()->isRequestingLocation());
  deliver(52.5003);  // a small move: no significant change, no exit
  EXPECT_EQ(deliveredCount(), 1u);

  deliver(52.5030);  // 330 m: out of the 100 m region
  EXPECT_EQ(activities(), (std::vector<std::string>{"S", "M"}));
  EXPECT_EQ(lastLatitude(), 52.5030);
  auto regions = regionsNamed(KGeofenceRegionIdentifier);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].center.latitude, 52.5030);

  // An entry re-places the region around the current position and sends nothing.
  platform::LocationServices::reportFixes({fixAt(52.5031, 13.4, 20)});
  cross(KGeofenceRegionIdentifier, true);
  EXPECT_EQ(deliveredCount(), 2u);
  regions = regionsNamed(KGeofenceRegionIdentifier);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].center.latitude, 52.5031);

  // A long move: the significant change (through the gate) and the exit from
  // the region each send the new place as moving, and the region follows it.
  deliver(52.5100);
  std::lock_guard lock(rec_->mutex);
  ASSERT_GE(rec_->delivered.size(), 3u);
  for (std::size_t i = 2; i < rec_->delivered.size(); ++i) {
    EXPECT_EQ(rec_->delivered[i].second, "M");
    EXPECT_EQ(rec_->delivered[i].first.coordinate.latitude, 52.5100);
  }
  regions = regionsNamed(KGeofenceRegionIdentifier);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].center.latitude, 52.5100);
}

TEST_F(BalancedPassiveTest, RegionExitsAndVisitsAsEachModeHandlesThem) {
  for (const auto& mode : {balancedMode(), passiveMode()}) {
    SCOPED_TRACE(mode.name);
    {
      std::lock_guard lock(rec_->mutex);
      rec_->delivered.clear();
    }
    start(mode);
    deliver(52.5);
    deliver(52.5005);
    const auto sent = deliveredCount();
    const auto where = regionsNamed(mode.region).at(0);

    // A visit sends the last position as stationary and leaves the region where it is.
    visit();
    EXPECT_EQ(deliveredCount(), sent + 1);
    EXPECT_EQ(activities().back(), "S");
    EXPECT_EQ(lastLatitude(), 52.5005);
    EXPECT_EQ(regionsNamed(mode.region).at(0), where);

    // An exit sends the last position as moving and moves the region to it.
    platform::LocationServices::reportFixes({fixAt(52.5007, 13.4, 20)});
    platform::Dispatch::drainMain();
    const auto beforeExit = deliveredCount();
    cross(mode.region, false);
    EXPECT_EQ(deliveredCount(), beforeExit + 1);
    EXPECT_EQ(activities().back(), "M");
    EXPECT_EQ(regionsNamed(mode.region).at(0).center.latitude, lastLatitude());

    // Once another mode is stored an exit stops this mode and sends nothing;
    // a visit still goes out.
    SharedUtil::setDefaultInteger(rawValue(Mode::active), kTrackingOption);
    const auto beforeSwitch = deliveredCount();
    cross(mode.region, false);
    EXPECT_EQ(deliveredCount(), beforeSwitch);
    EXPECT_FALSE(mode.manager());
    EXPECT_TRUE(regionsNamed(mode.region).empty());
    EXPECT_TRUE(regionsNamed(KGeofenceRegionIdentifier).empty());
    sim_->setAuthorization(platform::AuthorizationStatus::notDetermined);
    platform::Dispatch::drainMain();
  }
}

TEST_F(BalancedPassiveTest, AVisitIsSentWhateverModeIsStored) {
  start(passiveMode());
  deliver(52.5);
  SharedUtil::setDefaultInteger(rawValue(Mode::balanced), kTrackingOption);
  visit();
  EXPECT_EQ(activities(), (std::vector<std::string>{"S", "S"}));
  EXPECT_TRUE(passive().locationManager());
}

TEST_F(BalancedPassiveTest, APermissionGrantPlacesTheFixedRegionThatTheNextPositionReplaces) {
  for (const auto& mode : {balancedMode(), passiveMode()}) {
    SCOPED_TRACE(mode.name);
    start(mode);
    deliver(52.5);
    setOnline(false);
    sim_->setAuthorization(platform::AuthorizationStatus::denied);
    platform::Dispatch::drainMain();
    EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
    EXPECT_FALSE(SharedUtil::getDefaultDictionary(kGPSStatus).empty()) << "kept for later while offline";
    EXPECT_TRUE(mode.manager()) << "a permission loss does not stop the mode";
    setOnline(true);

    sim_->setAuthorization(platform::AuthorizationStatus::authorizedWhenInUse);
    platform::Dispatch::drainMain();
    EXPECT_TRUE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
    auto fixed = regionsNamed(KGeofenceRegionIdentifier);
    ASSERT_EQ(fixed.size(), 1u);
    EXPECT_EQ(fixed[0].identifier, KGeofenceRegionIdentifier);
    EXPECT_EQ(fixed[0].radius, 100.0);
    EXPECT_EQ(fixed[0].center.latitude, 52.5);
    EXPECT_TRUE(fixed[0].notifyOnExit);

    // The next position (a small move the balanced distance filter holds
    // back, reported by the exit): one region of the mode, around it.
    platform::LocationServices::reportFixes({fixAt(52.5003, 13.4, 20)});
    platform::Dispatch::drainMain();
    cross(mode.region == kBalancedRegion ? kBalancedRegion : KGeofenceRegionIdentifier, false);
    const auto own = regionsNamed(mode.region);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].center.latitude, 52.5003);
    if (mode.region == kBalancedRegion) {
      EXPECT_TRUE(regionsNamed(KGeofenceRegionIdentifier).empty());
    }
    mode.stop();
    platform::Dispatch::drainMain();
    SharedUtil::removeKey(kGPSStatus);
    sim_->setAuthorization(platform::AuthorizationStatus::notDetermined);
    platform::Dispatch::drainMain();
  }
}

TEST_F(BalancedPassiveTest, BalancedStopRemovesOnlyTheRegionItPlaced) {
  auto m = platform::LocationManager::create();
  platform::CircularRegion host{"host-zone", {52.6, 13.5}, 300, true, true};
  m->startMonitoring(host);
  start(balancedMode());
  deliver(52.5);
  balanced().stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::LocationServices::monitoredRegions(), std::vector<platform::CircularRegion>{host});

  // A region of the same name placed by someone else after the mode's own stays.
  start(balancedMode());
  deliver(52.5005);
  platform::CircularRegion other{kBalancedRegion, {52.7, 13.6}, 250, false, true};
  m->startMonitoring(other);
  balanced().stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::LocationServices::monitoredRegions(), (std::vector<platform::CircularRegion>{host, other}));
  m->stopMonitoring(host);
  m->stopMonitoring(other);
}

TEST_F(BalancedPassiveTest, StartStopStartLeaksNoRegionTaskOrObserver) {
  const auto observers = platform::NotificationCenter::defaultCenter().observerCount();
  for (const auto& mode : {balancedMode(), passiveMode()}) {
    SCOPED_TRACE(mode.name);
    for (int round = 0; round < 3; ++round) {
      start(mode);
      deliver(52.5 + round * 0.01);
      EXPECT_EQ(regionsNamed(mode.region).size(), 1u);
      mode.stop();
      platform::Dispatch::drainMain();
      EXPECT_TRUE(platform::LocationServices::monitoredRegions().empty());
    }
  }
  EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(), observers);
  EXPECT_FALSE(sim_->isRunning()) << "nothing left that needs positions";
}

TEST_F(BalancedPassiveTest, PassiveHoldsOneBackgroundTaskFromEachStartUntilItExpires) {
  start(passiveMode());
  const auto first = passive().currentBackgroundTask();
  EXPECT_TRUE(platform::Application::isBackgroundTaskRunning(first));
  start(passiveMode());  // a second start ends the held task before it begins another
  EXPECT_FALSE(platform::Application::isBackgroundTaskRunning(first));
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u);

  passive().stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u) << "kept until the host says time is up";
  start(passiveMode());
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 1u);

  platform::Application::expireBackgroundTasks();
  platform::Dispatch::drainMain();
  EXPECT_EQ(platform::Application::backgroundTaskCount(), 0u);
  EXPECT_EQ(passive().currentBackgroundTask(), platform::invalidBackgroundTask);
  EXPECT_TRUE(passive().locationManager()->isMonitoringSignificantLocationChanges()) << "tracking goes on";
}

TEST_F(BalancedPassiveTest, AStartAfterAQueuedStopKeepsTheModeRunning) {
  auto& active = PelkActiveTracking::shareInstance();
  const struct {
    ModeUnderTest mode;
    std::function<bool(const platform::LocationManager&)> running;
  } cases[] = {
      {balancedMode(), [](const auto& m) { return m.isUpdatingLocation(); }},
      {passiveMode(), [](const auto& m) { return m.isMonitoringSignificantLocationChanges(); }},
      {{"active", Mode::active, [&] { active.startTracking(); }, [&] { active.stopTracking(); },
        [&] { return active.locationManager(); }, KGeofenceRegionIdentifier},
       [](const auto& m) { return m.isUpdatingLocation() && m.hasDelegate(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode.name);
    start(c.mode);
    // Stop and start before the main queue runs the stop.
    c.mode.stop();
    c.mode.start();
    platform::Dispatch::drainMain();
    ASSERT_TRUE(c.mode.manager());
    EXPECT_TRUE(c.running(*c.mode.manager()));
    c.mode.stop();
    platform::Dispatch::drainMain();
  }
}

TEST_F(BalancedPassiveTest, EnteringTheBackgroundReArmsAStoppedPassiveModeOnlyWhenItIsStoredAndOn) {
  const struct {
    const char* name;
    Mode stored;
    bool trackingOn;
    bool savedPosition;
    bool arms;
    std::size_t regions;
  } cases[] = {
      {"passive, on, saved position", Mode::passive, true, true, true, 1},
      {"passive, on, nothing saved", Mode::passive, true, false, true, 0},
      {"passive, off", Mode::passive, false, true, false, 0},
      {"balanced stored", Mode::balanced, true, true, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Application::resetForTesting();
    SharedUtil::setDefaultInteger(rawValue(c.stored), kTrackingOption);
    SharedUtil::setDefaultBoolean(c.trackingOn, kIsLocationTracking);
    SharedUtil::removeKey(kMotionLatitude);
    if (c.savedPosition) LocationUtils::saveLocation(fixAt(52.4, 13.3, 20));
    ASSERT_FALSE(passive().locationManager());
    platform::Application::reportBackground();
    platform::Dispatch::drainMain();
    auto m = passive().locationManager();
    EXPECT_EQ(m && m->isMonitoringSignificantLocationChanges(), c.arms);
    const auto regions = regionsNamed(KGeofenceRegionIdentifier);
    ASSERT_EQ(regions.size(), c.regions);
    if (c.regions) {
      EXPECT_EQ(regions[0].center.latitude, 52.4);
      EXPECT_EQ(regions[0].radius, 100.0);
    }
    passive().stopTracking();
    platform::Dispatch::drainMain();
  }
}

// A buffered position's settings writes (the speed window, the last
// position) are lazy values: no commit of the settings of its own.
TEST_F(BalancedPassiveTest, ABufferedPositionCostsNoSettingsCommit) {
  // The position's own commits: the log's records, written on a schedule of
  // their own, are left out of the count.
  SharedUtil::setDefaultBoolean(false, kLoggingEnabled);
  setOnline(false);
  SharedUtil::setDefaultBoolean(true, kOfflineTracking);
  start(balancedMode());
  const std::string file = SharedUtil::userDefaultValue()->path();
  const double latitudes[] = {52.5, 52.5005, 52.5010, 52.5015};
  for (std::size_t i = 0; i < std::size(latitudes); ++i) {
    const int before = walCommits(file);
    deliver(latitudes[i], 30);
    EXPECT_EQ(walCommits(file) - before, 0) << i;
    EXPECT_EQ(buffer_->getOfflineLocationCount(), static_cast<std::int64_t>(i + 1));
  }
  EXPECT_EQ(LocationUtils::getLastLocation().coordinate.latitude, 52.5015);
}

}  // namespace
}  // namespace pelk::test
