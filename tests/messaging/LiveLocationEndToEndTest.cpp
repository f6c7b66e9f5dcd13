// The live location message on a real broker: the kit's own MQTT connection
// (no broker stand-in), the app's publish selection, and the road of a
// position or GPS status that could not go out.

#include <algorithm>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <regex>
#include <set>

#include "MessagingFixture.h"
#include "messaging/LocationPublishParameter.h"
#include "messaging/LocationSending.h"
#include "messaging/LocationUtils.h"
#include "messaging/MqttOfflineLocationUtils.h"
#include "network/Endpoints.h"
#include "storage/StorageFixture.h"
#include "support/FixBuilder.h"

namespace pelk::test {
namespace {

using nlohmann::json;

constexpr const char* kId = "65e1c2a0f1e2d3c4b5a69788";
constexpr const char* kRecordedAt = "2024-03-01T12:00:00.000Z";

platform::Location berlin() { return test::FixBuilder(52.52, 13.405).altitude(34.5, 3.0).accuracy(5.0).course(90.25); }

class LiveLocationEndToEndTest : public MessagingTest {
 protected:
  LiveLocationEndToEndTest() {
    // The sending links stay unset: the kit's own connection.
    TokenManager::setPubSubState(true);
    TokenManager::setAppId("app-7");
  }
  ~LiveLocationEndToEndTest() override { SharedUtil::setDefaultBoolean(false, KLocationPublisher); }

  // Sends the known position the way the tracking engine does; answers the
  // reported outcome, which may come on a thread of the connection.
  std::optional<bool> send(const std::optional<std::string>& id = std::string(kId)) {
    auto done = std::make_shared<std::atomic<int>>(-1);
    MqttLocationUtils::mqttLocationData(
        {berlin(), "M", false, 27, id, std::string(kRecordedAt)}, [done](bool ok) { done->store(ok ? 1 : 0); },
        device_);
    if (!waitFor([&] { return done->load() >= 0; })) return std::nullopt;
    return done->load() == 1;
  }

  // Connects as the app does: the endpoint given at start-up, then publishSave
  // or publishOnly.
  bool startPublishing(const MosquittoBroker& broker, bool saveMode, const PelkPublish& publish) {
    if (!MQTTUtilis::saveMqttEndpoint(broker.wsUrl())) return false;
    LocationPublishParameter::startPublishing(saveMode, &publish);
    return waitFor([&] { return manager().connected(); });
  }

  FixedDevice device_;
};

PelkPublish chosenFields() {
  PelkPublish publish;
  publish.user_id = true;
  publish.course = true;
  publish.speed = true;
  publish.tz_offset = true;
  publish.device_model = true;
  publish.meta_data = json{{"fleet", "north"}, {"shift", 2}};
  return publish;
}

// True once the broker holds the observer's subscription (packets logged).
bool waitSubscribed(const MosquittoBroker& broker, const std::string& topic) {
  return waitFor([&] { return broker.log().find("observer 1 " + topic) != std::string::npos; });
}

// The QoS the broker received each of the kit's publishes on `topic` with.
std::vector<std::string> receivedQos(const std::string& log, const std::string& topic) {
  const std::regex line("Received PUBLISH from u1_\\S+ \\(d\\d, (q\\d), r\\d, m\\d+, '([^']*)'");
  std::vector<std::string> qos;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    if ((*it)[2] == topic) qos.push_back((*it)[1]);
  }
  return qos;
}

TEST_F(LiveLocationEndToEndTest, ChosenFieldsArriveOnTheOwnTopicWithQosOne) {
  struct Case {
    const char* name;
    bool testEnvironment;
    bool saveMode;
    const char* topic;
    json expected;  // publish-only: the whole message; save: its keys
  };
  const Case cases[] = {
      {"publish-only, production", false, false, "locations/a1/p1/u1",
       json::parse(R"({"latitude": 52.52, "longitude": 13.405, "sdk_version": "p_0.0.5",
                       "location_id": "65e1c2a0f1e2d3c4b5a69788", "publish_only": true,
                       "user_id": "u1", "course": 90.25, "speed": 27, "tz_offset": "+0530",
                       "device_model": "Test Board 3", "meta-data": {"fleet": "north", "shift": 2}})")},
      // Save mode sends the standard keys whatever was chosen, and of the
      // extras only the chosen one.
      {"save, test environment", true, true, "test_locations/a1/p1/u1",
       json{"latitude",
            "longitude",
            "sdk_version",
            "location_id",
            "publish_only",
            "activity",
            "altitude",
            "app_context",
            "app_id",
            "battery_remaining",
            "battery_status",
            "course",
            "gps_status",
            "horizontal_accuracy",
            "recorded_at",
            "location_permission",
            "network_status",
            "speed",
            "tz_offset",
            "user_id",
            "vertical_accuracy",
            "location_events",
            "geofence_events",
            "trips_events",
            "nearby_events",
            "location_listener",
            "event_listener",
            "tracking_mode",
            "device_model",
            "meta-data"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MQTTUtilis::resetForTesting();
    if (c.testEnvironment) SharedUtil::setDefaultString(rawValue(BaseUrls::development), KUserBaseUrl);
    EXPECT_EQ(MQTTUtilis::toTopicSubscribe(), c.topic);
    MosquittoBroker broker({.users = {}, .logPackets = true});
    Observer observer(broker);
    ASSERT_TRUE(observer.waitConnected());
    observer.record(c.topic, 1);
    ASSERT_TRUE(waitSubscribed(broker, c.topic)) << broker.log();
    ASSERT_TRUE(startPublishing(broker, c.saveMode, chosenFields())) << broker.log();

    EXPECT_EQ(send(), std::optional<bool>(true));
    ASSERT_TRUE(waitFor([&] { return !observer.payloads(c.topic).empty(); })) << broker.log();
    const auto payloads = observer.payloads(c.topic);
    ASSERT_EQ(payloads.size(), 1u);
    const json message = json::parse(payloads[0]);
    if (c.saveMode) {
      std::set<std::string> keys;
      for (const auto& [k, v] : message.items()) keys.insert(k);
      EXPECT_EQ(keys, c.expected.get<std::set<std::string>>());
      EXPECT_EQ(message["publish_only"], false);
      EXPECT_EQ(message["device_model"], "Test Board 3");
      EXPECT_EQ(message["recorded_at"], kRecordedAt);
    } else {
      EXPECT_EQ(message, c.expected);
    }
    EXPECT_EQ(receivedQos(broker.log(), c.topic), std::vector<std::string>{"q1"});

    LocationPublishParameter::stopPublishing();
    ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
    SharedUtil::removeKey(KUserBaseUrl);
  }
}

// True once the process is stopped by a signal (it reads and acknowledges
// nothing more).
bool waitStopped(pid_t pid) {
  return waitFor([&] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    stat >> pidText >> name >> state;
    return state == "T";
  });
}

TEST_F(LiveLocationEndToEndTest, APositionThatCannotGoOutIsReportedUnsentAndTheReplayDeliversIt) {
  constexpr const char* kTopic = "locations/a1/p1/u1";
  enum class Outage { stoppedBeforeTheSend, goneBeforeTheAcknowledgement };
  struct Case {
    const char* name;
    Outage outage;
  };
  const Case cases[] = {
      {"broker stopped before the send", Outage::stoppedBeforeTheSend},
      // The connection still looks up when the message is handed over.
      {"broker frozen during the send, then gone", Outage::goneBeforeTheAcknowledgement},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A persistent observer session: the page may come before it is back.
    MosquittoBroker broker({.users = {}, .persistence = true, .logPackets = true});
    Observer observer(broker, /*persistent=*/true);
    ASSERT_TRUE(observer.waitConnected());
    std::mutex mutex;
    std::vector<json> received;
    observer.answer(kTopic, [&](const std::string& payload) {
      std::lock_guard lock(mutex);
      received.push_back(json::parse(payload, nullptr, false));
    });
    ASSERT_TRUE(waitSubscribed(broker, kTopic)) << broker.log();
    PelkPublish publish;
    publish.speed = true;
    ASSERT_TRUE(startPublishing(broker, false, publish));

    std::optional<bool> done;
    if (c.outage == Outage::stoppedBeforeTheSend) {
      broker.stop();
      ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
      done = send(std::string("offline-1"));
    } else {
      ::kill(broker.pid(), SIGSTOP);
      ASSERT_TRUE(waitStopped(broker.pid()));
      auto outcome = std::make_shared<std::atomic<int>>(-1);
      MqttLocationUtils::mqttLocationData(
          {berlin(), "M", false, 27, std::string("offline-1"), std::string(kRecordedAt)},
          [outcome](bool ok) { outcome->store(ok ? 1 : 0); }, device_);
      ::kill(broker.pid(), SIGKILL);
      broker.stop();
      ASSERT_TRUE(waitFor([&] { return outcome->load() >= 0; }));
      done = outcome->load() == 1;
    }
    EXPECT_EQ(done, std::optional<bool>(false));
    // The caller buffers what was reported unsent, as the tracking engine does.
    if (done == false) {
      ASSERT_TRUE(manager().offlineBuffer().saveLocationData({berlin(), "M", false, 27, std::string("offline-1")}));
    }
    ASSERT_EQ(buffer_->getOfflineLocationCount(), 1)
        << "connected " << manager().connected() << " state " << manager().connectState().value_or(-1) << " replay "
        << manager().replayRunning() << " received " << received.size() << " ids "
        << (buffer_->fetchDeviceData(0).size());

    // The client reconnects by itself; the connection replays the buffer.
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(observer.waitConnected());
    ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }, std::chrono::seconds(20)))
        << broker.log();
    ASSERT_TRUE(waitFor([&] {
      std::lock_guard lock(mutex);
      return std::any_of(received.begin(), received.end(), [](const json& m) { return m.is_array(); });
    }));
    {
      std::lock_guard lock(mutex);
      // At least once: the replay sends the buffered copy as a page, and the
      // MQTT client may still hand the live message it had in flight to the
      // broker once it is back (its acknowledgement was lost with the link);
      // both carry the one location id, nothing else arrives.
      ASSERT_LE(received.size(), 2u);
      std::size_t pages = 0;
      for (const auto& message : received) {
        const bool page = message.is_array();
        pages += page ? 1 : 0;
        if (page) {
          ASSERT_EQ(message.size(), 1u) << message.dump();
        }
        const json& position = page ? message[0] : message;
        ASSERT_TRUE(position.is_object()) << message.dump();
        EXPECT_EQ(position.value("location_id", ""), "offline-1");
        EXPECT_EQ(position.value("latitude", 0.0), 52.52);
        EXPECT_EQ(position.value("speed", 0), 27);
      }
      EXPECT_EQ(pages, 1u);
    }
    LocationPublishParameter::stopPublishing();
    ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
  }
}

// A buffered row sent on its own (not as a page) leaves the buffer the kit's
// connection replays from.
TEST_F(LiveLocationEndToEndTest, ASingleBufferedRowSentIsRemovedFromTheConnectionsBuffer) {
  constexpr const char* kTopic = "locations/a1/p1/u1";
  MosquittoBroker broker({.users = {}, .logPackets = true});
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  observer.record(kTopic, 1);
  ASSERT_TRUE(waitSubscribed(broker, kTopic)) << broker.log();
  ASSERT_TRUE(startPublishing(broker, false, PelkPublish{}));
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning(); }));

  ASSERT_TRUE(buffer_->saveLocationData({berlin(), "M", false, 27, std::string("row-1")}));
  const auto rows = buffer_->fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 1u);
  MqttOfflineLocationUtils::sharedInstance().locationDataToDictionary(rows[0]);
  ASSERT_TRUE(waitFor([&] { return !observer.payloads(kTopic).empty(); }));
  EXPECT_EQ(json::parse(observer.payloads(kTopic)[0]).value("location_id", ""), "row-1");
  EXPECT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }));
}

TEST_F(LiveLocationEndToEndTest, AGpsStatusKeptWhileDisconnectedGoesOutAfterReconnectAndIsRemoved) {
  constexpr const char* kTopic = "locations/a1/p1/u1";
  const json status = {
      {"gps_status", false}, {"location_permission", false}, {"user_id", "u1"}, {"recorded_at", kRecordedAt}};
  MosquittoBroker broker({.users = {}, .logPackets = true});
  ASSERT_TRUE(startPublishing(broker, false, PelkPublish{}));
  broker.stop();
  ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));

  std::optional<bool> fresh;
  LocationUtils::sendGpsStatus(status, false, [&](bool ok) { fresh = ok; });
  EXPECT_EQ(fresh, std::optional<bool>(false));
  EXPECT_EQ(SharedUtil::getDefaultDictionary(kGPSStatus), status);

  ASSERT_TRUE(broker.start());
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  observer.record(kTopic, 1);
  ASSERT_TRUE(waitSubscribed(broker, kTopic)) << broker.log();
  ASSERT_TRUE(waitFor([&] { return manager().connected(); }));
  // What the upload of stored data does once connected.
  auto kept = std::make_shared<std::atomic<int>>(-1);
  LocationUtils::sendGpsStatus(SharedUtil::getDefaultDictionary(kGPSStatus), true,
                               [kept](bool ok) { kept->store(ok ? 1 : 0); });
  ASSERT_TRUE(waitFor([&] { return kept->load() >= 0; }));
  EXPECT_EQ(kept->load(), 1);
  EXPECT_EQ(SharedUtil::getDefaultDictionary(kGPSStatus), json::object());
  ASSERT_TRUE(waitFor([&] { return !observer.payloads(kTopic).empty(); })) << broker.log();
  const auto payloads = observer.payloads(kTopic);
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(json::parse(payloads[0]), status);
}

// Device readings that sign another user in when read, once armed: the
// moment a position's message or row is being made.
class SigningInDevice : public FixedDevice {
 public:
  std::string deviceModel() override {
    signIn();
    return FixedDevice::deviceModel();
  }
  std::string appState() override {
    signIn();
    return FixedDevice::appState();
  }
  std::atomic<bool> armed{false};

 private:
  void signIn() {
    if (armed.exchange(false)) TokenManager::setUserId("u2");
  }
};

// A position is the user's it was taken for: another user signing in while
// its message is made, or after that before it is handed over, sends it
// nowhere - least of all on the new user's topic - and it is reported unsent.
TEST_F(LiveLocationEndToEndTest, APositionIsNeverSentForAnotherUserThanTheOneItWasTakenFor) {
  constexpr const char* kOwn = "locations/a1/p1/u1";
  constexpr const char* kOther = "locations/a1/p1/u2";
  MosquittoBroker broker({.users = {}, .logPackets = true});
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  for (const char* topic : {kOwn, kOther}) {
    observer.record(topic, 1);
    ASSERT_TRUE(waitSubscribed(broker, topic)) << broker.log();
  }
  ASSERT_TRUE(startPublishing(broker, false, chosenFields())) << broker.log();

  SigningInDevice device;     // the message's readings
  SigningInDevice rowDevice;  // the readings of the row that would keep it
  MQTTDataStorageManager rowBuffer(buffer_->context(), &rowDevice);
  // The kit's connection, this buffer's rows.
  sending::links::offlineBuffer.set(
      [&rowBuffer] { return std::shared_ptr<MQTTDataStorageManager>(std::shared_ptr<void>(), &rowBuffer); });
  struct Case {
    const char* name;
    std::atomic<bool>& armed;
  };
  const Case cases[] = {
      {"while its message is made", device.armed},
      {"after the message, before it is handed over", rowDevice.armed},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TokenManager::setUserId("u1");
    c.armed = true;
    auto outcome = std::make_shared<std::atomic<int>>(-1);
    MqttLocationUtils::publishLivePosition(
        {berlin(), "M", false, 27, "taken-" + std::to_string(++n), std::string(kRecordedAt)},
        [outcome](bool published, std::optional<MqttLocationData> keep) {
          EXPECT_TRUE(!keep || keep->user_id == std::optional<std::string>("u1"));
          outcome->store(published ? 1 : 0);
        },
        device);
    ASSERT_TRUE(waitFor([&] { return outcome->load() >= 0; }));
    EXPECT_FALSE(c.armed.load()) << "the user was not changed";
    EXPECT_EQ(outcome->load(), 0);
  }
  // Signed in again, the next position goes on the own topic; what the
  // broker had received before it has arrived by then.
  TokenManager::setUserId("u1");
  EXPECT_EQ(send(std::string("after")), std::optional<bool>(true));
  ASSERT_TRUE(waitFor([&] { return !observer.payloads(kOwn).empty(); })) << broker.log();
  EXPECT_EQ(observer.payloads(kOther), std::vector<std::string>{});
  const auto own = observer.payloads(kOwn);
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(json::parse(own[0]).value("location_id", ""), "after");
}

}  // namespace
}  // namespace pelk::test
