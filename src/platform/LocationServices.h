#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Location.h"
#include "platform/LocationManager.h"

namespace pelk::platform {

// Where fixes come from.  A provider runs only while some manager needs
// positions (updates, a one-shot request, significant changes, visits or a
// monitored region) and the app is authorized with services enabled.  It
// reports through LocationServices::report*, from any thread.
class LocationProvider {
 public:
  virtual ~LocationProvider() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
  // A manager asked for authorization (always: true; when in use: false).
  virtual void authorizationRequested(bool always) = 0;
};

// Connection to a gpsd daemon.
struct GpsdConfig {
  std::string host = "localhost";
  std::string port = "2947";
  // Reconnection waits start at `initialBackoff` and double up to `maxBackoff`.
  Duration initialBackoff = std::chrono::milliseconds(500);
  Duration maxBackoff = std::chrono::seconds(30);

  // The defaults, with the daemon a host names in its environment:
  // PELK_GPSD_HOST (a host name or address) and PELK_GPSD_PORT (1 to 65535).
  // A variable that is unset or empty keeps its default; a port that is not a
  // number in range is ignored with a line on stderr, so a typo cannot point
  // the kit somewhere unintended.
  static GpsdConfig fromEnvironment();
};

// The provider for tests: the test answers authorization requests and
// delivers fixes, failures, visits and region crossings itself.  Every control
// may be called from any thread; the effects reach delegates on the main queue.
class SimulatedLocationProvider : public LocationProvider {
 public:
  void start() override;
  void stop() override;
  void authorizationRequested(bool always) override;

  // Grants or denies: delegates hear of it only when the status changes.
  void setAuthorization(AuthorizationStatus status);
  void setServicesEnabled(bool enabled);
  void deliverFix(const Location& fix);
  // One batch, delivered as one list (oldest first) to each receiver.
  void deliverFixes(const std::vector<Location>& fixes);
  void deliverFailure(const LocationError& error);
  void deliverVisit(const Visit& visit);
  // A crossing of a monitored region, whatever the fixes say.
  void deliverRegionCrossing(const std::string& identifier, bool entered);

  // What managers asked for, in order (true: always).
  std::vector<bool> authorizationRequests() const;
  bool isRunning() const { return running_.load(); }
  std::size_t startCount() const { return starts_.load(); }

 private:
  // Lock order: a leaf (platform/LockOrder.h).
  mutable std::mutex mutex_;
  std::vector<bool> requests_;
  std::atomic<bool> running_{false};
  std::atomic<std::size_t> starts_{0};
};

// The app-wide side of the location service: authorization, whether location
// services are on, the last known position, the monitored regions and the
// provider.  Unless a provider is chosen, the first manager that needs
// positions starts a gpsd provider with GpsdConfig::fromEnvironment().
class LocationServices {
 public:
  static bool locationServicesEnabled();
  static AuthorizationStatus authorizationStatus();
  static std::optional<Location> lastLocation();
  static std::vector<CircularRegion> monitoredRegions();

  // The host's (or the simulated user's) answer.  Every manager with a
  // delegate hears of an actual change; a change to denied or restricted also
  // fails what managers are waiting for with `denied`.
  static void setAuthorizationStatus(AuthorizationStatus status);
  // The same, but only while the authorization is not determined: an answer
  // already given stands.  Answers the status in force afterwards.
  static AuthorizationStatus decideAuthorizationStatus(AuthorizationStatus answer);
  // Off: no positions; whoever waits for one fails with `denied`.
  static void setLocationServicesEnabled(bool enabled);

  // Switches to a fresh simulated world: authorization not determined,
  // services on, no last position, no regions.  Existing managers keep their
  // settings.  The reference stays valid until the next provider switch.
  static SimulatedLocationProvider& useSimulatedProvider();
  // Real host: positions from gpsd (libgps connects with a blocking connect:
  // a remote host that drops packets can hold up a stop for the system's
  // connect time-out; loopback and reachable hosts answer at once).  A
  // request for authorization while it is not determined is granted at the
  // level asked for (there is no system prompt on Linux); an answer already
  // given stands.  The host may set another with setAuthorizationStatus.
  static void useGpsdProvider(GpsdConfig config = {});
  // Runs the given provider (tests and hosts with a source of their own).
  static void useProvider(std::shared_ptr<LocationProvider> provider);

  // How long a one-shot request waits for a fix (default 15 s).
  static void setOneShotTimeout(Duration timeout);

  // Provider reports; any thread.  Fixes without a usable coordinate or
  // accuracy (NaN, out of range, negative accuracy) are dropped here.
  static void reportFixes(std::vector<Location> fixes);
  static void reportFailure(LocationError error);
  static void reportVisit(Visit visit);
  static void reportRegionCrossing(std::string identifier, bool entered);

  // True for a fix that may be delivered.
  static bool isUsableFix(const Location& fix);
};

}  // namespace pelk::platform
