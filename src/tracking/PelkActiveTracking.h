#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/LocationManager.h"
#include "tracking/TrackingModeSupport.h"

namespace pelk {

// Continuous hundred-metre tracking in foreground and background, with a
// geofence around each accepted position and a distance filter that follows
// the dynamic geofence radius.  Started and stopped by the manager; stops
// itself when a callback finds that the stored mode is no longer active.
class PelkActiveTracking : public trackingmode::GeofencedMode {
 public:
  static PelkActiveTracking& shareInstance();

  void startTracking() override;
  // Queued on the main queue.
  void stopTracking() override;
  void createGeofence(const platform::Location& fix, std::int64_t radius) override;
  void updateLocationManager(std::int64_t radius) override;

 protected:
  void permissionGranted(platform::LocationManager& manager, const platform::Location& last) override;

 private:
  PelkActiveTracking();
};

}  // namespace pelk
