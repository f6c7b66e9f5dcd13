#pragma once

// The trip store's rows, shared by the files of PelkTripStorageManager: one
// transaction's view of the store file (TripRows) over the file's kept
// statements and the entity mapping, the row operations more than one job of
// the store needs, and the one way a failed operation is told.

#include <condition_variable>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "platform/Database.h"
#include "platform/Location.h"
#include "platform/ThreadSafety.h"
#include "storage/EntityMapping.h"
#include "storage/PelkTripStorageManager.h"

namespace pelk {

// Shared with the planned retries, which run on the main queue: they reach
// the store only while it lives, and its destructor waits for one running.
struct PelkTripStorageManager::Lifeline {
  // Held only to count the retries running.  Lock order: a leaf
  // (platform/LockOrder.h).
  platform::Mutex mutex;
  std::condition_variable idle;
  PelkTripStorageManager* store PELK_GUARDED_BY(mutex) = nullptr;
  int running PELK_GUARDED_BY(mutex) = 0;
};

namespace storage {

// " ORDER BY pk": rows in the order they were written.
inline const std::string& orderByKey() {
  static const auto* text = new std::string(std::string(" ORDER BY ") + kPrimaryKey);
  return *text;
}

// One transaction of the trip store, as a body of platform::Database gets it.
// Statements are the file's kept ones; names in SQL text come only from the
// entity mapping or the store's own constants, and every value is bound.
class TripRows {
 public:
  TripRows(platform::Database& store, SQLite::Database& connection) : store_(store), connection_(connection) {}

  // Rows of E; `where` is the WHERE / ORDER BY part with a ? mark per value.
  template <class E, class... Values>
  std::vector<E> select(const std::string& where, const Values&... values) {
    auto q = store_.statement(selectSql<E>() + where);
    bindValues(*q, values...);
    std::vector<E> rows;
    while (q->executeStep()) rows.push_back(readRow<E>(*q));
    return rows;
  }

  // The new row's key.
  template <class E>
  std::int64_t insert(const E& row) {
    auto q = store_.statement(insertSql<E>());
    bindColumns(*q, row);
    q->exec();
    return connection_.getLastInsertRowid();
  }

  // Every column of the row under its key.
  template <class E>
  void update(const E& row) {
    auto q = store_.statement(updateByKeySql<E>());
    bindColumns(*q, row);
    q->bind(static_cast<int>(columnsOf<E>().size()) + 1, static_cast<std::int64_t>(row.objectID));
    q->exec();
  }

  template <class... Values>
  void execute(const std::string& sql, const Values&... values) {
    auto q = store_.statement(sql);
    bindValues(*q, values...);
    q->exec();
  }

  // True when the query answers a row.
  template <class... Values>
  bool any(const std::string& sql, const Values&... values) {
    auto q = store_.statement(sql);
    bindValues(*q, values...);
    return q->executeStep();
  }

  platform::Database::Statement statement(const std::string& sql) { return store_.statement(sql); }

 private:
  template <class... Values>
  static void bindValues(SQLite::Statement& q, const Values&... values) {
    int index = 1;
    (bindValue(q, index++, values), ...);
  }

  template <class T>
  static void bindValue(SQLite::Statement& q, int index, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
      q.bind(index, static_cast<int>(value));
    } else {
      q.bind(index, value);
    }
  }

  platform::Database& store_;
  SQLite::Database& connection_;
};

// One console line for a failed operation of the trip store: the file's error
// and `consequence`, what the failure means for the caller.  The whole-list
// reads give no consequence and print their own short line instead.
void logTripStoreFailure(const platform::Database& db, const platform::Database::Outcome& outcome,
                         const std::optional<std::string>& consequence);

// Runs `body` (given the TripRows of the transaction) as one read of the
// store and answers what it returns; a read that fails is logged and
// answers the empty value.
template <class Body>
auto readOrLog(platform::Database& db, const std::optional<std::string>& consequence, Body&& body)
    -> std::invoke_result_t<Body&, TripRows&> {
  using Result = std::invoke_result_t<Body&, TripRows&>;
  Result result{};
  const auto outcome = db.read([&](SQLite::Database& c) {
    TripRows rows(db, c);
    result = body(rows);
  });
  if (!outcome) {
    logTripStoreFailure(db, outcome, consequence);
    return Result{};
  }
  return result;
}

// Runs `body` as one write; false (after a log line) when it did not commit.
template <class Body>
bool writeOrLog(platform::Database& db, const std::string& consequence, Body&& body) {
  const auto outcome = db.write([&](SQLite::Database& c) {
    TripRows rows(db, c);
    body(rows);
  });
  if (!outcome) logTripStoreFailure(db, outcome, consequence);
  return outcome.ok;
}

// ---- Rows more than one job of the store works on ----

// The single progress row of a trip id (none when none or several match).
std::optional<MyTrip> singleProgress(TripRows& rows, const std::string& tripId);
// The single offline trip of a trip id (none when none or several match).
std::optional<TripsLocal> singleLocalTrip(TripRows& rows, const std::string& tripId);

// Starts (or restarts in place) the progress row of a trip, with its first
// route point when the position has a place.
void startProgress(TripRows& rows, const platform::Location& location, double distance, const std::string& startTime,
                   std::int64_t speed, const std::optional<std::string>& locationId, const std::string& status,
                   const std::string& tripId);
// Moves a progress row to a new status; false when the trip id has no single
// progress row.
bool changeStatus(TripRows& rows, const std::string& tripId, const std::string& status,
                  const platform::Location& location);

TripEventsLocal makeEvent(const std::string& tripId, const std::string& kind, const TripsLocal& trip,
                          const std::string& time, const std::string& source, const std::string& version,
                          const std::string& userId);

// Seconds from a stored update time to `now`, never negative.
double accruedSeconds(const OptionalText& updateTime, platform::TimePoint now);

void report(const PelkTripStorageManager::TextCompletion& completion, std::optional<std::string> text,
            std::optional<PelkError> error);

}  // namespace storage
}  // namespace pelk
