// A signed-in kit whose positions all land in an offline buffer of the test's
// own, with a trip store in the test's folder: the ground of the trip and
// C API tests.
#pragma once

#include <memory>

#include "ManagerFixture.h"
#include "messaging/LocationSending.h"
#include "platform/Clock.h"
#include "support/LocalTrips.h"
#include "tracking/BaseCLManager.h"

namespace pelk::test {

class OfflineTripsTest : public ManagerTest {
 protected:
  OfflineTripsTest() {
    sending::links::connected.set([] { return false; });  // every position lands in the buffer
    sending::links::offlineBuffer.set([buffer = buffer_] { return buffer; });
    BaseCLManager::sharedInstance().resetForTesting();
    storeUser();
    TokenManager::setPublishKey("pk-1");
    manager().intialize("pk-1");
    SharedUtil::setDefaultBoolean(true, kOfflineTracking);
    server_.setDefault("/v3/location/update/", ScriptedReply::json(R"({"code":200,"msg":"ok"})"));
  }
  ~OfflineTripsTest() override {
    BaseCLManager::sharedInstance().resetForTesting();
    platform::Dispatch::drainMain();
    sending::links::connected.reset();
    sending::links::offlineBuffer.reset();
  }

  void deliver(double lat = 52.5) { deliverFixAt(lat); }

  LocalTrips trips_{dir_};
  const std::shared_ptr<MQTTDataStorageManager>& buffer_ = trips_.buffer();  // every position of the test
};

}  // namespace pelk::test
