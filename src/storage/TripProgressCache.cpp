// The trip store's progress cache: one MyTrip row per tracked trip (server
// and offline trips alike) with its route points, advanced by every accepted
// position, and the queries over it.

#include <charconv>
#include <cmath>
#include <set>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/VuvivaZuvovo.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "storage/PelkTripStorageManager.h"
#include "storage/TripStoreRows.h"

namespace pelk {
namespace storage {
namespace {

// A position without a finite latitude and longitude (a receiver without a fix
// reports NaN) says nothing about where the trip went.
bool hasPlace(const platform::Location& location) { return location.hasFiniteCoordinate(); }

void reportUnusable(const std::string& what) {
  platform::Console::print("Position without a finite coordinate not applied to " + what);
}

// The trip has a place to measure the next position from: its first route
// point is written with the start when the start position has one.
bool hasRoute(TripRows& rows, const MyTrip& trip) {
  static const auto* sql =
      new std::string(std::string("SELECT 1 FROM ") + MyTripRoute::entityName + " WHERE trip = ? LIMIT 1");
  return rows.any(*sql, static_cast<std::int64_t>(trip.objectID));
}

platform::Location pointOf(const MyTrip& trip) {
  platform::Location stored;
  stored.coordinate = {trip.latitude, trip.longitude};
  return stored;
}

void insertRoute(TripRows& rows, const std::string& activity, double latitude, double longitude, double altitude,
                 const std::string& recordedAt, const std::string& tripId, std::int64_t progressKey,
                 const std::optional<std::string>& locationId, double accuracy) {
  MyTripRoute point;
  point.latitude = latitude;
  point.longitude = longitude;
  point.tripId = tripId;
  point.activity = activity;
  point.altitude = altitude;
  point.recorded_at = recordedAt;
  point.entityId = AppUtilis::getLocationId();
  point.location_id = locationId;
  point.accuracy = accuracy;
  if (progressKey != 0) point.trip = progressKey;
  rows.insert(point);
}

const std::string& deleteRouteOfTripSql() {
  static const auto* sql = new std::string(std::string("DELETE FROM ") + MyTripRoute::entityName + " WHERE tripId = ?");
  return *sql;
}

bool hasLocalTrip(TripRows& rows, const std::string& tripId) {
  static const auto* sql =
      new std::string(std::string("SELECT 1 FROM ") + TripsLocal::entityName + " WHERE trip_id = ? LIMIT 1");
  return rows.any(*sql, tripId);
}

void removeProgress(TripRows& rows, const std::string& tripId) {
  static const auto* progress = new std::string(std::string("DELETE FROM ") + MyTrip::entityName + " WHERE tripId = ?");
  rows.execute(deleteRouteOfTripSql(), tripId);
  rows.execute(*progress, tripId);
}

// The shortest decimal text that reads back as the same number, with at least
// one digit after the point for ordinary values (0.0, 1.5, 12.25).
std::string decimalText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::optional<MyTrip> singleProgress(TripRows& rows, const std::string& tripId) {
  auto found = rows.select<MyTrip>(" WHERE tripId = ? LIMIT 2", tripId);
  if (found.size() != 1 || found.front().tripId != tripId) return std::nullopt;
  return found.front();
}

void startProgress(TripRows& rows, const platform::Location& location, double distance, const std::string& startTime,
                   std::int64_t speed, const std::optional<std::string>& locationId, const std::string& status,
                   const std::string& tripId) {
  auto existing = rows.select<MyTrip>(" WHERE tripId = ?" + orderByKey(), tripId);
  MyTrip row = existing.empty() ? MyTrip{} : existing.front();
  row.distance = distance;
  // Started all the same without a place; its route then begins with the
  // first usable position.
  const bool place = hasPlace(location);
  row.latitude = place ? location.coordinate.latitude : 0;
  row.longitude = place ? location.coordinate.longitude : 0;
  row.speed = saturatingInt16(speed);
  row.locationId = locationId;
  row.status = status;
  row.tripId = tripId;
  row.start_time = startTime;
  row.update_time = startTime;
  row.duration = 0;
  row.location_count = 0;
  if (existing.empty()) {
    row.objectID = rows.insert(row);
  } else {
    // A repeated start restarts the trip's progress: its old route goes.
    rows.execute(deleteRouteOfTripSql(), tripId);
    rows.update(row);
  }
  if (!place) {
    reportUnusable("the start of trip " + tripId);
    return;
  }
  insertRoute(rows, "s", row.latitude, row.longitude, location.altitude, startTime, tripId, row.objectID, locationId,
              location.horizontalAccuracy);
}

bool changeStatus(TripRows& rows, const std::string& tripId, const std::string& status,
                  const platform::Location& location) {
  auto row = singleProgress(rows, tripId);
  if (!row) return false;
  const auto now = platform::Clock::now();
  // Only time and movement while the trip is under way count: a repeated pause
  // or end (a server trip ended, then force-ended) adds nothing.
  const bool accrue = (status == kTripPaused || status == kTripEnd) && row->status == kTripOngoing;
  // The status changes whatever the position; a position without a place
  // leaves the distance and the last point as they are.
  const bool place = hasPlace(location);
  if (!place) reportUnusable("the distance of trip " + tripId);
  if (accrue) {
    row->duration += accruedSeconds(row->update_time, now);
    if (place && hasRoute(rows, *row)) row->distance += location.distance(pointOf(*row));
  }
  if (place) {
    row->longitude = location.coordinate.longitude;
    row->latitude = location.coordinate.latitude;
  }
  row->status = status;
  row->update_time = iso8601(now);
  rows.update(*row);
  return true;
}

}  // namespace storage

using storage::TripRows;

// ---- Trip progress ----

void PelkTripStorageManager::saveTripData(const platform::Location& location, double distance,
                                          const std::string& startTime, std::int64_t speed,
                                          const std::optional<std::string>& locationId, const std::string& status,
                                          const std::string& tripId) {
  {
    // Marked before the row is written: a row in the file always has its mark.
    platform::LockGuard lock(mutex_);
    progressStarted_[tripId] = ++progressSerial_;
  }
  storage::writeOrLog(*context(), "progress of trip " + tripId + " not started", [&](TripRows& rows) {
    storage::startProgress(rows, location, distance, startTime, speed, locationId, status, tripId);
  });
}

void PelkTripStorageManager::addRoute(const std::string& activity, double latitude, double longitude, double altitude,
                                      const std::string& recordedAt, const std::string& tripId, const MyTrip& trip,
                                      const std::optional<std::string>& locationId, double accuracy) {
  storage::writeOrLog(*context(), "route point of trip " + tripId + " not stored", [&](TripRows& rows) {
    storage::insertRoute(rows, activity, latitude, longitude, altitude, recordedAt, tripId, trip.objectID, locationId,
                         accuracy);
  });
}

void PelkTripStorageManager::updateAllActiveTrips(const platform::Location& location, const std::string& activity,
                                                  const std::optional<std::string>& locationId) {
  if (!storage::hasPlace(location)) {
    // Leaves every trip as it was: distance, last point, route and count.
    storage::reportUnusable("the ongoing trips");
    return;
  }
  storage::writeOrLog(*context(), "position not applied to the ongoing trips", [&](TripRows& rows) {
    auto ongoing = rows.select<MyTrip>(" WHERE status = ?" + storage::orderByKey(), std::string(kTripOngoing));
    if (ongoing.empty()) return;
    // One location id for this position, shared by the route of every trip.
    const std::string pointId = locationId ? *locationId : AppUtilis::getLocationId();
    const auto now = platform::Clock::now();
    const std::string stamp = iso8601(now);
    for (auto& row : ongoing) {
      // A trip started without a place measures from its first usable point.
      if (storage::hasRoute(rows, row)) row.distance += location.distance(storage::pointOf(row));
      row.longitude = location.coordinate.longitude;
      row.latitude = location.coordinate.latitude;
      row.duration += storage::accruedSeconds(row.update_time, now);
      row.update_time = stamp;
      row.location_count = saturatingInt16(static_cast<std::int64_t>(row.location_count) + 1);
      rows.update(row);
      storage::insertRoute(rows, activity, location.coordinate.latitude, location.coordinate.longitude,
                           location.altitude, stamp, row.tripId.value_or(""), row.objectID, pointId,
                           location.horizontalAccuracy);
    }
  });
}

void PelkTripStorageManager::updateStatusOfTrip(const std::string& tripId, const std::string& status,
                                                const platform::Location& location) {
  storage::writeOrLog(*context(), "status of trip " + tripId + " not changed",
                      [&](TripRows& rows) { storage::changeStatus(rows, tripId, status, location); });
}

// ---- Server trips ----

std::uint64_t PelkTripStorageManager::progressMark() const {
  platform::LockGuard lock(mutex_);
  return progressSerial_;
}

void PelkTripStorageManager::endServerTrip(const std::string& tripId, const platform::Location& location) {
  bool removed = false;
  const bool done =
      storage::writeOrLog(*context(), "progress of ended trip " + tripId + " not removed", [&](TripRows& rows) {
        if (storage::hasLocalTrip(rows, tripId)) {
          storage::changeStatus(rows, tripId, kTripEnd, location);
          return;
        }
        storage::removeProgress(rows, tripId);
        removed = true;
      });
  if (done && removed) {
    platform::LockGuard lock(mutex_);
    progressStarted_.erase(tripId);
  }
}

void PelkTripStorageManager::keepServerTrips(const std::vector<std::shared_ptr<PelkTrip>>& active, std::uint64_t mark) {
  std::set<std::string> running;
  std::set<std::string> over;
  bool whole = true;
  for (const auto& trip : active) {
    if (!trip || !trip->tripId()) {
      whole = false;
      continue;
    }
    (trip->ended() || trip->deleted() ? over : running).insert(*trip->tripId());
  }
  std::set<std::string> recent;
  {
    platform::LockGuard lock(mutex_);
    for (const auto& [tripId, serial] : progressStarted_) {
      if (serial > mark) recent.insert(tripId);
    }
  }
  static const auto* serverTripsSql =
      new std::string(std::string("SELECT DISTINCT tripId FROM ") + MyTrip::entityName +
                      " WHERE tripId IS NOT NULL AND tripId NOT IN (SELECT trip_id FROM " + TripsLocal::entityName +
                      " WHERE trip_id IS NOT NULL)");
  std::vector<std::string> removed;
  const bool done =
      storage::writeOrLog(*context(), "progress of trips the server no longer runs not removed", [&](TripRows& rows) {
        std::vector<std::string> server;
        {
          auto q = rows.statement(*serverTripsSql);
          while (q->executeStep()) server.push_back(q->getColumn(0).getString());
        }
        for (const auto& tripId : server) {
          if (recent.count(tripId) || running.count(tripId)) continue;
          if (!whole && !over.count(tripId)) continue;
          storage::removeProgress(rows, tripId);
          removed.push_back(tripId);
        }
      });
  if (!done) return;
  platform::LockGuard lock(mutex_);
  for (const auto& tripId : removed) progressStarted_.erase(tripId);
}

// ---- Progress queries ----

std::vector<MyTrip> PelkTripStorageManager::fetchAllTripData() {
  return storage::readOrLog(*context(), std::nullopt,
                            [](TripRows& rows) { return rows.select<MyTrip>(storage::orderByKey()); });
}

std::optional<MyTrip> PelkTripStorageManager::getTripData(const std::string& tripId) {
  return storage::readOrLog(*context(), "progress of trip " + tripId + " not read",
                            [&](TripRows& rows) { return storage::singleProgress(rows, tripId); });
}

std::vector<MyTrip> PelkTripStorageManager::getAllTripData(const std::string& tripId) {
  return storage::readOrLog(*context(), "progress of trip " + tripId + " not read", [&](TripRows& rows) {
    return rows.select<MyTrip>(" WHERE tripId = ?" + storage::orderByKey(), tripId);
  });
}

bool PelkTripStorageManager::checkIfTripStarted(const std::string& tripId) { return getTripData(tripId).has_value(); }

std::map<std::string, std::string> PelkTripStorageManager::tripListener(const std::string& tripId) {
  std::map<std::string, std::string> values{{"distance", ""}, {"time", ""}};
  if (auto row = getTripData(tripId)) values["distance"] = storage::decimalText(row->distance);
  return values;
}

void PelkTripStorageManager::getTripListener(const std::string& tripId, ListenerHandler handler) {
  const auto row = getTripData(tripId);
  if (!handler) return;
  if (!row) {
    handler(std::nullopt, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID));
    return;
  }
  const double duration = liveDuration(*row);
  handler(PelkTripListener(*row->tripId, tripSpeed(row->distance, duration), row->distance, duration,
                           row->start_time.value_or("")),
          std::nullopt);
}

double PelkTripStorageManager::getDuration(const MyTrip& trip) { return liveDuration(trip); }

std::optional<PelkTripStatusListener> PelkTripStorageManager::getTripStatusListener(const std::string& tripId) {
  const auto row = getTripData(tripId);
  if (!row) return std::nullopt;
  const double duration = liveDuration(*row);
  return PelkTripStatusListener(*row->tripId, tripSpeed(row->distance, duration), row->distance, duration,
                                row->start_time.value_or(""), tripPace(duration, row->distance), row->latitude,
                                row->longitude);
}

void PelkTripStorageManager::sendTripStatusIfOngoing(const std::string& tripId) {
  const auto row = getTripData(tripId);
  if (!row || row->status != kTripOngoing) return;
  const auto receiver = tripstore::links::didReceiveTripStatus.get();
  if (!receiver) return;
  const double duration = liveDuration(*row);
  receiver(PelkTripStatusListener(*row->tripId, tripSpeed(row->distance, duration), row->distance, duration,
                                  row->start_time.value_or(""), tripPace(duration, row->distance), row->latitude,
                                  row->longitude));
}

}  // namespace pelk
