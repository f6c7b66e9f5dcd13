/* Drives the kit through its C interface only. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "pelk/pelk.h"
#include "CApiHarness.h"

static int failures = 0;
#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

struct answer {
  volatile int done;
  char json[8192];
  char code[32];
  char message[128];
};

static void copy(char* to, size_t size, const char* from) {
  if (from) {
    strncpy(to, from, size - 1);
    to[size - 1] = 0;
  } else {
    to[0] = 0;
  }
}

static void on_user(void* context, const char* user_json, const char* code, const char* message) {
  struct answer* a = (struct answer*)context;
  copy(a->json, sizeof a->json, user_json);
  copy(a->code, sizeof a->code, code);
  copy(a->message, sizeof a->message, message);
  __atomic_store_n(&a->done, 1, __ATOMIC_RELEASE);
}

static void on_text(void* context, const char* text, const char* code, const char* message) {
  on_user(context, text, code, message);
}

/* A handler that calls the kit from inside: the inner answer, of the same
 * kind, comes once this handler has returned. */
struct nested {
  struct answer outer, inner;
  volatile int inner_before_outer_ended;
};
static void on_user_then_ask_again(void* context, const char* user_json, const char* code, const char* message) {
  struct nested* n = (struct nested*)context;
  pelk_get_events_status(on_user, &n->inner);
  n->inner_before_outer_ended = __atomic_load_n(&n->inner.done, __ATOMIC_ACQUIRE);
  on_user(&n->outer, user_json, code, message);
}

struct app {
  int errors;
  char last_code[32];
};

static void app_location(void* context, const char* json) { (void)context, (void)json; }
static void app_error(void* context, const char* code, const char* message) {
  struct app* a = (struct app*)context;
  (void)message;
  ++a->errors;
  copy(a->last_code, sizeof a->last_code, code);
}

/* ---- trips */
struct trip_app {
  int statuses;
  char last_status[512];
};
static void trip_status(void* context, const char* json) {
  struct trip_app* a = (struct trip_app*)context;
  ++a->statuses;
  copy(a->last_status, sizeof a->last_status, json);
}
static void on_synced(void* context, bool synced, const char* code, const char* message) {
  struct answer* a = (struct answer*)context;
  copy(a->json, sizeof a->json, synced ? "true" : "false");
  copy(a->code, sizeof a->code, code);
  copy(a->message, sizeof a->message, message);
  __atomic_store_n(&a->done, 1, __ATOMIC_RELEASE);
}
/* The first "id" in a JSON text: a trip's own when it has no places (24 characters at most here). */
static void trip_id_of(const char* json, char* id, size_t size) {
  const char* at = strstr(json, "\"id\":\"");
  id[0] = 0;
  if (!at) return;
  at += strlen("\"id\":\"");
  size_t n = 0;
  while (at[n] && at[n] != '"' && n + 1 < size) {
    id[n] = at[n];
    ++n;
  }
  id[n] = 0;
}

static void drive_trips(void) {
  struct trip_app app = {0, ""};
  pelk_delegate delegate = {&app, app_location, NULL, NULL, trip_status, NULL};
  pelk_set_delegate(&delegate);
  harness_set_online(true);
  harness_reply("/v3/trips/v2/create/",
                "{\"code\":201,\"data\":[{\"id\":\"srv-1\",\"is_deleted\":false,\"is_ended\":false,"
                "\"is_started\":false}]}");
  harness_reply("/v3/trips/", "{\"code\":200,\"msg\":\"Trip started\"}");
  harness_reply("/v3/trips/v2/sync/srv-1/", "{\"code\":200,\"data\":{\"sync_status\":true}}");

  /* A server trip: created with the app's coordinates, started with a fix. */
  struct answer created = {0};
  pelk_create_trip(false, "{\"origin\":[{\"coordinates\":[13.4,52.5]}]}", on_user, &created);
  CHECK(harness_wait_flag(&created.done));
  CHECK(strstr(created.json, "\"id\":\"srv-1\"") != NULL && created.code[0] == 0);
  struct answer malformed = {0};
  pelk_create_trip(false, "{\"origin\":", on_user, &malformed);
  CHECK(malformed.done && strcmp(malformed.code, "QB402") == 0);
  const int starts = harness_mode_starts();
  struct answer started = {0};
  pelk_start_trip("srv-1", "commute", on_text, &started);
  harness_deliver_fix(52.5, 13.4);
  CHECK(harness_wait_flag(&started.done));
  CHECK(strcmp(started.json, "Trip started") == 0 && started.code[0] == 0);
  CHECK(harness_mode_starts() == starts + 1); /* tracking switched on for the trip */
  struct answer synced = {0};
  pelk_is_trip_synced("srv-1", on_synced, &synced);
  CHECK(harness_wait_flag(&synced.done));
  CHECK(strcmp(synced.json, "true") == 0 && synced.code[0] == 0);

  /* An offline trip, its progress, live status and queries. */
  pelk_offline_location_tracking(true); /* the logout reset the switch */
  harness_set_online(false);
  struct answer local = {0};
  pelk_create_trip(true, NULL, on_user, &local);
  CHECK(local.done && local.code[0] == 0);
  char id[64];
  trip_id_of(local.json, id, sizeof id);
  CHECK(strlen(id) == 24);
  struct answer step = {0};
  pelk_start_trip(id, NULL, on_text, &step);
  harness_deliver_fix(52.5, 13.4);
  CHECK(harness_wait_flag(&step.done) && strcmp(step.json, "Trip started successfully") == 0);
  pelk_subscribe_trip_status(id);
  memset(&step, 0, sizeof step);
  pelk_pause_trip(id, on_text, &step);
  harness_deliver_fix(52.501, 13.4);
  CHECK(harness_wait_flag(&step.done) && strcmp(step.json, "Trip paused successfully") == 0);
  CHECK(app.statuses >= 1 && strstr(app.last_status, id) != NULL);
  memset(&step, 0, sizeof step);
  pelk_resume_trip(id, on_text, &step);
  harness_deliver_fix(52.502, 13.4);
  CHECK(harness_wait_flag(&step.done) && strcmp(step.json, "Trip resumed successfully") == 0);
  memset(&step, 0, sizeof step);
  pelk_stop_trip(id, on_text, &step);
  harness_deliver_fix(52.503, 13.4);
  CHECK(harness_wait_flag(&step.done) && strcmp(step.json, "Trip ended successfully") == 0);
  pelk_unsubscribe_trip_status(NULL);
  struct answer progress = {0}, details = {0}, summary = {0}, list = {0};
  pelk_get_trip_status(id, on_user, &progress);
  CHECK(progress.done && strstr(progress.json, "\"distance\"") != NULL);
  pelk_get_trip_details(id, on_user, &details);
  CHECK(details.done && strstr(details.json, "\"is_ended\":true") != NULL);
  pelk_get_trip_summary(id, on_user, &summary);
  CHECK(summary.done && strstr(summary.json, "\"route\":[{") != NULL);
  pelk_active_trips(true, on_user, &list);
  CHECK(list.done && list.json[0] == '[' && strstr(list.json, id) != NULL);
  CHECK(strstr(list.json, "\"syncStatus\":\"not_synced\"") != NULL);
  memset(&step, 0, sizeof step);
  pelk_sync_trip(id, on_text, &step);
  CHECK(step.done && strcmp(step.json, "Sync initiated.") == 0);
  memset(&step, 0, sizeof step);
  pelk_force_end_trip(id, on_text, &step);
  CHECK(step.done && strcmp(step.code, "QB414") == 0);
  memset(&step, 0, sizeof step);
  pelk_delete_trip(id, on_text, &step);
  CHECK(step.done && strcmp(step.json, "Trip deleted successfully") == 0 && step.code[0] == 0);

  /* NULL ids and handlers are refused or ignored. */
  struct answer nameless = {0};
  pelk_stop_trip(NULL, on_text, &nameless);
  CHECK(nameless.done && strcmp(nameless.message, "Data not found") == 0);
  pelk_start_trip(NULL, NULL, NULL, NULL);
  pelk_delete_trip(NULL, NULL, NULL);
  pelk_sync_trip(NULL, NULL, NULL);
  pelk_get_trip_status(NULL, NULL, NULL);
  pelk_is_trip_synced(NULL, NULL, NULL);
  pelk_active_trips(false, NULL, NULL);
  pelk_create_trip(true, "not json", NULL, NULL);
  pelk_subscribe_trip_status(NULL);
  harness_set_online(true);
  pelk_set_delegate(NULL);
}

/* ---- the gpsd address */
static void drive_gpsd_address(void) {
  CHECK(!pelk_set_gpsd_address(NULL, 2947));
  CHECK(!pelk_set_gpsd_address("", 2947));
  CHECK(!pelk_set_gpsd_address("gps\nhost", 2947));
  CHECK(!pelk_set_gpsd_address("localhost", 0));
  CHECK(!pelk_set_gpsd_address("localhost", 65536));
  const int port = harness_start_gpsfake();
  if (port <= 0) return; /* gpsfake not installed */
  CHECK(pelk_set_gpsd_address("127.0.0.1", port));
  struct answer fix = {0};
  pelk_get_current_location(100, on_user, &fix);
  CHECK(harness_wait_flag(&fix.done));
  CHECK(fix.code[0] == 0 && strstr(fix.json, "\"latitude\":45.1") != NULL);
  harness_stop_gpsfake();
}

/* ---- errors: a refused start-up, a refused key, a token request without a reply */
static void drive_errors(const char* base) {
  CHECK(!pelk_initialize("pk-1", "ftp://api.example", "ws://127.0.0.1:1/mqtt"));
  CHECK(!pelk_initialize("pk-1", "http://", "ws://127.0.0.1:1/mqtt"));
  CHECK(!pelk_initialize("pk-1", base, "tcp://127.0.0.1:1883"));
  CHECK(!pelk_initialize(NULL, NULL, NULL));
  CHECK(!pelk_initialize("pk-\xff", base, "ws://127.0.0.1:1/mqtt")); /* a key that is not UTF-8 */
  CHECK(pelk_initialize("pk-1", "", "ws://127.0.0.1:1/mqtt"));       /* "" is no base URL: not taken */
  CHECK(pelk_initialize("pk-1", base, "ws://127.0.0.1:1/mqtt"));

  /* Text that is not UTF-8 is refused by the call at once; nothing is sent. */
  const size_t user_requests = harness_request_count("/v3/user/");
  struct answer latin1 = {0};
  pelk_create_user("caf\xe9 \xff", on_user, &latin1);
  CHECK(latin1.done && strcmp(latin1.code, "QB402") == 0 && strcmp(latin1.message, "Data not found") == 0);
  struct answer trip = {0};
  pelk_get_trip_details("srv-\xff", on_user, &trip);
  CHECK(trip.done && strcmp(trip.code, "QB402") == 0 && strcmp(trip.message, "Data not found") == 0);
  CHECK(harness_request_count("/v3/user/") == user_requests);

  /* Only the service refusing the key says the key is wrong. */
  harness_forget_token();
  harness_reply("/v3/user/token/", "{\"code\":401,\"msg\":\"no\"}");
  struct answer refused = {0};
  pelk_get_user("u-1", on_user, &refused);
  CHECK(harness_wait_flag(&refused.done) && strcmp(refused.code, "QB402") == 0 &&
        strcmp(refused.message, "Error publishable_key or package_name is wrong") == 0);

  /* A token request nobody answered is a network error. */
  harness_forget_token();
  harness_use_base_url(harness_unreachable_base_url());
  struct answer unanswered = {0};
  pelk_create_user("runner", on_user, &unanswered);
  CHECK(harness_wait_flag(&unanswered.done) && strcmp(unanswered.code, "QB500") == 0 &&
        strcmp(unanswered.message, "Network error") == 0);
  harness_use_base_url(NULL);
}

/* ---- the console: the host's handler, which may call the kit; NULL silences */
struct console {
  volatile int lines;
  volatile int bad;
  char first[256];
};
static void on_console(void* context, int level, const char* line) {
  struct console* c = (struct console*)context;
  (void)pelk_is_location_tracking();
  if (level < PELK_CONSOLE_DEBUG || level > PELK_CONSOLE_ERROR || line == NULL) c->bad = 1;
  if (c->lines == 0 && line) copy(c->first, sizeof c->first, line);
  __atomic_add_fetch(&c->lines, 1, __ATOMIC_RELEASE);
}
static void drive_console(void) {
  struct console c = {0, 0, ""};
  pelk_set_console_handler(on_console, &c);
  CHECK(!pelk_start_tracking_with_options(4, "not json")); /* refused with a console line */
  CHECK(harness_wait_flag(&c.lines));
  CHECK(strncmp(c.first, "Invalid custom tracking options", 31) == 0);
  /* Once this returns the handler is not running and gets nothing more. */
  pelk_set_console_handler(NULL, NULL);
  const int heard = __atomic_load_n(&c.lines, __ATOMIC_ACQUIRE);
  CHECK(!c.bad);
  CHECK(!pelk_start_tracking_with_options(4, "not json"));
  struct timespec pause = {0, 50000000};
  nanosleep(&pause, NULL);
  CHECK(__atomic_load_n(&c.lines, __ATOMIC_ACQUIRE) == heard);
  pelk_use_stdout_console();
}

int main(void) {
  const char* base = harness_start();
  struct app app = {0, ""};
  pelk_delegate delegate = {&app, app_location, NULL, NULL, NULL, app_error};
  pelk_set_delegate(&delegate);
  CHECK(pelk_has_delegate());

  /* The app id and the data directory: unusable values are refused at any
   * time, usable ones only before start-up. */
  const char* bad_ids[] = {"", "a/b", "..", ".hidden", "new\nline"};
  for (size_t i = 0; i < sizeof bad_ids / sizeof bad_ids[0]; ++i) CHECK(!pelk_set_app_id(bad_ids[i]));
  CHECK(!pelk_set_app_id(NULL));
  CHECK(!pelk_set_data_directory(NULL));
  CHECK(!pelk_set_data_directory("relative"));
  CHECK(pelk_set_app_id("org.example.c-host"));
  drive_console();

  /* Offline first start: the delegate hears the network error. */
  harness_set_online(false);
  pelk_initialize("pk-1", base, "ws://127.0.0.1:1/mqtt");
  CHECK(app.errors == 1 && strcmp(app.last_code, "QB500") == 0);
  CHECK(!pelk_set_app_id("org.example.later"));
  CHECK(!pelk_set_data_directory("/tmp"));
  CHECK(pelk_data_directory() != NULL);

  /* A guard answers through the handler with code and message. */
  struct answer offline = {0};
  pelk_create_user("runner", on_user, &offline);
  CHECK(offline.done && strcmp(offline.code, "QB500") == 0 && strcmp(offline.message, "Network error") == 0);
  pelk_create_user("runner", NULL, NULL); /* no handler: runs, answers nobody */

  /* Online: token, then the user, handed over as JSON. */
  harness_set_online(true);
  harness_reply("/v3/user/token/", "{\"code\":200,\"msg\":\"ok\",\"data\":{\"sdk_token\":\"tok-1\"}}");
  harness_reply("/v3/user/",
                "{\"code\":200,\"msg\":\"ok\",\"data\":{\"user_id\":\"u-\xc3\xa9\",\"app_id\":\"a\","
                "\"geofence_events\":true,\"location_events\":false,\"nearby_events\":false,"
                "\"trips_events\":true,\"location_listener\":true,\"event_listener\":false,"
                "\"account_id\":\"acc\",\"project_id\":\"prj\"}}");
  struct answer created = {0};
  pelk_create_user("runner", on_user, &created);
  CHECK(harness_wait_flag(&created.done));
  CHECK(created.code[0] == 0);
  CHECK(strstr(created.json, "\"user_id\":\"u-\xc3\xa9\"") != NULL);
  CHECK(strstr(created.json, "\"geofence_events\":true") != NULL);
  CHECK(harness_request_count("/v3/user/token/") == 1);

  /* Tracking control. */
  pelk_start_tracking(3);
  harness_drain_main();
  CHECK(pelk_is_location_tracking());
  CHECK(pelk_is_location_enabled());
  CHECK(harness_mode_starts() == 1);
  pelk_stop_tracking();
  CHECK(!pelk_is_location_tracking());
  harness_drain_main();
  CHECK(harness_mode_stops() == 1);
  pelk_enable_accuracy_engine_with(0);
  pelk_disable_accuracy_engine();
  pelk_set_tracking_in_app_state(1);
  pelk_offline_location_tracking(true);
  const unsigned char token[] = {0x0a, 0xff};
  pelk_set_device_token(token, sizeof token);

  /* A one-shot fix without a token yet would fail; with one it waits for a fix. */
  struct answer fix = {0};
  pelk_get_current_location(5, on_user, &fix);
  CHECK(!fix.done);

  /* Logout: the text answer, and the user is gone. */
  harness_reply("/v3/user/logout/", "{\"code\":200,\"msg\":\"Logged out\"}");
  struct answer out = {0};
  pelk_logout_user(on_text, &out);
  CHECK(harness_wait_flag(&out.done));
  CHECK(strcmp(out.json, "Logged out") == 0 && out.code[0] == 0);
  struct answer denied = {0};
  pelk_get_current_location(5, on_user, &denied); /* the token went with the logout */
  CHECK(denied.done && strcmp(denied.code, "QB402") == 0);
  struct answer again = {0};
  pelk_logout_user(on_text, &again);
  CHECK(again.done && strcmp(again.message, "User not created") == 0);

  /* NULL texts, NULL handlers, unknown modes and states, a delegate with no
   * members: each is refused or ignored, none crashes. */
  struct answer nameless = {0};
  pelk_get_user(NULL, on_user, &nameless);
  CHECK(nameless.done && strcmp(nameless.code, "QB402") == 0);
  pelk_get_user(NULL, NULL, NULL);
  pelk_set_description(NULL);
  pelk_set_device_token(NULL, 16);
  pelk_logout_user(NULL, NULL);
  pelk_get_current_location(5, NULL, NULL);
  const int64_t modes[] = {0, -1, 4, 99, INT64_MIN};
  for (size_t i = 0; i < sizeof modes / sizeof modes[0]; ++i) {
    pelk_start_tracking(modes[i]);
    pelk_start_self_tracking(modes[i]);
    pelk_set_tracking_in_app_state(modes[i]);
  }
  harness_drain_main();
  CHECK(!pelk_is_location_tracking());
  CHECK(harness_mode_starts() == 1);
  /* Custom tracking: the option set crosses as JSON text; a text that is no
   * option set starts nothing, a missing one refuses the custom mode. */
  struct answer back = {0};
  pelk_create_user("runner", on_user, &back);
  CHECK(harness_wait_flag(&back.done) && back.code[0] == 0);
  const char* invalid[] = {"not json",
                           "[]",
                           "{\"desiredAccuracy\":6}",
                           "{\"activityType\":0}",
                           "{\"useVisit\":true}",
                           "{\"useVisits\":1}",
                           "{\"updateInterval\":1.5}",
                           "{\"geofenceRadius\":\"100\"}",
                           "{\"updateInterval\":18446744073709551615}"};
  for (size_t i = 0; i < sizeof invalid / sizeof invalid[0]; ++i) {
    CHECK(!pelk_start_tracking_with_options(4, invalid[i]));
    CHECK(!pelk_start_self_tracking_with_options(4, invalid[i]));
  }
  CHECK(pelk_start_tracking_with_options(4, NULL));
  harness_drain_main();
  CHECK(harness_mode_starts() == 1 && !pelk_is_location_tracking());
  CHECK(pelk_start_tracking_with_options(
      4,
      "{\"desiredAccuracy\":2,\"activityType\":3,\"useVisits\":false,\"distanceFilter\":12.5,"
      "\"updateInterval\":30,\"geofenceRadius\":null}"));
  harness_drain_main();
  CHECK(harness_mode_starts() == 2 && pelk_is_location_tracking());
  CHECK(harness_setting_integer("TrackingOption") == 4);
  CHECK(harness_setting_integer("customaccuracy") == 3); /* stored one above the raw value */
  CHECK(harness_setting_integer("customactivityType") == 3);
  CHECK(harness_setting_integer("customUpdateInterval") == 30);
  CHECK(harness_setting_integer("customgeofenceRadius") == -1); /* absent */
  pelk_stop_tracking();
  harness_drain_main();
  CHECK(pelk_start_self_tracking_with_options(4, "{}"));
  harness_drain_main();
  CHECK(harness_mode_starts() == 3 && !pelk_is_location_tracking());

  pelk_initialize(NULL, NULL, NULL);
  pelk_delegate hollow = {NULL, NULL, NULL, NULL, NULL, NULL};
  pelk_set_delegate(&hollow);
  harness_set_online(false);
  pelk_initialize("pk-1", NULL, NULL); /* offline, no token: an error for a delegate with no on_error */
  harness_set_online(true);

  /* ---- events, listeners and subscriptions */
  {
    struct answer user = {0};
    pelk_create_user("runner", on_user, &user);
    CHECK(harness_wait_flag(&user.done) && user.code[0] == 0);
    const size_t user_requests = harness_request_count("/v3/user/");

    /* Guards answer through the handler; a NULL handler is allowed. */
    harness_set_online(false);
    struct answer refused = {0};
    pelk_toggle_events(true, false, true, false, on_user, &refused);
    CHECK(refused.done && strcmp(refused.code, "QB500") == 0 && strcmp(refused.message, "Network error") == 0);
    pelk_toggle_listener(true, true, NULL, NULL);
    harness_set_online(true);

    struct answer toggled = {0}, listener = {0}, events_status = {0}, listener_status = {0};
    pelk_toggle_events(true, false, true, false, on_user, &toggled);
    CHECK(harness_wait_flag(&toggled.done) && toggled.code[0] == 0);
    CHECK(strstr(toggled.json, "\"location_listener\":true") != NULL);
    pelk_toggle_listener(false, true, on_user, &listener);
    CHECK(harness_wait_flag(&listener.done) && listener.code[0] == 0);
    pelk_get_events_status(on_user, &events_status);
    CHECK(harness_wait_flag(&events_status.done) && events_status.code[0] == 0);
    pelk_get_listener_status(on_user, &listener_status);
    CHECK(harness_wait_flag(&listener_status.done));
    CHECK(strcmp(events_status.json, listener_status.json) == 0);
    struct nested nested;
    memset(&nested, 0, sizeof nested);
    pelk_get_events_status(on_user_then_ask_again, &nested);
    CHECK(harness_wait_flag(&nested.outer.done) && nested.outer.code[0] == 0);
    CHECK(harness_wait_flag(&nested.inner.done) && nested.inner.code[0] == 0);
    CHECK(!nested.inner_before_outer_ended);
    CHECK(harness_request_count("/v3/user/") == user_requests + 6);

    /* Subscriptions: own id, unknown kinds, NULL and empty ids are taken or refused without a crash. */
    pelk_subscribe(1, "u-\xc3\xa9");
    pelk_subscribe(99, "someone");
    pelk_subscribe(2, NULL);
    pelk_unsubscribe(0, "");
    pelk_unsubscribe(1, "someone");

    /* Publishing choices as JSON text: an object, NULL, or refused text. */
    pelk_publish_save("{\"speed\":true,\"meta_data\":{\"fleet\":\"north\"}}");
    pelk_publish_only("not json");
    pelk_publish_only(NULL);
    pelk_stop_publishing();

    /* Opened notifications: only the kit's own campaign is reported. */
    pelk_notification_opened(NULL);
    pelk_notification_opened("not json");
    pelk_notification_opened("{\"type\":\"other\",\"cid\":\"c-0\"}");
    pelk_notification_opened("{\"type\":\"quelbrin\",\"cid\":\"c-1\"}");
    for (int i = 0; i < 2000 && harness_request_count("/v3/user/ctr/") == 0; ++i) {
      struct timespec pause = {0, 5000000};
      nanosleep(&pause, NULL);
    }
    CHECK(harness_request_count("/v3/user/ctr/") == 1);

    const int64_t permission = pelk_location_permission_status();
    CHECK(permission >= 0 && permission <= 4);
  }

  /* The host's lifecycle reports: tracking in both app states starts the
   * stored mode again at each report; terminate is taken once. */
  pelk_set_tracking_in_app_state(0);
  pelk_start_tracking(3);
  harness_drain_main();
  {
    const int before = harness_mode_starts();
    pelk_report_background();
    harness_drain_main();
    pelk_report_foreground();
    harness_drain_main();
    CHECK(harness_mode_starts() == before + 2);
    pelk_report_terminate();
    pelk_report_terminate();
    harness_drain_main();
    CHECK(harness_mode_starts() == before + 2 && pelk_is_location_tracking());
  }
  pelk_stop_tracking();
  harness_drain_main();

  /* The host's own answer to the location permission is the one in force. */
  CHECK(!pelk_set_location_permission_status(0) && !pelk_set_location_permission_status(7));
  CHECK(pelk_set_location_permission_status(2));
  CHECK(pelk_location_permission_status() == 2 && !pelk_is_location_enabled());
  CHECK(pelk_set_location_permission_status(4));
  CHECK(pelk_location_permission_status() == 4 && pelk_is_location_enabled());
  CHECK(harness_setting_integer("locationPermissionStatus") == 4);

  /* A user again for the trips (the logout above took the first one). */
  struct answer user = {0};
  pelk_create_user("runner", on_user, &user);
  CHECK(harness_wait_flag(&user.done) && user.code[0] == 0);
  drive_trips();
  drive_gpsd_address();
  drive_errors(base);

  pelk_set_delegate(NULL);
  CHECK(!pelk_has_delegate());
  harness_stop();
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
