#include "platform/GpsdLocationProvider.h"

#include <gps.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace pelk::platform {

namespace {

constexpr int kPollMicroseconds = 200'000;  // how often the reader looks at the stop flag

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

TimePoint fixTime(const timespec_t& t) {
  if (t.tv_sec <= 0) return Clock::now();
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

}  // namespace

GpsdLocationProvider::GpsdLocationProvider(GpsdConfig config) : config_(std::move(config)) {}

GpsdLocationProvider::~GpsdLocationProvider() { stop(); }

void GpsdLocationProvider::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void GpsdLocationProvider::stop() {
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    worker = std::move(thread_);
  }
  wake_.notify_all();
  if (worker.joinable()) worker.join();
}

void GpsdLocationProvider::authorizationRequested(bool always) {
  // The host's answer, once given, stands: a request for more than it gave
  // (always after when in use) changes nothing, as no one is there to ask.
  LocationServices::decideAuthorizationStatus(always ? AuthorizationStatus::authorizedAlways
                                                     : AuthorizationStatus::authorizedWhenInUse);
}

bool GpsdLocationProvider::waitStopped(Duration d) {
  std::unique_lock lock(mutex_);
  return wake_.wait_for(lock, d, [this] { return stopping_; });
}

void GpsdLocationProvider::run() {
  const std::string where = "gpsd at " + config_.host + ":" + config_.port;
  Duration backoff = config_.initialBackoff;
  bool lossReported = false;
  auto reportLoss = [&](const std::string& why) {
    if (lossReported) return;
    lossReported = true;
    ++losses_;
    LocationServices::reportFailure({LocationErrorCode::serviceUnavailable, where + " " + why});
  };
  auto backOff = [&] {
    const bool stopped = waitStopped(backoff);
    backoff = std::min(backoff * 2, config_.maxBackoff);
    return stopped;
  };

  std::vector<char> message(16 * 1024);
  while (!waitStopped(Duration::zero())) {
    gps_data_t data{};
    ++attempts_;
    if (gps_open(config_.host.c_str(), config_.port.c_str(), &data) != 0) {
      reportLoss(std::string("cannot be reached: ") + gps_errstr(errno));
      if (backOff()) return;
      continue;
    }
    ++connections_;
    if (gps_stream(&data, WATCH_ENABLE | WATCH_JSON, nullptr) != 0) {
      gps_close(&data);
      reportLoss("refused the watch request");
      if (backOff()) return;
      continue;
    }
    bool stopped = false;
    while (!(stopped = waitStopped(Duration::zero()))) {
      errno = 0;
      if (!gps_waiting(&data, kPollMicroseconds)) {
        if (errno != 0 && errno != EINTR && errno != EAGAIN) break;  // the socket failed
        continue;
      }
      message[0] = '\0';
      const int n = gps_read(&data, message.data(), static_cast<int>(message.size()) - 1);
      if (n < 0) break;  // closed or broken
      if (n == 0) continue;
      // The daemon is talking: a later loss is news again.
      lossReported = false;
      backoff = config_.initialBackoff;
      message.back() = '\0';
      if (std::strstr(message.data(), "\"class\":\"TPV\"") == nullptr) continue;
      if (auto loc = locationFrom(data.fix)) {
        ++fixes_;
        LocationServices::reportFixes({*loc});
      } else {
        ++withoutFix_;
      }
    }
    if (!stopped) (void)gps_stream(&data, WATCH_DISABLE, nullptr);
    gps_close(&data);
    if (stopped) return;
    reportLoss("went away");
    if (backOff()) return;
  }
}

}  // namespace pelk::platform
