// STAND-IN: replaced by the real connection
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelk {

// The kit's one MQTT connection.  This stand-in carries only the agreed
// surface: it never connects, so nothing is ever published.
class MQTTManager {
 public:
  static MQTTManager& sharedInstance();

  void initialiseMQTT();
  void connect();
  void disconnect();
  void unsubscribeTopic(const std::string& topic);
  void subscribeEventListenerTopic();
  void subscribeUserLocation(const std::vector<std::string>& userIds);
  // Always calls the handler exactly once, on the caller's thread: the client's
  // acceptance when the message was handed to the client; false when nothing
  // was handed (not connected, pub/sub off, ...).
  void publish(const std::string& message, std::function<void(bool)> completionHandler);
  void sendOfflineDataIfAny();
  void subscribeAccountShadow(const std::string& operation);
  void subscribeUserShadow(const std::string& operation);
  void updateTracking();
  void updatePubSub();
  bool connected() const;
  std::optional<int> connectState() const;
};

}  // namespace pelk
