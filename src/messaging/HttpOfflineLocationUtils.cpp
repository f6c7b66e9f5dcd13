#include "messaging/HttpOfflineLocationUtils.h"

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
  // The store keeps the one-upload guard and deletes only what the server accepted; the body is
  // the records with every value that cannot be written left out.
  store.uploadStoredLocationsWith(
      [&api](const nlohmann::json& records, std::function<void(bool)> done) {
        nlohmann::json body = nlohmann::json::array();
        for (const auto& record : records) {
          nlohmann::json out = nlohmann::json::object();
          for (const auto& [key, value] : record.items()) message::put(out, key, value);
          body.push_back(std::move(out));
        }
        LocationUtils::sendOfflineLocationData(body, std::move(done), api);
      },
      std::move(completion));
}

}  // namespace pelk
