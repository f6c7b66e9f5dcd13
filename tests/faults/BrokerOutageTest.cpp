// Live tracking on a real road: gpsfake plays a recorded route into gpsd, the
// kit tracks it and publishes to a local mosquitto, and the broker is stopped
// and started again on the same port while positions keep coming.  Every
// position the kit took must reach the service side, live or replayed.  And
// how soon the kit is connected again once the broker accepts connections,
// on its own and when the network comes back.

#include <chrono>
#include <iostream>
#include <thread>

#include "FaultFixture.h"
#include "manager/ManagerFixture.h"
#include "manager/RoadFixture.h"
#include "messaging/LocationSending.h"
#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "messaging/MqttTestSetup.h"
#include "platform/GpsdLocationProvider.h"
#include "storage/MQTTDataStorageManager.h"
#include "support/GpsFake.h"
#include "tracking/BaseCLManager.h"
#include "tracking/PelkActiveTracking.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

class BrokerOutageTest : public RoadTest {
 protected:
  void SetUp() override {
    if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
    gpsdPort_ = HttpTestServer::unusedPort();
    ASSERT_GT(gpsdPort_, 0);
    platform::LocationServices::useProvider(std::make_shared<platform::GpsdLocationProvider>(
        platform::GpsdConfig{"127.0.0.1", std::to_string(gpsdPort_), 50ms, 400ms}));
  }
  ~BrokerOutageTest() override {
    // Tracking stops before gpsd's provider goes.
    stopTracking();
    platform::LocationServices::useSimulatedProvider();
  }

  static bool connected() { return MQTTManager::sharedInstance().connected(); }

  int gpsdPort_ = -1;
};

TEST_F(BrokerOutageTest, EveryPositionTakenIsDeliveredWhenTheBrokerComesBack) {
  const auto began = std::chrono::steady_clock::now();
  const auto elapsedMs = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
  };
  MosquittoBroker broker({.users = {}, .persistence = true});
  PositionTally service(broker, "locations/a1/p1/u1");
  ASSERT_TRUE(service.waitSubscribed());
  GpsFake gps(gpsdPort_, /*once=*/false);  // the route over and over
  ASSERT_TRUE(gps.started());

  storeUser();
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  // The app hears of each position taken: that is the count to account for.
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  auto app = std::make_shared<RecordingDelegate>();
  Pelk::setDelegate(app);
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor(connected, 15s)) << broker.log();
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  ASSERT_TRUE(Pelk::isLocationTracking());

  // A few positions go out live.
  constexpr std::size_t kPerPhase = 4;
  ASSERT_TRUE(waitFor([&] { return app->locationCount() >= kPerPhase; }, 30s)) << app->locationCount();
  ASSERT_TRUE(waitFor([&] { return service.unique() >= 1; }));

  // The broker goes; positions keep coming and are buffered.
  const auto firstLiveMs = elapsedMs();
  broker.stop();
  const std::size_t takenAtStop = app->locationCount();
  ASSERT_TRUE(waitFor([&] { return !connected(); }));
  ASSERT_TRUE(waitFor([&] { return app->locationCount() >= takenAtStop + kPerPhase; }, 30s));
  const std::int64_t buffered = buffer_->getOfflineLocationCount();
  EXPECT_GT(buffered, 0);

  // It comes back on the same port while tracking goes on.
  const auto stopMs = elapsedMs();
  ASSERT_TRUE(broker.start());
  const std::size_t takenAtStart = app->locationCount();
  ASSERT_TRUE(waitFor(connected, 20s)) << broker.log();
  const auto reconnectMs = elapsedMs();
  ASSERT_TRUE(waitFor([&] { return app->locationCount() >= takenAtStart + kPerPhase; }, 30s));
  Pelk::stopTracking();
  platform::Dispatch::drainMain();
  const std::size_t taken = app->locationCount();

  const bool drained =
      waitFor([&] { return buffer_->getOfflineLocationCount() == 0 && service.unique() >= taken; }, 30s);
  const auto f = service.figures();
  const std::size_t lost = taken > f.unique ? taken - f.unique : 0;
  std::cout << "[" << buildFlavour() << "] broker outage during live tracking: positions taken " << taken
            << ", buffered while the broker was away " << buffered << ", " << f << ", lost " << lost
            << ", left in the buffer " << buffer_->getOfflineLocationCount() << "; broker stopped at " << firstLiveMs
            << " ms, started at " << stopMs << " ms, kit connected again at " << reconnectMs << " ms, drained at "
            << elapsedMs() << " ms\n";
  EXPECT_TRUE(drained);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(f.unique, taken) << "a position arrived that the kit did not take";
  EXPECT_GE(f.replayed, 1u) << "the buffered positions were not replayed";
  EXPECT_LE(f.duplicates, static_cast<std::size_t>(MQTTDataStorageManager::kPageSize));
}

// The kit's connection with a real broker that goes away and comes back,
// with no tracking around it: how soon the kit is connected again.
class BrokerReturnTest : public RoadTest {
 protected:
  BrokerReturnTest() {
    storeUser();
    TokenManager::setPubSubState(true);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  }

  static bool connected() { return MQTTManager::sharedInstance().connected(); }
  static void useRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds max) {
    MQTTManager::Tuning tuning;
    tuning.firstRetryDelay = first;
    tuning.maxRetryDelay = max;
    MQTTManager::sharedInstance().setTuning(tuning);
  }
  // Milliseconds until the kit is connected, at most `limit` (then -1).
  static long long msUntilConnected(std::chrono::milliseconds limit) {
    const auto from = std::chrono::steady_clock::now();
    if (!waitFor(connected, limit)) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from).count();
  }
};

TEST_F(BrokerReturnTest, KitIsConnectedWithinFiveSecondsOfTheBrokerAcceptingAgain) {
  // The kit's own retry timing, not the shortened one of the other tests.
  const MQTTManager::Tuning kit;
  useRetryDelays(kit.firstRetryDelay, kit.maxRetryDelay);
  MosquittoBroker broker;
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor(connected, 15s)) << broker.log();

  // Away long enough for retry waits that kept doubling from 1 s to have
  // grown well past 5 s.
  broker.stop();
  ASSERT_TRUE(waitFor([] { return !connected(); }));
  std::this_thread::sleep_for(12s);
  ASSERT_TRUE(broker.start());
  const long long ms = msUntilConnected(15s);
  std::cout << "[" << buildFlavour() << "] broker back after 12 s away, kit connected again in " << ms << " ms\n";
  EXPECT_GE(ms, 0) << broker.log();
  EXPECT_LE(ms, 5000);
}

TEST_F(BrokerReturnTest, NetworkComingBackTriesTheBrokerAtOnce) {
  // Retry waits far longer than the test: only the network's return can
  // bring the connection back in time.
  useRetryDelays(60s, 60s);
  MosquittoBroker broker;
  broker.stop();
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor([] {
    return MQTTManager::sharedInstance().connectState() == static_cast<int>(platform::MqttStatus::connectionError);
  }));

  setOnline(false);
  platform::Dispatch::drainMain();
  ASSERT_TRUE(broker.start());
  setOnline(true);
  EXPECT_GE(msUntilConnected(5s), 0) << broker.log();
}

}  // namespace
}  // namespace pelk::test
