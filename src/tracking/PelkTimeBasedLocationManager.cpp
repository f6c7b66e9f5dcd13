#include "tracking/PelkTimeBasedLocationManager.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationUtils.h"
#include "platform/Console.h"
#include "tracking/BaseCLManager.h"
#include "tracking/CustomAccuracyGate.h"
#include "tracking/LocationDataManager.h"
#include "tracking/SentFixes.h"
#include "tracking/TrackingModeSupport.h"
#include "platform/Dispatch.h"

namespace pelk {
namespace {

constexpr std::int64_t kDefaultImproveAccuracy = 50;
// A hundred years, in seconds.
constexpr std::int64_t kLongestTick = std::int64_t{100} * 365 * 24 * 3600;

// A receiver's speed gone wild (past what an integer holds) is no speed.
std::int64_t toInt(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9.0e18) return 0;
  return static_cast<std::int64_t>(value);
}

}  // namespace

PelkTimeBasedLocationManager& PelkTimeBasedLocationManager::instance() {
  // Never destroyed: the location manager holds this delegate weakly and the
  // main queue may still run a tick or a callback at exit.
  static auto* instance = [] {
    return new std::shared_ptr<PelkTimeBasedLocationManager>(new PelkTimeBasedLocationManager());
  }();
  return **instance;
}

void PelkTimeBasedLocationManager::start(std::int64_t frequencyToUpdate) {
  PELK_ASSERT_ON_MAIN();
  std::shared_ptr<platform::LocationManager> m;
  std::shared_ptr<platform::Timer> held;
  bool needObserver = false;
  {
    platform::LockGuard lock(mutex_);
    updateInterval_ = frequencyToUpdate;
    if (!locManager_) locManager_ = platform::LocationManager::create();
    m = locManager_;
    held = std::move(timer_);
    needObserver = !backgroundObserver_;
    ++generation_;
  }
  // A timer of an earlier start would go on ticking beside the new one.
  if (held) held->invalidate();
  m->setDelegate(shared_from_this());
  m->setDesiredAccuracy(platform::DesiredAccuracy::best);
  m->setAllowsBackgroundLocationUpdates(true);
  if (needObserver) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto id = center.addObserver(platform::Application::didEnterBackgroundNotification, nullptr,
                                       [this](const platform::Notification&) { applicationEnterBackground(); });
    bool duplicate = false;
    {
      platform::LockGuard lock(mutex_);
      if (backgroundObserver_) {
        duplicate = true;
      } else {
        backgroundObserver_ = id;
      }
    }
    if (duplicate) center.removeObserver(id);
  }
  m->startUpdatingLocation();
  // A tick at least every second: an interval below that would spin the main
  // queue.  One past a century never comes in practice; capping it keeps the
  // count within the clock's units instead of wrapping into a tick at once.
  const auto interval = std::clamp<std::int64_t>(frequencyToUpdate, 1, kLongestTick);
  auto timer = platform::Dispatch::scheduleRepeating(platform::Dispatch::main(), std::chrono::seconds(interval),
                                                     [this] { stopAndRequestAgain(); });
  std::shared_ptr<platform::Timer> displaced;
  {
    platform::LockGuard lock(mutex_);
    displaced = std::exchange(timer_, std::move(timer));
  }
  if (displaced) displaced->invalidate();
}

void PelkTimeBasedLocationManager::stop() {
  std::optional<platform::NotificationCenter::ObserverId> observer;
  std::uint64_t generation = 0;
  bool running = false;
  {
    platform::LockGuard lock(mutex_);
    observer = std::exchange(backgroundObserver_, std::nullopt);
    generation = generation_;
    running = locManager_ != nullptr || timer_ != nullptr;
  }
  if (observer) platform::NotificationCenter::defaultCenter().removeObserver(*observer);
  endBackgroundTask();
  if (!running) return;
  auto work = [this, generation] {
    std::shared_ptr<platform::LocationManager> m;
    std::shared_ptr<platform::Timer> t;
    {
      platform::LockGuard lock(mutex_);
      if (generation_ != generation) return;
      t = std::move(timer_);
      m = std::move(locManager_);
    }
    if (t) t->invalidate();
    if (m) {
      m->stopUpdatingLocation();
      m->clearDelegate();
    }
  };
  if (platform::Dispatch::isMainThread()) {
    work();
  } else {
    platform::Dispatch::main().async(work);
  }
}

void PelkTimeBasedLocationManager::restart() {
  std::shared_ptr<platform::Timer> held;
  std::optional<std::int64_t> interval;
  {
    platform::LockGuard lock(mutex_);
    held = std::move(timer_);
    interval = updateInterval_;
  }
  if (held) held->invalidate();
  if (interval) start(*interval);
}

void PelkTimeBasedLocationManager::stopAndRequestAgain() {
  PELK_ASSERT_ON_MAIN();
  auto m = locationManager();
  if (!m) return;
  m->stopUpdatingLocation();
  m->startUpdatingLocation();
}

void PelkTimeBasedLocationManager::applicationEnterBackground() {
  platform::Console::print("applicationEnterBackground");
  restart();
}

bool PelkTimeBasedLocationManager::isItTime(platform::TimePoint now) const {
  platform::LockGuard lock(mutex_);
  if (!lastLocationDate_ || !updateInterval_) return false;
  // A clock stepped back leaves the last send in the future: counting starts
  // afresh instead of waiting, silent, until the clock has caught up.
  if (now < *lastLocationDate_) return true;
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - *lastLocationDate_).count();
  return *updateInterval_ < elapsed;
}

void PelkTimeBasedLocationManager::sendLocationToServer(const platform::Location& location, platform::TimePoint) {
  {
    platform::LockGuard lock(mutex_);
    lastLocationDate_ = platform::Clock::now();
  }
  // Only the stored mode decides: self-tracking never sets the tracking
  // switch, so a gate on it would end interval self-tracking at its first fix.
  if (SaveUtilis::getTrackingOptions() != PelkTrackingModeLocal::custom) {
    stop();
    return;
  }
  // Measured against this tracker's own previous position, not the shared
  // last position, which only the other modes keep (and which may be hours
  // old or missing).  Moving or stationary follows the speed that is sent.
  std::optional<platform::Location> previous;
  {
    platform::LockGuard lock(mutex_);
    previous = std::exchange(previousPosition_, location);
  }
  const auto speed = toInt(trackingmode::ownSpeedKmh(location, previous));
  // The one-shot service may have sent this very fix in a retry already.
  if (!SentFixes::shared().claim(location)) return;
  LocationDataManager::sharedInstance().sendDataServer({.fix = location,
                                                        .activity = speed > 0 ? kMoving : kStationary,
                                                        .speed = speed,
                                                        .locationId = AppUtilis::getLocationId()});
}

void PelkTimeBasedLocationManager::beginNewBackgroundTask() {
  // One task at a time: the held one ends before the next begins.
  endBackgroundTask();
  auto holder = std::make_shared<platform::BackgroundTaskId>(platform::invalidBackgroundTask);
  const auto id = platform::Application::beginBackgroundTask(
      [this, holder] {
        // Time is up: the task is ended and no longer held.
        {
          platform::LockGuard lock(mutex_);
          if (currentBgTaskId_ == *holder) currentBgTaskId_.reset();
        }
        platform::Application::endBackgroundTask(*holder);
      },
      "time-based tracking");
  *holder = id;
  {
    platform::LockGuard lock(mutex_);
    currentBgTaskId_ = id;
  }
  restart();
}

void PelkTimeBasedLocationManager::endBackgroundTask() {
  std::optional<platform::BackgroundTaskId> held;
  {
    platform::LockGuard lock(mutex_);
    held = std::exchange(currentBgTaskId_, std::nullopt);
  }
  if (held) platform::Application::endBackgroundTask(*held);
}

void PelkTimeBasedLocationManager::didUpdateLocations(platform::LocationManager&,
                                                      const std::vector<platform::Location>& fixes) {
  PELK_ASSERT_ON_MAIN();
  if (fixes.empty()) return;
  const auto fix = fixes.back();
  const bool filterOn = SharedUtil::getDefaultBoolean(kAccuracyFilterCustom);
  if (!filterOn && unusableFix(fix)) return;
  if (!filterOn || passesCustomAccuracyGate(fix)) {
    bool first = false;
    {
      platform::LockGuard lock(mutex_);
      first = !lastLocationDate_;
    }
    if (first) sendLocationToServer(fix, platform::Clock::now());
    if (isItTime(platform::Clock::now())) sendLocationToServer(fix, platform::Clock::now());
    return;
  }
  auto accuracy = SharedUtil::getDefaultInteger(kAccuracyFilterCustomValue);
  if (accuracy < 1) accuracy = kDefaultImproveAccuracy;
  if (SharedUtil::getDefaultBoolean(kIsLocationUpdating)) return;
  SharedUtil::setDefaultBoolean(true, kIsLocationUpdating);
  BaseCLManager::sharedInstance().updateCurrentLocationImproveAccuracy(accuracy);
}

void PelkTimeBasedLocationManager::didFailWithError(platform::LocationManager&, const platform::LocationError&) {
  PELK_ASSERT_ON_MAIN();
  beginNewBackgroundTask();
  // Updates stay off until the next tick starts them again.
  if (auto m = locationManager()) m->stopUpdatingLocation();
}

void PelkTimeBasedLocationManager::didChangeAuthorization(platform::LocationManager&,
                                                          platform::AuthorizationStatus status) {
  LoggerManager::sharedInstance().writeLocationToFile("Custom location permission:" +
                                                      std::to_string(static_cast<int>(status)));
  SharedUtil::setDefaultBoolean(platform::isAuthorized(status), kIsLocationTracking);
}

std::shared_ptr<platform::LocationManager> PelkTimeBasedLocationManager::locationManager() const {
  platform::LockGuard lock(mutex_);
  return locManager_;
}

std::optional<std::int64_t> PelkTimeBasedLocationManager::updateInterval() const {
  platform::LockGuard lock(mutex_);
  return updateInterval_;
}

bool PelkTimeBasedLocationManager::hasTimer() const {
  platform::LockGuard lock(mutex_);
  return timer_ != nullptr;
}

std::optional<platform::BackgroundTaskId> PelkTimeBasedLocationManager::backgroundTask() const {
  platform::LockGuard lock(mutex_);
  return currentBgTaskId_;
}

void PelkTimeBasedLocationManager::resetForTesting() {
  platform::LockGuard lock(mutex_);
  lastLocationDate_.reset();
  updateInterval_.reset();
  previousPosition_.reset();
}

}  // namespace pelk
