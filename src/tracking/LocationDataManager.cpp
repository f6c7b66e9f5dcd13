#include "tracking/LocationDataManager.h"

#include <cstdio>

#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationSending.h"
#include "messaging/LocationUtils.h"
#include "messaging/MQTTManager.h"
#include "network/Reachability.h"
#include "platform/Console.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkTripStorageManager.h"
#include "tracking/LocationCounters.h"
#include "tracking/TrackingLinks.h"

namespace pelk {
namespace {

std::string describe(const platform::Location& fix) {
  char text[256];
  std::snprintf(text, sizeof text, "<%+.8f,%+.8f> +/- %.2fm (speed %.2f mps / course %.2f) @ %s",
                fix.coordinate.latitude, fix.coordinate.longitude, fix.horizontalAccuracy, fix.speed, fix.course,
                iso8601(fix.timestamp).c_str());
  return text;
}

void buffer(const TrackedPosition& position) { sending::offlineBuffer()->saveLocationData(position, 0); }

}  // namespace

LocationDataManager& LocationDataManager::sharedInstance() {
  static auto* instance = new LocationDataManager();
  return *instance;
}

void LocationDataManager::sendDataServer(const TrackedPosition& position) {
  const auto& fix = position.fix;
  const auto& activity = position.activity;
  PelkTripStorageManager::shared().updateAllActiveTrips(fix, activity);
  if (!TokenManager::getLocationPublisher()) {
    tracking::updateLocation(fix, activity);
    PelkLocationCount::sharedInstance().updateLocationCount();
    return;
  }
  if (!tracking::checkAppTrackingState()) {
    // Tracking limited to the other app state pauses until the app is back
    // in that state; the position is not taken.
    tracking::pauseTracking();
    return;
  }
  tracking::updateLocation(fix, activity);
  LoggerManager::sharedInstance().writeLocationToFile("Location Update " + describe(fix));
  if (ReachabilityCheck::isConnectedToNetwork()) {
    sendLocationDataMqtt(position);
    return;
  }
  if (!SharedUtil::getDefaultBoolean(kOfflineTracking)) {
    tracking::stopTracking();
    return;
  }
  buffer(position);
}

void LocationDataManager::sendLocationDataMqtt(const TrackedPosition& position) {
  if (!sending::connected()) {
    buffer(position);
    return;
  }
  // The account's shadow said publishing is off: the position is neither sent
  // nor kept (the shadow handler says so on the console when that starts).
  // Only an answer given on this connection counts: until the shadow has
  // answered after a connect, positions are kept (and replayed once it
  // allows publishing), so that the short window after each connect loses
  // nothing, whatever an earlier connection was told.
  if (MQTTManager::sharedInstance().pubSubAnswerOnThisConnection() == false) return;
  MqttLocationUtils::publishLivePosition(position, [](bool published, std::optional<MqttLocationData> keep) {
    LoggerManager::sharedInstance().writeLocationToFile(std::string("location updated status  ") +
                                                        (published ? "true" : "false"));
    if (published || !keep) return;
    // The failure may be noticed long after the position was taken, and
    // after a logout or another user's sign-in: a position is kept only
    // for the user it was taken for.
    if (keep->user_id.value_or("") != TokenManager::getUserId()) {
      platform::Console::print("pelk: position " + keep->location_id.value_or("") +
                               " not kept: it was taken for a user who is no longer signed in");
      return;
    }
    sending::offlineBuffer()->saveLocationRow(std::move(*keep));
  });
}

}  // namespace pelk
