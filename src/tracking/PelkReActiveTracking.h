#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/LocationManager.h"
#include "tracking/TrackingModeSupport.h"

namespace pelk {

// The balanced mode: continuous updates at hundred-metre accuracy with a 50 m
// distance filter in foreground and background, visits, and one region around
// the latest accepted position; distance filter and accuracy widen with the
// dynamic geofence radius.  Each start makes a new location manager and each
// stop drops it.  Started and stopped by the manager; stops itself when a
// callback finds that the stored mode is no longer balanced.
class PelkReActiveTracking : public trackingmode::GeofencedMode {
 public:
  static PelkReActiveTracking& shareInstance();

  void startTracking() override;
  // Queued on the main queue.  Removes the kit's prefixed geofences and the
  // region this mode placed (never a region of the same name placed by
  // someone else since).
  void stopTracking() override;
  void createGeofence(const platform::Location& fix, std::int64_t radius) override;
  void updateLocationManager(std::int64_t radius) override;

 private:
  PelkReActiveTracking();
  void removeOwnRegion(platform::LocationManager& manager);

  // The region this mode placed last, as it placed it (guarded by mutex_).
  std::optional<platform::CircularRegion> ownRegion_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk
