#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "models/TrackedPosition.h"
#include "platform/Database.h"
#include "platform/ThreadSafety.h"
#include "storage/LocalEntities.h"

namespace pelk {

class DeviceInfo;
class PelkAPIClient;

// A second buffer of unsent positions, for an upload over the REST service:
// rows of HttpLocationData in "QuelbrinModel.sqlite" in the app-support
// directory, a store of its own that the logout's reset does not touch.
// Every operation is one transaction; safe from any thread.  A store that
// cannot be opened answers empty reads and each dropped write leaves a console
// line; the file is opened again on the next use.
class PelkHTTPDataStorageManager {
 public:
  // Hands the upload records (a JSON array, one object per row, in row order)
  // to the server and calls `done` once: true only when the server accepted
  // them.
  using Upload = std::function<void(const nlohmann::json& records, std::function<void(bool accepted)> done)>;

  static PelkHTTPDataStorageManager& shared();

  // Opens nothing: the store is opened on the first operation.  `device` gives
  // the readings stored with each position and `api` the REST client that the
  // default upload goes through (the kit's shared ones by default).
  explicit PelkHTTPDataStorageManager(DeviceInfo* device = nullptr, PelkAPIClient* api = nullptr);
  virtual ~PelkHTTPDataStorageManager() = default;
  PelkHTTPDataStorageManager(const PelkHTTPDataStorageManager&) = delete;
  PelkHTTPDataStorageManager& operator=(const PelkHTTPDataStorageManager&) = delete;

  // Name of the store's model and file.
  const std::string model = "QuelbrinModel";

  // The store's handle, built on first read and kept.
  std::shared_ptr<platform::Database> persistentContainer();

  // Stores one position with the device readings of this moment; a manual
  // position records the app state as "M".  The location id and recorded time
  // are not kept (the row's time is now).  False (and a console line) when the
  // row could not be stored.
  virtual bool saveLocationData(const TrackedPosition& position);
  // Every row, in the order stored; empty when there are none or the store
  // cannot be read.
  virtual std::vector<HttpLocationData> fetchDeviceData();
  // Empties the buffer.
  virtual bool deleteAllRecords();
  // Deletes exactly the given rows (by primary key); rows already gone are
  // skipped.
  virtual bool deleteRecords(const std::vector<HttpLocationData>& rows);

  // Uploads every buffered row and deletes those rows - and only those - once
  // the server has accepted them; rows stored meanwhile stay for the next
  // upload, and a refused or failed upload keeps every row.  `completion`
  // (optional) gets true when rows were uploaded and deleted, false otherwise
  // (nothing buffered, an upload already running, or a refusal).  It may run
  // on another thread.  By default the records go to the REST location
  // upload, and the server has accepted them when it answers the success text
  // "location recorded successfully.".
  virtual void uploadStoredLocations(std::function<void(bool uploaded)> completion = nullptr);
  // The same, with the records handed to `upload` instead of the installed one.
  void uploadStoredLocationsWith(const Upload& upload, std::function<void(bool uploaded)> completion);

  // Replaces how the records reach the server; an empty upload restores the
  // REST location upload.
  void setUpload(Upload upload);

  // The upload object of one row: position, state flags and the texts that
  // hold a value (an absent text leaves its key out).
  static nlohmann::json uploadRecord(const HttpLocationData& row);

 private:
  DeviceInfo& device() const;

  DeviceInfo* device_;
  PelkAPIClient* api_;
  // Lock order: before the database registry and its file's lock (platform/LockOrder.h).
  platform::Mutex mutex_;
  std::shared_ptr<platform::Database> container_ PELK_GUARDED_BY(mutex_);
  Upload upload_;
  std::atomic<bool> uploading_{false};
};

}  // namespace pelk
