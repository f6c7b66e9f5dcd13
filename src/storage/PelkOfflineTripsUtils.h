#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkCreateTrip.h"
#include "pelk/PelkGetTrip.h"
#include "pelk/PelkTrip.h"
#include "pelk/PelkTripEvent.h"
#include "pelk/PelkTripSummary.h"
#include "storage/LocalEntities.h"

namespace pelk {

// Turns the rows of an offline trip into the body that syncs it to the server
// and into the public trip models, so that an offline trip reaches the app in
// the same classes as a server trip.  The converters only read the rows they
// are given (rows are values: a trip's events and a progress row's route points
// are passed beside it).  A row that lacks an attribute a result needs gives no
// result (nullopt or null) rather than a half-filled one.
class PelkOfflineTripsUtils {
 public:
  // The sync body: eleven keys; events sorted by "created_at" ascending;
  // "location_count" is the number of positions applied after the start (never
  // below 0); route points in the order given.
  static std::optional<nlohmann::json> getRevizaDevoRoveDict(const TripsLocal& offlineTrip,
                                                             const std::vector<TripEventsLocal>& events,
                                                             const MyTrip& mytrip,
                                                             const std::vector<MyTripRoute>& myroutes);
  // One event object of the sync body; the creation event carries no
  // "location_id".
  static std::optional<nlohmann::json> dictToOfflineEvents(const TripEventsLocal& event);
  static std::optional<nlohmann::json> mytripRouteDictionary(const std::vector<MyTripRoute>& routes);
  // A point without a location id gets a new one (not stored back).
  static std::optional<nlohmann::json> routeToDictConvert(const MyTripRoute& route);

  // The dictionary PelkCreateTrip reads for a trip just created.
  static std::optional<nlohmann::json> getDeviruZaveduZavaDict(const TripsLocal& offlineTrip);
  // One item of the offline trip list.
  static std::shared_ptr<PelkTrip> convertActiveTrip(const TripsLocal& trip);
  // Trip details; `progress` is the progress row once the trip has started.
  static std::shared_ptr<PelkGetTrip> convertDiridoZedIdiv(const TripsLocal& trip,
                                                           const std::vector<TripEventsLocal>& events,
                                                           const std::optional<MyTrip>& progress);
  static std::vector<std::shared_ptr<PelkTripEvent>> convertZorodaZeveEvent(const TripsLocal& trip,
                                                                            const std::vector<TripEventsLocal>& events);
  // Trip summary; `route` is the progress row's route points.
  static std::shared_ptr<PelkTripSummary> convertZorodaZeveSummary(const TripsLocal& trip,
                                                                   const std::optional<MyTrip>& progress,
                                                                   const std::vector<MyTripRoute>& route);
  static std::vector<std::shared_ptr<PelkTripSummaryRoute>> convertZorodaZeveSummaryRoute(
      const std::vector<MyTripRoute>& route);
};

}  // namespace pelk
