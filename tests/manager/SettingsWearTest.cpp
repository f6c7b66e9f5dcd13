// What tracking costs the settings file: positions must not commit and sync
// it each time, live or buffered, with the log on or off.  The costs are
// counted in the file layer under SQLite (CountedFiles), so every write and
// sync of the file, its log and its checkpoints is seen.
#include "ManagerFixture.h"
#include "RoadFixture.h"
#include "foundation/LoggerManager.h"
#include "messaging/MQTTManager.h"
#include "platform/CountedFiles.h"
#include "support/MosquittoBroker.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

constexpr int kPositions = 12;

struct Case {
  const char* name;
  bool brokerUp;
  bool logging;
};

class SettingsWearTest : public RoadTest, public ::testing::WithParamInterface<Case> {};

TEST_P(SettingsWearTest, PositionsDoNotCommitTheSettingsEachTime) {
  const Case c = GetParam();
  MosquittoBroker broker({.users = {}, .persistence = false});
  storeUser();
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  SharedUtil::setDefaultBoolean(c.logging, kLoggingEnabled);
  Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl());
  ASSERT_TRUE(waitFor([&] { return MQTTManager::sharedInstance().connected(); }, 15s)) << broker.log();
  if (!c.brokerUp) {
    broker.stop();
    ASSERT_TRUE(waitFor([&] { return !MQTTManager::sharedInstance().connected(); }));
  }
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  ASSERT_TRUE(Pelk::isLocationTracking());
  double lat = 52.5;
  deliverFixAt(lat);  // the first position sets up what stays

  const auto settings = SharedUtil::userDefaultValue();
  const auto before = platform::CountedFiles::of(settings->path());
  for (int i = 0; i < kPositions; ++i) {
    platform::Dispatch::advanceClock(6s);
    deliverFixAt(lat += 0.0003);
  }
  if (!c.brokerUp) {
    // (Positions too close to the last one kept are not all recorded.)
    ASSERT_TRUE(waitFor([&] { return buffer_->getOfflineLocationCount() >= kPositions / 2; }))
        << buffer_->getOfflineLocationCount();
  }
  LoggerManager::flush();
  const auto cost = platform::CountedFiles::of(settings->path()) - before;

  // The counters and caches of a position may reach the file with a commit of
  // their own now and then (every few seconds), never once per position.
  EXPECT_LE(cost.syncs, 4u) << c.name << ": " << cost.syncs << " syncs for " << kPositions << " positions";
  EXPECT_LE(cost.bytes, kPositions * 4096u)
      << c.name << ": " << cost.bytes << " bytes for " << kPositions << " positions";
  // The last position kept is read back as it stands, written or not.
  EXPECT_GT(SharedUtil::getDefaultDouble(kZezovuLatitude), 52.503);
}

INSTANTIATE_TEST_SUITE_P(Roads, SettingsWearTest,
                         ::testing::Values(Case{"live", true, false}, Case{"buffered", false, false},
                                           Case{"buffered, log on", false, true}),
                         [](const auto& info) {
                           return std::string(info.param.brokerUp ? "Live" : "Buffered") +
                                  (info.param.logging ? "Logging" : "");
                         });

}  // namespace
}  // namespace pelk::test
