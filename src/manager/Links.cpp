#include "manager/Links.h"

#include <atomic>

#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "manager/PelkLocationDelegate.h"
#include "manager/PelkManager.h"
#include "messaging/MQTTManager.h"
#include "messaging/MessagingLinks.h"
#include "network/NetworkLinks.h"
#include "network/TripRecording.h"
#include "platform/Application.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkTripStorageManager.h"
#include "tracking/LocationCounters.h"
#include "tracking/LocationDataManager.h"
#include "tracking/TrackingLinks.h"

namespace pelk {
namespace {

// Set once every link is installed; a caller that finds it unset installs
// them itself (two first callers at once both set the same functions), so no
// caller goes on before the links are in place.
std::atomic<bool> gLinked{false};

// The lambdas below reach the manager only when called: installLinks runs from
// inside the manager's first use.
PelkManager& manager() { return PelkManager::sharedInstance(); }
PelkLocationDelegate& dispatcher() { return PelkLocationDelegate::sharedInstance(); }

std::string appStateText() {
  switch (platform::Application::state()) {
    case platform::ApplicationState::background:
      return "background";
    case platform::ApplicationState::inactive:
      return "inactive";
    default:
      return "active";
  }
}

}  // namespace

// The installers of each layer's links.  A friend of the manager: the links
// reach its private reactions (stops by cause, the app-state pause).
class LinkInstaller {
 public:
  static void installDeviceLinks();
  static void installNetworkLinks();
  static void installTripRecordingLinks();
  static void installTripStoreLinks();
  static void installMessagingLinks();
  static void installTrackingLinks();
};

// Readings of the tracking layer and the manager that the device layer reports.
void LinkInstaller::installDeviceLinks() {
  tracking::giveDeviceReadings();
  device::links::applicationState.set(appStateText);
  // The logout's reset empties the local store.
  device::links::clearLocalDatabase.set([] { PelkCoreDataStack().clearCoreDataStore(); });
}

void LinkInstaller::installNetworkLinks() {
  network::links::startTracking.set([] { manager().startTracking(); });
  network::links::stopTracking.set([] { manager().stopTrackingBecause(PelkManager::StopCause::kit); });
  network::links::mqttConnect.set([] { MQTTManager::sharedInstance().connect(); });
  network::links::mqttDisconnect.set([] { MQTTManager::sharedInstance().disconnect(); });
  network::links::didFail.set([](const PelkError& error) { dispatcher().didFail(error); });
}

// The REST client's successful trip actions advance the shared trip store.
void LinkInstaller::installTripRecordingLinks() {
  triprecording::links::start.set([](const platform::Location& location, const std::string& startedAt,
                                     const std::optional<std::string>& locationId, const std::string& tripId) {
    PelkTripStorageManager::shared().saveTripData(location, 0, startedAt, 0, locationId, kTripOngoing, tripId);
  });
  triprecording::links::updateStatus.set(
      [](const std::string& tripId, const std::string& status, const platform::Location& location) {
        if (status == kTripEnd) {
          PelkTripStorageManager::shared().endServerTrip(tripId, location);
        } else {
          PelkTripStorageManager::shared().updateStatusOfTrip(tripId, status, location);
        }
      });
  triprecording::links::mark.set([] { return PelkTripStorageManager::shared().progressMark(); });
  triprecording::links::activeTrips.set([](const std::vector<std::shared_ptr<PelkTrip>>& active, std::uint64_t mark) {
    PelkTripStorageManager::shared().keepServerTrips(active, mark);
  });
}

// tripstore::links::updateLocation stays unset: the sink below hands every
// position to the app already, and a second call would deliver a trip's
// start or resume position twice.  syncTrip keeps its fallback, the REST client.
void LinkInstaller::installTripStoreLinks() {
  tripstore::links::sendDataServer.set(
      [](const platform::Location& fix, const std::string& activity, const std::optional<std::string>& locationId) {
        // An absent id reaches the sink as an empty one, which takes a new id.
        LocationDataManager::sharedInstance().sendDataServer(
            {.fix = fix, .activity = activity, .locationId = locationId.value_or("")});
      });
  tripstore::links::didReceiveTripStatus.set([](const PelkTripStatusListener& status) {
    auto app = dispatcher().delegate();
    if (!app) return;
    // The trip store goes on with its own work whatever the app's code does.
    try {
      app->didReceiveTripStatus(status);
    } catch (...) {
      platform::Console::print("delegate didReceiveTripStatus threw", platform::Console::Level::Error);
    }
  });
}

void LinkInstaller::installMessagingLinks() {
  messaging::links::didReceiveEvents.set([](const nlohmann::json& m) { dispatcher().didReceiveEvents(m); });
  messaging::links::didReceiveUserLocation.set([](const nlohmann::json& m) { dispatcher().didReceiveUserLocation(m); });
  // The account's shadow switched tracking off: not a stop a network change may undo.
  messaging::links::stopTracking.set([] { manager().stopTrackingBecause(PelkManager::StopCause::external); });
  // The shadow allows tracking again after its own stop: the app's tracking resumes as it was.
  messaging::links::startTrackingMode.set([](PelkTrackingModeLocal mode) { manager().resumeModeAfterShadow(mode); });
  // The shadow asks for the subscriptions back.  Its request is done once
  // the subscription is in place, or when the user's listener switch says
  // there is to be none (nothing to do); it waits only for what could not
  // be made now (offline).
  messaging::links::subscribeEvents.set([] {
    manager().subscribeEvents();
    return SharedUtil::getDefaultBoolean(kEventListenerSubscribe) || !TokenManager::getEventListener();
  });
  messaging::links::unsubscribeEvents.set([] { manager().unsubscribeEvents(); });
  messaging::links::subscribeLocation.set([] {
    manager().subscribeLocation();
    return SharedUtil::getDefaultBoolean(kLocationListenerSubscribe) || !TokenManager::getLocationListener();
  });
  messaging::links::unsubscribeLocation.set([] { manager().unsubscribeLocation(); });
}

void LinkInstaller::installTrackingLinks() {
  tracking::links::updateLocation.set(
      [](const platform::Location& fix, const std::string& activity) { dispatcher().updateLocation(fix, activity); });
  tracking::links::didFail.set([](const PelkError& error) { dispatcher().didFail(error); });
  // The engine stops tracking on its own policy (no network, offline tracking off).
  tracking::links::stopTracking.set([] { manager().stopTrackingBecause(PelkManager::StopCause::kit); });
  tracking::links::checkAppTrackingState.set([] { return PelkTrackingStateData::checkAppTrackingState(); });
  // Queued: a lifecycle report queued before it may bring the app back into
  // a state that allows tracking; the pause then has nothing to do.
  tracking::links::pauseTracking.set([] {
    platform::Dispatch::main().async([] {
      if (!PelkTrackingStateData::checkAppTrackingState()) manager().pauseForAppState();
    });
  });
  // The loss of the location service reaches the app as an error (didFail).
  PelkLocationGpsData::watchServiceAvailability();
}

void installLinks() {
  LinkInstaller::installDeviceLinks();
  LinkInstaller::installNetworkLinks();
  LinkInstaller::installTripRecordingLinks();
  LinkInstaller::installTripStoreLinks();
  LinkInstaller::installMessagingLinks();
  LinkInstaller::installTrackingLinks();
}

void linkKit() {
  if (gLinked.load(std::memory_order_acquire)) return;
  installLinks();
  gLinked.store(true, std::memory_order_release);
}

void resetLinksForTesting() {
  gLinked.store(false, std::memory_order_release);
  platform::resetAllLinks();
}

}  // namespace pelk
