#include <set>

#include "ManagerFixture.h"
#include "RoadFixture.h"
#include "messaging/LocationSending.h"
#include "messaging/MQTTManager.h"
#include "messaging/MqttTestSetup.h"
#include "messaging/MQTTUtilis.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/MqttClient.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "support/MosquittoBroker.h"
#include "support/SignUpReplies.h"
#include "tracking/BaseCLManager.h"
#include "tracking/LocationCounters.h"
#include "tracking/PelkActiveTracking.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// Every location id the service side received on the own topic, from live
// messages (one object) and replayed pages (an array).
class TopicWatcher {
 public:
  TopicWatcher(const MosquittoBroker& broker, const std::string& topic) {
    platform::MqttClientOptions o;
    o.serverUri = "tcp://127.0.0.1:" + std::to_string(broker.tcpPort());
    o.clientId = "service-side";
    o.cleanSession = false;  // what is published while it is away is kept for it
    o.firstRetryDelay = 50ms;
    o.maxRetryDelay = 200ms;
    client_ = platform::MqttClient::create(o);
    client_->connect();
    EXPECT_TRUE(waitFor([&] { return client_->isConnected(); }));
    client_->subscribe(topic, 1, [this](const std::string&, const std::string& payload) {
      const auto j = json::parse(payload, nullptr, false);
      std::lock_guard lock(mutex_);
      messages_.push_back(j);
      if (j.is_array()) {
        for (const auto& row : j) ids_.insert(row.value("location_id", ""));
      } else if (j.is_object()) {
        ids_.insert(j.value("location_id", ""));
      }
    });
  }
  std::multiset<std::string> ids() const {
    std::lock_guard lock(mutex_);
    return ids_;
  }
  std::vector<json> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::shared_ptr<platform::MqttClient> client_;
  mutable std::mutex mutex_;
  std::multiset<std::string> ids_;
  std::vector<json> messages_;
};

class MainRoadTest : public RoadTest {
 protected:
  void deliver(double lat) { deliverFixAt(lat); }
  std::set<std::string> bufferedIds() {
    std::set<std::string> ids;
    for (const auto& r : buffer_->fetchDeviceData(0)) ids.insert(r.location_id.value_or(""));
    return ids;
  }
};

TEST_F(MainRoadTest, PositionsReachTheAppAndTheBrokerAndSurviveABrokerOutage) {
  MosquittoBroker broker({.users = {}, .persistence = true});
  answerSignUp(server_);
  TopicWatcher service(broker, "locations/acc-1/prj-1/u-1");
  ASSERT_TRUE(waitFor([&] { return broker.log().find("service-side") != std::string::npos; }));
  auto app = std::make_shared<RecordingDelegate>();
  Pelk::setDelegate(app);

  // Start-up against the local server: the token, then the user.
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(
      waitFor([&] { return !TokenManager::getSDKToken().empty() && SharedUtil::getDefaultBoolean(kOfflineTracking); }));
  std::atomic<bool> created{false};
  Pelk::createUser("runner",
                   [&](std::shared_ptr<PelkUser> user, std::optional<PelkError>) { created = user != nullptr; });
  ASSERT_TRUE(waitFor([&] { return created.load(); }));
  ASSERT_TRUE(waitFor([&] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  // The app publishes its positions and listens to them (publishing choices come with their own operations).
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  // The account's shadow lets this account publish (no shadow service runs here).
  TokenManager::setPubSubState(true);

  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  ASSERT_TRUE(Pelk::isLocationTracking());
  double lat = 52.5;
  for (int i = 0; i < 3; ++i) deliver(lat += 0.0003);
  ASSERT_EQ(app->locationCount(), 3u);
  ASSERT_TRUE(waitFor([&] { return service.ids().size() == 3; }))
      << service.ids().size() << " buffered " << buffer_->getOfflineLocationCount() << " topic "
      << MQTTUtilis::toTopicSubscribe() << "\n"
      << broker.log();
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);

  // The broker goes away: positions still reach the app and are buffered.
  broker.stop();
  ASSERT_TRUE(waitFor([&] { return !MQTTManager::sharedInstance().connected(); }));
  for (int i = 0; i < 3; ++i) deliver(lat += 0.0003);
  EXPECT_EQ(app->locationCount(), 6u);
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 3; })) << buffer_->getOfflineLocationCount();
  const auto buffered = bufferedIds();

  // It returns: the buffer is replayed and emptied; nothing is lost or doubled.
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }, 20s)) << broker.log();
  ASSERT_TRUE(waitFor([&] { return service.ids().size() >= 6; }, 20s)) << service.ids().size();
  const auto seen = service.ids();
  const std::set<std::string> distinct(seen.begin(), seen.end());
  EXPECT_EQ(distinct.size(), 6u);
  // Delivery is at least once: a position published just before the broker
  // stopped, whose acknowledgement never came back, is buffered and goes out
  // again.  Only that one may arrive twice.
  EXPECT_LE(seen.size() - distinct.size(), 1u);
  for (const auto& id : buffered) EXPECT_GE(seen.count(id), 1u) << id;
  EXPECT_EQ(app->locations.size(), 6u);
}

// A plain broker with nothing answering the account's shadow: positions are
// kept, not published, and the console says why once, not per position; an
// answer that allows publishing sends what was kept and what follows.
TEST_F(MainRoadTest, PublishingWaitsForTheShadowAndSaysSoOnce) {
  MosquittoBroker broker({.users = {}, .persistence = false});
  answerSignUp(server_);
  TopicWatcher service(broker, "locations/acc-1/prj-1/u-1");
  platform::Console::Capture console;
  const std::string waitLine =
      "pelk: publishing waits for the account shadow: positions are kept until "
      "$aws/things/account_acc-1/shadow/get is answered";

  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  std::atomic<bool> created{false};
  Pelk::createUser("runner",
                   [&](std::shared_ptr<PelkUser> user, std::optional<PelkError>) { created = user != nullptr; });
  ASSERT_TRUE(waitFor([&] { return created.load(); }));
  ASSERT_TRUE(waitFor([&] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  Pelk::publishSave();
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  double lat = 52.5;
  for (int i = 0; i < 3; ++i) deliver(lat += 0.0003);
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 3; })) << buffer_->getOfflineLocationCount();
  EXPECT_TRUE(service.ids().empty());
  const auto said = [&] {
    const auto lines = console.lines(platform::Console::Level::Info);
    return std::count(lines.begin(), lines.end(), waitLine);
  };
  EXPECT_EQ(said(), 1);

  // The service answers as tools/demo/TrackWatcher does.
  platform::MqttClientOptions o;
  o.serverUri = "tcp://127.0.0.1:" + std::to_string(broker.tcpPort());
  o.clientId = "shadow-service";
  auto shadow = platform::MqttClient::create(o);
  shadow->connect();
  ASSERT_TRUE(waitFor([&] { return shadow->isConnected(); }));
  shadow->publish("$aws/things/account_acc-1/shadow/get/accepted",
                  R"({"state":{"desired":{"pub/sub":true,"location_tracking":true}}})", 1);
  ASSERT_TRUE(waitFor([&] { return service.ids().size() == 3; }, 15s)) << service.ids().size();
  deliver(lat += 0.0003);
  ASSERT_TRUE(waitFor([&] { return service.ids().size() == 4; })) << service.ids().size();
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
  EXPECT_EQ(said(), 1);
}

TEST_F(MainRoadTest, StartUpWithAStoredUserReplaysTheBufferedPositions) {
  MosquittoBroker broker({.users = {}, .persistence = false});
  TopicWatcher service(broker, "locations/a1/p1/u1");
  storeUser();
  TokenManager::setPubSubState(true);
  // Positions kept from an earlier run; the app is not the publisher, so only
  // the buffer makes the start-up connect.
  std::set<std::string> kept;
  for (int i = 0; i < 3; ++i) {
    const platform::Location l = fixAt(52.5 + 0.001 * i);
    const std::string id = "kept-" + std::to_string(i);
    ASSERT_TRUE(buffer_->saveLocationData({l, "M", false, 0, id}));
    kept.insert(id);
  }

  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor([&] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }, 20s)) << broker.log();
  ASSERT_TRUE(waitFor([&] { return service.ids().size() >= kept.size(); }, 20s)) << service.ids().size();
  const auto seen = service.ids();
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), kept);
  EXPECT_EQ(seen.size(), kept.size());
  EXPECT_TRUE(server_.requests().empty());  // the stored token is used as it is
}

TEST_F(MainRoadTest, GpsStatusKeptWhileDisconnectedGoesOutWithTheLocalData) {
  MosquittoBroker broker({.users = {}, .persistence = false});
  TopicWatcher service(broker, "locations/a1/p1/u1");
  storeUser();
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);

  // Not connected yet: the record is kept.
  PelkLocationGpsData::sharedInstance().gpsChange(true);
  const auto record = SharedUtil::getDefaultDictionary(kGPSStatus);
  ASSERT_FALSE(record.empty());
  manager().sendLocalDataToServer();  // still not connected: it stays
  EXPECT_EQ(SharedUtil::getDefaultDictionary(kGPSStatus), record);

  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor([&] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  manager().sendLocalDataToServer();
  ASSERT_TRUE(waitFor([&] { return SharedUtil::getDefaultDictionary(kGPSStatus).empty(); }, 10s));
  ASSERT_TRUE(waitFor([&] {
    for (const auto& m : service.messages()) {
      if (m == record) return true;
    }
    return false;
  })) << service.messages().size();
}

// The logout empties the buffer and then closes the connection, which fails
// a publish the broker never acknowledged: that position belonged to the user
// who left and must not wait in the buffer for the next one's topic.
TEST_F(MainRoadTest, APositionInFlightAtLogoutIsNotKeptForTheNextUser) {
  MosquittoBroker broker({.users = {}, .persistence = false});
  server_.setDefault("/v3/user/logout/", ScriptedReply::json(json{{"code", 200}, {"msg", "Logged out"}}.dump()));
  storeUser();
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);  // the app hears of each position
  auto app = std::make_shared<RecordingDelegate>();
  Pelk::setDelegate(app);
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor([&] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  ASSERT_TRUE(Pelk::isLocationTracking());

  broker.freeze();  // the position goes out and is never acknowledged
  platform::Console::Capture console;
  deliver(52.5);
  ASSERT_EQ(app->locationCount(), 1u);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
  std::atomic<bool> loggedOut{false};
  Pelk::logoutUser([&](std::optional<std::string>, std::optional<PelkError> e) { loggedOut = !e; });
  ASSERT_TRUE(waitFor([&] { return loggedOut.load(); }));
  // The closing connection answers the publish: dropped, with a line saying so.
  const auto dropped = [&] {
    for (const auto& line : console.lines()) {
      if (line.find("not kept") != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(waitFor([&] { return dropped() || buffer_->getOfflineLocationCount() > 0; }, 15s));
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0) << "the position waits for the next user's topic";
  broker.thaw();
}

}  // namespace
}  // namespace pelk::test
