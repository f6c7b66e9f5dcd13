// The demo host app: what an app on a Linux device does with the kit, using
// only its public API.  It starts the kit against the service and broker it is
// given, creates a user, starts active tracking and publishes every position
// it takes, printing each step and each position the kit hands to it.  Every
// position is also appended to --positions (one JSON object a line), so the
// demo can tell whether each one reached the service.  It runs until SIGINT
// or SIGTERM.
//
//   pelk_demo --rest URL --mqtt URL --positions FILE [--key PUBLISHABLE_KEY]
//
// Positions come from gpsd: localhost:2947, or the daemon named by
// PELK_GPSD_HOST and PELK_GPSD_PORT.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "pelk/Pelk.h"

namespace {

void say(const char* format, auto... values) {
  std::printf("[host]    ");
  std::printf(format, values...);
  std::printf("\n");
  std::fflush(stdout);
}

class Delegate : public pelk::PelkDelegate {
 public:
  // Owns the file: a position delivered while the app shuts down still has
  // somewhere to go.
  explicit Delegate(std::FILE* positions) : positions_(positions) {}
  ~Delegate() override { std::fclose(positions_); }
  Delegate(const Delegate&) = delete;
  Delegate& operator=(const Delegate&) = delete;

  void didUpdateLocation(const pelk::PelkLocation& location) override {
    const auto& fix = location.location();
    std::lock_guard lock(mutex_);
    ++count_;
    say("position %3d  %10.6f, %10.6f  +/- %.0f m", count_, fix.coordinate.latitude, fix.coordinate.longitude,
        fix.horizontalAccuracy);
    std::fprintf(positions_, "{\"lat\":%.17g,\"lon\":%.17g,\"recorded_at\":\"%s\"}\n", fix.coordinate.latitude,
                 fix.coordinate.longitude, location.recordedAt().c_str());
    std::fflush(positions_);
  }
  void onError(const pelk::PelkError& error) override {
    say("kit error %s: %s", error.code().c_str(), error.message().c_str());
  }

 private:
  std::mutex mutex_;
  std::FILE* positions_;
  int count_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
  if (!args.count("--rest") || !args.count("--mqtt") || !args.count("--positions")) {
    std::fprintf(stderr, "usage: %s --rest URL --mqtt URL --positions FILE [--key PUBLISHABLE_KEY]\n", argv[0]);
    return 2;
  }
  const std::string key = args.count("--key") ? args["--key"] : "pk_demo_0123456789";
  std::FILE* positions = std::fopen(args["--positions"].c_str(), "a");
  if (!positions) {
    std::fprintf(stderr, "cannot write %s\n", args["--positions"].c_str());
    return 1;
  }

  // The app waits for SIGINT or SIGTERM on this thread; the kit's threads
  // never see them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  pelk::Pelk::setDelegate(std::make_shared<Delegate>(positions));
  // The kit's own log of what it does with each position (under the app's
  // XDG cache directory).
  pelk::Pelk::setLoggerEnabled(true);

  say("initialize: publishable key %s, service %s, broker %s", key.c_str(), args["--rest"].c_str(),
      args["--mqtt"].c_str());
  pelk::Pelk::initialize(key, args["--rest"], args["--mqtt"]);

  // The user; a start-up still fetching its token may refuse the first try.
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<std::string> userId;
  for (int attempt = 1; attempt <= 5 && !userId; ++attempt) {
    bool done = false;
    pelk::Pelk::createUser("demo driver",
                           [&](std::shared_ptr<pelk::PelkUser> user, std::optional<pelk::PelkError> error) {
                             std::lock_guard lock(mutex);
                             if (user) {
                               userId = user->userId();
                             } else {
                               say("create user failed: %s", error ? error->message().c_str() : "no answer");
                             }
                             done = true;
                             answered.notify_all();
                           });
    std::unique_lock lock(mutex);
    answered.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
    if (!userId) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (!userId) {
    say("no user: giving up");
    return 1;
  }
  say("user created: %s", userId->c_str());
  // The app follows its own positions: the kit hands each one to the delegate.
  pelk::Pelk::subscribe(pelk::PelkSubscribe::location, *userId);
  say("subscribed to the user's own positions");

  pelk::Pelk::startTracking(pelk::PelkTrackingMode::active);
  say("active tracking started (gpsd %s:%s)",
      std::getenv("PELK_GPSD_HOST") ? std::getenv("PELK_GPSD_HOST") : "localhost",
      std::getenv("PELK_GPSD_PORT") ? std::getenv("PELK_GPSD_PORT") : "2947");

  pelk::PelkPublish publish;
  publish.recorded_at = true;
  publish.speed = true;
  publish.battery_remaining = true;
  publish.horizontal_accuracy = true;
  publish.meta_data = nlohmann::json{{"vehicle", "demo car"}};
  pelk::Pelk::publishSave(publish);
  say("publishing every position (publishSave: recorded_at, speed, battery_remaining, horizontal_accuracy)");

  int signal = 0;
  sigwait(&stopSignals, &signal);
  pelk::Pelk::stopTracking();
  pelk::Pelk::setDelegate(nullptr);
  say("tracking stopped; %s", signal == SIGINT ? "interrupted" : "done");
  return 0;
}
