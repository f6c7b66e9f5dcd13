#include "pelk/Pelk.h"

#include "manager/PelkLocationDelegate.h"
#include <mutex>

#include "manager/PelkManager.h"
#include "platform/Console.h"

namespace pelk {

namespace {
// Lock order: a leaf (platform/LockOrder.h).
std::mutex& delegateMutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::shared_ptr<PelkDelegate>& storedDelegate() {
  static auto* d = new std::shared_ptr<PelkDelegate>();
  return *d;
}
PelkManager& manager() { return PelkManager::sharedInstance(); }
}  // namespace

void Pelk::initialize(const std::string& publishKey, const std::optional<std::string>& baseUrl,
                      const std::optional<std::string>& mqttEndpoint) {
  manager().intialize(publishKey, baseUrl, mqttEndpoint);
}
void Pelk::setLoggerEnabled(bool logger) { manager().setLoggerEnabled(logger); }

std::shared_ptr<PelkDelegate> Pelk::delegate() {
  std::lock_guard lock(delegateMutex());
  return storedDelegate();
}
void Pelk::setDelegate(std::shared_ptr<PelkDelegate> delegate) {
  {
    std::lock_guard lock(delegateMutex());
    storedDelegate() = delegate;
  }
  PelkLocationDelegate::sharedInstance().setDelegate(std::move(delegate));
}

void Pelk::createUser(const std::string& description, UserHandler handler) {
  manager().createUser(description, std::move(handler));
}
void Pelk::getUser(const std::string& userId, UserHandler handler) { manager().getUser(userId, std::move(handler)); }
void Pelk::setDescription(const std::string& description) { manager().setDescription(description); }
void Pelk::logoutUser(TextHandler handler) { manager().logoutUser(std::move(handler)); }
void Pelk::setDeviceToken(const std::vector<std::uint8_t>& deviceToken) { manager().setDeviceToken(deviceToken); }

void Pelk::startTracking(PelkTrackingMode mode, const std::optional<PelkTrackingCustomMethods>& options) {
  manager().startTracking(mode, options);
}
void Pelk::stopTracking() { manager().stopTracking(); }
void Pelk::startSelfTracking(PelkTrackingMode mode, const std::optional<PelkTrackingCustomMethods>& options) {
  manager().startSelfTracking(mode, options);
}
void Pelk::stopSelfTracking() { manager().stopSelfTracking(); }
void Pelk::requestLocation() { manager().requestLocation(); }
void Pelk::getCurrentLocation(std::int64_t accuracy, LocationHandler handler) {
  manager().getCurrentLocation(accuracy, std::move(handler));
}
void Pelk::updateCurrentLocation(std::int64_t accuracy) { manager().updateCurrentLocation(accuracy); }
bool Pelk::isLocationEnabled() { return manager().isLocationEnabled(); }
bool Pelk::isLocationTracking() { return manager().isLocationTracking(); }
void Pelk::setTrackingInAppState(PelkTrackingState state) { manager().setTrackingInAppState(state); }
void Pelk::offlineLocationTracking(bool enabled) { manager().offlineLocationTracking(enabled); }
void Pelk::enableAccuracyEngine() { manager().enableAccuracyFilter(); }
void Pelk::disableAccuracyEngine() { manager().disableAccuracyFilter(); }
void Pelk::enableAccuracyEngine(std::int64_t accuracy) { manager().enableAccuracyEngine(accuracy); }
bool Pelk::setGpsdAddress(const std::string& host, std::int64_t port) { return manager().setGpsdAddress(host, port); }

// ---- events, listeners and subscriptions
void Pelk::toggleEvents(bool Geofence, bool Trip, bool Location, bool MovingGeofence, UserHandler handler) {
  manager().toggleEvents(Geofence, Trip, Location, MovingGeofence, std::move(handler));
}
void Pelk::toggleListener(bool Events, bool Locations, UserHandler handler) {
  manager().toggleListener(Events, Locations, std::move(handler));
}
void Pelk::getEventsStatus(UserHandler handler) { manager().getEventsStatus(std::move(handler)); }
void Pelk::getListenerStatus(UserHandler handler) { manager().getEventsStatus(std::move(handler)); }
void Pelk::subscribe(PelkSubscribe kind, const std::string& userId) { manager().subscribe(kind, userId); }
void Pelk::unsubscribe(PelkSubscribe kind, const std::string& userId) { manager().unsubscribe(kind, userId); }
void Pelk::publishSave(const std::optional<PelkPublish>& publish) {
  manager().publishSave(publish ? &*publish : nullptr);
}
void Pelk::publishOnly(const std::optional<PelkPublish>& publish) {
  manager().publishOnly(publish ? &*publish : nullptr);
}
void Pelk::stopPublishing() { manager().stopPublishing(); }
void Pelk::notificationOpenedHandler(const PelkOpenedNotification& notification) {
  manager().notificationOpenedHandler(notification);
}
std::int64_t Pelk::locationPermissionStatus() { return manager().locationPermissionStatus(); }
bool Pelk::setLocationPermissionStatus(std::int64_t status) { return manager().setLocationPermissionStatus(status); }

// ---- the host app's lifecycle
void Pelk::reportForeground() { manager().reportForeground(); }
void Pelk::reportBackground() { manager().reportBackground(); }
void Pelk::reportTerminate() { manager().reportTerminate(); }

// ---- trips
void Pelk::createTrip(bool offline, const std::optional<nlohmann::json>& coordinates, CreateTripHandler handler) {
  manager().createTrip(coordinates, offline, std::move(handler));
}
void Pelk::startTrip(const std::string& tripId, const std::optional<std::string>& description, TextHandler handler) {
  manager().startTrip(tripId, description, std::move(handler));
}
void Pelk::stopTrip(const std::string& tripId, TextHandler handler) { manager().stopTrip(tripId, std::move(handler)); }
void Pelk::pauseTrip(const std::string& tripId, TextHandler handler) { manager().pauseTrip(tripId, std::move(handler)); }
void Pelk::resumeTrip(const std::string& tripId, TextHandler handler) {
  manager().resumeTrip(tripId, std::move(handler));
}
void Pelk::forceEndTrip(const std::string& tripId, TextHandler handler) {
  manager().forceEndTrip(tripId, std::move(handler));
}
void Pelk::deleteTrip(const std::string& tripId, TextHandler handler) {
  manager().deleteTrip(tripId, std::move(handler));
}
void Pelk::syncTrip(const std::string& tripId, TextHandler handler) { manager().syncTrip(tripId, std::move(handler)); }
void Pelk::activeTrips(bool offline, TripsHandler handler) { manager().activeTrips(offline, std::move(handler)); }
void Pelk::getTripDetails(const std::string& tripId, TripDetailsHandler handler) {
  manager().getTrips(tripId, std::move(handler));
}
void Pelk::getTripSummary(const std::string& tripId, TripSummaryHandler handler) {
  manager().tripSummary(tripId, std::move(handler));
}
void Pelk::getTripStatus(const std::string& tripId, TripStatusHandler handler) {
  manager().tripListener(tripId, std::move(handler));
}
void Pelk::isTripSynced(const std::string& tripId, SyncedHandler handler) {
  manager().istripSynced(tripId, std::move(handler));
}
void Pelk::subscribeTripStatus(const std::string& tripId) { manager().subscribeTripStatus(tripId); }
void Pelk::unsubscribeTripStatus(const std::string& tripId) { manager().unsubscribeTripStatus(tripId); }

// The public levels are the console's own, number for number (the C API hands
// the numbers over as they are).
static_assert(static_cast<int>(platform::Console::Level::Debug) == static_cast<int>(Pelk::ConsoleLevel::debug) &&
              static_cast<int>(platform::Console::Level::Info) == static_cast<int>(Pelk::ConsoleLevel::info) &&
              static_cast<int>(platform::Console::Level::Warning) == static_cast<int>(Pelk::ConsoleLevel::warning) &&
              static_cast<int>(platform::Console::Level::Error) == static_cast<int>(Pelk::ConsoleLevel::error));

void Pelk::setConsoleHandler(ConsoleHandler handler) {
  if (!handler) {
    platform::Console::silence();
    return;
  }
  platform::Console::setHandler(
      [handler = std::move(handler)](platform::Console::Level level, const std::string& line) {
        handler(static_cast<ConsoleLevel>(static_cast<int>(level)), line);
      });
}
void Pelk::useStdoutConsole() { platform::Console::useStdout(); }

}  // namespace pelk
