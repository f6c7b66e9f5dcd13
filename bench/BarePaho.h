#pragma once

// The baseline of the kit's MQTT figures: the Paho C async client used
// directly, as a host without the kit would, over the same transport (MQTT
// 3.1.1 over WebSocket), at the same QoS and with nothing else around it.

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>

namespace pelk::bench {

class BarePaho {
 public:
  // `reconnect`: the client library's own automatic reconnection after a
  // lost connection, with its default waits (1 s doubling to 60 s), as a
  // host without the kit would have it.
  BarePaho(const std::string& uri, const std::string& clientId, bool reconnect = false) {
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.MQTTVersion = MQTTVERSION_3_1_1;
    if (MQTTAsync_createWithOptions(&handle_, uri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                    &create) != MQTTASYNC_SUCCESS) {
      throw std::runtime_error("paho: cannot create a client for " + uri);
    }
    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer_ws;
    opts.MQTTVersion = MQTTVERSION_3_1_1;
    opts.cleansession = 1;
    opts.keepAliveInterval = 45;
    opts.connectTimeout = 10;
    opts.onSuccess = [](void* self, MQTTAsync_successData*) { static_cast<BarePaho*>(self)->answer(1); };
    opts.onFailure = [](void* self, MQTTAsync_failureData*) { static_cast<BarePaho*>(self)->answer(0); };
    opts.context = this;
    opts.automaticReconnect = reconnect ? 1 : 0;
    outcome_ = -1;
    if (MQTTAsync_connect(handle_, &opts) != MQTTASYNC_SUCCESS || !await()) {
      MQTTAsync_destroy(&handle_);
      throw std::runtime_error("paho: cannot connect to " + uri);
    }
  }
  ~BarePaho() {
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.timeout = 1000;
    MQTTAsync_disconnect(handle_, &opts);
    MQTTAsync_destroy(&handle_);
  }
  BarePaho(const BarePaho&) = delete;
  BarePaho& operator=(const BarePaho&) = delete;

  bool connected() const { return MQTTAsync_isConnected(handle_) != 0; }

  // Publishes and waits for the broker's acknowledgement (QoS 1: PUBACK).
  bool publishAcknowledged(const std::string& topic, const std::string& payload, int qos = 1) {
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = [](void* self, MQTTAsync_successData*) { static_cast<BarePaho*>(self)->answer(1); };
    opts.onFailure = [](void* self, MQTTAsync_failureData*) { static_cast<BarePaho*>(self)->answer(0); };
    opts.context = this;
    {
      std::lock_guard lock(mutex_);
      outcome_ = -1;
    }
    if (MQTTAsync_send(handle_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, 0, &opts) !=
        MQTTASYNC_SUCCESS) {
      return false;
    }
    return await();
  }

 private:
  void answer(int ok) {
    {
      std::lock_guard lock(mutex_);
      outcome_ = ok;
    }
    cv_.notify_one();
  }
  bool await() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return outcome_ >= 0; });
    return outcome_ == 1;
  }

  MQTTAsync handle_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  int outcome_ = -1;
};

}  // namespace pelk::bench
