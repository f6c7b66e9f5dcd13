#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/LocationManager.h"

namespace pelk {

// Continuous hundred-metre tracking in foreground and background, with a
// geofence around each accepted position and a distance filter that follows
// the dynamic geofence radius.  Started and stopped by the manager; stops
// itself when a callback finds that the stored mode is no longer active.
class PelkActiveTracking : public platform::LocationManagerDelegate,
                           public std::enable_shared_from_this<PelkActiveTracking> {
 public:
  static PelkActiveTracking& shareInstance();

  void setDelegate();
  void startTracking();
  // Queued on the main queue.
  void stopTracking();
  // The per-position road.
  void updateLocation(const platform::Location& fix, const std::string& activity);
  void createGeofence(const platform::Location& fix, std::int64_t radius);
  void clearGeofence();
  void updateLocationManager(std::int64_t radius);

  void didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) override;
  void didExitRegion(platform::LocationManager& manager, const platform::CircularRegion& region) override;
  void didUpdateLocations(platform::LocationManager& manager, const std::vector<platform::Location>& fixes) override;
  void didVisit(platform::LocationManager& manager, const platform::Visit& visit) override;
  void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;

  std::shared_ptr<platform::LocationManager> locationManager() const;
  bool firstTimeCalled() const;
  // Tests: a fresh first-call flag.
  void resetFirstCallForTesting();

 private:
  PelkActiveTracking() = default;
  mutable std::mutex mutex_;
  std::shared_ptr<platform::LocationManager> locationManager_;
  bool firstTimeCalled_ = true;
};

}  // namespace pelk
