#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "models/TrackedPosition.h"
#include "platform/Database.h"
#include "storage/LocalEntities.h"

namespace pelk {

class DeviceInfo;

// The buffer of positions that could not go out as live MQTT messages, kept in
// "PelkModel.sqlite" until the replay publishes them in pages and deletes each
// page that went out.  Every operation is one transaction on the store; it is
// safe from any thread.  A store that cannot be opened answers empty reads,
// and each dropped write leaves a console line.
class MQTTDataStorageManager {
 public:
  // Rows per replay page.
  static constexpr int kPageSize = 50;

  // The process-wide buffer over the documents directory's store.
  static MQTTDataStorageManager& shared();

  // `device` gives the readings stored with each position; the kit's
  // DeviceInfo when none is given.
  explicit MQTTDataStorageManager(std::shared_ptr<platform::Database> context, DeviceInfo* device = nullptr);
  virtual ~MQTTDataStorageManager() = default;
  MQTTDataStorageManager(const MQTTDataStorageManager&) = delete;
  MQTTDataStorageManager& operator=(const MQTTDataStorageManager&) = delete;

  const std::shared_ptr<platform::Database>& context() const { return context_; }

  // Stores one position with the device readings and stored switches of this
  // moment.  An absent or empty location id gets a new one; an absent or empty
  // recorded time becomes now (a stationary, non-manual position takes a
  // stored visit time instead, once).  Speed and tag saturate at 16 bits.
  // False (and a console line) when the row could not be stored.
  virtual bool saveLocationData(const TrackedPosition& position, std::int64_t mqttId = 0);
  // The row that would keep this position, with the device readings and
  // stored switches and ids of this moment, not stored.  An absent or empty
  // location id gets a new one; an absent or empty recorded time becomes now
  // (a stored visit time is not consulted).  Nothing for a position without
  // finite coordinates.
  std::optional<MqttLocationData> locationRow(const TrackedPosition& position);
  // Stores a row made earlier by locationRow(), as it was made (its time of
  // storing is now).  False (and a console line) when it could not be stored.
  virtual bool saveLocationRow(MqttLocationData row);
  // Every stored row, whatever its tag; 0 when the store cannot be read.
  virtual std::int64_t getOfflineLocationCount();
  // At most kPageSize rows tagged 0, in the order they were stored, skipping
  // `offset` of them.  Empty when there are none or the store cannot be read.
  virtual std::vector<MqttLocationData> fetchDeviceData(std::int64_t offset);
  // Empties the buffer.
  virtual bool deleteAllRecords();
  // Deletes the row with that primary key, if it is still there.
  virtual bool deleteRecord(const MqttLocationData& mqttrecord);
  // Deletes exactly the given rows (by primary key) in one transaction; rows
  // already gone are skipped.  Nothing happens for an empty list.
  virtual bool deleteBatchEntity(const std::vector<MqttLocationData>& locations);
  // Deletes the one row that carries this tag; nothing when none or several do.
  virtual bool deleteLocationEntity(std::int64_t tag);

 private:
  DeviceInfo& device() const;
  // `visit` receives the stored visit time when consultVisit and the position
  // is one that takes it.
  std::optional<MqttLocationData> makeRow(const TrackedPosition& position, std::int64_t mqttId, bool consultVisit,
                                          std::optional<std::string>* visit);
  bool insertRow(const MqttLocationData& row);

  std::shared_ptr<platform::Database> context_;
  DeviceInfo* device_;
};

}  // namespace pelk
