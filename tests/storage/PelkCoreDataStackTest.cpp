#include "storage/PelkCoreDataStack.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <utility>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "device/AppUtili.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "storage/LocalEntities.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkHTTPDataStorageManager.h"
#include "storage/PelkTripStorageManager.h"
#include "StorageFixture.h"

namespace pelk {
namespace {

using test::fixAt;

class CoreDataStackTest : public test::StorageTest {
 protected:
  std::string storePath() const { return platform::Paths::documents() + "/" + kPelkModelStoreFile; }

  std::vector<std::string> columns(platform::Database& db, const std::string& table) {
    std::vector<std::string> out;
    EXPECT_TRUE(db.read([&](SQLite::Database& c) {
      SQLite::Statement q(c, "SELECT name FROM pragma_table_info(?) ORDER BY cid");
      q.bind(1, table);
      while (q.executeStep()) out.push_back(q.getColumn(0).getString());
    }));
    return out;
  }

  std::int64_t rowsIn(platform::Database& db, const std::string& table) {
    std::int64_t n = -1;
    db.read([&](SQLite::Database& c) { n = c.execAndGet("SELECT count(*) FROM " + table).getInt64(); });
    return n;
  }
};

TEST_F(CoreDataStackTest, OpensNothingUntilTheContextIsRead) {
  {
    PelkCoreDataStack stack;
    EXPECT_FALSE(std::filesystem::exists(storePath()));
  }
  PelkCoreDataStack stack;
  auto context = stack.managedObjectContext();
  EXPECT_TRUE(std::filesystem::exists(storePath()));
  EXPECT_EQ(context->path(), storePath());
  EXPECT_EQ(stack.managedObjectContext(), context);

  // Every stack over the file shares its one connection, so rows written
  // through one are read through another.
  PelkCoreDataStack other;
  EXPECT_EQ(other.managedObjectContext().get(), context.get());
}

TEST_F(CoreDataStackTest, StoresDeclareEveryEntityWithItsAttributes) {
  PelkCoreDataStack stack;
  auto db = stack.managedObjectContext();
  auto expect = [&](const std::string& table, std::vector<std::string> names, bool linked) {
    names.insert(names.begin(), "pk");
    if (linked) names.push_back("trip");
    EXPECT_EQ(columns(*db, table), names) << table;
  };
  expect("MqttLocationData", MqttLocationData::attributeNames(), false);
  expect("MyTrip", MyTrip::attributeNames(), false);
  expect("MyTripRoute", MyTripRoute::attributeNames(), true);
  expect("TripsLocal", TripsLocal::attributeNames(), false);
  expect("TripEventsLocal", TripEventsLocal::attributeNames(), true);
  EXPECT_EQ(MyTrip::attributeNames().size(), 11u);
  EXPECT_EQ(MyTripRoute::attributeNames().size(), 9u);
  EXPECT_EQ(TripsLocal::attributeNames().size(), 15u);
  EXPECT_EQ(TripEventsLocal::attributeNames().size(), 8u);
  EXPECT_TRUE(columns(*db, "HttpLocationData").empty()) << "the upload buffer lives in a store of its own";

  PelkHTTPDataStorageManager http(&device_);
  auto quelbrin = http.persistentContainer();
  EXPECT_EQ(quelbrin->path(), platform::Paths::appSupport() + "/" + kQuelbrinModelStoreFile);
  auto names = HttpLocationData::attributeNames();
  EXPECT_EQ(names.size(), 19u);
  names.insert(names.begin(), "pk");
  EXPECT_EQ(columns(*quelbrin, "HttpLocationData"), names);
}

TEST_F(CoreDataStackTest, OneProgressRowPerTripAndRoutesFollowTheirTrip) {
  PelkCoreDataStack stack;
  auto db = stack.managedObjectContext();
  auto insertTrip = [&](const std::string& id) {
    return db->write([&](SQLite::Database& c) {
      SQLite::Statement q(c, "INSERT INTO MyTrip (tripId, status) VALUES (?, 'ongoing')");
      q.bind(1, id);
      q.exec();
      SQLite::Statement r(c, "INSERT INTO MyTripRoute (tripId, trip) VALUES (?, last_insert_rowid())");
      r.bind(1, id);
      r.exec();
    });
  };
  ASSERT_TRUE(insertTrip("t1"));
  const auto duplicate = insertTrip("t1");
  EXPECT_FALSE(duplicate.ok);
  EXPECT_EQ(rowsIn(*db, "MyTrip"), 1);
  EXPECT_EQ(rowsIn(*db, "MyTripRoute"), 1) << "the failed start left no route point behind";

  // A new progress row starts with no positions counted.
  std::int64_t count = -1;
  db->read([&](SQLite::Database& c) { count = c.execAndGet("SELECT location_count FROM MyTrip").getInt64(); });
  EXPECT_EQ(count, 0);

  ASSERT_TRUE(db->write([](SQLite::Database& c) { c.exec("DELETE FROM MyTrip"); }));
  EXPECT_EQ(rowsIn(*db, "MyTripRoute"), 0);
}

TEST_F(CoreDataStackTest, ClearEmptiesThisStoreOnlyAndIsSeenAtOnce) {
  PelkCoreDataStack stack;
  auto db = stack.managedObjectContext();
  MQTTDataStorageManager buffer(db, &device_);
  ASSERT_TRUE(buffer.saveLocationData({fixAt(1, 1), "M", false, 0}));
  const auto held = buffer.fetchDeviceData(0);
  ASSERT_TRUE(db->write([](SQLite::Database& c) {
    c.exec("INSERT INTO MyTrip (tripId) VALUES ('t')");
    c.exec("INSERT INTO MyTripRoute (tripId, trip) VALUES ('t', last_insert_rowid())");
    c.exec("INSERT INTO TripsLocal (trip_id) VALUES ('t')");
    c.exec("INSERT INTO TripEventsLocal (trip_id, trip) VALUES ('t', last_insert_rowid())");
  }));
  PelkHTTPDataStorageManager http(&device_);
  ASSERT_TRUE(http.saveLocationData({fixAt(1, 1), "M", false, 0}));

  PelkCoreDataStack reset;
  reset.clearCoreDataStore();
  for (const char* table : {"MqttLocationData", "MyTrip", "MyTripRoute", "TripsLocal", "TripEventsLocal"}) {
    EXPECT_EQ(rowsIn(*db, table), 0) << table;
  }
  EXPECT_EQ(buffer.getOfflineLocationCount(), 0);
  EXPECT_TRUE(buffer.fetchDeviceData(0).empty());
  // A row fetched before the reset cannot bring anything back.
  ASSERT_TRUE(buffer.deleteBatchEntity(held));
  EXPECT_EQ(http.fetchDeviceData().size(), 1u);

  reset.clearCoreDataStore();  // on an empty store: nothing to do, nothing reported
  EXPECT_EQ(buffer.getOfflineLocationCount(), 0);
}

TEST_F(CoreDataStackTest, BuffersRefusePositionsWithoutFiniteCoordinates) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  MQTTDataStorageManager mqtt(PelkCoreDataStack().managedObjectContext(), &device_);
  PelkHTTPDataStorageManager http(&device_);
  const std::vector<std::pair<double, double>> cases = {{nan, 10}, {10, nan}, {inf, 10}, {10, -inf}, {nan, nan}};
  for (const auto& [latitude, longitude] : cases) {
    platform::Console::Capture capture;
    EXPECT_FALSE(mqtt.saveLocationData({fixAt(latitude, longitude), "M", false, 0})) << latitude << "," << longitude;
    EXPECT_FALSE(http.saveLocationData({fixAt(latitude, longitude), "M", false, 0})) << latitude << "," << longitude;
    EXPECT_EQ(capture.lines().size(), 2u);
  }
  EXPECT_EQ(mqtt.getOfflineLocationCount(), 0);
  EXPECT_TRUE(http.fetchDeviceData().empty());
  // Unknown optional readings still fall back to 0; the position is kept.
  auto fix = fixAt(1, 2);
  fix.altitude = nan;
  fix.horizontalAccuracy = inf;
  EXPECT_TRUE(http.saveLocationData({fix, "M", false, 0}));
  ASSERT_EQ(http.fetchDeviceData().size(), 1u);
  EXPECT_EQ(http.fetchDeviceData()[0].altitude, 0.0);
  EXPECT_EQ(http.fetchDeviceData()[0].accuracy, 0.0);
}

// A file written before an attribute existed: today's tables, each short of
// one column.  It opens with its rows, gains the columns and takes new rows;
// nothing is set aside.
TEST_F(CoreDataStackTest, StoreFileOfAnEarlierShapeGainsTheMissingColumnsAndKeepsItsRows) {
  auto db = PelkCoreDataStack().managedObjectContext();
  PelkHTTPDataStorageManager http(&device_);
  auto quelbrin = http.persistentContainer();
  MQTTDataStorageManager mqtt(db, &device_);
  PelkTripStorageManager trips(db);
  ASSERT_TRUE(mqtt.saveLocationData({fixAt(1, 2), "M", false, 0}));
  ASSERT_TRUE(http.saveLocationData({fixAt(1, 2), "M", false, 0}));
  trips.createTrip("loc-1", "trip-1");
  trips.trip({{"trip_id", "trip-1"},
              {"location_id", "loc-2"},
              {"start", true},
              {"trip_started_at", "2024-01-01T00:00:00.000Z"}},
             nullptr, fixAt(1, 2));
  trips.trip({{"trip_id", "trip-1"}, {"end", true}, {"trip_ended_at", "2024-01-01T00:10:00.000Z"}}, nullptr,
             fixAt(1.01, 2));

  struct Dropped {
    platform::Database* file;
    const char* table;
    const char* column;
  };
  const Dropped dropped[] = {
      {db.get(), "MqttLocationData", "vertical_accuracy"},
      {db.get(), "MyTrip", "location_count"},
      {db.get(), "MyTripRoute", "accuracy"},
      {db.get(), "TripsLocal", "sync_status"},
      {db.get(), "TripEventsLocal", "event_version"},
      {quelbrin.get(), "HttpLocationData", "timezone_offset"},
  };
  db->close();
  quelbrin->close();
  for (const auto& d : dropped) {
    SQLite::Database raw(d.file->path(), SQLite::OPEN_READWRITE);
    raw.exec(std::string("ALTER TABLE ") + d.table + " DROP COLUMN " + d.column);
  }
  {
    // SQLite's names ignore case: a column spelled otherwise is the kit's own.
    SQLite::Database raw(db->path(), SQLite::OPEN_READWRITE);
    raw.exec("ALTER TABLE MqttLocationData RENAME COLUMN user_id TO USER_ID");
  }

  platform::Console::Capture console;
  EXPECT_EQ(mqtt.getOfflineLocationCount(), 1);
  EXPECT_EQ(http.fetchDeviceData().size(), 1u);
  ASSERT_TRUE(trips.checkIfLocalTrip("trip-1"));
  EXPECT_TRUE(trips.getTripData("trip-1"));
  EXPECT_EQ(trips.getMyTripRouteDetails("trip-1").size(), 1u);
  EXPECT_EQ(trips.eventsOf(*trips.getTripDataLocal("trip-1")).size(), 3u);
  for (const auto& d : dropped) {
    const auto names = columns(*d.file, d.table);
    EXPECT_NE(std::find(names.begin(), names.end(), d.column), names.end()) << d.table << "." << d.column;
  }
  // The gained columns take values like any other.
  trips.updateLocalTrip("trip-1", "sync_initiated");
  EXPECT_EQ(trips.getTripDataLocal("trip-1")->sync_status, "sync_initiated");
  ASSERT_TRUE(mqtt.saveLocationData({fixAt(3, 4), "M", false, 0}));
  EXPECT_EQ(mqtt.getOfflineLocationCount(), 2);
  for (const auto& file : {db->path(), quelbrin->path()}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(file).parent_path())) {
      EXPECT_EQ(entry.path().filename().string().find(".corrupt-"), std::string::npos) << entry.path();
    }
  }
}

// A file left by another program (or another build of the kit) whose tables
// have the kit's names but other columns: rows that cannot be written would
// be lost on every position from then on, so the file is set aside instead.
// A key column of the kit's name does not make the table the kit's when
// another column must be filled in every row.
TEST_F(CoreDataStackTest, StoreFileWithTablesOfAnotherShapeIsSetAsideAndStartedAfresh) {
  const std::string mqttPath = storePath();
  const std::string httpPath = platform::Paths::appSupport() + "/" + kQuelbrinModelStoreFile;
  // Nor does a column of the key's name that is not the table's key: its rows
  // could be neither told apart nor deleted one by one.
  for (const char* shape :
       {"id INTEGER PRIMARY KEY, payload TEXT NOT NULL", "pk INTEGER PRIMARY KEY, payload TEXT NOT NULL",
        "pk INTEGER, payload TEXT", "pk TEXT PRIMARY KEY, payload TEXT"}) {
    SCOPED_TRACE(shape);
    for (const auto& path : {mqttPath, httpPath}) {
      const auto folder = std::filesystem::path(path).parent_path();
      std::filesystem::create_directories(folder);
      std::vector<std::filesystem::path> earlier;
      for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(std::filesystem::path(path).filename().string(), 0) == 0) {
          earlier.push_back(entry.path());
        }
      }
      for (const auto& file : earlier) std::filesystem::remove(file);
    }
    for (const auto& [path, table] : {std::pair{mqttPath, "MqttLocationData"}, {httpPath, "HttpLocationData"}}) {
      SQLite::Database foreign(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
      foreign.exec(std::string("CREATE TABLE ") + table + " (" + shape + ")");
      foreign.exec(std::string("INSERT INTO ") + table + " (payload) VALUES ('theirs')");
    }
    platform::Console::Capture capture;
    MQTTDataStorageManager mqtt(PelkCoreDataStack().managedObjectContext(), &device_);
    PelkHTTPDataStorageManager http(&device_);
    EXPECT_TRUE(mqtt.saveLocationData({fixAt(1, 2), "M", false, 0}));
    EXPECT_TRUE(http.saveLocationData({fixAt(1, 2), "M", false, 0}));
    EXPECT_EQ(mqtt.getOfflineLocationCount(), 1);
    EXPECT_EQ(http.fetchDeviceData().size(), 1u);
    for (const auto& path : {mqttPath, httpPath}) {
      bool setAside = false;
      for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        const auto prefix = std::filesystem::path(path).filename().string() + ".corrupt-";
        setAside |= entry.path().filename().string().rfind(prefix, 0) == 0;
      }
      EXPECT_TRUE(setAside) << path << ": the other program's rows are kept beside";
    }
  }
}

}  // namespace
}  // namespace pelk
