#pragma once

#include <nlohmann/json.hpp>

#include "pelk/PelkEnums.h"
#include "platform/Link.h"

// What the MQTT layer asks of the layers above it (the delegate dispatcher,
// the manager and the trackers), installed by the manager (manager/Links.cpp);
// an unset link does nothing.  Links are called with no lock held: message
// links on the MQTT client's delivery thread, the tracking restart on the
// main queue, the rest on the thread that handles a shadow document.
namespace pelk::messaging::links {

// PelkLocationDelegate::didReceiveEvents / didReceiveUserLocation: an
// incoming JSON object of the own events topic or of a followed user.
inline constinit platform::Link<void(const nlohmann::json& message)> didReceiveEvents;
inline constinit platform::Link<void(const nlohmann::json& message)> didReceiveUserLocation;
// PelkManager::stopTracking().
inline constinit platform::Link<void()> stopTracking;
// Starts the tracker of a stored mode (passive, balanced, active, or custom
// with its stored options); never called with notselected.
inline constinit platform::Link<void(PelkTrackingModeLocal mode)> startTrackingMode;
// PelkManager::subscribeEvents / unsubscribeEvents / subscribeLocation /
// unsubscribeLocation.  The two subscribes answer whether the shadow's
// request for the subscription is done: it is in place afterwards, or the
// user's listener switch forbids it (nothing to do); false when it could
// not be made now (offline, say, or unset) and is to be asked for again.
inline constinit platform::Link<bool()> subscribeEvents;
inline constinit platform::Link<void()> unsubscribeEvents;
inline constinit platform::Link<bool()> subscribeLocation;
inline constinit platform::Link<void()> unsubscribeLocation;

}  // namespace pelk::messaging::links
