#include "messaging/LocationSending.h"

#include "messaging/MQTTManager.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk {
namespace sending {

bool links::kitConnected() { return MQTTManager::sharedInstance().connected(); }
void links::kitConnect() { MQTTManager::sharedInstance().connect(); }
void links::kitDisconnect() { MQTTManager::sharedInstance().disconnect(); }
std::shared_ptr<MQTTDataStorageManager> links::kitOfflineBuffer() {
  return MQTTManager::sharedInstance().sharedOfflineBuffer();
}

bool connected() { return links::connected(); }

void publish(const std::string& message, std::function<void(bool)> handler, const std::optional<std::string>& userId) {
  auto once = [handler = std::move(handler)](bool ok) {
    if (handler) handler(ok);
  };
  if (auto stand = links::publish.get()) {
    stand(message, std::move(once));
  } else {
    MQTTManager::sharedInstance().publishDelivered(message, std::move(once), userId);
  }
}

void connect() { links::connect(); }

void disconnect() { links::disconnect(); }

std::shared_ptr<MQTTDataStorageManager> offlineBuffer() {
  // The buffer the connection replays from: a row sent on its own must leave
  // the same store, or the replay sends it again.
  return links::offlineBuffer();
}

}  // namespace sending
}  // namespace pelk
