/* A C host app on the installed kit, safe to run with no server anywhere: it
 * starts the kit against a loopback address nothing listens on, reads its
 * state, asks it to create a user and reports the error that comes back: a
 * network error, since nothing answers.
 *
 *   pelk_consumer_c [BASE_URL [MQTT_ENDPOINT]] */
#include <pelk/pelk.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

struct answer {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int done;
  int has_user;
  char code[64];
  char message[256];
};

static void on_user(void* context, const char* user_json, const char* error_code, const char* error_message) {
  struct answer* a = (struct answer*)context;
  pthread_mutex_lock(&a->mutex);
  a->has_user = user_json != NULL;
  snprintf(a->code, sizeof a->code, "%s", error_code ? error_code : "");
  snprintf(a->message, sizeof a->message, "%s", error_message ? error_message : "");
  a->done = 1;
  pthread_cond_broadcast(&a->cond);
  pthread_mutex_unlock(&a->mutex);
}

static void on_location(void* context, const char* location_json) {
  (void)context;
  printf("position %s\n", location_json);
}

int main(int argc, char** argv) {
  const char* base_url = argc > 1 ? argv[1] : "http://127.0.0.1:9";
  const char* mqtt_endpoint = argc > 2 ? argv[2] : "ws://127.0.0.1:9/mqtt";
  int failures = 0;
  struct answer answer;
  struct timespec deadline;
  pelk_delegate delegate;
  int rc = 0;

  printf("kit version: %s\n", pelk_library_version());
  if (!pelk_initialize("pk_consumer_example", base_url, mqtt_endpoint)) {
    /* The kit said why on its console. */
    printf("initialize: refused\n");
    printf("consumer-c: FAILED\n");
    return 1;
  }

  memset(&delegate, 0, sizeof delegate);
  delegate.did_update_location = on_location;
  pelk_set_delegate(&delegate);
  if (!pelk_has_delegate()) {
    printf("delegate: FAILED\n");
    ++failures;
  }
  printf("tracking: %s, permission status: %lld\n", pelk_is_location_tracking() ? "yes" : "no",
         (long long)pelk_location_permission_status());

  /* Nothing answers at the base URL: the handler must hear of it. */
  memset(&answer, 0, sizeof answer);
  pthread_mutex_init(&answer.mutex, NULL);
  pthread_cond_init(&answer.cond, NULL);
  pelk_create_user("consumer example", on_user, &answer);
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 60;
  pthread_mutex_lock(&answer.mutex);
  while (!answer.done && rc == 0) rc = pthread_cond_timedwait(&answer.cond, &answer.mutex, &deadline);
  if (!answer.done) {
    printf("create user: no answer\n");
    ++failures;
  } else if (answer.has_user || answer.code[0] == 0) {
    printf("create user: unexpected success\n");
    ++failures;
  } else {
    printf("create user: %s %s\n", answer.code, answer.message);
    /* Nothing answered the token request: that is the network, not the key. */
    if (strcmp(answer.code, "QB500") != 0 || strcmp(answer.message, "Network error") != 0) {
      printf("create user: expected QB500 Network error\n");
      ++failures;
    }
  }
  pthread_mutex_unlock(&answer.mutex);

  pelk_set_delegate(NULL);
  pelk_stop_tracking();
  printf("%s\n", failures == 0 ? "consumer-c: ok" : "consumer-c: FAILED");
  return failures == 0 ? 0 : 1;
}
