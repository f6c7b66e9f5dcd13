#include "messaging/LocationMessageRecord.h"

#include <cmath>
#include <limits>
#include <utility>

#include "foundation/StringExtensions.h"
#include "storage/LocalEntities.h"

namespace pelk {
namespace {

const std::array<const char*, 30> kKeys = {"app_id",
                                           "activity",
                                           "altitude",
                                           "app_context",
                                           "battery_remaining",
                                           "battery_saver",
                                           "battery_status",
                                           "course",
                                           "device_manufacturer",
                                           "device_model",
                                           "gps_status",
                                           "horizontal_accuracy",
                                           "latitude",
                                           "location_id",
                                           "location_permission",
                                           "longitude",
                                           "network_status",
                                           "os_version",
                                           "recorded_at",
                                           "speed",
                                           "tracking_mode",
                                           "tz_offset",
                                           "vertical_accuracy",
                                           "user_id",
                                           "location_events",
                                           "geofence_events",
                                           "trips_events",
                                           "nearby_events",
                                           "location_listener",
                                           "event_listener"};

// Reads required values in field order; the first failure is kept.
class Reader {
 public:
  explicit Reader(const nlohmann::json& object) : object_(object) {}

  std::string text(const char* key) {
    auto* v = find(key);
    if (v && !v->is_string()) mismatch(key, "a string");
    return ok() && v ? v->get<std::string>() : std::string();
  }
  double number(const char* key) {
    auto* v = find(key);
    if (v && !v->is_number()) mismatch(key, "a number");
    return ok() && v ? v->get<double>() : 0.0;
  }
  bool flag(const char* key) {
    auto* v = find(key);
    if (v && !v->is_boolean()) mismatch(key, "a boolean");
    return ok() && v ? v->get<bool>() : false;
  }
  std::int64_t int16(const char* key) {
    auto* v = find(key);
    if (!v) return 0;
    if (v->is_number_integer()) {
      // Unsigned values beyond int64 are out of range as well.
      if (v->is_number_unsigned() && v->get<std::uint64_t>() > 32767) return outOfRange(key);
      const auto i = v->get<std::int64_t>();
      if (i < std::numeric_limits<std::int16_t>::min() || i > std::numeric_limits<std::int16_t>::max()) {
        return outOfRange(key);
      }
      return i;
    }
    if (v->is_number_float()) {
      const double d = v->get<double>();
      // Range first: converting a double beyond int64 (or NaN) is undefined.
      if (d >= -32768 && d <= 32767 && std::trunc(d) == d) return static_cast<std::int64_t>(d);
      return outOfRange(key);
    }
    mismatch(key, "an integer");
    return 0;
  }

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  const nlohmann::json* find(const char* key) {
    if (!ok()) return nullptr;
    auto it = object_.find(key);
    if (it == object_.end()) {
      error_ = std::string("key not found: ") + key;
      return nullptr;
    }
    if (it->is_null()) {
      error_ = std::string("value not found: ") + key;
      return nullptr;
    }
    return &*it;
  }
  void mismatch(const char* key, const char* expected) {
    if (ok()) error_ = std::string("type mismatch: ") + key + " is not " + expected;
  }
  std::int64_t outOfRange(const char* key) {
    if (ok()) error_ = std::string("data corrupted: ") + key + " does not fit 16 bits";
    return 0;
  }

  const nlohmann::json& object_;
  std::string error_;
};

}  // namespace

const std::array<const char*, 30>& PublishMessage::codingKeys() { return kKeys; }

PublishMessage::PublishMessage(std::string app_id, std::string activity, double altitude, std::string app_context,
                               std::int64_t battery_remaining, bool battery_saver, std::string battery_status,
                               double course, std::string device_manufacturer, std::string device_model,
                               bool gps_status, double horizontal_accuracy, double latitude, std::string location_id,
                               bool location_permission, double longitude, bool network_status, std::string os_version,
                               std::string recorded_at, double speed, std::string tracking_mode, std::string tz_offset,
                               double vertical_accuracy, std::string user_id, bool location_events,
                               bool geofence_events, bool trips_events, bool nearby_events, bool location_listener,
                               bool event_listener)
    : app_id_(std::move(app_id)),
      activity_(std::move(activity)),
      altitude_(altitude),
      app_context_(std::move(app_context)),
      battery_remaining_(saturatingInt16(battery_remaining)),
      battery_saver_(battery_saver),
      battery_status_(std::move(battery_status)),
      course_(course),
      device_manufacturer_(std::move(device_manufacturer)),
      device_model_(std::move(device_model)),
      gps_status_(gps_status),
      horizontal_accuracy_(horizontal_accuracy),
      latitude_(latitude),
      location_id_(std::move(location_id)),
      location_permission_(location_permission),
      longitude_(longitude),
      network_status_(network_status),
      os_version_(std::move(os_version)),
      recorded_at_(std::move(recorded_at)),
      speed_(speed),
      tracking_mode_(std::move(tracking_mode)),
      tz_offset_(std::move(tz_offset)),
      vertical_accuracy_(vertical_accuracy),
      user_id_(std::move(user_id)),
      location_events_(location_events),
      geofence_events_(geofence_events),
      trips_events_(trips_events),
      nearby_events_(nearby_events),
      location_listener_(location_listener),
      event_listener_(event_listener) {}

std::optional<PublishMessage> PublishMessage::decode(const nlohmann::json& object, std::string* error) {
  if (!object.is_object()) {
    if (error) *error = "type mismatch: expected an object";
    return std::nullopt;
  }
  Reader r(object);
  // Arguments are read in field order (braced initialisation keeps the order).
  struct Fields {
    std::string app_id, activity;
    double altitude;
    std::string app_context;
    std::int64_t battery_remaining;
    bool battery_saver;
    std::string battery_status;
    double course;
    std::string device_manufacturer, device_model;
    bool gps_status;
    double horizontal_accuracy, latitude;
    std::string location_id;
    bool location_permission;
    double longitude;
    bool network_status;
    std::string os_version, recorded_at;
    double speed;
    std::string tracking_mode, tz_offset;
    double vertical_accuracy;
    std::string user_id;
    bool location_events, geofence_events, trips_events, nearby_events, location_listener, event_listener;
  } f{r.text("app_id"),
      r.text("activity"),
      r.number("altitude"),
      r.text("app_context"),
      r.int16("battery_remaining"),
      r.flag("battery_saver"),
      r.text("battery_status"),
      r.number("course"),
      r.text("device_manufacturer"),
      r.text("device_model"),
      r.flag("gps_status"),
      r.number("horizontal_accuracy"),
      r.number("latitude"),
      r.text("location_id"),
      r.flag("location_permission"),
      r.number("longitude"),
      r.flag("network_status"),
      r.text("os_version"),
      r.text("recorded_at"),
      r.number("speed"),
      r.text("tracking_mode"),
      r.text("tz_offset"),
      r.number("vertical_accuracy"),
      r.text("user_id"),
      r.flag("location_events"),
      r.flag("geofence_events"),
      r.flag("trips_events"),
      r.flag("nearby_events"),
      r.flag("location_listener"),
      r.flag("event_listener")};
  if (!r.ok()) {
    if (error) *error = r.error();
    return std::nullopt;
  }
  return PublishMessage(f.app_id, f.activity, f.altitude, f.app_context, f.battery_remaining, f.battery_saver,
                        f.battery_status, f.course, f.device_manufacturer, f.device_model, f.gps_status,
                        f.horizontal_accuracy, f.latitude, f.location_id, f.location_permission, f.longitude,
                        f.network_status, f.os_version, f.recorded_at, f.speed, f.tracking_mode, f.tz_offset,
                        f.vertical_accuracy, f.user_id, f.location_events, f.geofence_events, f.trips_events,
                        f.nearby_events, f.location_listener, f.event_listener);
}

nlohmann::json PublishMessage::encode() const {
  return nlohmann::json{{"app_id", app_id_},
                        {"activity", activity_},
                        {"altitude", altitude_},
                        {"app_context", app_context_},
                        {"battery_remaining", battery_remaining_},
                        {"battery_saver", battery_saver_},
                        {"battery_status", battery_status_},
                        {"course", course_},
                        {"device_manufacturer", device_manufacturer_},
                        {"device_model", device_model_},
                        {"gps_status", gps_status_},
                        {"horizontal_accuracy", horizontal_accuracy_},
                        {"latitude", latitude_},
                        {"location_id", location_id_},
                        {"location_permission", location_permission_},
                        {"longitude", longitude_},
                        {"network_status", network_status_},
                        {"os_version", os_version_},
                        {"recorded_at", recorded_at_},
                        {"speed", speed_},
                        {"tracking_mode", tracking_mode_},
                        {"tz_offset", tz_offset_},
                        {"vertical_accuracy", vertical_accuracy_},
                        {"user_id", user_id_},
                        {"location_events", location_events_},
                        {"geofence_events", geofence_events_},
                        {"trips_events", trips_events_},
                        {"nearby_events", nearby_events_},
                        {"location_listener", location_listener_},
                        {"event_listener", event_listener_}};
}

std::string PublishMessage::jsonString() const {
  const auto object = encode();
  if (!isWritableJson(object)) return "";
  return object.dump();
}

}  // namespace pelk
