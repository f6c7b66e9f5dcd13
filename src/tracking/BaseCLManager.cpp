#include "tracking/BaseCLManager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "platform/Console.h"
#include "foundation/VuvivaZuvovo.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "tracking/LocationDataManager.h"
#include "tracking/SentFixes.h"

namespace pelk {
namespace {

constexpr auto kTripFallback = std::chrono::seconds(3);

// The newest fix: the greatest time stamp, the first of equal ones.
const platform::Location* newest(const std::vector<platform::Location>& fixes) {
  const platform::Location* best = nullptr;
  for (const auto& fix : fixes) {
    if (!best || fix.timestamp > best->timestamp) best = &fix;
  }
  return best;
}

}  // namespace

BaseCLManager& BaseCLManager::sharedInstance() {
  // Never destroyed: the location manager holds this delegate weakly and the
  // main queue may still run a callback or a queued stop at exit.
  static auto* instance = [] {
    auto* holder = new std::shared_ptr<BaseCLManager>(new BaseCLManager());
    (*holder)->setDelegate();
    return holder;
  }();
  return **instance;
}

void BaseCLManager::setDelegate() {
  std::shared_ptr<platform::LocationManager> m;
  {
    platform::LockGuard lock(mutex_);
    if (!manager_) manager_ = platform::LocationManager::create();
    m = manager_;
  }
  if (!m->hasDelegate()) m->setDelegate(shared_from_this());
}

std::uint64_t BaseCLManager::add(Request request) {
  setDelegate();
  request.requestedAt = platform::Clock::now();
  const auto bound = request.bound;
  std::shared_ptr<platform::LocationManager> m;
  std::uint64_t number = 0;
  {
    platform::LockGuard lock(mutex_);
    m = manager_;
    number = request.number = ++lastNumber_;
    pending_.push_back(std::move(request));
  }
  m->startUpdatingLocation();
  // The service lives for the process, so the timer may hold it plainly.
  platform::Dispatch::main().asyncAfter(bound, [this, number] { expire(number); });
  return number;
}

void BaseCLManager::getCurrentLocation(std::int64_t accuracy, Handler handler) {
  {
    platform::LockGuard lock(mutex_);
    lcoationAccuracy_ = accuracy;
  }
  add(Request{Kind::currentLocation, accuracy, std::move(handler)});
}

std::uint64_t BaseCLManager::startTrip(Handler handler) {
  SharedUtil::setDefaultDate(platform::Clock::now(), kCurrentLocationTimer);
  Request request{Kind::tripStart, lcoationAccuracy(), std::move(handler)};
  request.tripFallback = true;
  // It already takes any fix after 3 s: at its bound no fix came at all.
  request.coarserAtBound = false;
  request.bound = kTripStartBound;
  return add(std::move(request));
}

void BaseCLManager::updateCurrentLocationHandler(Handler handler) {
  add(Request{Kind::sinkUpdate, lcoationAccuracy(), std::move(handler)});
}

void BaseCLManager::updateCurrentLocation(std::int64_t accuracy) {
  {
    platform::LockGuard lock(mutex_);
    lcoationAccuracy_ = accuracy;
  }
  Request request{Kind::sinkUpdate, accuracy, nullptr};
  request.sink = SinkEntry{kStationary, true};
  add(std::move(request));
}

void BaseCLManager::updateCurrentLocationImproveAccuracy(std::int64_t accuracy) {
  {
    platform::LockGuard lock(mutex_);
    lcoationAccuracy_ = accuracy;
    // One retry at a time: a retry already waiting takes the tighter limit
    // instead of a second request that would send the same fix twice.
    for (auto& r : pending_) {
      if (r.clearsUpdatingFlag) {
        r.accuracy = std::min(r.accuracy, accuracy);
        return;
      }
    }
  }
  Request request{Kind::sinkUpdate, accuracy, nullptr};
  request.sink = SinkEntry{kMoving, false};
  request.clearsUpdatingFlag = true;
  // A coarse fix is what the mode refused: at its bound the retry just ends.
  request.coarserAtBound = false;
  add(std::move(request));
}

bool BaseCLManager::usable(const platform::Location& fix) {
  // A negative or unknown accuracy says the fix has no usable position; nor
  // has a fix without finite coordinates, whatever accuracy it claims.
  return std::isfinite(fix.horizontalAccuracy) && fix.horizontalAccuracy >= 0 && fix.hasFiniteCoordinate();
}

bool BaseCLManager::accepts(const Request& request, const platform::Location& fix, platform::TimePoint now) const {
  if (!usable(fix)) return false;
  // Compared as a double: an estimate past what an integer holds (a receiver
  // gone wild) would not convert, and may come out as a small number.
  if (std::trunc(fix.horizontalAccuracy) <= static_cast<double>(request.accuracy)) return true;
  return request.tripFallback && now - request.requestedAt > kTripFallback;
}

void BaseCLManager::finish(const Request& request) {
  if (request.clearsUpdatingFlag) SharedUtil::setDefaultBoolean(false, kIsLocationUpdating);
}

void BaseCLManager::didUpdateLocations(platform::LocationManager&, const std::vector<platform::Location>& fixes) {
  PELK_ASSERT_ON_MAIN();
  const auto* fix = newest(fixes);
  if (!fix) return;
  char accuracy[64];
  std::snprintf(accuracy, sizeof accuracy, "%.1f", fix->horizontalAccuracy);
  LoggerManager::sharedInstance().writeLocationToFile(std::string("Base location update:") + accuracy);

  const auto now = platform::Clock::now();
  std::vector<Request> served;
  bool tripStillWaiting = false;
  {
    platform::LockGuard lock(mutex_);
    // Served in the order current location, trip start, sink update; within a
    // kind in the order the requests were made.
    for (Kind kind : {Kind::currentLocation, Kind::tripStart, Kind::sinkUpdate}) {
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->kind == kind && accepts(*it, *fix, now)) {
          served.push_back(std::move(*it));
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
    }
    // What still waits remembers the most accurate fix it saw, for its bound.
    if (usable(*fix)) {
      for (auto& r : pending_) {
        if (!r.best || fix->horizontalAccuracy <= r.best->horizontalAccuracy) r.best = *fix;
      }
    }
    tripStillWaiting = std::any_of(pending_.begin(), pending_.end(), [](const Request& r) { return r.tripFallback; });
  }
  if (served.empty()) return;
  if (!tripStillWaiting) SharedUtil::removeKey(kCurrentLocationTimer);
  answer(served, *fix);
  stopTracking();
}

void BaseCLManager::expire(std::uint64_t number) {
  std::vector<Request> ended;
  bool tripStillWaiting = false;
  {
    platform::LockGuard lock(mutex_);
    const auto it =
        std::find_if(pending_.begin(), pending_.end(), [&](const Request& r) { return r.number == number; });
    if (it == pending_.end()) return;
    ended.push_back(std::move(*it));
    pending_.erase(it);
    tripStillWaiting = std::any_of(pending_.begin(), pending_.end(), [](const Request& r) { return r.tripFallback; });
  }
  if (ended.front().tripFallback && !tripStillWaiting) SharedUtil::removeKey(kCurrentLocationTimer);
  std::optional<platform::Location> fix;
  if (ended.front().coarserAtBound) fix = ended.front().best;
  answer(ended, fix);
  stopTracking();
}

void BaseCLManager::answer(std::vector<Request>& ended, const std::optional<platform::Location>& fix) {
  const PelkError error408(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION);
  // Every sink request this fix answers makes one entry: the app's manual
  // update when it is among them, else a retry.
  std::optional<SinkEntry> entry;
  for (auto& request : ended) {
    finish(request);
    if (request.sink) {
      if (!entry || (request.sink->manual && !entry->manual)) entry = request.sink;
    } else if (request.handler) {
      if (fix) {
        request.handler(*fix, std::nullopt);
      } else {
        request.handler(std::nullopt, error408);
      }
    }
  }
  // Not again when a tracking mode has just sent this very fix.
  if (entry && fix && SentFixes::shared().claim(*fix)) sendDataToServer(*fix, entry->activity, entry->manual);
  // The app's own update has no handler to hear that no position came.
  if (entry && entry->manual && !fix) reportNoFixForUpdate();
}

void BaseCLManager::reportNoFixForUpdate() {
  platform::Console::print("Current location not updated: no position came in time", platform::Console::Level::Error);
}

void BaseCLManager::didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) {
  PELK_ASSERT_ON_MAIN();
  LoggerManager::sharedInstance().writeLocationToFile("Base location failed:" + error.localizedDescription());
  const bool denied = error.code == platform::LocationErrorCode::denied;
  std::vector<Request> failed;
  {
    platform::LockGuard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      // A trip start fails on any failure; with access denied nothing that
      // waits can be served, so every request ends.
      if (denied || it->kind == Kind::tripStart) {
        failed.push_back(std::move(*it));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  const PelkError error408(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION);
  bool manualUpdateFailed = false;
  for (auto& request : failed) {
    finish(request);
    if (request.handler) request.handler(std::nullopt, error408);
    manualUpdateFailed |= request.sink && request.sink->manual;
  }
  if (manualUpdateFailed) reportNoFixForUpdate();
  if (denied) {
    manager.stopMonitoringSignificantLocationChanges();
    manager.stopMonitoringVisits();
    manager.stopUpdatingLocation();
  }
  if (!failed.empty()) stopTracking();
}

void BaseCLManager::sendDataToServer(const platform::Location& fix, const std::string& activity, bool manual) {
  SharedUtil::setDefaultString(activity, kCurrentMotion);
  LocationDataManager::sharedInstance().sendDataServer(
      {.fix = fix, .activity = activity, .manual = manual, .locationId = AppUtilis::getLocationId()});
}

void BaseCLManager::stopTracking() {
  platform::Dispatch::main().async([this] {
    std::shared_ptr<platform::LocationManager> m;
    {
      platform::LockGuard lock(mutex_);
      // A request made since the delivery keeps its updates and delegate.
      if (!pending_.empty()) return;
      lcoationAccuracy_ = kDefaultAccuracy;
      m = manager_;
    }
    if (!m) return;
    m->stopUpdatingLocation();
    m->clearDelegate();
  });
}

std::shared_ptr<platform::LocationManager> BaseCLManager::manager() const {
  platform::LockGuard lock(mutex_);
  return manager_;
}

std::int64_t BaseCLManager::lcoationAccuracy() const {
  platform::LockGuard lock(mutex_);
  return lcoationAccuracy_;
}

std::size_t BaseCLManager::pendingCount() const {
  platform::LockGuard lock(mutex_);
  return pending_.size();
}

void BaseCLManager::failPending(const PelkError& error) {
  std::vector<Request> failed;
  {
    platform::LockGuard lock(mutex_);
    failed.swap(pending_);
  }
  if (failed.empty()) return;
  SharedUtil::removeKey(kCurrentLocationTimer);
  for (auto& request : failed) {
    finish(request);
    if (request.handler) request.handler(std::nullopt, error);
  }
  stopTracking();
}

void BaseCLManager::cancel(std::uint64_t request) {
  std::optional<Request> dropped;
  bool tripStillWaiting = false;
  {
    platform::LockGuard lock(mutex_);
    const auto it =
        std::find_if(pending_.begin(), pending_.end(), [&](const Request& r) { return r.number == request; });
    if (it == pending_.end()) return;
    dropped = std::move(*it);
    pending_.erase(it);
    tripStillWaiting = std::any_of(pending_.begin(), pending_.end(), [](const Request& r) { return r.tripFallback; });
  }
  if (dropped->tripFallback && !tripStillWaiting) SharedUtil::removeKey(kCurrentLocationTimer);
  finish(*dropped);
  // Handler dropped outside the lock: it may hold the caller's objects.
  dropped.reset();
  stopTracking();
}

void BaseCLManager::resetForTesting() {
  std::vector<Request> dropped;
  std::shared_ptr<platform::LocationManager> m;
  {
    platform::LockGuard lock(mutex_);
    dropped.swap(pending_);
    lcoationAccuracy_ = kDefaultAccuracy;
    m = manager_;
  }
  for (auto& r : dropped) finish(r);
  if (m) {
    m->stopUpdatingLocation();
    m->clearDelegate();
  }
}

}  // namespace pelk
