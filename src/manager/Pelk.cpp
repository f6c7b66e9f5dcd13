#include "pelk/Pelk.h"

#include <filesystem>

#include "manager/AnswerLanes.h"
#include "manager/Links.h"
#include "manager/PelkLocationDelegate.h"
#include "manager/PelkManager.h"
#include "platform/AppInfo.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/ThreadSafety.h"

namespace pelk {

namespace {
PelkManager& manager() { return PelkManager::sharedInstance(); }

// The answers of the user operations, and those of the trip operations, each
// go out one at a time in the order they came (see AnswerLanes.h).
PublicCall userCall() { return PublicCall(AnswerLane::Kind::user); }
PublicCall tripCall() { return PublicCall(AnswerLane::Kind::trips); }
}  // namespace

bool Pelk::initialize(const std::string& publishKey, const std::optional<std::string>& baseUrl,
                      const std::optional<std::string>& mqttEndpoint) {
  return manager().intialize(publishKey, baseUrl, mqttEndpoint);
}
void Pelk::setLoggerEnabled(bool logger) { manager().setLoggerEnabled(logger); }

// One store, the one the kit reports to: what the app reads back is always
// the delegate that hears the kit, also while two threads set it at once.
std::shared_ptr<PelkDelegate> Pelk::delegate() {
  linkKit();
  return PelkLocationDelegate::sharedInstance().delegate();
}
void Pelk::setDelegate(std::shared_ptr<PelkDelegate> delegate) {
  // The delegate may be the app's first touch of the kit: from here on what
  // the layers report reaches it.
  linkKit();
  PelkLocationDelegate::sharedInstance().setDelegate(std::move(delegate));
}

void Pelk::createUser(const std::string& description, UserHandler handler) {
  const auto call = userCall();
  manager().createUser(description, call.handler(std::move(handler)));
}
void Pelk::getUser(const std::string& userId, UserHandler handler) {
  const auto call = userCall();
  manager().getUser(userId, call.handler(std::move(handler)));
}
void Pelk::setDescription(const std::string& description) { manager().setDescription(description); }
void Pelk::logoutUser(TextHandler handler) {
  const auto call = userCall();
  manager().logoutUser(call.handler(std::move(handler)));
}
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
  const auto call = userCall();
  manager().toggleEvents(Geofence, Trip, Location, MovingGeofence, call.handler(std::move(handler)));
}
void Pelk::toggleListener(bool Events, bool Locations, UserHandler handler) {
  const auto call = userCall();
  manager().toggleListener(Events, Locations, call.handler(std::move(handler)));
}
void Pelk::getEventsStatus(UserHandler handler) {
  const auto call = userCall();
  manager().getEventsStatus(call.handler(std::move(handler)));
}
void Pelk::getListenerStatus(UserHandler handler) {
  const auto call = userCall();
  manager().getEventsStatus(call.handler(std::move(handler)));
}
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
  const auto call = tripCall();
  manager().createTrip(coordinates, offline, call.handler(std::move(handler)));
}
void Pelk::startTrip(const std::string& tripId, const std::optional<std::string>& description, TextHandler handler) {
  const auto call = tripCall();
  manager().startTrip(tripId, description, call.handler(std::move(handler)));
}
void Pelk::stopTrip(const std::string& tripId, TextHandler handler) {
  const auto call = tripCall();
  manager().stopTrip(tripId, call.handler(std::move(handler)));
}
void Pelk::pauseTrip(const std::string& tripId, TextHandler handler) {
  const auto call = tripCall();
  manager().pauseTrip(tripId, call.handler(std::move(handler)));
}
void Pelk::resumeTrip(const std::string& tripId, TextHandler handler) {
  const auto call = tripCall();
  manager().resumeTrip(tripId, call.handler(std::move(handler)));
}
void Pelk::forceEndTrip(const std::string& tripId, TextHandler handler) {
  const auto call = tripCall();
  manager().forceEndTrip(tripId, call.handler(std::move(handler)));
}
void Pelk::deleteTrip(const std::string& tripId, TextHandler handler) {
  const auto call = tripCall();
  manager().deleteTrip(tripId, call.handler(std::move(handler)));
}
void Pelk::syncTrip(const std::string& tripId, TextHandler handler) {
  const auto call = tripCall();
  manager().syncTrip(tripId, call.handler(std::move(handler)));
}
void Pelk::activeTrips(bool offline, TripsHandler handler) {
  const auto call = tripCall();
  manager().activeTrips(offline, call.handler(std::move(handler)));
}
void Pelk::getTripDetails(const std::string& tripId, TripDetailsHandler handler) {
  const auto call = tripCall();
  manager().getTrips(tripId, call.handler(std::move(handler)));
}
void Pelk::getTripSummary(const std::string& tripId, TripSummaryHandler handler) {
  const auto call = tripCall();
  manager().tripSummary(tripId, call.handler(std::move(handler)));
}
void Pelk::getTripStatus(const std::string& tripId, TripStatusHandler handler) {
  const auto call = tripCall();
  manager().tripListener(tripId, call.handler(std::move(handler)));
}
void Pelk::isTripSynced(const std::string& tripId, SyncedHandler handler) {
  const auto call = tripCall();
  manager().istripSynced(tripId, call.handler(std::move(handler)));
}
void Pelk::subscribeTripStatus(const std::string& tripId) { manager().subscribeTripStatus(tripId); }
void Pelk::unsubscribeTripStatus(const std::string& tripId) { manager().unsubscribeTripStatus(tripId); }

namespace {
constexpr const char* kSettled =
    "the kit's folders are already in use (name it before initialize and before any other call of the kit)";
void refused(const std::string& what, const std::string& why) {
  platform::Console::print("pelk: " + what + " refused: " + why, platform::Console::Level::Error);
}
}  // namespace

bool Pelk::setAppId(const std::string& appId) {
  if (const auto why = platform::AppInfo::invalidAppId(appId); !why.empty()) {
    refused("app id", why);
    return false;
  }
  if (!platform::Paths::unlessSettled([&] { platform::AppInfo::setBundleId(appId); })) {
    refused("app id " + appId, kSettled);
    return false;
  }
  return true;
}

bool Pelk::setDataDirectory(const std::string& path) {
  std::string why;
  const bool open = platform::Paths::unlessSettled([&] {
    // The folder the kit will use is the one tried and made: a path through
    // ".." makes no folder on the way.
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    why = platform::Paths::unusableDirectory(path.empty() || path.front() != '/' ? path : normal);
    if (!why.empty()) return;
    platform::Paths::setHostDirectory(normal);
  });
  if (!open) why = kSettled;
  if (why.empty()) return true;
  // A path with control characters is not echoed.
  refused(why.starts_with("holds") ? std::string("data directory") : "data directory " + path, why);
  return false;
}

std::string Pelk::dataDirectory() { return platform::Paths::place().dataDirectory; }

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
