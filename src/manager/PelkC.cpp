#include "pelk/pelk.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "messaging/LocationPublishParameter.h"
#include "pelk/Pelk.h"
#include "platform/Console.h"

namespace pelk {
namespace {

using json = nlohmann::json;

std::string textOf(const char* s) { return s ? std::string(s) : std::string(); }
std::optional<std::string> optionalOf(const char* s) {
  if (!s) return std::nullopt;
  return std::string(s);
}

template <class T>
json orNull(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}
json orNull(const std::optional<PelkNumber>& v) { return v ? json(v->doubleValue()) : json(nullptr); }

json userJson(const PelkUser& u) {
  return {{"user_id", u.userId()},
          {"description", orNull(u.userDescription())},
          {"geofence_events", u.geofenceEvents()},
          {"trips_events", u.tripsEvents()},
          {"location_events", u.locationEvents()},
          {"nearby_events", u.nearbyEvents()},
          {"location_listener", u.locationListener()},
          {"event_listener", u.eventsListener()},
          {"account_id", u.account_id()},
          {"project_id", u.project_id()}};
}

json positionJson(const Location& l) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(l.timestamp.time_since_epoch()).count();
  return {{"latitude", l.coordinate.latitude},
          {"longitude", l.coordinate.longitude},
          {"altitude", l.altitude},
          {"horizontal_accuracy", l.horizontalAccuracy},
          {"vertical_accuracy", l.verticalAccuracy},
          {"speed", l.speed},
          {"course", l.course},
          {"timestamp_ms", ms}};
}

json eventsJson(const PelkEvents& e) {
  return {{"event_type", orNull(e.eventType())},
          {"event_source", orNull(e.eventSource())},
          {"event_version", orNull(e.eventVersion())},
          {"user_id", orNull(e.userId())},
          {"trip_id", orNull(e.tripId())},
          {"geofence_id", orNull(e.geofenceId())},
          {"location_id", orNull(e.locationId())},
          {"nearby_user_id", orNull(e.nearbyUserId())},
          {"activity", orNull(e.activity())},
          {"recorded_at", orNull(e.recordedAt())},
          {"created_at", orNull(e.createdAt())},
          {"coordinates", orNull(e.coordinates())},
          {"altitude", e.altitude().doubleValue()},
          {"course", e.course().doubleValue()},
          {"distance", e.distance().doubleValue()},
          {"speed", e.speed().doubleValue()},
          {"horizontal_accuracy", e.horizontalAccuracy().doubleValue()},
          {"vertical_accuracy", e.veritcalAccuracy().doubleValue()}};
}

json receivedJson(const PelkLocationReceived& r) {
  return {{"user_id", orNull(r.userId())},
          {"activity", orNull(r.activity())},
          {"location_id", orNull(r.locationId())},
          {"recorded_at", orNull(r.recordedAt())},
          {"event_type", orNull(r.eventType())},
          {"event_source", orNull(r.eventSource())},
          {"event_version", orNull(r.eventVersion())},
          {"latitude", orNull(r.latitude())},
          {"longitude", orNull(r.longitude())},
          {"altitude", orNull(r.altitude())},
          {"course", orNull(r.course())},
          {"speed", orNull(r.speed())},
          {"horizontal_accuracy", orNull(r.horizontalAccuracy())},
          {"vertical_accuracy", orNull(r.verticalAccuracy())}};
}

// Invalid UTF-8 from the server is replaced rather than thrown on.
std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

class CDelegate : public PelkDelegate {
 public:
  explicit CDelegate(const pelk_delegate& d) : d_(d) {}
  void didUpdateLocation(const PelkLocation& l) override {
    if (!d_.did_update_location) return;
    const auto text = dump({{"user_id", l.userId()},
                            {"activity", l.activity()},
                            {"location", positionJson(l.location())},
                            {"tz_offset", l.timezoneOffset()},
                            {"recorded_at", l.recordedAt()}});
    d_.did_update_location(d_.context, text.c_str());
  }
  void didReceiveEvents(const PelkEvents& e) override {
    if (!d_.did_receive_events) return;
    const auto text = dump(eventsJson(e));
    d_.did_receive_events(d_.context, text.c_str());
  }
  void didReceiveUserLocation(const PelkLocationReceived& r) override {
    if (!d_.did_receive_user_location) return;
    const auto text = dump(receivedJson(r));
    d_.did_receive_user_location(d_.context, text.c_str());
  }
  void didReceiveTripStatus(const PelkTripStatusListener& s) override {
    if (!d_.did_receive_trip_status) return;
    const auto text = dump({{"trip_id", s.tripId()},
                            {"speed", s.speed()},
                            {"distance", s.distance()},
                            {"duration", s.duration()},
                            {"started_at", s.startedTime()},
                            {"pace", s.pace()},
                            {"latitude", s.latitude()},
                            {"longitude", s.longitude()}});
    d_.did_receive_trip_status(d_.context, text.c_str());
  }
  void onError(const PelkError& e) override {
    if (d_.on_error) d_.on_error(d_.context, e.code().c_str(), e.message().c_str());
  }

 private:
  pelk_delegate d_;
};

Pelk::UserHandler userHandler(pelk_user_handler handler, void* context) {
  if (!handler) return nullptr;
  return [handler, context](std::shared_ptr<PelkUser> user, std::optional<PelkError> error) {
    const std::string text = user ? dump(userJson(*user)) : std::string();
    handler(context, user ? text.c_str() : nullptr, error ? error->code().c_str() : nullptr,
            error ? error->message().c_str() : nullptr);
  };
}

Pelk::TextHandler textHandler(pelk_text_handler handler, void* context) {
  if (!handler) return nullptr;
  return [handler, context](std::optional<std::string> text, std::optional<PelkError> error) {
    handler(context, text ? text->c_str() : nullptr, error ? error->code().c_str() : nullptr,
            error ? error->message().c_str() : nullptr);
  };
}

// The publish choice of a C caller: NULL is no choice (true); an object sets
// the fields it holds as booleans and the metadata; anything else is refused.
bool publishChoiceOf(const char* text, std::optional<PelkPublish>& choice) {
  if (!text) return true;
  const auto j = json::parse(text, nullptr, false);
  if (!j.is_object()) {
    platform::Console::print("Publish choice is not a JSON object; nothing changed");
    return false;
  }
  PelkPublish publish;
  for (const auto& field : LocationPublishParameter::optionFields()) {
    const auto it = j.find(field.name);
    if (it != j.end() && it->is_boolean()) publish.*field.member = it->get<bool>();
  }
  if (const auto it = j.find("meta_data"); it != j.end() && it->is_object()) publish.meta_data = *it;
  choice = std::move(publish);
  return true;
}

}  // namespace
}  // namespace pelk

using pelk::Pelk;

extern "C" {

void pelk_initialize(const char* publish_key, const char* base_url, const char* mqtt_endpoint) {
  Pelk::initialize(pelk::textOf(publish_key), pelk::optionalOf(base_url), pelk::optionalOf(mqtt_endpoint));
}
void pelk_set_logger_enabled(bool enabled) { Pelk::setLoggerEnabled(enabled); }
void pelk_set_delegate(const pelk_delegate* delegate) {
  Pelk::setDelegate(delegate ? std::make_shared<pelk::CDelegate>(*delegate) : nullptr);
}
bool pelk_has_delegate(void) { return Pelk::delegate() != nullptr; }

void pelk_create_user(const char* description, pelk_user_handler handler, void* context) {
  Pelk::createUser(pelk::textOf(description), pelk::userHandler(handler, context));
}
void pelk_get_user(const char* user_id, pelk_user_handler handler, void* context) {
  Pelk::getUser(pelk::textOf(user_id), pelk::userHandler(handler, context));
}
void pelk_set_description(const char* description) { Pelk::setDescription(pelk::textOf(description)); }
void pelk_logout_user(pelk_text_handler handler, void* context) {
  Pelk::logoutUser(pelk::textHandler(handler, context));
}
void pelk_set_device_token(const uint8_t* bytes, size_t length) {
  Pelk::setDeviceToken(bytes ? std::vector<std::uint8_t>(bytes, bytes + length) : std::vector<std::uint8_t>());
}

void pelk_start_tracking(int64_t mode) { Pelk::startTracking(static_cast<pelk::PelkTrackingMode>(mode)); }
void pelk_stop_tracking(void) { Pelk::stopTracking(); }
void pelk_start_self_tracking(int64_t mode) { Pelk::startSelfTracking(static_cast<pelk::PelkTrackingMode>(mode)); }
void pelk_stop_self_tracking(void) { Pelk::stopSelfTracking(); }
void pelk_request_location(void) { Pelk::requestLocation(); }
void pelk_get_current_location(int64_t accuracy, pelk_location_handler handler, void* context) {
  Pelk::LocationHandler bridged;
  if (handler) {
    bridged = [handler, context](std::optional<pelk::Location> fix, std::optional<pelk::PelkError> error) {
      const std::string text = fix ? pelk::dump(pelk::positionJson(*fix)) : std::string();
      handler(context, fix ? text.c_str() : nullptr, error ? error->code().c_str() : nullptr,
              error ? error->message().c_str() : nullptr);
    };
  }
  Pelk::getCurrentLocation(accuracy, std::move(bridged));
}
void pelk_update_current_location(int64_t accuracy) { Pelk::updateCurrentLocation(accuracy); }
bool pelk_is_location_enabled(void) { return Pelk::isLocationEnabled(); }
bool pelk_is_location_tracking(void) { return Pelk::isLocationTracking(); }
void pelk_set_tracking_in_app_state(int64_t state) {
  Pelk::setTrackingInAppState(static_cast<pelk::PelkTrackingState>(state));
}
void pelk_offline_location_tracking(bool enabled) { Pelk::offlineLocationTracking(enabled); }
void pelk_enable_accuracy_engine(void) { Pelk::enableAccuracyEngine(); }
void pelk_disable_accuracy_engine(void) { Pelk::disableAccuracyEngine(); }
void pelk_enable_accuracy_engine_with(int64_t accuracy) { Pelk::enableAccuracyEngine(accuracy); }

// ---- events, listeners and subscriptions
void pelk_toggle_events(bool geofence, bool trip, bool location, bool moving_geofence, pelk_user_handler handler,
                        void* context) {
  Pelk::toggleEvents(geofence, trip, location, moving_geofence, pelk::userHandler(handler, context));
}
void pelk_toggle_listener(bool events, bool locations, pelk_user_handler handler, void* context) {
  Pelk::toggleListener(events, locations, pelk::userHandler(handler, context));
}
void pelk_get_events_status(pelk_user_handler handler, void* context) {
  Pelk::getEventsStatus(pelk::userHandler(handler, context));
}
void pelk_get_listener_status(pelk_user_handler handler, void* context) {
  Pelk::getListenerStatus(pelk::userHandler(handler, context));
}
void pelk_subscribe(int64_t kind, const char* user_id) {
  Pelk::subscribe(static_cast<pelk::PelkSubscribe>(kind), pelk::textOf(user_id));
}
void pelk_unsubscribe(int64_t kind, const char* user_id) {
  Pelk::unsubscribe(static_cast<pelk::PelkSubscribe>(kind), pelk::textOf(user_id));
}
void pelk_publish_save(const char* publish_json) {
  std::optional<pelk::PelkPublish> publish;
  if (pelk::publishChoiceOf(publish_json, publish)) Pelk::publishSave(publish);
}
void pelk_publish_only(const char* publish_json) {
  std::optional<pelk::PelkPublish> publish;
  if (pelk::publishChoiceOf(publish_json, publish)) Pelk::publishOnly(publish);
}
void pelk_stop_publishing(void) { Pelk::stopPublishing(); }
void pelk_notification_opened(const char* user_info_json) {
  pelk::PelkOpenedNotification notification;
  if (user_info_json) {
    auto info = pelk::json::parse(user_info_json, nullptr, false);
    if (info.is_object()) notification.userInfo = std::move(info);
  }
  Pelk::notificationOpenedHandler(notification);
}
int64_t pelk_location_permission_status(void) { return Pelk::locationPermissionStatus(); }

}  // extern "C"

// ---- custom tracking
namespace pelk {
namespace {

// The option set from its JSON text: an object whose members are named as the
// options; a missing or null member is an absent option.  Any other member, a
// value of the wrong type or out of range makes the whole text invalid, so a
// typing error never starts tracking with options the app did not mean.
std::optional<PelkTrackingCustomMethods> customMethodsFromJson(const char* text, std::string& why) {
  const auto j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    why = "not a JSON object";
    return std::nullopt;
  }
  PelkTrackingCustomMethods o;
  auto integer = [&](const json& v, const std::string& key) -> std::optional<std::int64_t> {
    if (v.is_number_integer() && (!v.is_number_unsigned() || v.get<std::uint64_t>() <= INT64_MAX)) {
      return v.get<std::int64_t>();
    }
    why = key + " must be an integer";
    return std::nullopt;
  };
  for (const auto& [key, v] : j.items()) {
    if (v.is_null()) continue;
    auto flag = [&](std::optional<bool>& field) {
      if (!v.is_boolean()) {
        why = key + " must be true or false";
        return false;
      }
      field = v.get<bool>();
      return true;
    };
    auto whole = [&](std::optional<std::int64_t>& field) {
      field = integer(v, key);
      return field.has_value();
    };
    bool ok = true;
    if (key == "desiredAccuracy") {
      auto raw = integer(v, key);
      o.desiredAccuracy = raw ? locationAccuracyFromRawValue(*raw) : std::nullopt;
      if (raw && !o.desiredAccuracy) why = "desiredAccuracy must be 0 to 5";
      ok = o.desiredAccuracy.has_value();
    } else if (key == "activityType") {
      auto raw = integer(v, key);
      o.activityType = raw ? locationActivityTypeFromRawValue(*raw) : std::nullopt;
      if (raw && !o.activityType) why = "activityType must be 1 to 5";
      ok = o.activityType.has_value();
    } else if (key == "distanceFilter") {
      ok = v.is_number() && std::isfinite(v.get<double>());
      if (ok) o.distanceFilter = v.get<double>();
      else why = "distanceFilter must be a finite number";
    } else if (key == "useVisits") {
      ok = flag(o.useVisits);
    } else if (key == "showsBackgroundLocationIndicator") {
      ok = flag(o.showsBackgroundLocationIndicator);
    } else if (key == "useSignificant") {
      ok = flag(o.useSignificant);
    } else if (key == "useRegionMonitoring") {
      ok = flag(o.useRegionMonitoring);
    } else if (key == "useDynamicGeofencRadius") {
      ok = flag(o.useDynamicGeofencRadius);
    } else if (key == "allowBackgroundLocationUpdates") {
      ok = flag(o.allowBackgroundLocationUpdates);
    } else if (key == "pausesLocationUpdatesAutomatically") {
      ok = flag(o.pausesLocationUpdatesAutomatically);
    } else if (key == "useStandardLocationServices") {
      ok = flag(o.useStandardLocationServices);
    } else if (key == "geofenceRadius") {
      ok = whole(o.geofenceRadius);
    } else if (key == "accuracyFilter") {
      ok = whole(o.accuracyFilter);
    } else if (key == "updateInterval") {
      ok = whole(o.updateInterval);
    } else {
      why = "unknown option " + key;
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  return o;
}

// Nothing is started when the text is given but is no option set.
bool withCustomMethods(const char* text, const std::function<void(const std::optional<PelkTrackingCustomMethods>&)>& run) {
  if (!text) {
    run(std::nullopt);
    return true;
  }
  std::string why;
  auto options = customMethodsFromJson(text, why);
  if (!options) {
    platform::Console::print("Invalid custom tracking options: " + why);
    return false;
  }
  run(options);
  return true;
}

}  // namespace
}  // namespace pelk

extern "C" {

bool pelk_start_tracking_with_options(int64_t mode, const char* options_json) {
  return pelk::withCustomMethods(options_json, [mode](const auto& options) {
    Pelk::startTracking(static_cast<pelk::PelkTrackingMode>(mode), options);
  });
}
bool pelk_start_self_tracking_with_options(int64_t mode, const char* options_json) {
  return pelk::withCustomMethods(options_json, [mode](const auto& options) {
    Pelk::startSelfTracking(static_cast<pelk::PelkTrackingMode>(mode), options);
  });
}

}  // extern "C"
