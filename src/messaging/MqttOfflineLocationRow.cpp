// The single-row form of the offline MQTT message: one buffered position as a
// live-shaped message under the current publish switches.

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "messaging/LocationMessageKeys.h"
#include "messaging/LocationSending.h"
#include "messaging/LocationUtils.h"
#include "messaging/MqttOfflineLocationUtils.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk {
namespace {

// The row's stored value; nothing for a text that holds none.
std::optional<nlohmann::json> rowValue(message::Key key, const MqttLocationData& row) {
  using message::Key;
  auto text = [](const OptionalText& t) -> std::optional<nlohmann::json> {
    if (!t) return std::nullopt;
    return nlohmann::json(*t);
  };
  switch (key) {
    case Key::activity:
      return text(row.activity);
    case Key::altitude:
      return row.altitude;
    case Key::app_context:
      return text(row.app_context);
    case Key::app_id:
      return text(row.app_id);
    case Key::battery_remaining:
      return row.battery_remaining;
    case Key::battery_status:
      return text(row.battery_status);
    case Key::course:
      return row.course;
    case Key::gps_status:
      return row.gps_status;
    case Key::horizontal_accuracy:
      return row.horizontal_accuracy;
    case Key::recorded_at:
      return text(row.recorded_at);
    case Key::location_permission:
      return row.location_permission;
    case Key::network_status:
      return row.network_status;
    case Key::speed:
      return row.speed;
    case Key::tz_offset:
      return text(row.tz_offset);
    case Key::user_id:
      return text(row.user_id);
    case Key::vertical_accuracy:
      return row.vertical_accuracy;
    case Key::location_events:
      return row.location_events;
    case Key::geofence_events:
      return row.geofence_events;
    case Key::trips_events:
      return row.trips_events;
    case Key::nearby_events:
      return row.nearby_events;
    case Key::location_listener:
      return row.location_listener;
    case Key::event_listener:
      return row.event_listener;
    case Key::tracking_mode:
      return text(row.tracking_mode);
    case Key::battery_saver:
      return row.battery_saver;
    case Key::device_model:
      return text(row.device_model);
    case Key::device_manufacturer:
      return text(row.device_manufacturer);
    case Key::os_version:
      return text(row.os_version);
  }
  return std::nullopt;
}

}  // namespace

nlohmann::json MqttOfflineLocationUtils::offlineLocationParameter(const MqttLocationData& row) {
  nlohmann::json dict = nlohmann::json::object();
  message::put(dict, "longitude", row.longitude);
  message::put(dict, "latitude", row.latitude);
  message::put(dict, "sdk_version", AppUtilis::getSDKVersion());
  const bool saveMode = SharedUtil::getDefaultBoolean(kLocationPublishSave);
  dict["publish_only"] = !saveMode;
  if (row.location_id) message::put(dict, "location_id", *row.location_id);
  for (const auto& key : message::kGatedKeys) {
    if (!message::carries(key, saveMode)) continue;
    if (auto value = rowValue(key.id, row)) message::put(dict, key.name, std::move(*value));
  }
  message::putMetaData(dict);
  return dict;
}

void MqttOfflineLocationUtils::locationDataToDictionary(const MqttLocationData& row) {
  LocationUtils::sendOfflineMQTTLocationData(offlineLocationParameter(row), [row](bool sent) {
    LoggerManager::sharedInstance().writeLocationToFile(std::string("Location offline status ") +
                                                        (sent ? "true" : "false"));
    if (sent) sending::offlineBuffer()->deleteRecord(row);
  });
}

}  // namespace pelk
