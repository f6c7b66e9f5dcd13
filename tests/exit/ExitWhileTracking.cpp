// Returns from main while active tracking runs: positions still queued for the
// main queue, the sink buffering them offline, the app's delegate set.  Under
// the sanitizers a delivery touching a destroyed static fails the run.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "pelk/Pelk.h"
#include "platform/AppInfo.h"
#include "platform/Clock.h"
#include "platform/LocationServices.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"

using namespace pelk;
using namespace std::chrono_literals;

namespace {

std::atomic<long> gHeard{0};

class App : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation& location) override {
    if (!location.activity().empty()) ++gHeard;
  }
};

}  // namespace

int main(int argc, char** argv) {
  platform::Paths::setRoot(argc > 1 ? argv[1] : "exit-tracking-root");
  platform::AppInfo::setBundleId("net.example.exit-while-tracking");
  auto& sim = platform::LocationServices::useSimulatedProvider();
  sim.setServicesEnabled(true);
  sim.setAuthorization(platform::AuthorizationStatus::authorizedAlways);
  platform::Reachability::useTestFlags(0u);  // offline: every position goes to the buffer
  TokenManager::setSdkToken("tok");
  TokenManager::setUserId("u1");
  SharedUtil::setDefaultBoolean(true, kOfflineTracking);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  Pelk::setDelegate(std::make_shared<App>());
  Pelk::initialize("pk");
  // "interval": custom interval tracking, whose repeating timer is pending at the exit.
  const bool interval = argc > 2 && std::string(argv[2]) == "interval";
  if (interval) {
    PelkTrackingCustomMethods options;
    options.updateInterval = 1;
    Pelk::startTracking(PelkTrackingMode::custom, options);
  } else {
    Pelk::startTracking(PelkTrackingMode::active);
  }
  const long wanted = interval ? 2 : 20;

  double lat = 52.5;
  const auto until = std::chrono::steady_clock::now() + 10s;
  // Deliver until the app has heard a few, then a burst left queued at the exit.
  while (gHeard.load() < wanted && std::chrono::steady_clock::now() < until) {
    platform::Location fix;
    fix.coordinate = {lat += 0.001, 13.4};
    fix.horizontalAccuracy = 10;
    fix.timestamp = platform::Clock::now();
    const long before = gHeard.load();
    sim.deliverFix(fix);
    // The next position once this one was heard (or, before the start reached
    // the location manager, was dropped).
    const auto next = std::chrono::steady_clock::now() + 50ms;
    while (gHeard.load() == before && std::chrono::steady_clock::now() < next) std::this_thread::yield();
  }
  for (int i = 0; i < 500; ++i) {
    platform::Location fix;
    fix.coordinate = {lat += 0.001, 13.4};
    fix.horizontalAccuracy = 10;
    fix.timestamp = platform::Clock::now();
    sim.deliverFix(fix);
  }
  std::printf("returning from main after %ld positions heard\n", gHeard.load());
  return gHeard.load() > 0 ? 0 : 1;
}
