// What becomes of console lines still waiting for the host's handler when the
// process exits: a handler that keeps up gets them all; one that blocks holds
// up the exit for a bounded time only.  The host is this test program again,
// in a process of its own, ending with exit().

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Console.h"
#include "support/SelfProcess.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using platform::Console;
using namespace std::chrono_literals;

constexpr const char* kHowVar = "PELK_CONSOLE_EXIT";

// The host process; skipped in an ordinary run.
TEST(ConsoleAtExit, HostProcess) {
  const char* how = std::getenv(kHowVar);
  if (!how) GTEST_SKIP() << "runs only as the host process of another test";
  const bool blocks = std::string(how) == "blocks";
  Console::setHandler([blocks](Console::Level, const std::string& line) {
    std::printf("heard %s\n", line.c_str());
    std::fflush(stdout);
    if (blocks) std::promise<void>().get_future().wait();  // never returns
    std::this_thread::sleep_for(10ms);
  });
  for (int i = 0; i < 20; ++i) Console::print("line " + std::to_string(i));
  std::exit(0);
}

struct Ended {
  bool exited = false;
  int status = 0;
  std::chrono::steady_clock::duration took{};
  std::string output;
};

Ended runHost(const std::string& how) {
  TempDir dir;
  const std::string log = dir.file("host.log");
  Ended ended;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = spawnSelf({.test = "ConsoleAtExit.HostProcess",
                               .env = {std::string(kHowVar) + "=" + how},
                               .stdoutTo = log,
                               .stderrToo = true});
  if (pid < 0) return ended;
  const auto end = waitForEnd(pid, 30s);
  ended.exited = end.inTime;
  ended.status = end.status;
  ended.took = std::chrono::steady_clock::now() - start;
  ended.output = readFile(log);
  return ended;
}

TEST(ConsoleAtExitTest, WaitingLinesReachAHandlerThatKeepsUpAndABlockedOneHoldsUpTheExitBriefly) {
  const Ended kept = runHost("keeps-up");
  ASSERT_TRUE(kept.exited) << kept.output;
  EXPECT_TRUE(WIFEXITED(kept.status) && WEXITSTATUS(kept.status) == 0) << kept.output;
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(kept.output.find("heard line " + std::to_string(i) + "\n"), std::string::npos) << i << kept.output;
  }

  const Ended blocked = runHost("blocks");
  ASSERT_TRUE(blocked.exited) << "the exit waited for a blocked console handler\n" << blocked.output;
  EXPECT_TRUE(WIFEXITED(blocked.status) && WEXITSTATUS(blocked.status) == 0) << blocked.output;
  EXPECT_NE(blocked.output.find("heard line 0\n"), std::string::npos) << blocked.output;
  EXPECT_EQ(blocked.output.find("heard line 1\n"), std::string::npos) << blocked.output;
}

}  // namespace
}  // namespace pelk::test
