#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationMessageKeys.h"
#include "messaging/LocationSending.h"
#include "messaging/LocationUtils.h"
#include "platform/Clock.h"
#include "platform/Console.h"

namespace pelk {

nlohmann::json LocationUtils::httpLocationRecord(const TrackedPosition& position, DeviceInfo& device) {
  const auto& location = position.fix;
  nlohmann::json record = nlohmann::json::object();
  message::put(record, "longitude", location.coordinate.longitude);
  message::put(record, "latitude", location.coordinate.latitude);
  message::put(record, "accuracy", location.horizontalAccuracy);
  message::put(record, "altitude", location.altitude);
  record["speed"] = position.speed;
  message::put(record, "activity", position.activity);
  record["battery_remaining"] = device.batteryStatus();
  record["gps_stat"] = device.locationState();
  record["location_permission"] = device.isLocationServicesEnabled();
  record["motion_stat"] = device.getVuvivaZuvovo();
  record["net_stat"] = device.networkStatus();
  message::put(record, "timezone_offset", device.timeOffSet());
  message::put(record, "user_id", TokenManager::getUserId());
  record["bat_saver_mode"] = device.isLowPowerEnabled();
  record["recorded_at"] = iso8601(platform::Clock::now());
  return record;
}

void LocationUtils::onlineLocationData(const TrackedPosition& position, std::function<void(bool)> completionHandler,
                                       DeviceInfo& device, PelkAPIClient& api) {
  if (!position.fix.hasFiniteCoordinate()) {
    // A report without a fix holds no place; nothing is posted.
    platform::Console::print("pelk: position without coordinates not uploaded");
    if (completionHandler) completionHandler(false);
    return;
  }
  nlohmann::json records = nlohmann::json::array({httpLocationRecord(position, device)});
  sendOfflineLocationData(records, std::move(completionHandler), api);
}

void LocationUtils::sendOfflineLocationData(const nlohmann::json& records, std::function<void(bool)> completion,
                                            PelkAPIClient& api) {
  api.updateLocation(records, [completion = std::move(completion)](const std::string& msg) {
    if (completion) completion(msg == kLocationUpdateSucess);
  });
}

void LocationUtils::sendOfflineMQTTLocationData(const nlohmann::json& dict,
                                                std::function<void(bool)> completionHandler) {
  auto text = pelk::jsonString(dict);
  if (!text) {
    platform::Console::print("pelk: offline location not sent, it cannot be written as JSON");
    if (completionHandler) completionHandler(false);
    return;
  }
  sending::publish(*text, std::move(completionHandler));
}

void LocationUtils::sendGpsStatus(const nlohmann::json& status, bool isDelete, std::function<void(bool)> completion) {
  auto text = pelk::jsonString(status);
  if (!text) {
    platform::Console::print("pelk: GPS status not sent, it cannot be written as JSON");
    if (completion) completion(false);
    return;
  }
  // A fresh status that cannot go out now waits for the next upload of stored
  // data; the stored one stays until it went out.
  auto settle = [status, isDelete, completion = std::move(completion)](bool sent) {
    platform::Console::print(std::string("GPS status sent: ") + (sent ? "true" : "false"));
    if (!sent && !isDelete) {
      SharedUtil::setDefaultDictionary(status, kGPSStatus);
    } else if (sent && isDelete) {
      SharedUtil::userDefaultValue()->transaction([&] {
        // Only the status that went out; a newer one stored meanwhile stays.
        if (SharedUtil::getDefaultDictionary(kGPSStatus) == status) SharedUtil::removeKey(kGPSStatus);
      });
    }
    if (completion) completion(sent);
  };
  if (!sending::connected()) {
    settle(false);
    return;
  }
  sending::publish(*text, std::move(settle));
}

}  // namespace pelk
