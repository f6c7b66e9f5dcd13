#include "storage/PelkTripStorageManager.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <stdexcept>

#include <SQLiteCpp/SQLiteCpp.h>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/Reachability.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "storage/EntityMapping.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkOfflineTripsUtils.h"

namespace pelk {
namespace {

// ---- SQL helpers: names come from the entity descriptors, values are bound ----

inline void bindAll(SQLite::Statement&, int) {}

template <class T, class... Rest>
void bindAll(SQLite::Statement& q, int index, const T& value, const Rest&... rest) {
  if constexpr (std::is_same_v<T, bool>) {
    q.bind(index, static_cast<int>(value));
  } else {
    q.bind(index, value);
  }
  bindAll(q, index + 1, rest...);
}

// Rows of E; `suffix` is the WHERE / ORDER BY part with ? marks for `args`.
template <class E, class... Args>
std::vector<E> selectRows(SQLite::Database& db, const std::string& suffix, const Args&... args) {
  SQLite::Statement q(db, storage::selectSql<E>() + suffix);
  bindAll(q, 1, args...);
  std::vector<E> rows;
  while (q.executeStep()) rows.push_back(storage::readRow<E>(q));
  return rows;
}

template <class E>
std::int64_t insertRow(SQLite::Database& db, const E& row) {
  SQLite::Statement q(db, storage::insertSql<E>());
  storage::bindColumns(q, row);
  q.exec();
  return db.getLastInsertRowid();
}

template <class E>
void updateRow(SQLite::Database& db, const E& row) {
  std::string sql = std::string("UPDATE ") + E::entityName + " SET ";
  bool first = true;
  for (const auto& c : storage::columnsOf<E>()) {
    if (!first) sql += ", ";
    first = false;
    sql += std::string(c.name) + " = ?";
  }
  sql += std::string(" WHERE ") + storage::kPrimaryKey + " = ?";
  SQLite::Statement q(db, sql);
  storage::bindColumns(q, row);
  q.bind(static_cast<int>(storage::columnsOf<E>().size()) + 1, static_cast<std::int64_t>(row.objectID));
  q.exec();
}

template <class... Args>
void execute(SQLite::Database& db, const std::string& sql, const Args&... args) {
  SQLite::Statement q(db, sql);
  bindAll(q, 1, args...);
  q.exec();
}

const std::string kOrderByKey = std::string(" ORDER BY ") + storage::kPrimaryKey;

std::string nowText() { return iso8601(platform::Clock::now()); }

// Seconds from a stored update time to `now`, never negative: a clock moved
// back or a start time in the future adds nothing.  A time that does not read
// back adds nothing either (the caller restarts the clock from now).
double accruedSeconds(const OptionalText& updateTime, platform::TimePoint now) {
  if (!updateTime) return 0;
  const auto last = getDate(*updateTime);
  if (!last) return 0;
  const double seconds = secondsFrom(now, *last);
  return seconds > 0 ? seconds : 0;
}

// A position without a finite latitude and longitude (a receiver without a fix
// reports NaN) says nothing about where the trip went.
bool hasPlace(const platform::Location& location) { return location.hasFiniteCoordinate(); }

void reportUnusable(const std::string& what) {
  platform::Console::print("Position without a finite coordinate not applied to " + what);
}

// The trip has a place to measure the next position from: its first route
// point is written with the start when the start position has one.
bool hasRoute(SQLite::Database& db, const MyTrip& trip) {
  SQLite::Statement q(db, std::string("SELECT 1 FROM ") + MyTripRoute::entityName + " WHERE trip = ? LIMIT 1");
  q.bind(1, static_cast<std::int64_t>(trip.objectID));
  return q.executeStep();
}

platform::Location pointOf(const MyTrip& trip) {
  platform::Location stored;
  stored.coordinate = {trip.latitude, trip.longitude};
  return stored;
}

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

// The single progress row of a trip id (none when none or several match).
std::optional<MyTrip> singleProgress(SQLite::Database& db, const std::string& tripId) {
  auto rows = selectRows<MyTrip>(db, " WHERE tripId = ? LIMIT 2", tripId);
  if (rows.size() != 1 || rows.front().tripId != tripId) return std::nullopt;
  return rows.front();
}

std::optional<TripsLocal> singleLocalTrip(SQLite::Database& db, const std::string& tripId) {
  auto rows = selectRows<TripsLocal>(db, " WHERE trip_id = ? LIMIT 2", tripId);
  if (rows.size() != 1 || rows.front().trip_id != tripId) return std::nullopt;
  return rows.front();
}

void insertRoute(SQLite::Database& db, const std::string& activity, double latitude, double longitude,
                 double altitude, const std::string& recordedAt, const std::string& tripId,
                 std::int64_t progressKey, const std::optional<std::string>& locationId, double accuracy) {
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
  insertRow(db, point);
}

// Starts (or restarts in place) the progress row of a trip.
void startProgress(SQLite::Database& db, const platform::Location& location, double distance,
                   const std::string& startTime, std::int64_t speed, const std::optional<std::string>& locationId,
                   const std::string& status, const std::string& tripId) {
  auto existing = selectRows<MyTrip>(db, " WHERE tripId = ?" + kOrderByKey, tripId);
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
    row.objectID = insertRow(db, row);
  } else {
    // A repeated start restarts the trip's progress: its old route goes.
    execute(db, std::string("DELETE FROM ") + MyTripRoute::entityName + " WHERE tripId = ?", tripId);
    updateRow(db, row);
  }
  if (!place) {
    reportUnusable("the start of trip " + tripId);
    return;
  }
  insertRoute(db, "s", row.latitude, row.longitude, location.altitude, startTime, tripId, row.objectID, locationId,
              location.horizontalAccuracy);
}

// False when the trip id has no single progress row.
bool changeStatus(SQLite::Database& db, const std::string& tripId, const std::string& status,
                  const platform::Location& location) {
  auto row = singleProgress(db, tripId);
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
    if (place && hasRoute(db, *row)) row->distance += location.distance(pointOf(*row));
  }
  if (place) {
    row->longitude = location.coordinate.longitude;
    row->latitude = location.coordinate.latitude;
  }
  row->status = status;
  row->update_time = iso8601(now);
  updateRow(db, *row);
  return true;
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

// The shortest decimal text that reads back as the same number, with at least
// one digit after the point for ordinary values (0.0, 1.5, 12.25).
std::string decimalText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

void report(const PelkTripStorageManager::TextCompletion& completion, std::optional<std::string> text,
            std::optional<PelkError> error) {
  if (completion) completion(std::move(text), std::move(error));
}

}  // namespace

double liveDuration(const MyTrip& trip) {
  if (trip.status != kTripOngoing) return trip.duration;
  return trip.duration + accruedSeconds(trip.update_time, platform::Clock::now());
}

double tripSpeed(double distance, double duration) {
  if (!(duration > 0) || !std::isfinite(duration)) return 0;
  return distance / duration;
}

double tripPace(double duration, double distance) {
  if (duration == 0 && distance == 0) return 0;
  if (std::isnan(duration) || std::isnan(distance)) return 0;
  return duration / distance;
}

// ---- The store object ----

PelkTripStorageManager& PelkTripStorageManager::shared() {
  static auto* instance = [] {
    PelkCoreDataStack stack;
    auto* store = new PelkTripStorageManager(stack.managedObjectContext());
    return store;
  }();
  return *instance;
}

struct PelkTripStorageManager::Lifeline {
  // Held only to count the retries running.  Lock order: a leaf
  // (platform/LockOrder.h).
  std::mutex mutex;
  std::condition_variable idle;
  PelkTripStorageManager* store = nullptr;
  int running = 0;
};

PelkTripStorageManager::PelkTripStorageManager(std::shared_ptr<platform::Database> context)
    : context_(std::move(context)), lifeline_(std::make_shared<Lifeline>()) {
  lifeline_->store = this;
}

PelkTripStorageManager::~PelkTripStorageManager() {
  std::unique_lock lock(lifeline_->mutex);
  lifeline_->store = nullptr;
  lifeline_->idle.wait(lock, [&] { return lifeline_->running == 0; });
}

std::shared_ptr<platform::Database> PelkTripStorageManager::context() const {
  std::lock_guard lock(mutex_);
  return context_;
}

void PelkTripStorageManager::setContext(std::shared_ptr<platform::Database> context) {
  std::lock_guard lock(mutex_);
  context_ = std::move(context);
  retries_.clear();
}

// ---- Trip progress ----

void PelkTripStorageManager::saveTripData(const platform::Location& location, double distance,
                                          const std::string& startTime, std::int64_t speed,
                                          const std::optional<std::string>& locationId, const std::string& status,
                                          const std::string& tripId) {
  {
    // Marked before the row is written: a row in the file always has its mark.
    std::lock_guard lock(mutex_);
    progressStarted_[tripId] = ++progressSerial_;
  }
  auto db = context();
  const auto outcome = db->write(
      [&](SQLite::Database& c) { startProgress(c, location, distance, startTime, speed, locationId, status, tripId); });
  if (!outcome) storage::logStoreFailure(*db, outcome, "progress of trip " + tripId + " not started");
}

void PelkTripStorageManager::addRoute(const std::string& activity, double latitude, double longitude,
                                      double altitude, const std::string& recordedAt, const std::string& tripId,
                                      const MyTrip& trip, const std::optional<std::string>& locationId,
                                      double accuracy) {
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    insertRoute(c, activity, latitude, longitude, altitude, recordedAt, tripId, trip.objectID, locationId, accuracy);
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "route point of trip " + tripId + " not stored");
}

void PelkTripStorageManager::updateAllActiveTrips(const platform::Location& location, const std::string& activity,
                                                  const std::optional<std::string>& locationId) {
  if (!hasPlace(location)) {
    // Leaves every trip as it was: distance, last point, route and count.
    reportUnusable("the ongoing trips");
    return;
  }
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    auto rows = selectRows<MyTrip>(c, " WHERE status = ?" + kOrderByKey, std::string(kTripOngoing));
    if (rows.empty()) return;
    // One location id for this position, shared by the route of every trip.
    const std::string pointId = locationId ? *locationId : AppUtilis::getLocationId();
    const auto now = platform::Clock::now();
    const std::string stamp = iso8601(now);
    for (auto& row : rows) {
      // A trip started without a place measures from its first usable point.
      if (hasRoute(c, row)) row.distance += location.distance(pointOf(row));
      row.longitude = location.coordinate.longitude;
      row.latitude = location.coordinate.latitude;
      row.duration += accruedSeconds(row.update_time, now);
      row.update_time = stamp;
      row.location_count = saturatingInt16(static_cast<std::int64_t>(row.location_count) + 1);
      updateRow(c, row);
      insertRoute(c, activity, location.coordinate.latitude, location.coordinate.longitude, location.altitude, stamp,
                  row.tripId.value_or(""), row.objectID, pointId, location.horizontalAccuracy);
    }
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "position not applied to the ongoing trips");
}

void PelkTripStorageManager::updateStatusOfTrip(const std::string& tripId, const std::string& status,
                                                const platform::Location& location) {
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) { changeStatus(c, tripId, status, location); });
  if (!outcome) storage::logStoreFailure(*db, outcome, "status of trip " + tripId + " not changed");
}

// ---- Server trips ----

namespace {

bool hasLocalTrip(SQLite::Database& db, const std::string& tripId) {
  SQLite::Statement q(db, std::string("SELECT 1 FROM ") + TripsLocal::entityName + " WHERE trip_id = ? LIMIT 1");
  q.bind(1, tripId);
  return q.executeStep();
}

void removeProgress(SQLite::Database& db, const std::string& tripId) {
  execute(db, std::string("DELETE FROM ") + MyTripRoute::entityName + " WHERE tripId = ?", tripId);
  execute(db, std::string("DELETE FROM ") + MyTrip::entityName + " WHERE tripId = ?", tripId);
}

}  // namespace

std::uint64_t PelkTripStorageManager::progressMark() const {
  std::lock_guard lock(mutex_);
  return progressSerial_;
}

void PelkTripStorageManager::endServerTrip(const std::string& tripId, const platform::Location& location) {
  bool removed = false;
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    if (hasLocalTrip(c, tripId)) {
      changeStatus(c, tripId, kTripEnd, location);
      return;
    }
    removeProgress(c, tripId);
    removed = true;
  });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "progress of ended trip " + tripId + " not removed");
    return;
  }
  if (removed) {
    std::lock_guard lock(mutex_);
    progressStarted_.erase(tripId);
  }
}

void PelkTripStorageManager::keepServerTrips(const std::vector<std::shared_ptr<PelkTrip>>& active,
                                             std::uint64_t mark) {
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
    std::lock_guard lock(mutex_);
    for (const auto& [tripId, serial] : progressStarted_) {
      if (serial > mark) recent.insert(tripId);
    }
  }
  std::vector<std::string> removed;
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    std::vector<std::string> server;
    {
      SQLite::Statement q(c, std::string("SELECT DISTINCT tripId FROM ") + MyTrip::entityName +
                                 " WHERE tripId IS NOT NULL AND tripId NOT IN (SELECT trip_id FROM " +
                                 TripsLocal::entityName + " WHERE trip_id IS NOT NULL)");
      while (q.executeStep()) server.push_back(q.getColumn(0).getString());
    }
    for (const auto& tripId : server) {
      if (recent.count(tripId) || running.count(tripId)) continue;
      if (!whole && !over.count(tripId)) continue;
      removeProgress(c, tripId);
      removed.push_back(tripId);
    }
  });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "progress of trips the server no longer runs not removed");
    return;
  }
  std::lock_guard lock(mutex_);
  for (const auto& tripId : removed) progressStarted_.erase(tripId);
}

// ---- Progress queries ----

std::vector<MyTrip> PelkTripStorageManager::fetchAllTripData() {
  std::vector<MyTrip> rows;
  const auto outcome = context()->read([&](SQLite::Database& c) { rows = selectRows<MyTrip>(c, kOrderByKey); });
  if (!outcome) {
    platform::Console::print("\"unable to fetch device data\"");
    return {};
  }
  return rows;
}

std::optional<MyTrip> PelkTripStorageManager::getTripData(const std::string& tripId) {
  std::optional<MyTrip> row;
  auto db = context();
  const auto outcome = db->read([&](SQLite::Database& c) { row = singleProgress(c, tripId); });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "progress of trip " + tripId + " not read");
    return std::nullopt;
  }
  return row;
}

std::vector<MyTrip> PelkTripStorageManager::getAllTripData(const std::string& tripId) {
  std::vector<MyTrip> rows;
  auto db = context();
  const auto outcome =
      db->read([&](SQLite::Database& c) { rows = selectRows<MyTrip>(c, " WHERE tripId = ?" + kOrderByKey, tripId); });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "progress of trip " + tripId + " not read");
    return {};
  }
  return rows;
}

bool PelkTripStorageManager::checkIfTripStarted(const std::string& tripId) { return getTripData(tripId).has_value(); }

std::map<std::string, std::string> PelkTripStorageManager::tripListener(const std::string& tripId) {
  std::map<std::string, std::string> values{{"distance", ""}, {"time", ""}};
  if (auto row = getTripData(tripId)) values["distance"] = decimalText(row->distance);
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

// ---- Local trip lifecycle ----

void PelkTripStorageManager::createTrip(const std::string& locationId, const std::string& tripId,
                                        CreateTripHandler handler) {
  TripsLocal trip;
  trip.trip_id = tripId;
  trip.user_id = TokenManager::getUserId();
  trip.location_id = locationId;
  trip.created_at = nowText();
  trip.updated_at = nowText();
  trip.trip_started_at = "";
  trip.trip_ended_at = "";
  trip.sync_status = SyncStatus().not_synced;
  const std::string createdAt = nowText();

  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    // A second trip row under one id would make both unreachable.
    if (!selectRows<TripsLocal>(c, " WHERE trip_id = ? LIMIT 1", tripId).empty()) {
      throw std::runtime_error("a local trip " + tripId + " exists already");
    }
    trip.objectID = insertRow(c, trip);
    insertRow(c, makeEvent(tripId, EventType().created, trip, createdAt, event_source, event_version,
                           *trip.user_id));
  });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "trip " + tripId + " not created");
    if (handler) handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
    return;
  }
  if (!handler) return;
  std::shared_ptr<PelkCreateTrip> created;
  if (const auto dict = PelkOfflineTripsUtils::getDeviruZaveduZavaDict(trip)) {
    created = PelkCreateTrip::fromDictionary(*dict);
  }
  if (created) {
    handler(created, std::nullopt);
  } else {
    handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
  }
}

std::vector<TripsLocal> PelkTripStorageManager::getActivetrips() {
  std::vector<TripsLocal> rows;
  const auto outcome = context()->read(
      [&](SQLite::Database& c) { rows = selectRows<TripsLocal>(c, " WHERE synced = ?" + kOrderByKey, false); });
  if (!outcome) {
    platform::Console::print("\"unable to fetch device data\"");
    return {};
  }
  return rows;
}

std::vector<TripsLocal> PelkTripStorageManager::getActivetripsWithoutQuery() {
  std::vector<TripsLocal> rows;
  const auto outcome = context()->read([&](SQLite::Database& c) { rows = selectRows<TripsLocal>(c, kOrderByKey); });
  if (!outcome) {
    platform::Console::print("\"unable to fetch device data\"");
    return {};
  }
  return rows;
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
  const auto tripId = textOf(request, "trip_id");
  if (!tripId) {
    report(completion, std::nullopt, PelkError(action.code, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
    return;
  }
  const auto locationId = textOf(request, "location_id");
  const std::string now = nowText();
  // The kit's requests always carry these times; a request without one takes
  // the moment of the action.
  const std::string startedAt = textOf(request, "trip_started_at").value_or(now);
  const std::string endedAt = textOf(request, "trip_ended_at").value_or(now);
  const std::string userId = TokenManager::getUserId();

  enum class Result { notFound, refused, ended, done } result = Result::notFound;
  auto db = context();
  // The trip row, its event and its progress change together or not at all.
  const auto outcome = db->write([&](SQLite::Database& c) {
    auto trip = singleLocalTrip(c, *tripId);
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
    updateRow(c, *trip);
    insertRow(c, makeEvent(*tripId, action.kind, *trip, eventTime, event_source, event_version, userId));
    switch (action.step) {
      case S::start:
        startProgress(c, location, 0, startedAt, 0, locationId, kTripOngoing, *tripId);
        break;
      case S::pause:
        changeStatus(c, *tripId, kTripPaused, location);
        break;
      case S::resume:
        changeStatus(c, *tripId, kTripOngoing, location);
        break;
      case S::end:
        changeStatus(c, *tripId, kTripEnd, location);
        break;
    }
    result = Result::done;
  });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "trip " + *tripId + " not changed");
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
  runAction({Action::Step::resume, ErrorCode::QB417, VuvivaZuvovo::TRIP_ALREADY_RESUME,
             VuvivaZuvovo::TRIP_RESUME_ERROR, VuvivaZuvovo::TRIP_RESUME_SUCESS, EventType().resumed},
            request, location, completion);
}

void PelkTripStorageManager::stopTrip(const nlohmann::json& request, const platform::Location& location,
                                      TextCompletion completion) {
  runAction({Action::Step::end, ErrorCode::QB414, VuvivaZuvovo::TRIP_ALREADY_ENDED, VuvivaZuvovo::TRIP_END_ERROR,
             VuvivaZuvovo::TRIP_END_SUCESS, EventType().ended},
            request, location, completion);
}

bool PelkTripStorageManager::removeTripRows(const std::string& tripId) {
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    execute(c, std::string("DELETE FROM ") + TripEventsLocal::entityName + " WHERE trip_id = ?", tripId);
    execute(c, std::string("DELETE FROM ") + TripsLocal::entityName + " WHERE trip_id = ?", tripId);
    execute(c, std::string("DELETE FROM ") + MyTripRoute::entityName + " WHERE tripId = ?", tripId);
    execute(c, std::string("DELETE FROM ") + MyTrip::entityName + " WHERE tripId = ?", tripId);
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "trip " + tripId + " not deleted");
  return outcome.ok;
}

void PelkTripStorageManager::deleteTrip(const std::string& tripId, TextCompletion completion) {
  bool syncing = false;
  {
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
  auto db = context();
  const auto outcome = db->write(
      [&](SQLite::Database& c) { execute(c, "DELETE FROM " + entityName + " WHERE " + key + " = ?", tripId); });
  if (!outcome) storage::logStoreFailure(*db, outcome, entityName + " rows of trip " + tripId + " not deleted");
  return outcome.ok;
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
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    insertRow(c, makeEvent(tripId, kind, triplocal, time, event_source, event_version, userId));
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "event of trip " + tripId + " not stored");
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
    if (!isSet(request, entry.key)) continue;
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

// ---- Local trip queries and sync ----

std::vector<std::shared_ptr<PelkTrip>> PelkTripStorageManager::convertActiveTrip() {
  std::vector<std::shared_ptr<PelkTrip>> list;
  for (const auto& row : getActivetripsWithoutQuery()) {
    if (auto item = PelkOfflineTripsUtils::convertActiveTrip(row)) list.push_back(std::move(item));
  }
  return list;
}

std::optional<TripsLocal> PelkTripStorageManager::getTripDataLocal(const std::string& tripId) {
  std::optional<TripsLocal> row;
  auto db = context();
  const auto outcome = db->read([&](SQLite::Database& c) { row = singleLocalTrip(c, tripId); });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "trip " + tripId + " not read");
    return std::nullopt;
  }
  return row;
}

std::vector<TripEventsLocal> PelkTripStorageManager::eventsOf(const TripsLocal& trip) {
  std::vector<TripEventsLocal> rows;
  auto db = context();
  const auto outcome = db->read([&](SQLite::Database& c) {
    rows = selectRows<TripEventsLocal>(c, " WHERE trip = ?" + kOrderByKey, static_cast<std::int64_t>(trip.objectID));
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "trip events not read");
  return rows;
}

std::vector<MyTripRoute> PelkTripStorageManager::routeOf(const MyTrip& trip) {
  std::vector<MyTripRoute> rows;
  auto db = context();
  const auto outcome = db->read([&](SQLite::Database& c) {
    rows = selectRows<MyTripRoute>(c, " WHERE trip = ?" + kOrderByKey, static_cast<std::int64_t>(trip.objectID));
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "trip route not read");
  return rows;
}

void PelkTripStorageManager::getTrip(const std::string& tripId, GetTripHandler handler) {
  const auto progress = getTripData(tripId);
  const auto row = getTripDataLocal(tripId);
  std::shared_ptr<PelkGetTrip> model;
  if (row) model = PelkOfflineTripsUtils::convertDiridoZedIdiv(*row, eventsOf(*row), progress);
  if (!handler) return;
  if (model) {
    handler(model, std::nullopt);
  } else {
    handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID));
  }
}

void PelkTripStorageManager::getTripSummary(const std::string& tripId, SummaryHandler handler) {
  const auto progress = getTripData(tripId);
  const auto row = getTripDataLocal(tripId);
  std::shared_ptr<PelkTripSummary> model;
  if (row) {
    model = PelkOfflineTripsUtils::convertZorodaZeveSummary(*row, progress,
                                                           progress ? routeOf(*progress) : std::vector<MyTripRoute>{});
  }
  if (!handler) return;
  if (model) {
    handler(model, std::nullopt);
  } else {
    handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID));
  }
}

bool PelkTripStorageManager::isSyncInFlight(const std::string& tripId) const {
  std::lock_guard lock(mutex_);
  return syncInFlight_.count(tripId) != 0;
}

void PelkTripStorageManager::syncTrip(const std::string& tripId, TextCompletion handler) {
  enum class Claim { claimed, inFlight, deleting } claim = Claim::claimed;
  {
    std::lock_guard lock(mutex_);
    if (deleting_.count(tripId) != 0) {
      claim = Claim::deleting;
    } else if (!syncInFlight_.insert(tripId).second) {
      claim = Claim::inFlight;
    }
  }
  if (claim == Claim::inFlight) {
    // Already on its way; a second copy could store the trip twice.
    report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID_SYNC));
    return;
  }
  if (claim == Claim::deleting) {
    // Its rows are going: nothing of it may reach the server.
    report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
    return;
  }
  auto release = [this, tripId] {
    std::lock_guard lock(mutex_);
    syncInFlight_.erase(tripId);
  };

  // The body is read and the trip queued in one transaction, so the body is
  // what the store held when the trip was queued.
  enum class Found { missing, notEnded, unwritable, ready } found = Found::missing;
  std::optional<std::string> text;
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    auto row = singleLocalTrip(c, tripId);
    if (!row) return;
    const auto progress = singleProgress(c, tripId);
    if (!progress || progress->status != kTripEnd) {
      // A trip still under way would be deleted after the upload and its later
      // positions lost.
      found = Found::notEnded;
      return;
    }
    const auto events =
        selectRows<TripEventsLocal>(c, " WHERE trip = ?" + kOrderByKey, static_cast<std::int64_t>(row->objectID));
    const auto routes = selectRows<MyTripRoute>(c, " WHERE tripId = ?" + kOrderByKey, tripId);
    const auto body = PelkOfflineTripsUtils::getRevizaDevoRoveDict(*row, events, *progress, routes);
    text = body ? jsonString(*body) : std::nullopt;
    if (!text) {
      found = Found::unwritable;
      return;
    }
    // Queued before anything leaves: a failed request is sent again later.
    row->synced = true;
    row->sync_status = SyncStatus().sync_in_progress;
    updateRow(c, *row);
    found = Found::ready;
  });
  if (!outcome) {
    release();
    storage::logStoreFailure(*db, outcome, "trip " + tripId + " not queued for sync");
    report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
    return;
  }
  switch (found) {
    case Found::missing:
      release();
      forgetSyncRetry(tripId);
      report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
      return;
    case Found::notEnded:
      release();
      report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID_NOT_ENDED));
      return;
    case Found::unwritable:
      release();
      platform::Console::print("Trip " + tripId + " cannot be written as a sync body");
      report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
      return;
    case Found::ready:
      break;
  }

  tripstore::links::syncTrip(*text, [this, tripId, handler, release](std::optional<std::string> message, std::optional<PelkError> error) {
    if (message == VuvivaZuvovo::TRIP_SUCESS) {
      // Still claimed by this sync, so no deletion runs beside this one.
      const bool removed = removeTripRows(tripId);
      release();
      if (!removed) {
        // Its rows stay, queued: it goes again until they are gone.
        planSyncRetry(tripId);
        report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_DELETE_ERROR));
      } else {
        forgetSyncRetry(tripId);
        report(handler, message, std::nullopt);
      }
      return;
    }
    release();
    // Anything but the server's acceptance leaves the trip queued, to be sent
    // again without waiting for a change of network.
    planSyncRetry(tripId);
    if (!error) error = PelkError(ErrorCode::QB500, isNilOrEmpty(message) ? VuvivaZuvovo::ERROR_SERVER : *message);
    report(handler, "", error);
  });
}

std::optional<platform::Duration> PelkTripStorageManager::plannedSyncRetry(const std::string& tripId) const {
  std::lock_guard lock(mutex_);
  const auto it = retries_.find(tripId);
  if (it == retries_.end()) return std::nullopt;
  return it->second.wait;
}

void PelkTripStorageManager::planSyncRetry(const std::string& tripId) {
  PlannedRetry plan;
  {
    std::lock_guard lock(mutex_);
    auto& retry = retries_[tripId];
    retry.wait = kSyncRetryFirstWait;
    for (int i = 0; i < retry.refusals && retry.wait < kSyncRetryLongestWait; ++i) retry.wait *= 2;
    retry.wait = std::min(retry.wait, kSyncRetryLongestWait);
    ++retry.refusals;
    retry.generation = ++retryGeneration_;
    plan = retry;
  }
  std::weak_ptr<Lifeline> weak = lifeline_;
  platform::Dispatch::main().asyncAfter(plan.wait, [weak, tripId, generation = plan.generation] {
    const auto life = weak.lock();
    if (!life) return;
    PelkTripStorageManager* store = nullptr;
    {
      std::lock_guard lock(life->mutex);
      store = life->store;
      if (!store) return;
      ++life->running;
    }
    struct Done {
      Lifeline& life;
      ~Done() {
        std::lock_guard lock(life.mutex);
        --life.running;
        life.idle.notify_all();
      }
    } done{*life};
    store->retrySync(tripId, generation);
  });
}

void PelkTripStorageManager::forgetSyncRetry(const std::string& tripId) {
  std::lock_guard lock(mutex_);
  retries_.erase(tripId);
}

void PelkTripStorageManager::retrySync(const std::string& tripId, std::uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    const auto it = retries_.find(tripId);
    // A later plan, or the trip's acceptance, took its place.
    if (it == retries_.end() || it->second.generation != generation) return;
    // A sync of it is on its way: its reply plans what follows.
    if (syncInFlight_.count(tripId) != 0) return;
  }
  const auto row = getTripDataLocal(tripId);
  if (!row || !row->synced || !row->is_ended) {
    // Gone, or no longer queued: nothing to send.
    forgetSyncRetry(tripId);
    return;
  }
  if (!ReachabilityCheck::isConnectedToNetwork()) {
    // Sent while online only; the wait goes on (a change of network sends it
    // at once as well).
    planSyncRetry(tripId);
    return;
  }
  syncTrip(tripId);
}

void PelkTripStorageManager::updateLocalTrip(const std::string& tripId, const std::string& status) {
  auto db = context();
  const auto outcome = db->write([&](SQLite::Database& c) {
    auto row = singleLocalTrip(c, tripId);
    if (!row) return;
    row->synced = true;
    row->sync_status = status;
    updateRow(c, *row);
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "sync state of trip " + tripId + " not stored");
}

std::vector<TripsLocal> PelkTripStorageManager::getSyncEnded() {
  std::vector<TripsLocal> rows;
  const auto outcome = context()->read([&](SQLite::Database& c) {
    rows = selectRows<TripsLocal>(c, " WHERE is_ended = ? AND synced = ?" + kOrderByKey, true, true);
  });
  if (!outcome) {
    platform::Console::print("\"unable to fetch device data\"");
    return {};
  }
  return rows;
}

std::vector<MyTripRoute> PelkTripStorageManager::getMyTripRouteDetails(const std::string& tripId) {
  std::vector<MyTripRoute> rows;
  auto db = context();
  const auto outcome = db->read(
      [&](SQLite::Database& c) { rows = selectRows<MyTripRoute>(c, " WHERE tripId = ?" + kOrderByKey, tripId); });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "route of trip " + tripId + " not read");
    return {};
  }
  return rows;
}

}  // namespace pelk
