#pragma once

// The ground of the tests of local trips: a trip store on a fresh file in the
// test's folder, in place of the kit's own store for as long as the object
// lives, and an offline position buffer of the test's own (in the kit's
// position store) for the positions the trips take.  Which positions reach
// the buffer is the test's choice: it installs the buffer where it wants it.
// Header-only: it names layers the support library does not link.

#include <memory>
#include <string>

#include "platform/Database.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkTripStorageManager.h"
#include "support/TestEnvironment.h"

namespace pelk::test {

class LocalTrips {
 public:
  explicit LocalTrips(const TempDir& dir) : saved_(PelkTripStorageManager::shared().context()) {
    PelkTripStorageManager::shared().setContext(storeIn(dir));
    PelkCoreDataStack stack;
    buffer_ = std::make_shared<MQTTDataStorageManager>(stack.managedObjectContext());
  }
  ~LocalTrips() { PelkTripStorageManager::shared().setContext(saved_); }
  LocalTrips(const LocalTrips&) = delete;
  LocalTrips& operator=(const LocalTrips&) = delete;

  // A fresh trip store file in `dir`, for a store of the test's own.
  static std::shared_ptr<platform::Database> storeIn(const TempDir& dir) {
    return storage::pelkModelAt(dir.file("trips.sqlite"));
  }
  const std::shared_ptr<MQTTDataStorageManager>& buffer() const { return buffer_; }

 private:
  std::shared_ptr<platform::Database> saved_;
  std::shared_ptr<MQTTDataStorageManager> buffer_;
};

}  // namespace pelk::test
