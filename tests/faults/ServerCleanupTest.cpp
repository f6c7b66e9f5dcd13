// The servers a test starts go with the test process even when it dies
// without running its destructors (a crash, a sanitizer's abort, a kill by the
// test runner): a second process (this program, running only the owner below)
// starts a broker and gpsfake with its gpsd, writes their ids and kills itself
// with SIGKILL.  None of them may stay behind on its port.  And a broker has
// started only once it holds its own ports.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/SelfProcess.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/MosquittoBroker.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kOwnerVar = "PELK_SERVER_OWNER_IDS";

// Processes of `group` (or the one process `pid` when group is false) that
// still run; a zombie waiting for its new parent to reap it has ended.
std::vector<pid_t> running(pid_t id, bool group) {
  std::vector<pid_t> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process that ends between the listing and the read fails the read
    // (the stream throws on it): it is gone, as far as this count goes.
    std::string stat;
    try {
      std::ifstream in(entry.path() / "stat");
      stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
      continue;
    }
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    long ppid = 0, pgrp = 0;
    rest >> state >> ppid >> pgrp;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (state != 'Z' && (group ? pgrp == id : pid == id)) out.push_back(pid);
  }
  return out;
}

TEST(TestServers, GoWhenTheTestProcessDiesWithoutStoppingThem) {
  if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
  TempDir dir;
  const std::string idsFile = dir.file("ids");
  const pid_t owner = spawnSelf({.test = "ServerOwner.StartsServersAndDies",
                                 .env = {std::string(kOwnerVar) + "=" + idsFile},
                                 .stdoutTo = "/dev/null"});
  ASSERT_GT(owner, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(owner, &status, 0), owner);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the owner ended otherwise: status " << status;

  pid_t broker = 0, gps = 0;
  std::string brokerDir;
  std::ifstream(idsFile) >> broker >> gps >> brokerDir;
  ASSERT_GT(broker, 0);
  ASSERT_GT(gps, 0);
  const bool brokerGone = waitFor([&] { return running(broker, false).empty(); }, 10s);
  const bool gpsGone = waitFor([&] { return running(gps, true).empty(); }, 10s);
  // Whatever stayed is stopped here, so that a failure leaves nothing either.
  if (!brokerGone) ::kill(broker, SIGKILL);
  if (!gpsGone) ::kill(-gps, SIGKILL);
  // The owner's destructors never ran: its broker's folder is removed here.
  if (!brokerDir.empty()) std::filesystem::remove_all(brokerDir);
  EXPECT_TRUE(brokerGone) << "mosquitto " << broker << " outlived the test that started it";
  EXPECT_TRUE(gpsGone) << "gpsfake or its gpsd (process group " << gps << ") outlived the test that started them";
}

// A port taken by another process between the broker's choice and its start
// makes mosquitto end at once, while the port still answers: that is no
// started broker, and a new one picks other ports.
TEST(TestServers, ABrokerWhosePortIsHeldByAnotherProcessHasNotStarted) {
  MosquittoBroker broker;
  broker.stop();
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  const int on = 1;
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(broker.tcpPort()));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(holder, 4), 0);

  EXPECT_FALSE(broker.start()) << "a listener of another process counted as the broker's";
  EXPECT_FALSE(broker.running());
  EXPECT_NE(broker.log().find("Address already in use"), std::string::npos) << broker.log();
  ::close(holder);
  EXPECT_TRUE(broker.start()) << broker.log();
}

// The owner process of the test above; skipped in an ordinary run.
TEST(ServerOwner, StartsServersAndDies) {
  const char* idsFile = std::getenv(kOwnerVar);
  if (!idsFile) GTEST_SKIP() << "runs only as the owner process of another test";
  MosquittoBroker broker;
  const int port = HttpTestServer::unusedPort();
  GpsFake gps(port, /*once=*/false);
  ASSERT_TRUE(gps.started());
  // gpsd is up once its port answers: the group then holds gpsfake and gpsd.
  ASSERT_TRUE(waitForListener(port, 10s));
  writeFile(idsFile, std::to_string(broker.pid()) + " " + std::to_string(gps.processGroup()) + " " +
                         std::filesystem::path(broker.caFile()).parent_path().string() + "\n");
  ::kill(::getpid(), SIGKILL);
}

}  // namespace
}  // namespace pelk::test
