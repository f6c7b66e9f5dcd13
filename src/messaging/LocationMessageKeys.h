#pragma once

// The keys a location message may carry beyond its core, shared by the live
// message and the single-row offline message.

#include <array>
#include <string>

#include <nlohmann/json.hpp>

#include "foundation/AppDefaults.h"

namespace pelk::message {

enum class Key {
  activity,
  altitude,
  app_context,
  app_id,
  battery_remaining,
  battery_status,
  course,
  gps_status,
  horizontal_accuracy,
  recorded_at,
  location_permission,
  network_status,
  speed,
  tz_offset,
  user_id,
  vertical_accuracy,
  location_events,
  geofence_events,
  trips_events,
  nearby_events,
  location_listener,
  event_listener,
  tracking_mode,
  battery_saver,
  device_model,
  device_manufacturer,
  os_version
};

struct GatedKey {
  Key id;
  const char* name;
  const char* publishSwitch;
  // Sent in every save-mode message; the others only when their switch is on.
  bool standard;
};

// In the order the messages are built.
inline const std::array<GatedKey, 27> kGatedKeys = {{
    {Key::activity, "activity", kLocationPublishactivity, true},
    {Key::altitude, "altitude", kLocationPublishaltitude, true},
    {Key::app_context, "app_context", kLocationPublishapp_context, true},
    {Key::app_id, "app_id", kLocationPublishapp_id, true},
    {Key::battery_remaining, "battery_remaining", kLocationPublishbattery_remaining, true},
    {Key::battery_status, "battery_status", kLocationPublishbattery_status, true},
    {Key::course, "course", kLocationPublishcourse, true},
    {Key::gps_status, "gps_status", kLocationPublishgps_status, true},
    {Key::horizontal_accuracy, "horizontal_accuracy", kLocationPublishhorizontal_accuracy, true},
    {Key::recorded_at, "recorded_at", kLocationPublishrecorded_at, true},
    {Key::location_permission, "location_permission", kLocationPublishlocation_permission, true},
    {Key::network_status, "network_status", kLocationPublishnetwork_status, true},
    {Key::speed, "speed", kLocationPublishspeed, true},
    {Key::tz_offset, "tz_offset", kLocationPublishtz_offset, true},
    {Key::user_id, "user_id", kLocationPublishuser_id, true},
    {Key::vertical_accuracy, "vertical_accuracy", kLocationPublishvertical_accuracy, true},
    {Key::location_events, "location_events", kLocationPublishlocation_events, true},
    {Key::geofence_events, "geofence_events", kLocationPublishgeofence_events, true},
    {Key::trips_events, "trips_events", kLocationPublishtrips_events, true},
    {Key::nearby_events, "nearby_events", kLocationPublishnearby_events, true},
    {Key::location_listener, "location_listener", kLocationPublishlocation_listener, true},
    {Key::event_listener, "event_listener", kLocationPublishevent_listener, true},
    {Key::tracking_mode, "tracking_mode", kLocationPublishtracking_mode, true},
    {Key::battery_saver, "battery_saver", kLocationPublishbattery_saver, false},
    {Key::device_model, "device_model", kLocationPublishdevice_model, false},
    {Key::device_manufacturer, "device_manufacturer", kLocationPublishdevice_manufacturer, false},
    {Key::os_version, "os_version", kLocationPublishos_version, false},
}};

// Whether a message in the stored mode carries the key.
bool carries(const GatedKey& key, bool saveMode);
// Sets dict[key] = value when the value can be written as JSON; otherwise
// leaves the key out and logs it.
void put(nlohmann::json& dict, const std::string& key, nlohmann::json value);
// Adds "meta-data" when the stored metadata holds a writable entry.
void putMetaData(nlohmann::json& dict);

}  // namespace pelk::message
