#include <cmath>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationMessageKeys.h"
#include "messaging/LocationPublishParameter.h"
#include "messaging/LocationSending.h"
#include "messaging/LocationUtils.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk {

namespace message {

bool carries(const GatedKey& key, bool saveMode) {
  if (saveMode && key.standard) return true;
  return SharedUtil::getDefaultBoolean(key.publishSwitch);
}

namespace {

// Whether a value can be written as JSON; numbers and switches without
// writing them out, as most values of a message are such.
bool writable(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::boolean:
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
      return true;
    case nlohmann::json::value_t::number_float:
      return std::isfinite(value.get<double>());
    default:
      return isWritableJson(value);
  }
}

}  // namespace

void put(nlohmann::json& dict, const std::string& key, nlohmann::json value) {
  if (!writable(value)) {
    LoggerManager::sharedInstance().writeLocationToFile("Location message: " + key +
                                                        " left out, its value cannot be written as JSON");
    return;
  }
  dict[key] = std::move(value);
}

void putMetaData(nlohmann::json& dict) {
  auto meta = LocationUtils::addMetaData();
  if (!meta.empty()) dict["meta-data"] = std::move(meta);
}

}  // namespace message

namespace {

// The recorded-at time of a live position: the caller's time when given; for
// a stationary tracked position the stored visit time, used once; else now.
std::string recordedAtValue(const TrackedPosition& position) {
  if (position.recordedAt && !position.recordedAt->empty()) return *position.recordedAt;
  const std::string now = iso8601(platform::Clock::now());
  if (position.activity != kStationary || position.manual) return now;
  std::string visit;
  SharedUtil::userDefaultValue()->transaction([&] {
    visit = SharedUtil::getDefaultString(kVisitDate);
    SharedUtil::removeKey(kVisitDate);
  });
  return visit.empty() ? now : visit;
}

nlohmann::json liveValue(message::Key key, const TrackedPosition& position, DeviceInfo& device) {
  using message::Key;
  const auto& location = position.fix;
  switch (key) {
    case Key::activity:
      return position.activity;
    case Key::altitude:
      return location.altitude;
    case Key::app_context:
      return device.appState();
    case Key::app_id:
      return TokenManager::getAppId();
    case Key::battery_remaining:
      return device.batteryStatus();
    case Key::battery_status:
      return device.batteryState();
    case Key::course:
      return location.course;
    case Key::gps_status:
      return device.locationState();
    case Key::horizontal_accuracy:
      return location.horizontalAccuracy;
    case Key::recorded_at:
      return recordedAtValue(position);
    case Key::location_permission:
      return device.isLocationServicesEnabled();
    case Key::network_status:
      return device.networkStatus();
    case Key::speed:
      return position.speed;
    case Key::tz_offset:
      return device.timeOffSet();
    case Key::user_id:
      return TokenManager::getUserId();
    case Key::vertical_accuracy:
      return location.verticalAccuracy;
    case Key::location_events:
      return TokenManager::getLocationEvent();
    case Key::geofence_events:
      return TokenManager::getGeofenceEvents();
    case Key::trips_events:
      return TokenManager::getTripEvents();
    case Key::nearby_events:
      return TokenManager::getNearEvents();
    case Key::location_listener:
      return TokenManager::getLocationListener();
    case Key::event_listener:
      return TokenManager::getEventListener();
    case Key::tracking_mode:
      return position.manual ? std::string(kManual) : AppUtilis::getTrackingOptionValue();
    case Key::battery_saver:
      return device.isLowPowerEnabled();
    case Key::device_model:
      return device.deviceModel();
    case Key::device_manufacturer:
      return device.deviceBrand();
    case Key::os_version:
      return device.osVersion();
  }
  return nullptr;
}

}  // namespace

nlohmann::json LocationUtils::mqttLocationDictionary(const TrackedPosition& position, DeviceInfo& device) {
  const auto& locationId = position.locationId;
  nlohmann::json dict = nlohmann::json::object();
  message::put(dict, "latitude", position.fix.coordinate.latitude);
  message::put(dict, "longitude", position.fix.coordinate.longitude);
  message::put(dict, "sdk_version", AppUtilis::getSDKVersion());
  message::put(dict, "location_id", locationId && !locationId->empty() ? *locationId : AppUtilis::getLocationId());
  const bool saveMode = SharedUtil::getDefaultBoolean(kLocationPublishSave);
  dict["publish_only"] = !saveMode;
  for (const auto& key : message::kGatedKeys) {
    // A key that is not sent is not read either (a switched-off recorded-at
    // leaves a stored visit time for a later message).
    if (!message::carries(key, saveMode)) continue;
    message::put(dict, key.name, liveValue(key.id, position, device));
  }
  message::putMetaData(dict);
  return dict;
}

std::string LocationUtils::getMQTTString(const TrackedPosition& position, DeviceInfo& device) {
  // Every value went into the dictionary checked (and the metadata without
  // what cannot be written), so it is written once, without a second check.
  const auto dict = mqttLocationDictionary(position, device);
  try {
    return dict.dump();
  } catch (const nlohmann::json::exception&) {
    return "";
  }
}

std::string LocationUtils::getMQTTString(const nlohmann::json& locationdict) {
  return jsonString(locationdict).value_or("");
}

nlohmann::json LocationUtils::addMetaData() {
  return LocationPublishParameter::storableMetaData(SharedUtil::getDefaultDictionary(kLocationPublishMeta_data));
}

std::optional<std::string> LocationUtils::jsonString(const nlohmann::json& dict) {
  if (!dict.is_object() || !isWritableJson(dict)) return std::nullopt;
  return dict.dump();
}

bool LocationUtils::isLocationTracking() { return SharedUtil::getDefaultBoolean(kIsLocationTracking); }

void MqttLocationUtils::mqttLocationData(const TrackedPosition& position, std::function<void(bool)> completionHandler,
                                         DeviceInfo& device) {
  if (!position.fix.hasFiniteCoordinate()) {
    // A report without a fix holds no place: a message without coordinates
    // is not a position.
    LoggerManager::sharedInstance().writeLocationToFile("Location message not sent: the position has no coordinates");
    if (completionHandler) completionHandler(false);
    return;
  }
  auto text = LocationUtils::getMQTTString(position, device);
  if (text.empty()) {
    // Nothing to send: the caller keeps the position.
    if (completionHandler) completionHandler(false);
    return;
  }
  sending::publish(text, std::move(completionHandler));
}

void MqttLocationUtils::publishLivePosition(const TrackedPosition& position, LivePositionCompletion completion,
                                            DeviceInfo& device) {
  if (!position.fix.hasFiniteCoordinate()) {
    LoggerManager::sharedInstance().writeLocationToFile("Location message not sent: the position has no coordinates");
    if (completion) completion(false, std::nullopt);
    return;
  }
  // The user the position is taken for.  The message, its row and its topic
  // must all be this user's: a sign-in of another user while they are made
  // (or before the message goes) sends it nowhere.
  const std::string user = TokenManager::getUserId();
  const auto dict = LocationUtils::mqttLocationDictionary(position, device);
  // The row takes the message's own id and time; a message that carries no
  // time (switched off) keeps the moment it was built.
  const auto text = [&](const char* key) -> std::optional<std::string> {
    auto it = dict.find(key);
    if (it == dict.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  TrackedPosition kept = position;
  kept.locationId = text("location_id");
  kept.recordedAt = text("recorded_at");
  if (!kept.recordedAt) {
    const auto& given = position.recordedAt;
    kept.recordedAt = given && !given->empty() ? *given : iso8601(platform::Clock::now());
  }
  auto row = sending::offlineBuffer()->locationRow(kept);
  const auto carried = dict.find("user_id");
  if ((row && row->user_id.value_or("") != user) ||
      (carried != dict.end() && !(carried->is_string() && carried->get<std::string>() == user))) {
    // Neither sent nor kept: the user it was taken for is no longer signed in.
    platform::Console::print("pelk: position not sent: the user changed while its message was made");
    if (completion) completion(false, std::nullopt);
    return;
  }
  std::string message;
  try {
    message = dict.dump();
  } catch (const nlohmann::json::exception&) {
  }
  if (message.empty()) {
    if (completion) completion(false, std::move(row));
    return;
  }
  sending::publish(
      message,
      [completion = std::move(completion), row = std::move(row)](bool ok) {
        if (completion) completion(ok, ok ? std::nullopt : row);
      },
      user);
}

}  // namespace pelk
