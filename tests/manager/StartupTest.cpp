#include "ManagerFixture.h"
#include "OfflineTripsFixture.h"

#include "device/AppUtili.h"
#include "device/DeviceInfo.h"
#include "foundation/DateExtensions.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkHTTPDataStorageManager.h"
#include "platform/Device.h"

#include <atomic>
#include <map>
#include <vector>
#include <mutex>
#include <functional>
#include <condition_variable>
#include <thread>

namespace pelk::test {
namespace {

using json = nlohmann::json;

class StartupTest : public ManagerTest {};

// Tracking the last run left on (the switch stored true) restarts once at
// start-up in the stored mode, where a lifecycle report would restart it;
// otherwise nothing starts.
TEST_F(StartupTest, TrackingLeftOnRestartsOnceAtStartUpAsALifecycleReportWould) {
  struct Case {
    const char* name;
    bool switchOn, user;
    std::int64_t permission;  // the host's answer
    PelkTrackingState state;
    bool started;
  } cases[] = {
      {"left on", true, true, 3, PelkTrackingState::foregroundAndBackground, true},
      {"foreground only", true, true, 4, PelkTrackingState::foregroundOnly, true},
      {"stopped", false, true, 3, PelkTrackingState::foregroundAndBackground, false},
      {"no user", true, false, 3, PelkTrackingState::foregroundAndBackground, false},
      {"denied", true, true, 2, PelkTrackingState::foregroundAndBackground, false},
      {"background only, run starts in the foreground", true, true, 3, PelkTrackingState::backgroundOnly, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    TokenManager::clearMemoryForTesting();
    resetManager();
    modes_->clear();
    TokenManager::setSdkToken("tok");
    if (c.user) storeUser();
    SaveUtilis::saveTrackingOptions(PelkTrackingMode::active);
    SharedUtil::setDefaultBoolean(c.switchOn, kIsLocationTracking);
    SharedUtil::setDefaultInteger(rawValue(c.state), kUserAppState);
    manager().setLocationPermissionStatus(c.permission);
    manager().intialize("pk", std::nullopt, std::nullopt);
    platform::Dispatch::drainMain();
    EXPECT_EQ(modes_->calls(), c.started ? std::vector<std::string>{"start 3"} : std::vector<std::string>{});
    EXPECT_EQ(manager().isLocationTracking(), c.switchOn);
    // A second start-up in the same run starts nothing more.
    manager().intialize("pk", std::nullopt, std::nullopt);
    platform::Dispatch::drainMain();
    EXPECT_EQ(modes_->count("start 3"), c.started ? 1u : 0u);
  }
  // The app's stop right after start-up stands.
  SharedUtil::resetDefaults();
  TokenManager::clearMemoryForTesting();
  resetManager();
  modes_->clear();
  storeUser();
  SaveUtilis::saveTrackingOptions(PelkTrackingMode::active);
  SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
  manager().setLocationPermissionStatus(3);
  manager().intialize("pk", std::nullopt, std::nullopt);
  manager().stopTracking();
  platform::Dispatch::drainMain();
  EXPECT_EQ(modes_->count("start 3"), 0u);
  EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::notselected);
}

TEST_F(StartupTest, EmptyKeyStoresNothingYetRegistersObserversAndBattery) {
  platform::Device::setBatteryMonitoringEnabled(false);
  platform::Console::Capture console;
  manager().intialize("", "host.example", "wss://mq.example/mqtt");
  EXPECT_TRUE(console.contains("Data not found"));
  EXPECT_EQ(TokenManager::getPublishKey(), "");
  EXPECT_NE(SharedUtil::getDefaultString(KUserBaseUrl), "https://host.example");
  EXPECT_TRUE(platform::Device::isBatteryMonitoringEnabled());
  EXPECT_EQ(manager().registrationsForTesting(), 1u);
  EXPECT_TRUE(server_.requests().empty());
}

// A start-up refused (no key or one not UTF-8, a base URL or an endpoint the
// kit cannot use) writes no setting at all: not the app state, not the kit's
// location grant.
TEST_F(StartupTest, ARefusedStartUpWritesNoSetting) {
  struct Case {
    const char* name;
    std::string key;
    std::string base, endpoint;
  };
  const Case cases[] = {
      {"no key", "", "api.example", "wss://mq.example/mqtt"},
      {"a key that is not UTF-8", "pk-\xff", "api.example", "wss://mq.example/mqtt"},
      {"a base URL without a host", "key", "http://", "wss://mq.example/mqtt"},
      {"an endpoint the connection cannot use", "key", "api.example", "ftp://mq.example"},
  };
  // The kit's log, when the host switched it on, records what happened, a
  // refusal too: it is the log's, not the start-up's.
  const auto settings = [] {
    std::map<std::string, std::string> out;
    for (const auto& [key, value] : SharedUtil::userDefaultValue()->dictionaryRepresentation()) {
      if (key != kSaveLocationServerLogs) out[key] = value.toJson().dump();
    }
    return out;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case on its own: none of them may leave what a start-up writes first.
    SharedUtil::removeKey(KcurrentAppState);
    SharedUtil::removeKey(klocationPermissionStatus);
    const auto before = settings();
    EXPECT_FALSE(manager().intialize(c.key, c.base, c.endpoint));
    platform::Dispatch::drainMain();
    EXPECT_EQ(settings(), before);
  }
  EXPECT_TRUE(server_.requests().empty());
}

// The base URL and the MQTT endpoint are stored both or neither: REST and
// MQTT never point at different services.
TEST_F(StartupTest, BaseUrlAndEndpointAreStoredTogetherAndTheUrlGetsASchemeWhenItHasNone) {
  struct Case {
    std::optional<std::string> base, endpoint;
    std::string storedBase, storedEndpoint;
  };
  const std::string earlier = "https://earlier.example";
  const std::string earlierEndpoint = "wss://earlier-mq.example/mqtt";
  const std::string endpoint = "wss://mq.example/mqtt";
  const std::vector<Case> cases = {
      {"api.example", endpoint, "https://api.example", endpoint},
      {"http://api.example", endpoint, "http://api.example", endpoint},
      {"https://api.example", endpoint, "https://api.example", endpoint},
      {"HTTPS://api.example", endpoint, "https://HTTPS://api.example", endpoint},
      {"api.example", "mq.example", "https://api.example", "mq.example"},
      {"api.example", std::nullopt, earlier, earlierEndpoint},
      {"api.example", "", earlier, earlierEndpoint},
      {std::nullopt, endpoint, earlier, earlierEndpoint},
      {"", endpoint, earlier, earlierEndpoint},
      // Endpoints the MQTT connection cannot use are refused, and the base URL with them.
      {"api.example", "ftp://mq.example", earlier, earlierEndpoint},
      {"api.example", "wss://", earlier, earlierEndpoint},
      {"api.example", "mq.example:", earlier, earlierEndpoint},
  };
  TokenManager::setSdkToken("tok");  // no token request
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base.value_or("<none>") + " / " + c.endpoint.value_or("<none>"));
    SharedUtil::setDefaultString(earlier, KUserBaseUrl);
    SharedUtil::setDefaultString(earlierEndpoint, kAWSIOTEndPoint);
    manager().intialize("key", c.base, c.endpoint);
    EXPECT_EQ(SharedUtil::getDefaultString(KUserBaseUrl), c.storedBase);
    EXPECT_EQ(SharedUtil::getDefaultString(kAWSIOTEndPoint), c.storedEndpoint);
    EXPECT_EQ(TokenManager::getPublishKey(), "key");
  }
}

TEST_F(StartupTest, RepeatedInitializeRegistersObserversAndMonitorOnce) {
  TokenManager::setSdkToken("tok");
  for (int i = 0; i < 3; ++i) manager().intialize("key");
  EXPECT_EQ(manager().registrationsForTesting(), 1u);
  platform::Console::Capture console;
  platform::Application::reportBackground();
  platform::Dispatch::drainMain();
  const auto lines = console.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "applicationDidEnterBackground"), 1);
  EXPECT_EQ(SharedUtil::getDefaultString(KcurrentAppState), "B");
}

TEST_F(StartupTest, InitializeFromSeveralThreadsAtOnceRegistersOnceAndNoCallerReturnsBeforeTheLinks) {
  TokenManager::setSdkToken("tok");
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    resetManager();
    resetLinksForTesting();
    std::atomic<int> returnedEarly{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> hosts;
    for (int i = 0; i < 4; ++i) {
      // All start together; an empty key returns soonest after the registration step.
      hosts.emplace_back([&] {
        ++ready;
        while (ready.load() < 4) std::this_thread::yield();
        Pelk::initialize("");
        if (!network::links::startTracking.isSet() || !tripstore::links::sendDataServer.isSet()) ++returnedEarly;
      });
    }
    for (auto& t : hosts) t.join();
    EXPECT_EQ(manager().registrationsForTesting(), 1u);
    EXPECT_EQ(returnedEarly.load(), 0);
  }
}

TEST_F(StartupTest, FirstStartOnlineObtainsTokenAndWritesDefaults) {
  server_.setDefault(
      "/v3/user/token/",
      ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}, {"data", {{"sdk_token", "tok-1"}}}}.dump()));
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  platform::Console::Capture console;
  manager().intialize("pk-1");
  // The defaults are written right after the line is printed.
  ASSERT_TRUE(waitFor([&] {
    return console.contains("Quelbrin initialized Success") && SharedUtil::getDefaultBoolean(kOfflineTracking) &&
           !SharedUtil::getDefaultBoolean(KLocationPublisher);
  }));
  EXPECT_EQ(TokenManager::getSDKToken(), "tok-1");
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kOfflineTracking));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(KLocationPublisher));
  const auto body = json::parse(server_.requests("/v3/user/token/").at(0).body);
  EXPECT_EQ(body.value("publish_key", ""), "pk-1");
}

// The token of a first start may be granted after the app has gone on: the
// defaults then go only to the switches the app left alone, never undoing a
// choice it made meanwhile (which would stop every position from reaching the
// app and the broker without a word).
TEST_F(StartupTest, ALateTokenGrantKeepsTheSwitchesTheAppChoseMeanwhile) {
  struct Case {
    const char* name;
    std::function<void()> choose;
    bool listener, publisher, offline;  // after the grant
  };
  const std::vector<Case> cases = {
      {"publishSave", [] { Pelk::publishSave(PelkPublish{}); }, false, true, true},
      {"subscribe to own positions", [] { Pelk::subscribe(PelkSubscribe::location, "u1"); }, true, false, true},
      {"offline tracking off", [] { Pelk::offlineLocationTracking(false); }, false, false, false},
  };
  std::mutex mutex;
  std::condition_variable cv;
  bool release = false;
  std::atomic<std::size_t> asked{0};
  server_.setHandler([&](const RecordedRequest& r) {
    if (r.path != "/v3/user/token/") return ScriptedReply{404, "", "application/json", {}};
    ++asked;
    std::unique_lock lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    return ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}, {"data", {{"sdk_token", "tok-1"}}}}.dump());
  });
  const auto releaseGrant = [&](bool value) {
    std::lock_guard lock(mutex);
    release = value;
    cv.notify_all();
  };
  std::size_t requests = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    releaseGrant(false);
    TokenManager::setSdkToken("");
    TokenManager::setUserId("u1");
    TokenManager::setLocationListener(true);
    SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    SharedUtil::removeKey(kOfflineTracking);

    manager().intialize("pk-1");
    ASSERT_TRUE(waitFor([&] { return asked.load() == requests + 1; }));  // the grant is held back
    ++requests;
    c.choose();
    releaseGrant(true);
    EXPECT_TRUE(waitFor([&] {
      return SharedUtil::getDefaultBoolean(kLocationListenerSubscribe) == c.listener &&
             SharedUtil::getDefaultBoolean(KLocationPublisher) == c.publisher &&
             SharedUtil::getDefaultBoolean(kOfflineTracking) == c.offline;
    })) << "listener "
        << SharedUtil::getDefaultBoolean(kLocationListenerSubscribe) << ", publisher "
        << SharedUtil::getDefaultBoolean(KLocationPublisher) << ", offline "
        << SharedUtil::getDefaultBoolean(kOfflineTracking);
    EXPECT_EQ(TokenManager::getSDKToken(), "tok-1");
  }
  releaseGrant(true);
}

TEST_F(StartupTest, FirstStartOfflineReportsNetworkErrorToTheDelegate) {
  auto app = std::make_shared<RecordingDelegate>();
  Pelk::setDelegate(app);
  setOnline(false);
  platform::Console::Capture console;
  Pelk::initialize("pk-1");
  EXPECT_TRUE(console.contains("Network error"));
  ASSERT_EQ(app->errors.size(), 1u);
  EXPECT_EQ(app->errors[0], PelkError("QB500", "Network error"));
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kOfflineTracking));  // defaults not written
}

TEST_F(StartupTest, TheFirstTouchOfTheKitInstallsTheLinksOfTheLayersBelow) {
  resetLinksForTesting();
  Pelk::delegate();
  EXPECT_TRUE(network::links::startTracking.isSet() && network::links::stopTracking.isSet() &&
              network::links::didFail.isSet());
  // The REST client opens and closes the kit's MQTT connection.
  EXPECT_TRUE(network::links::mqttConnect.isSet() && network::links::mqttDisconnect.isSet());
  namespace m = messaging::links;
  EXPECT_TRUE(m::didReceiveEvents.isSet() && m::didReceiveUserLocation.isSet() && m::stopTracking.isSet() &&
              m::startTrackingMode.isSet());
  EXPECT_TRUE(tripstore::links::sendDataServer.isSet() && tripstore::links::didReceiveTripStatus.isSet());
  // The sink link hands the trip's position to the app; a second delivery
  // through updateLocation would give it twice.
  EXPECT_FALSE(tripstore::links::updateLocation.isSet());
  namespace r = triprecording::links;
  EXPECT_TRUE(r::start.isSet() && r::updateStatus.isSet() && r::mark.isSet() && r::activeTrips.isSet());
  namespace k = tracking::links;
  EXPECT_TRUE(k::updateLocation.isSet() && k::didFail.isSet() && k::stopTracking.isSet() &&
              k::checkAppTrackingState.isSet() && k::pauseTracking.isSet());
  // The device readings are the location service's and the app's own.
  sim_->setServicesEnabled(false);
  sim_->setAuthorization(platform::AuthorizationStatus::denied);
  platform::Dispatch::drainMain();
  EXPECT_FALSE(device::links::locationServicesEnabled());
  EXPECT_EQ(device::links::locationAuthorizationStatus(), static_cast<int>(platform::AuthorizationStatus::denied));
  EXPECT_TRUE(device::links::clearLocalDatabase.isSet());
  platform::Application::reportBackground();
  platform::Dispatch::drainMain();
  EXPECT_EQ(device::links::applicationState(), "background");
}

// The layers below are wired by the kit's first touch, with nothing more the
// host has to start: the logout's reset empties the position buffer (the
// upload buffer is a store of its own), and the REST client's trip actions
// reach the shared trip store.
TEST_F(StartupTest, TheFirstTouchWiresTheLogoutResetAndTheTripRecording) {
  resetLinksForTesting();
  Pelk::delegate();
  // Buffers over this test's own store files.
  MQTTDataStorageManager buffer(PelkCoreDataStack().managedObjectContext());
  PelkHTTPDataStorageManager http;
  ASSERT_TRUE(buffer.saveLocationData({fixAt(1), "M", false, 0}));
  ASSERT_TRUE(http.saveLocationData({fixAt(1), "M", false, 0}));
  AppUtilis::resetDefaults();
  EXPECT_EQ(buffer.getOfflineLocationCount(), 0) << "the old user's positions are never replayed";
  EXPECT_EQ(http.fetchDeviceData().size(), 1u) << "the upload buffer is a store of its own";

  const auto fix = fixAt(1);
  const auto now = iso8601(platform::Clock::now());
  recordTripAction({{"trip_id", "server-1"}, {"start", true}, {"trip_started_at", now}, {"location_id", "l1"}}, fix);
  auto& shared = PelkTripStorageManager::shared();
  const auto started = shared.getTripData("server-1");
  ASSERT_TRUE(started);
  EXPECT_EQ(started->status, kTripOngoing);
  recordTripAction({{"trip_id", "server-1"}, {"end", true}, {"trip_ended_at", now}}, fix);
  EXPECT_FALSE(shared.checkIfTripStarted("server-1")) << "an ended server trip keeps no progress";
}

TEST_F(StartupTest, WhatReachesTheKitBeforeInitializeReachesTheDelegate) {
  resetLinksForTesting();  // a fresh process: nothing of the kit touched yet
  auto app = std::make_shared<RecordingDelegate>();
  Pelk::setDelegate(app);
  // The location service goes before the app's first initialize.
  sim_->deliverAvailability(false, "gone");
  platform::Dispatch::drainMain();
  ASSERT_EQ(app->errors.size(), 1u);
  EXPECT_EQ(app->errors[0].code(), "QB408");
  sim_->deliverAvailability(true, "back");
  platform::Dispatch::drainMain();
}

// The kit started from many threads at once.
class HostileStartupTest : public OfflineTripsTest {};

TEST_F(HostileStartupTest, StartUpsRacingFromManyThreadsRegisterOnce) {
  manager().resetForTesting();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { manager().intialize("pk-1"); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(manager().registrationsForTesting(), 1u);
}

}  // namespace
}  // namespace pelk::test
