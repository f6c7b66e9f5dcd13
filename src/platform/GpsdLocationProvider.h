#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/LocationServices.h"
#include "platform/ThreadSafety.h"
#include "platform/VisitDetector.h"

namespace pelk::platform {

// Positions from a gpsd daemon through libgps.  Each start runs one reader
// thread that connects, watches TPV reports and hands every report with a 2D
// or 3D fix to LocationServices with its error estimate as the accuracy.  A
// report without a fix (gpsd gives its coordinates as NaN) is never a fix.
//
// The daemon unreachable or gone is reported once as a `serviceUnavailable`
// failure, and the provider reconnects with backoff.  The daemon unreachable,
// gone, or answering without a fix for `noFixTimeout` makes the location
// service unavailable; the next fix makes it available again.  Visits are
// found in the fixes (VisitRules) and reported as the service's visits.
//
// stop() never waits: the reader is told to end (a blocked connect ends at
// the system's connect time-out) and joined by a later start, by join() or
// by the destructor.
class GpsdLocationProvider : public LocationProvider {
 public:
  explicit GpsdLocationProvider(GpsdConfig config);
  ~GpsdLocationProvider() override;

  void start() override;
  void stop() override;
  void join() override;
  bool idle() override;
  // Linux has no system prompt: an undetermined authorization is granted at
  // the level asked for; an answer already given stands.
  void authorizationRequested(bool always) override;

  const GpsdConfig& config() const { return config_; }
  // Counters for diagnostics and tests.
  std::size_t fixesReported() const { return fixes_.load(); }
  std::size_t reportsWithoutFix() const { return withoutFix_.load(); }
  // Fixes held back while the receiver had not given its time yet.
  std::size_t fixesWithoutTimeHeldBack() const { return heldBack_.load(); }
  std::size_t connectAttempts() const { return attempts_.load(); }
  std::size_t connections() const { return connections_.load(); }
  std::size_t lossesReported() const { return losses_.load(); }
  std::size_t visitsReported() const { return visits_.load(); }
  // Reader threads started and not joined yet (tests).
  std::size_t readerThreads() const;

 private:
  struct Session;
  void run(Session& session);
  // Reports the source's availability when it changed, unless the session
  // was stopped meanwhile.
  void setAvailable(Session& session, bool available, const std::string& why);
  // The receiver's clock at its last time-stamped fix of one connection, and
  // when that came.
  using ReceiverClock = std::optional<std::pair<TimePoint, std::chrono::steady_clock::time_point>>;
  // receiverTime: the fix's time stamp is the receiver's.  A fix without it
  // is stamped on the receiver's clock as last seen on this connection, or
  // held back for a moment after the connection (the receiver's time is
  // likely to follow), or, from a receiver that gives no time, stamped with
  // the host's.
  void fixArrived(Session& session, Location fix, bool receiverTime, ReceiverClock& receiverClock,
                  std::chrono::steady_clock::time_point connectedAt);
  // The daemon could not be reached or went away: the loss counts from the
  // first such moment since the daemon last talked, across sessions, and
  // becomes the service's once it has lasted config_.lossGrace.
  void noteLoss(Session& session, const std::string& why);
  // Reports a loss that has lasted the grace; answers when the grace of one
  // still running ends (time_point::max() when none).
  std::chrono::steady_clock::time_point checkLoss(Session& session);
  void noteTalking();
  void reapFinishedLocked() PELK_REQUIRES(mutex_);

  const GpsdConfig config_;
  // Lock order: under LocationServices' provider lock; takes only the main
  // queue's lock (availability reports are posted under it, so a stopped
  // reader cannot overtake the current one) (platform/LockOrder.h).
  mutable Mutex mutex_;
  std::shared_ptr<Session> current_ PELK_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<Session>> retired_ PELK_GUARDED_BY(mutex_);  // stopped, not joined yet
  std::optional<bool> available_ PELK_GUARDED_BY(mutex_);                  // last reported availability
  std::optional<std::chrono::steady_clock::time_point> lostSince_ PELK_GUARDED_BY(mutex_);
  std::string lostWhy_ PELK_GUARDED_BY(mutex_);
  VisitDetector visitDetector_ PELK_GUARDED_BY(mutex_);
  std::atomic<std::size_t> fixes_{0};
  std::atomic<std::size_t> withoutFix_{0};
  std::atomic<std::size_t> heldBack_{0};
  std::atomic<std::size_t> attempts_{0};
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::size_t> losses_{0};
  std::atomic<std::size_t> visits_{0};
};

}  // namespace pelk::platform
