#pragma once

#include <functional>
#include <map>
#include <memory>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkCreateTrip.h"
#include "pelk/PelkEnums.h"
#include "pelk/PelkError.h"
#include "pelk/PelkGetTrip.h"
#include "pelk/PelkTrip.h"
#include "pelk/PelkTripListener.h"
#include "pelk/PelkTripSummary.h"
#include "platform/Clock.h"
#include "platform/Database.h"
#include "platform/Location.h"
#include "platform/ThreadSafety.h"
#include "storage/LocalEntities.h"
#include "storage/TripStoreLinks.h"

namespace pelk {

// Kinds of trip events; the text of each is its own name.
struct EventType {
  const std::string created = "created";
  const std::string started = "started";
  const std::string reached_origin = "reached_origin";
  const std::string paused = "paused";
  const std::string resumed = "resumed";
  const std::string ended = "ended";
};

// Values of TripsLocal::sync_status.
struct SyncStatus {
  const std::string not_synced = "not_synced";
  const std::string sync_initiated = "sync_initiated";
  const std::string sync_in_progress = "sync_in_progress";
};

// Progress statuses of a MyTrip row.
inline constexpr const char* kTripOngoing = "ongoing";
inline constexpr const char* kTripPaused = "paused";
inline constexpr const char* kTripEnd = "end";

// Duration of a progress row at this moment: while "ongoing", the stored
// duration plus the time since its last update (never negative); otherwise
// the stored duration.
double liveDuration(const MyTrip& trip);
// metres / seconds; 0 when the duration is 0 (or not a usable number).
double tripSpeed(double distance, double duration);
// seconds / metres; 0 for 0/0, infinite for a positive duration and no distance.
double tripPace(double duration, double distance);

// The local trip store: the progress of every tracked trip (server and
// offline trips alike: one MyTrip row per trip id with its route points), and
// the offline trips (TripsLocal with their events), their lifecycle, queries
// and sync.  Every operation is one transaction on "PelkModel.sqlite" and may
// run on any thread; handlers are called on the caller's thread (the sync's on
// the HTTP callback queue), never with a store lock held.  Ids are always
// bound as SQL parameters.
class PelkTripStorageManager {
 public:
  using TextCompletion = std::function<void(std::optional<std::string>, std::optional<PelkError>)>;
  using CreateTripHandler = std::function<void(std::shared_ptr<PelkCreateTrip>, std::optional<PelkError>)>;
  using GetTripHandler = std::function<void(std::shared_ptr<PelkGetTrip>, std::optional<PelkError>)>;
  using SummaryHandler = std::function<void(std::shared_ptr<PelkTripSummary>, std::optional<PelkError>)>;
  using ListenerHandler = std::function<void(std::optional<PelkTripListener>, std::optional<PelkError>)>;

  const std::string event_source = "pelk:trip";
  const std::string event_version = "1.0";

  // The store of the process, over the documents directory's store file.
  static PelkTripStorageManager& shared();

  // Waits before a queued trip whose sync was refused (or not delivered) is
  // sent again while the device is online: the first wait follows the
  // refusal, each further refusal doubles it, up to the longest.  A trip is
  // retried until the server accepts it or its rows are gone.
  static constexpr platform::Duration kSyncRetryFirstWait = std::chrono::seconds(30);
  static constexpr platform::Duration kSyncRetryLongestWait = std::chrono::minutes(30);

  // A store of its own (tests); it must outlive the syncs it has started, whose
  // replies come back to it on the HTTP callback queue.  Its pending retries
  // end with it.
  explicit PelkTripStorageManager(std::shared_ptr<platform::Database> context);
  virtual ~PelkTripStorageManager();
  PelkTripStorageManager(const PelkTripStorageManager&) = delete;
  PelkTripStorageManager& operator=(const PelkTripStorageManager&) = delete;

  std::shared_ptr<platform::Database> context() const;
  // Another store file: the retries planned for the trips of the earlier one
  // are forgotten.
  void setContext(std::shared_ptr<platform::Database> context);

  // ---- Trip progress ----
  // Starts the progress of a trip: distance as given, duration 0, start and
  // update time the start time, first route point (activity "s") at the
  // position.  A trip id that already has a row is restarted in place (its
  // route points are removed).
  virtual void saveTripData(const platform::Location& location, double distance, const std::string& startTime,
                            std::int64_t speed, const std::optional<std::string>& locationId, const std::string& status,
                            const std::string& tripId);
  virtual void addRoute(const std::string& activity, double latitude, double longitude, double altitude,
                        const std::string& recordedAt, const std::string& tripId, const MyTrip& trip,
                        const std::optional<std::string>& locationId, double accuracy);
  // Applies one accepted position to every "ongoing" trip.
  virtual void updateAllActiveTrips(const platform::Location& location, const std::string& activity,
                                    const std::optional<std::string>& locationId = std::nullopt);
  // Moves a trip to a new status, accruing time and distance up to the
  // position for a pause, and for an end that does not follow a pause.
  virtual void updateStatusOfTrip(const std::string& tripId, const std::string& status,
                                  const platform::Location& location);

  // ---- Server trips ----
  // How far the store's recording of trip starts has come.  A list of the
  // server's active trips asked for at one mark cannot hold the trips whose
  // start was recorded after it.
  std::uint64_t progressMark() const;
  // A server trip ended: its progress and route go, so that no later position
  // is added to it (its details and summary come from the server).  The
  // progress of a local trip of that id is only ended.
  virtual void endServerTrip(const std::string& tripId, const platform::Location& location);
  // The server's active trips, as listed for a request made at `mark`: the
  // progress of every server trip the list no longer holds as running (left
  // out, ended or deleted) goes, unless its start was recorded after the mark.
  // An entry without an id leaves out nothing: only the trips the list marks
  // as ended or deleted go then.  Local trips are never touched.
  virtual void keepServerTrips(const std::vector<std::shared_ptr<PelkTrip>>& active, std::uint64_t mark);

  // ---- Progress queries ----
  virtual std::vector<MyTrip> fetchAllTripData();
  // The single progress row of the trip id.
  virtual std::optional<MyTrip> getTripData(const std::string& tripId);
  virtual std::vector<MyTrip> getAllTripData(const std::string& tripId);
  virtual bool checkIfTripStarted(const std::string& tripId);
  // {"distance": stored distance as text, "time": ""}; both empty without a row.
  virtual std::map<std::string, std::string> tripListener(const std::string& tripId);
  virtual void getTripListener(const std::string& tripId, ListenerHandler handler = nullptr);
  virtual double getDuration(const MyTrip& trip);
  // Nothing when the trip id has no progress row.
  virtual std::optional<PelkTripStatusListener> getTripStatusListener(const std::string& tripId);
  // Sends the trip's live values to the delegate while the trip is ongoing.
  virtual void sendTripStatusIfOngoing(const std::string& tripId);

  // ---- Local trip lifecycle ----
  virtual void createTrip(const std::string& locationId, const std::string& tripId,
                          CreateTripHandler handler = nullptr);
  // Offline trips not queued for sync / every offline trip.
  virtual std::vector<TripsLocal> getActivetrips();
  virtual std::vector<TripsLocal> getActivetripsWithoutQuery();
  virtual void startTrip(const nlohmann::json& request, const platform::Location& location,
                         TextCompletion completion = nullptr);
  virtual void pauseTrip(const nlohmann::json& request, const platform::Location& location,
                         TextCompletion completion = nullptr);
  virtual void resumeTrip(const nlohmann::json& request, const platform::Location& location,
                          TextCompletion completion = nullptr);
  virtual void stopTrip(const nlohmann::json& request, const platform::Location& location,
                        TextCompletion completion = nullptr);
  // Removes every row of the trip (trip, events, progress, route) in one
  // transaction.  Refused (QB402 "Error in deleted trip.", nothing removed)
  // while a sync of the trip waits for its reply: the server may already hold
  // it, and a successful sync removes the rows itself.
  virtual void deleteTrip(const std::string& tripId, TextCompletion completion = nullptr);
  // Removes the rows of one of the store's entities whose attribute `key`
  // equals the trip id.  False for an unknown entity or attribute, or when the
  // removal did not commit.
  virtual bool deleteEntity(const std::string& tripId, const std::string& entityName, const std::string& key);
  // The progress row's status is "end" (false without a row).
  virtual bool getTripStatus(const std::string& tripId);
  // The trip is queued for sync (false without a trip row).
  virtual bool getSyncStatus(const std::string& tripId);
  virtual void createEvent(const std::string& tripId, const std::string& kind, const TripsLocal& triplocal,
                           const std::string& time);
  // Runs the action(s) the request's "start", "trip_pause", "trip_resume" and
  // "end" ask for (each only when it holds true), in that order.
  virtual void trip(const nlohmann::json& request, TextCompletion completion = nullptr,
                    const std::optional<platform::Location>& location = std::nullopt);
  virtual bool checkIfLocalTrip(const std::string& tripId);

  // ---- Local trip queries and sync ----
  virtual std::vector<std::shared_ptr<PelkTrip>> convertActiveTrip();
  virtual void getTrip(const std::string& tripId, GetTripHandler handler = nullptr);
  virtual std::optional<TripsLocal> getTripDataLocal(const std::string& tripId);
  virtual void getTripSummary(const std::string& tripId, SummaryHandler handler = nullptr);
  // Reads the ended trip's rows and queues it ("sync_in_progress") in one
  // transaction, posts its body and deletes its rows once the server answers
  // "Success.".  A trip whose sync is in flight is not sent again, and a trip
  // being deleted is not sent at all.  Any other answer leaves the trip
  // queued and plans its next attempt (kSyncRetryFirstWait).
  virtual void syncTrip(const std::string& tripId, TextCompletion handler = nullptr);
  virtual void updateLocalTrip(const std::string& tripId, const std::string& status);
  // Offline trips that are ended and queued.
  virtual std::vector<TripsLocal> getSyncEnded();
  virtual std::vector<MyTripRoute> getMyTripRouteDetails(const std::string& tripId);

  // The events of an offline trip, in the order they were written.
  std::vector<TripEventsLocal> eventsOf(const TripsLocal& trip);
  // The route points of a progress row, in the order they were written.
  std::vector<MyTripRoute> routeOf(const MyTrip& trip);
  // True while a sync of the trip waits for its reply.
  bool isSyncInFlight(const std::string& tripId) const;
  // The wait before the planned retry of the trip's sync; nothing while none
  // is planned.
  std::optional<platform::Duration> plannedSyncRetry(const std::string& tripId) const;

 private:
  struct Action;
  // Removes the trip's rows in one transaction; false when that did not commit.
  bool removeTripRows(const std::string& tripId);
  void runAction(const Action& action, const nlohmann::json& request, const platform::Location& location,
                 const TextCompletion& completion);

  // Plans the next sync of a queued trip after a refusal.
  void planSyncRetry(const std::string& tripId);
  void forgetSyncRetry(const std::string& tripId);
  // The planned retry `generation` of the trip is due.
  void retrySync(const std::string& tripId, std::uint64_t generation);

  // Shared with the planned retries, which run on the main queue: they reach
  // the store only while it lives, and its destructor waits for one running.
  struct Lifeline;
  struct PlannedRetry {
    int refusals = 0;
    std::uint64_t generation = 0;  // only the latest plan of a trip runs
    platform::Duration wait{};
  };

  // Guards the members below; nothing is called out while it is held.
  // Lock order: a leaf (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::Database> context_ PELK_GUARDED_BY(mutex_);
  // Trips whose sync waits for its reply, and trips being deleted (with the
  // number of deletions running): a sync and a deletion of one trip exclude
  // each other.
  std::set<std::string> syncInFlight_ PELK_GUARDED_BY(mutex_);
  std::map<std::string, int> deleting_ PELK_GUARDED_BY(mutex_);
  std::map<std::string, PlannedRetry> retries_ PELK_GUARDED_BY(mutex_);
  std::uint64_t retryGeneration_ PELK_GUARDED_BY(mutex_) = 0;
  // Starts recorded through saveTripData in this process, by trip id, under
  // the mark each made.
  std::uint64_t progressSerial_ PELK_GUARDED_BY(mutex_) = 0;
  std::map<std::string, std::uint64_t> progressStarted_ PELK_GUARDED_BY(mutex_);
  std::shared_ptr<Lifeline> lifeline_;
};

}  // namespace pelk
