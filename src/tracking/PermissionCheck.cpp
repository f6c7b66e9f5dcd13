#include "tracking/PermissionCheck.h"

#include <atomic>
#include <cstdint>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "platform/LocationServices.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {
std::atomic<bool> gMotionAuthorized{false};

// Puts an answer in force and keeps it as one step, so that two answers given
// at once (the host's and the kit's) leave the one in force kept.  Lock order:
// with the locks held across a settings read-then-write (platform/LockOrder.h);
// this lock, then the location services' locks, then the settings suite's.
// Nothing called with it held calls back into this file: the location
// services tell their delegates later, on the main queue.
platform::Mutex& answerMutex() {
  static auto* m = new platform::Mutex;
  return *m;
}

bool isAnswer(std::int64_t raw) { return raw >= 1 && raw <= 4; }

void keep(platform::AuthorizationStatus status) {
  const auto raw = static_cast<std::int64_t>(status);
  if (SharedUtil::getDefaultInteger(klocationPermissionStatus) != raw) {
    SharedUtil::setDefaultInteger(raw, klocationPermissionStatus);
  }
}

platform::AuthorizationStatus restoreLocked() PELK_REQUIRES(answerMutex()) {
  const auto status = platform::LocationServices::authorizationStatus();
  if (status != platform::AuthorizationStatus::notDetermined) return status;
  const auto kept = SharedUtil::getDefaultInteger(klocationPermissionStatus);
  if (!isAnswer(kept)) return status;
  return platform::LocationServices::decideAuthorizationStatus(static_cast<platform::AuthorizationStatus>(kept));
}

}  // namespace

platform::AuthorizationStatus HostLocationAuthorization::restore() {
  platform::LockGuard lock(answerMutex());
  return restoreLocked();
}

platform::AuthorizationStatus HostLocationAuthorization::decide() {
  platform::LockGuard lock(answerMutex());
  auto status = restoreLocked();
  if (status == platform::AuthorizationStatus::notDetermined) {
    status = platform::LocationServices::decideAuthorizationStatus(platform::AuthorizationStatus::authorizedAlways);
  }
  keep(status);
  return status;
}

bool HostLocationAuthorization::state(std::int64_t status) {
  if (!isAnswer(status)) return false;
  const auto answer = static_cast<platform::AuthorizationStatus>(status);
  platform::LockGuard lock(answerMutex());
  platform::LocationServices::setAuthorizationStatus(answer);
  keep(answer);
  return true;
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
    auto* holder = new std::shared_ptr<PelkRequestLocation>(new PelkRequestLocation());
    (*holder)->setDelegate();
    return holder;
  }();
  return **instance;
}

void PelkRequestLocation::setDelegate() {
  std::shared_ptr<platform::LocationManager> manager;
  {
    platform::LockGuard lock(mutex_);
    if (!locationManager_) locationManager_ = platform::LocationManager::create();
    manager = locationManager_;
  }
  if (!manager->hasDelegate()) manager->setDelegate(shared_from_this());
}

void PelkRequestLocation::requestLocation() {
  setDelegate();
  // No one is there to answer a prompt: the kit's answer is the user's, heard
  // by this object's manager like one; an answer given earlier is recorded
  // all the same, so that the status answers what is in force.
  HostLocationAuthorization::decide();
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
  platform::LockGuard lock(mutex_);
  if (locationManager_.get() == &manager) locationManager_.reset();
}

std::shared_ptr<platform::LocationManager> PelkRequestLocation::locationManager() const {
  platform::LockGuard lock(mutex_);
  return locationManager_;
}

}  // namespace pelk
