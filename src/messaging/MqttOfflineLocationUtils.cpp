#include "messaging/MqttOfflineLocationUtils.h"

#include <string>

#include "device/AppUtili.h"
#include "foundation/LoggerManager.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
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
  auto& buffer = MQTTManager::sharedInstance().offlineBuffer();
  std::vector<nlohmann::json> dictionaries;
  dictionaries.reserve(rows.size());
  for (const auto& row : rows) dictionaries.push_back(row.dictionary());
  nlohmann::json array = AppUtilis::convertToJSONArray(dictionaries);
  if (array.size() != rows.size()) {
    platform::Console::print("Location batch of " + std::to_string(rows.size()) + " rows not converted; kept");
    return 0;
  }
  // A row that can never be sent would hold back the rest of its page for
  // ever: it is set aside (removed), and the others go.
  std::vector<MqttLocationData> aside;
  std::vector<std::size_t> page;  // indices of the rows that go
  auto setAside = [&](std::size_t i, const char* why) {
    platform::Console::print("pelk: buffered position " + rows[i].location_id.value_or("(no id)") +
                             " removed unsent: " + why);
    aside.push_back(rows[i]);
  };
  // A position goes on the topic of the user it was taken for, or nowhere.
  const std::string user = TokenManager::getUserId();
  if (user.empty()) {
    // Nobody signed in (a logout under way, or settings that cannot say who):
    // there is no topic to send on and no other user to set rows aside for.
    platform::Console::print("Location batch of " + std::to_string(rows.size()) + " rows kept: no user signed in");
    return 0;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].user_id.value_or("") == user) {
      page.push_back(i);
    } else {
      setAside(i, "it was taken for another user");
    }
  }
  auto pageText = [&] {
    nlohmann::json objects = nlohmann::json::array();
    for (auto i : page) objects.push_back(array[i]);
    return tryToJSONString(objects, true);
  };
  auto text = page.empty() ? std::nullopt : pageText();
  if (!page.empty() && !text) {
    // Only now is each row looked at on its own: most pages write at once.
    std::erase_if(page, [&](std::size_t i) {
      if (isWritableJson(array[i])) return false;
      setAside(i, "it cannot be written as JSON");
      return true;
    });
    text = page.empty() ? std::nullopt : pageText();
  }
  std::size_t removed = 0;
  if (!aside.empty() && buffer.deleteBatchEntity(aside)) removed = aside.size();
  if (page.empty()) return removed;
  if (!text) {
    // Sending "[]" and deleting the page would lose it; it stays buffered.
    platform::Console::print("Location batch of " + std::to_string(page.size()) + " rows not written; kept");
    return removed;
  }
  auto& logger = LoggerManager::sharedInstance();
  logger.writeLocationToFile("Location Batch update " + std::to_string(page.size()) + "\n " + *text);
  const bool acknowledged = MQTTManager::sharedInstance().publishAcknowledged(*text, user);
  logger.writeLocationToFile(std::string("Location Batch update Status ") + (acknowledged ? "true" : "false"));
  if (!acknowledged) return removed;
  std::vector<MqttLocationData> sent;
  sent.reserve(page.size());
  for (auto i : page) sent.push_back(rows[i]);
  return removed + (buffer.deleteBatchEntity(sent) ? sent.size() : 0);
}

}  // namespace pelk
