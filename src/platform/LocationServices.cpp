#include "platform/LocationServices.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <exception>
#include <functional>
#include <utility>

#include "platform/Dispatch.h"
#include "platform/GpsdLocationProvider.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {

struct LocationManager::State {
  std::weak_ptr<LocationManager> self;
  std::weak_ptr<LocationManagerDelegate> delegate;
  double desiredAccuracy = DesiredAccuracy::best;
  double distanceFilter = distanceFilterNone;
  ActivityType activityType = ActivityType::other;
  bool allowsBackground = false;
  bool pausesAutomatically = true;
  bool showsIndicator = false;
  bool updating = false;
  bool significant = false;
  bool visits = false;
  bool requestPending = false;
  std::uint64_t requestGeneration = 0;
  std::optional<Location> lastDelivered;
  std::optional<Location> lastSignificant;

  bool waitsForPositions() const { return updating || requestPending || significant; }
  bool usesService() const { return waitsForPositions() || visits; }
};

// The shared state of every manager and the provider.  One mutex guards the
// service state and every manager's State; delegates are only ever called with
// it released, on the main queue.
class LocationEngine {
 public:
  using Call = std::function<void(LocationManager&, LocationManagerDelegate&)>;
  struct Delivery {
    std::weak_ptr<LocationManager> manager;
    Call call;
  };
  struct ManagerEntry {
    LocationManager* manager;  // valid while registered: unregistering takes the mutex
    std::weak_ptr<LocationManager> weak;
  };
  struct RegionEntry {
    CircularRegion region;
    std::weak_ptr<LocationManager> owner;
    std::optional<bool> inside;  // unknown until a fix says
    // Which placement this is: a crossing is computed when a fix comes in but
    // delivered after the managers' updates, which may have replaced or
    // removed the region meanwhile; such a crossing is stale.
    std::uint64_t placement = 0;
  };

  static LocationEngine& get() {
    // Never destroyed, so queued tasks can still reach it at exit; the guard
    // below stops the provider's thread before the statics it uses go away.
    static LocationEngine* engine = new LocationEngine();
    return *engine;
  }

  // Lock order: providerMutex, then mutex, after the tracking modes' locks;
  // the main queue's own lock (a post) may be taken under either.  Neither is
  // held while a delegate, an observer or the provider's reports run
  // (platform/LockOrder.h).
  Mutex mutex;
  AuthorizationStatus status PELK_GUARDED_BY(mutex) = AuthorizationStatus::notDetermined;
  bool enabled PELK_GUARDED_BY(mutex) = true;
  bool available PELK_GUARDED_BY(mutex) = true;  // what the provider last said of its source
  std::optional<Location> last PELK_GUARDED_BY(mutex);
  std::vector<RegionEntry> regions PELK_GUARDED_BY(mutex);
  std::uint64_t placements PELK_GUARDED_BY(mutex) = 0;  // numbers the region placements
  std::vector<ManagerEntry> managers PELK_GUARDED_BY(mutex);
  Duration oneShotTimeout PELK_GUARDED_BY(mutex) = std::chrono::seconds(15);
  std::shared_ptr<LocationProvider> provider PELK_GUARDED_BY(mutex);  // chosen provider

  // Lock order: before the gpsd provider's lock and the engine's (platform/LockOrder.h).
  Mutex providerMutex;  // serialises provider start and stop
  std::shared_ptr<LocationProvider> running PELK_GUARDED_BY(providerMutex);
  bool exiting PELK_GUARDED_BY(providerMutex) = false;     // nothing starts any more
  bool stopQueued PELK_GUARDED_BY(providerMutex) = false;  // a stop waits for the main queue
  // Replaced providers whose work has not ended yet (a reader in a connect
  // that may last the system's time-out): released once idle, joined at exit.
  std::vector<std::shared_ptr<LocationProvider>> retiring PELK_GUARDED_BY(providerMutex);

  // --- delivery -------------------------------------------------------------

  static void run(const std::vector<Delivery>& deliveries) {
    PELK_ASSERT_ON_MAIN();
    for (const auto& d : deliveries) {
      auto manager = d.manager.lock();
      if (!manager) continue;
      auto delegate = manager->delegate();
      if (!delegate) continue;
      try {
        d.call(*manager, *delegate);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "pelk: location delegate threw: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "pelk: location delegate threw\n");
      }
    }
  }

  static void post(std::vector<Delivery> deliveries) {
    if (deliveries.empty()) return;
    Dispatch::main().async([d = std::move(deliveries)] { run(d); });
  }

  static Call failure(LocationError error) {
    return [error = std::move(error)](LocationManager& m, LocationManagerDelegate& d) { d.didFailWithError(m, error); };
  }

  static LocationError deniedError() {
    return {LocationErrorCode::denied, "Location services are off or the app is not authorized"};
  }

  // --- provider -------------------------------------------------------------

  std::shared_ptr<LocationProvider> currentProvider() {
    LockGuard lock(mutex);
    if (!provider) provider = std::make_shared<GpsdLocationProvider>(GpsdConfig::fromEnvironment());
    return provider;
  }

  bool neededLocked() const PELK_REQUIRES(mutex) {
    if (!enabled || !isAuthorized(status)) return false;
    if (!regions.empty()) return true;
    return std::any_of(managers.begin(), managers.end(),
                       [](const ManagerEntry& e) { return e.manager->state_->usesService(); });
  }

  // Starts the provider at once when positions are needed; a provider no
  // longer needed is stopped from the main queue, after the task in which the
  // need ended.  A manager that stops and starts its updates within one task
  // (the time-based tracker's tick) therefore keeps the running provider and
  // its connection instead of cycling it.
  void reconcile() {
    LockGuard plock(providerMutex);
    reconcileHoldingProviderLock(false);
  }

  void reconcileHoldingProviderLock(bool stopNow) PELK_REQUIRES(providerMutex) {
    bool needed;
    std::shared_ptr<LocationProvider> chosen;
    {
      LockGuard lock(mutex);
      needed = neededLocked();
      if (needed && !provider) provider = std::make_shared<GpsdLocationProvider>(GpsdConfig::fromEnvironment());
      chosen = provider;
    }
    if (running && running != chosen) {
      running->stop();
      running.reset();
    }
    if (running && !needed) {
      if (stopNow || exiting) {
        running->stop();
        running.reset();
      } else if (!stopQueued) {
        stopQueued = true;
        Dispatch::main().async([] {
          auto& engine = get();
          LockGuard plock(engine.providerMutex);
          engine.stopQueued = false;
          engine.reconcileHoldingProviderLock(true);
        });
      }
    }
    if (needed && !running && chosen && !exiting) {
      chosen->start();
      running = chosen;
    }
  }

  void replaceProvider(std::shared_ptr<LocationProvider> next, bool freshWorld) {
    // Providers released here go after the locks; one whose work still runs
    // is kept aside instead, so that the caller never waits for a connect
    // under way (the host names another daemon because the first one hangs).
    std::vector<std::shared_ptr<LocationProvider>> released;
    LockGuard plock(providerMutex);
    if (running) {
      running->stop();
      running.reset();
    }
    {
      LockGuard lock(mutex);
      auto previous = std::exchange(provider, std::move(next));
      if (previous && previous != provider) retiring.push_back(std::move(previous));
      std::erase(retiring, provider);  // chosen again: it is no longer set aside
      if (freshWorld) {
        status = AuthorizationStatus::notDetermined;
        enabled = true;
        available = true;
        last.reset();
        regions.clear();
        for (auto& e : managers) {
          auto& st = *e.manager->state_;
          st.lastDelivered.reset();
          st.lastSignificant.reset();
        }
      }
    }
    const auto idle = std::stable_partition(retiring.begin(), retiring.end(),
                                            [](const std::shared_ptr<LocationProvider>& p) { return !p->idle(); });
    released.assign(std::make_move_iterator(idle), std::make_move_iterator(retiring.end()));
    retiring.erase(idle, retiring.end());
    reconcileHoldingProviderLock(false);
  }

  void stopProviderAtExit() {
    std::vector<std::shared_ptr<LocationProvider>> providers;
    {
      LockGuard plock(providerMutex);
      exiting = true;
      if (running) {
        running->stop();
        running.reset();
      }
      providers.swap(retiring);
      LockGuard lock(mutex);
      if (provider) providers.push_back(provider);
    }
    // The providers' threads report through statics that go away after this
    // guard: they end here, whatever an earlier stop left running.
    for (auto& p : providers) {
      p->stop();
      p->join();
    }
  }

  // --- service state --------------------------------------------------------

  void setStatus(AuthorizationStatus next) { changeStatus(next, false); }

  // Changes the status (with `onlyUndetermined`, only while it is not
  // determined) and tells every manager; answers the status in force.
  AuthorizationStatus changeStatus(AuthorizationStatus next, bool onlyUndetermined) {
    std::vector<Delivery> deliveries;
    {
      LockGuard lock(mutex);
      if (onlyUndetermined && status != AuthorizationStatus::notDetermined) return status;
      if (next == status) return status;
      status = next;
      for (auto& e : managers) {
        deliveries.push_back(
            {e.weak, [next](LocationManager& m, LocationManagerDelegate& d) { d.didChangeAuthorization(m, next); }});
      }
      if (next == AuthorizationStatus::denied || next == AuthorizationStatus::restricted) {
        failWaitingLocked(deliveries);
      }
    }
    post(std::move(deliveries));
    reconcile();
    return next;
  }

  void setEnabled(bool on) {
    std::vector<Delivery> deliveries;
    {
      LockGuard lock(mutex);
      if (on == enabled) return;
      enabled = on;
      if (!on) failWaitingLocked(deliveries);
    }
    post(std::move(deliveries));
    reconcile();
  }

  // Everyone waiting for a position hears `denied`; one-shot requests end.
  void failWaitingLocked(std::vector<Delivery>& deliveries) PELK_REQUIRES(mutex) {
    for (auto& e : managers) {
      auto& st = *e.manager->state_;
      if (!st.waitsForPositions()) continue;
      st.requestPending = false;
      deliveries.push_back({e.weak, failure(deniedError())});
    }
  }

  bool grantedLocked() const PELK_REQUIRES(mutex) { return enabled && isAuthorized(status); }

  // --- provider reports, handled on the main queue ---------------------------

  static bool passesDistanceFilter(const std::optional<Location>& previous, const Location& fix, double filter) {
    if (filter <= 0.0 || !previous) return true;
    return previous->distance(fix) >= filter;
  }

  void handleFixes(std::vector<Location> fixes) {
    PELK_ASSERT_ON_MAIN();
    std::erase_if(fixes, [](const Location& f) { return !LocationServices::isUsableFix(f); });
    if (fixes.empty()) return;
    std::stable_sort(fixes.begin(), fixes.end(),
                     [](const Location& a, const Location& b) { return a.timestamp < b.timestamp; });
    std::vector<Delivery> deliveries;
    {
      LockGuard lock(mutex);
      if (!grantedLocked()) return;
      last = fixes.back();
      for (auto& e : managers) {
        auto& st = *e.manager->state_;
        std::vector<bool> take(fixes.size(), false);
        bool any = false;
        for (std::size_t i = 0; i < fixes.size(); ++i) {
          if (st.updating && passesDistanceFilter(st.lastDelivered, fixes[i], st.distanceFilter)) {
            take[i] = true;
            st.lastDelivered = fixes[i];
          }
          if (st.significant &&
              (!st.lastSignificant || st.lastSignificant->distance(fixes[i]) >= significantChangeDistance)) {
            take[i] = true;
            st.lastSignificant = fixes[i];
          }
          any = any || take[i];
        }
        if (st.requestPending) {
          st.requestPending = false;
          take.back() = true;
          any = true;
        }
        if (!any) continue;
        std::vector<Location> out;
        for (std::size_t i = 0; i < fixes.size(); ++i) {
          if (take[i]) out.push_back(fixes[i]);
        }
        deliveries.push_back({e.weak, [out = std::move(out)](LocationManager& m, LocationManagerDelegate& d) {
                                d.didUpdateLocations(m, out);
                              }});
      }
      for (const auto& fix : fixes) {
        for (auto& r : regions) {
          const bool inside = r.region.contains(fix.coordinate);
          const std::optional<bool> before = r.inside;
          r.inside = inside;
          if (!before || *before == inside) continue;
          crossingLocked(r, inside, deliveries);
        }
      }
    }
    run(deliveries);
    reconcile();
  }

  static void crossingLocked(const RegionEntry& r, bool entered, std::vector<Delivery>& deliveries) {
    if (entered && !r.region.notifyOnEntry) return;
    if (!entered && !r.region.notifyOnExit) return;
    deliveries.push_back({r.owner, [region = r.region, entered, placement = r.placement](LocationManager& m,
                                                                                         LocationManagerDelegate& d) {
                            // Only for the region as it is still monitored when the
                            // crossing runs: not for one replaced or removed since.
                            if (!get().stillMonitored(placement)) return;
                            if (entered) {
                              d.didEnterRegion(m, region);
                            } else {
                              d.didExitRegion(m, region);
                            }
                          }});
  }

  bool stillMonitored(std::uint64_t placement) {
    LockGuard lock(mutex);
    return std::any_of(regions.begin(), regions.end(),
                       [placement](const RegionEntry& r) { return r.placement == placement; });
  }

  void handleFailure(const LocationError& error) {
    std::vector<Delivery> deliveries;
    {
      LockGuard lock(mutex);
      for (auto& e : managers) {
        auto& st = *e.manager->state_;
        if (!st.usesService()) continue;
        st.requestPending = false;
        deliveries.push_back({e.weak, failure(error)});
      }
    }
    run(deliveries);
    reconcile();
  }

  void handleVisit(const Visit& visit) {
    std::vector<Delivery> deliveries;
    {
      LockGuard lock(mutex);
      if (!grantedLocked()) return;
      for (auto& e : managers) {
        if (!e.manager->state_->visits) continue;
        deliveries.push_back(
            {e.weak, [visit](LocationManager& m, LocationManagerDelegate& d) { d.didVisit(m, visit); }});
      }
    }
    run(deliveries);
  }

  void handleAvailability(bool on, const std::string& reason) {
    {
      LockGuard lock(mutex);
      if (on == available) return;
      available = on;
    }
    NotificationCenter::defaultCenter().post(LocationServices::availabilityChangedNotification, nullptr,
                                             ServiceAvailability{on, reason});
  }

  void handleCrossing(const std::string& identifier, bool entered) {
    std::vector<Delivery> deliveries;
    {
      LockGuard lock(mutex);
      if (!grantedLocked()) return;
      for (auto& r : regions) {
        if (r.region.identifier != identifier) continue;
        r.inside = entered;
        crossingLocked(r, entered, deliveries);
      }
    }
    run(deliveries);
  }

  // Turns a use of the service on; a refused start hears `denied` on the main
  // queue.
  static void startUse(LocationManager::State& st, bool LocationManager::State::*flag,
                       const std::weak_ptr<LocationManager>& self, bool failsWhenRefused) {
    auto& engine = get();
    bool refused;
    {
      LockGuard lock(engine.mutex);
      st.*flag = true;
      refused = !engine.enabled || engine.status == AuthorizationStatus::denied ||
                engine.status == AuthorizationStatus::restricted;
    }
    if (refused && failsWhenRefused) post({{self, failure(deniedError())}});
    engine.reconcile();
  }

  static void stopUse(LocationManager::State& st, bool LocationManager::State::*flag) {
    auto& engine = get();
    {
      LockGuard lock(engine.mutex);
      st.*flag = false;
    }
    engine.reconcile();
  }

  static bool readUse(const LocationManager::State& st, bool LocationManager::State::*flag) {
    LockGuard lock(get().mutex);
    return st.*flag;
  }

 private:
  LocationEngine() = default;
};

namespace {

// Stops the provider's thread at exit, before the dispatch and clock statics
// it reports through are destroyed (they were made before this guard).
struct ExitGuard {
  ExitGuard() {
    Dispatch::main();
    Clock::now();
  }
  ~ExitGuard() { LocationEngine::get().stopProviderAtExit(); }
};

void ensureExitGuard() { static ExitGuard guard; }

}  // namespace

// --- LocationManager ---------------------------------------------------------

LocationManager::LocationManager() : state_(std::make_unique<State>()) {}

std::shared_ptr<LocationManager> LocationManager::create() {
  ensureExitGuard();
  std::shared_ptr<LocationManager> manager(new LocationManager());
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  manager->state_->self = manager;
  engine.managers.push_back({manager.get(), manager});
  return manager;
}

LocationManager::~LocationManager() {
  auto& engine = LocationEngine::get();
  {
    LockGuard lock(engine.mutex);
    std::erase_if(engine.managers, [this](const LocationEngine::ManagerEntry& e) { return e.manager == this; });
  }
  engine.reconcile();
}

void LocationManager::setDelegate(const std::shared_ptr<LocationManagerDelegate>& delegate) {
  LockGuard lock(LocationEngine::get().mutex);
  state_->delegate = delegate;
}

std::shared_ptr<LocationManagerDelegate> LocationManager::delegate() const {
  LockGuard lock(LocationEngine::get().mutex);
  return state_->delegate.lock();
}

void LocationManager::requestWhenInUseAuthorization() {
  LocationEngine::get().currentProvider()->authorizationRequested(false);
}

void LocationManager::requestAlwaysAuthorization() {
  LocationEngine::get().currentProvider()->authorizationRequested(true);
}

AuthorizationStatus LocationManager::authorizationStatus() const { return LocationServices::authorizationStatus(); }

#define PELK_LOCATION_PROPERTY(Type, getter, setter, field) \
  Type LocationManager::getter() const {                    \
    LockGuard lock(LocationEngine::get().mutex);            \
    return state_->field;                                   \
  }                                                         \
  void LocationManager::setter(Type value) {                \
    LockGuard lock(LocationEngine::get().mutex);            \
    state_->field = value;                                  \
  }

PELK_LOCATION_PROPERTY(double, desiredAccuracy, setDesiredAccuracy, desiredAccuracy)
PELK_LOCATION_PROPERTY(double, distanceFilter, setDistanceFilter, distanceFilter)
PELK_LOCATION_PROPERTY(ActivityType, activityType, setActivityType, activityType)
PELK_LOCATION_PROPERTY(bool, allowsBackgroundLocationUpdates, setAllowsBackgroundLocationUpdates, allowsBackground)
PELK_LOCATION_PROPERTY(bool, pausesLocationUpdatesAutomatically, setPausesLocationUpdatesAutomatically,
                       pausesAutomatically)
PELK_LOCATION_PROPERTY(bool, showsBackgroundLocationIndicator, setShowsBackgroundLocationIndicator, showsIndicator)
#undef PELK_LOCATION_PROPERTY

void LocationManager::startUpdatingLocation() {
  {
    LockGuard lock(LocationEngine::get().mutex);
    state_->lastDelivered.reset();  // a new run starts afresh with the next fix
  }
  LocationEngine::startUse(*state_, &State::updating, state_->self, true);
}
void LocationManager::stopUpdatingLocation() { LocationEngine::stopUse(*state_, &State::updating); }
bool LocationManager::isUpdatingLocation() const { return LocationEngine::readUse(*state_, &State::updating); }

void LocationManager::startMonitoringVisits() {
  LocationEngine::startUse(*state_, &State::visits, state_->self, false);
}
void LocationManager::stopMonitoringVisits() { LocationEngine::stopUse(*state_, &State::visits); }
bool LocationManager::isMonitoringVisits() const { return LocationEngine::readUse(*state_, &State::visits); }

void LocationManager::startMonitoringSignificantLocationChanges() {
  {
    LockGuard lock(LocationEngine::get().mutex);
    state_->lastSignificant.reset();
  }
  LocationEngine::startUse(*state_, &State::significant, state_->self, true);
}
void LocationManager::stopMonitoringSignificantLocationChanges() {
  LocationEngine::stopUse(*state_, &State::significant);
}
bool LocationManager::isMonitoringSignificantLocationChanges() const {
  return LocationEngine::readUse(*state_, &State::significant);
}

void LocationManager::requestLocation() {
  auto& engine = LocationEngine::get();
  std::uint64_t generation;
  Duration timeout;
  bool refused;
  {
    LockGuard lock(engine.mutex);
    refused = !engine.enabled || engine.status == AuthorizationStatus::denied ||
              engine.status == AuthorizationStatus::restricted;
    generation = ++state_->requestGeneration;
    state_->requestPending = !refused;
    timeout = engine.oneShotTimeout;
  }
  std::weak_ptr<LocationManager> self = state_->self;
  if (refused) {
    LocationEngine::post({{self, LocationEngine::failure(LocationEngine::deniedError())}});
    return;
  }
  engine.reconcile();
  Dispatch::main().asyncAfter(timeout, [self, generation] {
    auto manager = self.lock();
    if (!manager) return;
    auto& eng = LocationEngine::get();
    {
      LockGuard lock(eng.mutex);
      auto& st = *manager->state_;
      if (!st.requestPending || st.requestGeneration != generation) return;
      st.requestPending = false;
    }
    LocationEngine::run(
        {{self, LocationEngine::failure({LocationErrorCode::locationUnknown, "No position could be had in time"})}});
    eng.reconcile();
  });
}

bool LocationManager::isRequestingLocation() const { return LocationEngine::readUse(*state_, &State::requestPending); }

void LocationManager::startMonitoring(const CircularRegion& region) {
  auto& engine = LocationEngine::get();
  const bool valid = std::isfinite(region.center.latitude) && std::isfinite(region.center.longitude) &&
                     std::abs(region.center.latitude) <= 90.0 && std::abs(region.center.longitude) <= 180.0 &&
                     std::isfinite(region.radius) && region.radius > 0.0 && !region.identifier.empty();
  if (!valid) {
    LocationEngine::post({{state_->self, [region](LocationManager& m, LocationManagerDelegate& d) {
                             d.monitoringDidFail(m, region,
                                                 {LocationErrorCode::regionMonitoringFailure,
                                                  "Region needs an identifier, a valid centre "
                                                  "and a positive radius"});
                           }}});
    return;
  }
  {
    LockGuard lock(engine.mutex);
    LocationEngine::RegionEntry entry{region, state_->self, std::nullopt, ++engine.placements};
    if (engine.last && engine.grantedLocked()) entry.inside = region.contains(engine.last->coordinate);
    auto it = std::find_if(engine.regions.begin(), engine.regions.end(), [&](const LocationEngine::RegionEntry& r) {
      return r.region.identifier == region.identifier;
    });
    if (it != engine.regions.end()) {
      *it = std::move(entry);
    } else {
      engine.regions.push_back(std::move(entry));
    }
  }
  engine.reconcile();
}

void LocationManager::stopMonitoring(const CircularRegion& region) { stopMonitoring(region.identifier); }

void LocationManager::stopMonitoring(const std::string& identifier) {
  auto& engine = LocationEngine::get();
  {
    LockGuard lock(engine.mutex);
    std::erase_if(engine.regions,
                  [&](const LocationEngine::RegionEntry& r) { return r.region.identifier == identifier; });
  }
  engine.reconcile();
}

std::vector<CircularRegion> LocationManager::monitoredRegions() const { return LocationServices::monitoredRegions(); }

std::optional<Location> LocationManager::location() const { return LocationServices::lastLocation(); }

// --- LocationServices
// ----------------------------------------------------------

bool LocationServices::locationServicesEnabled() {
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  return engine.enabled;
}

bool LocationServices::serviceAvailable() {
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  return engine.available;
}

AuthorizationStatus LocationServices::authorizationStatus() {
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  return engine.status;
}

std::optional<Location> LocationServices::lastLocation() {
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  if (!engine.grantedLocked()) return std::nullopt;
  return engine.last;
}

std::vector<CircularRegion> LocationServices::monitoredRegions() {
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  std::vector<CircularRegion> out;
  out.reserve(engine.regions.size());
  for (const auto& r : engine.regions) out.push_back(r.region);
  return out;
}

void LocationServices::setAuthorizationStatus(AuthorizationStatus status) {
  ensureExitGuard();
  LocationEngine::get().setStatus(status);
}

AuthorizationStatus LocationServices::decideAuthorizationStatus(AuthorizationStatus answer) {
  ensureExitGuard();
  return LocationEngine::get().changeStatus(answer, true);
}

void LocationServices::setLocationServicesEnabled(bool enabled) {
  ensureExitGuard();
  LocationEngine::get().setEnabled(enabled);
}

SimulatedLocationProvider& LocationServices::useSimulatedProvider() {
  ensureExitGuard();
  auto simulated = std::make_shared<SimulatedLocationProvider>();
  auto& ref = *simulated;
  LocationEngine::get().replaceProvider(std::move(simulated), true);
  return ref;
}

GpsdConfig GpsdConfig::fromEnvironment() {
  GpsdConfig config;
  if (const char* host = std::getenv("PELK_GPSD_HOST"); host && *host) config.host = host;
  if (const char* port = std::getenv("PELK_GPSD_PORT"); port && *port) {
    const std::string text = port;
    const bool digits =
        text.size() <= 5 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
    const long value = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
    if (value >= 1 && value <= 65535) {
      config.port = std::to_string(value);
    } else {
      std::fprintf(stderr, "pelk: PELK_GPSD_PORT is not a port number; gpsd's default port is used\n");
    }
  }
  return config;
}

std::optional<GpsdConfig> GpsdConfig::withAddress(const std::string& host, std::int64_t port) {
  // A name or an address; what could not be one (or could smuggle a second
  // line into a log) is refused rather than handed to the resolver.
  const bool hostUsable = !host.empty() && host.size() <= 253 &&
                          std::none_of(host.begin(), host.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
  if (!hostUsable || port < 1 || port > 65535) return std::nullopt;
  GpsdConfig config;
  config.host = host;
  config.port = std::to_string(port);
  return config;
}

void LocationServices::useGpsdProvider(GpsdConfig config) {
  ensureExitGuard();
  LocationEngine::get().replaceProvider(std::make_shared<GpsdLocationProvider>(std::move(config)), false);
}

void LocationServices::useProvider(std::shared_ptr<LocationProvider> provider) {
  ensureExitGuard();
  LocationEngine::get().replaceProvider(std::move(provider), false);
}

void LocationServices::setOneShotTimeout(Duration timeout) {
  auto& engine = LocationEngine::get();
  LockGuard lock(engine.mutex);
  engine.oneShotTimeout = timeout;
}

void LocationServices::reportFixes(std::vector<Location> fixes) {
  // The moment of receipt, on the clock that does not jump, by which the
  // tracking engine judges how old a fix is.
  const auto received = Clock::steadyNow();
  for (auto& fix : fixes) {
    if (!fix.receivedAt) fix.receivedAt = received;
  }
  Dispatch::main().async([fixes = std::move(fixes)]() mutable { LocationEngine::get().handleFixes(std::move(fixes)); });
}

void LocationServices::reportFailure(LocationError error) {
  Dispatch::main().async([error = std::move(error)] { LocationEngine::get().handleFailure(error); });
}

void LocationServices::reportVisit(Visit visit) {
  Dispatch::main().async([visit] { LocationEngine::get().handleVisit(visit); });
}

void LocationServices::reportRegionCrossing(std::string identifier, bool entered) {
  Dispatch::main().async(
      [identifier = std::move(identifier), entered] { LocationEngine::get().handleCrossing(identifier, entered); });
}

void LocationServices::reportServiceAvailability(bool available, std::string reason) {
  Dispatch::main().async(
      [available, reason = std::move(reason)] { LocationEngine::get().handleAvailability(available, reason); });
}

bool LocationServices::isUsableFix(const Location& fix) {
  const auto& c = fix.coordinate;
  return std::isfinite(c.latitude) && std::isfinite(c.longitude) && std::abs(c.latitude) <= 90.0 &&
         std::abs(c.longitude) <= 180.0 && std::isfinite(fix.horizontalAccuracy) && fix.horizontalAccuracy >= 0.0;
}

// --- SimulatedLocationProvider
// ------------------------------------------------

void SimulatedLocationProvider::start() {
  running_ = true;
  ++starts_;
}

void SimulatedLocationProvider::stop() { running_ = false; }

void SimulatedLocationProvider::authorizationRequested(bool always) {
  platform::LockGuard lock(mutex_);
  requests_.push_back(always);
}

std::vector<bool> SimulatedLocationProvider::authorizationRequests() const {
  platform::LockGuard lock(mutex_);
  return requests_;
}

void SimulatedLocationProvider::setAuthorization(AuthorizationStatus status) {
  LocationServices::setAuthorizationStatus(status);
}

void SimulatedLocationProvider::setServicesEnabled(bool enabled) {
  LocationServices::setLocationServicesEnabled(enabled);
}

void SimulatedLocationProvider::deliverFix(const Location& fix) { LocationServices::reportFixes({fix}); }

void SimulatedLocationProvider::deliverFixes(const std::vector<Location>& fixes) {
  LocationServices::reportFixes(fixes);
}

void SimulatedLocationProvider::deliverFailure(const LocationError& error) { LocationServices::reportFailure(error); }

void SimulatedLocationProvider::deliverVisit(const Visit& visit) { LocationServices::reportVisit(visit); }

void SimulatedLocationProvider::deliverRegionCrossing(const std::string& identifier, bool entered) {
  LocationServices::reportRegionCrossing(identifier, entered);
}

void SimulatedLocationProvider::deliverAvailability(bool available, const std::string& reason) {
  LocationServices::reportServiceAvailability(available, reason);
}

}  // namespace pelk::platform
