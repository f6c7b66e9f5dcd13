#include "tracking/TrackingLinks.h"

#include "device/DeviceInfo.h"
#include "platform/LocationServices.h"
#include "tracking/PermissionCheck.h"

namespace pelk::tracking {

bool links::mayTrack() { return true; }

void updateLocation(const platform::Location& fix, const std::string& activity) {
  links::updateLocation(fix, activity);
}
void didFail(const PelkError& error) { links::didFail(error); }
void stopTracking() { links::stopTracking(); }
bool checkAppTrackingState() { return links::checkAppTrackingState(); }
void pauseTracking() { links::pauseTracking(); }

void giveDeviceReadings() {
  device::links::locationServicesEnabled.set([] { return platform::LocationServices::locationServicesEnabled(); });
  device::links::locationAuthorizationStatus.set(
      [] { return static_cast<int>(platform::LocationServices::authorizationStatus()); });
  device::links::motionAuthorized.set([] { return PermissionCheck::isCoreMotionAuthorized(); });
}

}  // namespace pelk::tracking
