#include "messaging/HttpOfflineLocationUtils.h"

#include <memory>

#include "messaging/LocationMessageKeys.h"
#include "messaging/LocationUtils.h"

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
  locationDataToDictionary(*sent, [this, &store, sent, finish](bool accepted) {
    const bool deleted = accepted && store.deleteRecords(*sent);
    uploading_ = false;
    finish(deleted);
  }, api);
}

}  // namespace pelk
