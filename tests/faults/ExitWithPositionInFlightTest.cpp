// A host that returns from main while a live position waits for the broker's
// acknowledgement: the end of the process answers the publish "not
// delivered", and the position is in the offline buffer afterwards, for the
// next run to send.  A second process (this program, running only the host
// below) publishes to a real broker that was frozen just before.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/MQTTManager.h"
#include "pelk/Pelk.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "support/HttpTestServer.h"
#include "support/KitFixture.h"
#include "support/MosquittoBroker.h"
#include "support/SelfProcess.h"
#include "support/WaitFor.h"
#include "tracking/LocationDataManager.h"
#include "support/FixBuilder.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRootVar = "PELK_EXIT_HOST_ROOT";
constexpr const char* kBrokerVar = "PELK_EXIT_HOST_BROKER";
constexpr const char* kRestVar = "PELK_EXIT_HOST_REST";
constexpr const char* kGoVar = "PELK_EXIT_HOST_GO";
constexpr const char* kLocationId = "in-flight-1";

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class ExitWithPositionInFlightTest : public SettingsTest {};

TEST_F(ExitWithPositionInFlightTest, APositionTheBrokerNeverAcknowledgedIsInTheBufferAfterTheHostReturned) {
  MosquittoBroker broker;
  HttpTestServer rest;  // the REST service; a stored user needs no request
  const std::string log = dir_.file("host.log");
  const std::string go = dir_.file("go");
  const pid_t pid =
      spawnSelf({.test = "HostAtExit.PublishesAndReturns",
                 .env = {std::string(kRootVar) + "=" + dir_.path(), std::string(kBrokerVar) + "=" + broker.wsUrl(),
                         std::string(kRestVar) + "=" + rest.baseUrl(), std::string(kGoVar) + "=" + go},
                 .stdoutTo = log,
                 .stderrToo = true});
  ASSERT_GT(pid, 0);
  int status = 0;
  bool ended = false;
  auto reap = [&] {
    if (!ended) ended = ::waitpid(pid, &status, WNOHANG) == pid;
    return ended;
  };
  const bool connected = waitFor([&] { return reap() || readFile(log).find("connected\n") != std::string::npos; }, 60s);
  ASSERT_TRUE(connected && !ended) << readFile(log);
  // Connections stay open, nothing is acknowledged.
  broker.freeze();
  std::ofstream(go) << "go\n";
  if (!waitFor(reap, 60s)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "the host did not end:\n" << readFile(log);
  }
  const std::string output = readFile(log);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << output;
  // Handed to the connection, not kept, when main returned.
  EXPECT_NE(output.find("buffered before the exit: 0\n"), std::string::npos) << output;

  PelkCoreDataStack stack;
  MQTTDataStorageManager buffer(stack.managedObjectContext());
  const auto rows = buffer.fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 1u) << output;
  EXPECT_EQ(rows[0].location_id, std::optional<std::string>(kLocationId));
  broker.thaw();
}

// The host process of the test above; skipped in an ordinary run.  It starts
// the kit with a stored user that publishes, waits for the connection, and
// once told that the broker is frozen hands one position to the kit and ends
// the process as returning from main does.
TEST(HostAtExit, PublishesAndReturns) {
  const char* root = std::getenv(kRootVar);
  const char* brokerUrl = std::getenv(kBrokerVar);
  const char* restUrl = std::getenv(kRestVar);
  const char* go = std::getenv(kGoVar);
  if (!root || !brokerUrl || !restUrl || !go) GTEST_SKIP() << "runs only as the host process of another test";
  startHostIn(root);
  // The sandbox may have no default route; the broker is on loopback anyway.
  platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
  storePublishingUser();
  Pelk::initialize("pk-1", std::string(restUrl), std::string(brokerUrl));
  ASSERT_TRUE(waitFor([] { return MQTTManager::sharedInstance().connected(); }, 30s));
  std::printf("connected\n");
  std::fflush(stdout);
  ASSERT_TRUE(waitFor([&] { return exists(go); }, 30s));

  const platform::Location fix = FixBuilder(52.52, 13.405).accuracy(5).takenAt(platform::Clock::now());
  LocationDataManager::sharedInstance().sendDataServer({fix, "M", false, 0, kLocationId});
  std::printf("buffered before the exit: %lld\n",
              static_cast<long long>(MQTTDataStorageManager::shared().getOfflineLocationCount()));
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace
}  // namespace pelk::test
