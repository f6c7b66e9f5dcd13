#include <signal.h>

#include <atomic>
#include <set>

#include "MessagingFixture.h"
#include "messaging/MqttOfflineLocationUtils.h"
#include "platform/Console.h"
#include "platform/Location.h"
#include "support/FixBuilder.h"

namespace pelk::test {
namespace {

constexpr const char* kOwnTopic = "locations/a1/p1/u1";

class ReplayTest : public MessagingTest {
 protected:
  // Stores n positions and answers their location ids.
  std::set<std::string> buffer(int n, const std::string& activity = "M") {
    std::set<std::string> ids;
    for (int i = 0; i < n; ++i) {
      const platform::Location fix = test::FixBuilder(10.0 + i * 0.001, 20.0);
      EXPECT_TRUE(buffer_->saveLocationData({fix, activity, false, 3}));
    }
    for (std::int64_t offset = 0;; offset += MQTTDataStorageManager::kPageSize) {
      const auto rows = buffer_->fetchDeviceData(offset);
      if (rows.empty()) break;
      for (const auto& r : rows) ids.insert(r.location_id.value_or(""));
    }
    return ids;
  }

  // Every page received: its row count, and the location ids of all pages.
  struct Pages {
    std::mutex mutex;
    std::vector<std::size_t> sizes;
    std::multiset<std::string> ids;
    std::vector<std::string> others;
    void add(const std::string& payload) {
      const auto page = nlohmann::json::parse(payload, nullptr, false);
      std::lock_guard lock(mutex);
      if (!page.is_array()) {
        others.push_back(payload);
        return;
      }
      sizes.push_back(page.size());
      for (const auto& row : page) ids.insert(row.value("location_id", ""));
    }
    std::size_t rows() {
      std::lock_guard lock(mutex);
      return ids.size();
    }
  };
};

TEST_F(ReplayTest, SendsEachBufferedPositionOnceInPagesOfAtMostFiftyAndClosesForANonPublisher) {
  MosquittoBroker broker;
  const auto stored = buffer(120);
  ASSERT_EQ(stored.size(), 120u);
  TokenManager::setPubSubState(true);
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  Pages pages;
  observer.answer(kOwnTopic, [&](const std::string& payload) { pages.add(payload); });

  ASSERT_TRUE(connectTo(broker));
  // More "connected" reports while the replay runs start no second replay.
  manager().sendOfflineDataIfAny();
  manager().sendOfflineDataIfAny();
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0 && pages.rows() >= 120; }))
      << buffer_->getOfflineLocationCount() << " left, " << pages.rows() << " received";
  // Not a location publisher: the connection made for the replay is closed.
  EXPECT_TRUE(waitFor([&] { return !manager().connected() && !manager().replayRunning(); }));
  std::lock_guard lock(pages.mutex);
  EXPECT_EQ(pages.sizes, (std::vector<std::size_t>{50, 50, 20}));
  EXPECT_EQ(std::set<std::string>(pages.ids.begin(), pages.ids.end()), stored);
  EXPECT_EQ(pages.ids.size(), 120u);  // no duplicates
}

TEST_F(ReplayTest, NothingIsLostWhenTheBrokerStopsDuringAReplay) {
  MosquittoBroker broker({.users = {}, .persistence = true});
  const auto stored = buffer(120);
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  // A persistent session: pages published while it is away are kept for it.
  Observer observer(broker, /*persistent=*/true);
  ASSERT_TRUE(observer.waitConnected());
  Pages pages;
  std::atomic<bool> stopped{false};
  const pid_t brokerPid = broker.pid();
  observer.answer(kOwnTopic, [&](const std::string& payload) {
    pages.add(payload);
    if (!stopped.exchange(true)) ::kill(brokerPid, SIGTERM);  // right after the first page
  });
  ASSERT_TRUE(waitFor([&] { return broker.log().find("observer") != std::string::npos; }));

  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return stopped.load(); }));
  broker.stop();
  const std::int64_t remaining = buffer_->getOfflineLocationCount();
  EXPECT_GT(remaining, 0);
  ASSERT_TRUE(waitFor([&] { return !manager().connected(); }));
  ASSERT_TRUE(broker.start());

  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }, std::chrono::seconds(20)))
      << "left: " << buffer_->getOfflineLocationCount() << "\n"
      << broker.log();
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(pages.mutex);
    return std::set<std::string>(pages.ids.begin(), pages.ids.end()) == stored;
  }));
  EXPECT_TRUE(manager().connected());  // a location publisher stays connected
  std::lock_guard lock(pages.mutex);
  for (auto size : pages.sizes) EXPECT_LE(size, 50u);
}

// Positions taken before the account's shadow allowed publishing were refused
// and buffered; the shadow's "pub/sub" on sends them on the same connection,
// not only after the next reconnect, which may be hours away.
TEST_F(ReplayTest, PublishingAllowedByTheShadowSendsWhatWasBufferedMeanwhile) {
  MosquittoBroker broker;
  const auto stored = buffer(3);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  Observer service(broker);
  ASSERT_TRUE(service.waitConnected());
  Pages pages;
  service.answer(kOwnTopic, [&](const std::string& payload) { pages.add(payload); });
  // The first answer carries no pub/sub switch yet: publishing stays off.
  service.answer("$aws/things/account_a1/shadow/get", [&](const std::string&) {
    service.client().publish("$aws/things/account_a1/shadow/get/accepted", R"({"state":{"desired":{"welcome":"w"}}})",
                             1);
  });

  ASSERT_TRUE(connectTo(broker));
  // The replay that every connection starts has run and was refused.
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning(); }));
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 3);
  EXPECT_EQ(pages.rows(), 0u);

  ASSERT_TRUE(publishUntil(service, "$aws/things/account_a1/shadow/update/accepted",
                           R"({"state":{"desired":{"pub/sub":true}}})",
                           [&] { return TokenManager::getPubSubState(); }));
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0 && pages.rows() >= 3; }))
      << buffer_->getOfflineLocationCount() << " left, " << pages.rows() << " received";
  EXPECT_TRUE(manager().connected());
  std::lock_guard lock(pages.mutex);
  EXPECT_EQ(std::set<std::string>(pages.ids.begin(), pages.ids.end()), stored);
  EXPECT_EQ(pages.ids.size(), 3u);
}

TEST_F(ReplayTest, PagesNotAcknowledgedStayBufferedAndRowsThatCanNeverGoAreSetAside) {
  MosquittoBroker broker;
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  Pages pages;
  observer.answer(kOwnTopic, [&](const std::string& payload) { pages.add(payload); });
  EXPECT_EQ(MqttOfflineLocationUtils::sharedInstance().locationDataBatch({}), 0u);

  // Pub/sub off: nothing is handed over, the rows stay.
  buffer(30);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  TokenManager::setPubSubState(false);
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning(); }));
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 30);

  // A row that cannot be written as JSON (invalid UTF-8), and one taken for
  // another user, can never go: each is removed with a console line, and the
  // rows of their page go without them.
  ASSERT_TRUE(buffer_->deleteAllRecords());
  const auto good = buffer(2);
  buffer(1, "\xff\xfe");
  TokenManager::setUserId("u0");
  buffer(1);
  TokenManager::setUserId("u1");
  ASSERT_EQ(buffer_->getOfflineLocationCount(), 4);
  TokenManager::setPubSubState(true);
  platform::Console::Capture console;
  manager().sendOfflineDataIfAny();
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning() && pages.rows() == 2; }))
      << pages.rows() << " received, " << buffer_->getOfflineLocationCount() << " left";
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
  {
    std::lock_guard lock(pages.mutex);
    EXPECT_EQ(std::set<std::string>(pages.ids.begin(), pages.ids.end()), good);
    EXPECT_EQ(pages.sizes, std::vector<std::size_t>{2});
  }
  std::vector<std::string> removed;
  for (const auto& line : console.lines()) {
    if (line.find("removed unsent") != std::string::npos) removed.push_back(line);
  }
  ASSERT_EQ(removed.size(), 2u) << ::testing::PrintToString(console.lines());
  EXPECT_NE(removed[0].find("another user"), std::string::npos) << removed[0];
  EXPECT_NE(removed[1].find("JSON"), std::string::npos) << removed[1];
}

// While nobody is signed in (a logout under way, or settings that cannot say
// who) there is no topic to send on and no other user either: every row
// waits, none is set aside.
TEST_F(ReplayTest, RowsWaitWhileNobodyIsSignedIn) {
  MosquittoBroker broker;
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning(); }));
  const auto stored = buffer(60);
  TokenManager::setUserId("");
  platform::Console::Capture console;
  manager().sendOfflineDataIfAny();
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning(); }));
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 60) << ::testing::PrintToString(console.lines());

  // Signed in again as the user they were taken for, they go.
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  Pages pages;
  observer.answer(kOwnTopic, [&](const std::string& payload) { pages.add(payload); });
  TokenManager::setUserId("u1");
  manager().sendOfflineDataIfAny();
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0 && pages.rows() >= 60; }))
      << buffer_->getOfflineLocationCount() << " left, " << pages.rows() << " received";
  std::lock_guard lock(pages.mutex);
  EXPECT_EQ(std::set<std::string>(pages.ids.begin(), pages.ids.end()), stored);
}

// A logout while pages go out: the replay ends, the client goes, and every
// row not acknowledged stays buffered.
TEST_F(ReplayTest, LogoutDuringAReplayStopsItAndKeepsTheUnsentRows) {
  MosquittoBroker broker;
  buffer(120);
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  Pages pages;
  std::atomic<bool> loggedOut{false};
  observer.answer(kOwnTopic, [&](const std::string& payload) {
    pages.add(payload);
    if (!loggedOut.exchange(true)) {
      TokenManager::setUserId("");
      MQTTManager::sharedInstance().disconnect();
    }
  });
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return loggedOut.load(); }));
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning() && manager().client() == nullptr; }));
  EXPECT_FALSE(manager().connected());
  ASSERT_TRUE(waitFor([&] {
    return buffer_->getOfflineLocationCount() + static_cast<std::int64_t>(pages.rows()) == 120;
  })) << buffer_->getOfflineLocationCount()
      << " left, " << pages.rows() << " received";
  EXPECT_LE(pages.rows(), 100u);
}

// A buffer that signs another user in when it removes rows set aside, once
// armed: after the replay looked at the user, before the page goes.
class SigningInBuffer : public MQTTDataStorageManager {
 public:
  using MQTTDataStorageManager::MQTTDataStorageManager;
  bool deleteBatchEntity(const std::vector<MqttLocationData>& rows) override {
    if (armed.exchange(false)) TokenManager::setUserId("u2");
    return MQTTDataStorageManager::deleteBatchEntity(rows);
  }
  std::atomic<bool> armed{false};
};

// A page goes on the topic of the user its rows were checked against, or
// not at all: another user signed in meanwhile gets none of them.
TEST_F(ReplayTest, APageNeverGoesOnTheTopicOfAUserWhoSignedInAfterItWasChecked) {
  constexpr const char* kOther = "locations/a1/p1/u2";
  MosquittoBroker broker;
  auto signingIn = std::make_shared<SigningInBuffer>(buffer_->context());
  buffer_ = signingIn;
  manager().setOfflineBuffer(signingIn);
  Observer observer(broker);
  ASSERT_TRUE(observer.waitConnected());
  Pages own, other;
  observer.answer(kOwnTopic, [&](const std::string& payload) { own.add(payload); });
  observer.answer(kOther, [&](const std::string& payload) { other.add(payload); });

  const auto good = buffer(3);
  TokenManager::setUserId("u0");
  buffer(1);  // set aside, which signs u2 in
  TokenManager::setUserId("u1");
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  signingIn->armed = true;
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return !signingIn->armed.load() && !manager().replayRunning(); }));
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 3);

  // Signed in again, the rows go on the own topic; a page sent on the other
  // topic before them would have arrived by then.
  TokenManager::setUserId("u1");
  manager().sendOfflineDataIfAny();
  ASSERT_TRUE(waitFor([&] { return own.rows() == 3; })) << buffer_->getOfflineLocationCount() << " left";
  EXPECT_EQ(other.rows(), 0u);
  std::lock_guard lock(own.mutex);
  EXPECT_EQ(std::set<std::string>(own.ids.begin(), own.ids.end()), good);
}

}  // namespace
}  // namespace pelk::test
