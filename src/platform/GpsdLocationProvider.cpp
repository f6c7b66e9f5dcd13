#include "platform/GpsdLocationProvider.h"

#include <gps.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "platform/ThreadName.h"

namespace pelk::platform {

namespace {

// The longest the reader sleeps between looks at its deadlines; a stop wakes
// it at once.
constexpr auto kLongestWait = std::chrono::seconds(1);

// How long after connecting a fix without the receiver's time is held back.
// gpsd gives a fix's time only once it has the date, and its first reports of
// a connection often lack it; the next report (a second later from a 1 Hz
// receiver) has it.  A fix stamped with the host's clock meanwhile would put
// the first position on another clock than the rest: hours apart when the
// host's clock is off, and a speed measured between them says nothing.
constexpr auto kTimeGrace = std::chrono::seconds(3);

double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

// The 2D error estimate gpsd gives, or nothing: eph first, then the
// per-axis estimates combined.
std::optional<double> horizontalError(const gps_fix_t& fix) {
  if (std::isfinite(fix.eph) && fix.eph >= 0.0) return fix.eph;
  if (std::isfinite(fix.epx) && std::isfinite(fix.epy) && fix.epx >= 0.0 && fix.epy >= 0.0) {
    return std::hypot(fix.epx, fix.epy);
  }
  return std::nullopt;
}

// A time of the receiver's that the kit's clock can hold: a date centuries
// off would wrap round to another century in the conversion, and is taken as
// no time at all.
bool hasReceiverTime(const timespec_t& t) {
  constexpr auto latest = std::chrono::duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count() - 1;
  return t.tv_sec > 0 && t.tv_sec < latest;
}

TimePoint fixTime(const timespec_t& t) {
  if (!hasReceiverTime(t)) return Clock::now();
  using namespace std::chrono;
  return TimePoint(duration_cast<TimePoint::duration>(seconds(t.tv_sec) + nanoseconds(t.tv_nsec)));
}

// A location from one TPV report, or nothing when the report holds no usable
// fix.
std::optional<Location> locationFrom(const gps_fix_t& fix) {
  if (fix.mode < MODE_2D) return std::nullopt;
  if (!std::isfinite(fix.latitude) || !std::isfinite(fix.longitude)) return std::nullopt;
  const auto accuracy = horizontalError(fix);
  // Without an error estimate the fix cannot be judged; it is not passed on as
  // one of known quality.
  if (!accuracy) return std::nullopt;
  Location loc;
  loc.coordinate = {fix.latitude, fix.longitude};
  loc.horizontalAccuracy = *accuracy;
  if (fix.mode >= MODE_3D && (std::isfinite(fix.altMSL) || std::isfinite(fix.altHAE))) {
    loc.altitude = std::isfinite(fix.altMSL) ? fix.altMSL : fix.altHAE;
    loc.verticalAccuracy = finiteOr(fix.epv, -1.0);
  }
  loc.speed = std::isfinite(fix.speed) && fix.speed >= 0.0 ? fix.speed : -1.0;
  loc.course = std::isfinite(fix.track) && fix.track >= 0.0 ? fix.track : -1.0;
  loc.timestamp = fixTime(fix.time);
  return loc;
}

// libgps's gps_read writes a text of each report's flags into one static
// buffer of the library's, whatever its debug level: the readers of the
// process (a provider replaced while its last reader still reads, or two
// providers) take turns at it.  Lock order: a leaf (platform/LockOrder.h),
// held only around the read of one report.
std::mutex& libgpsReadMutex() {
  static auto* m = new std::mutex();
  return *m;
}

// libgps writes its requests with write(): to a daemon that has closed the
// connection that raises SIGPIPE, whose default ends the whole host.  The
// reader blocks it for itself alone (a write's SIGPIPE goes to the thread
// that wrote), so the write fails with EPIPE and is handled as the loss it
// is, while the host's own disposition and its other threads are untouched.
void blockSigpipeInThisThread() {
  sigset_t pipe;
  ::sigemptyset(&pipe);
  ::sigaddset(&pipe, SIGPIPE);
  (void)::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace

// One start's reader: its thread, and the eventfd a stop writes to wake it
// from a wait.
struct GpsdLocationProvider::Session {
  Session() : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Session() {
    if (wakeFd >= 0) ::close(wakeFd);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void requestStop() {
    stopping.store(true);
    if (wakeFd >= 0) {
      const std::uint64_t one = 1;
      (void)!::write(wakeFd, &one, sizeof one);
    }
  }

  // Waits up to `d`, for `fd` to be readable (when given) or for a stop;
  // true when stopped.
  bool wait(std::chrono::steady_clock::duration d, int fd = -1) const {
    if (stopping.load()) return true;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    (void)::poll(fds, fd >= 0 ? 2 : 1, static_cast<int>(std::clamp<long long>(ms, 0, 60'000)));
    return stopping.load();
  }

  const int wakeFd;
  std::atomic<bool> stopping{false};
  std::atomic<bool> finished{false};
  std::thread thread;
};

GpsdLocationProvider::GpsdLocationProvider(GpsdConfig config)
    : config_(std::move(config)), visitDetector_(config_.visits) {}

GpsdLocationProvider::~GpsdLocationProvider() { join(); }

void GpsdLocationProvider::reapFinishedLocked() {
  // A finished reader has left run() and takes no lock any more: joining it
  // here does not wait.
  std::erase_if(retired_, [](const std::shared_ptr<Session>& s) {
    if (!s->finished.load()) return false;
    if (s->thread.joinable()) s->thread.join();
    return true;
  });
}

void GpsdLocationProvider::start() {
  LockGuard lock(mutex_);
  reapFinishedLocked();
  if (current_) return;
  auto session = std::make_shared<Session>();
  session->thread = std::thread([this, s = session.get()] {
    nameThisThread("pelk-gpsd");
    blockSigpipeInThisThread();
    run(*s);
    s->finished.store(true);
  });
  current_ = std::move(session);
}

void GpsdLocationProvider::stop() {
  LockGuard lock(mutex_);
  if (!current_) return;
  current_->requestStop();
  retired_.push_back(std::move(current_));
  reapFinishedLocked();
}

void GpsdLocationProvider::join() {
  std::vector<std::shared_ptr<Session>> sessions;
  {
    LockGuard lock(mutex_);
    if (current_) {
      current_->requestStop();
      retired_.push_back(std::move(current_));
    }
    sessions.swap(retired_);
  }
  // Outside the lock: a reader may still report (which takes it) on its way out.
  for (auto& s : sessions) {
    if (s->thread.joinable()) s->thread.join();
  }
}

bool GpsdLocationProvider::idle() {
  LockGuard lock(mutex_);
  reapFinishedLocked();
  return !current_ && retired_.empty();
}

std::size_t GpsdLocationProvider::readerThreads() const {
  LockGuard lock(mutex_);
  return retired_.size() + (current_ ? 1 : 0);
}

void GpsdLocationProvider::authorizationRequested(bool always) {
  // The host's answer, once given, stands: a request for more than it gave
  // (always after when in use) changes nothing, as no one is there to ask.
  LocationServices::decideAuthorizationStatus(always ? AuthorizationStatus::authorizedAlways
                                                     : AuthorizationStatus::authorizedWhenInUse);
}

void GpsdLocationProvider::setAvailable(Session& session, bool available, const std::string& why) {
  LockGuard lock(mutex_);
  if (session.stopping.load() || available_ == available) return;
  available_ = available;
  LocationServices::reportServiceAvailability(available, why);
}

void GpsdLocationProvider::noteLoss(Session& session, const std::string& why) {
  {
    LockGuard lock(mutex_);
    if (!lostSince_) lostSince_ = std::chrono::steady_clock::now();
    lostWhy_ = why;
  }
  (void)checkLoss(session);
}

std::chrono::steady_clock::time_point GpsdLocationProvider::checkLoss(Session& session) {
  const auto never = std::chrono::steady_clock::time_point::max();
  std::string why;
  {
    LockGuard lock(mutex_);
    if (!lostSince_) return never;
    const auto due = *lostSince_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(config_.lossGrace);
    if (std::chrono::steady_clock::now() < due) return due;
    why = lostWhy_;
  }
  setAvailable(session, false, why);
  return never;
}

void GpsdLocationProvider::noteTalking() {
  LockGuard lock(mutex_);
  lostSince_.reset();
}

void GpsdLocationProvider::fixArrived(Session& session, Location fix, bool receiverTime, ReceiverClock& receiverClock,
                                      std::chrono::steady_clock::time_point connectedAt) {
  std::optional<Visit> visit;
  {
    LockGuard lock(mutex_);
    if (session.stopping.load()) return;
    const auto now = std::chrono::steady_clock::now();
    if (receiverTime) {
      receiverClock.emplace(fix.timestamp, now);
    } else if (receiverClock) {
      fix.timestamp =
          receiverClock->first + std::chrono::duration_cast<TimePoint::duration>(now - receiverClock->second);
    } else if (now - connectedAt < kTimeGrace) {
      ++heldBack_;
      return;
    }
    // A stay is timed by the receiver's clock alone: a report stamped with
    // the host's time (gpsd gave none) would mix two clocks.
    if (receiverTime) visit = visitDetector_.add(fix);
  }
  ++fixes_;
  LocationServices::reportFixes({fix});
  if (visit) {
    ++visits_;
    LocationServices::reportVisit(*visit);
  }
}

void GpsdLocationProvider::run(Session& session) {
  using SteadyClock = std::chrono::steady_clock;
  const std::string where = "gpsd at " + config_.host + ":" + config_.port;
  Duration backoff = config_.initialBackoff;
  bool lossReported = false;
  auto reportLoss = [&](const std::string& why) {
    // A stopped reader (a connect that ended after the stop) speaks for a
    // daemon nobody uses any more.
    if (session.stopping.load()) return;
    noteLoss(session, where + " " + why);
    if (lossReported) return;
    lossReported = true;
    ++losses_;
    LocationServices::reportFailure({LocationErrorCode::serviceUnavailable, where + " " + why});
  };
  // Waits out the backoff, looking at the loss's grace meanwhile.  True when
  // stopped.
  auto backOff = [&] {
    const auto end = SteadyClock::now() + backoff;
    backoff = std::min(backoff * 2, config_.maxBackoff);
    for (;;) {
      const auto now = SteadyClock::now();
      const auto until = std::min(end, checkLoss(session));
      if (now >= end) return session.stopping.load();
      if (session.wait(std::max(until - now, SteadyClock::duration::zero()))) return true;
    }
  };
  const auto noFixTimeout = std::chrono::duration_cast<SteadyClock::duration>(config_.noFixTimeout);
  const auto noFixText = [&] {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(config_.noFixTimeout).count();
    return "has had no fix for " + std::to_string(s) + " s";
  }();

  // The bound for a fix runs from the start, then from each fix, across
  // connections: a daemon that hangs up before it has a fix, again and again,
  // gives no positions however often it answers.
  auto fixDeadline = SteadyClock::now() + noFixTimeout;
  while (!session.stopping.load()) {
    gps_data_t data{};
    ++attempts_;
    // A blocking connect: a host that drops packets holds the reader here for
    // the system's connect time-out; nobody waits for it meanwhile.
    if (gps_open(config_.host.c_str(), config_.port.c_str(), &data) != 0) {
      reportLoss(std::string("cannot be reached: ") + gps_errstr(errno));
      if (backOff()) return;
      continue;
    }
    if (session.stopping.load()) {
      gps_close(&data);
      return;
    }
    ++connections_;
    if (gps_stream(&data, WATCH_ENABLE | WATCH_JSON, nullptr) != 0) {
      gps_close(&data);
      reportLoss("refused the watch request");
      if (backOff()) return;
      continue;
    }
    // A fix without the receiver's time may wait a while after connecting
    // for the receiver's clock to be seen.  The clock seen is this
    // connection's alone: the daemon that answers at the address after a
    // reconnection may be another one (restarted, another receiver, a replay
    // begun afresh) whose clock has nothing to do with the last one's.
    const auto connectedAt = SteadyClock::now();
    ReceiverClock receiverClock;
    bool stopped = false;
    while (!(stopped = session.stopping.load())) {
      const auto now = SteadyClock::now();
      if (now >= fixDeadline) {
        setAvailable(session, false, where + " " + noFixText);
        fixDeadline = now + noFixTimeout;
      }
      errno = 0;
      if (!gps_waiting(&data, 0)) {
        if (errno != 0 && errno != EINTR && errno != EAGAIN) break;  // the socket failed
        const auto wait = std::min<SteadyClock::duration>(kLongestWait, fixDeadline - now);
        stopped = session.wait(wait, data.gps_fd);
        if (stopped) break;
        continue;
      }
      // libgps keeps the flags of earlier reports (a sky view leaves those of
      // the last position), so they are cleared: after the read they say what
      // this report alone holds.
      data.set = 0;
      int n = 0;
      {
        std::lock_guard lock(libgpsReadMutex());
        n = gps_read(&data, nullptr, 0);
      }
      if (n < 0) break;  // closed or broken
      if (n == 0) continue;
      // The daemon is talking: a later loss is news again.
      lossReported = false;
      noteTalking();
      backoff = config_.initialBackoff;
      // Only a position report (TPV) gives a fix mode; every other report
      // (sky view, device, watch, version) leaves the fix as it was.
      if ((data.set & MODE_SET) == 0) continue;
      if (auto loc = locationFrom(data.fix)) {
        fixDeadline = SteadyClock::now() + noFixTimeout;
        setAvailable(session, true, where + " has a fix");
        fixArrived(session, *loc, hasReceiverTime(data.fix.time), receiverClock, connectedAt);
      } else {
        ++withoutFix_;
      }
    }
    // The goodbye may meet a daemon already gone: it then fails with EPIPE.
    if (!stopped) (void)gps_stream(&data, WATCH_DISABLE, nullptr);
    gps_close(&data);
    if (stopped) return;
    reportLoss("went away");
    if (backOff()) return;
  }
}

}  // namespace pelk::platform
