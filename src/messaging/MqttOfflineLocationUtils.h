#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "storage/LocalEntities.h"

namespace pelk {

// Buffered positions back on the wire: one row as a location message, or a
// page of rows as one JSON array.
class MqttOfflineLocationUtils {
 public:
  static MqttOfflineLocationUtils& sharedInstance();

  // The single-row message under the publish switches.
  nlohmann::json offlineLocationParameter(const MqttLocationData& row);
  // Publishes one row's message and deletes the row after a reported success.
  void locationDataToDictionary(const MqttLocationData& row);
  // Publishes the page as one pretty-printed JSON array (every stored
  // attribute of each row, in page order) and deletes exactly these rows once
  // the broker acknowledged it.  A row that can never be sent (taken for
  // another user than the stored one, or not writable as JSON) is removed
  // with a console line and the rest goes without it.  While nobody is
  // signed in the page is neither sent nor touched.  Answers how many rows
  // left the buffer: those removed, plus the sent ones once deleted.
  std::size_t locationDataBatch(const std::vector<MqttLocationData>& rows);
};

}  // namespace pelk
