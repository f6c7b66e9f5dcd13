#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Location.h"
#include "platform/ThreadSafety.h"
#include "platform/LocationManager.h"
#include "platform/VisitDetector.h"

namespace pelk::platform {

// Where fixes come from.  A provider runs only while some manager needs
// positions (updates, a one-shot request, significant changes, visits or a
// monitored region) and the app is authorized with services enabled.  It
// reports through LocationServices::report*, from any thread.
class LocationProvider {
 public:
  virtual ~LocationProvider() = default;
  virtual void start() = 0;
  // Must not wait for the provider's work to end: the main queue calls it.
  virtual void stop() = 0;
  // Waits until the work of every earlier start has ended (process exit).
  virtual void join() {}
  // True when no work of an earlier start runs any more, so that releasing
  // the provider waits for nothing.
  virtual bool idle() { return true; }
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
  // A daemon that answers but has had no fix for this long (no receiver, no
  // sky) counts as the location service gone, as an unreachable one does.  A
  // minute outlasts a warm start and reports a receiver that lost the sky
  // while the host is still likely to care.
  Duration noFixTimeout = std::chrono::seconds(60);
  // A daemon that cannot be reached, or went away, for this long counts as
  // the location service gone: one that restarts, or starts a moment after
  // the host, does not.
  Duration lossGrace = std::chrono::seconds(5);
  // gpsd reports no visits: they are found in its fixes.
  VisitRules visits{};

  // The defaults, with the daemon a host names in its environment:
  // PELK_GPSD_HOST (a host name or address) and PELK_GPSD_PORT (1 to 65535).
  // A variable that is unset or empty keeps its default; a port that is not a
  // number in range is ignored with a line on stderr, so a typo cannot point
  // the kit somewhere unintended.
  static GpsdConfig fromEnvironment();
  // The defaults with the daemon at host:port, as the host names it through
  // the kit's API; nothing when the host name is empty, longer than 253
  // characters or holds a blank or a control character, or the port is not
  // in 1 to 65535.
  static std::optional<GpsdConfig> withAddress(const std::string& host, std::int64_t port);
};

// Whether the location service can give positions, as its provider last said.
// Sent as the userInfo of LocationServices::availabilityChangedNotification.
struct ServiceAvailability {
  bool available = true;
  std::string reason;  // what the provider said, for the console and logs
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
  // The service goes away (false) or comes back (true).
  void deliverAvailability(bool available, const std::string& reason = {});

  // What managers asked for, in order (true: always).
  std::vector<bool> authorizationRequests() const;
  bool isRunning() const { return running_.load(); }
  std::size_t startCount() const { return starts_.load(); }

 private:
  // Lock order: a leaf (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::vector<bool> requests_ PELK_GUARDED_BY(mutex_);
  std::atomic<bool> running_{false};
  std::atomic<std::size_t> starts_{0};
};

// The app-wide side of the location service: authorization, whether location
// services are on, the last known position, the monitored regions and the
// provider.  Unless a provider is chosen (the host naming its gpsd through the
// kit's API chooses one), the first manager that needs positions starts a gpsd
// provider with GpsdConfig::fromEnvironment().
class LocationServices {
 public:
  // Posted on the main queue to NotificationCenter::defaultCenter() each time
  // the service's availability changes; userInfo is a ServiceAvailability.
  static constexpr const char* availabilityChangedNotification = "pelk.locationServiceAvailabilityChanged";

  static bool locationServicesEnabled();
  // False while the provider says its source is gone (gpsd unreachable, or no
  // fix for its bound); true until a provider says otherwise.  Unlike the
  // services switch it stops nothing: the provider keeps trying and managers
  // keep what they asked for, so positions flow again when the source returns.
  static bool serviceAvailable();
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
  // Real host: positions from gpsd.  A request for authorization while it is
  // not determined is granted at the level asked for (there is no system
  // prompt on Linux); an answer already given stands.  The host may set
  // another with setAuthorizationStatus.  (libgps connects with a blocking
  // connect: a remote host that drops packets holds the reader, never the
  // caller, for the system's connect time-out; process exit waits for it.)
  static void useGpsdProvider(GpsdConfig config = {});
  // Runs the given provider (tests and hosts with a source of their own).
  // The provider is started while positions are needed; it is stopped once
  // the main queue has finished the task in which the last need ended, so a
  // stop and a start in one task (a timer's restart of updates) keep the
  // running provider and its connection.
  static void useProvider(std::shared_ptr<LocationProvider> provider);

  // How long a one-shot request waits for a fix (default 15 s).
  static void setOneShotTimeout(Duration timeout);

  // Provider reports; any thread.  Fixes without a usable coordinate or
  // accuracy (NaN, out of range, negative accuracy) are dropped here.
  static void reportFixes(std::vector<Location> fixes);
  static void reportFailure(LocationError error);
  static void reportVisit(Visit visit);
  static void reportRegionCrossing(std::string identifier, bool entered);
  // The provider's source went away or came back; repeats are ignored.
  static void reportServiceAvailability(bool available, std::string reason);

  // True for a fix that may be delivered.
  static bool isUsableFix(const Location& fix);
};

}  // namespace pelk::platform
