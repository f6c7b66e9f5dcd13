// The location sink on the kit's own MQTT connection and a local broker:
// positions published live, buffered while the broker is away, replayed when
// it is back, none lost.

#include <set>

#include "messaging/LocationSending.h"
#include "messaging/MessagingFixture.h"
#include "network/Reachability.h"
#include "platform/Reachability.h"
#include "tracking/LocationDataManager.h"
#include "tracking/TrackingHooks.h"

namespace pelk::test {
namespace {

constexpr const char* kOwnTopic = "locations/a1/p1/u1";

class SinkOnBrokerTest : public MessagingTest {
 protected:
  SinkOnBrokerTest() {
    platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
    LocationSendingHooks h;
    h.offlineBuffer = buffer_.get();  // the buffer the connection replays from
    setLocationSendingHooks(h);
    TrackingHooks t;
    t.updateLocation = [this](const platform::Location&, const std::string&) {
      std::lock_guard lock(mutex_);
      ++delivered_;
    };
    setTrackingHooks(t);
  }
  ~SinkOnBrokerTest() override {
    setTrackingHooks({});
    setLocationSendingHooks({});
    platform::Reachability::useSystemFlags();
  }
  void send(const std::string& id, double lat) {
    platform::Location fix;
    fix.coordinate = {lat, 13.4};
    fix.horizontalAccuracy = 10;
    fix.timestamp = platform::Clock::now();
    LocationDataManager::sharedInstance().sendDataServer(fix, kMoving, false, 5, id);
  }
  // Location ids seen on the own topic, from live messages and replayed pages.
  void collect(const std::string& payload) {
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    std::lock_guard lock(mutex_);
    if (j.is_array()) {
      for (const auto& row : j) ids_.insert(row.value("location_id", ""));
    } else if (j.is_object()) {
      ids_.insert(j.value("location_id", ""));
    }
  }
  std::set<std::string> ids() {
    std::lock_guard lock(mutex_);
    return ids_;
  }

  std::mutex mutex_;
  std::set<std::string> ids_;
  int delivered_ = 0;
};

TEST_F(SinkOnBrokerTest, PositionsArePublishedBufferedWhileTheBrokerIsAwayAndReplayed) {
  MosquittoBroker broker({.users = {}, .persistence = true});
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  Observer observer(broker, /*persistent=*/true);
  ASSERT_TRUE(observer.waitConnected());
  observer.answer(kOwnTopic, [this](const std::string& payload) { collect(payload); });
  ASSERT_TRUE(waitFor([&] { return broker.log().find("observer") != std::string::npos; }));
  ASSERT_TRUE(connectTo(broker));

  const std::set<std::string> live = {"aaaaaaaaaaaaaaaaaaaaaa01", "aaaaaaaaaaaaaaaaaaaaaa02"};
  send("aaaaaaaaaaaaaaaaaaaaaa01", 52.50);
  send("aaaaaaaaaaaaaaaaaaaaaa02", 52.51);
  ASSERT_TRUE(waitFor([&] { return ids() == live; })) << ids().size();
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);

  broker.stop();
  ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
  send("bbbbbbbbbbbbbbbbbbbbbb01", 52.52);
  send("bbbbbbbbbbbbbbbbbbbbbb02", 52.53);
  EXPECT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 2; }));

  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }, std::chrono::seconds(20)))
      << broker.log();
  std::set<std::string> all = live;
  all.insert({"bbbbbbbbbbbbbbbbbbbbbb01", "bbbbbbbbbbbbbbbbbbbbbb02"});
  EXPECT_TRUE(waitFor([&] { return ids() == all; })) << ids().size();
  std::lock_guard lock(mutex_);
  EXPECT_EQ(delivered_, 4);
}

}  // namespace
}  // namespace pelk::test
