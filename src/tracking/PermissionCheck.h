#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/LocationManager.h"
#include "platform/ThreadSafety.h"

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

// The location authorization on a host without a permission prompt.  One
// answer is kept under "locationPermissionStatus" for later runs: the host's
// own (state), or the kit's grant of "always" the first time something needs
// an answer (decide).  What is kept is put in force again in the next run
// before anything reads the authorization (restore), as a phone's system
// remembers an app's answer.
class HostLocationAuthorization {
 public:
  // While this run has no answer yet: the kept one (1 to 4) is put in force.
  // Answers the status in force.
  static platform::AuthorizationStatus restore();
  // restore(); with nothing kept either, "always" is put in force.  What is
  // in force is kept.  Answers it.
  static platform::AuthorizationStatus decide();
  // The host's answer (1 restricted, 2 denied, 3 always, 4 when in use): in
  // force at once and kept.  False, changing nothing, for any other value.
  static bool state(std::int64_t status);
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
  // On a host without a prompt the kit's own answer (HostLocationAuthorization)
  // stands in for the user's; the answer in force is recorded even when it
  // was given before.
  void requestLocation();
  void didChangeAuthorization(platform::LocationManager& manager, platform::AuthorizationStatus status) override;

  // The manager held now (null after a grant).
  std::shared_ptr<platform::LocationManager> locationManager() const;

 private:
  PelkRequestLocation() = default;
  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::LocationManager> locationManager_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk
