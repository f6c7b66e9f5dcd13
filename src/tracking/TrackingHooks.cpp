#include "tracking/TrackingHooks.h"

#include <mutex>

#include "device/DeviceInfo.h"
#include "platform/LocationServices.h"
#include "tracking/LocationCounters.h"
#include "tracking/PermissionCheck.h"

namespace pelk {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
std::mutex& hooksMutex() {
  static auto* m = new std::mutex;
  return *m;
}
TrackingHooks& hooksStore() {
  static auto* h = new TrackingHooks;
  return *h;
}

}  // namespace

void setTrackingHooks(TrackingHooks hooks) {
  std::lock_guard lock(hooksMutex());
  hooksStore() = std::move(hooks);
}

void updateTrackingHooks(const std::function<void(TrackingHooks&)>& edit) {
  std::lock_guard lock(hooksMutex());
  edit(hooksStore());
}

TrackingHooks trackingHooks() {
  std::lock_guard lock(hooksMutex());
  return hooksStore();
}

namespace tracking {

void updateLocation(const platform::Location& fix, const std::string& activity) {
  if (auto f = trackingHooks().updateLocation) f(fix, activity);
}
void didFail(const PelkError& error) {
  if (auto f = trackingHooks().didFail) f(error);
}
void stopTracking() {
  if (auto f = trackingHooks().stopTracking) f();
}
bool checkAppTrackingState() {
  if (auto f = trackingHooks().checkAppTrackingState) return f();
  return true;
}
void pauseTracking() {
  if (auto f = trackingHooks().pauseTracking) f();
}

}  // namespace tracking

void installTrackingDeviceContextHooks() {
  updateDeviceContextHooks([](DeviceContextHooks& h) {
    h.locationServicesEnabled = [] { return platform::LocationServices::locationServicesEnabled(); };
    h.locationAuthorizationStatus = [] { return static_cast<int>(platform::LocationServices::authorizationStatus()); };
    h.motionAuthorized = [] { return PermissionCheck::isCoreMotionAuthorized(); };
  });
  PelkLocationGpsData::watchServiceAvailability();
}

}  // namespace pelk
