// The manager's event and listener switches, subscriptions, publishing styles
// and opened notifications.

#include <algorithm>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "manager/PelkManager.h"
#include "messaging/LocationPublishParameter.h"
#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "network/ServerResponse.h"
#include "platform/Console.h"
#include "platform/ThreadSafety.h"
#include "tracking/PermissionCheck.h"

namespace pelk {

namespace {

void print(const std::string& line) { platform::Console::print(line); }
// A failure the call has no handler for: the host hears of it at Error level.
void printError(const std::string& line) { platform::Console::print(line, platform::Console::Level::Error); }
void log(const std::string& line) { LoggerManager::sharedInstance().writeLocationToFile(line); }
bool online() { return ReachabilityCheck::isConnectedToNetwork(); }

// Guards the read-change-write of the followed-user list, so that two
// subscriptions made at once both stay.  Never held while MQTT is called.
// Lock order: before the settings (platform/LockOrder.h).
platform::Mutex& followedUsersMutex() {
  static auto* m = new platform::Mutex();
  return *m;
}

constexpr const char* kFollowedUsers = "saveUserSubscribe";

}  // namespace

// ------------------------------------------------------------------ server-side switches

void PelkManager::toggleEvents(bool geofence, bool trip, bool motion, bool nearBy,
                               PelkAPIClient::UserCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(nullptr, e);
  };
  if (!online()) return report(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  if (TokenManager::getUserId().empty()) return report(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_USER_CREATE));
  if (TokenManager::getSDKToken().empty()) {
    // Once a token is stored the whole operation runs again, guards included.
    withToken(
        [this, geofence, trip, motion, nearBy, handler] { toggleEvents(geofence, trip, motion, nearBy, handler); },
        report);
    return;
  }
  const nlohmann::json body = {{"geofence_events", geofence},
                               {"trips_events", trip},
                               {"location_events", motion},
                               {"nearby_events", nearBy},
                               {"user_id", TokenManager::getUserId()}};
  api().toggleEvents(body, handler);
}

void PelkManager::toggleListener(bool eventsListener, bool locationListener, PelkAPIClient::UserCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(nullptr, e);
  };
  if (!online()) return report(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  if (TokenManager::getUserId().empty()) return report(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_USER_CREATE));
  if (TokenManager::getSDKToken().empty()) {
    withToken([this, eventsListener, locationListener,
               handler] { toggleListener(eventsListener, locationListener, handler); },
              report);
    return;
  }
  const nlohmann::json body = {{"location_listener", locationListener},
                               {"event_listener", eventsListener},
                               {"user_id", TokenManager::getUserId()}};
  api().toggleEvents(body, handler);
}

void PelkManager::getEventsStatus(PelkAPIClient::UserCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(nullptr, e);
  };
  if (!online()) return report(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  if (TokenManager::getUserId().empty()) return report(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_USER_CREATE));
  if (TokenManager::getSDKToken().empty()) {
    withToken([this, handler] { getEventsStatus(handler); }, report);
    return;
  }
  api().getEventsStatus(handler);
}

// ------------------------------------------------------------------ subscriptions

namespace {

// What a subscription kind covers: the own id switches the app's own events
// and positions (events, then positions); another user's id follows only that
// user's positions, since events of other users are not offered.  An empty id
// names nobody, whatever the network; nor does text that is not UTF-8, which
// no user id of the service is and no topic may hold.
void applySubscription(PelkSubscribe kind, const std::string& userId, const std::function<void()>& events,
                       const std::function<void()>& location,
                       const std::function<void(const std::string&)>& userLocation) {
  if (userId.empty() || !isUtf8(userId)) {
    printError(VuvivaZuvovo::ERROR_NOT_FOUND);
    return;
  }
  if (userId != TokenManager::getUserId()) {
    if (kind != PelkSubscribe::events) userLocation(userId);
    return;
  }
  if (kind != PelkSubscribe::location) events();
  if (kind != PelkSubscribe::events) location();
}

}  // namespace

void PelkManager::subscribe(PelkSubscribe kind, const std::string& userId) {
  applySubscription(
      kind, userId, [this] { subscribeEvents(); }, [this] { subscribeLocation(); },
      [this](const std::string& id) { subscribeUserLocation(id); });
}

void PelkManager::unsubscribe(PelkSubscribe kind, const std::string& userId) {
  applySubscription(
      kind, userId, [this] { unsubscribeEvents(); }, [this] { unsubscribeLocation(); },
      [this](const std::string& id) { unsubscribeUserLocation(id); });
}

void PelkManager::subscribeEvents() {
  if (!online()) {
    printError(VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  if (!TokenManager::getEventListener()) {
    printError(VuvivaZuvovo::ERROR_EVENTS);
    log("Event Subscribe : false         " + VuvivaZuvovo::ERROR_EVENTS);
    return;
  }
  // The switch first: a connection that comes up meanwhile subscribes by it.
  SharedUtil::setDefaultBoolean(true, kEventListenerSubscribe);
  auto& mqtt = MQTTManager::sharedInstance();
  if (mqtt.connected()) mqtt.subscribeEventListenerTopic();
  print(VuvivaZuvovo::SUBSCRIBE);
  log("Event Subscribe : true");
}

void PelkManager::unsubscribeEvents() {
  if (!online()) {
    printError(VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  print(VuvivaZuvovo::UN_SUBSCRIBE);
  SharedUtil::setDefaultBoolean(false, kEventListenerSubscribe);
  // Events stop now, not only after the next reconnect.
  auto& mqtt = MQTTManager::sharedInstance();
  if (mqtt.connected()) mqtt.unsubscribeEventListenerTopic();
  log("Event Subscribe : false");
}

void PelkManager::subscribeLocation() {
  if (!TokenManager::getLocationListener()) {
    printError(VuvivaZuvovo::ERROR_EVENTS);
    log("Location Subscribe : false    " + VuvivaZuvovo::ERROR_EVENTS);
    return;
  }
  print(VuvivaZuvovo::SUBSCRIBE);
  noteAppChoice(AppSwitch::locationListener);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  log("Location Subscribe : true");
}

void PelkManager::unsubscribeLocation() {
  print(VuvivaZuvovo::UN_SUBSCRIBE);
  noteAppChoice(AppSwitch::locationListener);
  SharedUtil::setDefaultBoolean(false, kLocationListenerSubscribe);
  log("Location Subscribe : false");
}

void PelkManager::subscribeUserLocation(const std::string& userId) {
  if (!online()) {
    printError(VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  if (!TokenManager::getPubSubState()) {
    printError(VuvivaZuvovo::ERROR_PUB_SUB_STATE);
    return;
  }
  // An id with topic wildcards or levels would follow other topics than this user's.
  if (!MQTTUtilis::isValidTopicId(userId)) {
    printError("User id not usable in a topic; not subscribed");
    return;
  }
  std::vector<std::string> users;
  {
    platform::LockGuard lock(followedUsersMutex());
    users = MQTTUtilis::getUserSubscribe();
    if (std::find(users.begin(), users.end(), userId) == users.end()) users.push_back(userId);
    SharedUtil::setDefaultArray(users, kFollowedUsers);
    // Stored before connecting: the connection's own start-up subscribes the
    // stored list, so a subscription made before it is up is not lost.
    SharedUtil::setDefaultBoolean(true, kLocationUserSubscribe);
  }
  auto& mqtt = MQTTManager::sharedInstance();
  if (!mqtt.connected()) mqtt.connect();
  mqtt.subscribeUserLocation(users);
  log("User Location Subscribe : true    " + userId);
}

void PelkManager::unsubscribeUserLocation(const std::string& userId) {
  if (!online()) {
    printError(VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  bool dropped = false;
  bool noneLeft = false;
  {
    platform::LockGuard lock(followedUsersMutex());
    auto users = MQTTUtilis::getUserSubscribe();
    if (auto it = std::find(users.begin(), users.end(), userId); it != users.end()) {
      users.erase(it);
      dropped = std::find(users.begin(), users.end(), userId) == users.end();
    }
    SharedUtil::setDefaultArray(users, kFollowedUsers);
    noneLeft = users.empty();
    if (noneLeft) SharedUtil::setDefaultBoolean(false, kLocationUserSubscribe);
  }
  // The user's positions stop now, not only after the next reconnect.
  if (dropped && MQTTUtilis::isValidTopicId(userId)) {
    auto& mqtt = MQTTManager::sharedInstance();
    if (mqtt.connected()) mqtt.unsubscribeUserLocation({userId});
  }
  if (noneLeft) log("User Location Subscribe : false");
}

// ------------------------------------------------------------------ publishing

void PelkManager::publishSave(const PelkPublish* publish) {
  noteAppChoice(AppSwitch::locationPublisher);
  LocationPublishParameter::startPublishing(true, publish);
}

void PelkManager::publishOnly(const PelkPublish* publish) {
  noteAppChoice(AppSwitch::locationPublisher);
  LocationPublishParameter::startPublishing(false, publish);
}

void PelkManager::stopPublishing() {
  noteAppChoice(AppSwitch::locationPublisher);
  // The switch goes off before the disconnect: the disconnect reconnects at
  // once while it is on, which would leave the app publishing.
  LocationPublishParameter::stopPublishing();
}

// ------------------------------------------------------------------ notifications and permission

void PelkManager::notificationOpenedHandler(const PelkOpenedNotification& notification) {
  if (!online()) {
    printError(VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  if (TokenManager::getUserId().empty()) {
    printError(VuvivaZuvovo::ERROR_USER_CREATE);
    return;
  }
  if (TokenManager::getSDKToken().empty()) {
    printError(VuvivaZuvovo::ERROR_NOT_FOUND);
    return;
  }
  const PelkNotificationResponse payload(notification.userInfo);
  // A campaign id that is not UTF-8 is none of the kit's, as an empty one.
  if (payload.type == std::optional<std::string>("quelbrin") && payload.cid && !payload.cid->empty() &&
      isUtf8(*payload.cid)) {
    api().notificationOpenedHandler(*payload.cid);
  }
}

std::int64_t PelkManager::locationPermissionStatus() {
  // The answer in force; what is kept for the next run follows it.
  return static_cast<std::int64_t>(HostLocationAuthorization::restore());
}

}  // namespace pelk
