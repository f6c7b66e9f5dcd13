#pragma once

// The rows of the kit's two local stores.  Each entity is a plain value: a row
// read from a store is a copy, never a live object, so nothing held by a caller
// can bring a deleted row back or go stale behind its back.  `objectID` is the
// row's primary key in its table (0 for a row not read from a store); deletes
// go by it.  Attribute names are the column names and double as the keys of
// the messages and bodies built from the rows.
//
// Types: text may be absent; number is double; small integer is 16-bit and
// saturates when a wider value is stored; flag is bool; date may be absent.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/SharedUtil.h"

namespace SQLite {
class Statement;
}

namespace pelk {

using OptionalText = std::optional<std::string>;

// Whole numbers into a 16-bit attribute: clamped to -32768 ... 32767.
std::int16_t saturatingInt16(std::int64_t value);
// The same for a floating-point reading; NaN gives 0, fractions are cut.
std::int16_t saturatingInt16(double value);

struct HttpLocationData {
  static constexpr const char* entityName = "HttpLocationData";
  std::int64_t objectID = 0;

  double accuracy = 0;
  OptionalText activity;
  double altitude = 0;
  OptionalText app_stat;
  bool bat_saver_mode = false;
  OptionalText bat_stat;
  std::int16_t battery_remaining = 0;
  OptionalText ended_at;
  bool gps_stat = false;
  double latitude = 0;
  bool location_permission = false;
  double longitude = 0;
  bool motion_stat = false;
  bool net_stat = false;
  OptionalText recorded_at;
  double speed = 0;
  OptionalText started_at;
  OptionalText timezone_offset;
  OptionalText user_id;

  // The attribute names in declaration order (19).
  static const std::vector<std::string>& attributeNames();
  // Every attribute that holds a value, under its name (absent texts left out).
  nlohmann::json dictionary() const;
};

struct MqttLocationData {
  static constexpr const char* entityName = "MqttLocationData";
  std::int64_t objectID = 0;

  OptionalText activity;
  double altitude = 0;
  OptionalText app_context;
  OptionalText app_id;
  std::int16_t battery_remaining = 0;
  bool battery_saver = false;
  OptionalText battery_status;
  double course = 0;
  OptionalText device_manufacturer;
  OptionalText device_model;
  bool event_listener = false;
  bool geofence_events = false;
  bool gps_status = false;
  double horizontal_accuracy = 0;
  double latitude = 0;
  bool location_events = false;
  OptionalText location_id;
  bool location_listener = false;
  bool location_permission = false;
  double longitude = 0;
  std::int16_t mqtt_id = 0;
  std::optional<Date> mqttLocation_time;
  bool nearby_events = false;
  bool network_status = false;
  OptionalText os_version;
  OptionalText recorded_at;
  std::int16_t speed = 0;
  OptionalText tracking_mode;
  bool trips_events = false;
  OptionalText tz_offset;
  OptionalText user_id;
  double vertical_accuracy = 0;

  // The attribute names in declaration order (32).
  static const std::vector<std::string>& attributeNames();
  // Every attribute that holds a value, under its name (absent texts and an
  // absent date left out; the date as the kit's wire time stamp).
  nlohmann::json dictionary() const;
};

struct MyTrip {
  static constexpr const char* entityName = "MyTrip";
  std::int64_t objectID = 0;

  double distance = 0;
  double duration = 0;
  double latitude = 0;
  std::int16_t location_count = 0;
  OptionalText locationId;
  double longitude = 0;
  std::int16_t speed = 0;
  OptionalText start_time;
  OptionalText status;
  OptionalText tripId;
  OptionalText update_time;

  static const std::vector<std::string>& attributeNames();
};

struct MyTripRoute {
  static constexpr const char* entityName = "MyTripRoute";
  std::int64_t objectID = 0;

  double accuracy = 0;
  OptionalText activity;
  double altitude = 0;
  OptionalText entityId;
  double latitude = 0;
  OptionalText location_id;
  double longitude = 0;
  OptionalText recorded_at;
  OptionalText tripId;
  // The owning progress row (`MyTrip::objectID`); absent when not linked.
  std::optional<std::int64_t> trip;

  static const std::vector<std::string>& attributeNames();
};

struct TripsLocal {
  static constexpr const char* entityName = "TripsLocal";
  std::int64_t objectID = 0;

  OptionalText created_at;
  double distance_covered = 0;
  double duration = 0;
  bool is_deleted = false;
  bool is_ended = false;
  bool is_paused = false;
  bool is_started = false;
  OptionalText location_id;
  OptionalText sync_status;
  bool synced = false;
  OptionalText trip_ended_at;
  OptionalText trip_id;
  OptionalText trip_started_at;
  OptionalText updated_at;
  OptionalText user_id;

  static const std::vector<std::string>& attributeNames();
};

struct TripEventsLocal {
  static constexpr const char* entityName = "TripEventsLocal";
  std::int64_t objectID = 0;

  OptionalText created_at;
  OptionalText entityId;
  OptionalText event_source;
  OptionalText event_type;
  OptionalText event_version;
  OptionalText location_id;
  OptionalText trip_id;
  OptionalText user_id;
  // The owning trip (`TripsLocal::objectID`); absent when not linked.
  std::optional<std::int64_t> trip;

  static const std::vector<std::string>& attributeNames();
};

}  // namespace pelk
