#include "messaging/MqttOfflineLocationUtils.h"

#include <string>

#include "device/AppUtili.h"
#include "foundation/LoggerManager.h"
#include "foundation/StringExtensions.h"
#include "messaging/MQTTManager.h"
#include "platform/Console.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk {

MqttOfflineLocationUtils& MqttOfflineLocationUtils::sharedInstance() {
  static auto* instance = new MqttOfflineLocationUtils();
  return *instance;
}

std::size_t MqttOfflineLocationUtils::locationDataBatch(const std::vector<MqttLocationData>& rows) {
  if (rows.empty()) return 0;
  std::vector<nlohmann::json> dictionaries;
  dictionaries.reserve(rows.size());
  for (const auto& row : rows) dictionaries.push_back(row.dictionary());
  const nlohmann::json array = AppUtilis::convertToJSONArray(dictionaries);
  const auto text = tryToJSONString(array, true);
  if (!text || array.size() != rows.size()) {
    // Sending "[]" and deleting the page would lose it; it stays buffered.
    platform::Console::print("Location batch of " + std::to_string(rows.size()) + " rows not written; kept");
    return 0;
  }
  auto& logger = LoggerManager::sharedInstance();
  logger.writeLocationToFile("Location Batch update " + std::to_string(rows.size()) + "\n " + *text);
  const bool acknowledged = MQTTManager::sharedInstance().publishAcknowledged(*text);
  logger.writeLocationToFile(std::string("Location Batch update Status ") + (acknowledged ? "true" : "false"));
  if (!acknowledged) return 0;
  return MQTTManager::sharedInstance().offlineBuffer().deleteBatchEntity(rows) ? rows.size() : 0;
}

}  // namespace pelk
