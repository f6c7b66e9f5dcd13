// A host killed outright while it replays its buffer loses no position: a
// second process (this program, running only the host below) starts the kit
// with a stored user, which connects to the broker and replays the buffer; it
// is killed with SIGKILL at a random moment of the replay, started again, and
// the last start finishes the replay.  A page that went out just before a kill
// may go out again (it was not yet deleted), so each kill may cost one page
// of duplicates, never a lost position.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "FaultFixture.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "pelk/Pelk.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "support/SelfProcess.h"
#include "support/HttpTestServer.h"
#include "support/KitFixture.h"
#include "support/FixBuilder.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRootVar = "PELK_REPLAY_HOST_ROOT";
constexpr const char* kBrokerVar = "PELK_REPLAY_HOST_BROKER";
constexpr const char* kRestVar = "PELK_REPLAY_HOST_REST";

constexpr const char* kTopic = "locations/a1/p1/u1";

class KillDuringReplayTest : public SettingsTest {
 protected:
  // Starts the host process on this test's folder.
  pid_t startHost(const MosquittoBroker& broker) {
    // The host's own test report would only clutter this test's output.
    return spawnSelf({.test = "ReplayingHost.ReplaysItsBuffer",
                      .env = {std::string(kRootVar) + "=" + dir_.path(), std::string(kBrokerVar) + "=" + broker.wsUrl(),
                              std::string(kRestVar) + "=" + rest_.baseUrl()},
                      .stdoutTo = "/dev/null"});
  }

  // Fills the buffer of this folder with `n` positions of known ids, taken
  // for the user the hosts run as (only that user's positions go on its topic).
  std::set<std::string> fillBuffer(int n) {
    storePublishingUser();
    PelkCoreDataStack stack;
    MQTTDataStorageManager buffer(stack.managedObjectContext());
    std::set<std::string> ids;
    // One outer transaction: each insert on its own waits for the disk.
    buffer.context()->write([&](SQLite::Database&) {
      for (int i = 0; i < n; ++i) {
        const platform::Location fix = FixBuilder(45.0 + i * 1e-5, 7.4).accuracy(5);
        const std::string id = "replay-" + std::to_string(i);
        if (buffer.saveLocationData({fix, "M", false, 3, id})) ids.insert(id);
      }
    });
    return ids;
  }

  static std::int64_t bufferedCount() {
    PelkCoreDataStack stack;
    return MQTTDataStorageManager(stack.managedObjectContext()).getOfflineLocationCount();
  }

  HttpTestServer rest_;  // the REST service; a stored user needs no request
};

TEST_F(KillDuringReplayTest, NothingIsLostWhenTheHostIsKilledDuringAReplayAndStartedAgain) {
  const char* seedText = std::getenv("PELK_KILL_SEED");
  const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
  std::cout << "seed " << seed << " (PELK_KILL_SEED repeats it)\n";
  std::mt19937 rng(seed);
  // The kill lands after a few pages arrived, somewhere in a page's round
  // trip (publish, acknowledgement, delete).
  std::uniform_int_distribution<int> pagesBeforeKill(1, 5);
  std::uniform_int_distribution<int> extraMicros(0, 5000);

  const auto began = std::chrono::steady_clock::now();
  constexpr int kPositions = 5000;
  constexpr int kKills = 3;
  MosquittoBroker broker;
  PositionTally service(broker, kTopic);
  ASSERT_TRUE(service.waitSubscribed());
  const auto stored = fillBuffer(kPositions);
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(kPositions));

  for (int round = 0; round < kKills; ++round) {
    const std::size_t pagesBefore = service.figures().pages;
    const int pages = pagesBeforeKill(rng);
    const int micros = extraMicros(rng);
    const pid_t pid = startHost(broker);
    ASSERT_GT(pid, 0);
    int status = 0;
    pid_t ended = 0;
    const bool replaying = waitFor(
        [&] {
          if (ended == 0) ended = ::waitpid(pid, &status, WNOHANG);
          return ended != 0 || service.figures().pages >= pagesBefore + static_cast<std::size_t>(pages);
        },
        60s);
    if (ended == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(micros));  // a random moment, not a wait
      ::kill(pid, SIGKILL);
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    ASSERT_TRUE(replaying) << "round " << round << ": no page arrived";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "round " << round << ": the host ended before the kill (status " << status << ")";
    std::cout << "round " << round << ": killed " << micros << " us after page " << pages
              << " of this start; delivered so far " << service.unique() << ", buffered " << bufferedCount() << "\n";
  }

  // The last start finishes the replay and ends by itself.
  const pid_t pid = startHost(broker);
  ASSERT_GT(pid, 0);
  const auto ended = waitForEnd(pid, 120s);
  ASSERT_TRUE(ended.inTime) << "the last host did not finish the replay";
  EXPECT_TRUE(ended.passed()) << "status " << ended.status;
  // The broker may still be handing the last page over.
  waitFor([&] { return service.missing(stored).empty(); }, 10s);

  const auto f = service.figures();
  const std::size_t lost = service.missing(stored).size();
  std::cout << "[" << buildFlavour() << "] host killed during replay: buffered " << stored.size() << ", kills "
            << kKills << ", " << f << ", lost " << lost << ", left in the buffer " << bufferedCount() << "; "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count()
            << " ms\n";
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(service.strangers(stored), 0u);
  EXPECT_EQ(bufferedCount(), 0);
  EXPECT_LE(f.duplicates, static_cast<std::size_t>(kKills * MQTTDataStorageManager::kPageSize))
      << "more than one page of duplicates per kill";
}

// The host process of the test above; skipped in an ordinary run.  It starts
// the kit as a host app would, with the user stored, and ends once the
// buffer is empty.
TEST(ReplayingHost, ReplaysItsBuffer) {
  const char* root = std::getenv(kRootVar);
  const char* brokerUrl = std::getenv(kBrokerVar);
  const char* restUrl = std::getenv(kRestVar);
  if (!root || !brokerUrl || !restUrl) GTEST_SKIP() << "runs only as the host process of another test";
  startHostIn(root);
  // The sandbox may have no default route; the broker is on loopback anyway.
  platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
  storePublishingUser();
  Pelk::initialize("pk-1", std::string(restUrl), std::string(brokerUrl));
  ASSERT_TRUE(waitFor([] { return MQTTDataStorageManager::shared().getOfflineLocationCount() == 0; }, 120s));
}

}  // namespace
}  // namespace pelk::test
