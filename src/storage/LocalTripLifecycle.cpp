// The trip store's offline trips: created, started, paused, resumed, ended
// and deleted on the device, each change with its event and its progress in
// one transaction.

#include <algorithm>
#include <stdexcept>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "storage/PelkOfflineTripsUtils.h"
#include "storage/PelkTripStorageManager.h"
#include "storage/TripStoreRows.h"

namespace pelk {
namespace storage {
namespace {

std::string nowText() { return iso8601(platform::Clock::now()); }

std::optional<std::string> textOf(const nlohmann::json& request, const char* key) {
  if (!request.is_object()) return std::nullopt;
  const auto it = request.find(key);
  if (it == request.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool isSet(const nlohmann::json& request, const char* key) {
  if (!request.is_object()) return false;
  const auto it = request.find(key);
  return it != request.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

std::optional<TripsLocal> singleLocalTrip(TripRows& rows, const std::string& tripId) {
  auto found = rows.select<TripsLocal>(" WHERE trip_id = ? LIMIT 2", tripId);
  if (found.size() != 1 || found.front().trip_id != tripId) return std::nullopt;
  return found.front();
}

TripEventsLocal makeEvent(const std::string& tripId, const std::string& kind, const TripsLocal& trip,
                          const std::string& time, const std::string& source, const std::string& version,
                          const std::string& userId) {
  TripEventsLocal event;
  event.entityId = AppUtilis::getLocationId();
  event.trip_id = tripId;
  event.created_at = time;
  event.event_source = source;
  event.event_type = source + ":" + kind;
  event.event_version = version;
  event.user_id = userId;
  event.location_id = trip.location_id;
  if (trip.objectID != 0) event.trip = trip.objectID;
  return event;
}

}  // namespace storage

using storage::report;
using storage::TripRows;

void PelkTripStorageManager::createTrip(const std::string& locationId, const std::string& tripId,
                                        CreateTripHandler handler) {
  TripsLocal trip;
  trip.trip_id = tripId;
  trip.user_id = TokenManager::getUserId();
  trip.location_id = locationId;
  trip.created_at = storage::nowText();
  trip.updated_at = storage::nowText();
  trip.trip_started_at = "";
  trip.trip_ended_at = "";
  trip.sync_status = SyncStatus().not_synced;
  const std::string createdAt = storage::nowText();

  const bool created = storage::writeOrLog(*context(), "trip " + tripId + " not created", [&](TripRows& rows) {
    // A second trip row under one id would make both unreachable.
    if (!rows.select<TripsLocal>(" WHERE trip_id = ? LIMIT 1", tripId).empty()) {
      throw std::runtime_error("a local trip " + tripId + " exists already");
    }
    trip.objectID = rows.insert(trip);
    rows.insert(
        storage::makeEvent(tripId, EventType().created, trip, createdAt, event_source, event_version, *trip.user_id));
  });
  if (!created) {
    if (handler) handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
    return;
  }
  if (!handler) return;
  std::shared_ptr<PelkCreateTrip> model;
  if (const auto dict = PelkOfflineTripsUtils::getDeviruZaveduZavaDict(trip)) {
    model = PelkCreateTrip::fromDictionary(*dict);
  }
  if (model) {
    handler(model, std::nullopt);
  } else {
    handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
  }
}

std::vector<TripsLocal> PelkTripStorageManager::getActivetrips() {
  return storage::readOrLog(*context(), std::nullopt, [](TripRows& rows) {
    return rows.select<TripsLocal>(" WHERE synced = ?" + storage::orderByKey(), false);
  });
}

std::vector<TripsLocal> PelkTripStorageManager::getActivetripsWithoutQuery() {
  return storage::readOrLog(*context(), std::nullopt,
                            [](TripRows& rows) { return rows.select<TripsLocal>(storage::orderByKey()); });
}

struct PelkTripStorageManager::Action {
  enum class Step { start, pause, resume, end };
  Step step;
  ErrorCode code;
  const std::string& refusal;
  const std::string& failure;
  const std::string& success;
  std::string kind;
};

void PelkTripStorageManager::runAction(const Action& action, const nlohmann::json& request,
                                       const platform::Location& location, const TextCompletion& completion) {
  using S = Action::Step;
  const auto tripId = storage::textOf(request, "trip_id");
  if (!tripId) {
    report(completion, std::nullopt, PelkError(action.code, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
    return;
  }
  const auto locationId = storage::textOf(request, "location_id");
  const std::string now = storage::nowText();
  // The kit's requests always carry these times; a request without one takes
  // the moment of the action.
  const std::string startedAt = storage::textOf(request, "trip_started_at").value_or(now);
  const std::string endedAt = storage::textOf(request, "trip_ended_at").value_or(now);
  const std::string userId = TokenManager::getUserId();

  enum class Result { notFound, refused, ended, done } result = Result::notFound;
  // The trip row, its event and its progress change together or not at all.
  const bool written = storage::writeOrLog(*context(), "trip " + *tripId + " not changed", [&](TripRows& rows) {
    auto trip = storage::singleLocalTrip(rows, *tripId);
    if (!trip) return;
    const bool refused = (action.step == S::start && trip->is_started) ||
                         (action.step == S::pause && trip->is_paused) ||
                         (action.step == S::resume && !trip->is_paused) || (action.step == S::end && trip->is_ended);
    if (refused) {
      result = Result::refused;
      return;
    }
    // An ended trip stays ended: reopened, it could never end or sync again.
    if (trip->is_ended && (action.step == S::pause || action.step == S::resume)) {
      result = Result::ended;
      return;
    }
    trip->updated_at = now;
    trip->location_id = locationId;
    std::string eventTime = now;
    switch (action.step) {
      case S::start:
        trip->is_started = true;
        trip->trip_started_at = startedAt;
        eventTime = startedAt;
        break;
      case S::pause:
        trip->is_paused = true;
        break;
      case S::resume:
        trip->is_paused = false;
        break;
      case S::end:
        trip->is_ended = true;
        trip->trip_ended_at = endedAt;
        eventTime = endedAt;
        break;
    }
    rows.update(*trip);
    rows.insert(storage::makeEvent(*tripId, action.kind, *trip, eventTime, event_source, event_version, userId));
    switch (action.step) {
      case S::start:
        storage::startProgress(rows, location, 0, startedAt, 0, locationId, kTripOngoing, *tripId);
        break;
      case S::pause:
        storage::changeStatus(rows, *tripId, kTripPaused, location);
        break;
      case S::resume:
        storage::changeStatus(rows, *tripId, kTripOngoing, location);
        break;
      case S::end:
        storage::changeStatus(rows, *tripId, kTripEnd, location);
        break;
    }
    result = Result::done;
  });
  if (!written) {
    report(completion, std::nullopt, PelkError(action.code, action.failure));
    return;
  }
  switch (result) {
    case Result::notFound:
      report(completion, std::nullopt, PelkError(action.code, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
      return;
    case Result::refused:
      report(completion, std::nullopt, PelkError(action.code, action.refusal));
      return;
    case Result::ended:
      report(completion, std::nullopt, PelkError(action.code, VuvivaZuvovo::TRIP_ALREADY_ENDED));
      return;
    case Result::done:
      break;
  }
  if (action.step == S::start || action.step == S::resume) {
    tripstore::links::sendDataServer(location, kStationary, locationId);
    tripstore::links::updateLocation(location, kStationary);
  }
  report(completion, action.success, std::nullopt);
}

void PelkTripStorageManager::startTrip(const nlohmann::json& request, const platform::Location& location,
                                       TextCompletion completion) {
  runAction({Action::Step::start, ErrorCode::QB413, VuvivaZuvovo::TRIP_ALREADY_STARTED, VuvivaZuvovo::TRIP_START_ERROR,
             VuvivaZuvovo::TRIP_STARTED_SUCESS, EventType().started},
            request, location, completion);
}

void PelkTripStorageManager::pauseTrip(const nlohmann::json& request, const platform::Location& location,
                                       TextCompletion completion) {
  runAction({Action::Step::pause, ErrorCode::QB416, VuvivaZuvovo::TRIP_ALREADY_PAUSE, VuvivaZuvovo::TRIP_PAUSE_ERROR,
             VuvivaZuvovo::TRIP_PAUSE_SUCESS, EventType().paused},
            request, location, completion);
}

void PelkTripStorageManager::resumeTrip(const nlohmann::json& request, const platform::Location& location,
                                        TextCompletion completion) {
  runAction({Action::Step::resume, ErrorCode::QB417, VuvivaZuvovo::TRIP_ALREADY_RESUME, VuvivaZuvovo::TRIP_RESUME_ERROR,
             VuvivaZuvovo::TRIP_RESUME_SUCESS, EventType().resumed},
            request, location, completion);
}

void PelkTripStorageManager::stopTrip(const nlohmann::json& request, const platform::Location& location,
                                      TextCompletion completion) {
  runAction({Action::Step::end, ErrorCode::QB414, VuvivaZuvovo::TRIP_ALREADY_ENDED, VuvivaZuvovo::TRIP_END_ERROR,
             VuvivaZuvovo::TRIP_END_SUCESS, EventType().ended},
            request, location, completion);
}

bool PelkTripStorageManager::removeTripRows(const std::string& tripId) {
  // Each entity by the attribute that holds the trip id, events before their trip.
  static const auto* sql = new std::vector<std::string>{
      std::string("DELETE FROM ") + TripEventsLocal::entityName + " WHERE trip_id = ?",
      std::string("DELETE FROM ") + TripsLocal::entityName + " WHERE trip_id = ?",
      std::string("DELETE FROM ") + MyTripRoute::entityName + " WHERE tripId = ?",
      std::string("DELETE FROM ") + MyTrip::entityName + " WHERE tripId = ?",
  };
  return storage::writeOrLog(*context(), "trip " + tripId + " not deleted", [&](TripRows& rows) {
    for (const auto& text : *sql) rows.execute(text, tripId);
  });
}

void PelkTripStorageManager::deleteTrip(const std::string& tripId, TextCompletion completion) {
  bool syncing = false;
  {
    platform::LockGuard lock(mutex_);
    syncing = syncInFlight_.count(tripId) != 0;
    if (!syncing) ++deleting_[tripId];
  }
  if (syncing) {
    // Deleting now would tell the app the trip is gone while the server may
    // be storing it.
    platform::Console::print("Trip " + tripId + " is being synced and was not deleted");
    report(completion, std::nullopt, PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_DELETE_ERROR));
    return;
  }
  const bool removed = removeTripRows(tripId);
  {
    platform::LockGuard lock(mutex_);
    if (--deleting_[tripId] == 0) deleting_.erase(tripId);
  }
  if (!removed) {
    report(completion, std::nullopt, PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_DELETE_ERROR));
    return;
  }
  report(completion, VuvivaZuvovo::TRIP_DELETE_SUCESS, std::nullopt);
}

bool PelkTripStorageManager::deleteEntity(const std::string& tripId, const std::string& entityName,
                                          const std::string& key) {
  // Entity and attribute names reach the SQL text, so only the store's own
  // names are accepted.
  const std::vector<std::string>* names = nullptr;
  if (entityName == MyTrip::entityName) names = &MyTrip::attributeNames();
  if (entityName == MyTripRoute::entityName) names = &MyTripRoute::attributeNames();
  if (entityName == TripsLocal::entityName) names = &TripsLocal::attributeNames();
  if (entityName == TripEventsLocal::entityName) names = &TripEventsLocal::attributeNames();
  if (!names || std::find(names->begin(), names->end(), key) == names->end()) {
    platform::Console::print("Unknown entity or attribute " + entityName + "." + key);
    return false;
  }
  return storage::writeOrLog(*context(), entityName + " rows of trip " + tripId + " not deleted", [&](TripRows& rows) {
    rows.execute("DELETE FROM " + entityName + " WHERE " + key + " = ?", tripId);
  });
}

bool PelkTripStorageManager::getTripStatus(const std::string& tripId) {
  const auto row = getTripData(tripId);
  return row && row->status == kTripEnd;
}

bool PelkTripStorageManager::getSyncStatus(const std::string& tripId) {
  const auto row = getTripDataLocal(tripId);
  return row && row->synced;
}

void PelkTripStorageManager::createEvent(const std::string& tripId, const std::string& kind,
                                         const TripsLocal& triplocal, const std::string& time) {
  const std::string userId = TokenManager::getUserId();
  storage::writeOrLog(*context(), "event of trip " + tripId + " not stored", [&](TripRows& rows) {
    rows.insert(storage::makeEvent(tripId, kind, triplocal, time, event_source, event_version, userId));
  });
}

void PelkTripStorageManager::trip(const nlohmann::json& request, TextCompletion completion,
                                  const std::optional<platform::Location>& location) {
  struct Entry {
    const char* key;
    void (PelkTripStorageManager::*run)(const nlohmann::json&, const platform::Location&, TextCompletion);
    ErrorCode code;
    const std::string& failure;
  };
  const Entry entries[] = {
      {"start", &PelkTripStorageManager::startTrip, ErrorCode::QB413, VuvivaZuvovo::TRIP_START_ERROR},
      {"trip_pause", &PelkTripStorageManager::pauseTrip, ErrorCode::QB416, VuvivaZuvovo::TRIP_PAUSE_ERROR},
      {"trip_resume", &PelkTripStorageManager::resumeTrip, ErrorCode::QB417, VuvivaZuvovo::TRIP_RESUME_ERROR},
      {"end", &PelkTripStorageManager::stopTrip, ErrorCode::QB414, VuvivaZuvovo::TRIP_END_ERROR},
  };
  bool acted = false;
  for (const auto& entry : entries) {
    if (!storage::isSet(request, entry.key)) continue;
    acted = true;
    if (!location) {
      // Every action records a position; without one nothing is changed.
      report(completion, std::nullopt, PelkError(entry.code, entry.failure));
      continue;
    }
    (this->*entry.run)(request, *location, completion);
  }
  if (!acted) report(completion, std::nullopt, PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
}

bool PelkTripStorageManager::checkIfLocalTrip(const std::string& tripId) {
  return getTripDataLocal(tripId).has_value();
}

}  // namespace pelk
