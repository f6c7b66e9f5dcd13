#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Location.h"

namespace pelk {

// Where the REST client records a successful server trip action: the trip
// progress of the local store, which sits above this layer and installs the
// recorder.  The recorder is called on the main queue; an unset member records
// nothing.
struct TripProgressRecorder {
  // PelkTripStorageManager::saveTripData(position, 0, startedAt, 0,
  // locationId, "ongoing", tripId).
  std::function<void(const platform::Location& location, const std::string& startedAt,
                     const std::optional<std::string>& locationId, const std::string& tripId)>
      start;
  // PelkTripStorageManager::updateStatusOfTrip(tripId, status, position).
  std::function<void(const std::string& tripId, const std::string& status, const platform::Location& location)>
      updateStatus;
};

TripProgressRecorder tripProgressRecorder();
void setTripProgressRecorder(TripProgressRecorder recorder);

// Records the actions a successful request asked for: "start", "trip_pause",
// "trip_resume" and "end", each only when it holds the boolean true, in that
// order.  A start needs the texts "trip_id" and "trip_started_at", the others
// "trip_id"; an action without them records nothing.
void recordTripAction(const nlohmann::json& request, const platform::Location& location);

}  // namespace pelk
