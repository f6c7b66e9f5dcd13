#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Database.h"
#include "platform/Location.h"

namespace SQLite {
class Database;
}

namespace pelk {

// The kit's two local store files.
inline constexpr const char* kPelkModelStoreFile = "PelkModel.sqlite";
inline constexpr const char* kQuelbrinModelStoreFile = "QuelbrinModel.sqlite";

// The local store of positions waiting for the MQTT replay, trip progress and
// offline trips: "PelkModel.sqlite" in the documents directory.  Stacks are
// cheap and not shared: each caller builds its own, and every stack over the
// same file uses the one connection of that file.  Constructing a stack opens
// nothing; the file is opened on the first read of managedObjectContext().
//
// A store that cannot be opened does not stop the kit: the failure is logged,
// writes through the handle are dropped with a log line, reads answer empty,
// and the next operation tries to open the file again.
class PelkCoreDataStack {
 public:
  PelkCoreDataStack() = default;
  virtual ~PelkCoreDataStack() = default;
  PelkCoreDataStack(const PelkCoreDataStack&) = delete;
  PelkCoreDataStack& operator=(const PelkCoreDataStack&) = delete;

  // The documents directory, read once per stack.
  virtual const std::string& applicationDocumentsDirectory();
  // The handle of "PelkModel.sqlite" in that directory; the first read opens
  // the file (logging a failure) and later reads return the same handle.
  virtual std::shared_ptr<platform::Database> managedObjectContext();
  // Every operation of the stores commits on its own, so nothing is ever left
  // pending; kept for callers that want to make sure the file is open.
  virtual void saveContext();
  // Deletes every row of every entity of the store, in one transaction.  The
  // logout's reset runs it (device::links::clearLocalDatabase), so a
  // logged-out user's buffered positions are never replayed.
  virtual void clearCoreDataStore();

 private:
  std::optional<std::string> documents_;
  std::shared_ptr<platform::Database> context_;
};

namespace storage {

// Tables and indexes of the two stores; run each time the file is opened.
void preparePelkModel(SQLite::Database& db);
void prepareQuelbrinModel(SQLite::Database& db);

// The shared handles of the two files at an explicit path.
std::shared_ptr<platform::Database> pelkModelAt(const std::string& path);
std::shared_ptr<platform::Database> quelbrinModelAt(const std::string& path);

// True when both coordinates are finite numbers.  The buffers refuse other
// positions; only the optional readings (altitude, course, accuracies) fall
// back to 0 when they are unknown.
bool hasFiniteCoordinate(const platform::Location& location);

// One console line for a failed store operation: "Unresolved error " and the
// cause, then what the failure means for the caller (e.g. "position dropped").
void logStoreFailure(const platform::Database& db, const platform::Database::Outcome& outcome,
                     const std::string& consequence);

}  // namespace storage
}  // namespace pelk
