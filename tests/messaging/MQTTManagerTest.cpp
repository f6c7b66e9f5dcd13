#include "messaging/MQTTManager.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "device/AppUtili.h"
#include "platform/Console.h"
#include "MessagingFixture.h"

namespace pelk::test {
namespace {

using platform::MqttStatus;

TEST_F(MessagingTest, ConnectsWithTheDerivedCredentialsAndIsRefusedWithAWrongKey) {
  // The virtual clock stands still: the set-up takes this very time stamp.
  const std::string timeStamp = AppUtilis::getCurrentTimeStamp();
  MosquittoBroker broker(
      {.users = {{MQTTUtilis::generate_username(timeStamp), MQTTUtilis::generate_password(timeStamp)}}});
  MQTTUtilis::resetForTesting();
  struct Case {
    const char* key;
    MqttStatus expected;
  };
  for (const Case& c : {Case{"wrong-key", MqttStatus::connectionRefused}, Case{"pk_test", MqttStatus::connected}}) {
    SCOPED_TRACE(c.key);
    manager().resetForTesting();
    MQTTUtilis::resetForTesting();
    TokenManager::setPublishKey(c.key);
    ASSERT_TRUE(MQTTUtilis::saveMqttEndpoint(broker.wsUrl()));
    manager().connect();
    EXPECT_TRUE(waitFor([&] { return manager().connectState() == static_cast<int>(c.expected); })) << broker.log();
    EXPECT_EQ(manager().connected(), c.expected == MqttStatus::connected);
  }
  const auto& options = manager().client()->options();
  EXPECT_EQ(options.serverUri, broker.wsUrl());  // the app's endpoint, not the environment's
  EXPECT_EQ(options.clientId, "u1_" + AppUtilis::getUUID());
  EXPECT_TRUE(options.cleanSession);
}

TEST_F(MessagingTest, SetUpSendsTheAuthorizerHeadersAndNewCredentialsEachTime) {
  ASSERT_TRUE(MQTTUtilis::saveMqttEndpoint("ws://127.0.0.1:9/mqtt"));
  manager().initialiseMQTT();
  const auto first = manager().client();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->options().httpHeaders,
            (std::vector<std::pair<std::string, std::string>>{{kAuthorizerNameHeader, custom_authorizer_name()},
                                                              {token_name(), token_value()},
                                                              {kAuthorizerSignatureHeader, token_signature()}}));
  platform::Dispatch::advanceClock(std::chrono::milliseconds(1500));
  manager().initialiseMQTT();
  const auto second = manager().client();
  EXPECT_NE(second, first);
  EXPECT_NE(second->options().username, first->options().username);
  EXPECT_NE(second->options().password, first->options().password);
}

TEST_F(MessagingTest, WithoutAUserNothingConnectsAndLogoutDropsTheClient) {
  MosquittoBroker broker;
  ASSERT_TRUE(connectTo(broker)) << broker.log();
  AppUtilis::resetDefaults();  // what the logout reply does first
  manager().disconnect();
  EXPECT_TRUE(waitFor([&] { return manager().client() == nullptr && !manager().connected(); }));
  manager().connect();
  EXPECT_EQ(manager().client(), nullptr);

  // A connection still being attempted is given up too.
  TokenManager::setUserId("u2");
  broker.stop();
  ASSERT_TRUE(MQTTUtilis::saveMqttEndpoint(broker.wsUrl()));
  manager().connect();
  ASSERT_TRUE(waitFor([&] { return manager().connectState() == static_cast<int>(MqttStatus::connectionError); }));
  AppUtilis::resetDefaults();
  manager().disconnect();
  EXPECT_TRUE(waitFor([&] { return manager().client() == nullptr; }));
}

TEST_F(MessagingTest, DisconnectReconnectsOnlyALocationPublisher) {
  struct Case {
    bool publisher;
    std::size_t sessions;
  };
  for (const Case& c : {Case{false, 1}, Case{true, 2}}) {
    SCOPED_TRACE(c.publisher);
    MosquittoBroker broker;
    auto sessions = [&] {
      const std::string log = broker.log();
      std::size_t n = 0;
      for (auto at = log.find(" as u1_"); at != std::string::npos; at = log.find(" as u1_", at + 1)) ++n;
      return n;
    };
    SharedUtil::setDefaultBoolean(c.publisher, KLocationPublisher);
    manager().resetForTesting();
    ASSERT_TRUE(connectTo(broker));
    const auto client = manager().client();
    manager().disconnect();
    ASSERT_TRUE(waitFor([&] { return broker.log().find("Client u1_") != std::string::npos; }));
    EXPECT_TRUE(waitFor([&] { return sessions() == c.sessions && manager().connected() == c.publisher; }))
        << broker.log();
    EXPECT_EQ(manager().client(), client);  // the reconnect reuses the registered client
  }
  // Not connected: nothing happens, publisher or not.
  ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
  manager().disconnect();
  EXPECT_TRUE(manager().client() != nullptr);
}

TEST_F(MessagingTest, TopicsWithUnusableIdsAreRefusedWithAConsoleLine) {
  platform::Console::Capture console;
  TokenManager::setAccountId("a#");
  TokenManager::setUserId("u+1");
  struct Case {
    std::function<void()> call;
    const char* line;
  };
  const Case cases[] = {
      {[&] { manager().subscribeEventListenerTopic(); }, "Event topic not subscribed: an id is not usable in a topic"},
      {[&] { manager().subscribeAccountShadow("get"); },
       "Account shadow not requested: the account id is not usable in a topic"},
      {[&] { manager().subscribeUserShadow("get"); },
       "User shadow not requested: the user id is not usable in a topic"},
      {[&] { manager().subscribeUserLocation({"v/1"}); },
       "User location not subscribed: the user id is not usable in a topic"},
  };
  for (const auto& c : cases) {
    c.call();
    EXPECT_TRUE(console.contains(c.line)) << c.line;
  }
}

TEST_F(MessagingTest, PublishAlwaysReportsItsOutcome) {
  MosquittoBroker broker;
  Observer observer(broker.wsUrl());
  ASSERT_TRUE(observer.waitConnected());
  observer.record("locations/a1/p1/u1", 1);
  struct Case {
    const char* name;
    bool connect;
    bool pubSub;
    const char* accountId;
    bool expected;
  };
  const Case cases[] = {
      {"not connected", false, true, "a1", false},
      {"pub/sub off", true, false, "a1", false},
      {"unusable account id", true, true, "a/1", false},
      {"connected, pub/sub on", true, true, "a1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TokenManager::setAccountId(c.accountId);
    TokenManager::setPubSubState(c.pubSub);
    if (c.connect) {
      ASSERT_TRUE(connectTo(broker));
    }
    std::vector<bool> outcomes;
    manager().publish(std::string("{\"case\":\"") + c.name + "\"}", [&](bool ok) { outcomes.push_back(ok); });
    EXPECT_EQ(outcomes, std::vector<bool>{c.expected});
  }
  ASSERT_TRUE(waitFor([&] { return !observer.payloads("locations/a1/p1/u1").empty(); }));
  EXPECT_EQ(observer.payloads("locations/a1/p1/u1"), std::vector<std::string>{"{\"case\":\"connected, pub/sub on\"}"});
}

TEST_F(MessagingTest, FollowedTopicsAreSubscribedAfterEveryConnectAndReachTheLinks) {
  MosquittoBroker broker;
  SharedUtil::setDefaultBoolean(true, kEventListenerSubscribe);
  SharedUtil::setDefaultBoolean(true, kLocationUserSubscribe);
  ASSERT_TRUE(MQTTUtilis::saveUserSubscribe("v1"));
  ASSERT_TRUE(MQTTUtilis::saveUserSubscribe("v2"));
  Observer observer(broker.wsUrl());
  ASSERT_TRUE(observer.waitConnected());
  ASSERT_TRUE(connectTo(broker));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const std::size_t events = hooks_->eventCount(), users = hooks_->userLocationCount();
    ASSERT_TRUE(publishUntil(observer, "events/a1/p1/u1", R"({"events":[{"n":1}]})",
                             [&] { return hooks_->eventCount() > events; }));
    ASSERT_TRUE(publishUntil(observer, "users/v1/locations", R"({"user_id":"v1"})",
                             [&] { return hooks_->userLocationCount() > users; }));
    ASSERT_TRUE(publishUntil(observer, "users/v2/locations", R"({"user_id":"v2"})", [&] {
      std::lock_guard lock(hooks_->mutex);
      return std::any_of(hooks_->userLocations.begin() + static_cast<long>(users), hooks_->userLocations.end(),
                         [](const auto& m) { return m.value("user_id", "") == "v2"; });
    }));
    // The broker forgets subscriptions with the connection (clean session).
    broker.stop();
    ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(observer.waitConnected());
    ASSERT_TRUE(waitFor([&] { return manager().connected(); }));
  }

  // A payload that is not a JSON object never reaches the links.
  const std::size_t events = hooks_->eventCount();
  ASSERT_TRUE(
      publishUntil(observer, "events/a1/p1/u1", R"({"events":[]})", [&] { return hooks_->eventCount() > events; }));
  const std::size_t before = hooks_->eventCount();
  for (const char* bad : {"not json", "[1,2]", "\"text\""}) observer.client().publish("events/a1/p1/u1", bad, 1);
  ASSERT_TRUE(publishUntil(observer, "events/a1/p1/u1", R"({"events":[{"last":true}]})",
                           [&] { return hooks_->eventCount() > before; }));
  std::lock_guard lock(hooks_->mutex);
  for (const auto& m : hooks_->events) EXPECT_TRUE(m.is_object());
}

TEST_F(MessagingTest, UnsubscribingWhileConnectedStopsMessagesAtOnce) {
  MosquittoBroker broker;
  Observer observer(broker.wsUrl());
  ASSERT_TRUE(observer.waitConnected());
  ASSERT_TRUE(connectTo(broker));
  manager().subscribeUserLocation({"v1", "v2", "bad/id"});
  ASSERT_TRUE(publishUntil(observer, "users/v1/locations", R"({"user_id":"v1"})",
                           [&] { return hooks_->userLocationCount() > 0; }));
  manager().unsubscribeUserLocation({"v1"});
  // Messages of one publisher arrive in order: once v2's arrived, v1's would have.
  const std::size_t before = hooks_->userLocationCount();
  observer.client().publish("users/v1/locations", R"({"user_id":"v1","late":true})", 1);
  ASSERT_TRUE(publishUntil(observer, "users/v2/locations", R"({"user_id":"v2"})",
                           [&] { return hooks_->userLocationCount() > before; }));
  std::lock_guard lock(hooks_->mutex);
  for (std::size_t i = before; i < hooks_->userLocations.size(); ++i) {
    EXPECT_EQ(hooks_->userLocations[i].value("user_id", ""), "v2");
  }
}

// The observer plays the shadow service: it answers each "get" request with
// the next document for that shadow.
TEST_F(MessagingTest, AccountShadowSwitchesTrackingAndSubscriptions) {
  MosquittoBroker broker;
  Observer service(broker.wsUrl());
  ASSERT_TRUE(service.waitConnected());
  SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
  SaveUtilis::saveTrackingOptions(PelkTrackingMode::active);
  const std::string accountAnswer = "$aws/things/account_a1/shadow/get/accepted";
  const std::string accountUpdate = "$aws/things/account_a1/shadow/update/accepted";
  auto& client = service.client();
  service.answer("$aws/things/account_a1/shadow/get", [&](const std::string&) {
    client.publish(accountAnswer, R"({"state":{"desired":{"location_tracking":false,"pub/sub":false,"welcome":"w"}}})",
                   1);
  });
  service.answer("$aws/things/user_u1/shadow/get", [&](const std::string&) {
    client.publish("$aws/things/user_u1/shadow/get/accepted",
                   R"({"state":{"desired":{"event_listener":true,"location_listener":true}}})", 1);
  });
  ASSERT_TRUE(connectTo(broker));

  // The account answer stops tracking and the subscriptions; its arrival
  // moves on to the user shadow.
  ASSERT_TRUE(waitFor([&] { return TokenManager::getEventListener() && TokenManager::getLocationListener(); }));
  EXPECT_EQ(hooks_->count("stopTracking"), 1u);
  EXPECT_EQ(hooks_->count("unsubscribeEvents"), 1u);
  EXPECT_EQ(hooks_->count("unsubscribeLocation"), 1u);
  EXPECT_FALSE(TokenManager::getPubSubState());
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));

  // An update turns both on again: the stored mode restarts on the main queue.
  ASSERT_TRUE(
      publishUntil(service, accountUpdate, R"({"state":{"desired":{"location_tracking":true,"pub/sub":true}}})", [&] {
        return hooks_->count("startTrackingMode 3") == 1 && hooks_->count("subscribeEvents") >= 1 &&
               hooks_->count("subscribeLocation") >= 1;
      }));
  // The restart and the two subscriptions are separate steps of the update:
  // all three are waited for, each exactly once.
  EXPECT_EQ(hooks_->count("subscribeEvents"), 1u);
  EXPECT_EQ(hooks_->count("subscribeLocation"), 1u);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));

  // The app stops tracking itself: later documents neither restart it nor
  // resubscribe; a document without the switches changes nothing.
  SharedUtil::setDefaultBoolean(false, kIsLocationTracking);
  for (const char* doc : {R"({"state":{"desired":{"location_tracking":true,"pub/sub":true}}})",
                          R"({"state":{"desired":{"welcome":"only"}}})", "not json"}) {
    client.publish(accountUpdate, doc, 1);
  }
  const std::size_t stopsBefore = hooks_->count("stopTracking");
  ASSERT_TRUE(publishUntil(service, accountUpdate, R"({"state":{"desired":{"pub/sub":false}}})",
                           [&] { return hooks_->count("unsubscribeEvents") >= 2; }));
  platform::Dispatch::drainMain();
  EXPECT_EQ(hooks_->count("startTrackingMode 3"), 1u);
  EXPECT_EQ(hooks_->count("subscribeEvents"), 1u);
  EXPECT_EQ(hooks_->count("stopTracking"), stopsBefore);
  EXPECT_TRUE(TokenManager::getLocationTrackingState());
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
}

// The account shadow answers "get" with both switches off and the app
// tracking in the active mode; the answer's stop and unsubscriptions are
// awaited.
class ShadowSwitchesTest : public MessagingTest {
 protected:
  static constexpr const char* kAccountUpdate = "$aws/things/account_a1/shadow/update/accepted";

  void connectWithBothSwitchesOff() {
    SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
    SaveUtilis::saveTrackingOptions(PelkTrackingMode::active);
    auto& client = service_.client();
    ASSERT_TRUE(service_.waitConnected());
    service_.answer("$aws/things/account_a1/shadow/get", [&client](const std::string&) {
      client.publish("$aws/things/account_a1/shadow/get/accepted",
                     R"({"state":{"desired":{"location_tracking":false,"pub/sub":false}}})", 1);
    });
    ASSERT_TRUE(connectTo(broker_));
    ASSERT_TRUE(waitFor([&] { return hooks_->count("stopTracking") == 1 && hooks_->count("unsubscribeEvents") == 1; }));
    ASSERT_TRUE(SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow));
    ASSERT_TRUE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));
  }
  void publish(const std::string& document) { service_.client().publish(kAccountUpdate, document, 1); }

  MosquittoBroker broker_;
  Observer service_{broker_.wsUrl()};
};

// The pub/sub mark stays until the subscriptions it asks for are back: a
// document that allows publishing while they cannot be made (offline, say)
// leaves it, and the next such document asks again.
TEST_F(ShadowSwitchesTest, PubSubMarkStaysUntilTheSubscriptionsAreBack) {
  connectWithBothSwitchesOff();
  hooks_->subscriptionsMade = false;
  ASSERT_TRUE(publishUntil(service_, kAccountUpdate, R"({"state":{"desired":{"pub/sub":true}}})",
                           [&] { return hooks_->count("subscribeLocation") >= 1; }));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));
  hooks_->subscriptionsMade = true;
  const std::size_t asked = hooks_->count("subscribeLocation");
  publish(R"({"state":{"desired":{"pub/sub":true}}})");
  ASSERT_TRUE(waitFor([&] { return hooks_->count("subscribeLocation") == asked + 1; }));
  EXPECT_EQ(hooks_->count("subscribeEvents"), asked + 1);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));
}

// Polls without running the main queue (waitFor drains it).
bool seenWithoutDraining(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Tracking allowed, then refused again before the restart the first document
// queued has run: the restart does not start tracking, and the mark waits for
// the next document that allows it.
TEST_F(ShadowSwitchesTest, AQueuedRestartWaitsWhenANewerDocumentRefusesTracking) {
  connectWithBothSwitchesOff();
  // The second document's pub/sub "on" asks for the subscriptions back: seen
  // without running the main queue, it shows both documents were handled.
  ASSERT_TRUE(publishUntil(service_, kAccountUpdate, R"({"state":{"desired":{"pub/sub":false}}})",
                           [&] { return hooks_->count("unsubscribeEvents") >= 2; }));
  publish(R"({"state":{"desired":{"location_tracking":true,"pub/sub":false}}})");
  publish(R"({"state":{"desired":{"location_tracking":false,"pub/sub":true}}})");
  ASSERT_TRUE(seenWithoutDraining([&] { return hooks_->count("subscribeEvents") == 1; }));
  platform::Dispatch::drainMain();
  EXPECT_EQ(hooks_->count("startTrackingMode 3"), 0u);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow));

  ASSERT_TRUE(publishUntil(service_, kAccountUpdate, R"({"state":{"desired":{"location_tracking":true}}})",
                           [&] { return hooks_->count("startTrackingMode 3") == 1; }));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow));
}

// Connects asked from several threads at once (the REST client, the app and
// a reachability change) end in one working connection.
TEST_F(MessagingTest, RacingConnectsEndInOneConnection) {
  MosquittoBroker broker;
  ASSERT_TRUE(MQTTUtilis::saveMqttEndpoint(broker.wsUrl()));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 5; ++j) manager().connect();
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(waitFor([&] { return manager().connected(); })) << broker.log();
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  observer.record("locations/a1/p1/u1", 1);
  TokenManager::setPubSubState(true);
  // The registered client is the one that carries the position.
  ASSERT_TRUE(waitFor([&] {
    manager().publish("{\"n\":1}", nullptr);
    return waitFor([&] { return !observer.payloads("locations/a1/p1/u1").empty(); }, 100ms);
  })) << broker.log();
  EXPECT_TRUE(manager().client()->isConnected());
}

// Deep, huge, non-UTF-8 and non-object payloads are dropped and the
// connection carries on.
TEST_F(MessagingTest, HostilePayloadsAreDroppedAndTheConnectionStays) {
  MosquittoBroker broker;
  SharedUtil::setDefaultBoolean(true, kEventListenerSubscribe);
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(publishUntil(observer, "events/a1/p1/u1", R"({"events":[]})", [&] { return hooks_->eventCount() > 0; }));
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  const std::string huge = "{\"pad\":\"" + std::string(300000, 'x') + "\"}";
  for (const std::string& bad : {deep, huge, std::string("{\"a\":\"\xff\xfe\"}"), std::string("[{}]"),
                                 std::string("42"), std::string("null"), std::string("")}) {
    observer.client().publish("events/a1/p1/u1", bad, 1);
  }
  const std::size_t before = hooks_->eventCount();
  ASSERT_TRUE(publishUntil(observer, "events/a1/p1/u1", R"({"events":[{"last":true}]})",
                           [&] { return hooks_->eventCount() > before; }));
  EXPECT_TRUE(manager().connected());
  std::lock_guard lock(hooks_->mutex);
  for (const auto& m : hooks_->events) EXPECT_FALSE(m.contains("a")) << m.dump().substr(0, 80);
}

}  // namespace
}  // namespace pelk::test
