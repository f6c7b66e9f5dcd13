#pragma once

#include <functional>

#include <nlohmann/json.hpp>

#include "pelk/PelkEnums.h"

namespace pelk {

// What the MQTT layer asks of the layers above it (the delegate dispatcher,
// the manager and the trackers).  Those layers install the hooks when they
// start; an unset hook does nothing.  Hooks are called with no lock held:
// message hooks on the MQTT client's delivery thread, the tracking restart on
// the main queue, the rest on the thread that handles a shadow document.
struct MessagingHooks {
  // PelkLocationDelegate::didReceiveEvents / didReceiveUserLocation: an
  // incoming JSON object of the own events topic or of a followed user.
  std::function<void(const nlohmann::json& message)> didReceiveEvents;
  std::function<void(const nlohmann::json& message)> didReceiveUserLocation;
  // PelkManager::stopTracking().
  std::function<void()> stopTracking;
  // Starts the tracker of a stored mode (passive, balanced, active, or custom
  // with its stored options); never called with notselected.
  std::function<void(PelkTrackingModeLocal mode)> startTrackingMode;
  // PelkManager::subscribeEvents / unsubscribeEvents / subscribeLocation /
  // unsubscribeLocation.  The two subscribes answer whether the shadow's
  // request for the subscription is done: it is in place afterwards, or the
  // user's listener switch forbids it (nothing to do); false when it could
  // not be made now (offline, say) and is to be asked for again.
  std::function<bool()> subscribeEvents;
  std::function<void()> unsubscribeEvents;
  std::function<bool()> subscribeLocation;
  std::function<void()> unsubscribeLocation;
};

// A copy of the installed hooks.
MessagingHooks messagingHooks();
void setMessagingHooks(MessagingHooks hooks);
// Changes some members and keeps the others, in one step.
void updateMessagingHooks(const std::function<void(MessagingHooks&)>& edit);

}  // namespace pelk
