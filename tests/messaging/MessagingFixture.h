#pragma once

// A kit with a user, a buffer of its own and recording links, connected to a
// mosquitto broker on loopback through the app's endpoint; plus an observer
// client that plays the service's side.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/MQTTManager.h"
#include "messaging/MqttTestSetup.h"
#include "messaging/MQTTUtilis.h"
#include "messaging/MessagingLinks.h"
#include "platform/Dispatch.h"
#include "platform/MqttClient.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "support/KitFixture.h"
#include "support/MosquittoBroker.h"
#include "support/WaitFor.h"

namespace pelk::test {

using namespace std::chrono_literals;

// What the links were asked, in order.
struct HookLog {
  mutable std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<nlohmann::json> events, userLocations;
  // What the subscribe links answer: whether the subscription was made.
  std::atomic<bool> subscriptionsMade{true};

  void add(const std::string& call) {
    std::lock_guard lock(mutex);
    calls.push_back(call);
  }
  std::size_t count(const std::string& call) const {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
  }
  std::size_t eventCount() const {
    std::lock_guard lock(mutex);
    return events.size();
  }
  std::size_t userLocationCount() const {
    std::lock_guard lock(mutex);
    return userLocations.size();
  }
};

// A plain client of the broker: subscribes exact topics and records payloads.
// Pages of buffered positions are received over the plain TCP listener: the
// WebSocket reader of the client library (Paho 1.3.12) truncates large
// messages that the broker's WebSocket side writes in pieces.
class Observer {
 public:
  explicit Observer(const MosquittoBroker& broker, bool persistent = false)
      : Observer("tcp://127.0.0.1:" + std::to_string(broker.tcpPort()), persistent) {}
  explicit Observer(const std::string& url, bool persistent = false) {
    platform::MqttClientOptions o;
    o.serverUri = url;
    o.clientId = "observer";
    o.cleanSession = !persistent;
    o.firstRetryDelay = 50ms;
    o.maxRetryDelay = 200ms;
    client_ = platform::MqttClient::create(o);
    client_->connect();
  }
  bool waitConnected() {
    return waitFor([&] { return client_->isConnected(); });
  }
  void record(const std::string& topic, int qos = 0) {
    client_->subscribe(topic, qos, [this](const std::string& t, const std::string& p) {
      std::lock_guard lock(mutex_);
      received_.emplace_back(t, p);
    });
  }
  void answer(const std::string& topic, std::function<void(const std::string& payload)> reply) {
    client_->subscribe(topic, 1, [reply](const std::string&, const std::string& p) { reply(p); });
  }
  std::vector<std::string> payloads(const std::string& topic) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [t, p] : received_) {
      if (t == topic) out.push_back(p);
    }
    return out;
  }
  platform::MqttClient& client() { return *client_; }

 private:
  std::shared_ptr<platform::MqttClient> client_;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> received_;
};

class MessagingTest : public SettingsTest {
 protected:
  MessagingTest() {
    platform::Dispatch::useManualMainQueue();
    buffer_ = resetMqttForTest();
    messaging::links::didReceiveEvents.set([log = hooks_](const nlohmann::json& m) {
      std::lock_guard lock(log->mutex);
      log->events.push_back(m);
    });
    messaging::links::didReceiveUserLocation.set([log = hooks_](const nlohmann::json& m) {
      std::lock_guard lock(log->mutex);
      log->userLocations.push_back(m);
    });
    messaging::links::stopTracking.set([log = hooks_] {
      log->add("stopTracking");
      SharedUtil::setDefaultBoolean(false, kIsLocationTracking);
    });
    messaging::links::startTrackingMode.set([log = hooks_](PelkTrackingModeLocal mode) {
      log->add("startTrackingMode " + std::to_string(static_cast<int>(mode)));
      SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
    });
    messaging::links::subscribeEvents.set([log = hooks_] {
      log->add("subscribeEvents");
      return log->subscriptionsMade.load();
    });
    messaging::links::unsubscribeEvents.set([log = hooks_] { log->add("unsubscribeEvents"); });
    messaging::links::subscribeLocation.set([log = hooks_] {
      log->add("subscribeLocation");
      return log->subscriptionsMade.load();
    });
    messaging::links::unsubscribeLocation.set([log = hooks_] { log->add("unsubscribeLocation"); });
    TokenManager::setUserId("u1");
    TokenManager::setAccountId("a1");
    TokenManager::setProjectId("p1");
    TokenManager::setPublishKey("pk_test");
  }

  ~MessagingTest() override {
    auto& m = MQTTManager::sharedInstance();
    waitFor([&] { return !m.replayRunning(); });
    m.resetForTesting();
    platform::resetAllLinks();
    platform::Dispatch::drainMain();
    platform::Dispatch::useThreadedMainQueue();
    MQTTUtilis::resetForTesting();
  }

  MQTTManager& manager() { return MQTTManager::sharedInstance(); }

  // Connects the kit to the broker through the app's endpoint.
  bool connectTo(const MosquittoBroker& broker) {
    if (!MQTTUtilis::saveMqttEndpoint(broker.wsUrl())) return false;
    manager().connect();
    return waitFor([&] { return manager().connected(); });
  }

  // Publishes from the observer until `arrived` holds (a subscription made by
  // the kit is in place only once the broker has processed it).
  static bool publishUntil(Observer& observer, const std::string& topic, const std::string& payload,
                           const std::function<bool()>& arrived) {
    return waitFor([&] {
      observer.client().publish(topic, payload, 1);
      return waitFor(arrived, 100ms);
    });
  }

  std::shared_ptr<MQTTDataStorageManager> buffer_;
  std::shared_ptr<HookLog> hooks_ = std::make_shared<HookLog>();  // shared with the client threads' hooks
};

}  // namespace pelk::test
