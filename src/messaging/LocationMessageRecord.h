#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace pelk {

// A typed record of one published position: the thirty keys of the live
// location message that every save-mode message with all device keys carries.
// Immutable once built.
class PublishMessage {
 public:
  // The thirty JSON keys, in field order.
  static const std::array<const char*, 30>& codingKeys();

  // battery_remaining is saturated into 16 bits, never wrapped.
  PublishMessage(std::string app_id, std::string activity, double altitude, std::string app_context,
                 std::int64_t battery_remaining, bool battery_saver, std::string battery_status, double course,
                 std::string device_manufacturer, std::string device_model, bool gps_status, double horizontal_accuracy,
                 double latitude, std::string location_id, bool location_permission, double longitude,
                 bool network_status, std::string os_version, std::string recorded_at, double speed,
                 std::string tracking_mode, std::string tz_offset, double vertical_accuracy, std::string user_id,
                 bool location_events, bool geofence_events, bool trips_events, bool nearby_events,
                 bool location_listener, bool event_listener);

  // Decodes an object holding all thirty keys with values of their types
  // (other keys are ignored).  Nothing, with the reason in `error`, when the
  // input is not an object or a key is missing, null, of another type or, for
  // battery_remaining, outside 16 bits.
  static std::optional<PublishMessage> decode(const nlohmann::json& object, std::string* error = nullptr);
  // Every field under its key.
  nlohmann::json encode() const;
  // Compact JSON text; "" when a number is not finite or a text not UTF-8.
  std::string jsonString() const;

  const std::string& app_id() const { return app_id_; }
  const std::string& activity() const { return activity_; }
  double altitude() const { return altitude_; }
  const std::string& app_context() const { return app_context_; }
  std::int16_t battery_remaining() const { return battery_remaining_; }
  bool battery_saver() const { return battery_saver_; }
  const std::string& battery_status() const { return battery_status_; }
  double course() const { return course_; }
  const std::string& device_manufacturer() const { return device_manufacturer_; }
  const std::string& device_model() const { return device_model_; }
  bool gps_status() const { return gps_status_; }
  double horizontal_accuracy() const { return horizontal_accuracy_; }
  double latitude() const { return latitude_; }
  const std::string& location_id() const { return location_id_; }
  bool location_permission() const { return location_permission_; }
  double longitude() const { return longitude_; }
  bool network_status() const { return network_status_; }
  const std::string& os_version() const { return os_version_; }
  const std::string& recorded_at() const { return recorded_at_; }
  double speed() const { return speed_; }
  const std::string& tracking_mode() const { return tracking_mode_; }
  const std::string& tz_offset() const { return tz_offset_; }
  double vertical_accuracy() const { return vertical_accuracy_; }
  const std::string& user_id() const { return user_id_; }
  bool location_events() const { return location_events_; }
  bool geofence_events() const { return geofence_events_; }
  bool trips_events() const { return trips_events_; }
  bool nearby_events() const { return nearby_events_; }
  bool location_listener() const { return location_listener_; }
  bool event_listener() const { return event_listener_; }

 private:
  std::string app_id_;
  std::string activity_;
  double altitude_;
  std::string app_context_;
  std::int16_t battery_remaining_;
  bool battery_saver_;
  std::string battery_status_;
  double course_;
  std::string device_manufacturer_;
  std::string device_model_;
  bool gps_status_;
  double horizontal_accuracy_;
  double latitude_;
  std::string location_id_;
  bool location_permission_;
  double longitude_;
  bool network_status_;
  std::string os_version_;
  std::string recorded_at_;
  double speed_;
  std::string tracking_mode_;
  std::string tz_offset_;
  double vertical_accuracy_;
  std::string user_id_;
  bool location_events_;
  bool geofence_events_;
  bool trips_events_;
  bool nearby_events_;
  bool location_listener_;
  bool event_listener_;
};

}  // namespace pelk
