// The host's reports of its lifecycle (Pelk::reportForeground, reportBackground,
// reportTerminate) and the authorization the kit settles on a host without a
// prompt, through the public API, on the real tracking modes and the
// simulated location services.

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ManagerFixture.h"
#include "RoadFixture.h"
#include "device/DeviceInfo.h"
#include "messaging/LocationUtils.h"
#include "platform/Clock.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"
#include "tracking/PermissionCheck.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

class HostLifecycleTest : public RoadTest {
 protected:
  HostLifecycleTest() {
    storeUser();
    Pelk::setDelegate(app_);
    Pelk::initialize("pk-1");
    platform::Dispatch::drainMain();
    // A publishing app (no broker here: its positions are buffered), which
    // hears of its own positions.
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
    SharedUtil::setDefaultBoolean(true, kOfflineTracking);
  }
  ~HostLifecycleTest() override {
    Pelk::stopTracking();
    PelkPassiveTracking::shareInstance().stopTracking();
    PelkCustomTracking::sharedInstance().stopTracking();
    platform::Dispatch::drainMain();
    platform::Application::resetForTesting();
  }

  // One fix a hundred metres on from the last, ten seconds later, through the
  // location services.
  void deliver() {
    platform::Dispatch::advanceClock(10s);
    lat_ += 0.001;
    deliverFixAt(lat_);
  }
  void report(void (*what)()) {
    what();
    platform::Dispatch::drainMain();
  }
  // The app state each buffered position carries, in order.
  std::vector<std::string> appStatesBuffered() {
    std::vector<std::string> out;
    for (const auto& row : buffer_->fetchDeviceData(0)) out.push_back(row.app_context.value_or(""));
    return out;
  }

  std::shared_ptr<RecordingDelegate> app_ = std::make_shared<RecordingDelegate>();
  double lat_ = 52.5;
};

// Tracking for one app state only, started in the other: it waits, paused,
// for the host to report that state, and pauses again, never ends, when the
// host reports the other one.  Every position says in which state it was taken.
TEST_F(HostLifecycleTest, StateLimitedTrackingPausesAndResumesWithTheHostsReports) {
  struct Case {
    const char* name;
    PelkTrackingState state;
    void (*into)();    // the report that brings the app into the state tracked
    void (*out)();     // the one that takes it out
    const char* code;  // that state's code on a position
  };
  const Case cases[] = {
      {"background only, started in the foreground", PelkTrackingState::backgroundOnly, Pelk::reportBackground,
       Pelk::reportForeground, "B"},
      {"foreground only, started in the background", PelkTrackingState::foregroundOnly, Pelk::reportForeground,
       Pelk::reportBackground, "F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    report(c.out);
    app_->locations.clear();
    buffer_->deleteAllRecords();
    Pelk::setTrackingInAppState(c.state);
    Pelk::startTracking(PelkTrackingMode::active);
    platform::Dispatch::drainMain();
    deliver();
    EXPECT_EQ(app_->locationCount(), 0u) << "a position in a state not tracked";
    EXPECT_TRUE(Pelk::isLocationTracking());
    EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::notselected) << "paused";

    report(c.into);
    EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::active);
    deliver();
    deliver();
    EXPECT_EQ(app_->locationCount(), 2u);

    report(c.out);
    EXPECT_TRUE(Pelk::isLocationTracking());
    deliver();
    EXPECT_EQ(app_->locationCount(), 2u);

    report(c.into);
    deliver();
    EXPECT_EQ(app_->locationCount(), 3u);
    EXPECT_EQ(appStatesBuffered(), std::vector<std::string>(3, c.code));
    Pelk::stopTracking();
    platform::Dispatch::drainMain();
  }
}

// A fix that reaches the kit while the app is in a state its tracking is not
// for (one the mode took just as the app changed state, the app's own
// one-shot update, a trip action's) is not taken and pauses tracking; it never
// stops it, so the host's next report of the tracked state resumes it.
TEST_F(HostLifecycleTest, AFixInAStateNotTrackedNeverEndsTracking) {
  std::string tripId;
  Pelk::createTrip(true, std::nullopt, [&](std::shared_ptr<PelkCreateTrip> trip, std::optional<PelkError>) {
    if (trip) tripId = trip->tripId().value_or("");
  });
  platform::Dispatch::drainMain();
  ASSERT_FALSE(tripId.empty());
  struct Case {
    const char* name;
    bool queuedBehindReport;  // the fix comes before the report's reaction ran
    std::function<void()> strayFix;
  };
  const Case cases[] = {
      {"the mode's fix queued behind the background report", true, [&] { deliver(); }},
      {"the app's one-shot update", false,
       [&] {
         Pelk::updateCurrentLocation(100);
         deliver();
       }},
      {"a trip action's fix", false,
       [&] {
         Pelk::startTrip(tripId);
         deliver();
       }},
  };
  Pelk::setTrackingInAppState(PelkTrackingState::foregroundOnly);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pelk::startTracking(PelkTrackingMode::active);
    platform::Dispatch::drainMain();
    deliver();
    ASSERT_EQ(manager().runningMode(), PelkTrackingModeLocal::active);
    const auto before = app_->locationCount();
    Pelk::reportBackground();
    if (!c.queuedBehindReport) platform::Dispatch::drainMain();
    c.strayFix();
    EXPECT_EQ(app_->locationCount(), before) << "a position taken in the background";
    EXPECT_TRUE(Pelk::isLocationTracking());
    report(Pelk::reportForeground);
    EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::active);
    deliver();
    EXPECT_EQ(app_->locationCount(), before + 1);
  }
}

// The app stops tracking in the turn between a fix taken in a state its
// tracking is not for and the pause that fix queued: the pause runs first,
// the stop after it, and the stop stands at the host's next reports.
TEST_F(HostLifecycleTest, AStopRightAfterAFixOutOfStateStandsAtTheNextReports) {
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  deliver();
  ASSERT_EQ(manager().runningMode(), PelkTrackingModeLocal::active);
  const auto before = app_->locationCount();
  const auto bufferedBefore = appStatesBuffered().size();
  // Tracking now for the background only, while the app is in the foreground
  // and the mode runs: its next fix is taken in a state not tracked.
  Pelk::setTrackingInAppState(PelkTrackingState::backgroundOnly);
  platform::Dispatch::advanceClock(10s);
  lat_ += 0.001;
  sim_->deliverFix(fixAt(lat_));                                   // the fix's turn queues the pause
  platform::Dispatch::main().async([] { Pelk::stopTracking(); });  // the app's stop, the turn after it
  platform::Dispatch::drainMain();
  EXPECT_FALSE(Pelk::isLocationTracking());
  for (auto next : {Pelk::reportBackground, Pelk::reportForeground, Pelk::reportBackground}) {
    report(next);
    EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::notselected);
  }
  deliver();
  EXPECT_EQ(app_->locationCount(), before) << "a position after the app's stop";
  EXPECT_EQ(appStatesBuffered().size(), bufferedBefore) << "a position published after the app's stop";
  EXPECT_FALSE(Pelk::isLocationTracking());
}

// The reactions of the modes themselves to the background report: passive
// tracking places its fixed region around the last saved position and asks
// for significant changes; interval tracking counts its interval again from
// the report.
TEST_F(HostLifecycleTest, ModesReactToTheHostsBackgroundReport) {
  Pelk::startTracking(PelkTrackingMode::passive);
  platform::Dispatch::drainMain();
  LocationUtils::saveLocation(FixBuilder(52.41, 13.31).accuracy(20).takenAt(platform::Clock::now()));
  auto passive = PelkPassiveTracking::shareInstance().locationManager();
  ASSERT_TRUE(passive);
  passive->stopMonitoringSignificantLocationChanges();
  for (const auto& r : platform::LocationServices::monitoredRegions()) passive->stopMonitoring(r.identifier);
  report(Pelk::reportBackground);
  passive = PelkPassiveTracking::shareInstance().locationManager();
  ASSERT_TRUE(passive);
  EXPECT_TRUE(passive->isMonitoringSignificantLocationChanges());
  bool placed = false;
  for (const auto& r : platform::LocationServices::monitoredRegions()) {
    placed = placed || (r.identifier == KGeofenceRegionIdentifier && r.center.latitude == 52.41 && r.radius == 100.0);
  }
  EXPECT_TRUE(placed) << "no region around the last saved position";
  report(Pelk::reportForeground);

  PelkTrackingCustomMethods interval;
  interval.updateInterval = 60;
  Pelk::startTracking(PelkTrackingMode::custom, interval);
  platform::Dispatch::drainMain();
  auto timed = PelkTimeBasedLocationManager::instance().locationManager();
  ASSERT_TRUE(timed);
  platform::Dispatch::advanceClock(30s);
  report(Pelk::reportBackground);
  timed = PelkTimeBasedLocationManager::instance().locationManager();
  ASSERT_TRUE(timed);
  timed->stopUpdatingLocation();
  platform::Dispatch::advanceClock(30s);
  EXPECT_FALSE(timed->isUpdatingLocation()) << "a tick of the interval counted from the start";
  platform::Dispatch::advanceClock(30s);
  EXPECT_TRUE(timed->isUpdatingLocation()) << "no tick one interval after the report";
}

// The app state a position carries follows the host's reports, and a new run
// starts in the foreground whatever the last one reported.
TEST_F(HostLifecycleTest, PositionsCarryTheAppStateTheHostReported) {
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  deliver();
  report(Pelk::reportBackground);
  deliver();
  report(Pelk::reportForeground);
  deliver();
  report(Pelk::reportTerminate);
  deliver();
  EXPECT_EQ(appStatesBuffered(), (std::vector<std::string>{"F", "B", "F", "T"}));
  // The next run (start-up again, in the foreground as every run begins).
  platform::Application::resetForTesting();
  Pelk::initialize("pk-1");
  EXPECT_EQ(DeviceInfo().appState(), "F");
}

// A terminate report from the host's own thread returns once the kit took it,
// so that a host that ends right after it has it recorded.
TEST_F(HostLifecycleTest, TerminateReturnsOnceTheKitTookIt) {
  platform::Dispatch::useThreadedMainQueue();
  std::thread([] { Pelk::reportTerminate(); }).join();
  EXPECT_EQ(SharedUtil::getDefaultString(KcurrentAppState), "T");
  platform::Dispatch::useManualMainQueue();
}

// ---------------------------------------------------------------- authorization

class HostAuthorizationTest : public ManagerTest {
 protected:
  // A new run on this machine: the location services know no answer yet.
  void newRun() {
    sim_ = &platform::LocationServices::useSimulatedProvider();
    platform::Dispatch::drainMain();
  }
};

TEST_F(HostAuthorizationTest, TheKitGrantsAtTheFirstUseUnlessTheHostAnswered) {
  storeUser();
  newRun();
  // Nothing has used positions yet: nothing is decided, nothing kept.
  EXPECT_EQ(Pelk::locationPermissionStatus(), 0);
  EXPECT_FALSE(Pelk::isLocationEnabled());
  EXPECT_FALSE(SharedUtil::userDefaultValue()->contains(klocationPermissionStatus));
  // What is no answer changes nothing.
  for (std::int64_t bad : {0, 5, -1}) EXPECT_FALSE(Pelk::setLocationPermissionStatus(bad)) << bad;
  EXPECT_EQ(Pelk::locationPermissionStatus(), 0);

  // Self-tracking, too, is a use of positions.
  Pelk::startSelfTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  EXPECT_EQ(Pelk::locationPermissionStatus(), 3);
  EXPECT_TRUE(Pelk::isLocationEnabled());
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus), 3);

  // The host's denial: in force at once, kept, and in force again in the next
  // run before anything asks; the kit's default never overrides it.
  EXPECT_TRUE(Pelk::setLocationPermissionStatus(2));
  EXPECT_EQ(Pelk::locationPermissionStatus(), 2);
  EXPECT_FALSE(Pelk::isLocationEnabled());
  newRun();
  EXPECT_EQ(Pelk::locationPermissionStatus(), 2);
  Pelk::initialize("pk-1");
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  EXPECT_EQ(Pelk::locationPermissionStatus(), 2);
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus), 2);
}

}  // namespace
}  // namespace pelk::test
