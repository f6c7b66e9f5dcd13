// The trip store object: the store of the process and its file.
// Its jobs live beside it: the progress of tracked trips
// (TripProgressCache.cpp), the offline trips' lifecycle
// (LocalTripLifecycle.cpp), and their queries and sync (LocalTripSync.cpp).

#include "storage/PelkTripStorageManager.h"

#include <cmath>

#include "foundation/DateExtensions.h"
#include "foundation/StringExtensions.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/TripStoreRows.h"

namespace pelk {

namespace storage {

// A time that does not read back adds nothing (the caller restarts the clock
// from now), nor does a clock moved back or a start time in the future.
double accruedSeconds(const OptionalText& updateTime, platform::TimePoint now) {
  if (!updateTime) return 0;
  const auto last = getDate(*updateTime);
  if (!last) return 0;
  const double seconds = secondsFrom(now, *last);
  return seconds > 0 ? seconds : 0;
}

void logTripStoreFailure(const platform::Database& db, const platform::Database::Outcome& outcome,
                         const std::optional<std::string>& consequence) {
  if (consequence) {
    logStoreFailure(db, outcome, *consequence);
  } else {
    platform::Console::print("\"unable to fetch device data\"");
  }
}

void report(const PelkTripStorageManager::TextCompletion& completion, std::optional<std::string> text,
            std::optional<PelkError> error) {
  if (completion) completion(std::move(text), std::move(error));
}

}  // namespace storage

double liveDuration(const MyTrip& trip) {
  if (trip.status != kTripOngoing) return trip.duration;
  return trip.duration + storage::accruedSeconds(trip.update_time, platform::Clock::now());
}

double tripSpeed(double distance, double duration) {
  if (!(duration > 0) || !std::isfinite(duration)) return 0;
  return distance / duration;
}

double tripPace(double duration, double distance) {
  if (duration == 0 && distance == 0) return 0;
  if (std::isnan(duration) || std::isnan(distance)) return 0;
  return duration / distance;
}

// ---- The store object ----

PelkTripStorageManager& PelkTripStorageManager::shared() {
  static auto* instance = [] {
    PelkCoreDataStack stack;
    auto* store = new PelkTripStorageManager(stack.managedObjectContext());
    return store;
  }();
  return *instance;
}

PelkTripStorageManager::PelkTripStorageManager(std::shared_ptr<platform::Database> context)
    : context_(std::move(context)), lifeline_(std::make_shared<Lifeline>()) {
  lifeline_->store = this;
}

PelkTripStorageManager::~PelkTripStorageManager() {
  platform::UniqueLock lock(lifeline_->mutex);
  lifeline_->store = nullptr;
  lock.wait(lifeline_->idle, [&]() PELK_REQUIRES(lifeline_->mutex) { return lifeline_->running == 0; });
}

std::shared_ptr<platform::Database> PelkTripStorageManager::context() const {
  platform::LockGuard lock(mutex_);
  return context_;
}

void PelkTripStorageManager::setContext(std::shared_ptr<platform::Database> context) {
  platform::LockGuard lock(mutex_);
  context_ = std::move(context);
  retries_.clear();
}

}  // namespace pelk
