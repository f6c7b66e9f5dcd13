#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkTrip.h"
#include "platform/Link.h"
#include "platform/Location.h"

namespace pelk {

// Where the REST client records a successful server trip action, and what
// the server's list of active trips says: the trip progress of the local
// store, which sits above this layer; the manager installs the links
// (manager/Links.cpp).  They are called on the main queue (mark on the
// caller's thread); an unset link records nothing.
namespace triprecording::links {
// PelkTripStorageManager::saveTripData(position, 0, startedAt, 0,
// locationId, "ongoing", tripId).
inline constinit platform::Link<void(const platform::Location& location, const std::string& startedAt,
                                     const std::optional<std::string>& locationId, const std::string& tripId)>
    start;
// PelkTripStorageManager::updateStatusOfTrip(tripId, status, position);
// an "end" is PelkTripStorageManager::endServerTrip(tripId, position).
inline constinit platform::Link<void(const std::string& tripId, const std::string& status,
                                     const platform::Location& location)>
    updateStatus;
// Taken when the list of active trips is asked for: what the store has
// recorded up to then (unset: 0).
inline constinit platform::Link<std::uint64_t()> mark;
// The list the server answered to the request made at `mark`.
inline constinit platform::Link<void(const std::vector<std::shared_ptr<PelkTrip>>& active, std::uint64_t mark)>
    activeTrips;
}  // namespace triprecording::links

// Records the actions a successful request asked for: "start", "trip_pause",
// "trip_resume" and "end", each only when it holds the boolean true, in that
// order.  A start needs the texts "trip_id" and "trip_started_at", the others
// "trip_id"; an action without them records nothing.
void recordTripAction(const nlohmann::json& request, const platform::Location& location);

}  // namespace pelk
