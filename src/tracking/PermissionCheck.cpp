#include "tracking/PermissionCheck.h"

#include <atomic>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "platform/LocationServices.h"
#include "tracking/TrackingHooks.h"

namespace pelk {
namespace {
std::atomic<bool> gMotionAuthorized{false};
}

bool PermissionCheck::isLocationPermissionGranted() {
  if (!platform::LocationServices::locationServicesEnabled()) return false;
  return platform::isAuthorized(platform::LocationServices::authorizationStatus());
}

bool PermissionCheck::isCoreMotionAuthorized() { return gMotionAuthorized.load(); }

void PermissionCheck::setCoreMotionAuthorized(bool authorized) { gMotionAuthorized.store(authorized); }

PelkRequestLocation& PelkRequestLocation::shareInstance() {
  // Never destroyed: location managers hold their delegate weakly, and the
  // main queue may still run a callback for it at exit.
  static auto* instance = [] {
    installTrackingDeviceContextHooks();
    auto* holder = new std::shared_ptr<PelkRequestLocation>(new PelkRequestLocation());
    (*holder)->setDelegate();
    return holder;
  }();
  return **instance;
}

void PelkRequestLocation::setDelegate() {
  std::shared_ptr<platform::LocationManager> manager;
  {
    std::lock_guard lock(mutex_);
    if (!locationManager_) locationManager_ = platform::LocationManager::create();
    manager = locationManager_;
  }
  if (!manager->hasDelegate()) manager->setDelegate(shared_from_this());
}

void PelkRequestLocation::requestLocation() {
  setDelegate();
  auto manager = locationManager();
  if (!manager) return;
  manager->requestWhenInUseAuthorization();
  manager->setDelegate(shared_from_this());
}

void PelkRequestLocation::didChangeAuthorization(platform::LocationManager& manager,
                                                 platform::AuthorizationStatus status) {
  const auto raw = static_cast<int>(status);
  LoggerManager::sharedInstance().writeLocationToFile("Request location permission:" + std::to_string(raw));
  SharedUtil::setDefaultInteger(raw, klocationPermissionStatus);
  if (!platform::isAuthorized(status)) return;
  SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
  manager.clearDelegate();
  std::lock_guard lock(mutex_);
  if (locationManager_.get() == &manager) locationManager_.reset();
}

std::shared_ptr<platform::LocationManager> PelkRequestLocation::locationManager() const {
  std::lock_guard lock(mutex_);
  return locationManager_;
}

}  // namespace pelk
