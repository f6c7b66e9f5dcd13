#include "pelk/pelk.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "manager/CApiJson.h"
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

// Models are handed over under the keys their readers take, so a host reads
// the kit's results as it reads the server's records, and the text read back
// by the model's reader gives the same values.

// A number in the type the model holds it: an integer as an integer (125, not
// 125.0), a 64-bit floating-point value as itself, and a 32-bit one in the
// shortest text that reads back as the same float (12.3, not
// 12.300000190734863).  A value that is not finite has no JSON form: null.
json numberJson(const PelkNumber& n) {
  switch (n.kind()) {
    case PelkNumber::Kind::int64:
      return n.int64Value();
    case PelkNumber::Kind::float64:
      return n.doubleValue();
    case PelkNumber::Kind::float32:
      break;
  }
  const float f = n.floatValue();
  if (!std::isfinite(f)) return nullptr;
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, f);
  double shortest = f;
  if (written.ec == std::errc()) std::from_chars(text, written.ptr, shortest);
  return shortest;
}

template <class T>
json orNull(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}
json orNull(const std::optional<PelkNumber>& v) { return v ? numberJson(*v) : json(nullptr); }

// A place, a route point or an event holds a position's list the way the
// server nests it: {"coordinates": [...]}.
json nestedCoordinates(const std::optional<std::vector<double>>& list) {
  return list ? json{{"coordinates", *list}} : json(nullptr);
}

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
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(l.timestamp.time_since_epoch()).count();
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
          {"location", nestedCoordinates(e.coordinates())},
          {"altitude", numberJson(e.altitude())},
          {"course", numberJson(e.course())},
          {"distance", numberJson(e.distance())},
          {"speed", numberJson(e.speed())},
          {"horizontal_accuracy", numberJson(e.horizontalAccuracy())},
          // Spelled as the event messages spell it.
          {"veritcal_accuracy", numberJson(e.veritcalAccuracy())}};
}

// The position of a received location as its message carries it, longitude
// first; null unless both halves are known.
json receivedCoordinates(const PelkLocationReceived& r) {
  if (!r.latitude() || !r.longitude()) return nullptr;
  return {{"coordinates", json::array({numberJson(*r.longitude()), numberJson(*r.latitude())})}};
}

json receivedJson(const PelkLocationReceived& r) {
  return {{"user_id", orNull(r.userId())},
          {"activity", orNull(r.activity())},
          {"location_id", orNull(r.locationId())},
          {"recorded_at", orNull(r.recordedAt())},
          {"event_type", orNull(r.eventType())},
          {"event_source", orNull(r.eventSource())},
          {"event_version", orNull(r.eventVersion())},
          {"coordinates", receivedCoordinates(r)},
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

// ---- trips
json placeJson(const PelkTripPlace& p) {
  return {{"id", orNull(p.id())},
          {"trip_id", orNull(p.tripId())},
          {"loc_type", orNull(p.locType())},
          {"coordinates", nestedCoordinates(p.coordinates())},
          {"reached", p.reached()},
          {"created_at", orNull(p.createdAt())},
          {"updated_at", orNull(p.updatedAt())}};
}

template <class Place>
json placesJson(const std::vector<std::shared_ptr<Place>>& places) {
  json list = json::array();
  for (const auto& p : places) {
    if (p) list.push_back(placeJson(*p));
  }
  return list;
}

json createdTripJson(const PelkCreateTrip& t) {
  return {{"id", orNull(t.tripId())},
          {"user_id", orNull(t.userId())},
          {"is_started", t.isStarted()},
          {"is_ended", t.isEnded()},
          {"is_deleted", t.isDeleted()},
          {"trip_tracking_url", orNull(t.tripTrackingUrl())},
          {"created_at", orNull(t.createdAt())},
          {"updated_at", orNull(t.updatedAt())},
          {"origins", placesJson(t.origins())},
          {"destinations", placesJson(t.destinations())}};
}

json tripJson(const PelkTrip& t) {
  return {{"id", orNull(t.tripId())},
          {"is_started", t.started()},
          {"is_paused", t.paused()},
          {"is_ended", t.ended()},
          {"is_deleted", t.deleted()},
          {"syncStatus", orNull(t.syncStatus())},
          {"created_at", orNull(t.createdAt())},
          {"updated_at", orNull(t.updatedAt())}};
}

json tripDetailsJson(const PelkGetTrip& t) {
  json events = json::array();
  for (const auto& e : t.events()) {
    if (!e) continue;
    events.push_back({{"id", orNull(e->id())},
                      {"trip_id", orNull(e->tripId())},
                      {"user_id", orNull(e->userId())},
                      {"event_type", orNull(e->eventType())},
                      {"user_location_id", orNull(e->userLocationId())},
                      {"created_at", orNull(e->createdAt())},
                      {"is_deleted", e->isDeleted()}});
  }
  return {{"id", orNull(t.tripId())},
          {"user_id", orNull(t.userId())},
          {"project_id", orNull(t.projectId())},
          {"is_started", t.isStarted()},
          {"is_paused", t.isPaused()},
          {"is_ended", t.isEnded()},
          {"is_deleted", t.isDeleted()},
          {"trip_started_at", orNull(t.tripStartedAt())},
          {"trip_ended_at", orNull(t.tripEndedAt())},
          {"created_at", orNull(t.createdAt())},
          {"updated_at", orNull(t.updatedAt())},
          {"distance_covered", numberJson(t.distanceCovered())},
          {"duration", numberJson(t.duration())},
          {"origins", placesJson(t.origins())},
          {"destinations", placesJson(t.destinations())},
          {"events", events}};
}

json tripSummaryJson(const PelkTripSummary& t) {
  json route = json::array();
  for (const auto& r : t.route()) {
    if (!r) continue;
    route.push_back({{"activity", orNull(r->activity())},
                     {"coordinates", nestedCoordinates(r->coordinates())},
                     {"recorded_at", orNull(r->recordedAt())},
                     {"altitude", numberJson(r->altitude())},
                     {"distance", numberJson(r->distance())},
                     {"duration", numberJson(r->duration())},
                     {"elevation_gain", numberJson(r->elevationGain())}});
  }
  return {{"trip_id", orNull(t.tripId())},
          {"user_id", orNull(t.userId())},
          {"project_id", orNull(t.projectId())},
          {"trip_status", orNull(t.tripStatus())},
          {"distance_covered", numberJson(t.distanceCovered())},
          {"duration", numberJson(t.duration())},
          {"total_elevation_gain", numberJson(t.totalElevationGain())},
          {"route", route}};
}

json tripProgressJson(const PelkTripListener& l) {
  return {{"trip_id", l.tripId()},
          {"speed", l.speed()},
          {"distance", l.distance()},
          {"duration", l.duration()},
          {"started_at", l.startedTime()}};
}

// A handler of one result handed over as JSON text (null when absent).
template <class Result, class ToJson>
std::function<void(Result, std::optional<PelkError>)> jsonHandler(pelk_json_handler handler, void* context,
                                                                  ToJson toJson) {
  if (!handler) return nullptr;
  return [handler, context, toJson](Result result, std::optional<PelkError> error) {
    const std::optional<json> value = toJson(result);
    const std::string text = value ? dump(*value) : std::string();
    handler(context, value ? text.c_str() : nullptr, error ? error->code().c_str() : nullptr,
            error ? error->message().c_str() : nullptr);
  };
}

template <class Model, class ToJson>
auto modelHandler(pelk_json_handler handler, void* context, ToJson toJson) {
  return jsonHandler<std::shared_ptr<Model>>(handler, context, [toJson](const std::shared_ptr<Model>& m) {
    return m ? std::optional<json>(toJson(*m)) : std::nullopt;
  });
}

}  // namespace
}  // namespace pelk

using pelk::Pelk;

extern "C" {

bool pelk_set_app_id(const char* app_id) {
  if (!app_id) {
    pelk::platform::Console::print("pelk: app id refused: NULL", pelk::platform::Console::Level::Error);
    return false;
  }
  return Pelk::setAppId(app_id);
}

bool pelk_set_data_directory(const char* path) {
  if (!path) {
    pelk::platform::Console::print("pelk: data directory refused: NULL", pelk::platform::Console::Level::Error);
    return false;
  }
  return Pelk::setDataDirectory(path);
}

const char* pelk_data_directory(void) {
  thread_local std::string held;
  held = Pelk::dataDirectory();
  return held.empty() ? nullptr : held.c_str();
}

bool pelk_initialize(const char* publish_key, const char* base_url, const char* mqtt_endpoint) {
  return Pelk::initialize(pelk::textOf(publish_key), pelk::optionalOf(base_url), pelk::optionalOf(mqtt_endpoint));
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
bool pelk_set_gpsd_address(const char* host, int64_t port) { return host && Pelk::setGpsdAddress(host, port); }

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
  if (pelk::capi::publishChoiceOf(publish_json, publish)) Pelk::publishSave(publish);
}
void pelk_publish_only(const char* publish_json) {
  std::optional<pelk::PelkPublish> publish;
  if (pelk::capi::publishChoiceOf(publish_json, publish)) Pelk::publishOnly(publish);
}
void pelk_stop_publishing(void) { Pelk::stopPublishing(); }
void pelk_notification_opened(const char* user_info_json) {
  Pelk::notificationOpenedHandler(pelk::capi::openedNotificationOf(user_info_json));
}
int64_t pelk_location_permission_status(void) { return Pelk::locationPermissionStatus(); }
bool pelk_set_location_permission_status(int64_t status) { return Pelk::setLocationPermissionStatus(status); }
void pelk_report_foreground(void) { Pelk::reportForeground(); }
void pelk_report_background(void) { Pelk::reportBackground(); }
void pelk_report_terminate(void) { Pelk::reportTerminate(); }

}  // extern "C"

// ---- custom tracking
namespace pelk {
namespace {

// Nothing is started when the text is given but is no option set.
bool withCustomMethods(const char* text,
                       const std::function<void(const std::optional<PelkTrackingCustomMethods>&)>& run) {
  if (!text) {
    run(std::nullopt);
    return true;
  }
  std::string why;
  auto options = capi::customMethodsFromJson(text, why);
  if (!options) {
    platform::Console::print("Invalid custom tracking options: " + why, platform::Console::Level::Error);
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

// ---- trips
void pelk_create_trip(bool offline, const char* coordinates_json, pelk_json_handler handler, void* context) {
  auto bridged = pelk::modelHandler<pelk::PelkCreateTrip>(handler, context, pelk::createdTripJson);
  std::optional<nlohmann::json> coordinates;
  if (!pelk::capi::tripCoordinatesOf(coordinates_json, coordinates)) {
    // Dropping text the app meant to send would create a trip it did not ask for.
    if (bridged) bridged(nullptr, pelk::PelkError(pelk::ErrorCode::QB402, "Data not found"));
    return;
  }
  Pelk::createTrip(offline, coordinates, std::move(bridged));
}
void pelk_start_trip(const char* trip_id, const char* description, pelk_text_handler handler, void* context) {
  Pelk::startTrip(pelk::textOf(trip_id), pelk::optionalOf(description), pelk::textHandler(handler, context));
}
void pelk_stop_trip(const char* trip_id, pelk_text_handler handler, void* context) {
  Pelk::stopTrip(pelk::textOf(trip_id), pelk::textHandler(handler, context));
}
void pelk_pause_trip(const char* trip_id, pelk_text_handler handler, void* context) {
  Pelk::pauseTrip(pelk::textOf(trip_id), pelk::textHandler(handler, context));
}
void pelk_resume_trip(const char* trip_id, pelk_text_handler handler, void* context) {
  Pelk::resumeTrip(pelk::textOf(trip_id), pelk::textHandler(handler, context));
}
void pelk_force_end_trip(const char* trip_id, pelk_text_handler handler, void* context) {
  Pelk::forceEndTrip(pelk::textOf(trip_id), pelk::textHandler(handler, context));
}
void pelk_delete_trip(const char* trip_id, pelk_text_handler handler, void* context) {
  Pelk::deleteTrip(pelk::textOf(trip_id), pelk::textHandler(handler, context));
}
void pelk_sync_trip(const char* trip_id, pelk_text_handler handler, void* context) {
  Pelk::syncTrip(pelk::textOf(trip_id), pelk::textHandler(handler, context));
}
void pelk_active_trips(bool offline, pelk_json_handler handler, void* context) {
  using List = std::optional<std::vector<std::shared_ptr<pelk::PelkTrip>>>;
  Pelk::activeTrips(offline,
                    pelk::jsonHandler<List>(handler, context, [](const List& list) -> std::optional<nlohmann::json> {
                      if (!list) return std::nullopt;
                      auto items = nlohmann::json::array();
                      for (const auto& t : *list) {
                        if (t) items.push_back(pelk::tripJson(*t));
                      }
                      return items;
                    }));
}
void pelk_get_trip_details(const char* trip_id, pelk_json_handler handler, void* context) {
  Pelk::getTripDetails(pelk::textOf(trip_id),
                       pelk::modelHandler<pelk::PelkGetTrip>(handler, context, pelk::tripDetailsJson));
}
void pelk_get_trip_summary(const char* trip_id, pelk_json_handler handler, void* context) {
  Pelk::getTripSummary(pelk::textOf(trip_id),
                       pelk::modelHandler<pelk::PelkTripSummary>(handler, context, pelk::tripSummaryJson));
}
void pelk_get_trip_status(const char* trip_id, pelk_json_handler handler, void* context) {
  using Progress = std::optional<pelk::PelkTripListener>;
  Pelk::getTripStatus(
      pelk::textOf(trip_id),
      pelk::jsonHandler<Progress>(handler, context, [](const Progress& p) -> std::optional<nlohmann::json> {
        if (!p) return std::nullopt;
        return pelk::tripProgressJson(*p);
      }));
}
void pelk_is_trip_synced(const char* trip_id, pelk_synced_handler handler, void* context) {
  Pelk::SyncedHandler bridged;
  if (handler) {
    bridged = [handler, context](bool synced, std::optional<pelk::PelkError> error) {
      handler(context, synced, error ? error->code().c_str() : nullptr, error ? error->message().c_str() : nullptr);
    };
  }
  Pelk::isTripSynced(pelk::textOf(trip_id), std::move(bridged));
}
void pelk_subscribe_trip_status(const char* trip_id) { Pelk::subscribeTripStatus(pelk::textOf(trip_id)); }
void pelk_unsubscribe_trip_status(const char* trip_id) { Pelk::unsubscribeTripStatus(pelk::textOf(trip_id)); }

void pelk_set_console_handler(pelk_console_handler handler, void* context) {
  if (!handler) {
    pelk::platform::Console::silence();
    return;
  }
  pelk::platform::Console::setHandler(
      [handler, context](pelk::platform::Console::Level level, const std::string& line) {
        handler(context, static_cast<int>(level), line.c_str());
      });
}
void pelk_use_stdout_console(void) { pelk::platform::Console::useStdout(); }

}  // extern "C"
