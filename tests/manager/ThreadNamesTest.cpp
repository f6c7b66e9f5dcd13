// Every thread the kit starts carries a name of its own, as `top -H`, gdb and
// /proc show it.  The host runs in a fresh process (this test program again)
// so that the threads seen are the kit's of one start-up.

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "HostSignUp.h"
#include "pelk/Pelk.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "support/HttpTestServer.h"
#include "support/KitFixture.h"
#include "support/MosquittoBroker.h"
#include "support/SelfProcess.h"
#include "support/SignUpReplies.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRootVar = "PELK_NAMES_ROOT";
constexpr const char* kRestVar = "PELK_NAMES_REST";
constexpr const char* kMqttVar = "PELK_NAMES_MQTT";

const std::set<std::string> kExpected = {"pelk-main",    "pelk-global",   "pelk-http", "pelk-http-cb", "pelk-reach-q",
                                         "pelk-netlink", "pelk-mqtt-ctl", "pelk-gpsd", "pelk-console"};

std::set<std::string> threadNames() {
  std::set<std::string> names;
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string name = readFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    names.insert(name);
  }
  ::closedir(dir);
  return names;
}

// The host process; skipped in an ordinary run.
TEST(ThreadNames, HostProcess) {
  const char* root = std::getenv(kRootVar);
  const char* rest = std::getenv(kRestVar);
  const char* mqtt = std::getenv(kMqttVar);
  if (!root || !rest || !mqtt) GTEST_SKIP() << "runs only as the host process of another test";
  startHostIn(root);

  Pelk::setConsoleHandler([](Pelk::ConsoleLevel, const std::string&) {});
  Pelk::setLoggerEnabled(true);
  // Start-up watches the system's routes; the REST calls then take the
  // network as there, since the sandbox may have no default route.
  Pelk::initialize("pk-names", rest, mqtt);
  platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
  ASSERT_TRUE(signUpHost("pk-names", rest, mqtt));
  Pelk::publishSave();
  // Nobody answers gpsd's port: the reader keeps trying meanwhile.
  ASSERT_TRUE(Pelk::setGpsdAddress("127.0.0.1", HttpTestServer::unusedPort()));
  Pelk::getCurrentLocation(100, nullptr);

  std::set<std::string> names;
  const bool all = waitFor(
      [&] {
        names = threadNames();
        return std::includes(names.begin(), names.end(), kExpected.begin(), kExpected.end());
      },
      10s);
  for (const auto& n : names) std::cout << "thread " << n << "\n";
  EXPECT_TRUE(all);
}

TEST(ThreadNamesTest, EveryKitThreadCarriesItsName) {
  // A fresh process with the log on names no other thread.
  if (loggingForced()) GTEST_SKIP() << "the run without the log covers it";
  MosquittoBroker broker;
  HttpTestServer rest;
  answerSignUp(rest);
  TempDir root;
  const std::string log = root.file("host.log");
  const pid_t pid =
      spawnSelf({.test = "ThreadNames.HostProcess",
                 .env = {std::string(kRootVar) + "=" + root.path(), std::string(kRestVar) + "=" + rest.baseUrl(),
                         std::string(kMqttVar) + "=" + broker.wsUrl()},
                 .withoutKitVariables = true,
                 .stdoutTo = log,
                 .stderrToo = true});
  ASSERT_GT(pid, 0);
  const auto ended = waitForEnd(pid, 60s);
  const std::string output = readFile(log);
  EXPECT_TRUE(ended.passed()) << "status " << ended.status << "\n" << output;
  for (const auto& name : kExpected) EXPECT_NE(output.find("thread " + name + "\n"), std::string::npos) << name;
}

}  // namespace
}  // namespace pelk::test
