#ifndef PELK_C_API_H
#define PELK_C_API_H

/* The kit's C interface: one function per public operation of pelk::Pelk.
 * Texts are UTF-8 and NUL-terminated; a NULL text stands for an absent
 * optional one.  A key, description, user or trip id, or text in trip
 * coordinates that is not UTF-8 is refused by a call that would send it to
 * the service ("Data not found"; a call that checks the network first
 * answers "Network error" while there is none); a call that only looks for a
 * trip on this device answers as for any id it does not hold.
 * Results and model objects are handed over as UTF-8 JSON text, valid only
 * during the call.  Errors come as a code and a message (the README's section
 * "Errors" lists each, and when it comes).  A handler
 * is a function pointer with a context pointer given back unchanged; a NULL
 * handler gets no call and the operation runs all the same.  Which thread
 * runs a handler or a delegate member, and what the end of the process does,
 * are under "threads" and "the end of the process" at the end of this file.
 *
 * ---- results as JSON
 * A result model is handed over under the keys its reader takes from the
 * server or the broker, whether the server, a broker message or the kit's
 * local trip store made it; so a record reads as the server's own does, and
 * the model's reader reads the text back to the same values.  The shape of
 * each result is given where it is handed over (below).  Throughout:
 *  - a text the model does not hold is null; a list is always a list;
 *  - a number keeps the type the model holds it in: an integer field arrives
 *    as a JSON integer (125), a floating-point field with its fraction or
 *    ".0" (1500.0, 12.5); a single-precision field in its shortest form (12.3);
 *  - "(0)" marks a number that is the integer 0 when the record had none or
 *    held it in another form, whatever the field's type; "(or null)" marks
 *    one that is then null;
 *  - a number that is not finite (a quotient over zero) arrives as null;
 *  - bytes of a text that are not UTF-8 arrive as U+FFFD;
 *  - members may come in any order.
 * A place (the origins and destinations of a trip):
 *   {"id", "trip_id", "loc_type", "created_at", "updated_at": text,
 *    "reached": boolean, "coordinates": {"coordinates": [numbers, as sent]} or null}. */

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* error_code / error_message are NULL on success.
 * user_json: the user record as the server sends it under "data" (its
 * "app_id" is not kept):
 *   {"user_id": text, "description": text or null,
 *    "geofence_events", "location_events", "trips_events", "nearby_events",
 *    "event_listener", "location_listener": boolean,
 *    "account_id", "project_id": text ("" when none)}. */
typedef void (*pelk_user_handler)(void* context, const char* user_json, const char* error_code,
                                  const char* error_message);
typedef void (*pelk_text_handler)(void* context, const char* text, const char* error_code, const char* error_message);

/* location_json: one fix of this device as the location service gave it (the
 * kit has no server record of it):
 *   {"latitude", "longitude" (degrees), "altitude" (metres),
 *    "horizontal_accuracy", "vertical_accuracy" (metres), "speed" (m/s),
 *    "course" (degrees): floating point, a negative accuracy, speed or course
 *    meaning "not known"; "timestamp_ms": integer milliseconds since 1970}. */
typedef void (*pelk_location_handler)(void* context, const char* location_json, const char* error_code,
                                      const char* error_message);

/* The app's delegate; members may be NULL except did_update_location.
 *  did_update_location, one accepted position of this device, while the app
 *  follows its own positions (pelk_subscribe(1 or 0, own user id), or once
 *  self-tracking was started; without either it is never called):
 *    {"user_id": text ("" when no user), "activity": "M" or "S",
 *     "location": a fix as location_json above, "tz_offset": text ("+0100"),
 *     "recorded_at": text, the moment it was handed over}.
 *  did_receive_events, one call per event of a broker message:
 *    {"event_type", "event_source", "event_version", "user_id", "trip_id",
 *     "geofence_id", "nearby_user_id", "location_id", "created_at",
 *     "recorded_at", "activity": text,
 *     "altitude", "course", "speed", "distance", "horizontal_accuracy",
 *     "veritcal_accuracy" (so spelled, as the event messages spell it):
 *     floating point (0),
 *     "location": {"coordinates": [numbers, as sent]} or null}.
 *  did_receive_user_location, one position of a followed user:
 *    {"user_id", "activity", "location_id", "recorded_at", "event_type",
 *     "event_source", "event_version": text,
 *     "altitude", "course", "horizontal_accuracy", "vertical_accuracy":
 *     floating point (or null), "speed": integer (or null),
 *     "coordinates": {"coordinates": [longitude, latitude]} or null}.
 *  did_receive_trip_status, the progress of a subscribed ongoing trip:
 *    {"trip_id", "started_at": text, "speed" (m/s), "distance" (metres),
 *     "duration" (seconds), "pace" (s/m), "latitude", "longitude" (degrees of
 *     the last recorded position): floating point}. */
typedef struct pelk_delegate {
  void* context;
  void (*did_update_location)(void* context, const char* location_json);
  void (*did_receive_events)(void* context, const char* events_json);
  void (*did_receive_user_location)(void* context, const char* location_json);
  void (*did_receive_trip_status)(void* context, const char* status_json);
  void (*on_error)(void* context, const char* error_code, const char* error_message);
} pelk_delegate;

/* Tracking modes: 1 passive, 2 balanced, 3 active, 4 custom.
 * App states: 0 foreground and background, 1 foreground only, 2 background only. */

/* The kit's version, "MAJOR.MINOR.PATCH"; a static text. */
const char* pelk_library_version(void);

/* base_url and mqtt_endpoint (NULL or "": none) are taken both or neither,
 * as pelk::Pelk::initialize: e.g. "http://127.0.0.1:8080" and
 * "ws://127.0.0.1:9001/mqtt"; MQTT runs over WebSockets only (ws://, wss://,
 * or "host[:port]" for wss).  Returns false, with a console line at Error
 * level and nothing stored, when the start-up is refused: a NULL or empty key,
 * or one that is not UTF-8, a base URL that is not http(s) or has no host, or
 * an endpoint the kit cannot use (a start-up that ran earlier stays in force);
 * also when another live process holds the data directory ("... is in use by
 * process N ...").  One of the two without the other is not taken (an Error
 * line) and the start-up goes on: true.  A second call prints what it
 * changed ("Quelbrin already initialized: ...").  Every code and text the kit
 * hands over: the README's section "Errors". */
bool pelk_initialize(const char* publish_key, const char* base_url, const char* mqtt_endpoint);
void pelk_set_logger_enabled(bool enabled);
/* Copies the structure; NULL clears the delegate. */
void pelk_set_delegate(const pelk_delegate* delegate);
bool pelk_has_delegate(void);

void pelk_create_user(const char* description, pelk_user_handler handler, void* context);
void pelk_get_user(const char* user_id, pelk_user_handler handler, void* context);
void pelk_set_description(const char* description);
void pelk_logout_user(pelk_text_handler handler, void* context);
void pelk_set_device_token(const uint8_t* bytes, size_t length);

/* Needs the kit's user (pelk_create_user, or pelk_get_user with a known id);
 * without one the start is refused with the console line "User not created". */
void pelk_start_tracking(int64_t mode);
void pelk_stop_tracking(void);
/* Positions go to did_update_location; pelk_is_location_tracking does not
 * report self-tracking. */
void pelk_start_self_tracking(int64_t mode);
void pelk_stop_self_tracking(void);
void pelk_request_location(void);
/* One fix within `accuracy` metres (at least 10); after 15 s without one the
 * most accurate fix seen meanwhile, or QB408 when there was none. */
void pelk_get_current_location(int64_t accuracy, pelk_location_handler handler, void* context);
void pelk_update_current_location(int64_t accuracy);
bool pelk_is_location_enabled(void);
bool pelk_is_location_tracking(void);
void pelk_set_tracking_in_app_state(int64_t state);
void pelk_offline_location_tracking(bool enabled);
void pelk_enable_accuracy_engine(void);
void pelk_disable_accuracy_engine(void);
void pelk_enable_accuracy_engine_with(int64_t accuracy);
/* The gpsd daemon positions come from; wins over PELK_GPSD_HOST and
 * PELK_GPSD_PORT.  false (and nothing changes) for a NULL or empty host, one
 * longer than 253 characters or with blanks or control characters, or a port
 * outside 1 to 65535. */
bool pelk_set_gpsd_address(const char* host, int64_t port);

/* ---- custom tracking
 * The option set of the custom mode (4) as a JSON object whose members are
 * named as the options; a missing or null member is an absent option:
 *   "desiredAccuracy" 0 best for navigation, 1 best, 2 ten metres,
 *                     3 hundred metres, 4 kilometre, 5 other;
 *   "activityType"    1 other, 2 automotive navigation, 3 fitness,
 *                     4 other navigation, 5 airborne;
 *   "distanceFilter"  number (metres);
 *   "geofenceRadius", "accuracyFilter" (metres), "updateInterval" (seconds): integers;
 *   "useVisits", "showsBackgroundLocationIndicator", "useSignificant",
 *   "useRegionMonitoring", "useDynamicGeofencRadius",
 *   "allowBackgroundLocationUpdates", "pausesLocationUpdatesAutomatically",
 *   "useStandardLocationServices": true or false.
 * NULL stands for no option set (a custom start is then refused).  Answers
 * false, with a console line and nothing started, when the text is not such
 * an object (bad JSON, an unknown member, a wrong type or range); true when
 * the start was handed on, which then applies its own checks. */
bool pelk_start_tracking_with_options(int64_t mode, const char* options_json);
bool pelk_start_self_tracking_with_options(int64_t mode, const char* options_json);

/* ---- events, listeners and subscriptions */
/* The user's server-side switches; the handler gets the user as the server then holds it. */
void pelk_toggle_events(bool geofence, bool trip, bool location, bool moving_geofence, pelk_user_handler handler,
                        void* context);
void pelk_toggle_listener(bool events, bool locations, pelk_user_handler handler, void* context);
void pelk_get_events_status(pelk_user_handler handler, void* context);
void pelk_get_listener_status(pelk_user_handler handler, void* context);
/* Kinds: 0 events and location, 1 location, 2 events (any other value counts as 0). */
void pelk_subscribe(int64_t kind, const char* user_id);
void pelk_unsubscribe(int64_t kind, const char* user_id);
/* publish_json: NULL for no choice, or an object of the field names of the
 * publish choice ("user_id", "battery_status", ...) with true or false, and
 * optionally "meta_data" (an object).  Text that is not a JSON object is
 * refused with a console line and changes nothing. */
void pelk_publish_save(const char* publish_json);
void pelk_publish_only(const char* publish_json);
void pelk_stop_publishing(void);
/* user_info_json: the opened notification's user info as a JSON object. */
void pelk_notification_opened(const char* user_info_json);

/* ---- location permission
 * A Linux host has no permission prompt.  Unless the host states an answer,
 * the kit grants "always" at start-up (pelk_initialize) or at the first call
 * that needs a position, whichever comes first.  The answer is kept in the
 * kit's settings and holds in later runs.
 * pelk_location_permission_status: the answer in force, 0 not determined,
 * 1 restricted, 2 denied, 3 always, 4 when in use.
 * pelk_set_location_permission_status: the host's own answer (1 to 4), in
 * force at once and kept; false, changing nothing, for any other value.  Any
 * thread. */
int64_t pelk_location_permission_status(void);
bool pelk_set_location_permission_status(int64_t status);

/* ---- the host app's lifecycle
 * Nothing moves a Linux host between foreground and background: the host
 * reports its own changes, from any thread, and the kit reacts on its main
 * queue in the order of the reports (tracking limited to one app state pauses
 * and resumes, the stored mode restarts, positions carry the app's state).  A
 * run starts in the foreground.  pelk_report_terminate is taken once per run
 * and returns once the kit has taken it (at once when called from one of the
 * kit's callbacks on its main queue). */
void pelk_report_foreground(void);
void pelk_report_background(void);
void pelk_report_terminate(void);

/* ---- trips
 * A trip created offline lives in the kit's local store until it is synced;
 * its results have the same shape as a server trip's.  Results as JSON text:
 *  created trip (pelk_create_trip):
 *    {"id", "user_id", "trip_tracking_url", "created_at", "updated_at": text,
 *     "is_started", "is_ended", "is_deleted": boolean,
 *     "origins", "destinations": [place]}.
 *  active trips (pelk_active_trips), an array of
 *    {"id", "created_at", "updated_at": text, "syncStatus": text (so spelled;
 *     set for trips of the local store), "is_started", "is_paused",
 *     "is_ended", "is_deleted": boolean}.
 *  trip details (pelk_get_trip_details):
 *    {"id", "user_id", "project_id", "created_at", "updated_at",
 *     "trip_started_at", "trip_ended_at": text,
 *     "is_started", "is_paused", "is_ended", "is_deleted": boolean,
 *     "distance_covered": floating point, metres (0),
 *     "duration": single-precision floating point, seconds (0),
 *     "origins", "destinations": [place],
 *     "events": [{"id", "trip_id", "user_id", "event_type", "user_location_id",
 *                 "created_at": text, "is_deleted": boolean}]}.
 *  trip summary (pelk_get_trip_summary); the trip's id is under "trip_id"
 *  here, as the server's summary has it:
 *    {"trip_id", "user_id", "project_id", "trip_status": text,
 *     "distance_covered", "total_elevation_gain": floating point (0),
 *     "duration": integer seconds (0),
 *     "route": [{"activity", "recorded_at": text,
 *                "altitude", "elevation_gain", "distance": floating point (0),
 *                "duration": integer (0),
 *                "coordinates": {"coordinates": [numbers]} or null}]}.
 *    A route point of the local store holds [latitude, longitude] and has
 *    the integer 0 for its elevation gain, distance and duration.
 *  trip progress (pelk_get_trip_status), for a trip followed on this device:
 *    {"trip_id", "started_at": text, "speed" (m/s), "distance" (metres),
 *     "duration" (seconds): floating point}. */
typedef void (*pelk_json_handler)(void* context, const char* result_json, const char* error_code,
                                  const char* error_message);
typedef void (*pelk_synced_handler)(void* context, bool synced, const char* error_code, const char* error_message);

/* coordinates_json: a JSON object sent with a server trip, or NULL; any other
 * text is refused with "QB402" "Data not found". */
void pelk_create_trip(bool offline, const char* coordinates_json, pelk_json_handler handler, void* context);
void pelk_start_trip(const char* trip_id, const char* description, pelk_text_handler handler, void* context);
void pelk_stop_trip(const char* trip_id, pelk_text_handler handler, void* context);
void pelk_pause_trip(const char* trip_id, pelk_text_handler handler, void* context);
void pelk_resume_trip(const char* trip_id, pelk_text_handler handler, void* context);
void pelk_force_end_trip(const char* trip_id, pelk_text_handler handler, void* context);
void pelk_delete_trip(const char* trip_id, pelk_text_handler handler, void* context);
void pelk_sync_trip(const char* trip_id, pelk_text_handler handler, void* context);
void pelk_active_trips(bool offline, pelk_json_handler handler, void* context);
void pelk_get_trip_details(const char* trip_id, pelk_json_handler handler, void* context);
void pelk_get_trip_summary(const char* trip_id, pelk_json_handler handler, void* context);
void pelk_get_trip_status(const char* trip_id, pelk_json_handler handler, void* context);
void pelk_is_trip_synced(const char* trip_id, pelk_synced_handler handler, void* context);
void pelk_subscribe_trip_status(const char* trip_id);
void pelk_unsubscribe_trip_status(const char* trip_id);

/* ---- threads
 * Any thread may call the kit.  The handlers' answers come in two kinds, each
 * with a thread of its own:
 *  - user: pelk_create_user, pelk_get_user, pelk_logout_user,
 *    pelk_toggle_events, pelk_toggle_listener, pelk_get_events_status,
 *    pelk_get_listener_status;
 *  - trips: pelk_create_trip, pelk_start_trip, pelk_stop_trip,
 *    pelk_pause_trip, pelk_resume_trip, pelk_force_end_trip, pelk_delete_trip,
 *    pelk_sync_trip, pelk_active_trips, pelk_get_trip_details,
 *    pelk_get_trip_summary, pelk_get_trip_status, pelk_is_trip_synced.
 * An answer the kit has at once (a refusal: no network, no user, no token
 * and no key, a NULL or empty id, coordinates that are no JSON object, a
 * local trip in the wrong state; or a reply of the local trip store: an
 * offline trip, pelk_active_trips(true, ...), pelk_get_trip_status) is handed
 * over on the caller's thread before the call returns, whatever earlier calls
 * still wait for.  Every other answer (a server's reply, a trip action once
 * its fix came) is handed over later on the answer thread of its kind: one at
 * a time, in the order the kit got them (two requests in flight together are
 * answered in the order their replies arrive).
 *
 * A handler that blocks holds up only the later answers of its own kind; the
 * other kind, REST transfers, tracking, the broker and the delegate go on.  A
 * handler may call the kit, any function: a refusal comes inside it, as to
 * any caller, but a later answer of its own kind only after it returns, so it
 * must not wait inside for one (that wait never ends).
 *
 * pelk_get_current_location is the exception: its answer, unless a refusal
 * at once, is handed over on the kit's main queue, the thread that runs
 * tracking.  While that handler or did_update_location blocks, no position is
 * taken, no timer fires and no lifecycle report is acted on.
 *
 * The delegate's members run on the thread that met the event:
 * did_update_location and did_receive_trip_status on the main queue;
 * did_receive_events and did_receive_user_location on the MQTT client's
 * thread, which then holds every later message of the broker (a long block
 * may cost the connection its keep-alive); on_error where the failure was met:
 * inside pelk_initialize on the caller's thread, the REST callback thread (a
 * refused token request; every REST reply waits meanwhile) or the main queue
 * (the location service gone).  A member may call the kit; on the main queue
 * it must not wait for what the main queue does next (a current location, a
 * trip action's fix).  pelk_set_delegate takes effect for deliveries that
 * start after it: one under way finishes with the structure (and context) it
 * started with, so keep a context valid a little past replacing it.
 *
 * ---- the end of the process
 * The kit lives for the process: there is no shutdown call.  When the host
 * returns from main or calls exit():
 *  - the broker connection is closed; a position the broker has not yet
 *    acknowledged is answered "not delivered", as when the connection drops,
 *    and goes to the offline buffer for the next run (it may then arrive
 *    twice);
 *  - the values the kit writes lazily are written to the settings: the last
 *    position, the speed window, the count of positions since the last
 *    report and the log's records (the log file's lines are written at once);
 *  - the kit's queues take no more work: what waits on them is dropped (a
 *    position not yet handled, an answer not yet handed over: its handler is
 *    never called), and the tasks that run are waited for, up to a few
 *    seconds, so no kit thread runs while the process's statics go away.
 * Settings, the position buffer and the trip store are SQLite files written
 * one transaction per change as it is made (a setting before the call that
 * sets it returns); only the lazily written values above wait in memory, 30 s
 * at most.  Positions left in the buffer are sent in a later run once the
 * broker is connected; tracking left on restarts at its pelk_initialize.
 *
 * SIGTERM's default action ends the process without any of the above: a
 * position being published is lost unless the broker had acknowledged it,
 * the lazily written values of up to the last 30 s stay out of the settings, and what was
 * queued is lost; what was written stays.  A host that wants the orderly end
 * handles SIGTERM (sigwait or signalfd on a thread of its own), optionally
 * calls pelk_report_terminate(), and returns from main. */

/* ---- the kit's identity and folders
 * As pelk::Pelk::setAppId, setDataDirectory and dataDirectory.  Both setters
 * answer false, with an Error console line, once the kit has used its folders
 * (pelk_initialize, or any earlier call that touches its settings), and for a
 * NULL or unusable value; call them first.
 * pelk_set_app_id: 1 to 128 letters, digits, '.', '-' and '_', not beginning
 * with '.' nor holding ".."; without it, the executable's file name.
 * pelk_set_data_directory: an absolute path the kit can make (mode 0700) and
 * write; everything of the kit goes below it.  Without it, the XDG folders of
 * the app id, else $STATE_DIRECTORY/<app id>, else a scratch folder for this
 * run only.
 * pelk_data_directory: the data directory this process holds, valid until the
 * next call of it on the same thread; NULL when it holds none (nothing was
 * writable, or another live process of the same app id holds it: that
 * process's pelk_initialize is then refused with an Error console line). */
bool pelk_set_app_id(const char* app_id);
bool pelk_set_data_directory(const char* path);
const char* pelk_data_directory(void);

/* ---- the console
 * The kit's status lines go to stdout by default, one line each; the texts
 * are the same whatever the destination.  The console is not the kit's log:
 * pelk_set_logger_enabled switches the log (the file Zezovu.log in the app's
 * cache folder and its copy in the kit's settings, off until switched on) and
 * neither silences the console nor sends log entries to it.
 * pelk_set_console_handler sends every line to `handler` with its level
 * (PELK_CONSOLE_*) and `context` given back unchanged; a NULL handler
 * silences the console; pelk_use_stdout_console goes back to stdout.
 * The handler runs on one thread of the kit named "pelk-console", one line at
 * a time and in the order printed, never with a lock of the kit held: it may
 * call any pelk_ function.  `line` is valid only during the call.  A slow or
 * blocked handler does not hold up the kit: up to 1024 lines wait for it,
 * newer ones are dropped, and when it catches up it receives, in their place,
 * one warning "pelk: <n> console lines dropped: the console handler fell
 * behind".  Lines still waiting when the handler is replaced go to the new
 * destination (a NULL handler drops them).  Called from any thread but the
 * handler's own, both functions return once the previous handler has returned
 * from its current line, so its context may be freed then.
 * At process exit the lines still waiting are handed to the handler for at
 * most one second, so it may run after main has returned (keep `context`
 * valid, or switch back to stdout before returning from main); what is left
 * then, and any later line, is dropped. */
enum { PELK_CONSOLE_DEBUG = 0, PELK_CONSOLE_INFO = 1, PELK_CONSOLE_WARNING = 2, PELK_CONSOLE_ERROR = 3 };
typedef void (*pelk_console_handler)(void* context, int level, const char* line);
void pelk_set_console_handler(pelk_console_handler handler, void* context);
void pelk_use_stdout_console(void);

#ifdef __cplusplus
}
#endif

#endif /* PELK_C_API_H */
