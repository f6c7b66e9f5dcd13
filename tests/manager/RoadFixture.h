#pragma once

// The manager on the whole road to the broker: the recording tracking modes,
// a fresh MQTT state with its offline buffer handed to the sending side, and
// tracking that starts as on a first launch.  Tracking is stopped and the
// replay awaited before the MQTT state is reset.

#include <memory>

#include "manager/ManagerFixture.h"
#include "messaging/LocationSending.h"
#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "messaging/MqttTestSetup.h"
#include "platform/Dispatch.h"
#include "storage/MQTTDataStorageManager.h"
#include "support/WaitFor.h"
#include "tracking/BaseCLManager.h"
#include "tracking/PelkActiveTracking.h"

namespace pelk::test {

class RoadTest : public ManagerTest {
 protected:
  RoadTest() {
    manager().setTrackingModes(defaultTrackingModes());
    buffer_ = resetMqttForTest();
    sending::links::offlineBuffer.set([buffer = buffer_] { return buffer; });
    BaseCLManager::sharedInstance().resetForTesting();
    PelkActiveTracking::shareInstance().resetFirstCallForTesting();
  }
  ~RoadTest() override {
    stopTracking();
    auto& m = MQTTManager::sharedInstance();
    waitFor([&] { return !m.replayRunning(); });
    m.resetForTesting();
    BaseCLManager::sharedInstance().resetForTesting();
    sending::links::offlineBuffer.reset();
    MQTTUtilis::resetForTesting();
  }

  // Stops tracking and lets the stop run; stopping again does nothing more.
  static void stopTracking() {
    PelkActiveTracking::shareInstance().stopTracking();
    platform::Dispatch::drainMain();
  }

  std::shared_ptr<MQTTDataStorageManager> buffer_;
};

}  // namespace pelk::test
