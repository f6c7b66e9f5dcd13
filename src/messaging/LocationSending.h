#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pelk {

class MQTTDataStorageManager;

// How the location messages reach the broker and where unsent positions wait.
// Unset members use the kit's own MQTT connection and the offline buffer it
// replays from (MQTTManager::offlineBuffer()); tests install a broker stand-in
// of their own.  Safe from any thread; no lock is held while a hook runs.
struct LocationSendingHooks {
  std::function<bool()> connected;
  // Calls the handler exactly once: true when the message reached the broker
  // (the kit's connection: once the broker acknowledged it, possibly on a
  // client thread).
  std::function<void(const std::string& message, std::function<void(bool)> handler)> publish;
  std::function<void()> connect;
  std::function<void()> disconnect;
  MQTTDataStorageManager* offlineBuffer = nullptr;
};

void setLocationSendingHooks(LocationSendingHooks hooks);

namespace sending {
bool connected();
// Publishes on the own location topic; the handler (optional) is called once,
// true only when the message reached the broker: a position or status that
// was handed to a connection that then went is reported unsent, not lost.
// With `userId` the message was taken for that user: the kit's connection
// sends it on that user's topic, and not at all once another user (or
// nobody) is signed in.
void publish(const std::string& message, std::function<void(bool)> handler,
             const std::optional<std::string>& userId = std::nullopt);
void connect();
void disconnect();
MQTTDataStorageManager& offlineBuffer();
}  // namespace sending

}  // namespace pelk
