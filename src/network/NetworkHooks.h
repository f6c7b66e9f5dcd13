#pragma once

#include <functional>

#include "pelk/PelkError.h"

namespace pelk {

// What the REST client asks of the subsystems above it (tracking, MQTT, the
// app's delegate).  The layers that own those subsystems install the hooks at
// start-up; an unset hook does nothing.  Hooks are called on the HTTP callback
// queue, with no lock held.
struct NetworkHooks {
  // PelkManager::startTracking(): restart the stored tracking mode when a user
  // id is stored and tracking is off.
  std::function<void()> startTracking;
  // PelkManager::stopTracking(): clear the tracking switch and stop the tracker.
  std::function<void()> stopTracking;
  // MQTTManager::connect(): open the MQTT connection when it is not open.
  std::function<void()> mqttConnect;
  // MQTTManager::disconnect(): close the MQTT connection.
  std::function<void()> mqttDisconnect;
  // PelkLocationDelegate::didFail(_:): hand an error to the app delegate's onError.
  std::function<void(const PelkError&)> didFail;
};

// A copy of the installed hooks.
NetworkHooks networkHooks();
void setNetworkHooks(NetworkHooks hooks);
// Changes some members and keeps the others, in one step (each layer installs
// its own members).
void updateNetworkHooks(const std::function<void(NetworkHooks&)>& edit);

}  // namespace pelk
