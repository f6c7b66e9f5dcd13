#pragma once

// Shared by the messaging suites: fixed device readings, stored ids and event
// switches, a virtual clock, and a broker stand-in that records what reaches it.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationSending.h"
#include "platform/Clock.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/StorageFixture.h"

namespace pelk::test {

// 2024-03-01T12:00:00.000Z
inline const platform::TimePoint kNow = platform::Clock::fromSecondsSince1970(1709294400.0);
inline constexpr const char* kNowText = "2024-03-01T12:00:00.000Z";

// What the broker stand-in saw; the connection is up or down as told, and a
// publish is accepted or declined as told.
class FakeBroker {
 public:
  void install(std::shared_ptr<MQTTDataStorageManager> buffer = nullptr) {
    sending::links::connected.set([this] {
      std::lock_guard lock(mutex_);
      return connected_;
    });
    sending::links::publish.set([this](const std::string& text, std::function<void(bool)> handler) {
      bool accept;
      {
        std::lock_guard lock(mutex_);
        messages_.push_back(text);
        accept = accept_;
      }
      handler(accept);
    });
    sending::links::connect.set([this] { record("connect"); });
    sending::links::disconnect.set([this] { record("disconnect"); });
    if (buffer) {
      sending::links::offlineBuffer.set([buffer] { return buffer; });
    } else {
      sending::links::offlineBuffer.reset();
    }
  }
  void set(bool connected, bool accept) {
    std::lock_guard lock(mutex_);
    connected_ = connected;
    accept_ = accept;
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // Each connect or disconnect, with the location-publisher switch as it was then.
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(const std::string& what) {
    const bool publisher = SharedUtil::getDefaultBoolean(KLocationPublisher);
    std::lock_guard lock(mutex_);
    calls_.push_back(what + (publisher ? " (publisher on)" : " (publisher off)"));
  }

  mutable std::mutex mutex_;
  bool connected_ = true;
  bool accept_ = true;
  std::vector<std::string> messages_;
  std::vector<std::string> calls_;
};

class LocationMessageTest : public StorageTest {
 protected:
  LocationMessageTest() {
    platform::Clock::useVirtual(kNow);
    buffer_ = std::make_shared<MQTTDataStorageManager>(PelkCoreDataStack().managedObjectContext(), &device_);
  }
  ~LocationMessageTest() override {
    platform::resetAllLinks();
    platform::Clock::useSystem();
  }

  // A user with ids, event switches and the balanced tracking mode.
  void storeUser() {
    SharedUtil::setDefaultString("u-42", kUserId);
    SharedUtil::setDefaultString("app-7", kUserAppId);
    SharedUtil::setDefaultBoolean(true, kLocationEvents);
    SharedUtil::setDefaultBoolean(false, kGeofenceEvents);
    SharedUtil::setDefaultBoolean(true, kTripEvents);
    SharedUtil::setDefaultBoolean(false, kNearbyEvents);
    SharedUtil::setDefaultBoolean(true, kLocationListener);
    SharedUtil::setDefaultBoolean(false, kEventListener);
    SharedUtil::setDefaultInteger(2, kTrackingOption);
  }

  static std::vector<std::string> keysOf(const nlohmann::json& object) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : object.items()) keys.push_back(k);
    return keys;
  }

  std::shared_ptr<MQTTDataStorageManager> buffer_;
  FakeBroker broker_;
};

}  // namespace pelk::test
