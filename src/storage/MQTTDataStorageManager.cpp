#include "storage/MQTTDataStorageManager.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include "device/AppUtili.h"
#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "storage/EntityMapping.h"
#include "storage/PelkCoreDataStack.h"

namespace pelk {
namespace {

// A stored visit time stamps one stationary position only.  It is removed once
// that position is stored (and only if no newer visit replaced it meanwhile),
// so a position that could not be stored does not use it up.
void releaseVisitDate(const std::string& used) {
  auto suite = SharedUtil::userDefaultValue();
  // Most stationary positions find no visit time stored: then nothing is
  // written, not even an empty transaction.
  if (!suite->contains(kVisitDate)) return;
  suite->transaction([&] {
    if (SharedUtil::getDefaultString(kVisitDate) == used) SharedUtil::removeKey(kVisitDate);
  });
}

}  // namespace

MQTTDataStorageManager& MQTTDataStorageManager::shared() {
  static auto* instance = [] {
    PelkCoreDataStack stack;
    return new MQTTDataStorageManager(stack.managedObjectContext());
  }();
  return *instance;
}

MQTTDataStorageManager::MQTTDataStorageManager(std::shared_ptr<platform::Database> context, DeviceInfo* device)
    : context_(std::move(context)), device_(device) {}

DeviceInfo& MQTTDataStorageManager::device() const { return device_ ? *device_ : DeviceInfo::sharedInstance(); }

std::optional<MqttLocationData> MQTTDataStorageManager::makeRow(const TrackedPosition& position, std::int64_t mqttId,
                                                                bool consultVisit, std::optional<std::string>* visit) {
  const auto& location = position.fix;
  const auto& activity = position.activity;
  const bool manual = position.manual;
  const auto& recordedAt = position.recordedAt;
  // A fix without a position (gpsd reports NaN then) is not a place at (0, 0).
  if (!storage::hasFiniteCoordinate(location)) {
    platform::Console::print("pelk: position without finite coordinates not buffered");
    return std::nullopt;
  }
  // Every reading is taken before the store is locked: readings may reach
  // other subsystems.
  auto& info = device();
  MqttLocationData row;
  // The stored switches and ids, read together: one look at the settings file
  // answers them all, from one snapshot.  Nothing but settings reads in here:
  // the suite stays locked while they run.
  SharedUtil::userDefaultValue()->readTogether([&] {
    row.app_id = TokenManager::getAppId();
    row.user_id = TokenManager::getUserId();
    row.location_events = TokenManager::getLocationEvent();
    row.trips_events = TokenManager::getTripEvents();
    row.nearby_events = TokenManager::getNearEvents();
    row.geofence_events = TokenManager::getGeofenceEvents();
    row.location_listener = TokenManager::getLocationListener();
    row.event_listener = TokenManager::getEventListener();
    row.tracking_mode = manual ? std::string(kManual) : AppUtilis::getTrackingOptionValue();
    if (consultVisit && (!recordedAt || recordedAt->empty()) && activity == kStationary && !manual) {
      *visit = SharedUtil::getDefaultString(kVisitDate);
    }
  });
  row.activity = activity;
  row.altitude = location.altitude;
  row.app_context = info.appState();
  const auto battery = info.batteryReading();  // one look at the power supplies
  row.battery_remaining = saturatingInt16(battery.percent);
  row.battery_saver = info.isLowPowerEnabled();
  row.battery_status = battery.state;
  row.course = location.course;
  row.device_manufacturer = info.deviceBrand();
  row.device_model = info.deviceModel();
  row.gps_status = info.locationState();
  row.horizontal_accuracy = location.horizontalAccuracy;
  row.latitude = location.coordinate.latitude;
  row.location_permission = info.isLocationServicesEnabled();
  row.longitude = location.coordinate.longitude;
  row.network_status = info.networkStatus();
  row.os_version = info.osVersion();
  const auto& locationId = position.locationId;
  row.location_id = (locationId && !locationId->empty()) ? *locationId : AppUtilis::getLocationId();
  if (recordedAt && !recordedAt->empty()) {
    row.recorded_at = *recordedAt;
  } else if (visit && *visit && !(*visit)->empty()) {
    row.recorded_at = **visit;
  } else {
    row.recorded_at = iso8601(platform::Clock::now());
  }
  row.speed = saturatingInt16(position.speed);
  row.tz_offset = info.timeOffSet();
  row.vertical_accuracy = location.verticalAccuracy;
  row.mqttLocation_time = platform::Clock::now();
  row.mqtt_id = saturatingInt16(mqttId);
  return row;
}

bool MQTTDataStorageManager::insertRow(const MqttLocationData& row) {
  const auto outcome = context_->write([&](SQLite::Database&) {
    auto q = context_->statement(storage::insertSql<MqttLocationData>());
    storage::bindColumns(*q, row);
    q->exec();
  });
  if (!outcome) {
    storage::logStoreFailure(*context_, outcome, "position " + row.location_id.value_or("") + " not buffered");
  }
  return outcome.ok;
}

bool MQTTDataStorageManager::saveLocationData(const TrackedPosition& position, std::int64_t mqttId) {
  std::optional<std::string> visit;  // the stored visit time, when this position consulted it
  const auto row = makeRow(position, mqttId, true, &visit);
  if (!row) return false;
  const bool stored = insertRow(*row);
  if (stored && visit) releaseVisitDate(*visit);
  return stored;
}

std::optional<MqttLocationData> MQTTDataStorageManager::locationRow(const TrackedPosition& position) {
  return makeRow(position, 0, false, nullptr);
}

bool MQTTDataStorageManager::saveLocationRow(MqttLocationData row) {
  row.objectID = 0;
  row.mqttLocation_time = platform::Clock::now();
  return insertRow(row);
}

std::int64_t MQTTDataStorageManager::getOfflineLocationCount() {
  std::int64_t count = 0;
  static const auto* sql = new std::string(std::string("SELECT count(*) FROM ") + MqttLocationData::entityName);
  const auto outcome = context_->read([&](SQLite::Database&) {
    auto q = context_->statement(*sql);
    if (q->executeStep()) count = q->getColumn(0).getInt64();
  });
  if (!outcome) {
    storage::logStoreFailure(*context_, outcome, "buffered positions not counted");
    return 0;
  }
  return count;
}

std::vector<MqttLocationData> MQTTDataStorageManager::fetchDeviceData(std::int64_t offset) {
  std::vector<MqttLocationData> rows;
  static const auto* sql = new std::string(storage::selectSql<MqttLocationData>() + " WHERE mqtt_id = 0 ORDER BY " +
                                           storage::kPrimaryKey + " LIMIT ? OFFSET ?");
  rows.reserve(kPageSize);
  const auto outcome = context_->read([&](SQLite::Database&) {
    auto q = context_->statement(*sql);
    q->bind(1, kPageSize);
    q->bind(2, static_cast<std::int64_t>(offset < 0 ? 0 : offset));
    while (q->executeStep()) rows.push_back(storage::readRow<MqttLocationData>(*q));
  });
  if (!outcome) {
    storage::logStoreFailure(*context_, outcome, "buffered positions not read");
    return {};
  }
  return rows;
}

bool MQTTDataStorageManager::deleteAllRecords() {
  const auto outcome = context_->write(
      [](SQLite::Database& db) { db.exec(std::string("DELETE FROM ") + MqttLocationData::entityName); });
  if (!outcome) storage::logStoreFailure(*context_, outcome, "buffered positions not deleted");
  return outcome.ok;
}

bool MQTTDataStorageManager::deleteRecord(const MqttLocationData& mqttrecord) {
  return deleteBatchEntity({mqttrecord});
}

bool MQTTDataStorageManager::deleteBatchEntity(const std::vector<MqttLocationData>& locations) {
  if (locations.empty()) return true;
  const auto outcome = context_->write([&](SQLite::Database&) {
    auto q = context_->statement(storage::deleteByKeySql<MqttLocationData>());
    for (const auto& row : locations) {
      q->bind(1, static_cast<std::int64_t>(row.objectID));
      q->exec();
      q->reset();
    }
  });
  if (!outcome) storage::logStoreFailure(*context_, outcome, "replayed positions not deleted");
  return outcome.ok;
}

bool MQTTDataStorageManager::deleteLocationEntity(std::int64_t tag) {
  const auto outcome = context_->write([&](SQLite::Database& db) {
    SQLite::Statement find(db, std::string("SELECT ") + storage::kPrimaryKey + " FROM " + MqttLocationData::entityName +
                                   " WHERE mqtt_id = ? LIMIT 2");
    // Tags are stored saturated to 16 bits; look them up the same way.
    find.bind(1, static_cast<int>(saturatingInt16(tag)));
    std::vector<std::int64_t> keys;
    while (find.executeStep()) keys.push_back(find.getColumn(0).getInt64());
    if (keys.size() != 1) return;
    SQLite::Statement del(
        db, std::string("DELETE FROM ") + MqttLocationData::entityName + " WHERE " + storage::kPrimaryKey + " = ?");
    del.bind(1, keys.front());
    del.exec();
  });
  if (!outcome) {
    storage::logStoreFailure(*context_, outcome, "position with tag " + std::to_string(tag) + " not deleted");
  }
  return outcome.ok;
}

}  // namespace pelk
