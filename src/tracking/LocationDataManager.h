#pragma once

#include "models/TrackedPosition.h"

namespace pelk {

// The one road of every accepted position: advances the local trips, hands
// the position to the app, and publishes it live, buffers it, or stops
// tracking; a position taken in an app state the tracking is not for pauses
// tracking instead.  No state; runs on the caller's thread.
class LocationDataManager {
 public:
  static LocationDataManager& sharedInstance();

  void sendDataServer(const TrackedPosition& position);
  // Publishes when the MQTT connection is up; buffers when it is not or the
  // publish fails.
  void sendLocationDataMqtt(const TrackedPosition& position);
};

}  // namespace pelk
