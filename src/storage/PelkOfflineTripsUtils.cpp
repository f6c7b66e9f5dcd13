#include "storage/PelkOfflineTripsUtils.h"

#include "platform/Console.h"

#include <algorithm>
#include <cstdint>

#include "device/AppUtili.h"
#include "foundation/DateExtensions.h"
#include "storage/PelkTripStorageManager.h"

namespace pelk {
namespace {

const std::string& createdKind() {
  static const std::string kind = EventType().created;
  return kind;
}

// The event source every event of the store carries, "pelk:trip".
std::string creationEventType(const TripEventsLocal& event) {
  return event.event_source.value_or("") + ":" + createdKind();
}

}  // namespace

std::optional<nlohmann::json> PelkOfflineTripsUtils::getRevizaDevoRoveDict(const TripsLocal& offlineTrip,
                                                                           const std::vector<TripEventsLocal>& events,
                                                                           const MyTrip& mytrip,
                                                                           const std::vector<MyTripRoute>& myroutes) {
  if (!mytrip.tripId || !offlineTrip.user_id || !offlineTrip.created_at || !offlineTrip.updated_at ||
      !offlineTrip.trip_started_at || !offlineTrip.trip_ended_at) {
    return std::nullopt;
  }
  nlohmann::json eventList = nlohmann::json::array();
  for (const auto& event : events) {
    auto object = dictToOfflineEvents(event);
    if (!object) {
      // One unreadable row must not keep the whole trip from ever syncing.
      platform::Console::print("pelk: trip event " + std::to_string(event.objectID) + " is incomplete; not synced");
      continue;
    }
    eventList.push_back(std::move(*object));
  }
  // All time stamps share one format and offset, so text order is time order.
  std::stable_sort(eventList.begin(), eventList.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
    return a["created_at"].get<std::string>() < b["created_at"].get<std::string>();
  });
  auto route = mytripRouteDictionary(myroutes);
  if (!route) return std::nullopt;

  nlohmann::json body = nlohmann::json::object();
  body["trip_id"] = *mytrip.tripId;
  body["user_id"] = *offlineTrip.user_id;
  body["created_at"] = *offlineTrip.created_at;
  body["updated_at"] = *offlineTrip.updated_at;
  body["trip_started_at"] = *offlineTrip.trip_started_at;
  body["trip_ended_at"] = *offlineTrip.trip_ended_at;
  body["distance_covered"] = mytrip.distance;
  body["duration"] = mytrip.duration;
  body["events"] = std::move(eventList);
  // The stored count includes the position applied together with the start;
  // the server counts the positions after it.  A trip with none sends 0.
  body["location_count"] = std::max<int>(0, static_cast<int>(mytrip.location_count) - 1);
  body["route"] = std::move(*route);
  return body;
}

std::optional<nlohmann::json> PelkOfflineTripsUtils::dictToOfflineEvents(const TripEventsLocal& event) {
  if (!event.entityId || !event.trip_id || !event.event_source || !event.event_version || !event.event_type ||
      !event.user_id || !event.created_at) {
    return std::nullopt;
  }
  nlohmann::json object = nlohmann::json::object();
  object["event_id"] = *event.entityId;
  object["trip_id"] = *event.trip_id;
  object["event_source"] = *event.event_source;
  object["event_version"] = *event.event_version;
  object["event_type"] = *event.event_type;
  object["user_id"] = *event.user_id;
  object["created_at"] = *event.created_at;
  if (*event.event_type != creationEventType(event) && event.location_id) {
    object["location_id"] = *event.location_id;
  }
  return object;
}

std::optional<nlohmann::json> PelkOfflineTripsUtils::mytripRouteDictionary(const std::vector<MyTripRoute>& routes) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& route : routes) {
    auto object = routeToDictConvert(route);
    if (!object) {
      platform::Console::print("pelk: route point " + std::to_string(route.objectID) + " is incomplete; not synced");
      continue;
    }
    list.push_back(std::move(*object));
  }
  return list;
}

std::optional<nlohmann::json> PelkOfflineTripsUtils::routeToDictConvert(const MyTripRoute& route) {
  if (!route.recorded_at || !route.activity) return std::nullopt;
  nlohmann::json object = nlohmann::json::object();
  object["recorded_at"] = *route.recorded_at;
  object["accuracy"] = route.accuracy;
  object["activity"] = *route.activity;
  object["alt"] = route.altitude;
  object["lat"] = route.latitude;
  object["lon"] = route.longitude;
  object["location_id"] = route.location_id ? *route.location_id : AppUtilis::getLocationId();
  return object;
}

std::optional<nlohmann::json> PelkOfflineTripsUtils::getDeviruZaveduZavaDict(const TripsLocal& offlineTrip) {
  if (!offlineTrip.location_id || !offlineTrip.created_at || !offlineTrip.trip_ended_at || !offlineTrip.trip_id ||
      !offlineTrip.trip_started_at || !offlineTrip.updated_at || !offlineTrip.user_id) {
    return std::nullopt;
  }
  nlohmann::json dict = nlohmann::json::object();
  dict["distance_covered"] = offlineTrip.distance_covered;
  dict["duration"] = offlineTrip.duration;
  dict["location_id"] = *offlineTrip.location_id;
  dict["created_at"] = *offlineTrip.created_at;
  dict["is_deleted"] = offlineTrip.is_deleted;
  dict["is_ended"] = offlineTrip.is_ended;
  dict["is_paused"] = offlineTrip.is_paused;
  dict["is_started"] = offlineTrip.is_started;
  dict["trip_ended_at"] = *offlineTrip.trip_ended_at;
  dict["id"] = *offlineTrip.trip_id;
  dict["trip_started_at"] = *offlineTrip.trip_started_at;
  dict["updated_at"] = *offlineTrip.updated_at;
  dict["user_id"] = *offlineTrip.user_id;
  dict["trip_tracking_url"] = "";
  return dict;
}

std::shared_ptr<PelkTrip> PelkOfflineTripsUtils::convertActiveTrip(const TripsLocal& trip) {
  nlohmann::json dict = nlohmann::json::object();
  if (trip.created_at) dict["created_at"] = *trip.created_at;
  if (trip.trip_id) dict["id"] = *trip.trip_id;
  dict["is_deleted"] = trip.is_deleted;
  dict["is_ended"] = trip.is_ended;
  dict["is_paused"] = trip.is_paused;
  dict["is_started"] = trip.is_started;
  if (trip.updated_at) dict["updated_at"] = *trip.updated_at;
  if (trip.sync_status) dict["syncStatus"] = *trip.sync_status;
  return PelkTrip::fromDictionary(dict);
}

std::shared_ptr<PelkGetTrip> PelkOfflineTripsUtils::convertDiridoZedIdiv(const TripsLocal& trip,
                                                                         const std::vector<TripEventsLocal>& events,
                                                                         const std::optional<MyTrip>& progress) {
  if (!trip.trip_id) return nullptr;
  auto built = convertZorodaZeveEvent(trip, events);
  nlohmann::json dict = nlohmann::json::object();
  if (trip.created_at) dict["created_at"] = *trip.created_at;
  dict["destinations"] = nlohmann::json::array();
  dict["distance_covered"] = progress ? progress->distance : 0.0;
  dict["duration"] = progress ? static_cast<float>(liveDuration(*progress)) : 0.0f;
  dict["events"] = nlohmann::json::array();
  dict["id"] = *trip.trip_id;
  dict["is_deleted"] = trip.is_deleted;
  dict["is_ended"] = trip.is_ended;
  dict["is_paused"] = trip.is_paused;
  dict["is_started"] = trip.is_started;
  dict["origins"] = nlohmann::json::array();
  dict["project_id"] = "";
  if (trip.trip_ended_at) dict["trip_ended_at"] = *trip.trip_ended_at;
  if (trip.trip_started_at) dict["trip_started_at"] = *trip.trip_started_at;
  if (trip.updated_at) dict["updated_at"] = *trip.updated_at;
  if (trip.user_id) dict["user_id"] = *trip.user_id;
  return PelkGetTrip::fromDictionary(dict, std::move(built));
}

std::vector<std::shared_ptr<PelkTripEvent>> PelkOfflineTripsUtils::convertZorodaZeveEvent(
    const TripsLocal& trip, const std::vector<TripEventsLocal>& events) {
  std::vector<std::shared_ptr<PelkTripEvent>> out;
  for (const auto& event : events) {
    nlohmann::json dict = nlohmann::json::object();
    if (event.created_at) dict["created_at"] = *event.created_at;
    if (event.event_type) dict["event_type"] = *event.event_type;
    if (event.entityId) dict["id"] = *event.entityId;
    dict["is_deleted"] = trip.is_deleted;
    if (trip.trip_id) dict["trip_id"] = *trip.trip_id;
    if (trip.user_id) dict["user_id"] = *trip.user_id;
    if (trip.location_id) dict["user_location_id"] = *trip.location_id;
    if (auto built = PelkTripEvent::fromDictionary(dict)) out.push_back(std::move(built));
  }
  return out;
}

std::shared_ptr<PelkTripSummary> PelkOfflineTripsUtils::convertZorodaZeveSummary(
    const TripsLocal& trip, const std::optional<MyTrip>& progress, const std::vector<MyTripRoute>& route) {
  if (!trip.trip_id) return nullptr;
  std::vector<std::shared_ptr<PelkTripSummaryRoute>> built;
  if (progress) built = convertZorodaZeveSummaryRoute(route);
  nlohmann::json dict = nlohmann::json::object();
  dict["project_id"] = "";
  dict["trip_id"] = *trip.trip_id;
  dict["trip_status"] = progress ? progress->status.value_or("") : "";
  if (trip.user_id) dict["user_id"] = *trip.user_id;
  dict["route"] = nlohmann::json::array();
  dict["distance_covered"] = progress ? progress->distance : 0.0;
  dict["duration"] = progress ? toInt(liveDuration(*progress)) : std::int64_t{0};
  return PelkTripSummary::fromDictionary(dict, std::move(built));
}

std::vector<std::shared_ptr<PelkTripSummaryRoute>> PelkOfflineTripsUtils::convertZorodaZeveSummaryRoute(
    const std::vector<MyTripRoute>& route) {
  std::vector<std::shared_ptr<PelkTripSummaryRoute>> out;
  for (const auto& point : route) {
    nlohmann::json dict = nlohmann::json::object();
    if (point.activity) dict["activity"] = *point.activity;
    dict["altitude"] = point.altitude;
    if (point.recorded_at) dict["recorded_at"] = *point.recorded_at;
    dict["coordinates"] = {{"coordinates", nlohmann::json::array({point.latitude, point.longitude})}};
    if (auto built = PelkTripSummaryRoute::fromDictionary(dict)) out.push_back(std::move(built));
  }
  return out;
}

}  // namespace pelk
