#pragma once

// Tracking engine under test: manual main queue and virtual clock, the
// simulated location provider, a test network reading, a broker stand-in and
// a buffer of its own, and recording tracking links.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "messaging/LocationSending.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/LocationServices.h"
#include "platform/Reachability.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "support/KitFixture.h"
#include "tracking/BaseCLManager.h"
#include "tracking/LocationCounters.h"
#include "tracking/PermissionCheck.h"
#include "tracking/SentFixes.h"
#include "tracking/TrackingLinks.h"
#include "support/FixBuilder.h"

namespace pelk::test {

using namespace std::chrono_literals;

struct TrackingRecord {
  std::mutex mutex;
  std::vector<std::pair<platform::Location, std::string>> delivered;  // updateLocation
  std::vector<std::string> published;
  int stops = 0;
  int pauses = 0;
  bool connected = true;
  bool publishResult = true;
  bool appStateAllows = true;
};

inline platform::Location fixAt(double lat, double lon, double accuracy,
                                platform::TimePoint when = platform::Clock::now()) {
  return FixBuilder(lat, lon).accuracy(accuracy).takenAt(when);
}

// The readings the tracking layer gives the device layer, and its watch on
// the location service, wired as the kit wires them at its first use.
inline void linkTrackingReadings() {
  tracking::giveDeviceReadings();
  PelkLocationGpsData::watchServiceAvailability();
}

class TrackingTest : public SettingsTest {
 protected:
  TrackingTest() {
    platform::Dispatch::useManualMainQueue();
    sim_ = &platform::LocationServices::useSimulatedProvider();
    platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
    PelkCoreDataStack stack;
    buffer_ = std::make_shared<MQTTDataStorageManager>(stack.managedObjectContext());
    sending::links::connected.set([r = rec_] {
      std::lock_guard lock(r->mutex);
      return r->connected;
    });
    sending::links::publish.set([r = rec_](const std::string& message, std::function<void(bool)> handler) {
      bool ok;
      {
        std::lock_guard lock(r->mutex);
        ok = r->publishResult;
        if (ok) r->published.push_back(message);
      }
      if (handler) handler(ok);
    });
    sending::links::offlineBuffer.set([buffer = buffer_] { return buffer; });
    tracking::links::updateLocation.set([r = rec_](const platform::Location& fix, const std::string& activity) {
      std::lock_guard lock(r->mutex);
      r->delivered.emplace_back(fix, activity);
    });
    tracking::links::stopTracking.set([r = rec_] {
      std::lock_guard lock(r->mutex);
      ++r->stops;
    });
    tracking::links::checkAppTrackingState.set([r = rec_] {
      std::lock_guard lock(r->mutex);
      return r->appStateAllows;
    });
    tracking::links::pauseTracking.set([r = rec_] {
      std::lock_guard lock(r->mutex);
      ++r->pauses;
    });
    linkTrackingReadings();
    BaseCLManager::sharedInstance().resetForTesting();
    // The virtual clock stands still between tests: a fix of an earlier test
    // may look like one of this test.
    SentFixes::shared().resetForTesting();
  }
  ~TrackingTest() override {
    BaseCLManager::sharedInstance().resetForTesting();
    platform::Dispatch::drainMain();
    platform::resetAllLinks();
    platform::Reachability::useSystemFlags();
  }

  void setOnline(bool online) {
    platform::Reachability::setTestFlags(online ? std::optional<std::uint32_t>(platform::ReachabilityFlags::reachable)
                                                : std::optional<std::uint32_t>(0u));
  }
  std::size_t deliveredCount() {
    std::lock_guard lock(rec_->mutex);
    return rec_->delivered.size();
  }
  std::size_t publishedCount() {
    std::lock_guard lock(rec_->mutex);
    return rec_->published.size();
  }
  int stops() {
    std::lock_guard lock(rec_->mutex);
    return rec_->stops;
  }
  int pauses() {
    std::lock_guard lock(rec_->mutex);
    return rec_->pauses;
  }
  // The activity letters of what reached the app, in order.
  std::vector<std::string> activities() {
    std::lock_guard lock(rec_->mutex);
    std::vector<std::string> out;
    for (auto& d : rec_->delivered) out.push_back(d.second);
    return out;
  }
  // Delivers one fix through the provider and runs the main queue.
  void deliver(double lat, double accuracy = 20) {
    sim_->deliverFix(fixAt(lat, 13.4, accuracy));
    platform::Dispatch::drainMain();
  }

  platform::SimulatedLocationProvider* sim_ = nullptr;
  std::shared_ptr<TrackingRecord> rec_ = std::make_shared<TrackingRecord>();
  std::shared_ptr<MQTTDataStorageManager> buffer_;
};

}  // namespace pelk::test
