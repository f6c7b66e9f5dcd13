// Trips: actions on local and server trips, trip queries, offline trips and
// the subscription to one trip's live status.

#include <atomic>
#include <utility>
#include <vector>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "manager/PelkManager.h"
#include "network/APIClient.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/ThreadSafety.h"
#include "storage/PelkTripStorageManager.h"
#include "tracking/BaseCLManager.h"
#include "tracking/LocationDataManager.h"
#include "tracking/PermissionCheck.h"

namespace pelk {

namespace {

void print(const std::string& line) { platform::Console::print(line); }
// A failure the call has no handler for: the host hears of it at Error level.
void printError(const std::string& line) { platform::Console::print(line, platform::Console::Level::Error); }

PelkTripStorageManager& store() { return PelkTripStorageManager::shared(); }

PelkError error402(const std::string& message) { return PelkError(ErrorCode::QB402, message); }
PelkError networkError() { return PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK); }

// Reports a failed precondition to a handler that takes a result and an error.
template <class Handler>
void refuse(const Handler& handler, const PelkError& error) {
  if (handler) handler({}, error);
}

// The state tests of an action on a local trip, in the order they apply.
std::optional<PelkError> localStateRefusal(Trip action, const TripsLocal& trip) {
  const auto notStarted = [] { return PelkError(ErrorCode::QB413, VuvivaZuvovo::TRIP_NOT_STARTED); };
  const auto ended = [] { return PelkError(ErrorCode::QB414, VuvivaZuvovo::TRIP_ALREADY_ENDED); };
  switch (action) {
    case Trip::Start:
      if (trip.is_started && trip.is_ended) return ended();
      if (trip.is_started) return PelkError(ErrorCode::QB413, VuvivaZuvovo::TRIP_ALREADY_STARTED);
      if (trip.is_ended) return ended();
      return std::nullopt;
    case Trip::Pause:
      if (!trip.is_started) return notStarted();
      if (trip.is_ended) return ended();
      if (trip.is_paused) return PelkError(ErrorCode::QB416, VuvivaZuvovo::TRIP_ALREADY_PAUSE);
      return std::nullopt;
    case Trip::Resume:
      if (!trip.is_started) return notStarted();
      if (trip.is_ended) return ended();
      // The resume code, as the trip store answers a resume of a running trip.
      if (!trip.is_paused) return PelkError(ErrorCode::QB417, VuvivaZuvovo::TRIP_ALREADY_RESUME);
      return std::nullopt;
    default:  // End, ForceEnd
      if (!trip.is_started) return notStarted();
      if (trip.is_ended) return ended();
      return std::nullopt;
  }
}

// The guards every action shares, then the dispatch.
void guardedAction(PelkManager& manager, Trip action, const std::string& tripId,
                   const std::optional<std::string>& description, const PelkManager::TripTextHandler& handler) {
  if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
  // Text that is not UTF-8 is no trip id and cannot go into a request.
  if (tripId.empty() || !isUtf8(tripId) || (description && !isUtf8(*description))) {
    return refuse(handler, error402(VuvivaZuvovo::ERROR_NOT_FOUND));
  }
  if (const auto local = store().getTripDataLocal(tripId)) {
    // A force-end must stay possible whatever the offline switch says.
    if (action != Trip::ForceEnd && !SharedUtil::getDefaultBoolean(kOfflineTracking)) {
      return refuse(handler, error402(VuvivaZuvovo::OFFLINE_TRACKING_SETTINGS_ERROR));
    }
    if (const auto refusal = localStateRefusal(action, *local)) return refuse(handler, *refusal);
  }
  manager.trip(action, tripId, description, handler);
}

}  // namespace

// ------------------------------------------------------------------ actions

void PelkManager::startTrip(const std::string& tripId, const std::optional<std::string>& description,
                            TripTextHandler handler) {
  guardedAction(*this, Trip::Start, tripId, description, handler);
}

void PelkManager::stopTrip(const std::string& tripId, TripTextHandler handler) {
  guardedAction(*this, Trip::End, tripId, std::nullopt, handler);
}

void PelkManager::pauseTrip(const std::string& tripId, TripTextHandler handler) {
  guardedAction(*this, Trip::Pause, tripId, std::nullopt, handler);
}

void PelkManager::resumeTrip(const std::string& tripId, TripTextHandler handler) {
  guardedAction(*this, Trip::Resume, tripId, std::nullopt, handler);
}

void PelkManager::forceEndTrip(const std::string& tripId, TripTextHandler handler) {
  guardedAction(*this, Trip::ForceEnd, tripId, std::nullopt, handler);
}

void PelkManager::requestTripFix(std::function<void(const platform::Location&)> onFix, TripTextHandler handler) {
  // Whichever comes first, the fix or the timeout, decides; the other does
  // nothing.  Without the timeout an action whose fix never comes would leave
  // the app waiting for an answer for ever.
  auto decided = std::make_shared<std::atomic<bool>>(false);
  // The request's number, once made: the timeout withdraws it, so the
  // location services stop looking for a fix nobody waits for any more.
  auto request = std::make_shared<std::atomic<std::uint64_t>>(0);
  platform::Dispatch::main().asyncAfter(kTripFixTimeout, [decided, request, handler] {
    if (decided->exchange(true)) return;
    if (const auto number = request->load()) BaseCLManager::sharedInstance().cancel(number);
    refuse(handler, PelkError(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
  });
  request->store(BaseCLManager::sharedInstance().startTrip(
      [decided, handler, onFix = std::move(onFix)](std::optional<platform::Location> fix,
                                                   std::optional<PelkError> error) {
        if (decided->exchange(true)) return;
        if (error || !fix) {
          refuse(handler, error.value_or(PelkError(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION)));
          return;
        }
        onFix(*fix);
      }));
}

void PelkManager::trip(Trip action, const std::string& tripId, const std::optional<std::string>& description,
                       TripTextHandler handler) {
  // Every action takes a fix: the first use of positions settles the answer.
  HostLocationAuthorization::decide();
  if (store().checkIfLocalTrip(tripId)) {
    // Local trips work offline; a missing permission shows as the fix failure.
    requestTripFix(
        [action, tripId, description, handler](const platform::Location& fix) {
          const auto locationId = AppUtilis::getLocationId();
          const auto time = iso8601(platform::Clock::now());
          if (action == Trip::Pause || action == Trip::End || action == Trip::ForceEnd) {
            // The sink hands the position to the app as well; a second call of
            // the delegate dispatcher would deliver it twice.
            LocationDataManager::sharedInstance().sendDataServer(
                {.fix = fix, .activity = kStationary, .locationId = locationId, .recordedAt = time});
          }
          // Start and resume: the store sends the position once the trip runs again.
          store().trip(AppUtilis::tripParameter(action, tripId, locationId, description, time), handler, fix);
        },
        handler);
    return;
  }
  if (!ReachabilityCheck::isConnectedToNetwork()) return refuse(handler, networkError());
  if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
  if (tripId.empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_NOT_FOUND));
  if (!PermissionCheck::isLocationPermissionGranted()) {
    return refuse(handler, PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
  }
  withToken([action, tripId, description,
             handler] { PelkTripManager::sharedInstance().tripDetail(action, tripId, description, handler); },
            [handler](const PelkError& e) { refuse(handler, e); });
}

PelkTripManager& PelkTripManager::sharedInstance() {
  static auto* instance = new PelkTripManager();
  return *instance;
}

void PelkTripManager::tripDetail(Trip action, const std::string& tripId, const std::optional<std::string>& description,
                                 PelkAPIClient::TextCompletion handler) {
  auto& manager = PelkManager::sharedInstance();
  if (action == Trip::Start && !SharedUtil::getDefaultBoolean(kIsLocationTracking)) {
    SharedUtil::setDefaultBoolean(true, kTripLocationTracking);
    manager.startTracking(PelkTrackingMode::active);
  }
  if (action == Trip::ForceEnd && SharedUtil::getDefaultBoolean(kTripLocationTracking)) {
    SharedUtil::setDefaultBoolean(false, kTripLocationTracking);
    manager.stopTracking();
  }
  manager.requestTripFix(
      [&manager, action, tripId, description, handler](const platform::Location& fix) {
        const auto locationId = AppUtilis::getLocationId();
        const auto time = iso8601(platform::Clock::now());
        const auto dict = AppUtilis::tripParameter(action, tripId, locationId, description, time);
        auto sink = [&] {
          LocationDataManager::sharedInstance().sendDataServer(
              {.fix = fix, .activity = kStationary, .locationId = locationId, .recordedAt = time});
        };
        // A pause or end position is recorded while the trip still runs, a
        // start or resume position once it runs again.
        if (action == Trip::Start || action == Trip::Resume) {
          manager.api().trip(dict, fix, handler);
          sink();
        } else {
          sink();
          manager.api().trip(dict, fix, handler);
        }
      },
      handler);
}

void PelkManager::deleteTrip(const std::string& tripId, TripTextHandler handler) {
  // The store removes the rows and answers the handler itself.
  if (store().checkIfLocalTrip(tripId)) {
    store().deleteTrip(tripId, handler);
    return;
  }
  refuse(handler, error402(VuvivaZuvovo::TRIP_ID_NOT_FOUND));
}

void PelkManager::syncTrip(const std::string& tripId, TripTextHandler handler) {
  if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
  if (!SharedUtil::getDefaultBoolean(kOfflineTracking)) {
    return refuse(handler, error402(VuvivaZuvovo::OFFLINE_TRACKING_SETTINGS_ERROR));
  }
  auto& trips = store();
  if (!trips.checkIfLocalTrip(tripId)) return refuse(handler, error402(VuvivaZuvovo::TRIP_ID_NOT_FOUND));
  if (!trips.checkIfTripStarted(tripId) || !trips.getTripStatus(tripId)) {
    return refuse(handler, error402(VuvivaZuvovo::ERROR_TRIP_ID_NOT_ENDED));
  }
  const bool online = ReachabilityCheck::isConnectedToNetwork();
  if (trips.getSyncStatus(tripId)) {
    // Queued already.  Online, the app's call sends it now rather than at the
    // store's next retry; the store refuses it while a copy is on its way.
    if (!online) return refuse(handler, error402(VuvivaZuvovo::ERROR_TRIP_ID_SYNC));
    trips.syncTrip(tripId, handler);
    return;
  }
  if (!online) {
    // Queued: the next network change sends it (checkSync).
    trips.updateLocalTrip(tripId, SyncStatus().sync_initiated);
    if (handler) handler(VuvivaZuvovo::SYNC_INITATED, std::nullopt);
    return;
  }
  trips.syncTrip(tripId, handler);
}

// ------------------------------------------------------------------ queries

void PelkManager::createTrip(const std::optional<nlohmann::json>& coordinate, bool offline,
                             PelkAPIClient::CreateTripCompletion handler) {
  if (offline) {
    if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
    const auto locationId = AppUtilis::getLocationId();
    const auto tripId = AppUtilis::getLocationId();
    store().createTrip(locationId, tripId, handler);
    return;
  }
  if (!ReachabilityCheck::isConnectedToNetwork()) return refuse(handler, networkError());
  if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
  // Coordinates deeper than a reply may nest are refused before anything
  // copies or writes them: both recurse.  Coordinates that cannot be written
  // as JSON (text that is not UTF-8, a number that is not finite) are refused
  // too, rather than failing later as if the network had.
  if (coordinate && (!jsonNestedWithin(*coordinate, APIClient::kMaxReplyDepth) || !isWritableJson(*coordinate))) {
    return refuse(handler, error402(VuvivaZuvovo::ERROR_NOT_FOUND));
  }
  withToken([this, coordinate, handler] { api().createTrip(coordinate, handler); },
            [handler](const PelkError& e) { refuse(handler, e); });
}

void PelkManager::activeTrips(bool offline, PelkAPIClient::ActiveTripsCompletion handler) {
  if (!offline && !ReachabilityCheck::isConnectedToNetwork()) return refuse(handler, networkError());
  if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
  if (offline) {
    auto list = store().convertActiveTrip();
    if (handler) handler(std::move(list), std::nullopt);
    return;
  }
  withToken([this, handler] { api().activeTrip(handler); }, [handler](const PelkError& e) { refuse(handler, e); });
}

namespace {

// Details and summary share one shape: a local trip answers from the store,
// a server trip from the server after the guards.
template <class Handler, class Local, class Remote>
void tripQuery(const std::string& tripId, const Handler& handler, Local local, Remote remote,
               std::function<void(std::function<void()>, std::function<void(const PelkError&)>)> withToken) {
  if (store().checkIfLocalTrip(tripId)) {
    if (!store().checkIfTripStarted(tripId)) return refuse(handler, error402(VuvivaZuvovo::ERROR_TRIP_ID));
    local();
    return;
  }
  if (!ReachabilityCheck::isConnectedToNetwork()) return refuse(handler, networkError());
  if (TokenManager::getUserId().empty()) return refuse(handler, error402(VuvivaZuvovo::ERROR_USER_CREATE));
  if (tripId.empty() || !isUtf8(tripId)) return refuse(handler, error402(VuvivaZuvovo::ERROR_NOT_FOUND));
  withToken(remote, [handler](const PelkError& e) { refuse(handler, e); });
}

}  // namespace

void PelkManager::getTrips(const std::string& tripId, PelkAPIClient::GetTripCompletion handler) {
  tripQuery(
      tripId, handler, [&] { store().getTrip(tripId, handler); },
      [this, tripId, handler] { api().getTrips(tripId, handler); },
      [this](std::function<void()> then, std::function<void(const PelkError&)> fail) {
        withToken(std::move(then), std::move(fail));
      });
}

void PelkManager::tripSummary(const std::string& tripId, PelkAPIClient::TripSummaryCompletion handler) {
  tripQuery(
      tripId, handler, [&] { store().getTripSummary(tripId, handler); },
      [this, tripId, handler] { api().tripSummary(tripId, handler); },
      [this](std::function<void()> then, std::function<void(const PelkError&)> fail) {
        withToken(std::move(then), std::move(fail));
      });
}

void PelkManager::tripListener(const std::string& tripId,
                               std::function<void(std::optional<PelkTripListener>, std::optional<PelkError>)> handler) {
  if (!store().checkIfTripStarted(tripId)) return refuse(handler, error402(VuvivaZuvovo::ERROR_TRIP_ID));
  store().getTripListener(tripId, handler);
}

void PelkManager::istripSynced(const std::string& tripId, PelkAPIClient::SyncStatusCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(false, e);
  };
  if (!ReachabilityCheck::isConnectedToNetwork()) return report(networkError());
  if (TokenManager::getUserId().empty()) return report(error402(VuvivaZuvovo::ERROR_USER_CREATE));
  if (tripId.empty() || !isUtf8(tripId)) return report(error402(VuvivaZuvovo::ERROR_NOT_FOUND));
  withToken([this, tripId, handler] { api().syncTripStatus(tripId, handler); }, report);
}

// ------------------------------------------------------------------ live status

namespace {

// Makes the test of the stored trip and the store of a new one one step, so
// that two subscriptions made at once cannot both report success.
// Lock order: before the settings (platform/LockOrder.h).
platform::Mutex& tripStatusMutex() {
  static auto* m = new platform::Mutex();
  return *m;
}

}  // namespace

void PelkManager::subscribeTripStatus(const std::string& tripId) {
  if (!store().checkIfTripStarted(tripId)) {
    printError(VuvivaZuvovo::ERROR_TRIP_ID);
    return;
  }
  bool subscribed = false;
  {
    platform::LockGuard lock(tripStatusMutex());
    if (TokenManager::getSubcribeTripStatusListener().empty()) {
      TokenManager::setSubcribeTripStatusListener(tripId);
      subscribed = true;
    }
  }
  if (subscribed) {
    print(VuvivaZuvovo::SUBSCRIBE);
  } else {
    printError(VuvivaZuvovo::ERROR_TRIP_SUBSCRIBE);
  }
}

void PelkManager::unsubscribeTripStatus(const std::string&) {
  print(VuvivaZuvovo::UN_SUBSCRIBE);
  platform::LockGuard lock(tripStatusMutex());
  TokenManager::setSubcribeTripStatusListener(std::string());
}

}  // namespace pelk
