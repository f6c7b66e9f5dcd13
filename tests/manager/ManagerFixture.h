#pragma once

// The manager under test: manual main queue, the simulated location provider
// (services on, always authorized), a test network reading, a local REST
// server as the stored base URL and tracking modes that only record.

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "manager/Links.h"
#include "manager/PelkLocationDelegate.h"
#include "manager/PelkManager.h"
#include "messaging/MQTTUtilis.h"
#include "messaging/MessagingLinks.h"
#include "network/APIClient.h"
#include "network/NetworkLinks.h"
#include "network/TripRecording.h"
#include "pelk/Pelk.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/LocationServices.h"
#include "platform/Reachability.h"
#include "storage/PelkTripStorageManager.h"
#include "support/CallList.h"
#include "support/HandlerRecorder.h"
#include "support/HttpTestServer.h"
#include "support/KitFixture.h"
#include "support/WaitFor.h"
#include "tracking/SentFixes.h"
#include "tracking/TrackingLinks.h"
#include "support/FixBuilder.h"

namespace pelk::test {

inline std::string modeCall(const char* what, PelkTrackingModeLocal mode) {
  return std::string(what) + " " + std::to_string(rawValue(mode));
}

class ManagerTest : public SettingsTest {
 protected:
  ManagerTest() {
    platform::Dispatch::useManualMainQueue();
    platform::Application::resetForTesting();
    sim_ = &platform::LocationServices::useSimulatedProvider();
    sim_->setServicesEnabled(true);
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
    SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
    APIClient::resetBaseUrlForTesting();
    // The MQTT connection goes to a loopback port nobody listens on unless
    // the test gives its own broker: the built-in endpoint's host would be
    // looked up through the system's resolver, off this machine.
    MQTTUtilis::saveMqttEndpoint("ws://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort()) + "/mqtt");
    resetManager();
    // The virtual clock stands still between tests: a fix of an earlier test
    // may look like one of this test.
    SentFixes::shared().resetForTesting();
  }
  ~ManagerTest() override {
    platform::Dispatch::drainMain();
    Pelk::setDelegate(nullptr);
    manager().resetForTesting();
    // The next test's first touch of the kit installs them again, as in a
    // fresh process.
    resetLinksForTesting();
    platform::Dispatch::drainMain();
    platform::Reachability::useSystemFlags();
    APIClient::resetBaseUrlForTesting();
  }

  static PelkManager& manager() { return PelkManager::sharedInstance(); }

  void resetManager() {
    manager().resetForTesting();
    TrackingModes modes;
    modes.start = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("start", mode)); };
    modes.stop = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("stop", mode)); };
    manager().setTrackingModes(modes);
  }

  void setOnline(bool online) {
    platform::Reachability::setTestFlags(online ? std::optional<std::uint32_t>(platform::ReachabilityFlags::reachable)
                                                : std::optional<std::uint32_t>(0u));
  }
  void storeUser() {
    TokenManager::setSdkToken("tok");
    TokenManager::setUserId("u1");
    TokenManager::setAccountId("a1");
    TokenManager::setProjectId("p1");
  }
  // A fix of 20 m at `lat` taken now.
  static platform::Location fixAt(double lat) {
    return FixBuilder(lat, 13.4).accuracy(20).takenAt(platform::Clock::now());
  }
  // A fix from the simulated provider, and the main queue's turn it causes.
  void deliverFixAt(double lat) {
    sim_->deliverFix(fixAt(lat));
    platform::Dispatch::drainMain();
  }

  platform::SimulatedLocationProvider* sim_ = nullptr;
  std::shared_ptr<CallList> modes_ = std::make_shared<CallList>();
  HttpTestServer server_;
};

// A delegate that records what reaches the app.
class RecordingDelegate : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation& location) override {
    std::lock_guard lock(mutex);
    locations.push_back(location);
  }
  void didReceiveEvents(const PelkEvents& e) override {
    std::lock_guard lock(mutex);
    events.push_back(e.eventType().value_or(""));
  }
  void didReceiveUserLocation(const PelkLocationReceived& l) override {
    std::lock_guard lock(mutex);
    userLocations.push_back(l.userId().value_or(""));
  }
  void onError(const PelkError& e) override {
    std::lock_guard lock(mutex);
    errors.push_back(e);
  }
  std::size_t locationCount() {
    std::lock_guard lock(mutex);
    return locations.size();
  }

  std::mutex mutex;
  std::vector<PelkLocation> locations;
  std::vector<std::string> events;
  std::vector<std::string> userLocations;
  std::vector<PelkError> errors;
};

}  // namespace pelk::test
