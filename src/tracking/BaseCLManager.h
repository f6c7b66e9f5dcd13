#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/LocationManager.h"
#include "pelk/PelkError.h"

namespace pelk {

// Single position fixes, apart from the tracking modes.  Pending requests are
// kept in a list per kind (current location, trip start, sink update); each
// is served by the first fix that meets its own accuracy, none is replaced by
// a later one.  Updates run while anything is pending; the stop queued after a
// delivery stops them only when nothing is pending any more.  Requests may be
// made from any thread; fixes are judged on the main queue.
class BaseCLManager : public platform::LocationManagerDelegate,
                      public std::enable_shared_from_this<BaseCLManager> {
 public:
  using Handler = std::function<void(std::optional<platform::Location>, std::optional<PelkError>)>;
  static constexpr std::int64_t kDefaultAccuracy = 100;

  static BaseCLManager& sharedInstance();

  void setDelegate();
  // A fix within `accuracy` metres for the app.
  void getCurrentLocation(std::int64_t accuracy, Handler handler = nullptr);
  // A fix for a trip start: within the standing accuracy, or any fix more
  // than 3 s after the request.  Fails with QB408 on a location failure.
  // Answers the request's number, which `cancel` takes.
  std::uint64_t startTrip(Handler handler = nullptr);
  // A fix within the standing accuracy for the handler.
  void updateCurrentLocationHandler(Handler handler = nullptr);
  // A fix within `accuracy` into the location sink as "S", manual.
  void updateCurrentLocation(std::int64_t accuracy);
  // The tracking modes' retry: a fix within `accuracy` into the sink as "M";
  // "kIsLocationUpdating" is cleared when this request ends in any way.
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
  struct Request {
    Kind kind;
    std::int64_t accuracy;
    Handler handler;
    bool tripFallback = false;        // any fix more than 3 s after `requestedAt`
    bool clearsUpdatingFlag = false;  // the tracking modes' accuracy retry
    platform::TimePoint requestedAt{};
    std::uint64_t number = 0;
  };
  BaseCLManager() = default;
  std::uint64_t add(Request request);
  bool accepts(const Request& request, const platform::Location& fix, platform::TimePoint now) const;
  static void finish(const Request& request);
  void stopTracking();
  void sendDataToServer(const platform::Location& fix, const std::string& activity, bool manual);

  // Lock order: before the location engine's lock (platform/LockOrder.h).
  mutable std::mutex mutex_;
  std::shared_ptr<platform::LocationManager> manager_;
  std::vector<Request> pending_;  // in the order they were made
  std::int64_t lcoationAccuracy_ = kDefaultAccuracy;
  std::uint64_t lastNumber_ = 0;
};

}  // namespace pelk
