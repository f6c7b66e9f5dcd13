#pragma once

// Puts the process's MQTT connection in a known state for a test against a
// local broker: no client, fixed credentials recomputed, short retry and
// acknowledgement times, and a fresh offline buffer, which it returns.

#include <chrono>
#include <memory>

#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"

namespace pelk::test {

inline std::shared_ptr<MQTTDataStorageManager> resetMqttForTest() {
  using namespace std::chrono_literals;
  MQTTUtilis::resetForTesting();
  auto& m = MQTTManager::sharedInstance();
  m.resetForTesting();
  MQTTManager::Tuning tuning;
  tuning.acknowledgementTimeout = 3s;
  tuning.firstRetryDelay = 50ms;
  tuning.maxRetryDelay = 200ms;
  m.setTuning(tuning);
  PelkCoreDataStack stack;
  auto buffer = std::make_shared<MQTTDataStorageManager>(stack.managedObjectContext());
  m.setOfflineBuffer(buffer);
  return buffer;
}

}  // namespace pelk::test
