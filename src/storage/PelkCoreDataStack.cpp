#include "storage/PelkCoreDataStack.h"

#include <cmath>
#include <set>

#include <SQLiteCpp/SQLiteCpp.h>

#include "device/DeviceInfo.h"
#include "platform/Console.h"
#include "platform/Database.h"
#include "platform/Paths.h"
#include "storage/EntityMapping.h"

namespace pelk {
namespace storage {
namespace {

// Bumped when a table or index changes; upgrades go into the prepare functions.
constexpr int kPelkModelVersion = 1;
constexpr int kQuelbrinModelVersion = 1;

void setVersion(SQLite::Database& db, int version) {
  // PRAGMA takes no bound parameters; the value is a constant of this file.
  db.exec("PRAGMA user_version = " + std::to_string(version));
}

// SQLite's names ignore ASCII case: "USER_ID" is the column user_id.
std::string foldedName(std::string name) {
  for (auto& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// Creates the entity's table, or brings the table of that name up to the
// entity: a file written before an attribute existed gains its column (empty,
// or the scalar's default, in every row) and keeps its rows.  A table the
// kit's rows cannot be written into - no primary key of ours (the key column
// must be the table's integer key, which tells rows apart and is given to
// each new one), or a column of its own that every row must fill - is not one
// of the kit's (a file of another program, or damage) and would refuse every
// write from then on; the file is treated as damaged instead, so it is set
// aside and the store starts afresh.
template <class E>
void prepareTable(SQLite::Database& db) {
  db.exec(createTableSql<E>());
  std::set<std::string> ours;
  for (const auto& c : columnsOf<E>()) ours.insert(foldedName(c.name));
  const std::string key = foldedName(kPrimaryKey);
  std::set<std::string> present;
  bool foreignRequired = false;
  bool keyIsRowId = false;
  int keyColumns = 0;
  SQLite::Statement info(db, "SELECT name, \"notnull\", dflt_value IS NULL, pk, type FROM pragma_table_info(?)");
  info.bind(1, E::entityName);
  while (info.executeStep()) {
    const std::string name = foldedName(info.getColumn(0).getString());
    present.insert(name);
    const bool required = info.getColumn(1).getInt() != 0 && info.getColumn(2).getInt() != 0;
    const bool inKey = info.getColumn(3).getInt() != 0;
    if (inKey) ++keyColumns;
    if (name == key) keyIsRowId = inKey && foldedName(info.getColumn(4).getString()) == "integer";
    if (name != key && !ours.count(name) && (required || inKey)) foreignRequired = true;
  }
  info.reset();
  if (!keyIsRowId || keyColumns != 1 || foreignRequired) {
    throw platform::Database::DamagedFile(std::string("table ") + E::entityName + " has another shape");
  }
  for (const auto& c : columnsOf<E>()) {
    if (present.count(foldedName(c.name))) continue;
    db.exec(std::string("ALTER TABLE ") + E::entityName + " ADD COLUMN " + columnSql(c));
    platform::Console::print(std::string("pelk: store table ") + E::entityName + " gained column " + c.name);
  }
}

}  // namespace

void preparePelkModel(SQLite::Database& db) {
  prepareTable<MqttLocationData>(db);
  prepareTable<MyTrip>(db);
  prepareTable<MyTripRoute>(db);
  prepareTable<TripsLocal>(db);
  prepareTable<TripEventsLocal>(db);
  // Replay pages select by tag in insertion (primary key) order.
  db.exec("CREATE INDEX IF NOT EXISTS MqttLocationData_mqtt_id ON MqttLocationData (mqtt_id)");
  // One progress row per trip.
  db.exec("CREATE UNIQUE INDEX IF NOT EXISTS MyTrip_tripId ON MyTrip (tripId)");
  db.exec("CREATE INDEX IF NOT EXISTS MyTripRoute_tripId ON MyTripRoute (tripId)");
  db.exec("CREATE INDEX IF NOT EXISTS MyTripRoute_trip ON MyTripRoute (trip)");
  db.exec("CREATE INDEX IF NOT EXISTS TripsLocal_trip_id ON TripsLocal (trip_id)");
  db.exec("CREATE INDEX IF NOT EXISTS TripEventsLocal_trip_id ON TripEventsLocal (trip_id)");
  db.exec("CREATE INDEX IF NOT EXISTS TripEventsLocal_trip ON TripEventsLocal (trip)");
  setVersion(db, kPelkModelVersion);
}

void prepareQuelbrinModel(SQLite::Database& db) {
  prepareTable<HttpLocationData>(db);
  setVersion(db, kQuelbrinModelVersion);
}

bool hasFiniteCoordinate(const platform::Location& location) {
  return std::isfinite(location.coordinate.latitude) && std::isfinite(location.coordinate.longitude);
}

std::shared_ptr<platform::Database> pelkModelAt(const std::string& path) {
  return platform::Database::atPath(path, preparePelkModel);
}

std::shared_ptr<platform::Database> quelbrinModelAt(const std::string& path) {
  return platform::Database::atPath(path, prepareQuelbrinModel);
}

void logStoreFailure(const platform::Database& db, const platform::Database::Outcome& outcome,
                     const std::string& consequence) {
  std::string line = "Unresolved error ";
  if (outcome.unavailable) {
    line += "Failed to initialize the application's saved data, " + db.path() + ": " + outcome.error;
  } else {
    line += db.path() + ": " + outcome.error;
  }
  if (!consequence.empty()) line += "; " + consequence;
  // Nothing waits for a store's answer: the host hears of a lost write here.
  platform::Console::print(line, platform::Console::Level::Error);
}

}  // namespace storage

const std::string& PelkCoreDataStack::applicationDocumentsDirectory() {
  if (!documents_) documents_ = platform::Paths::documents();
  return *documents_;
}

std::shared_ptr<platform::Database> PelkCoreDataStack::managedObjectContext() {
  if (!context_) {
    context_ = storage::pelkModelAt(applicationDocumentsDirectory() + "/" + kPelkModelStoreFile);
    // On failure the handle stays usable and opens the file on a later use.
    if (const auto outcome = context_->open(); !outcome) {
      storage::logStoreFailure(*context_, outcome, "the store will be opened again on its next use");
    }
  }
  return context_;
}

void PelkCoreDataStack::saveContext() {
  auto db = managedObjectContext();
  db->open();
}

void PelkCoreDataStack::clearCoreDataStore() {
  auto db = managedObjectContext();
  const auto outcome = db->write([](SQLite::Database& c) {
    c.exec(std::string("DELETE FROM ") + MqttLocationData::entityName);
    c.exec(std::string("DELETE FROM ") + MyTripRoute::entityName);
    c.exec(std::string("DELETE FROM ") + MyTrip::entityName);
    c.exec(std::string("DELETE FROM ") + TripEventsLocal::entityName);
    c.exec(std::string("DELETE FROM ") + TripsLocal::entityName);
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "local store not cleared");
}

}  // namespace pelk
