#include "storage/PelkHTTPDataStorageManager.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/TokenManager.h"
#include "network/PelkAPIClient.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "storage/EntityMapping.h"
#include "storage/PelkCoreDataStack.h"

namespace pelk {

PelkHTTPDataStorageManager& PelkHTTPDataStorageManager::shared() {
  static auto* instance = new PelkHTTPDataStorageManager();
  return *instance;
}

PelkHTTPDataStorageManager::PelkHTTPDataStorageManager(DeviceInfo* device, PelkAPIClient* api)
    : device_(device), api_(api) {}

DeviceInfo& PelkHTTPDataStorageManager::device() const { return device_ ? *device_ : DeviceInfo::sharedInstance(); }

std::shared_ptr<platform::Database> PelkHTTPDataStorageManager::persistentContainer() {
  platform::LockGuard lock(mutex_);
  if (!container_) {
    container_ = storage::quelbrinModelAt(platform::Paths::appSupport() + "/" + kQuelbrinModelStoreFile);
    if (const auto outcome = container_->open(); !outcome) {
      platform::Console::print(" Loading of store failed:" + outcome.error, platform::Console::Level::Error);
    }
  }
  return container_;
}

void PelkHTTPDataStorageManager::setUpload(Upload upload) {
  platform::LockGuard lock(mutex_);
  upload_ = std::move(upload);
}

bool PelkHTTPDataStorageManager::saveLocationData(const TrackedPosition& position) {
  const auto& location = position.fix;
  // A fix without a position (gpsd reports NaN then) is not a place at (0, 0).
  if (!storage::hasFiniteCoordinate(location)) {
    platform::Console::print("pelk: position without finite coordinates not buffered for upload");
    return false;
  }
  auto& info = device();
  HttpLocationData row;
  row.latitude = location.coordinate.latitude;
  row.longitude = location.coordinate.longitude;
  row.accuracy = location.horizontalAccuracy;
  row.altitude = location.altitude;
  row.speed = static_cast<double>(position.speed);
  row.activity = position.activity;
  const auto battery = info.batteryReading();  // one look at the power supplies
  row.battery_remaining = saturatingInt16(battery.percent);
  row.app_stat = position.manual ? std::string(kMoving) : info.appState();
  row.gps_stat = info.locationState();
  row.location_permission = info.isLocationServicesEnabled();
  row.motion_stat = info.getVuvivaZuvovo();
  row.net_stat = info.networkStatus();
  row.timezone_offset = info.timeOffSet();
  row.user_id = TokenManager::getUserId();
  row.bat_saver_mode = info.isLowPowerEnabled();
  // The upload sends the battery state; store it like the MQTT buffer does.
  row.bat_stat = battery.state;
  row.recorded_at = iso8601(platform::Clock::now());

  auto db = persistentContainer();
  const auto outcome = db->write([&](SQLite::Database&) {
    auto q = db->statement(storage::insertSql<HttpLocationData>());
    storage::bindColumns(*q, row);
    q->exec();
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "position not buffered for upload");
  return outcome.ok;
}

std::vector<HttpLocationData> PelkHTTPDataStorageManager::fetchDeviceData() {
  std::vector<HttpLocationData> rows;
  auto db = persistentContainer();
  const auto outcome = db->read([&](SQLite::Database& c) {
    SQLite::Statement q(c, storage::selectSql<HttpLocationData>() + " ORDER BY " + storage::kPrimaryKey);
    while (q.executeStep()) rows.push_back(storage::readRow<HttpLocationData>(q));
  });
  if (!outcome) {
    storage::logStoreFailure(*db, outcome, "positions for upload not read");
    return {};
  }
  return rows;
}

bool PelkHTTPDataStorageManager::deleteAllRecords() {
  auto db = persistentContainer();
  const auto outcome =
      db->write([](SQLite::Database& c) { c.exec(std::string("DELETE FROM ") + HttpLocationData::entityName); });
  if (!outcome) storage::logStoreFailure(*db, outcome, "positions for upload not deleted");
  return outcome.ok;
}

bool PelkHTTPDataStorageManager::deleteRecords(const std::vector<HttpLocationData>& rows) {
  if (rows.empty()) return true;
  auto db = persistentContainer();
  const auto outcome = db->write([&](SQLite::Database&) {
    auto q = db->statement(storage::deleteByKeySql<HttpLocationData>());
    for (const auto& row : rows) {
      q->bind(1, static_cast<std::int64_t>(row.objectID));
      q->exec();
      q->reset();
    }
  });
  if (!outcome) storage::logStoreFailure(*db, outcome, "uploaded positions not deleted");
  return outcome.ok;
}

nlohmann::json PelkHTTPDataStorageManager::uploadRecord(const HttpLocationData& row) {
  nlohmann::json out = nlohmann::json::object();
  out["longitude"] = row.longitude;
  out["latitude"] = row.latitude;
  out["accuracy"] = row.accuracy;
  out["altitude"] = row.altitude;
  out["speed"] = row.speed;
  if (row.activity) out["activity"] = *row.activity;
  if (row.app_stat) out["app_stat"] = *row.app_stat;
  out["gps_stat"] = row.gps_stat;
  out["location_permission"] = row.location_permission;
  out["motion_stat"] = row.motion_stat;
  out["net_stat"] = row.net_stat;
  // The offset in force when the position was recorded.
  out["timezone_offset"] = row.timezone_offset ? *row.timezone_offset : DeviceInfo::sharedInstance().timeOffSet();
  if (row.user_id) out["user_id"] = *row.user_id;
  if (row.bat_stat) out["bat_stat"] = *row.bat_stat;
  out["bat_saver_mode"] = row.bat_saver_mode;
  if (row.recorded_at) out["recorded_at"] = *row.recorded_at;
  return out;
}

void PelkHTTPDataStorageManager::uploadStoredLocations(std::function<void(bool uploaded)> completion) {
  Upload upload;
  {
    platform::LockGuard lock(mutex_);
    upload = upload_;
  }
  if (!upload) {
    auto* api = api_ ? api_ : &PelkAPIClient::sharedInstance();
    upload = [api](const nlohmann::json& records, std::function<void(bool)> done) {
      api->updateLocation(records, [done](const std::string& msg) { done(msg == kLocationUpdateSucess); });
    };
  }
  uploadStoredLocationsWith(upload, std::move(completion));
}

void PelkHTTPDataStorageManager::uploadStoredLocationsWith(const Upload& upload,
                                                           std::function<void(bool uploaded)> completion) {
  auto finish = [completion](bool uploaded) {
    if (completion) completion(uploaded);
  };
  // One upload at a time, so no row is sent twice.
  if (uploading_.exchange(true)) {
    finish(false);
    return;
  }
  auto rows = fetchDeviceData();
  if (rows.empty()) {
    uploading_ = false;
    finish(false);
    return;
  }
  nlohmann::json records = nlohmann::json::array();
  for (const auto& row : rows) records.push_back(uploadRecord(row));
  // The upload's answer may never come twice; guard against it all the same.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  try {
    upload(records, [this, rows = std::move(rows), answered, finish](bool accepted) {
      if (answered->exchange(true)) return;
      const bool deleted = accepted && deleteRecords(rows);
      uploading_ = false;
      finish(deleted);
    });
  } catch (const std::exception& e) {
    // A sender that fails outright keeps every row and must not block later uploads.
    platform::Console::print(std::string("pelk: upload of buffered positions failed: ") + e.what());
    if (!answered->exchange(true)) {
      uploading_ = false;
      finish(false);
    }
  }
}

}  // namespace pelk
