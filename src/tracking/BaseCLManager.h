#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/LocationManager.h"
#include "platform/ThreadSafety.h"
#include "pelk/PelkError.h"

namespace pelk {

// Single position fixes, apart from the tracking modes.  Pending requests are
// kept in a list per kind (current location, trip start, sink update); each
// is served by the first fix that meets its own accuracy, none is replaced by
// a later one.  Updates run while anything is pending; the stop queued after a
// request ends stops them only when nothing is pending any more.  Requests may
// be made from any thread; fixes are judged on the main queue.
//
// No request waits for ever: a receiver may never report the accuracy asked
// for (gpsd's error estimates are cautious ones).  When its bound has passed
// a request ends: the app's own requests (current location, the manual update)
// take the most accurate fix seen since they were made, however coarse; the
// tracking modes' accuracy retry takes none (a coarse fix is what it was asked
// to replace); a trip start, and any request that saw no fix, fails with QB408.
//
// One fix enters the location sink once, however many sink requests it serves
// (the app's manual update wins over a mode's retry), and not again when a
// tracking mode has just sent it (see SentFixes).
class BaseCLManager : public platform::LocationManagerDelegate, public std::enable_shared_from_this<BaseCLManager> {
 public:
  using Handler = std::function<void(std::optional<platform::Location>, std::optional<PelkError>)>;
  static constexpr std::int64_t kDefaultAccuracy = 100;
  // How long a request waits for a fix within its accuracy.
  static constexpr platform::Duration kRequestBound = std::chrono::seconds(15);
  // A trip start takes any fix after 3 s; it fails when none came in this time.
  static constexpr platform::Duration kTripStartBound = std::chrono::seconds(30);

  static BaseCLManager& sharedInstance();

  void setDelegate();
  // A fix within `accuracy` metres for the app; at the bound the best fix
  // seen, else QB408.
  void getCurrentLocation(std::int64_t accuracy, Handler handler = nullptr);
  // A fix for a trip start: within the standing accuracy, or any fix more
  // than 3 s after the request.  Fails with QB408 on a location failure or
  // when no fix came within kTripStartBound.
  // Answers the request's number, which `cancel` takes.
  std::uint64_t startTrip(Handler handler = nullptr);
  // A fix within the standing accuracy for the handler; at the bound the best
  // fix seen, else QB408.
  void updateCurrentLocationHandler(Handler handler = nullptr);
  // A fix within `accuracy` into the location sink as "S", manual; at the
  // bound the best fix seen (nothing when none came).
  void updateCurrentLocation(std::int64_t accuracy);
  // The tracking modes' retry: a fix within `accuracy` into the sink as "M";
  // "kIsLocationUpdating" is cleared when this request ends in any way, also
  // when its bound passes without a fix within `accuracy` (nothing is sent).
  void updateCurrentLocationImproveAccuracy(std::int64_t accuracy);

  void didUpdateLocations(platform::LocationManager& manager, const std::vector<platform::Location>& fixes) override;
  void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;

  // Ends every pending request with `error` (handlers are called with it) and
  // stops the updates: the logout, after which no request may stay unanswered.
  void failPending(const PelkError& error);
  // Drops the pending request of that number without calling its handler (its
  // caller gave up waiting) and stops the updates when nothing else waits.
  void cancel(std::uint64_t request);

  // Inspection (tests).
  std::shared_ptr<platform::LocationManager> manager() const;
  std::int64_t lcoationAccuracy() const;
  std::size_t pendingCount() const;
  // Drops every pending request without calling it and stops (tests).
  void resetForTesting();

 private:
  enum class Kind { currentLocation, tripStart, sinkUpdate };
  // One Error line: the app's updateCurrentLocation ended without a position.
  static void reportNoFixForUpdate();
  // Where a sink request's fix goes in: the activity letter and whether the
  // app asked for it.
  struct SinkEntry {
    std::string activity;
    bool manual = false;
  };
  struct Request {
    Kind kind;
    std::int64_t accuracy;
    Handler handler;
    bool tripFallback = false;        // any fix more than 3 s after `requestedAt`
    bool clearsUpdatingFlag = false;  // the tracking modes' accuracy retry
    std::optional<SinkEntry> sink{};  // the fix goes into the sink, not to `handler`
    bool coarserAtBound = true;       // at its bound it takes the best fix seen
    platform::Duration bound = kRequestBound;
    platform::TimePoint requestedAt{};
    std::uint64_t number = 0;
    std::optional<platform::Location> best{};  // the most accurate usable fix seen
  };
  BaseCLManager() = default;
  std::uint64_t add(Request request);
  bool accepts(const Request& request, const platform::Location& fix, platform::TimePoint now) const;
  static bool usable(const platform::Location& fix);
  // Ends the request of that number when it still waits (its bound passed).
  void expire(std::uint64_t number);
  // Hands what the ended requests get: one sink entry for all sink requests,
  // then each handler.
  void answer(std::vector<Request>& ended, const std::optional<platform::Location>& fix);
  static void finish(const Request& request);
  void stopTracking();
  void sendDataToServer(const platform::Location& fix, const std::string& activity, bool manual);

  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::LocationManager> manager_ PELK_GUARDED_BY(mutex_);
  std::vector<Request> pending_ PELK_GUARDED_BY(mutex_);  // in the order they were made
  std::int64_t lcoationAccuracy_ PELK_GUARDED_BY(mutex_) = kDefaultAccuracy;
  std::uint64_t lastNumber_ PELK_GUARDED_BY(mutex_) = 0;
};

}  // namespace pelk
