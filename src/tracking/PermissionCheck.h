#pragma once

#include <memory>
#include <mutex>

#include "platform/LocationManager.h"

namespace pelk {

// Side-effect-free permission answers.
class PermissionCheck {
 public:
  // False when location services are off on the device (the app's
  // authorization is then not read); otherwise true for "always" and
  // "when in use".
  static bool isLocationPermissionGranted();
  // Motion and fitness permission.  A Linux host has no motion permission
  // dialog: the host states it with setCoreMotionAuthorized (default false).
  static bool isCoreMotionAuthorized();
  static void setCoreMotionAuthorized(bool authorized);
};

// Asks the user for location permission (while in use) and records the
// answer under "locationPermissionStatus"; a grant also switches
// "isLocationTracking" on and lets go of the location manager.
class PelkRequestLocation : public platform::LocationManagerDelegate,
                            public std::enable_shared_from_this<PelkRequestLocation> {
 public:
  static PelkRequestLocation& shareInstance();

  // Creates the location manager when there is none and becomes its delegate.
  void setDelegate();
  void requestLocation();
  void didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) override;

  // The manager held now (null after a grant).
  std::shared_ptr<platform::LocationManager> locationManager() const;

 private:
  PelkRequestLocation() = default;
  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable std::mutex mutex_;
  std::shared_ptr<platform::LocationManager> locationManager_;
};

}  // namespace pelk
