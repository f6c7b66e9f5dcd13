// Returns from main while kit work runs on every kind of queue and more is
// queued.  Built with the sanitizers, any task that touches a static object
// the exit has already destroyed (or a queue that is gone) fails the run.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceInfo.h"
#include "network/Endpoints.h"
#include "network/NetworkLinks.h"
#include "platform/AppInfo.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "storage/PelkTripStorageManager.h"

using namespace pelk;
using namespace std::chrono_literals;

namespace {

std::atomic<long> gRounds{0};
// Serial queues released only by the static destruction after the exit.
std::vector<std::shared_ptr<pelk::platform::Queue>> gKept;

// One round of what kit tasks read: app id, paths, settings suite, links, base
// URL and endpoint tables.
void readKitState() {
  std::string text = platform::AppInfo::bundleId() + platform::Paths::documents() + GetBaseUrl::getBaseUr() +
                     rawValue(MethodUrls::USER_GET_URL) + HTTPMethod::post().rawValue;
  bool links = network::links::startTracking.isSet() || tripstore::links::syncTrip.isSet() ||
               device::links::applicationState.isSet();
  if (text.empty() && links) std::puts("");
  ++gRounds;
}

// A task that does a little work and posts itself again, for ever.
void keepBusy(platform::Queue& queue) {
  queue.async([&queue] {
    for (int i = 0; i < 20; ++i) readKitState();
    keepBusy(queue);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : "exit-root";
  platform::Paths::setRoot(root);
  platform::AppInfo::setBundleId("net.example.exit-with-kit-work");

  for (int i = 0; i < 6; ++i) keepBusy(platform::Dispatch::global());
  keepBusy(platform::Dispatch::main());

  // Serial queues that outlive main...
  for (int i = 0; i < 3; ++i) {
    gKept.push_back(platform::Dispatch::makeSerial("exit.kept"));
    keepBusy(*gKept.back());
  }
  // ...and ones released when main returns, with due and delayed work queued
  // and a timer ticking.
  std::vector<std::shared_ptr<platform::Queue>> released;
  std::vector<std::shared_ptr<platform::Timer>> timers;
  for (int i = 0; i < 3; ++i) {
    auto queue = platform::Dispatch::makeSerial("exit.released");
    for (int j = 0; j < 50; ++j) queue->async([] { readKitState(); });
    queue->asyncAfter(platform::seconds(3600), [] { readKitState(); });
    timers.push_back(platform::Dispatch::scheduleRepeating(*queue, platform::seconds(0.001), [] { readKitState(); }));
    released.push_back(queue);
  }
  platform::Dispatch::global().asyncAfter(platform::seconds(0.05), [] { readKitState(); });

  // Let the work get going, then leave with all of it still running.
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (gRounds.load() < 20000 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  std::printf("returning from main after %ld rounds\n", gRounds.load());
  return 0;
}
