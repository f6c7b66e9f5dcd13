// STAND-IN: replaced by the real connection
#include "messaging/MQTTManager.h"

namespace pelk {

MQTTManager& MQTTManager::sharedInstance() {
  static auto* instance = new MQTTManager();
  return *instance;
}

void MQTTManager::initialiseMQTT() {}
void MQTTManager::connect() {}
void MQTTManager::disconnect() {}
void MQTTManager::unsubscribeTopic(const std::string&) {}
void MQTTManager::subscribeEventListenerTopic() {}
void MQTTManager::subscribeUserLocation(const std::vector<std::string>&) {}
void MQTTManager::publish(const std::string&, std::function<void(bool)> completionHandler) {
  if (completionHandler) completionHandler(false);
}
void MQTTManager::sendOfflineDataIfAny() {}
void MQTTManager::subscribeAccountShadow(const std::string&) {}
void MQTTManager::subscribeUserShadow(const std::string&) {}
void MQTTManager::updateTracking() {}
void MQTTManager::updatePubSub() {}
bool MQTTManager::connected() const { return false; }
std::optional<int> MQTTManager::connectState() const { return std::nullopt; }

}  // namespace pelk
