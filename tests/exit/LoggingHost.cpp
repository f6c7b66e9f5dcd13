// A host app with the kit's log switched on, tracking gpsd's fixes actively
// and publishing them, while a thread of its own asks the REST service for
// the user every 50 ms; it ends on SIGTERM or SIGINT as a host does: stop
// tracking, return from main.  Prints what it sees on stdout, one line each:
//   ready <ms>              start-up done, tracking started
//   position <n> <ms>       the app was handed its n-th position
//   rest <n> <ms>           the n-th REST reply arrived (every tenth is printed)
//   stopping <ms>           the signal arrived
//   stopped <ms>            tracking stopped; main returns
// <ms> counts from the start of the program.
//   logging_host ROOT REST_URL WS_URL   (gpsd: PELK_GPSD_HOST, PELK_GPSD_PORT)

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "pelk/Pelk.h"
#include "platform/AppInfo.h"
#include "platform/Paths.h"

using namespace pelk;
using namespace std::chrono_literals;

namespace {

const auto gStart = std::chrono::steady_clock::now();
std::mutex gOut;

long long ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - gStart).count();
}

void say(const std::string& what, long long n = -1) {
  std::lock_guard lock(gOut);
  if (n >= 0) {
    std::printf("%s %lld %lld\n", what.c_str(), n, ms());
  } else {
    std::printf("%s %lld\n", what.c_str(), ms());
  }
  std::fflush(stdout);
}

class App : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation&) override { say("position", ++positions_); }

 private:
  std::atomic<long long> positions_{0};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ROOT REST_URL WS_URL\n", argv[0]);
    return 2;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // before any thread: only sigwait takes them

  platform::Paths::setRoot(argv[1]);
  platform::AppInfo::setBundleId("net.example.logging-host");
  Pelk::setLoggerEnabled(true);
  Pelk::setDelegate(std::make_shared<App>());
  Pelk::initialize("pk-logging-host", std::string(argv[2]), std::string(argv[3]));

  // The user; a start-up still fetching its token may refuse the first try.
  std::optional<std::string> userId;
  for (int attempt = 0; attempt < 10 && !userId; ++attempt) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Pelk::createUser("logging host", [&](std::shared_ptr<PelkUser> user, std::optional<PelkError>) {
      std::lock_guard lock(m);
      if (user) userId = user->userId();
      done = true;
      cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait_for(lock, 10s, [&] { return done; });
    if (!userId) std::this_thread::sleep_for(500ms);
  }
  if (!userId) {
    std::fprintf(stderr, "no user\n");
    return 1;
  }
  Pelk::subscribe(PelkSubscribe::location, *userId);
  Pelk::startTracking(PelkTrackingMode::active);
  Pelk::publishSave();
  say("ready");

  std::atomic<bool> stop{false};
  // A reply may still arrive after main returned: its count is not on main's stack.
  static std::atomic<long long> replies{0};
  std::thread rest([&] {
    while (!stop.load()) {
      Pelk::getUser(*userId, [](std::shared_ptr<PelkUser>, std::optional<PelkError>) {
        const long long n = ++replies;
        if (n % 10 == 0) say("rest", n);
      });
      std::this_thread::sleep_for(50ms);
    }
  });

  int signal = 0;
  sigwait(&stopSignals, &signal);
  say("stopping");
  stop = true;
  rest.join();
  Pelk::stopTracking();
  Pelk::setDelegate(nullptr);
  say("stopped");
  return 0;
}
