#include "CApiHarness.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "manager/PelkManager.h"
#include "network/APIClient.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/LocationServices.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/TestEnvironment.h"

using namespace pelk;

namespace {
struct Harness {
  test::TempDir dir;
  test::HttpTestServer server;
  std::string baseUrl;
  std::string unreachable;
  std::atomic<int> starts{0}, stops{0};
  platform::SimulatedLocationProvider* sim = nullptr;
  std::unique_ptr<test::GpsFake> gpsfake;
};
Harness* harness = nullptr;
}  // namespace

extern "C" {

const char* harness_start(void) {
  harness = new Harness();
  platform::Paths::setRoot(harness->dir.path());
  SharedUtil::setUserDefaultValue(platform::SettingsSuite::named(kUserDefaultsuiteName));
  TokenManager::clearMemoryForTesting();
  platform::Dispatch::useManualMainQueue();
  auto& sim = platform::LocationServices::useSimulatedProvider();
  harness->sim = &sim;
  sim.setServicesEnabled(true);
  sim.setAuthorization(platform::AuthorizationStatus::authorizedAlways);
  platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
  harness->baseUrl = harness->server.baseUrl();
  APIClient::resetBaseUrlForTesting();
  TrackingModes modes;
  modes.start = [](PelkTrackingModeLocal) { ++harness->starts; };
  modes.stop = [](PelkTrackingModeLocal) { ++harness->stops; };
  PelkManager::sharedInstance().resetForTesting();
  PelkManager::sharedInstance().setTrackingModes(modes);
  return harness->baseUrl.c_str();
}

void harness_stop(void) {
  platform::Dispatch::drainMain();
  PelkManager::sharedInstance().resetForTesting();
  platform::Reachability::useSystemFlags();
  SharedUtil::setUserDefaultValue(nullptr);
  platform::Paths::setRoot(std::nullopt);
  delete harness;
  harness = nullptr;
}

void harness_set_online(bool online) {
  platform::Reachability::setTestFlags(online ? std::optional<std::uint32_t>(platform::ReachabilityFlags::reachable)
                                              : std::optional<std::uint32_t>(0u));
}

void harness_use_base_url(const char* url) {
  SharedUtil::setDefaultString(url ? url : harness->baseUrl, KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
}

const char* harness_unreachable_base_url(void) {
  harness->unreachable = "http://127.0.0.1:" + std::to_string(test::HttpTestServer::unusedPort());
  return harness->unreachable.c_str();
}

void harness_forget_token(void) { TokenManager::setSdkToken(""); }

void harness_reply(const char* path, const char* json) {
  harness->server.setDefault(path, test::ScriptedReply::json(json));
}

size_t harness_request_count(const char* path) { return harness->server.requests(path).size(); }

void harness_drain_main(void) { platform::Dispatch::drainMain(); }

bool harness_wait_flag(const volatile int* flag) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    platform::Dispatch::drainMain();
    if (__atomic_load_n(flag, __ATOMIC_ACQUIRE)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int harness_mode_starts(void) { return harness->starts.load(); }
int harness_mode_stops(void) { return harness->stops.load(); }

long long harness_setting_integer(const char* key) {
  auto v = SharedUtil::userDefaultValue()->value(key);
  if (!v || v->kind() != platform::SettingValue::Kind::Integer) return -1;
  return *v->get<std::int64_t>();
}

void harness_deliver_fix(double latitude, double longitude) {
  platform::Location l;
  l.coordinate = {latitude, longitude};
  l.horizontalAccuracy = 1;
  l.timestamp = platform::Clock::now();
  harness->sim->deliverFix(l);
  platform::Dispatch::drainMain();
}

int harness_start_gpsfake(void) {
  if (!test::GpsFake::installed()) return 0;
  const int port = test::HttpTestServer::unusedPort();
  harness->gpsfake = std::make_unique<test::GpsFake>(port, false);
  return harness->gpsfake->started() ? port : 0;
}

void harness_stop_gpsfake(void) {
  auto& sim = platform::LocationServices::useSimulatedProvider();
  harness->sim = &sim;
  sim.setServicesEnabled(true);
  sim.setAuthorization(platform::AuthorizationStatus::authorizedAlways);
  platform::Dispatch::drainMain();
  harness->gpsfake.reset();
}

}  // extern "C"
