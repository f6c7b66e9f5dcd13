// A host tracking at 1 Hz with MQTT up, for its peak resident set.  Prints
// "<peak kB> <positions> <own resident kB>" after SECONDS of tracking:
//   pelk_bench_host kit FOLDER BASE_URL WS_URL GPSD_PORT SECONDS
//     the kit as the demo host drives it: start-up against the REST service,
//     a new user, publishing on, active tracking of gpsd's fixes; positions
//     are those the app was handed
//   pelk_bench_host_bare bare FOLDER BASE_URL WS_URL GPSD_PORT SECONDS
//     the same job without the kit: gpsd's fixes read with libgps, each one
//     published as JSON with the Paho client (QoS 1, acknowledged)
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef PELK_BENCH_BARE
#include <gps.h>

#include <nlohmann/json.hpp>

#include "BarePaho.h"
#else
#include "KitSetup.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "pelk/Pelk.h"
#include "platform/LocationServices.h"
#endif

#ifdef PELK_BENCH_BARE
constexpr const char* kMode = "bare";
constexpr const char* kTopic = "locations/a1/p1/bare-host";
#else
constexpr const char* kMode = "kit";
#endif

namespace {

using namespace std::chrono_literals;

// A figure of /proc/self/status in kB ("VmHWM:" the peak resident set,
// "RssAnon:" the resident memory of the program's own, not of mapped files).
long statusKb(const std::string& field) {
  // The peak of this program's own memory: getrusage() would also count the
  // peak of the process that started it, which the exec does not reset.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
  }
  return -1;
}

void printFigures(long positions) {
  std::printf("%ld %ld %ld\n", statusKb("VmHWM:"), positions, statusKb("RssAnon:"));
  std::fflush(stdout);
}

template <class F>
bool waitUntil(F done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

#ifndef PELK_BENCH_BARE
class CountingDelegate : public pelk::PelkDelegate {
 public:
  void didUpdateLocation(const pelk::PelkLocation&) override { count.fetch_add(1); }
  void onError(const pelk::PelkError& e) override { std::fprintf(stderr, "kit error: %s\n", e.message().c_str()); }
  std::atomic<long> count{0};
};

int track(const std::string& folder, const std::string& baseUrl, const std::string& wsUrl, const std::string& port,
          int seconds) {
  using namespace pelk;
  bench::pointKitAt(folder);
  platform::LocationServices::useGpsdProvider({"127.0.0.1", port, 100ms, 1s});
  auto app = std::make_shared<CountingDelegate>();
  Pelk::setDelegate(app);
  Pelk::initialize("pk-bench", baseUrl, wsUrl);
  if (!waitUntil([] { return !TokenManager::getSDKToken().empty(); }, 15s)) {
    std::fprintf(stderr, "no SDK token from %s\n", baseUrl.c_str());
    return 1;
  }
  std::atomic<int> created{-1};
  Pelk::createUser("bench host",
                   [&](std::shared_ptr<PelkUser> user, std::optional<PelkError>) { created.store(user ? 1 : 0); });
  if (!waitUntil([&] { return created.load() >= 0; }, 15s) || created.load() != 1) {
    std::fprintf(stderr, "no user created\n");
    return 1;
  }
  // The app listens to its own positions and publishes them; the account's
  // shadow, which would allow publishing, has no service here.
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  TokenManager::setPubSubState(true);
  Pelk::publishSave();
  Pelk::startTracking(PelkTrackingMode::active);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  printFigures(app->count.load());
  // The kit's threads end with the process; nothing of it is torn down here.
  std::_Exit(0);
}
#else
int track(const std::string&, const std::string&, const std::string& wsUrl, const std::string& port, int seconds) {
  pelk::bench::BarePaho mqtt(wsUrl, "bare-host");
  gps_data_t gps{};
  if (gps_open("127.0.0.1", port.c_str(), &gps) != 0) {
    std::fprintf(stderr, "no gpsd on port %s\n", port.c_str());
    return 1;
  }
  gps_stream(&gps, WATCH_ENABLE | WATCH_JSON, nullptr);
  long published = 0;
  double lastTime = NAN;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (!gps_waiting(&gps, 200000)) continue;
    if (gps_read(&gps, nullptr, 0) <= 0) continue;
    if (gps.fix.mode < MODE_2D || !std::isfinite(gps.fix.latitude) || !std::isfinite(gps.fix.longitude)) continue;
    const double t = static_cast<double>(gps.fix.time.tv_sec) + gps.fix.time.tv_nsec * 1e-9;
    if (t == lastTime) continue;  // one message per fix, not per sentence
    lastTime = t;
    nlohmann::json m{{"latitude", gps.fix.latitude},
                     {"longitude", gps.fix.longitude},
                     {"altitude", std::isfinite(gps.fix.altMSL) ? gps.fix.altMSL : 0.0},
                     {"speed", std::isfinite(gps.fix.speed) ? gps.fix.speed * 3.6 : 0.0},
                     {"course", std::isfinite(gps.fix.track) ? gps.fix.track : 0.0},
                     {"horizontal_accuracy", std::isfinite(gps.fix.eph) ? gps.fix.eph : 0.0},
                     {"recorded_at", std::to_string(gps.fix.time.tv_sec)}};
    if (mqtt.publishAcknowledged(kTopic, m.dump())) ++published;
  }
  gps_stream(&gps, WATCH_DISABLE, nullptr);
  gps_close(&gps);
  printFigures(published);
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 || std::string(argv[1]) != kMode) {
    std::fprintf(stderr, "usage: %s %s FOLDER BASE_URL WS_URL GPSD_PORT SECONDS\n", argv[0], kMode);
    return 2;
  }
  try {
    return track(argv[2], argv[3], argv[4], argv[5], std::atoi(argv[6]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
