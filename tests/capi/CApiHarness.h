#ifndef PELK_C_API_HARNESS_H
#define PELK_C_API_HARNESS_H

/* Test-side helpers for the C program: a temp settings root, a local REST
 * server, the simulated location provider, a test network reading and the
 * manual main queue. */

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the local server's base URL (valid until harness_stop). */
const char* harness_start(void);
void harness_stop(void);
void harness_set_online(bool online);
/* The REST service of the next requests: `url`, or the local server for NULL. */
void harness_use_base_url(const char* url);
/* A loopback base URL nothing listens on (valid until harness_stop). */
const char* harness_unreachable_base_url(void);
/* Forgets the SDK token, so the next operation asks for one. */
void harness_forget_token(void);
/* Scripts a JSON reply for a path (all later requests to it). */
void harness_reply(const char* path, const char* json);
size_t harness_request_count(const char* path);
void harness_drain_main(void);
/* Polls (draining the main queue) until *flag is non-zero; false on timeout. */
bool harness_wait_flag(const volatile int* flag);
/* Tracking modes that only count their starts and stops. */
int harness_mode_starts(void);
int harness_mode_stops(void);
/* An integer of the kit's settings; -1 when the key holds none. */
long long harness_setting_integer(const char* key);

/* Hands one position fix (accuracy 1 m) to the simulated location services
 * and drains the main queue. */
void harness_deliver_fix(double latitude, double longitude);
/* gpsd fed the recorded route (latitude 45.12 or so) by gpsfake on a free
 * loopback port, which it answers; 0 when gpsfake is not installed. */
int harness_start_gpsfake(void);
/* Ends it, and the simulated location services (on, authorized) are back. */
void harness_stop_gpsfake(void);

#ifdef __cplusplus
}
#endif

#endif
