#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Location.h"

namespace pelk {

// The one road of every accepted position: advances the local trips, hands
// the position to the app, and publishes it live, buffers it, or stops
// tracking; a position taken in an app state the tracking is not for pauses
// tracking instead.  No state; runs on the caller's thread.
class LocationDataManager {
 public:
  static LocationDataManager& sharedInstance();

  // activity "M" or "S"; manual true only for the app-requested
  // current-location update; speed in km/h; recordedAt only from trip actions.
  void sendDataServer(const platform::Location& fix, const std::string& activity, bool manual, std::int64_t speed,
                      const std::string& locationId, const std::optional<std::string>& recordedAt = std::nullopt);
  // Publishes when the MQTT connection is up; buffers when it is not or the
  // publish fails.
  void sendLocationDataMqtt(const platform::Location& fix, const std::string& activity, bool manual,
                            std::int64_t speed, const std::optional<std::string>& locationId = std::nullopt,
                            const std::optional<std::string>& recordedAt = std::nullopt);
};

}  // namespace pelk
