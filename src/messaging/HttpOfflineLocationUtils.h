#pragma once

#include <functional>
#include <vector>

#include <nlohmann/json.hpp>

#include "network/PelkAPIClient.h"
#include "storage/LocalEntities.h"
#include "storage/PelkHTTPDataStorageManager.h"

namespace pelk {

// Uploads the rows of the offline HTTP buffer to the REST location endpoint.
class HttpOfflineLocationUtils {
 public:
  static HttpOfflineLocationUtils& sharedInstance();

  // The upload object of one row: position, state flags, the texts that hold
  // a value, and the time-zone offset stored with the row (the current one
  // for a row stored without).  Values that cannot be written as JSON are left
  // out with a log line.
  nlohmann::json offlineLocationParameter(const HttpLocationData& row);
  // Uploads the rows as one JSON array; an empty list sends nothing.  The
  // completion (optional) gets true exactly when the server accepted them.
  void locationDataToDictionary(const std::vector<HttpLocationData>& rows,
                                std::function<void(bool accepted)> completion = nullptr,
                                PelkAPIClient& api = PelkAPIClient::sharedInstance());
  // Uploads every row of the buffer and deletes exactly those rows once the
  // server accepted them; a refused or failed upload keeps them all, and rows
  // stored meanwhile wait for the next upload.  One upload at a time: a call
  // while one runs does nothing.  The completion (optional) gets true when
  // rows were uploaded and deleted.
  void uploadStoredLocations(PelkHTTPDataStorageManager& store = PelkHTTPDataStorageManager::shared(),
                             std::function<void(bool uploaded)> completion = nullptr,
                             PelkAPIClient& api = PelkAPIClient::sharedInstance());
};

}  // namespace pelk
