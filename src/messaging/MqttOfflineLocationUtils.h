// STAND-IN: replaced by the real connection
#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "storage/LocalEntities.h"

namespace pelk {

// Turns rows of the offline MQTT buffer back into messages and removes rows
// from the buffer once their publish succeeded.
class MqttOfflineLocationUtils {
 public:
  static MqttOfflineLocationUtils& sharedInstance();
  // The message of one buffered row, shaped like the live message and filtered
  // by the same publish switches.
  nlohmann::json offlineLocationParameter(const MqttLocationData& row);
  // Publishes one row's message and deletes the row once the publish succeeded.
  void locationDataToDictionary(const MqttLocationData& row);
  // Publishes one page of rows as one message and deletes them once it succeeded.
  void locationDataBatch(const std::vector<MqttLocationData>& rows);
};

}  // namespace pelk
