#include <set>
#include <thread>

#include "ManagerFixture.h"
#include "OfflineTripsFixture.h"
#include "messaging/LocationSending.h"
#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "messaging/MqttTestSetup.h"
#include "pelk/pelk.h"
#include "platform/MqttClient.h"
#include "support/MosquittoBroker.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// The kit's status lines among everything printed.
std::vector<std::string> statusLines(const std::vector<std::string>& lines, std::size_t from = 0) {
  static const std::set<std::string> known = {"Subscribed successfully", "Unsubscribed successfully",
                                              "Listener not enabled",    "Pub/Sub feature not enabled",
                                              "Network error",           "Data not found",
                                              "User not created"};
  std::vector<std::string> out;
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (known.count(lines[i])) out.push_back(lines[i]);
  }
  return out;
}

class EventsAndSubscriptionsTest : public ManagerTest {
 protected:
  ~EventsAndSubscriptionsTest() override {
    auto& m = MQTTManager::sharedInstance();
    waitFor([&] { return !m.replayRunning(); });
    m.resetForTesting();
    sending::links::connected.reset();
    sending::links::connect.reset();
    sending::links::disconnect.reset();
    MQTTUtilis::resetForTesting();
  }

  // Forgets every setting but keeps the local server as the REST base URL:
  // no request may leave for any other host.
  void freshSettings() {
    SharedUtil::resetDefaults();
    TokenManager::clearMemoryForTesting();
    SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
    APIClient::resetBaseUrlForTesting();
  }

  // Runs an operation with a user handler and waits for its one answer.
  template <class Op>
  std::pair<std::shared_ptr<PelkUser>, std::optional<PelkError>> answerOf(Op op) {
    HandlerRecorder<std::shared_ptr<PelkUser>> calls;
    op(Pelk::UserHandler(calls.handler()));
    EXPECT_TRUE(calls.wait());
    return calls.count() ? calls.last() : std::pair<std::shared_ptr<PelkUser>, std::optional<PelkError>>{};
  }

  static std::string userReply(bool eventListener, bool locationListener) {
    return json{{"code", 200},
                {"msg", "ok"},
                {"data",
                 {{"user_id", "u1"},
                  {"app_id", "app-1"},
                  {"geofence_events", true},
                  {"location_events", false},
                  {"nearby_events", true},
                  {"trips_events", false},
                  {"location_listener", locationListener},
                  {"event_listener", eventListener},
                  {"account_id", "a1"},
                  {"project_id", "p1"}}}}
        .dump();
  }
};

using UserHandler = PelkAPIClient::UserCompletion;
using Op = std::function<void(UserHandler)>;
Op toggleEvents() {
  return [](UserHandler h) { Pelk::toggleEvents(true, false, true, false, h); };
}
Op toggleListener() {
  return [](UserHandler h) { Pelk::toggleListener(true, false, h); };
}
Op eventsStatus() {
  return [](UserHandler h) { Pelk::getEventsStatus(h); };
}

TEST_F(EventsAndSubscriptionsTest, SwitchGuardsAnswerInOrderBeforeAnyRequest) {
  struct Case {
    const char* name;
    bool online, user, token, key;
    std::function<void(UserHandler)> op;
    PelkError error;
  };
  const PelkError network("QB500", "Network error"), noUser("QB402", "User not created"),
      notFound("QB402", "Data not found");
  const std::vector<Case> cases = {
      {"offline comes before the user check", false, false, false, false, toggleEvents(), network},
      {"offline listener toggle", false, true, true, true, toggleListener(), network},
      {"offline status", false, true, true, true, eventsStatus(), network},
      {"no user, no token: no token is asked for", true, false, false, true, toggleEvents(), noUser},
      {"no user on the listener toggle", true, false, true, true, toggleListener(), noUser},
      {"no user on the status", true, false, false, true, eventsStatus(), noUser},
      {"no token and no key", true, true, false, false, toggleListener(), notFound},
      {"no token and no key on the status", true, true, false, false, eventsStatus(), notFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    freshSettings();
    setOnline(c.online);
    if (c.user) TokenManager::setUserId("u1");
    if (c.token) TokenManager::setSdkToken("tok");
    if (c.key) TokenManager::setPublishKey("pk");
    const auto [user, error] = answerOf(c.op);
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(error, c.error);
  }
  EXPECT_TRUE(server_.requests().empty());
  // A handler is optional: the guards run all the same.
  setOnline(false);
  Pelk::toggleEvents(true, true, true, true);
  Pelk::toggleListener(true, true);
  Pelk::getListenerStatus();
}

TEST_F(EventsAndSubscriptionsTest, TogglesSendTheirBodiesAndStoreWhatTheServerReturns) {
  storeUser();
  TokenManager::setEventListener(true);
  TokenManager::setLocationListener(false);
  platform::Console::Capture console;

  // The events body maps Location to the location events and MovingGeofence to the nearby events.
  server_.enqueue("/v3/user/", ScriptedReply::json(userReply(true, false)));
  auto [user, error] = answerOf(toggleEvents());
  ASSERT_TRUE(user) << (error ? error->message() : "");
  EXPECT_TRUE(user->geofenceEvents());
  ASSERT_EQ(server_.requests("/v3/user/").size(), 1u);
  auto sent = server_.requests("/v3/user/")[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(json::parse(sent.body), (json{{"geofence_events", true},
                                          {"trips_events", false},
                                          {"location_events", true},
                                          {"nearby_events", false},
                                          {"user_id", "u1"}}));

  // The listener toggle asks for events on; the server keeps them off: the
  // stored switch follows the server, and a subscription is refused.
  server_.enqueue("/v3/user/", ScriptedReply::json(userReply(false, true)));
  std::tie(user, error) = answerOf(toggleListener());
  ASSERT_TRUE(user);
  sent = server_.requests("/v3/user/")[1];
  EXPECT_EQ(json::parse(sent.body), (json{{"event_listener", true}, {"location_listener", false}, {"user_id", "u1"}}));
  EXPECT_FALSE(TokenManager::getEventListener());
  EXPECT_TRUE(TokenManager::getLocationListener());
  const auto before = console.lines().size();
  Pelk::subscribe(PelkSubscribe::events, "u1");
  EXPECT_EQ(statusLines(console.lines(), before), std::vector<std::string>{"Listener not enabled"});
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));

  // Both status calls make the same request, hand over the server's user and store nothing.
  server_.setDefault("/v3/user/", ScriptedReply::json(userReply(true, false)));
  for (const Op& op : {eventsStatus(), Op([](UserHandler h) { Pelk::getListenerStatus(h); })}) {
    std::tie(user, error) = answerOf(op);
    ASSERT_TRUE(user);
    EXPECT_TRUE(user->eventsListener());
  }
  const auto all = server_.requests("/v3/user/");
  ASSERT_EQ(all.size(), 4u);
  for (std::size_t i = 2; i < 4; ++i) {
    EXPECT_EQ(all[i].method, "GET");
    EXPECT_EQ(all[i].target, "/v3/user/?user_id=u1");
  }
  EXPECT_FALSE(TokenManager::getEventListener());
  EXPECT_TRUE(TokenManager::getLocationListener());

  // A failure reply reaches the handler as the server's error.
  server_.enqueue(
      "/v3/user/",
      ScriptedReply::json(
          json{{"code", 400}, {"msg", "bad"}, {"error", {{"ErrorCode", "QB412"}, {"ErrorMessage", "x"}}}}.dump()));
  std::tie(user, error) = answerOf(toggleEvents());
  EXPECT_EQ(user, nullptr);
  EXPECT_EQ(error, PelkError("QB412", "bad"));
}

TEST_F(EventsAndSubscriptionsTest, MissingTokenIsFetchedThenTheToggleRunsOnce) {
  TokenManager::setUserId("u1");
  TokenManager::setPublishKey("pk");
  server_.enqueue("/v3/user/token/",
                  ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}, {"data", {{"sdk_token", "tok-1"}}}}.dump()));
  server_.setDefault("/v3/user/", ScriptedReply::json(userReply(true, true)));
  const auto [user, error] = answerOf(toggleListener());
  EXPECT_TRUE(user);
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(server_.requests("/v3/user/token/").size(), 1u);
  EXPECT_EQ(server_.requests("/v3/user/").size(), 1u);

  // A refused token ends with the key error and no toggle request.
  freshSettings();
  TokenManager::setUserId("u1");
  TokenManager::setPublishKey("pk");
  server_.setDefault("/v3/user/token/", ScriptedReply::json(json{{"code", 401}, {"msg", "no"}}.dump()));
  const auto [none, refused] = answerOf(eventsStatus());
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(refused, PelkError("QB402", "Error publishable_key or package_name is wrong"));
  EXPECT_EQ(server_.requests("/v3/user/").size(), 1u);
}

// What a subscription changed: switches, followed list and the topics the kit
// (un)subscribed at a real broker.
class SubscriptionTableTest : public EventsAndSubscriptionsTest {
 protected:
  SubscriptionTableTest() : broker_({.users = {}, .persistence = false, .tls = false, .logPackets = true}) {
    resetMqttForTest();
    storeUser();
    TokenManager::setPubSubState(true);
    TokenManager::setEventListener(true);
    TokenManager::setLocationListener(true);
    EXPECT_TRUE(MQTTUtilis::saveMqttEndpoint(broker_.wsUrl()));
    MQTTManager::sharedInstance().connect();
    EXPECT_TRUE(waitFor([] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker_.log();
  }

  // The followed-topic requests the broker logged since `from`.  A marker
  // subscription made afterwards is waited for: the broker handles one
  // client's requests in order, so everything before it is in the log.
  std::pair<std::set<std::string>, std::set<std::string>> topicsSince(std::size_t from) {
    const std::string marker = "marker-" + std::to_string(++markers_);
    MQTTManager::sharedInstance().subscribeUserLocation({marker});
    EXPECT_TRUE(waitFor([&] { return broker_.log().find("users/" + marker + "/locations") != std::string::npos; }));
    MQTTManager::sharedInstance().unsubscribeUserLocation({marker});
    std::set<std::string> subscribed, unsubscribed;
    std::set<std::string>* current = nullptr;
    std::istringstream in(broker_.log().substr(from));
    for (std::string line; std::getline(in, line);) {
      if (line.find("Received SUBSCRIBE") != std::string::npos) {
        current = &subscribed;
        continue;
      }
      if (line.find("Received UNSUBSCRIBE") != std::string::npos) {
        current = &unsubscribed;
        continue;
      }
      const auto tab = line.find('\t');
      if (!current || tab == std::string::npos) {
        current = nullptr;
        continue;
      }
      auto topic = line.substr(tab + 1);
      topic = topic.substr(0, topic.find(' '));
      if (topic.find("marker-") == std::string::npos && topic.rfind("$aws", 0) != 0) current->insert(topic);
    }
    return {subscribed, unsubscribed};
  }

  MosquittoBroker broker_;
  int markers_ = 0;
};

TEST_F(SubscriptionTableTest, SubscribeAndUnsubscribeByKindAndId) {
  using Set = std::set<std::string>;
  using Lines = std::vector<std::string>;
  const std::string events = "events/a1/p1/u1", v1 = "users/v1/locations";
  struct Case {
    const char* name;
    bool subscribe;
    PelkSubscribe kind;
    std::string id;
    bool online;
    bool eventSub, locationSub, userSub;  // expected switches
    std::vector<std::string> followed;    // expected list
    Set topics;                           // subscribed, or unsubscribed for an unsubscribe
    Lines lines;
  };
  // Subscriptions start with nothing on; unsubscriptions with everything on
  // and v1, v2 followed.
  // clang-format off
  const std::vector<Case> cases = {
      {"own location", true, PelkSubscribe::location, "u1", true, false, true, false, {}, {}, {"Subscribed successfully"}},
      {"own location offline", true, PelkSubscribe::location, "u1", false, false, true, false, {}, {}, {"Subscribed successfully"}},
      {"other's location", true, PelkSubscribe::location, "v1", true, false, false, true, {"v1"}, {v1}, {}},
      {"own events", true, PelkSubscribe::events, "u1", true, true, false, false, {}, {events}, {"Subscribed successfully"}},
      {"own events offline", true, PelkSubscribe::events, "u1", false, false, false, false, {}, {}, {"Network error"}},
      {"other's events: nothing", true, PelkSubscribe::events, "v1", true, false, false, false, {}, {}, {}},
      {"own both", true, PelkSubscribe::eventsAndLocation, "u1", true, true, true, false, {}, {events}, {"Subscribed successfully", "Subscribed successfully"}},
      {"other's both: positions only", true, PelkSubscribe::eventsAndLocation, "v1", true, false, false, true, {"v1"}, {v1}, {}},
      {"unknown kind counts as both", true, static_cast<PelkSubscribe>(7), "v1", true, false, false, true, {"v1"}, {v1}, {}},
      {"topic wildcard id refused", true, PelkSubscribe::location, "#", true, false, false, false, {}, {}, {}},
      {"empty id", true, PelkSubscribe::eventsAndLocation, "", true, false, false, false, {}, {}, {"Data not found"}},
      {"empty id offline", true, PelkSubscribe::location, "", false, false, false, false, {}, {}, {"Data not found"}},
      // Text that is not UTF-8 names nobody either, whatever the network.
      {"id not UTF-8", true, PelkSubscribe::location, "v\xff", true, false, false, false, {}, {}, {"Data not found"}},
      {"id not UTF-8 offline", true, PelkSubscribe::eventsAndLocation, "v\xed\xa0\x80", false, false, false, false, {}, {}, {"Data not found"}},
      {"un: own location", false, PelkSubscribe::location, "u1", true, true, false, true, {"v1", "v2"}, {}, {"Unsubscribed successfully"}},
      {"un: other's location", false, PelkSubscribe::location, "v1", true, true, true, true, {"v2"}, {v1}, {}},
      {"un: other's location offline", false, PelkSubscribe::location, "v1", false, true, true, true, {"v1", "v2"}, {}, {"Network error"}},
      {"un: own events", false, PelkSubscribe::events, "u1", true, false, true, true, {"v1", "v2"}, {events}, {"Unsubscribed successfully"}},
      {"un: other's events: nothing", false, PelkSubscribe::events, "v1", true, true, true, true, {"v1", "v2"}, {}, {}},
      {"un: own both", false, PelkSubscribe::eventsAndLocation, "u1", true, false, false, true, {"v1", "v2"}, {events}, {"Unsubscribed successfully", "Unsubscribed successfully"}},
      {"un: not followed", false, PelkSubscribe::location, "v9", true, true, true, true, {"v1", "v2"}, {}, {}},
      {"un: empty id", false, PelkSubscribe::location, "", true, true, true, true, {"v1", "v2"}, {}, {"Data not found"}},
      {"un: id not UTF-8 offline", false, PelkSubscribe::location, "v1\xc3", false, true, true, true, {"v1", "v2"}, {}, {"Data not found"}},
  };
  // clang-format on
  platform::Console::Capture console;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setOnline(true);
    // Each case starts from its own state, subscribed at the broker as stored.
    SharedUtil::setDefaultBoolean(!c.subscribe, kEventListenerSubscribe);
    SharedUtil::setDefaultBoolean(!c.subscribe, kLocationListenerSubscribe);
    SharedUtil::setDefaultBoolean(!c.subscribe, kLocationUserSubscribe);
    SharedUtil::setDefaultArray(c.subscribe ? std::vector<std::string>{} : std::vector<std::string>{"v1", "v2"},
                                "saveUserSubscribe");
    auto& mqtt = MQTTManager::sharedInstance();
    if (c.subscribe) {
      mqtt.unsubscribeEventListenerTopic();
      mqtt.unsubscribeUserLocation({"v1", "v2"});
    } else {
      mqtt.subscribeEventListenerTopic();
      mqtt.subscribeUserLocation({"v1", "v2"});
    }
    topicsSince(0);  // the state above is in place at the broker
    const auto logFrom = broker_.log().size();
    const auto linesFrom = console.lines().size();
    setOnline(c.online);

    c.subscribe ? Pelk::subscribe(c.kind, c.id) : Pelk::unsubscribe(c.kind, c.id);

    setOnline(true);
    EXPECT_EQ(statusLines(console.lines(), linesFrom), c.lines);
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kEventListenerSubscribe), c.eventSub);
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe), c.locationSub);
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kLocationUserSubscribe), c.userSub);
    EXPECT_EQ(MQTTUtilis::getUserSubscribe(), c.followed);
    const auto [subscribed, unsubscribed] = topicsSince(logFrom);
    EXPECT_EQ(c.subscribe ? subscribed : unsubscribed, c.topics);
    EXPECT_EQ(c.subscribe ? unsubscribed : subscribed, Set{});
  }
}

TEST_F(SubscriptionTableTest, FollowedListKeepsOneEntryPerUserAndTheSwitchUntilTheLastGoes) {
  Pelk::subscribe(PelkSubscribe::location, "v1");
  Pelk::subscribe(PelkSubscribe::location, "v2");
  Pelk::subscribe(PelkSubscribe::location, "v1");
  EXPECT_EQ(MQTTUtilis::getUserSubscribe(), (std::vector<std::string>{"v1", "v2"}));
  Pelk::unsubscribe(PelkSubscribe::location, "v1");
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationUserSubscribe));
  Pelk::unsubscribe(PelkSubscribe::location, "v2");
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationUserSubscribe));
  EXPECT_TRUE(MQTTUtilis::getUserSubscribe().empty());

  // Without the account's pub/sub feature nothing is followed.
  TokenManager::setPubSubState(false);
  platform::Console::Capture console;
  Pelk::subscribe(PelkSubscribe::location, "v3");
  EXPECT_EQ(statusLines(console.lines()), std::vector<std::string>{"Pub/Sub feature not enabled"});
  EXPECT_TRUE(MQTTUtilis::getUserSubscribe().empty());
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationUserSubscribe));
}

// Keeps every received location whole.
class ReceivingDelegate : public RecordingDelegate {
 public:
  void didReceiveUserLocation(const PelkLocationReceived& l) override {
    std::lock_guard lock(mutex);
    received.push_back(l);
    userLocations.push_back(l.userId().value_or(""));
  }
  std::vector<std::string> ids() {
    std::lock_guard lock(mutex);
    return userLocations;
  }
  std::vector<PelkLocationReceived> received;
};

TEST_F(EventsAndSubscriptionsTest, AnotherUsersPositionsReachTheAppFromTheBrokerUntilUnsubscribed) {
  MosquittoBroker broker;
  resetMqttForTest();
  storeUser();
  TokenManager::setPubSubState(true);
  auto app = std::make_shared<ReceivingDelegate>();
  Pelk::setDelegate(app);
  // Start-up with a stored token and user; not a publisher, so nothing connects yet.
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_FALSE(MQTTManager::sharedInstance().connected());

  // The other users' side: a plain client publishing their positions.
  platform::MqttClientOptions o;
  o.serverUri = "tcp://127.0.0.1:" + std::to_string(broker.tcpPort());
  o.clientId = "other-users";
  auto others = platform::MqttClient::create(o);
  others->connect();
  ASSERT_TRUE(waitFor([&] { return others->isConnected(); }));
  auto position = [](const std::string& user, double lat) {
    return json{{"user_id", user},
                {"activity", "M"},
                {"location_id", user + "-loc"},
                {"recorded_at", "2026-12-10T04:00:00.000Z"},
                {"coordinates", {{"type", "Point"}, {"coordinates", {13.4, lat}}}}}
        .dump();
  };
  // Publishes until one more position of `user` arrived (the subscription is
  // in place only once the broker has handled it).
  auto publishUntilArrived = [&](const std::string& user, double lat) {
    const auto count = [&] {
      const auto ids = app->ids();
      return std::count(ids.begin(), ids.end(), user);
    };
    const auto before = count();
    return waitFor([&] {
      others->publish("users/" + user + "/locations", position(user, lat), 1);
      return waitFor([&] { return count() > before; }, 100ms);
    });
  };

  // The subscription opens the connection itself; its start-up subscribes the stored list.
  Pelk::subscribe(PelkSubscribe::location, "v1");
  Pelk::subscribe(PelkSubscribe::eventsAndLocation, "v2");
  ASSERT_TRUE(waitFor([] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  ASSERT_TRUE(publishUntilArrived("v1", 52.51));
  ASSERT_TRUE(publishUntilArrived("v2", 52.52));
  {
    std::lock_guard lock(app->mutex);
    const auto& first = app->received.front();
    EXPECT_EQ(first.userId(), "v1");
    EXPECT_EQ(first.locationId(), "v1-loc");
    ASSERT_TRUE(first.latitude());
    EXPECT_DOUBLE_EQ(first.latitude()->doubleValue(), 52.51);
    EXPECT_DOUBLE_EQ(first.longitude()->doubleValue(), 13.4);
  }

  // Unsubscribed: v1's positions stop at once.  One publisher's messages
  // arrive in order, so once v2's later one arrived v1's would have.
  Pelk::unsubscribe(PelkSubscribe::location, "v1");
  const auto before = app->ids().size();
  ASSERT_TRUE(waitFor([&] {
    others->publish("users/v1/locations", position("v1", 52.6), 1);
    return publishUntilArrived("v2", 52.53);
  }));
  const auto ids = app->ids();
  for (std::size_t i = before; i < ids.size(); ++i) EXPECT_EQ(ids[i], "v2");
  Pelk::setDelegate(nullptr);
  others->disconnect();
}

// The publishing operations against a stand-in connection that notes the
// publisher switch at each connect and disconnect.
TEST_F(EventsAndSubscriptionsTest, PublishingStylesAndStopKeepTheirOrder) {
  storeUser();
  struct Link {
    std::mutex m;
    bool connected = false;
    std::vector<std::string> calls;
  };
  auto link = std::make_shared<Link>();
  sending::links::connected.set([link] {
    std::lock_guard lock(link->m);
    return link->connected;
  });
  auto note = [link](const char* what) {
    std::lock_guard lock(link->m);
    link->calls.push_back(std::string(what) +
                          (TokenManager::getLocationPublisher() ? " publisher on" : " publisher off"));
  };
  sending::links::connect.set([note] { note("connect"); });
  sending::links::disconnect.set([note] { note("disconnect"); });
  auto calls = [link] {
    std::lock_guard lock(link->m);
    return std::exchange(link->calls, {});
  };
  auto setConnected = [link](bool c) {
    std::lock_guard lock(link->m);
    link->connected = c;
  };
  auto on = [](const char* field) { return SharedUtil::getDefaultBoolean(std::string("LocationPublish") + field); };

  PelkPublish save;
  save.airplane_mode = true;
  save.speed = true;
  save.meta_data = json{{"fleet", "north"}};
  Pelk::publishSave(save);
  // The connection is opened with the switch already on, so it stays up.
  EXPECT_EQ(calls(), std::vector<std::string>{"connect publisher on"});
  EXPECT_TRUE(on("Save"));
  EXPECT_FALSE(on("Only"));
  EXPECT_TRUE(on("airplane_mode"));
  EXPECT_FALSE(on("speed"));  // sent in this style anyway; not a choice of it

  setConnected(true);
  PelkPublish only;
  only.speed = true;
  Pelk::publishOnly(only);
  EXPECT_TRUE(calls().empty());  // connected: no second connect
  EXPECT_FALSE(on("Save"));
  EXPECT_TRUE(on("Only"));
  EXPECT_TRUE(on("speed"));
  EXPECT_FALSE(on("airplane_mode"));
  EXPECT_TRUE(SharedUtil::getDefaultDictionary(kLocationPublishMeta_data).empty());

  // Stop: the switch is off before the disconnect, whose reconnect reads it.
  Pelk::stopPublishing();
  EXPECT_EQ(calls(), std::vector<std::string>{"disconnect publisher off"});
  EXPECT_FALSE(TokenManager::getLocationPublisher());
  EXPECT_TRUE(on("Only"));
  EXPECT_TRUE(on("speed"));  // the choice stays for the next start

  setConnected(false);
  Pelk::publishOnly();
  EXPECT_TRUE(TokenManager::getLocationPublisher());
  EXPECT_FALSE(on("speed"));  // no choice given: every field off
  calls();
  Pelk::stopPublishing();
  EXPECT_TRUE(calls().empty());  // nothing to close
  EXPECT_FALSE(TokenManager::getLocationPublisher());
}

TEST_F(EventsAndSubscriptionsTest, OpenedNotificationReportsOnlyTheKitsOwnCampaign) {
  struct Case {
    const char* name;
    json userInfo;
    bool online = true, user = true, token = true;
    std::vector<std::string> lines;
  };
  const json ours = {{"type", "quelbrin"}, {"cid", "c-1"}};
  const std::vector<Case> cases = {
      {"another sender", {{"type", "other"}, {"cid", "c-1"}}, true, true, true, {}},
      {"letter case counts", {{"type", "Quelbrin"}, {"cid", "c-1"}}, true, true, true, {}},
      {"empty campaign", {{"type", "quelbrin"}, {"cid", ""}}, true, true, true, {}},
      {"no campaign", {{"type", "quelbrin"}}, true, true, true, {}},
      {"campaign not a text", {{"type", "quelbrin"}, {"cid", 12}}, true, true, true, {}},
      {"not an object", json::array({"quelbrin", "c-1"}), true, true, true, {}},
      {"offline", ours, false, true, true, {"Network error"}},
      {"no user", ours, true, false, true, {"User not created"}},
      {"no token", ours, true, true, false, {"Data not found"}},
  };
  platform::Console::Capture console;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    freshSettings();
    setOnline(c.online);
    if (c.user) TokenManager::setUserId("u1");
    if (c.token) TokenManager::setSdkToken("tok");
    const auto from = console.lines().size();
    Pelk::notificationOpenedHandler(PelkOpenedNotification{c.userInfo});
    EXPECT_EQ(statusLines(console.lines(), from), c.lines);
  }
  // The kit's own: one report, with the campaign id in the query.
  setOnline(true);
  storeUser();
  server_.setDefault("/v3/user/ctr/", ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}}.dump()));
  Pelk::notificationOpenedHandler(PelkOpenedNotification{json{{"type", "quelbrin"}, {"cid", "c 9"}, {"extra", 1}}});
  ASSERT_TRUE(server_.waitForRequests(1));
  const auto sent = server_.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].target, "/v3/user/ctr/?campaign_log_id=c%209");
  EXPECT_EQ(sent[0].header("Authorization"), "token tok");
}

TEST_F(EventsAndSubscriptionsTest, ShadowLinksReachTheSubscriptionOperations) {
  storeUser();
  TokenManager::setEventListener(true);
  TokenManager::setLocationListener(true);
  Pelk::initialize("pk-1");
  namespace shadow = messaging::links;
  EXPECT_TRUE(shadow::subscribeEvents());
  EXPECT_TRUE(shadow::subscribeLocation());
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  shadow::unsubscribeEvents();
  shadow::unsubscribeLocation();
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  // What cannot be subscribed now (offline) is reported as not done, so the
  // shadow asks again later.
  setOnline(false);
  EXPECT_FALSE(shadow::subscribeEvents());
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));
  setOnline(true);
  // What the user's listener switches forbid is done: there is nothing to
  // subscribe, and nothing to ask for again.
  TokenManager::setEventListener(false);
  TokenManager::setLocationListener(false);
  EXPECT_TRUE(shadow::subscribeEvents());
  EXPECT_TRUE(shadow::subscribeLocation());
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  // The answer in force (the fixture's "always"), not what an earlier run kept.
  EXPECT_EQ(Pelk::locationPermissionStatus(), 3);
  SharedUtil::setDefaultInteger(4, klocationPermissionStatus);
  EXPECT_EQ(Pelk::locationPermissionStatus(), 3);
}

// The shadow switched publishing off and on again while the user's location
// listener switch was off: its request for the subscriptions is done then,
// and a later unsubscribe of the app's own is not undone by the documents
// that follow.
TEST_F(EventsAndSubscriptionsTest, ShadowsRequestForbiddenByTheListenerSwitchDoesNotUndoTheAppsLaterChoice) {
  storeUser();
  TokenManager::setEventListener(true);
  TokenManager::setLocationListener(false);
  Pelk::initialize("pk-1");
  auto& mqtt = MQTTManager::sharedInstance();
  TokenManager::setPubSubState(false);  // a document switches publishing off
  mqtt.updatePubSub();
  ASSERT_TRUE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));
  TokenManager::setPubSubState(true);  // and on again
  mqtt.updatePubSub();
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow));

  // Later the user's switch allows it, the app subscribes and unsubscribes
  // on its own; the next documents that allow publishing leave that alone.
  TokenManager::setLocationListener(true);
  manager().subscribeLocation();
  manager().unsubscribeLocation();
  manager().unsubscribeEvents();
  for (int i = 0; i < 2; ++i) mqtt.updatePubSub();
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationListenerSubscribe));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kEventListenerSubscribe));
}

// Subscriptions, notifications and publishing styles given text that is
// nested far too deep or not UTF-8, or chosen from two threads at once.
class HostileSubscriptionsTest : public OfflineTripsTest {};

TEST_F(HostileSubscriptionsTest, AnOpenedNotificationNestedFarTooDeepIsNotReported) {
  const auto text = R"({"type":"quelbrin","cid":"c1","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  pelk_notification_opened(text.c_str());
  PelkOpenedNotification n;
  n.userInfo = json::parse(text);
  manager().notificationOpenedHandler(n);
  platform::Dispatch::drainMain();
  SUCCEED();
}

TEST_F(HostileSubscriptionsTest, AFollowedUserIdThatIsNotUtf8IsNotKept) {
  TokenManager::setPubSubState(true);
  manager().subscribe(PelkSubscribe::location, "v\xff");
  for (const auto& u : MQTTUtilis::getUserSubscribe()) EXPECT_NE(u, "v\xff");
}

TEST_F(HostileSubscriptionsTest, PublishingStylesChosenFromTwoThreadsEndAsOneOfThem) {
  PelkPublish save;
  save.device_model = true;  // kept by both styles
  PelkPublish only;
  only.speed = true;  // kept by publish-only alone
  for (int i = 0; i < 100; ++i) {
    std::thread a([&] { manager().publishSave(&save); });
    std::thread b([&] { manager().publishOnly(&only); });
    a.join();
    b.join();
    const bool s = SharedUtil::getDefaultBoolean(kLocationPublishSave);
    const bool o = SharedUtil::getDefaultBoolean(kLocationPublishOnly);
    ASSERT_NE(s, o) << "round " << i;
    // The field choice is the one of the style that holds, never a mix.
    ASSERT_EQ(SharedUtil::getDefaultBoolean(kLocationPublishdevice_model), s) << "round " << i;
    ASSERT_EQ(SharedUtil::getDefaultBoolean(kLocationPublishspeed), o) << "round " << i;
  }
}

}  // namespace
}  // namespace pelk::test
