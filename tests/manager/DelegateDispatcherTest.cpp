#include "ManagerFixture.h"

#include "foundation/DateExtensions.h"
#include "platform/Clock.h"
#include "storage/MQTTDataStorageManager.h"
#include "tracking/LocationDataManager.h"
#include "support/FixBuilder.h"

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

namespace pelk::test {
namespace {

using json = nlohmann::json;

class DelegateDispatcherTest : public ManagerTest {
 protected:
  DelegateDispatcherTest() { Pelk::setDelegate(app_); }
  static platform::Location fix() {
    return FixBuilder(52.5, 13.4).accuracy(10).takenAt(platform::Clock::now() - std::chrono::hours(1));
  }
  std::shared_ptr<RecordingDelegate> app_ = std::make_shared<RecordingDelegate>();
};

TEST_F(DelegateDispatcherTest, PositionsFollowTheListenerAndPublisherSwitches) {
  struct Case {
    bool listener, publisher;
    std::size_t delivered;
    std::int64_t counted;
  };
  const std::vector<Case> cases = {{false, false, 0, 0}, {true, false, 1, 1}, {true, true, 1, 0}};
  for (const auto& c : cases) {
    SharedUtil::resetDefaults();
    app_->locations.clear();
    SharedUtil::setDefaultBoolean(c.listener, kLocationListenerSubscribe);
    SharedUtil::setDefaultBoolean(c.publisher, KLocationPublisher);
    PelkLocationDelegate::sharedInstance().updateLocation(fix(), "M");
    EXPECT_EQ(app_->locations.size(), c.delivered) << c.listener << c.publisher;
    EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), c.counted) << c.listener << c.publisher;
  }
}

TEST_F(DelegateDispatcherTest, DeliveredPositionCarriesUserActivityAndItsOwnRecordingTime) {
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  PelkLocationDelegate::sharedInstance().updateLocation(fix(), "S");
  TokenManager::setUserId("u7");
  PelkLocationDelegate::sharedInstance().updateLocation(fix(), "M");
  ASSERT_EQ(app_->locations.size(), 2u);
  EXPECT_EQ(app_->locations[0].userId(), "");
  EXPECT_EQ(app_->locations[0].activity(), "S");
  EXPECT_EQ(app_->locations[1].userId(), "u7");
  EXPECT_EQ(app_->locations[1].location().coordinate.latitude, 52.5);
  EXPECT_NE(app_->locations[1].recordedAt(), iso8601(fix().timestamp));
}

TEST_F(DelegateDispatcherTest, EveryEventOfAMessageArrivesInOrder) {
  const json message = {{"events", json::array({{{"event_type", "a"}}, {{"event_type", "b"}}, {{"event_type", "c"}}})}};
  PelkLocationDelegate::sharedInstance().didReceiveEvents(message);
  EXPECT_EQ(app_->events, (std::vector<std::string>{"a", "b", "c"}));
  for (const json& bad : {json::object(), json{{"events", "x"}}, json{{"events", json::array()}}, json("text")}) {
    PelkLocationDelegate::sharedInstance().didReceiveEvents(bad);
  }
  EXPECT_EQ(app_->events.size(), 3u);
}

TEST_F(DelegateDispatcherTest, MessagesReachTheAppThroughTheInstalledLinks) {
  manager().intialize("pk");
  messaging::links::didReceiveEvents(json{{"events", json::array({{{"event_type", "enter"}}})}});
  messaging::links::didReceiveUserLocation(json{{"user_id", "other"}});
  network::links::didFail(PelkError("QB402", "x"));
  EXPECT_EQ(app_->events, std::vector<std::string>{"enter"});
  EXPECT_EQ(app_->userLocations, std::vector<std::string>{"other"});
  ASSERT_EQ(app_->errors.size(), 1u);
  EXPECT_EQ(app_->errors[0].code(), "QB402");
}

// An app delegate whose every callback throws.
class ThrowingDelegate : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation&) override { hit(); }
  void didReceiveEvents(const PelkEvents&) override { hit(); }
  void didReceiveUserLocation(const PelkLocationReceived&) override { hit(); }
  void didReceiveTripStatus(const PelkTripStatusListener&) override { hit(); }
  void onError(const PelkError&) override { hit(); }
  int calls = 0;

 private:
  void hit() {
    ++calls;
    throw std::runtime_error("app fault");
  }
};

TEST_F(DelegateDispatcherTest, ADelegateThatThrowsNeitherEscapesNorCostsThePositionOrLaterEvents) {
  auto app = std::make_shared<ThrowingDelegate>();
  Pelk::setDelegate(app);
  storeUser();
  manager().intialize("pk");
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kOfflineTracking);
  setOnline(false);
  auto& buffer = MQTTDataStorageManager::shared();
  buffer.deleteAllRecords();
  // Offline with offline tracking on: the position is buffered after the app hears of it.
  EXPECT_NO_THROW(
      LocationDataManager::sharedInstance().sendDataServer({fix(), kMoving, false, 0, "0123456789abcdef01234567"}));
  EXPECT_EQ(buffer.getOfflineLocationCount(), 1);
  EXPECT_EQ(app->calls, 1);
  const json events = {{"events", json::array({{{"event_type", "a"}}, {{"event_type", "b"}}})}};
  EXPECT_NO_THROW(messaging::links::didReceiveEvents(events));
  EXPECT_EQ(app->calls, 3);
  EXPECT_NO_THROW(messaging::links::didReceiveUserLocation(json{{"user_id", "other"}}));
  EXPECT_NO_THROW(network::links::didFail(PelkError("QB402", "x")));
  EXPECT_NO_THROW(tripstore::links::didReceiveTripStatus(PelkTripStatusListener("t", 0, 0, 0, "", 0, 0, 0)));
  EXPECT_EQ(app->calls, 6);
  buffer.deleteAllRecords();
}

// A delegate that calls back into the kit from inside a delivery.
class ReentrantDelegate : public PelkDelegate {
 public:
  explicit ReentrantDelegate(std::function<void()> call) : call_(std::move(call)) {}
  void didUpdateLocation(const PelkLocation&) override {
    ++calls;
    call_();
  }
  int calls = 0;

 private:
  std::function<void()> call_;
};

TEST_F(DelegateDispatcherTest, ADelegateMayStopTrackingOrLeaveFromInsideAPosition) {
  const struct {
    const char* name;
    std::function<void()> call;
    bool tracking;
    std::size_t stops;
    int secondDelivery;
  } cases[] = {
      {"stop tracking", [] { Pelk::stopTracking(); }, false, 1, 1},
      {"clear the delegate", [] { Pelk::setDelegate(nullptr); }, true, 0, 0},
      {"start again", [] { Pelk::startTracking(PelkTrackingMode::active); }, true, 0, 1},
  };
  storeUser();
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto app = std::make_shared<ReentrantDelegate>(c.call);
    Pelk::setDelegate(app);
    Pelk::startTracking(PelkTrackingMode::active);
    platform::Dispatch::drainMain();
    modes_->clear();
    PelkLocationDelegate::sharedInstance().updateLocation(fix(), "M");
    platform::Dispatch::drainMain();
    EXPECT_EQ(Pelk::isLocationTracking(), c.tracking);
    EXPECT_EQ(modes_->count(modeCall("stop", PelkTrackingModeLocal::active)), c.stops);
    PelkLocationDelegate::sharedInstance().updateLocation(fix(), "M");
    EXPECT_EQ(app->calls, 1 + c.secondDelivery);
    Pelk::setDelegate(nullptr);
  }
}

TEST_F(DelegateDispatcherTest, NoDelegateDropsDeliveriesAndSettingItAgainRestoresThem) {
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  Pelk::setDelegate(nullptr);
  EXPECT_EQ(Pelk::delegate(), nullptr);
  PelkLocationDelegate::sharedInstance().updateLocation(fix(), "M");
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), 1);  // still counted
  Pelk::setDelegate(app_);
  EXPECT_EQ(Pelk::delegate(), app_);
  PelkLocationDelegate::sharedInstance().updateLocation(fix(), "M");
  EXPECT_EQ(app_->locationCount(), 1u);
}

// Set from two threads at once, the delegate the app reads back is the one
// the kit reports to.  The replaced one goes with no lock of the kit held, so
// its own clean-up may ask the kit for the delegate.
TEST_F(DelegateDispatcherTest, TheDelegateReadBackIsTheOneThatHearsTheKitAndTheReplacedOneGoesFreely) {
  auto a = std::make_shared<RecordingDelegate>();
  auto b = std::make_shared<RecordingDelegate>();
  int split = 0;
  for (int round = 0; round < 100; ++round) {
    std::atomic<int> ready{0};
    auto set = [&](const std::shared_ptr<PelkDelegate>& d) {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      Pelk::setDelegate(d);
    };
    std::thread first(set, a), second(set, b);
    first.join();
    second.join();
    if (Pelk::delegate() != PelkLocationDelegate::sharedInstance().delegate()) ++split;
  }
  EXPECT_EQ(split, 0);

  struct AsksTheKitWhenItGoes : PelkDelegate {
    explicit AsksTheKitWhenItGoes(bool& s) : stillSet(s) {}
    ~AsksTheKitWhenItGoes() override { stillSet = Pelk::delegate() != nullptr; }
    void didUpdateLocation(const PelkLocation&) override {}
    bool& stillSet;
  };
  bool stillSet = false;
  Pelk::setDelegate(std::make_shared<AsksTheKitWhenItGoes>(stillSet));
  Pelk::setDelegate(app_);
  EXPECT_TRUE(stillSet);
  EXPECT_EQ(Pelk::delegate(), app_);
}

// A delegate with only the required member takes positions; the rest is dropped.
class PositionsOnly : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation&) override { ++positions; }
  int positions = 0;
};

TEST_F(DelegateDispatcherTest, DelegateWithOnlyPositionsIsSafe) {
  auto only = std::make_shared<PositionsOnly>();
  Pelk::setDelegate(only);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  auto& d = PelkLocationDelegate::sharedInstance();
  d.didReceiveEvents(json{{"events", json::array({json::object()})}});
  d.didReceiveUserLocation(json{{"user_id", "x"}});
  d.didFail(PelkError("QB500", "Network error"));
  d.updateLocation(fix(), "M");
  EXPECT_EQ(only->positions, 1);
}

}  // namespace
}  // namespace pelk::test
