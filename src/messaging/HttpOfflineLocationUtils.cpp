#include "messaging/HttpOfflineLocationUtils.h"

#include <exception>
#include <memory>
#include <string>

#include "messaging/LocationMessageKeys.h"
#include "messaging/LocationUtils.h"
#include "platform/Console.h"

namespace pelk {

HttpOfflineLocationUtils& HttpOfflineLocationUtils::sharedInstance() {
  static auto* instance = new HttpOfflineLocationUtils();
  return *instance;
}

nlohmann::json HttpOfflineLocationUtils::offlineLocationParameter(const HttpLocationData& row) {
  nlohmann::json out = nlohmann::json::object();
  const auto record = PelkHTTPDataStorageManager::uploadRecord(row);
  for (const auto& [key, value] : record.items()) message::put(out, key, value);
  return out;
}

void HttpOfflineLocationUtils::locationDataToDictionary(const std::vector<HttpLocationData>& rows,
                                                        std::function<void(bool)> completion, PelkAPIClient& api) {
  nlohmann::json body = nlohmann::json::array();
  for (const auto& row : rows) body.push_back(offlineLocationParameter(row));
  if (body.empty()) {
    if (completion) completion(false);
    return;
  }
  LocationUtils::sendOfflineLocationData(body, std::move(completion), api);
}

void HttpOfflineLocationUtils::uploadStoredLocations(PelkHTTPDataStorageManager& store,
                                                     std::function<void(bool)> completion, PelkAPIClient& api) {
  auto finish = [completion](bool uploaded) {
    if (completion) completion(uploaded);
  };
  if (uploading_.exchange(true)) {
    finish(false);
    return;
  }
  auto rows = store.fetchDeviceData();
  if (rows.empty()) {
    uploading_ = false;
    finish(false);
    return;
  }
  // The reply may come on the HTTP callback queue; the rows travel with it.
  auto sent = std::make_shared<std::vector<HttpLocationData>>(std::move(rows));
  auto answered = std::make_shared<std::atomic<bool>>(false);
  try {
    locationDataToDictionary(*sent, [this, &store, sent, answered, finish](bool accepted) {
      if (answered->exchange(true)) return;
      const bool deleted = accepted && store.deleteRecords(*sent);
      uploading_ = false;
      finish(deleted);
    }, api);
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
