// The location sink on the kit's own MQTT connection and a local broker:
// positions published live, buffered while the broker is away, replayed when
// it is back, none lost; kept as they were when taken, and only while the
// account allows publishing.

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "foundation/DateExtensions.h"
#include "foundation/LoggerManager.h"
#include "messaging/LocationSending.h"
#include "messaging/MessagingFixture.h"
#include "network/Reachability.h"
#include "platform/Console.h"
#include "platform/Reachability.h"
#include "tracking/LocationDataManager.h"
#include "tracking/TrackingLinks.h"

namespace pelk::test {
namespace {

constexpr const char* kOwnTopic = "locations/a1/p1/u1";

class SinkOnBrokerTest : public MessagingTest {
 protected:
  SinkOnBrokerTest() {
    platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
    // The buffer the connection replays from.
    sending::links::offlineBuffer.set([buffer = buffer_] { return buffer; });
    tracking::links::updateLocation.set([this](const platform::Location& fix, const std::string&) {
      std::lock_guard lock(mutex_);
      ++delivered_;
      handedAt_[fix.coordinate.latitude] = platform::Clock::now();
    });
  }
  ~SinkOnBrokerTest() override {
    platform::resetAllLinks();
    platform::Reachability::useSystemFlags();
  }
  void send(const std::string& id, double lat) {
    platform::Location fix;
    fix.coordinate = {lat, 13.4};
    fix.horizontalAccuracy = 10;
    fix.timestamp = platform::Clock::now();
    LocationDataManager::sharedInstance().sendDataServer({fix, kMoving, false, 5, id});
  }
  // Publishing on, `observer` collecting the own topic, and the kit connected
  // to `broker`.
  void publishWatched(MosquittoBroker& broker, Observer& observer) {
    TokenManager::setPubSubState(true);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    ASSERT_TRUE(observer.waitConnected());
    observer.answer(kOwnTopic, [this](const std::string& payload) { collect(payload); });
    ASSERT_TRUE(waitFor([&] { return broker.log().find("observer") != std::string::npos; }));
    ASSERT_TRUE(connectTo(broker));
  }
  // Location ids seen on the own topic, from live messages and replayed pages.
  void collect(const std::string& payload) {
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    std::lock_guard lock(mutex_);
    if (j.is_array()) {
      for (const auto& row : j) {
        ids_.insert(row.value("location_id", ""));
        replayed_[row.value("location_id", "")] = row;
      }
    } else if (j.is_object()) {
      ids_.insert(j.value("location_id", ""));
    }
  }
  std::map<std::string, nlohmann::json> replayed() {
    std::lock_guard lock(mutex_);
    return replayed_;
  }
  platform::TimePoint handedAt(double latitude) {
    std::lock_guard lock(mutex_);
    return handedAt_.at(latitude);
  }
  // Lines of the kit's log that hold `text`.
  static std::size_t logLines(const std::string& text) {
    std::ifstream file(LoggerManager::fileUrl());
    std::size_t n = 0;
    for (std::string line; std::getline(file, line);) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
  std::set<std::string> ids() {
    std::lock_guard lock(mutex_);
    return ids_;
  }

  std::mutex mutex_;
  std::set<std::string> ids_;
  std::map<std::string, nlohmann::json> replayed_;  // by location id
  std::map<double, platform::TimePoint> handedAt_;  // by latitude: when the app was handed the position
  int delivered_ = 0;
};

TEST_F(SinkOnBrokerTest, PositionsArePublishedBufferedWhileTheBrokerIsAwayAndReplayed) {
  MosquittoBroker broker({.users = {}, .persistence = true});
  Observer observer(broker, /*persistent=*/true);
  ASSERT_NO_FATAL_FAILURE(publishWatched(broker, observer));

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

// A link that goes silent: the broker freezes while positions go out, so
// none is acknowledged, and its failure is noticed only a minute later.  The
// rows replayed then hold what each message held when it was built: its time,
// id, user and readings, not those of the moment of the failure.
TEST_F(SinkOnBrokerTest, APublishThatFailsLateIsKeptAsItsMessageWas) {
  MosquittoBroker broker({.users = {}, .persistence = true});
  Observer observer(broker, /*persistent=*/true);
  ASSERT_NO_FATAL_FAILURE(publishWatched(broker, observer));
  // The broker is killed below, with no chance to write its store: the
  // observer's session (its subscription) must be on disk before, or the
  // broker started again has forgotten it and the replay reaches no one.
  const auto saves = [&] {
    const auto log = broker.log();
    std::size_t n = 0;
    for (auto at = log.find("Saving in-memory database"); at != std::string::npos;
         at = log.find("Saving in-memory database", at + 1)) {
      ++n;
    }
    return n;
  };
  // The broker logs a save before it writes the store and renames it into
  // place, one save at a time: the second save begun after this point shows
  // that the first, which holds the session, is on disk.
  const auto savedBefore = saves();
  ASSERT_TRUE(waitFor([&] { return saves() > savedBefore + 1; })) << broker.log();

  broker.freeze();
  const std::map<std::string, double> sent = {
      {"cccccccccccccccccccccc00", 52.60}, {"cccccccccccccccccccccc10", 52.61}, {"cccccccccccccccccccccc20", 52.62}};
  for (const auto& [id, lat] : sent) {  // in id order: 12:00:00, :10, :20
    send(id, lat);
    platform::Clock::advance(std::chrono::seconds(10));
  }
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);  // handed over, not failed yet
  // By the time the failure is noticed the app is in the background.
  platform::Clock::advance(std::chrono::seconds(30));
  SharedUtil::setDefaultString(kAppStateBackground, KcurrentAppState);
  broker.kill();
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 3; })) << buffer_->getOfflineLocationCount();

  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(waitFor([&] { return replayed().size() == 3 && buffer_->getOfflineLocationCount() == 0; }, 20s))
      << replayed().size() << " replayed\n"
      << broker.log();
  for (const auto& [id, row] : replayed()) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(sent.count(id));
    const auto recorded = parseIso8601(row.value("recorded_at", ""));
    ASSERT_TRUE(recorded) << row.dump();
    const auto handed = handedAt(sent.at(id));
    EXPECT_LE(std::chrono::abs(*recorded - handed), std::chrono::seconds(2))
        << row.value("recorded_at", "") << " for a position handed at " << iso8601(handed);
    EXPECT_EQ(row.value("app_context", ""), kAppStateForeground);
    EXPECT_EQ(row.value("user_id", ""), "u1");
  }
}

// The account's shadow says publishing is off: positions are neither sent nor
// kept, one console line says so, and no buffered page is read or converted
// while it stays off.  Before the shadow has answered, positions are kept.
TEST_F(SinkOnBrokerTest, WhileTheAccountHasPublishingOffPositionsAreNeitherSentNorKept) {
  MosquittoBroker broker;
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  for (int i = 0; i < 60; ++i) {  // two pages from earlier
    platform::Location fix;
    fix.coordinate = {40.0 + i * 0.001, 10.0};
    ASSERT_TRUE(buffer_->saveLocationData({fix, kMoving, false, 3}));
  }
  Observer service(broker);
  ASSERT_TRUE(service.waitConnected());
  service.answer(kOwnTopic, [this](const std::string& payload) { collect(payload); });
  std::atomic<bool> asked{false};
  service.answer("$aws/things/account_a1/shadow/get", [&](const std::string&) { asked = true; });
  platform::Console::Capture console;
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return asked.load() && !manager().replayRunning(); }));

  // No answer yet: the position is kept.
  send("dddddddddddddddddddddd01", 52.70);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 61);
  const std::size_t statusLines = logLines("location updated status");
  service.client().publish("$aws/things/account_a1/shadow/get/accepted",
                           R"({"state":{"desired":{"location_tracking":true,"pub/sub":false}}})", 1);
  ASSERT_TRUE(waitFor([&] { return SharedUtil::userDefaultValue()->contains(kPubSubState); }));
  manager().sendOfflineDataIfAny();  // as on a new connection
  ASSERT_TRUE(waitFor([&] { return !manager().replayRunning(); }));
  send("dddddddddddddddddddddd02", 52.71);
  send("dddddddddddddddddddddd03", 52.72);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 61);
  EXPECT_EQ(logLines("Location Batch update"), 0u);
  EXPECT_EQ(logLines("location updated status"), statusLines);  // nothing reported as sent or failed
  std::size_t offLines = 0;
  for (const auto& line : console.lines()) offLines += line.find("publishing off") != std::string::npos ? 1 : 0;
  EXPECT_EQ(offLines, 1u);

  // Allowed again: what was kept goes out on this connection, and what is
  // taken now goes live.
  ASSERT_TRUE(publishUntil(service, "$aws/things/account_a1/shadow/update/accepted",
                           R"({"state":{"desired":{"pub/sub":true}}})",
                           [&] { return TokenManager::getPubSubState(); }));
  ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0 && ids().size() == 61; }))
      << buffer_->getOfflineLocationCount() << " left, " << ids().size() << " received";
  send("dddddddddddddddddddddd04", 52.73);
  ASSERT_TRUE(waitFor([&] { return ids().count("dddddddddddddddddddddd04") == 1; }));
  EXPECT_EQ(ids().count("dddddddddddddddddddddd01"), 1u);
  EXPECT_EQ(ids().count("dddddddddddddddddddddd02"), 0u);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
}

// The answer "publishing off" drops positions only on the connection it was
// given on: after a reconnect, positions taken before the shadow answers
// again are kept, and go out once the new answer allows publishing.
TEST_F(SinkOnBrokerTest, AfterAReconnectPositionsWaitForTheShadowsNewAnswer) {
  constexpr const char* kAnswer = "$aws/things/account_a1/shadow/get/accepted";
  MosquittoBroker broker;
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  Observer service(broker);
  ASSERT_TRUE(service.waitConnected());
  service.answer(kOwnTopic, [this](const std::string& payload) { collect(payload); });
  std::atomic<int> asked{0};
  service.answer("$aws/things/account_a1/shadow/get", [&](const std::string&) { ++asked; });
  platform::Console::Capture console;
  ASSERT_TRUE(connectTo(broker));
  ASSERT_TRUE(waitFor([&] { return asked.load() == 1 && !manager().replayRunning(); }));
  service.client().publish(kAnswer, R"({"state":{"desired":{"pub/sub":false}}})", 1);
  ASSERT_TRUE(waitFor(
      [&] { return console.contains("pelk: publishing off for the account; positions are neither sent nor kept"); }));
  send("eeeeeeeeeeeeeeeeeeeeee01", 52.80);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);

  // A new connection; the shadow has not answered on it yet.
  manager().disconnect();
  ASSERT_TRUE(waitFor([&] { return asked.load() == 2 && manager().connected(); }));
  send("eeeeeeeeeeeeeeeeeeeeee02", 52.81);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 1);

  service.client().publish(kAnswer, R"({"state":{"desired":{"pub/sub":true}}})", 1);
  ASSERT_TRUE(waitFor([&] { return ids().count("eeeeeeeeeeeeeeeeeeeeee02") == 1; }))
      << buffer_->getOfflineLocationCount() << " buffered";
  EXPECT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() == 0; }));
  EXPECT_EQ(ids().count("eeeeeeeeeeeeeeeeeeeeee01"), 0u);
}

}  // namespace
}  // namespace pelk::test
