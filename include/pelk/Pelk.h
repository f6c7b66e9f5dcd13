#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkCreateTrip.h"
#include "pelk/PelkDelegate.h"
#include "pelk/PelkEnums.h"
#include "pelk/PelkError.h"
#include "pelk/PelkGetTrip.h"
#include "pelk/PelkNotification.h"
#include "pelk/PelkPosition.h"
#include "pelk/PelkPublish.h"
#include "pelk/PelkTrackingCustomMethods.h"
#include "pelk/PelkTrip.h"
#include "pelk/PelkTripListener.h"
#include "pelk/PelkTripSummary.h"
#include "pelk/PelkUser.h"

namespace pelk {

// The one entry point of the kit.  Every operation forwards to the kit's
// manager and runs on the caller's thread; results come back through the
// handler given with the call (it may be empty), or as a console line.  Any
// thread may call; which thread runs a handler or the delegate, and what the
// process's end does to the kit, are under "Threads" and "The end of the
// process" below the class.
// Errors come as a PelkError (code and message); the README's section
// "Errors" lists every code and text, and when each comes.  A key,
// description, user or trip id, or text in trip coordinates that is not UTF-8
// is refused by a call that would send it to the service ("Data not found";
// a call that checks the network first answers "Network error" while there
// is none); a call that only looks for a trip on this device answers as for
// any id it does not hold.
class Pelk {
 public:
  using UserHandler = std::function<void(std::shared_ptr<PelkUser>, std::optional<PelkError>)>;
  using TextHandler = std::function<void(std::optional<std::string>, std::optional<PelkError>)>;
  using LocationHandler = std::function<void(std::optional<Location>, std::optional<PelkError>)>;

  Pelk() = delete;

  // Start-up: the publishable key, and optionally the REST base URL and the
  // MQTT endpoint of the service, e.g. "http://127.0.0.1:8080" and
  // "ws://127.0.0.1:9001/mqtt" for local servers.  Both or neither are taken;
  // an empty one is none, as std::nullopt.
  // The kit speaks MQTT over WebSockets only: "ws://host:port[/path]" or
  // "wss://..." (path "/mqtt" when none), or "host[:port]" or
  // "https://host[:port]" for wss (port 443 when none) at "/mqtt"; "tcp://"
  // and "mqtt://" are refused.  A base URL without a scheme gets "https://";
  // one with another scheme than http or https, or without a host, is refused.
  //
  // Returns false, with a console line at Error level and nothing stored, when
  // the start-up is refused: an empty key, or one that is not UTF-8 ("Data
  // not found"), or a base URL or MQTT endpoint the kit cannot use ("Base URL
  // not usable: ...", "MQTT endpoint not usable: ..."); also in a process
  // whose data directory another live process holds ("... is in use by
  // process N ...", see dataDirectory below).  A start-up that ran earlier in
  // the process stays in force then.  A base URL without an endpoint (or the
  // other way round) is not taken, with an Error line; the start-up goes on
  // with the hosts in force and returns true.  A second start-up prints what
  // it changed ("Quelbrin already initialized: ..."): the hosts are fixed at
  // their first use in a process, so a new base URL is stored for the next
  // process.
  // Whether the SDK token was granted comes later, as a console line
  // ("Quelbrin initialized Success", or "Quelbrin not initialized: ..." at
  // Error level).  Every code and text the kit hands over: README, "Errors".
  static bool initialize(const std::string& publishKey, const std::optional<std::string>& baseUrl = std::nullopt,
                         const std::optional<std::string>& mqttEndpoint = std::nullopt);
  static void setLoggerEnabled(bool logger);

  // The app's delegate; an empty pointer stops every delivery.
  static std::shared_ptr<PelkDelegate> delegate();
  static void setDelegate(std::shared_ptr<PelkDelegate> delegate);

  // User.
  static void createUser(const std::string& description, UserHandler handler = nullptr);
  static void getUser(const std::string& userId, UserHandler handler = nullptr);
  static void setDescription(const std::string& description);
  static void logoutUser(TextHandler handler = nullptr);
  static void setDeviceToken(const std::vector<std::uint8_t>& deviceToken);

  // Tracking.
  // Tracking needs the kit's user (createUser, or getUser with a known id);
  // without one the start is refused ("User not created") and nothing changes.
  // The custom mode needs an option set; without one the start is refused
  // ("Data not found") and nothing changes.
  static void startTracking(PelkTrackingMode mode,
                            const std::optional<PelkTrackingCustomMethods>& options = std::nullopt);
  static void stopTracking();
  // Starts a mode whose positions go to the app's delegate (it switches
  // didUpdateLocation on, as subscribing to the own positions does); the
  // tracking switch is left as it was, so isLocationTracking() does not
  // report it.
  static void startSelfTracking(PelkTrackingMode mode,
                                const std::optional<PelkTrackingCustomMethods>& options = std::nullopt);
  // Stops the mode that runs, whether started as self-tracking or as tracking;
  // isLocationTracking() reads false afterwards.
  static void stopSelfTracking();
  static void requestLocation();
  // One fix within `accuracy` metres (at least 10) for the handler.  When none
  // comes within 15 s the handler gets the most accurate fix seen meanwhile
  // (its horizontalAccuracy says how coarse), or QB408 when there was none.
  static void getCurrentLocation(std::int64_t accuracy, LocationHandler handler = nullptr);
  // One fix within `accuracy` metres (at least 10) sent as a position of this
  // device; after 15 s without one, the most accurate fix seen meanwhile.
  static void updateCurrentLocation(std::int64_t accuracy);
  static bool isLocationEnabled();
  static bool isLocationTracking();
  static void setTrackingInAppState(PelkTrackingState state);
  static void offlineLocationTracking(bool enabled);
  static void enableAccuracyEngine();
  static void disableAccuracyEngine();
  static void enableAccuracyEngine(std::int64_t accuracy);
  // The gpsd daemon positions come from.  Without this call the kit reads
  // PELK_GPSD_HOST and PELK_GPSD_PORT from the environment, else
  // localhost:2947; once called, the call wins over the environment.
  // Positions already being tracked come from the new address at once.
  // Refused (false, nothing changes) for an empty host, one longer than 253
  // characters or holding a blank or a control character, or a port outside
  // 1 to 65535.
  static bool setGpsdAddress(const std::string& host, std::int64_t port);

  // ---- events, listeners and subscriptions
  // The server-side switches of the user; the handler gets the user as the
  // server then holds it.  Location switches the location events, and
  // MovingGeofence the nearby events.
  static void toggleEvents(bool Geofence, bool Trip, bool Location, bool MovingGeofence, UserHandler handler = nullptr);
  static void toggleListener(bool Events, bool Locations, UserHandler handler = nullptr);
  static void getEventsStatus(UserHandler handler = nullptr);
  // The same request as getEventsStatus.
  static void getListenerStatus(UserHandler handler = nullptr);
  // The own user id: the app's own events and positions (location or
  // eventsAndLocation with the own id is what makes tracking positions reach
  // the delegate's didUpdateLocation; refused with "Listener not enabled" when
  // the user's location_listener switch is off on the server); another user's
  // id: that user's positions (events of other users are not offered).
  static void subscribe(PelkSubscribe kind, const std::string& userId);
  static void unsubscribe(PelkSubscribe kind, const std::string& userId);
  // Publishes this device's positions over MQTT with the chosen fields.
  static void publishSave(const std::optional<PelkPublish>& publish = std::nullopt);
  static void publishOnly(const std::optional<PelkPublish>& publish = std::nullopt);
  static void stopPublishing();
  static void notificationOpenedHandler(const PelkOpenedNotification& notification);
  // The location authorization in force: 0 not determined, 1 restricted,
  // 2 denied, 3 always, 4 when in use.  A Linux host has no permission prompt:
  // unless the host states an answer, the kit grants "always" at start-up
  // (initialize) or at the first call that needs a position, whichever comes
  // first.  The answer is kept in the kit's settings and holds in later runs.
  static std::int64_t locationPermissionStatus();
  // The host's own answer (1 restricted, 2 denied, 3 always, 4 when in use),
  // in force at once and kept for later runs; false, changing nothing, for any
  // other value.  Any thread.
  static bool setLocationPermissionStatus(std::int64_t status);

  // ---- the host app's lifecycle
  // Nothing moves a Linux host between foreground and background: the host
  // reports its own changes, from any thread, and the kit reacts on its main
  // queue in the order of the reports (tracking limited to one app state
  // pauses and resumes, the stored mode restarts, positions carry the app's
  // state).  A run starts in the foreground; tracking the last run left on
  // restarts at initialize as a report would restart it.  reportTerminate is
  // taken once per run and returns once the kit has taken it (at once when
  // called from one of the kit's callbacks on its main queue).
  static void reportForeground();
  static void reportBackground();
  static void reportTerminate();

  // ---- trips
  // A trip created offline lives in the kit's local store until it is synced;
  // every other trip is kept by the server.
  using CreateTripHandler = std::function<void(std::shared_ptr<PelkCreateTrip>, std::optional<PelkError>)>;
  using TripsHandler =
      std::function<void(std::optional<std::vector<std::shared_ptr<PelkTrip>>>, std::optional<PelkError>)>;
  using TripDetailsHandler = std::function<void(std::shared_ptr<PelkGetTrip>, std::optional<PelkError>)>;
  using TripSummaryHandler = std::function<void(std::shared_ptr<PelkTripSummary>, std::optional<PelkError>)>;
  using TripStatusHandler = std::function<void(std::optional<PelkTripListener>, std::optional<PelkError>)>;
  using SyncedHandler = std::function<void(bool synced, std::optional<PelkError>)>;

  static void createTrip(bool offline, const std::optional<nlohmann::json>& coordinates = std::nullopt,
                         CreateTripHandler handler = nullptr);
  static void startTrip(const std::string& tripId, const std::optional<std::string>& description = std::nullopt,
                        TextHandler handler = nullptr);
  static void stopTrip(const std::string& tripId, TextHandler handler = nullptr);
  static void pauseTrip(const std::string& tripId, TextHandler handler = nullptr);
  static void resumeTrip(const std::string& tripId, TextHandler handler = nullptr);
  static void forceEndTrip(const std::string& tripId, TextHandler handler = nullptr);
  static void deleteTrip(const std::string& tripId, TextHandler handler = nullptr);
  static void syncTrip(const std::string& tripId, TextHandler handler = nullptr);
  static void activeTrips(bool offline, TripsHandler handler = nullptr);
  static void getTripDetails(const std::string& tripId, TripDetailsHandler handler = nullptr);
  static void getTripSummary(const std::string& tripId, TripSummaryHandler handler = nullptr);
  static void getTripStatus(const std::string& tripId, TripStatusHandler handler = nullptr);
  static void isTripSynced(const std::string& tripId, SyncedHandler handler = nullptr);
  // The one trip whose live status goes to the delegate's didReceiveTripStatus.
  static void subscribeTripStatus(const std::string& tripId);
  static void unsubscribeTripStatus(const std::string& tripId);

  // ---- the kit's identity and folders
  // Both are settled at the kit's first use of its folders: `initialize`, or
  // any earlier call that reads or writes the kit's settings.  Name them
  // before that; later they are refused (false, with an Error console line
  // "... already in use ...") and nothing changes.
  //
  // The app id: the name of the kit's folders and part of this device's
  // identifier, so the same id finds the same user and stores in every run.
  // Without this call, the executable's file name.  1 to 128 letters, digits,
  // '.', '-' and '_', not beginning with '.' nor holding ".."; any other id is
  // refused (false, Error console line).
  static bool setAppId(const std::string& appId);
  // The folder the kit keeps everything in (settings, stores, log), made (mode
  // 0700) when missing: an absolute path that can be made a writable folder;
  // any other is refused (false, Error console line).  Without this call the
  // kit uses the XDG folders of the app id, else $STATE_DIRECTORY/<app id>
  // (systemd's StateDirectory=), else a scratch folder for this run only.
  static bool setDataDirectory(const std::string& path);
  // The data directory this process holds (settling the folders if it had not
  // yet): the named one, else $XDG_DATA_HOME/<app id> or
  // $STATE_DIRECTORY/<app id>.  Empty when the kit has none in this run: no
  // folder could be written (its files go to a scratch folder and are lost at
  // exit), or another live process of the same app id holds it.  One process
  // at a time holds a data directory, from its first use to its exit;
  // `initialize` in a second one is refused with an Error console line ("...
  // is in use by process N ...") and its calls answer as calls before
  // `initialize`, on empty settings of its own.
  static std::string dataDirectory();

  // ---- the console
  // The kit's status lines ("Tracking Started", "User not created", "MQTT
  // endpoint not usable: ...", failures no handler of the app receives) go to
  // stdout by default, one line each, the same texts whatever the
  // destination.  The console is not the kit's log: setLoggerEnabled switches
  // the log (the file Zezovu.log in the app's cache folder and its copy in the
  // kit's settings, off until switched on) and neither silences the console
  // nor sends log entries to it.
  //
  // setConsoleHandler sends every line to the app's handler instead, with its
  // level; an empty handler silences the console; useStdoutConsole goes back
  // to stdout.  The handler:
  //  - runs on one thread of the kit named "pelk-console", one line at a time,
  //    in the order the lines were printed, never on the thread that printed
  //    and never with a lock of the kit held: it may call any function of the
  //    kit, setConsoleHandler included;
  //  - may be slow or block without holding up the kit: up to 1024 lines wait
  //    for it; beyond that newer lines are dropped, and when it catches up it
  //    receives, in their place, one warning "pelk: <n> console lines dropped:
  //    the console handler fell behind";
  //  - once replaced, gets no more lines: those still waiting go to the new
  //    destination (silencing drops them).  Called from any thread but the
  //    handler's own, setConsoleHandler and useStdoutConsole return once the
  //    previous handler has returned from its current line, so whatever it
  //    uses may be released then; don't call them while holding something
  //    your handler waits for.
  // At process exit (return from main, exit()) the lines still waiting are
  // handed to the handler for at most one second, so it may run after main
  // has returned; what is left after that, and any line printed later, is
  // dropped.  A handler whose data ends with main switches back to stdout
  // (or silences) before main returns.
  enum class ConsoleLevel : int { debug = 0, info = 1, warning = 2, error = 3 };
  using ConsoleHandler = std::function<void(ConsoleLevel level, const std::string& line)>;
  static void setConsoleHandler(ConsoleHandler handler);
  static void useStdoutConsole();
};

// ---- Threads
//
// Handlers.  The answers come in two kinds, each with a thread of its own:
//  - user: createUser, getUser, logoutUser, toggleEvents, toggleListener,
//    getEventsStatus, getListenerStatus;
//  - trips: createTrip, startTrip, stopTrip, pauseTrip, resumeTrip,
//    forceEndTrip, deleteTrip, syncTrip, activeTrips, getTripDetails,
//    getTripSummary, getTripStatus, isTripSynced.
// An answer the kit has at once - a refusal (no network, no user, no token
// and no key, an empty id, a local trip in the wrong state) or a reply of the
// local trip store (an offline trip, activeTrips(true), getTripStatus) - runs
// on the caller's thread before the call returns, whatever earlier calls
// still wait for.  Every other answer - a server's reply, a trip action once
// its fix came - runs later on the answer thread of its kind: one at a time,
// in the order the kit got them (two requests in flight together are answered
// in the order their replies arrive).
//
// A handler that blocks holds up only the later answers of its own kind:
// the other kind, REST transfers, tracking, the broker and the delegate go
// on.  A handler may call the kit, any operation: a refusal comes inside it,
// as to any caller, but a later answer of its own kind only after it returns,
// so it must not wait inside for one (that wait never ends).  An exception
// thrown by a handler on an answer thread is caught and printed at the error
// level; on the caller's thread it reaches the caller.
//
// getCurrentLocation is the exception: its answer, unless it is a refusal at
// once, runs on the kit's main queue, the thread that runs tracking.  While
// that handler or the delegate's didUpdateLocation blocks, no position is
// taken, no timer fires and no lifecycle report is acted on.
//
// The delegate (PelkDelegate.h) is called on the thread that met the event:
//  - didUpdateLocation and didReceiveTripStatus: the main queue;
//  - didReceiveEvents and didReceiveUserLocation: the MQTT client's thread,
//    which then holds every later message of the broker (a long block may
//    cost the connection its keep-alive);
//  - onError: where the failure was met: inside initialize on the caller's
//    thread, the REST callback thread (a refused token request; every REST
//    reply waits meanwhile) or the main queue (the location service gone).
// A delegate may call the kit; on the main queue it must not wait for what
// the main queue does next (a current location, a trip action's fix).
// setDelegate takes effect for deliveries that start after it; one under way
// finishes with the delegate it started with, which the kit keeps alive until
// then.
//
// ---- The end of the process
//
// The kit lives for the process: there is no shutdown call, and its objects
// are never destroyed.  When the host returns from main or calls exit():
//  - the broker connection is closed; a position the broker has not yet
//    acknowledged is answered "not delivered", as when the connection drops,
//    and goes to the offline buffer for the next run (it may then arrive
//    twice);
//  - the values the kit writes lazily are written to the settings: the last
//    position, the speed window, the count of positions since the last
//    report and the log's records (the log file's lines are written at once);
//  - the kit's queues take no more work: what waits on them is dropped (a
//    position not yet handled, an answer not yet handed over: its handler is
//    never called), and the tasks that run are waited for, up to a few
//    seconds, so no kit thread runs while the process's statics go away.
// Settings, the position buffer and the trip store are SQLite files written
// one transaction per change as it is made (a setting before the call that
// sets it returns); only the lazily written values above wait in memory, 30 s
// at most.  Positions left in the buffer are sent in a later run once the
// broker is connected, and tracking left on restarts at its initialize.
//
// SIGTERM's default action ends the process without any of the above: a
// position being published is lost unless the broker had acknowledged it,
// the lazily written values of up to the last 30 s stay out of the settings, and what was
// queued is lost; what was written stays.  A host that wants the orderly end
// handles SIGTERM (sigwait or signalfd on a thread of its own), optionally
// calls reportTerminate(), and returns from main.

}  // namespace pelk
