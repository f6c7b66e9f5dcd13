#include "messaging/LocationSending.h"

#include <mutex>

#include "messaging/MQTTManager.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
std::mutex gMutex;
LocationSendingHooks gHooks;

LocationSendingHooks hooks() {
  std::lock_guard lock(gMutex);
  return gHooks;
}

}  // namespace

void setLocationSendingHooks(LocationSendingHooks h) {
  std::lock_guard lock(gMutex);
  gHooks = std::move(h);
}

namespace sending {

bool connected() {
  auto h = hooks();
  return h.connected ? h.connected() : MQTTManager::sharedInstance().connected();
}

void publish(const std::string& message, std::function<void(bool)> handler, const std::optional<std::string>& userId) {
  auto h = hooks();
  auto once = [handler = std::move(handler)](bool ok) {
    if (handler) handler(ok);
  };
  if (h.publish) {
    h.publish(message, std::move(once));
  } else {
    MQTTManager::sharedInstance().publishDelivered(message, std::move(once), userId);
  }
}

void connect() {
  auto h = hooks();
  if (h.connect) {
    h.connect();
  } else {
    MQTTManager::sharedInstance().connect();
  }
}

void disconnect() {
  auto h = hooks();
  if (h.disconnect) {
    h.disconnect();
  } else {
    MQTTManager::sharedInstance().disconnect();
  }
}

MQTTDataStorageManager& offlineBuffer() {
  auto h = hooks();
  // The buffer the connection replays from: a row sent on its own must leave
  // the same store, or the replay sends it again.
  return h.offlineBuffer ? *h.offlineBuffer : MQTTManager::sharedInstance().offlineBuffer();
}

}  // namespace sending
}  // namespace pelk
