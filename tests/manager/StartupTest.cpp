#include "ManagerFixture.h"

#include "device/DeviceInfo.h"
#include "platform/Device.h"

#include <atomic>
#include <thread>

namespace pelk::test {
namespace {

using json = nlohmann::json;

class StartupTest : public ManagerTest {};

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

TEST_F(StartupTest, BaseUrlIsStoredOnlyWithAnEndpointAndGetsASchemeWhenItHasNone) {
  struct Case {
    std::optional<std::string> base, endpoint;
    std::string stored;
  };
  const std::string earlier = "https://earlier.example";
  const std::vector<Case> cases = {
      {"api.example", "wss://mq.example/mqtt", "https://api.example"},
      {"http://api.example", "wss://mq.example/mqtt", "http://api.example"},
      {"https://api.example", "wss://mq.example/mqtt", "https://api.example"},
      {"HTTPS://api.example", "wss://mq.example/mqtt", "https://HTTPS://api.example"},
      {"api.example", std::nullopt, earlier},
      {"api.example", "", earlier},
      {std::nullopt, "wss://mq.example/mqtt", earlier},
  };
  TokenManager::setSdkToken("tok");  // no token request
  for (const auto& c : cases) {
    SharedUtil::setDefaultString(earlier, KUserBaseUrl);
    manager().intialize("key", c.base, c.endpoint);
    EXPECT_EQ(SharedUtil::getDefaultString(KUserBaseUrl), c.stored) << c.base.value_or("<none>");
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

TEST_F(StartupTest, InitializeFromSeveralThreadsAtOnceRegistersOnceAndNoCallerReturnsBeforeTheHooks) {
  TokenManager::setSdkToken("tok");
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    resetManager();
    updateNetworkHooks([](NetworkHooks& h) { h.startTracking = nullptr; });
    setTripStoreHooks({});
    std::atomic<int> returnedEarly{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> hosts;
    for (int i = 0; i < 4; ++i) {
      // All start together; an empty key returns soonest after the registration step.
      hosts.emplace_back([&] {
        ++ready;
        while (ready.load() < 4) std::this_thread::yield();
        Pelk::initialize("");
        if (!networkHooks().startTracking || !tripStoreHooks().sendDataServer) ++returnedEarly;
      });
    }
    for (auto& t : hosts) t.join();
    EXPECT_EQ(manager().registrationsForTesting(), 1u);
    EXPECT_EQ(returnedEarly.load(), 0);
  }
}

TEST_F(StartupTest, FirstStartOnlineObtainsTokenAndWritesDefaults) {
  server_.setDefault("/v3/user/token/",
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

TEST_F(StartupTest, InstallsTheHooksOfTheLayersBelow) {
  manager().intialize("key");
  EXPECT_TRUE(networkHooks().startTracking && networkHooks().stopTracking && networkHooks().didFail);
  const auto m = messagingHooks();
  EXPECT_TRUE(m.didReceiveEvents && m.didReceiveUserLocation && m.stopTracking && m.startTrackingMode);
  const auto t = tripStoreHooks();
  EXPECT_TRUE(t.sendDataServer && t.didReceiveTripStatus);
  // The sink hook hands the trip's position to the app; a second delivery
  // through updateLocation would give it twice.
  EXPECT_FALSE(t.updateLocation);
  const auto k = trackingHooks();
  EXPECT_TRUE(k.updateLocation && k.didFail && k.stopTracking && k.checkAppTrackingState);
  platform::Application::reportBackground();
  platform::Dispatch::drainMain();
  ASSERT_TRUE(deviceContextHooks().applicationState);
  EXPECT_EQ(deviceContextHooks().applicationState(), "background");
}

}  // namespace
}  // namespace pelk::test
