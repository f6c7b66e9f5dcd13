#include "ManagerFixture.h"
#include "OfflineTripsFixture.h"
#include "storage/PelkHTTPDataStorageManager.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <limits>
#include <thread>

#include "pelk/pelk.h"
#include "platform/Clock.h"
#include "support/GpsFake.h"
#include "tracking/BaseCLManager.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
const std::string kStartActive = modeCall("start", PelkTrackingModeLocal::active);
const std::string kStopActive = modeCall("stop", PelkTrackingModeLocal::active);

class TrackingControlTest : public ManagerTest {
 protected:
  void startActive() {
    Pelk::startTracking(PelkTrackingMode::active);
    platform::Dispatch::drainMain();
  }
};

TEST_F(TrackingControlTest, StartChecksUserServicesAndOfflinePolicyInOrder) {
  struct Case {
    const char* name;
    bool user, services, authorized, offlineTracking, online;
    std::string line;
    bool starts;
  };
  const std::vector<Case> cases = {
      {"no user", false, false, true, true, true, "User not created", false},
      {"services off", true, false, true, true, true, "Location services error or permissions not granted", false},
      {"offline, offline tracking off", true, true, true, false, false, "Offline Tracking Disabled ", false},
      {"offline, offline tracking on", true, true, true, true, false, "Tracking Started", true},
      {"app not authorized yet", true, true, false, false, true, "Tracking Started", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    modes_->clear();
    if (c.user) storeUser();
    sim_->setServicesEnabled(c.services);
    sim_->setAuthorization(c.authorized ? platform::AuthorizationStatus::authorizedAlways
                                        : platform::AuthorizationStatus::notDetermined);
    SharedUtil::setDefaultBoolean(c.offlineTracking, kOfflineTracking);
    setOnline(c.online);
    platform::Console::Capture console;
    startActive();
    EXPECT_TRUE(console.contains(c.line));
    EXPECT_EQ(manager().isLocationTracking(), c.starts);
    EXPECT_EQ(SaveUtilis::getTrackingOptions(),
              c.starts ? PelkTrackingModeLocal::active : PelkTrackingModeLocal::notselected);
    EXPECT_EQ(modes_->count(kStartActive), c.starts ? 1u : 0u);
  }
}

TEST_F(TrackingControlTest, CustomModeWithoutOptionsPrintsDataNotFoundAndChangesNothing) {
  storeUser();
  platform::Console::Capture console;
  Pelk::startTracking(PelkTrackingMode::custom);
  Pelk::startSelfTracking(PelkTrackingMode::custom);
  platform::Dispatch::drainMain();
  EXPECT_TRUE(console.contains("Data not found"));
  EXPECT_FALSE(console.contains("Tracking Started"));
  EXPECT_FALSE(manager().isLocationTracking());
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::notselected);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  EXPECT_TRUE(modes_->calls().empty());
}

TEST_F(TrackingControlTest, AModeWithoutAnEngineIsRefusedNotReportedStarted) {
  storeUser();
  TrackingModes modes;
  modes.start = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("start", mode)); };
  modes.available = [](PelkTrackingModeLocal mode) { return mode == PelkTrackingModeLocal::active; };
  manager().setTrackingModes(modes);
  platform::Console::Capture console;
  Pelk::startTracking(PelkTrackingMode::passive);
  Pelk::startSelfTracking(PelkTrackingMode::balanced);
  platform::Dispatch::drainMain();
  EXPECT_EQ(console.lines(), (std::vector<std::string>{"Tracking mode not available", "Tracking mode not available"}));
  EXPECT_FALSE(Pelk::isLocationTracking());
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::notselected);
  EXPECT_TRUE(modes_->calls().empty());
  startActive();
  EXPECT_EQ(modes_->count(kStartActive), 1u);
}

TEST_F(TrackingControlTest, StopClearsTheSwitchAtOnceAndStopsTheModeOnTheMainQueue) {
  storeUser();
  startActive();
  Pelk::stopTracking();
  EXPECT_FALSE(Pelk::isLocationTracking());
  EXPECT_EQ(modes_->count(kStopActive), 0u);
  platform::Dispatch::drainMain();
  EXPECT_EQ(modes_->count(kStopActive), 1u);
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::active);  // the mode stays stored
}

// The switch is written at once, the mode is started or stopped on the main
// queue: whatever the order in which the queued work runs, the mode must end
// as the last write of the switch says.
TEST_F(TrackingControlTest, RunningModeEndsAsTheLastSwitchWriteSays) {
  storeUser();
  struct Case {
    const char* name;
    std::vector<bool> starts;  // true: start active, false: stop
  };
  const Case cases[] = {
      {"start stop start", {true, false, true}},
      {"stop start stop", {false, true, false}},
      {"start start stop", {true, true, false}},
      {"stop stop start", {false, false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool start : c.starts) {
      if (start) {
        Pelk::startTracking(PelkTrackingMode::active);
      } else {
        Pelk::stopTracking();
      }
    }
    platform::Dispatch::drainMain();
    EXPECT_EQ(Pelk::isLocationTracking(), c.starts.back());
    EXPECT_EQ(manager().runningMode(),
              c.starts.back() ? PelkTrackingModeLocal::active : PelkTrackingModeLocal::notselected);
  }
}

TEST_F(TrackingControlTest, StartsAndStopsFromTwoHostThreadsLeaveSwitchAndModeAgreeing) {
  storeUser();
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::thread starter([] {
      for (int i = 0; i < 3; ++i) Pelk::startTracking(PelkTrackingMode::active);
    });
    std::thread stopper([&] {
      for (int i = 0; i < 3; ++i) Pelk::stopTracking();
    });
    starter.join();
    stopper.join();
    platform::Dispatch::drainMain();
    EXPECT_EQ(Pelk::isLocationTracking(), manager().runningMode() == PelkTrackingModeLocal::active);
  }
}

TEST_F(TrackingControlTest, LogoutStopsTheModeThatIsRunning) {
  server_.setDefault("/v3/user/logout/", ScriptedReply::json(json{{"code", 200}, {"msg", "Logged out"}}.dump()));
  storeUser();
  TokenManager::setPublishKey("pk");
  TokenManager::setDeviceToken("0aff");
  manager().intialize("pk");
  startActive();
  std::optional<std::string> answer;
  std::mutex m;
  Pelk::logoutUser([&](std::optional<std::string> text, std::optional<PelkError>) {
    std::lock_guard lock(m);
    answer = text.value_or("<none>");
  });
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(m);
    return answer.has_value();
  }));
  platform::Dispatch::drainMain();
  EXPECT_EQ(*answer, "Logged out");
  // The reset cleared the stored mode before the stop; the running mode still stops.
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::notselected);
  EXPECT_EQ(modes_->count(kStopActive), 1u);
  EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::notselected);
  // The logout's stop is not one the network's return (in this process or
  // after a relaunch) may undo for the next user.
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kTrackingStoppedByKit));
  EXPECT_EQ(TokenManager::getPublishKey(), "pk");
  EXPECT_EQ(TokenManager::getDeviceToken(), "0aff");
  EXPECT_EQ(TokenManager::getUserId(), "");
}

TEST_F(TrackingControlTest, NetworkChangeRestartsOnlyAStopTheKitCaused) {
  struct Case {
    const char* name;
    std::function<void()> stop;
    bool restarts;
  };
  const std::vector<Case> cases = {
      {"app stop", [] { Pelk::stopTracking(); }, false},
      {"refused token", [] { network::links::stopTracking(); }, true},
      {"engine policy", [] { tracking::links::stopTracking(); }, true},
      {"account shadow", [] { messaging::links::stopTracking(); }, false},
      {"offline policy",
       [this] {
         SharedUtil::setDefaultBoolean(false, kOfflineTracking);
         setOnline(false);
         manager().updateTrackingAsPerOfflineSettings();
         setOnline(true);
       },
       true},
  };
  manager().intialize("pk");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    storeUser();
    SharedUtil::setDefaultBoolean(true, kOfflineTracking);
    modes_->clear();
    startActive();
    c.stop();
    platform::Dispatch::drainMain();
    ASSERT_EQ(modes_->count(kStopActive), 1u);
    EXPECT_FALSE(manager().isLocationTracking());
    manager().updateTrackingAsPerOfflineSettings();
    platform::Dispatch::drainMain();
    EXPECT_EQ(modes_->count(kStartActive), c.restarts ? 2u : 1u);
    EXPECT_FALSE(manager().isLocationTracking());  // a restart leaves the switch off
  }
}

TEST_F(TrackingControlTest, ShadowStopAndRestartResumeTheAppsTracking) {
  storeUser();
  manager().intialize("pk");
  startActive();
  messaging::links::stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_FALSE(Pelk::isLocationTracking());
  EXPECT_EQ(modes_->count(kStopActive), 1u);
  messaging::links::startTrackingMode(PelkTrackingModeLocal::active);
  platform::Dispatch::drainMain();
  EXPECT_TRUE(Pelk::isLocationTracking());
  EXPECT_EQ(modes_->count(kStartActive), 2u);
  EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::active);
}

TEST_F(TrackingControlTest, SelfTrackingFeedsTheAppAndItsStopStopsTheMode) {
  storeUser();
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  Pelk::startSelfTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  EXPECT_EQ(modes_->count(kStartActive), 1u);
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(KLocationPublisher));
  EXPECT_FALSE(Pelk::isLocationTracking());
  Pelk::stopSelfTracking();
  platform::Dispatch::drainMain();
  EXPECT_EQ(modes_->count(kStopActive), 1u);
}

// The app's stop of self-tracking stops what runs, whatever it was, and leaves
// the switch saying so: neither a lifecycle change nor a network change brings
// a mode back afterwards.
TEST_F(TrackingControlTest, StopSelfTrackingLeavesNothingRunningAndNothingToRestart) {
  storeUser();
  manager().intialize("pk");
  struct Case {
    const char* name;
    std::function<void()> start;
  };
  const std::vector<Case> cases = {
      {"self-tracking", [] { Pelk::startSelfTracking(PelkTrackingMode::active); }},
      {"app tracking", [] { Pelk::startTracking(PelkTrackingMode::active); }},
      {"self-tracking over app tracking",
       [] {
         Pelk::startTracking(PelkTrackingMode::active);
         Pelk::startSelfTracking(PelkTrackingMode::balanced);
       }},
      {"self-tracking after the kit stopped tracking",
       [] {
         Pelk::startTracking(PelkTrackingMode::active);
         tracking::links::stopTracking();
         Pelk::startSelfTracking(PelkTrackingMode::balanced);
       }},
  };
  const auto starts = [this] {
    std::size_t n = 0;
    for (const auto& call : modes_->calls()) n += call.starts_with("start") ? 1 : 0;
    return n;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.start();
    platform::Dispatch::drainMain();
    ASSERT_NE(manager().runningMode(), PelkTrackingModeLocal::notselected);
    Pelk::stopSelfTracking();
    platform::Dispatch::drainMain();
    EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::notselected);
    EXPECT_FALSE(Pelk::isLocationTracking());
    const auto before = starts();
    platform::Application::reportBackground();
    platform::Dispatch::drainMain();
    platform::Application::reportForeground();
    platform::Dispatch::drainMain();
    manager().updateTrackingAsPerOfflineSettings();
    platform::Dispatch::drainMain();
    EXPECT_EQ(starts(), before);
    EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::notselected);
  }
}

TEST_F(TrackingControlTest, AccuracySwitchesNeedUserAndTokenAndStoreTheirValues) {
  struct Case {
    const char* name;
    bool user, token;
    std::function<void()> op;
    std::string line;
    bool filter;
    std::int64_t value;
  };
  const std::vector<Case> cases = {
      {"no user", false, true, [] { Pelk::enableAccuracyEngine(); }, "User not created", false, 0},
      {"no token", true, false, [] { Pelk::enableAccuracyEngine(); }, "Data not found", false, 0},
      {"default", true, true, [] { Pelk::enableAccuracyEngine(); }, "", true, 50},
      {"given", true, true, [] { Pelk::enableAccuracyEngine(25); }, "", true, 25},
      {"raised to 1", true, true, [] { Pelk::enableAccuracyEngine(0); }, "", true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    if (c.user) TokenManager::setUserId("u1");
    if (c.token) TokenManager::setSdkToken("tok");
    platform::Console::Capture console;
    c.op();
    if (!c.line.empty()) {
      EXPECT_TRUE(console.contains(c.line));
    }
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kAccuracyFilter), c.filter);
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kAccuracyFilterCustom), c.filter);
    EXPECT_EQ(SharedUtil::getDefaultInteger(kAccuracyFilterCustomValue), c.value);
  }
  Pelk::disableAccuracyEngine();
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kAccuracyFilter));
  EXPECT_EQ(SharedUtil::getDefaultInteger(kAccuracyFilterCustomValue), 1);
}

TEST_F(TrackingControlTest, ForegroundOnlyTrackingPausesInTheBackgroundAndResumes) {
  storeUser();
  manager().intialize("pk");
  Pelk::setTrackingInAppState(PelkTrackingState::foregroundOnly);
  startActive();
  platform::Application::reportBackground();
  platform::Dispatch::drainMain();
  EXPECT_EQ(modes_->count(kStopActive), 1u);
  EXPECT_TRUE(Pelk::isLocationTracking());  // the app's switch stays on
  EXPECT_EQ(SharedUtil::getDefaultString(KcurrentAppState), "B");
  platform::Application::reportForeground();
  platform::Dispatch::drainMain();
  EXPECT_EQ(modes_->count(kStartActive), 2u);
  EXPECT_EQ(SharedUtil::getDefaultString(KcurrentAppState), "F");
  EXPECT_TRUE(Pelk::isLocationTracking());
}

TEST_F(TrackingControlTest, AppTrackingStateRule) {
  using S = PelkTrackingState;
  struct Case {
    std::int64_t stored;
    bool background;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {rawValue(S::foregroundAndBackground), true, true},
      {rawValue(S::foregroundAndBackground), false, true},
      {rawValue(S::foregroundOnly), false, true},
      {rawValue(S::foregroundOnly), true, false},
      {rawValue(S::backgroundOnly), false, false},
      {rawValue(S::backgroundOnly), true, true},
      {7, true, true},
  };
  for (const auto& c : cases) {
    SharedUtil::setDefaultInteger(c.stored, kUserAppState);
    if (c.background) {
      platform::Application::reportBackground();
    } else {
      platform::Application::reportForeground();
      platform::Dispatch::drainMain();
      platform::Application::reportInactive();
    }
    platform::Dispatch::drainMain();
    EXPECT_EQ(PelkTrackingStateData::checkAppTrackingState(), c.allowed) << c.stored << " " << c.background;
  }
}

}  // namespace
}  // namespace pelk::test

namespace pelk::test {
namespace {

class CurrentLocationTest : public ManagerTest {
 protected:
  CurrentLocationTest() { BaseCLManager::sharedInstance().resetForTesting(); }
  ~CurrentLocationTest() override {
    BaseCLManager::sharedInstance().resetForTesting();
    platform::Dispatch::drainMain();
  }
  void deliver(double accuracy) {
    sim_->deliverFix(FixBuilder(52.5, 13.4).accuracy(accuracy).takenAt(platform::Clock::now()));
    platform::Dispatch::drainMain();
  }
};

TEST_F(CurrentLocationTest, GuardsAnswerThroughTheHandler) {
  struct Case {
    const char* name;
    bool authorized, token;
    PelkError error;
  };
  const std::vector<Case> cases = {
      {"no permission", false, true, {"QB408", "Location services error or permissions not granted"}},
      {"no token", true, false, {"QB402", "Quelbrin SDK not initialized"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    sim_->setAuthorization(c.authorized ? platform::AuthorizationStatus::authorizedAlways
                                        : platform::AuthorizationStatus::denied);
    if (c.token) TokenManager::setSdkToken("tok");
    std::optional<PelkError> got;
    Pelk::getCurrentLocation(50, [&](std::optional<Location> fix, std::optional<PelkError> e) {
      EXPECT_FALSE(fix.has_value());
      got = e;
    });
    EXPECT_EQ(got, c.error);
  }
}

TEST_F(CurrentLocationTest, WantedAccuracyIsAtLeastTenMetresAndTheFixIsCounted) {
  TokenManager::setSdkToken("tok");
  std::vector<double> served;
  Pelk::getCurrentLocation(5, [&](std::optional<Location> fix, std::optional<PelkError> e) {
    EXPECT_FALSE(e.has_value());
    if (fix) served.push_back(fix->horizontalAccuracy);
  });
  platform::Dispatch::drainMain();
  deliver(12);  // outside 10 m
  EXPECT_TRUE(served.empty());
  deliver(9);  // within 10 m, though not within the 5 asked for
  EXPECT_EQ(served, std::vector<double>{9});
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), 1);
}

TEST_F(CurrentLocationTest, LogoutAnswersEveryRequestStillWaitingForAFix) {
  server_.setDefault("/v3/user/logout/", ScriptedReply::json(json{{"code", 200}, {"msg", "Logged out"}}.dump()));
  storeUser();
  TokenManager::setPublishKey("pk");
  manager().intialize("pk");
  std::mutex m;
  std::vector<std::optional<PelkError>> answers;
  Pelk::getCurrentLocation(20, [&](std::optional<Location> fix, std::optional<PelkError> e) {
    EXPECT_FALSE(fix.has_value());
    std::lock_guard lock(m);
    answers.push_back(e);
  });
  platform::Dispatch::drainMain();
  ASSERT_EQ(BaseCLManager::sharedInstance().pendingCount(), 1u);
  std::atomic<bool> loggedOut{false};
  Pelk::logoutUser([&](std::optional<std::string>, std::optional<PelkError> e) {
    EXPECT_FALSE(e.has_value());
    loggedOut = true;
  });
  ASSERT_TRUE(waitFor([&] { return loggedOut.load(); }));
  platform::Dispatch::drainMain();
  std::lock_guard lock(m);
  EXPECT_EQ(answers, (std::vector<std::optional<PelkError>>{PelkError("QB402", "Quelbrin SDK not initialized")}));
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(CurrentLocationTest, DenialFailsEveryPendingRequestWithTheLocationError) {
  TokenManager::setSdkToken("tok");
  std::vector<std::optional<PelkError>> answers;
  for (const std::int64_t accuracy : {50, 20}) {
    Pelk::getCurrentLocation(accuracy, [&](std::optional<Location> fix, std::optional<PelkError> e) {
      EXPECT_FALSE(fix.has_value());
      answers.push_back(e);
    });
  }
  platform::Dispatch::drainMain();
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 2u);
  sim_->setAuthorization(platform::AuthorizationStatus::denied);
  platform::Dispatch::drainMain();
  const PelkError denied("QB408", "Location services error or permissions not granted");
  EXPECT_EQ(answers, (std::vector<std::optional<PelkError>>{denied, denied}));
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(CurrentLocationTest, UpdateCurrentLocationSendsTheFixAsStationaryToTheApp) {
  storeUser();
  manager().intialize("pk");
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  auto app = std::make_shared<RecordingDelegate>();
  Pelk::setDelegate(app);
  Pelk::updateCurrentLocation(30);
  platform::Dispatch::drainMain();
  deliver(45);  // outside the 30 m asked for
  EXPECT_EQ(app->locationCount(), 0u);
  deliver(25);
  ASSERT_EQ(app->locationCount(), 1u);
  EXPECT_EQ(app->locations[0].activity(), "S");
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(CurrentLocationTest, UpdateCurrentLocationGuardsPrintAndAskForNothing) {
  struct Case {
    const char* name;
    bool online, authorized, user;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"offline", false, true, true, "Network error"},
      {"no permission", true, false, true, "Location services error or permissions not granted"},
      {"no user", true, true, false, "User not created"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    setOnline(c.online);
    sim_->setAuthorization(c.authorized ? platform::AuthorizationStatus::authorizedAlways
                                        : platform::AuthorizationStatus::denied);
    platform::Dispatch::drainMain();
    if (c.user) storeUser();
    platform::Console::Capture console;
    Pelk::updateCurrentLocation(30);
    platform::Dispatch::drainMain();
    EXPECT_TRUE(console.contains(c.line)) << testing::PrintToString(console.lines());
    EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
  }
}

// With no answer yet, the request is answered by the kit's grant ("always"),
// recorded as a user's answer is recorded; the host may answer otherwise.
TEST_F(CurrentLocationTest, RequestLocationAsksWhenInUseAndRecordsTheGrant) {
  sim_->setAuthorization(platform::AuthorizationStatus::notDetermined);
  platform::Dispatch::drainMain();
  const auto asked = sim_->authorizationRequests().size();
  Pelk::requestLocation();
  platform::Dispatch::drainMain();
  ASSERT_EQ(sim_->authorizationRequests().size(), asked + 1);
  EXPECT_FALSE(sim_->authorizationRequests().back());  // when in use, not always
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus),
            static_cast<int>(platform::AuthorizationStatus::authorizedAlways));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
  EXPECT_TRUE(Pelk::setLocationPermissionStatus(4));
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus),
            static_cast<int>(platform::AuthorizationStatus::authorizedWhenInUse));
  EXPECT_EQ(Pelk::locationPermissionStatus(), 4);
}

}  // namespace
}  // namespace pelk::test

namespace pelk::test {
namespace {

class NetworkReactionTest : public ManagerTest {};

TEST_F(NetworkReactionTest, TurningOfflineTrackingOffWhileOfflineStopsAtOnceAndNeedsAUser) {
  SharedUtil::setDefaultBoolean(true, kOfflineTracking);
  Pelk::offlineLocationTracking(false);
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kOfflineTracking));  // no user: nothing stored
  storeUser();
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  setOnline(false);
  Pelk::offlineLocationTracking(false);
  platform::Dispatch::drainMain();
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kOfflineTracking));
  EXPECT_FALSE(Pelk::isLocationTracking());
  EXPECT_EQ(modes_->count(kStopActive), 1u);
}

TEST_F(NetworkReactionTest, LosingTheNetworkWithoutOfflineTrackingStopsAndItsReturnRestarts) {
  storeUser();
  manager().intialize("pk");
  SharedUtil::setDefaultBoolean(false, kOfflineTracking);
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  setOnline(false);
  ASSERT_TRUE(waitFor([&] { return modes_->count(kStopActive) == 1; }));
  EXPECT_FALSE(Pelk::isLocationTracking());
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::active);
  setOnline(true);
  ASSERT_TRUE(waitFor([&] { return modes_->count(kStartActive) == 2; }));
  EXPECT_FALSE(Pelk::isLocationTracking());
}

// Who stopped tracking last is kept with the settings: after a relaunch the
// network's return restarts a mode the kit stopped, whether the relaunch finds
// the network back already or still gone, and never one the app stopped
// itself (the kit's stop of tracking that is off already is no stop of its own).
TEST_F(NetworkReactionTest, AfterARelaunchTheNetworksReturnRestartsOnlyAModeTheKitStopped) {
  struct Case {
    const char* name;
    std::function<void()> thenTheApp;
    bool relaunchOnline;
    bool restarts;
  };
  const auto appStops = [] { Pelk::stopTracking(); };
  const auto appRunsSelfTracking = [] {
    Pelk::startSelfTracking(PelkTrackingMode::active);
    platform::Dispatch::drainMain();
    Pelk::stopSelfTracking();
  };
  const std::vector<Case> cases = {
      {"the kit's stop, relaunched online", [] {}, true, true},
      {"the kit's stop, relaunched offline", [] {}, false, true},
      {"the app's stop after it, relaunched online", appStops, true, false},
      {"the app's stop after it, relaunched offline", appStops, false, false},
      {"self-tracking started and stopped after it, relaunched offline", appRunsSelfTracking, false, false},
  };
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    storeUser();
    SharedUtil::setDefaultBoolean(false, kOfflineTracking);
    setOnline(true);
    resetManager();
    manager().intialize("pk");
    platform::Dispatch::drainMain();
    modes_->clear();
    Pelk::startTracking(PelkTrackingMode::active);
    platform::Dispatch::drainMain();
    setOnline(false);
    ASSERT_TRUE(waitFor([&] { return modes_->count(kStopActive) == 1; }));
    c.thenTheApp();
    platform::Dispatch::drainMain();

    // Relaunch: the process's memory is gone, the settings file stays.
    resetManager();
    modes_->clear();
    if (c.relaunchOnline) setOnline(true);
    manager().intialize("pk");
    std::atomic<int> changes{0};
    // Registered after the manager's observer: it sees each change once the manager has reacted.
    const auto id = center.addObserver(kReachabilityChangedNotification, nullptr,
                                       [&](const platform::Notification&) { ++changes; });
    platform::Dispatch::drainMain();  // the first reading
    if (!c.relaunchOnline) setOnline(true);
    const bool reacted = waitFor([&] { return changes.load() == (c.relaunchOnline ? 1 : 2); });
    center.removeObserver(id);
    ASSERT_TRUE(reacted);
    EXPECT_EQ(modes_->count(kStartActive), c.restarts ? 1u : 0u);
    EXPECT_FALSE(Pelk::isLocationTracking());  // a restart leaves the switch off
  }
}

TEST_F(NetworkReactionTest, LocalDataUploadDeletesOnlyRowsTheServerAccepted) {
  storeUser();
  auto& rows = PelkHTTPDataStorageManager::shared();
  rows.deleteAllRecords();
  const platform::Location l = fixAt(52.5);
  ASSERT_TRUE(rows.saveLocationData({l, "M", false, 0}));
  ASSERT_TRUE(rows.saveLocationData({l, "S", false, 0}));

  // Refused: both rows stay, so the next call uploads them again.
  server_.enqueue("/v3/location/", ScriptedReply::json(R"({"code":400,"msg":"no"})", 400));
  manager().sendLocalDataToServer();
  ASSERT_TRUE(waitFor([&] { return server_.requests("/v3/location/").size() == 1; }));
  server_.enqueue("/v3/location/", ScriptedReply::json(R"({"code":200,"msg":"location recorded successfully."})"));
  ASSERT_TRUE(waitFor([&] {
    manager().sendLocalDataToServer();  // does nothing while the first upload still runs
    return server_.requests("/v3/location/").size() >= 2;
  }));
  const auto second = nlohmann::json::parse(server_.requests("/v3/location/").at(1).body);
  ASSERT_TRUE(second.is_array());
  EXPECT_EQ(second.size(), 2u);
  // Accepted: the buffer is emptied.
  ASSERT_TRUE(waitFor([&] { return rows.fetchDeviceData().empty(); }));
}

// The host names its gpsd through the API; the call wins over the
// environment, and an address that cannot be one changes nothing.
TEST_F(TrackingControlTest, TheHostNamesItsGpsdAndTheCallWinsOverTheEnvironment) {
  if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
  const int port = HttpTestServer::unusedPort();
  const int deadPort = HttpTestServer::unusedPort();
  ASSERT_GT(port, 0);
  GpsFake fake(port, false);
  ASSERT_TRUE(fake.started());
  ::setenv("PELK_GPSD_HOST", "127.0.0.1", 1);
  ::setenv("PELK_GPSD_PORT", std::to_string(deadPort).c_str(), 1);
  storeUser();
  auto fixFromGpsd = [] {
    auto answer = std::make_shared<std::optional<Location>>();
    Pelk::getCurrentLocation(100, [answer](std::optional<Location> fix, std::optional<PelkError>) { *answer = fix; });
    const bool answered = waitFor([&] { return answer->has_value(); }, std::chrono::seconds(20));
    return answered && std::abs(answer->value().coordinate.latitude - 45.12) < 0.02;
  };

  EXPECT_TRUE(Pelk::setGpsdAddress("127.0.0.1", port));
  EXPECT_TRUE(fixFromGpsd()) << "positions come from the named gpsd, not the environment's";

  const struct {
    std::string host;
    std::int64_t port;
  } refused[] = {{"", 2947},
                 {"local host", 2947},
                 {"localhost\r\nX-Injected: 1", 2947},
                 {std::string("local\0host", 10), 2947},
                 {std::string(254, 'a'), 2947},
                 {"localhost", 0},
                 {"localhost", 65536},
                 {"localhost", -1},
                 {"localhost", std::numeric_limits<std::int64_t>::max()}};
  for (const auto& r : refused) {
    SCOPED_TRACE(r.host + ":" + std::to_string(r.port));
    EXPECT_FALSE(Pelk::setGpsdAddress(r.host, r.port));
  }
  EXPECT_TRUE(fixFromGpsd()) << "the refused addresses left the named gpsd in place";
  ::unsetenv("PELK_GPSD_HOST");
  ::unsetenv("PELK_GPSD_PORT");
}

// The tracking switch flipped from two threads at once.
class HostileTrackingSwitchTest : public OfflineTripsTest {};

TEST_F(HostileTrackingSwitchTest, StartAndStopRacingFromTwoThreadsEndAsTheSwitchSays) {
  for (int i = 0; i < 200; ++i) {
    std::thread a([] { manager().startTracking(PelkTrackingMode::active); });
    std::thread b([] { manager().stopTracking(); });
    a.join();
    b.join();
    platform::Dispatch::drainMain();
    ASSERT_EQ(manager().isLocationTracking(), manager().runningMode() != PelkTrackingModeLocal::notselected)
        << "round " << i;
  }
}

// ------------------------------------------------------------------ hostile use

// Modes started over one another, from several threads, and with option
// text no mode can take.
class HostileModesTest : public ManagerTest {
 protected:
  HostileModesTest() { storeUser(); }
  ~HostileModesTest() override {
    PelkActiveTracking::shareInstance().stopTracking();
    PelkReActiveTracking::shareInstance().stopTracking();
    PelkPassiveTracking::shareInstance().stopTracking();
    PelkCustomTracking::sharedInstance().stopTracking();
    platform::Dispatch::drainMain();
    PelkCustomTracking::sharedInstance().resetForTesting();
    PelkTimeBasedLocationManager::instance().resetForTesting();
  }
};

// Whether anything of a mode still asks the location service for positions.
bool busy(const std::shared_ptr<platform::LocationManager>& m) {
  return m && (m->isUpdatingLocation() || m->isMonitoringSignificantLocationChanges() || m->isMonitoringVisits());
}

struct Mode {
  const char* name;
  PelkTrackingMode mode;
  std::optional<PelkTrackingCustomMethods> options;
  std::function<std::shared_ptr<platform::LocationManager>()> manager;
};

PelkTrackingCustomMethods intervalOptions() {
  PelkTrackingCustomMethods o;
  o.updateInterval = 30;
  return o;
}

const Mode kModes[] = {
    {"active", PelkTrackingMode::active, std::nullopt,
     [] { return PelkActiveTracking::shareInstance().locationManager(); }},
    {"balanced", PelkTrackingMode::balanced, std::nullopt,
     [] { return PelkReActiveTracking::shareInstance().locationManager(); }},
    {"passive", PelkTrackingMode::passive, std::nullopt,
     [] { return PelkPassiveTracking::shareInstance().locationManager(); }},
    {"custom", PelkTrackingMode::custom, PelkTrackingCustomMethods{},
     [] { return PelkCustomTracking::sharedInstance().locationManager(); }},
    {"interval", PelkTrackingMode::custom, intervalOptions(),
     [] { return PelkTimeBasedLocationManager::instance().locationManager(); }},
};

// A start of another mode without a stop in between: the mode that ran before
// must not go on asking for positions beside the new one (its own check of the
// stored mode only runs when a position reaches it, which may be never), and
// the app's stop afterwards leaves nothing running.
TEST_F(HostileModesTest, StartingAnotherModeStopsTheOneRunning) {
  manager().setTrackingModes(defaultTrackingModes());
  for (const auto& from : kModes) {
    for (const auto& to : kModes) {
      if (&from == &to || (from.mode == to.mode && to.mode != PelkTrackingMode::custom)) continue;
      SCOPED_TRACE(std::string(from.name) + " -> " + to.name);
      Pelk::startTracking(from.mode, from.options);
      platform::Dispatch::drainMain();
      auto before = from.manager();
      ASSERT_TRUE(busy(before));
      Pelk::startTracking(to.mode, to.options);
      platform::Dispatch::drainMain();
      EXPECT_FALSE(busy(before)) << "the earlier mode still runs";
      EXPECT_TRUE(busy(to.manager()));
      Pelk::stopTracking();
      platform::Dispatch::drainMain();
      for (const auto& any : kModes) EXPECT_FALSE(busy(any.manager())) << any.name << " left running";
      EXPECT_EQ(platform::Dispatch::liveRepeatingTimers(), 0u);
    }
  }
}

// Two host threads race on starting and stopping.  Whichever call wins, the
// mode that runs is the stored one (each mode stops itself at its first
// position when another is stored, which would leave tracking switched on with
// nothing running), and the switch says whether a mode runs.
TEST_F(HostileModesTest, RacingStartsAndStopsAgreeWithTheStore) {
  const std::function<void()> startPassive = [] { Pelk::startTracking(PelkTrackingMode::passive); };
  const std::function<void()> startBalanced = [] { Pelk::startTracking(PelkTrackingMode::balanced); };
  const std::function<void()> stop = [] { Pelk::stopTracking(); };
  const std::pair<std::function<void()>, std::function<void()>> races[] = {{startPassive, startBalanced},
                                                                           {startPassive, stop}};
  for (const auto& [first, second] : races) {
    int mismatches = 0;
    for (int round = 0; round < 150; ++round) {
      Pelk::stopTracking();
      platform::Dispatch::drainMain();
      modes_->clear();
      std::thread a(first);
      std::thread b(second);
      a.join();
      b.join();
      platform::Dispatch::drainMain();
      std::string lastStart;
      for (const auto& call : modes_->calls()) {
        if (call.rfind("start", 0) == 0) lastStart = call;
      }
      const auto running = manager().runningMode();
      const bool agrees = Pelk::isLocationTracking()
                              ? running == SaveUtilis::getTrackingOptions() &&
                                    lastStart == modeCall("start", SaveUtilis::getTrackingOptions())
                              : running == PelkTrackingModeLocal::notselected;
      if (!agrees) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// Two host threads start the custom mode with different option sets: the set
// stored for restarts is the one the running start was given, never a blend.
TEST_F(HostileModesTest, RacingCustomStartsStoreTheSetThatRuns) {
  auto given = std::make_shared<CallList>();
  TrackingModes modes;
  modes.start = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("start", mode)); };
  modes.stop = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("stop", mode)); };
  modes.startCustom = [given](const PelkTrackingCustomMethods& o) {
    given->add(std::to_string(o.updateInterval.value_or(-1)));
  };
  manager().setTrackingModes(modes);
  PelkTrackingCustomMethods a, b;
  a.setUpCustomOptions(LocationAccuracy::best, true, true, 10.0, true, true, true, 300, true,
                       LocationActivityType::fitness, true, true, 20);
  a.updateInterval = 30;
  b.setUpCustomOptions(LocationAccuracy::kilometer, false, false, 70.0, false, false, false, 900, false,
                       LocationActivityType::airborne, false, false, 90);
  b.updateInterval = 0;
  int blends = 0;
  for (int round = 0; round < 100; ++round) {
    given->clear();
    std::thread ta([&] { Pelk::startTracking(PelkTrackingMode::custom, a); });
    std::thread tb([&] { Pelk::startTracking(PelkTrackingMode::custom, b); });
    ta.join();
    tb.join();
    platform::Dispatch::drainMain();
    const auto ran = given->calls();
    ASSERT_FALSE(ran.empty());
    const auto& expected = ran.back() == "30" ? a : b;
    if (PelkCustomTracking::getCustomOptions() != expected) ++blends;
  }
  EXPECT_EQ(blends, 0);
}

// Option text from a C host that is no option set, or holds values no option
// can take, starts nothing and stores nothing.
TEST_F(HostileModesTest, BadOptionTextStartsNothing) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepInside = "{\"updateInterval\": 5, \"x\": " + deep + "}";
  const std::string badUtf8 = "{\"useVisits\": true, \"\xff\xfe\": 1}";
  const std::vector<std::string> texts = {
      "",
      "null",
      "[]",
      "{",
      deep,
      deepInside,
      badUtf8,
      R"({"updateInterval": 1e400})",
      R"({"updateInterval": 18446744073709551615})",
      R"({"updateInterval": 1.5})",
      R"({"distanceFilter": 1e400})",
      R"({"distanceFilter": "NaN"})",
      R"({"desiredAccuracy": 6})",
      R"({"activityType": -1})",
      R"({"geofenceRadius": true})",
      R"({"useVisits": 1})",
      R"({"updateInterval": 5, "updateInterval": "x"})",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text.substr(0, 60));
    modes_->clear();
    EXPECT_FALSE(pelk_start_tracking_with_options(4, text.c_str()));
    EXPECT_FALSE(pelk_start_self_tracking_with_options(4, text.c_str()));
    platform::Dispatch::drainMain();
    EXPECT_TRUE(modes_->calls().empty());
    EXPECT_FALSE(Pelk::isLocationTracking());
    EXPECT_NE(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::custom);
  }
}

}  // namespace
}  // namespace pelk::test
