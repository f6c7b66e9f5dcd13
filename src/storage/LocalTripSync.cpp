// The trip store's offline trips as the app reads them, and their sync: an
// ended trip is queued, sent, and its rows deleted once the server accepts
// it; a refusal plans the next attempt.

#include <algorithm>

#include "foundation/StringExtensions.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/Reachability.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "storage/PelkOfflineTripsUtils.h"
#include "storage/PelkTripStorageManager.h"
#include "storage/TripStoreRows.h"

namespace pelk {

using storage::report;
using storage::TripRows;

std::vector<std::shared_ptr<PelkTrip>> PelkTripStorageManager::convertActiveTrip() {
  std::vector<std::shared_ptr<PelkTrip>> list;
  for (const auto& row : getActivetripsWithoutQuery()) {
    if (auto item = PelkOfflineTripsUtils::convertActiveTrip(row)) list.push_back(std::move(item));
  }
  return list;
}

std::optional<TripsLocal> PelkTripStorageManager::getTripDataLocal(const std::string& tripId) {
  return storage::readOrLog(*context(), "trip " + tripId + " not read",
                            [&](TripRows& rows) { return storage::singleLocalTrip(rows, tripId); });
}

std::vector<TripEventsLocal> PelkTripStorageManager::eventsOf(const TripsLocal& trip) {
  return storage::readOrLog(*context(), "trip events not read", [&](TripRows& rows) {
    return rows.select<TripEventsLocal>(" WHERE trip = ?" + storage::orderByKey(),
                                        static_cast<std::int64_t>(trip.objectID));
  });
}

std::vector<MyTripRoute> PelkTripStorageManager::routeOf(const MyTrip& trip) {
  return storage::readOrLog(*context(), "trip route not read", [&](TripRows& rows) {
    return rows.select<MyTripRoute>(" WHERE trip = ?" + storage::orderByKey(),
                                    static_cast<std::int64_t>(trip.objectID));
  });
}

void PelkTripStorageManager::getTrip(const std::string& tripId, GetTripHandler handler) {
  const auto progress = getTripData(tripId);
  const auto row = getTripDataLocal(tripId);
  std::shared_ptr<PelkGetTrip> model;
  if (row) model = PelkOfflineTripsUtils::convertDiridoZedIdiv(*row, eventsOf(*row), progress);
  if (!handler) return;
  if (model) {
    handler(model, std::nullopt);
  } else {
    handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID));
  }
}

void PelkTripStorageManager::getTripSummary(const std::string& tripId, SummaryHandler handler) {
  const auto progress = getTripData(tripId);
  const auto row = getTripDataLocal(tripId);
  std::shared_ptr<PelkTripSummary> model;
  if (row) {
    model = PelkOfflineTripsUtils::convertZorodaZeveSummary(*row, progress,
                                                            progress ? routeOf(*progress) : std::vector<MyTripRoute>{});
  }
  if (!handler) return;
  if (model) {
    handler(model, std::nullopt);
  } else {
    handler(nullptr, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID));
  }
}

bool PelkTripStorageManager::isSyncInFlight(const std::string& tripId) const {
  platform::LockGuard lock(mutex_);
  return syncInFlight_.count(tripId) != 0;
}

void PelkTripStorageManager::syncTrip(const std::string& tripId, TextCompletion handler) {
  enum class Claim { claimed, inFlight, deleting } claim = Claim::claimed;
  {
    platform::LockGuard lock(mutex_);
    if (deleting_.count(tripId) != 0) {
      claim = Claim::deleting;
    } else if (!syncInFlight_.insert(tripId).second) {
      claim = Claim::inFlight;
    }
  }
  if (claim == Claim::inFlight) {
    // Already on its way; a second copy could store the trip twice.
    report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID_SYNC));
    return;
  }
  if (claim == Claim::deleting) {
    // Its rows are going: nothing of it may reach the server.
    report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
    return;
  }
  auto release = [this, tripId] {
    platform::LockGuard lock(mutex_);
    syncInFlight_.erase(tripId);
  };

  // The body is read and the trip queued in one transaction, so the body is
  // what the store held when the trip was queued.
  enum class Found { missing, notEnded, unwritable, ready } found = Found::missing;
  std::optional<std::string> text;
  const bool queued = storage::writeOrLog(*context(), "trip " + tripId + " not queued for sync", [&](TripRows& rows) {
    auto row = storage::singleLocalTrip(rows, tripId);
    if (!row) return;
    const auto progress = storage::singleProgress(rows, tripId);
    if (!progress || progress->status != kTripEnd) {
      // A trip still under way would be deleted after the upload and its later
      // positions lost.
      found = Found::notEnded;
      return;
    }
    const auto events = rows.select<TripEventsLocal>(" WHERE trip = ?" + storage::orderByKey(),
                                                     static_cast<std::int64_t>(row->objectID));
    const auto routes = rows.select<MyTripRoute>(" WHERE tripId = ?" + storage::orderByKey(), tripId);
    const auto body = PelkOfflineTripsUtils::getRevizaDevoRoveDict(*row, events, *progress, routes);
    text = body ? jsonString(*body) : std::nullopt;
    if (!text) {
      found = Found::unwritable;
      return;
    }
    // Queued before anything leaves: a failed request is sent again later.
    row->synced = true;
    row->sync_status = SyncStatus().sync_in_progress;
    rows.update(*row);
    found = Found::ready;
  });
  if (!queued) {
    release();
    report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
    return;
  }
  switch (found) {
    case Found::missing:
      release();
      forgetSyncRetry(tripId);
      report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
      return;
    case Found::notEnded:
      release();
      report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID_NOT_ENDED));
      return;
    case Found::unwritable:
      release();
      platform::Console::print("Trip " + tripId + " cannot be written as a sync body");
      report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_UNKNOWN));
      return;
    case Found::ready:
      break;
  }

  tripstore::links::syncTrip(
      *text, [this, tripId, handler, release](std::optional<std::string> message, std::optional<PelkError> error) {
        if (message == VuvivaZuvovo::TRIP_SUCESS) {
          // Still claimed by this sync, so no deletion runs beside this one.
          const bool removed = removeTripRows(tripId);
          release();
          if (!removed) {
            // Its rows stay, queued: it goes again until they are gone.
            planSyncRetry(tripId);
            report(handler, "", PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_DELETE_ERROR));
          } else {
            forgetSyncRetry(tripId);
            report(handler, message, std::nullopt);
          }
          return;
        }
        release();
        // Anything but the server's acceptance leaves the trip queued, to be sent
        // again without waiting for a change of network.
        planSyncRetry(tripId);
        if (!error) error = PelkError(ErrorCode::QB500, isNilOrEmpty(message) ? VuvivaZuvovo::ERROR_SERVER : *message);
        report(handler, "", error);
      });
}

std::optional<platform::Duration> PelkTripStorageManager::plannedSyncRetry(const std::string& tripId) const {
  platform::LockGuard lock(mutex_);
  const auto it = retries_.find(tripId);
  if (it == retries_.end()) return std::nullopt;
  return it->second.wait;
}

void PelkTripStorageManager::planSyncRetry(const std::string& tripId) {
  PlannedRetry plan;
  {
    platform::LockGuard lock(mutex_);
    auto& retry = retries_[tripId];
    retry.wait = kSyncRetryFirstWait;
    for (int i = 0; i < retry.refusals && retry.wait < kSyncRetryLongestWait; ++i) retry.wait *= 2;
    retry.wait = std::min(retry.wait, kSyncRetryLongestWait);
    ++retry.refusals;
    retry.generation = ++retryGeneration_;
    plan = retry;
  }
  std::weak_ptr<Lifeline> weak = lifeline_;
  platform::Dispatch::main().asyncAfter(plan.wait, [weak, tripId, generation = plan.generation] {
    const auto life = weak.lock();
    if (!life) return;
    PelkTripStorageManager* store = nullptr;
    {
      platform::LockGuard lock(life->mutex);
      store = life->store;
      if (!store) return;
      ++life->running;
    }
    struct Done {
      Lifeline& life;
      ~Done() {
        platform::LockGuard lock(life.mutex);
        --life.running;
        life.idle.notify_all();
      }
    } done{*life};
    store->retrySync(tripId, generation);
  });
}

void PelkTripStorageManager::forgetSyncRetry(const std::string& tripId) {
  platform::LockGuard lock(mutex_);
  retries_.erase(tripId);
}

void PelkTripStorageManager::retrySync(const std::string& tripId, std::uint64_t generation) {
  {
    platform::LockGuard lock(mutex_);
    const auto it = retries_.find(tripId);
    // A later plan, or the trip's acceptance, took its place.
    if (it == retries_.end() || it->second.generation != generation) return;
    // A sync of it is on its way: its reply plans what follows.
    if (syncInFlight_.count(tripId) != 0) return;
  }
  const auto row = getTripDataLocal(tripId);
  if (!row || !row->synced || !row->is_ended) {
    // Gone, or no longer queued: nothing to send.
    forgetSyncRetry(tripId);
    return;
  }
  if (!ReachabilityCheck::isConnectedToNetwork()) {
    // Sent while online only; the wait goes on (a change of network sends it
    // at once as well).
    planSyncRetry(tripId);
    return;
  }
  syncTrip(tripId);
}

void PelkTripStorageManager::updateLocalTrip(const std::string& tripId, const std::string& status) {
  storage::writeOrLog(*context(), "sync state of trip " + tripId + " not stored", [&](TripRows& rows) {
    auto row = storage::singleLocalTrip(rows, tripId);
    if (!row) return;
    row->synced = true;
    row->sync_status = status;
    rows.update(*row);
  });
}

std::vector<TripsLocal> PelkTripStorageManager::getSyncEnded() {
  return storage::readOrLog(*context(), std::nullopt, [](TripRows& rows) {
    return rows.select<TripsLocal>(" WHERE is_ended = ? AND synced = ?" + storage::orderByKey(), true, true);
  });
}

std::vector<MyTripRoute> PelkTripStorageManager::getMyTripRouteDetails(const std::string& tripId) {
  return storage::readOrLog(*context(), "route of trip " + tripId + " not read", [&](TripRows& rows) {
    return rows.select<MyTripRoute>(" WHERE tripId = ?" + storage::orderByKey(), tripId);
  });
}

}  // namespace pelk
