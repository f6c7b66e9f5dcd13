// A host app on the installed kit, safe to run with no server anywhere: it
// starts the kit against a loopback address nothing listens on, reads a user
// reply with the kit's model, asks the kit to create a user and reports the
// error that comes back, then stops.
//
//   pelk_consumer_cpp [BASE_URL [MQTT_ENDPOINT]]
#include <pelk/Pelk.h>
#include <pelk/pelk.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

// The host's own delegate: the kit calls it through the class it exports.
class HostDelegate : public pelk::PelkDelegate {
 public:
  void didUpdateLocation(const pelk::PelkLocation& location) override {
    std::printf("position %.6f %.6f\n", location.location().coordinate.latitude,
                location.location().coordinate.longitude);
  }
  void onError(const pelk::PelkError& error) override {
    std::printf("kit error %s: %s\n", error.code().c_str(), error.message().c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string baseUrl = argc > 1 ? argv[1] : "http://127.0.0.1:9";
  const std::string mqttEndpoint = argc > 2 ? argv[2] : "ws://127.0.0.1:9/mqtt";
  int failures = 0;

  std::printf("kit version: %s\n", pelk_library_version());

  // A model read from JSON the host built: the JSON value crosses into the kit.
  const auto user = pelk::PelkUser::fromDictionary(nlohmann::json{{"data",
                                                                   {{"user_id", "u-1"},
                                                                    {"description", "consumer"},
                                                                    {"geofence_events", true},
                                                                    {"event_listener", false},
                                                                    {"location_listener", true},
                                                                    {"location_events", false},
                                                                    {"trips_events", false},
                                                                    {"nearby_events", false},
                                                                    {"account_id", "a-1"},
                                                                    {"project_id", "p-1"}}}});
  if (user && user->userId() == "u-1" && user->locationListener()) {
    std::printf("model read: user %s of project %s\n", user->userId().c_str(), user->project_id().c_str());
  } else {
    std::printf("model read: FAILED\n");
    ++failures;
  }

  if (!pelk::Pelk::initialize("pk_consumer_example", baseUrl, mqttEndpoint)) {
    // The kit said why on its console.
    std::printf("initialize: refused\nconsumer-cpp: FAILED\n");
    return 1;
  }
  auto delegate = std::make_shared<HostDelegate>();
  pelk::Pelk::setDelegate(delegate);
  // The delegate comes back as the host's own type.
  if (std::dynamic_pointer_cast<HostDelegate>(pelk::Pelk::delegate()) != delegate) {
    std::printf("delegate: FAILED\n");
    ++failures;
  }
  std::printf("tracking: %s, permission status: %lld\n", pelk::Pelk::isLocationTracking() ? "yes" : "no",
              static_cast<long long>(pelk::Pelk::locationPermissionStatus()));

  // Nothing answers at the base URL: the handler must hear of it, not wait forever.
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  std::optional<pelk::PelkError> error;
  std::shared_ptr<pelk::PelkUser> created;
  pelk::Pelk::createUser("consumer example", [&](std::shared_ptr<pelk::PelkUser> u, std::optional<pelk::PelkError> e) {
    std::lock_guard lock(mutex);
    created = std::move(u);
    error = std::move(e);
    done = true;
    answered.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    if (!answered.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) {
      std::printf("create user: no answer\n");
      ++failures;
    } else if (created || !error) {
      std::printf("create user: unexpected success\n");
      ++failures;
    } else {
      std::printf("create user: %s %s\n", error->code().c_str(), error->message().c_str());
      // Nothing answered the token request: that is the network, not the key.
      if (*error != pelk::PelkError("QB500", "Network error")) {
        std::printf("create user: expected QB500 Network error\n");
        ++failures;
      }
    }
  }

  pelk::Pelk::setDelegate(nullptr);
  pelk::Pelk::stopTracking();
  std::printf("%s\n", failures == 0 ? "consumer-cpp: ok" : "consumer-cpp: FAILED");
  return failures == 0 ? 0 : 1;
}
