#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/LocationServices.h"

namespace pelk::platform {

// Positions from a gpsd daemon through libgps.  One thread per running
// provider connects, watches TPV reports and hands every report with a 2D or
// 3D fix to LocationServices with its error estimate as the accuracy.  A
// report without a fix (gpsd gives its coordinates as NaN) is never a fix.
// When the daemon cannot be reached or goes away, the loss is reported once
// as a `serviceUnavailable` failure and the provider reconnects with backoff.
class GpsdLocationProvider : public LocationProvider {
 public:
  explicit GpsdLocationProvider(GpsdConfig config);
  ~GpsdLocationProvider() override;

  void start() override;
  void stop() override;
  // Linux has no system prompt: an undetermined authorization is granted at
  // the level asked for; an answer already given stands.
  void authorizationRequested(bool always) override;

  const GpsdConfig& config() const { return config_; }
  // Counters for diagnostics and tests.
  std::size_t fixesReported() const { return fixes_.load(); }
  std::size_t reportsWithoutFix() const { return withoutFix_.load(); }
  std::size_t connectAttempts() const { return attempts_.load(); }
  std::size_t connections() const { return connections_.load(); }
  std::size_t lossesReported() const { return losses_.load(); }

 private:
  void run();
  // Waits up to `d` or until stopped; true when stopped.
  bool waitStopped(Duration d);

  const GpsdConfig config_;
  // Lock order: under LocationServices' provider lock; a leaf (platform/LockOrder.h).
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
  std::atomic<std::size_t> fixes_{0};
  std::atomic<std::size_t> withoutFix_{0};
  std::atomic<std::size_t> attempts_{0};
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::size_t> losses_{0};
};

}  // namespace pelk::platform
