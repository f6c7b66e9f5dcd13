#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "network/PelkAPIClient.h"
#include "network/Reachability.h"
#include "pelk/PelkEnums.h"
#include "pelk/PelkNotification.h"
#include "pelk/PelkPublish.h"
#include "pelk/PelkTrackingCustomMethods.h"
#include "pelk/PelkTripListener.h"
#include "platform/Location.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadSafety.h"

namespace pelk {

// How the manager starts and stops the tracking modes of the tracking layer.
// Both are called on the main queue.  Empty members do nothing.
struct TrackingModes {
  std::function<void(PelkTrackingModeLocal mode)> start;
  std::function<void(PelkTrackingModeLocal mode)> stop;
  // Whether the mode has an engine; a start of one without is refused.
  // Unset: every mode.
  std::function<bool(PelkTrackingModeLocal mode)> available;
  // The custom mode started by the app with the option set it gave (a restart
  // goes through `start`, which reads the stored set).  Unset: `start`.
  std::function<void(const PelkTrackingCustomMethods& options)> startCustom;
};

// Printed when the app starts a mode this build cannot run.
inline constexpr const char* kTrackingModeNotAvailable = "Tracking mode not available";

// The kit's tracking modes as the tracking layer provides them.
TrackingModes defaultTrackingModes();

// Carries out every public operation of the kit.
class PelkManager {
 public:
  static PelkManager& sharedInstance();

  PelkManager();
  virtual ~PelkManager();
  PelkManager(const PelkManager&) = delete;
  PelkManager& operator=(const PelkManager&) = delete;

  // ---- start-up
  // False when the start-up was refused (an empty key, or a base URL and MQTT
  // endpoint the kit cannot use): nothing is stored then, and a start-up that
  // ran earlier in the process stays in force.
  virtual bool intialize(const std::string& key, const std::optional<std::string>& baseUrl = std::nullopt,
                         const std::optional<std::string>& endpoint = std::nullopt);
  // The base URL as it is stored ("https://" before one without a scheme), or
  // nothing when the kit cannot send requests to it.
  static std::optional<std::string> usableBaseUrl(const std::string& text);
  virtual void initializeUserDefaults();
  // A choice made after start-up (by the app, or by the account's shadow) of
  // one of the switches start-up writes defaults to: location listener,
  // location publisher, offline tracking.  A start-up whose token is granted
  // later leaves a switch chosen meanwhile as it was chosen.
  enum class AppSwitch { locationListener, locationPublisher, offlineTracking };
  void noteAppChoice(AppSwitch which);
  virtual void mqtt(const std::string& endpoint);
  virtual void setLoggerEnabled(bool logger);

  // ---- network and lifecycle reactions
  virtual void registerForNetworkChange();
  virtual void registerForInternalAppNotifications();
  virtual void reachabilityChanged(Reachability& monitor);
  virtual void updateTrackingAsPerOfflineSettings();
  virtual void checkSync();
  // Sends what waited for the network: the kept GPS-status record, then the
  // buffered REST positions (uploaded on the background queue; only rows the
  // server accepted are deleted).
  virtual void sendLocalDataToServer();
  virtual void applicationDidEnterBackground();
  virtual void applicationWillForeground();
  virtual void applicationWillTerminate();

  // ---- users
  virtual void createUser(const std::string& description, PelkAPIClient::UserCompletion handler = nullptr);
  virtual void getUser(const std::string& userId, PelkAPIClient::UserCompletion handler = nullptr);
  virtual void setDescription(const std::string& description);
  virtual void logoutUser(PelkAPIClient::TextCompletion handler = nullptr);
  virtual void setDeviceToken(const std::vector<std::uint8_t>& token);

  // ---- tracking
  // The custom mode needs an option set; without one the start is refused.
  virtual void startTracking(PelkTrackingMode mode,
                             const std::optional<PelkTrackingCustomMethods>& option = std::nullopt);
  virtual void stopTracking();
  // Restart of the stored mode after a stop the kit itself caused.
  virtual void startTracking();
  virtual void startSelfTracking(PelkTrackingMode mode,
                                 const std::optional<PelkTrackingCustomMethods>& options = std::nullopt);
  virtual void stopSelfTracking();
  virtual void locationPublisher(bool flag);
  virtual void offlineLocationTracking(bool flag);
  virtual void setTrackingInAppState(PelkTrackingState state);
  virtual void enableAccuracyFilter();
  virtual void disableAccuracyFilter();
  virtual void enableAccuracyEngine(std::int64_t accuracy);
  virtual void requestLocation();
  virtual void getCurrentLocation(
      std::int64_t accuracy, std::function<void(std::optional<platform::Location>, std::optional<PelkError>)> handler);
  virtual void updateCurrentLocation(std::int64_t accuracy);
  virtual bool isLocationEnabled();
  virtual bool isLocationTracking();
  // Chooses gpsd at host:port as the location source; false for an address
  // that cannot be one (nothing changes then).
  virtual bool setGpsdAddress(const std::string& host, std::int64_t port);
  // A Linux host has no motion prompt: nothing to ask; the state is the one
  // the host declared to the permission check.
  virtual void requestMotion();
  virtual bool isMotionEnabled();

  // ---- trips
  // A trip id the local trip store knows is a local (offline) trip; every
  // other id is a server trip.  Every failed precondition reaches only the
  // handler, as a PelkError with no result.
  using TripTextHandler = PelkAPIClient::TextCompletion;
  virtual void createTrip(const std::optional<nlohmann::json>& coordinate, bool offline,
                          PelkAPIClient::CreateTripCompletion handler = nullptr);
  virtual void startTrip(const std::string& tripId, const std::optional<std::string>& description = std::nullopt,
                         TripTextHandler handler = nullptr);
  virtual void stopTrip(const std::string& tripId, TripTextHandler handler = nullptr);
  virtual void pauseTrip(const std::string& tripId, TripTextHandler handler = nullptr);
  virtual void resumeTrip(const std::string& tripId, TripTextHandler handler = nullptr);
  virtual void forceEndTrip(const std::string& tripId, TripTextHandler handler = nullptr);
  virtual void deleteTrip(const std::string& tripId, TripTextHandler handler = nullptr);
  virtual void syncTrip(const std::string& tripId, TripTextHandler handler = nullptr);
  // The common dispatch of the five actions: one fresh fix, the sink, then the
  // local trip store or the server.
  virtual void trip(Trip action, const std::string& tripId,
                    const std::optional<std::string>& description = std::nullopt, TripTextHandler handler = nullptr);
  virtual void activeTrips(bool offline, PelkAPIClient::ActiveTripsCompletion handler = nullptr);
  virtual void getTrips(const std::string& tripId, PelkAPIClient::GetTripCompletion handler = nullptr);
  virtual void tripSummary(const std::string& tripId, PelkAPIClient::TripSummaryCompletion handler = nullptr);
  virtual void tripListener(
      const std::string& tripId,
      std::function<void(std::optional<PelkTripListener>, std::optional<PelkError>)> handler = nullptr);
  virtual void istripSynced(const std::string& tripId, PelkAPIClient::SyncStatusCompletion handler = nullptr);
  virtual void subscribeTripStatus(const std::string& tripId);
  virtual void unsubscribeTripStatus(const std::string& tripId);
  // How long a trip action waits for its fix before it fails with QB408.
  static constexpr auto kTripFixTimeout = std::chrono::seconds(30);

  // The mode the manager has running at this moment (notselected when none).
  PelkTrackingModeLocal runningMode() const;

  // Tests: the REST client the manager uses, the tracking modes, and a reset of
  // in-memory state (observers and monitor included).
  void setAPIClient(PelkAPIClient* client);
  void setTrackingModes(TrackingModes modes);
  void resetForTesting();
  std::size_t registrationsForTesting() const;

  // ---- events, listeners and subscriptions
  // The server-side switches: each answers once through the handler (when
  // given) with the user the server returns, or the guard's error.
  virtual void toggleEvents(bool geofence, bool trip, bool motion, bool nearBy,
                            PelkAPIClient::UserCompletion handler = nullptr);
  virtual void toggleListener(bool eventsListener, bool locationListener,
                              PelkAPIClient::UserCompletion handler = nullptr);
  virtual void getEventsStatus(PelkAPIClient::UserCompletion handler = nullptr);
  // Subscriptions by kind: the own user id switches the app's own deliveries,
  // another id follows (or stops following) that user's positions.
  virtual void subscribe(PelkSubscribe kind, const std::string& userId);
  virtual void unsubscribe(PelkSubscribe kind, const std::string& userId);
  virtual void subscribeEvents();
  virtual void unsubscribeEvents();
  virtual void subscribeLocation();
  virtual void unsubscribeLocation();
  virtual void subscribeUserLocation(const std::string& userId);
  virtual void unsubscribeUserLocation(const std::string& userId);
  // Publishing styles; the choice of fields is read during the call only.
  virtual void publishSave(const PelkPublish* publish = nullptr);
  virtual void publishOnly(const PelkPublish* publish = nullptr);
  virtual void stopPublishing();
  // An opened push notification: reports the kit's own campaign to the server.
  virtual void notificationOpenedHandler(const PelkOpenedNotification& notification);
  // The location authorization in force (0 not determined, 1 restricted,
  // 2 denied, 3 always, 4 when in use).
  virtual std::int64_t locationPermissionStatus();
  // The host's own answer (1 to 4); false for any other value.
  virtual bool setLocationPermissionStatus(std::int64_t status);

  // ---- the host's lifecycle reports (any thread; the reactions run on the
  // main queue, in the order of the reports)
  virtual void reportForeground();
  virtual void reportBackground();
  // Returns once the reaction has run, unless called on the main queue.
  virtual void reportTerminate();

 private:
  enum class StopCause { app, kit, external };

  PelkAPIClient& api();
  // The SDK-token step of the user operations: runs `then` once a token is
  // stored, or reports the error.
  void withToken(std::function<void()> then, std::function<void(const PelkError&)> fail);
  // A start or stop queued by a write of the tracking switch carries the
  // switch's generation and is skipped when a later write overtook it, so the
  // running mode always ends as the last write says.  Starts and stops that do
  // not write the switch (app-state pauses, restarts) carry none.
  void startMode(PelkTrackingModeLocal mode, const std::optional<PelkTrackingCustomMethods>& options = std::nullopt,
                 std::optional<std::uint64_t> generation = std::nullopt);
  void stopRunningMode(std::optional<std::uint64_t> generation = std::nullopt);
  // What a write of the switch records about who stopped tracking last.
  // `kit` is recorded only when tracking was on (the switch, or a mode
  // running): the kit's stop of tracking that was off already leaves the
  // earlier cause, so an app's own stop stands.
  enum class StopRecord { keep, clear, kit };
  // Writes the switch (when given) and the stop's cause (stored, so that a
  // relaunch knows it) in one transaction, and opens a new generation.
  std::uint64_t setTrackingSwitch(std::optional<bool> on, StopRecord record);
  void stopTrackingBecause(StopCause cause);
  void restartStoredMode();
  // On the main queue: stops the running mode, keeping the tracking switch,
  // until the app is back in a state its tracking is for.
  void pauseForAppState();
  // The lifecycle reaction, on the main queue: pauses tracking the app's new
  // state does not allow; otherwise restarts the stored mode when the app
  // tracks or the kit paused it.
  void followAppState();
  // Once per process, at start-up: tracking the last run left on restarts
  // in the stored mode, as a lifecycle report would restart it.
  void resumeTrackingLeftOn();
  // The shadow allows tracking again after its own stop: the stored mode
  // restarts with the tracking switch on, as the app had it.
  void resumeModeAfterShadow(PelkTrackingModeLocal mode);
  // Installs the manager's ends of the layers' links (manager/Links.cpp).
  friend class LinkInstaller;
  bool permissionGranted() const;
  bool modeAvailable(PelkTrackingModeLocal mode) const;
  // Trips: the fix every action takes (with a timeout).
  friend class PelkTripManager;
  void requestTripFix(std::function<void(const platform::Location&)> onFix, TripTextHandler handler);

  // Lock order: a leaf, taken under initMutex_ and switchMutex_ (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  // Held through the one-time registration of initialize, so that a second
  // caller waits until the observers are in place.
  // Lock order: the first of the kit's locks (platform/LockOrder.h).
  platform::Mutex initMutex_;
  // Orders the writes of the tracking switch with their generations.
  // Lock order: after startMutex_, before the settings and mutex_ (platform/LockOrder.h).
  platform::Mutex switchMutex_;
  // Orders the stored mode and option set of racing starts with their switch writes.
  // Lock order: after initMutex_, before switchMutex_ (platform/LockOrder.h).
  platform::Mutex startMutex_;
  std::uint64_t switchGeneration_ PELK_GUARDED_BY(mutex_) = 0;
  // Changes the app made to each AppSwitch, in enum order.
  std::atomic<std::uint64_t> appChoices_[3] = {0, 0, 0};
  std::shared_ptr<Reachability> reachability_ PELK_GUARDED_BY(mutex_);
  std::vector<platform::NotificationCenter::ObserverId> observers_ PELK_GUARDED_BY(mutex_);
  bool registered_ PELK_GUARDED_BY(mutex_) = false;
  std::size_t registrations_ PELK_GUARDED_BY(mutex_) = 0;
  PelkAPIClient* api_ PELK_GUARDED_BY(mutex_) = nullptr;
  TrackingModes modes_;
  PelkTrackingModeLocal running_ PELK_GUARDED_BY(mutex_) = PelkTrackingModeLocal::notselected;
  // Set while a one-state-only tracking is paused by the app's state.
  bool pausedByAppState_ PELK_GUARDED_BY(mutex_) = false;
  // Set once start-up has looked at the tracking the last run left on.
  bool resumeChecked_ PELK_GUARDED_BY(mutex_) = false;
  // Set by the first start-up of the process that was not refused.
  bool started_ PELK_GUARDED_BY(mutex_) = false;
};

// The server-trip half of the trip actions: switches tracking on in the
// active mode for a start while it is off and off again at a force-end, takes
// the action's fix and hands the action to the REST client.
class PelkTripManager {
 public:
  static PelkTripManager& sharedInstance();
  void tripDetail(Trip action, const std::string& tripId, const std::optional<std::string>& description,
                  PelkAPIClient::TextCompletion handler);
};

// Keeps the app's offline-tracking choice and applies the policy at once.
class PelkSettings {
 public:
  static PelkSettings& sharedInstance();
  void saveofflineTrackingOption(bool flag);

 private:
  std::atomic<bool> offlineTracking_{true};
};

// The tracking-app-state rule: whether positions are taken in the app's present state.
class PelkTrackingStateData {
 public:
  static void saveTrackingState(PelkTrackingState state);
  static PelkTrackingState getTrackingState();
  static bool checkAppTrackingState();
};

}  // namespace pelk
