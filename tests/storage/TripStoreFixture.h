#pragma once

// A trip store over a fresh store file, a virtual clock, a stored user id, and
// a location sink that applies each handed-on position to the ongoing trips
// the way the tracking engine does.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "foundation/DateExtensions.h"
#include "foundation/TokenManager.h"
#include "pelk/PelkEnums.h"
#include "platform/Clock.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkTripStorageManager.h"
#include "StorageFixture.h"
#include "support/LocalTrips.h"

namespace pelk::test {

struct Answer {
  std::optional<std::string> text;
  std::optional<PelkError> error;
};

class TripStoreTest : public StorageTest {
 protected:
  TripStoreTest() {
    platform::Clock::useVirtual(platform::Clock::fromSecondsSince1970(1'700'000'000));
    TokenManager::setUserId("user-1");
    db_ = LocalTrips::storeIn(dir_);
    store_ = std::make_unique<PelkTripStorageManager>(db_);
    tripstore::links::sendDataServer.set([this](const platform::Location& fix, const std::string& activity,
                                                const std::optional<std::string>& locationId) {
      sunk_.push_back({fix, activity, locationId});
      store_->updateAllActiveTrips(fix, activity);
    });
    tripstore::links::updateLocation.set(
        [this](const platform::Location&, const std::string& activity) { dispatched_.push_back(activity); });
  }
  ~TripStoreTest() override {
    platform::resetAllLinks();
    platform::Clock::useSystem();
  }

  static std::string now() { return iso8601(platform::Clock::now()); }
  static void advance(double seconds) { platform::Clock::advance(platform::seconds(seconds)); }

  // The action request the kit builds for a trip.
  static nlohmann::json request(Trip action, const std::string& tripId, const std::string& locationId) {
    nlohmann::json r{{"user_id", "user-1"}, {"version", "v2"}, {"trip_id", tripId}, {"location_id", locationId}};
    switch (action) {
      case Trip::Start:
        r["start"] = true;
        r["trip_started_at"] = now();
        break;
      case Trip::Pause:
        r["trip_pause"] = true;
        break;
      case Trip::Resume:
        r["trip_resume"] = true;
        break;
      case Trip::End:
      case Trip::ForceEnd:
        r["end"] = true;
        r["trip_ended_at"] = now();
        break;
      case Trip::Delete:
        r["trip_delete"] = true;
        break;
      case Trip::Sync:
        r["trip_sync"] = true;
        break;
    }
    return r;
  }

  // Runs one request through the dispatcher and collects every answer.
  std::vector<Answer> act(const nlohmann::json& r, const std::optional<platform::Location>& fix) {
    std::vector<Answer> answers;
    store_->trip(
        r,
        [&](std::optional<std::string> t, std::optional<PelkError> e) {
          answers.push_back({t, e});
        },
        fix);
    return answers;
  }
  Answer act1(Trip action, const std::string& tripId, const platform::Location& fix,
              const std::string& locationId = "loc-action") {
    auto answers = act(request(action, tripId, locationId), fix);
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? Answer{} : answers.front();
  }

  void createLocal(const std::string& tripId, const std::string& locationId = "loc-created") {
    bool called = false;
    store_->createTrip(locationId, tripId, [&](std::shared_ptr<PelkCreateTrip> trip, std::optional<PelkError> e) {
      called = true;
      EXPECT_TRUE(trip);
      EXPECT_FALSE(e);
    });
    ASSERT_TRUE(called);
  }

  std::int64_t count(const std::string& table, const std::string& column, const std::string& id) {
    std::int64_t n = -1;
    db_->read([&](SQLite::Database& c) {
      SQLite::Statement q(c, "SELECT count(*) FROM " + table + " WHERE " + column + " = ?");
      q.bind(1, id);
      if (q.executeStep()) n = q.getColumn(0).getInt64();
    });
    return n;
  }
  std::int64_t total(const std::string& table) {
    std::int64_t n = -1;
    db_->read([&](SQLite::Database& c) { n = c.execAndGet("SELECT count(*) FROM " + table).getInt64(); });
    return n;
  }
  // Rows of the four trip tables held under the trip id.
  std::int64_t rowsOf(const std::string& tripId) {
    return count("TripsLocal", "trip_id", tripId) + count("TripEventsLocal", "trip_id", tripId) +
           count("MyTrip", "tripId", tripId) + count("MyTripRoute", "tripId", tripId);
  }
  void sql(const std::string& text) {
    ASSERT_TRUE(db_->write([&](SQLite::Database& c) { c.exec(text); }).ok);
  }

  struct Sunk {
    platform::Location fix;
    std::string activity;
    std::optional<std::string> locationId;
  };

  std::shared_ptr<platform::Database> db_;
  std::unique_ptr<PelkTripStorageManager> store_;
  std::vector<Sunk> sunk_;
  std::vector<std::string> dispatched_;
};

}  // namespace pelk::test
