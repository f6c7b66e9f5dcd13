#pragma once

#include <optional>

#include <nlohmann/json.hpp>

namespace pelk {

// The app's choice of optional fields for the positions it publishes, handed
// to Pelk::publishSave or Pelk::publishOnly.  The kit reads it during that call
// only and keeps the choice in its settings; changing the object afterwards
// changes nothing until it is passed again.
class PelkPublish {
 public:
  PelkPublish() = default;

  // The app's own data, sent with every position as "meta-data" when it holds
  // at least one entry.  Entries that cannot be kept as settings or written as
  // JSON (null, NaN, text that is not UTF-8) are dropped with a log line.
  std::optional<nlohmann::json> meta_data;

  bool user_id = false;
  bool app_id = false;
  bool recorded_at = false;
  bool tz_offset = false;
  bool geofence_events = false;
  bool trips_events = false;
  bool location_events = false;
  bool nearby_events = false;
  bool location_listener = false;
  bool event_listener = false;
  bool app_context = false;
  bool network_status = false;
  bool gps_status = false;
  bool location_permission = false;
  bool battery_status = false;
  // Stored like the others; no message carries an airplane-mode key yet.
  bool airplane_mode = false;
  bool battery_saver = false;
  bool battery_remaining = false;
  bool device_model = false;
  bool device_manufacturer = false;
  bool os_version = false;
  bool tracking_mode = false;
  bool altitude = false;
  bool speed = false;
  bool vertical_accuracy = false;
  bool horizontal_accuracy = false;
  bool course = false;
  bool activity = false;
};

}  // namespace pelk
