#pragma once

#include "pelk/PelkError.h"
#include "platform/Link.h"

// What the REST client asks of the subsystems above it (tracking, MQTT, the
// app's delegate), installed by the manager (manager/Links.cpp); an unset link
// does nothing.  Links are called on the HTTP callback queue, with no lock held.
namespace pelk::network::links {

// PelkManager::startTracking(): restart the stored tracking mode when a user
// id is stored and tracking is off.
inline constinit platform::Link<void()> startTracking;
// PelkManager::stopTracking(): clear the tracking switch and stop the tracker.
inline constinit platform::Link<void()> stopTracking;
// MQTTManager::connect(): open the MQTT connection when it is not open.
inline constinit platform::Link<void()> mqttConnect;
// MQTTManager::disconnect(): close the MQTT connection.
inline constinit platform::Link<void()> mqttDisconnect;
// PelkLocationDelegate::didFail(_:): hand an error to the app delegate's onError.
inline constinit platform::Link<void(const PelkError&)> didFail;

}  // namespace pelk::network::links
