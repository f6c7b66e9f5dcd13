#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Link.h"

namespace pelk {

class MQTTDataStorageManager;

namespace sending {

// How the location messages reach the broker and where unsent positions wait.
// Unset links use the kit's own MQTT connection and the offline buffer it
// replays from (MQTTManager::offlineBuffer()); tests install a broker stand-in
// of their own.  The buffer is handed out shared: a delivery answered on a
// client thread may still save a row in it after its installer let it go.
namespace links {
bool kitConnected();
void kitConnect();
void kitDisconnect();
std::shared_ptr<MQTTDataStorageManager> kitOfflineBuffer();

inline constinit platform::Link<bool()> connected{&kitConnected};
// Calls the handler exactly once: true when the message reached the broker
// (the kit's connection: once the broker acknowledged it, possibly on a
// client thread).  Unset: the kit's connection, on the topic of the user the
// message was taken for (see sending::publish).
inline constinit platform::Link<void(const std::string& message, std::function<void(bool)> handler)> publish;
inline constinit platform::Link<void()> connect{&kitConnect};
inline constinit platform::Link<void()> disconnect{&kitDisconnect};
inline constinit platform::Link<std::shared_ptr<MQTTDataStorageManager>()> offlineBuffer{&kitOfflineBuffer};
}  // namespace links

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
std::shared_ptr<MQTTDataStorageManager> offlineBuffer();
}  // namespace sending

}  // namespace pelk
