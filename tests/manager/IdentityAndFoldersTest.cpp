// The host names the kit's app id and data directory; the kit finds a folder
// of its own without a home; and two processes of one app id never share one.
// Each host runs in a fresh process (the folders are settled once per
// process), started by the tests below.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/VuvivaZuvovo.h"
#include "pelk/Pelk.h"
#include "pelk/pelk.h"
#include "platform/AppInfo.h"
#include "platform/Console.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "support/HandlerRecorder.h"
#include "support/HttpTestServer.h"
#include "support/SelfProcess.h"
#include "support/SignUpReplies.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Level = platform::Console::Level;

constexpr const char* kRoadVar = "PELK_IDENTITY_ROAD";
constexpr const char* kDirVar = "PELK_IDENTITY_DIR";
constexpr const char* kRestVar = "PELK_IDENTITY_REST";
constexpr const char* kNoMqtt = "ws://127.0.0.1:9/mqtt";

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The user a createUser answers with, or the error's message.
std::string createUserAnswer() {
  HandlerRecorder<std::shared_ptr<PelkUser>> calls;
  Pelk::createUser("host", calls.handler());
  if (!calls.wait()) return "no answer";
  const auto [user, error] = calls.last();
  return user ? "user " + user->userId() : "error " + (error ? error->message() : "");
}

void runRoad(const std::string& road, const std::string& dir, const std::string& rest) {
  platform::Console::Capture console;
  const auto errors = [&] { return console.lines(Level::Error); };
  // The Error lines that hold `text`.
  const auto errorsWith = [&](const std::string& text) {
    std::vector<std::string> found;
    for (const auto& line : errors()) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  };
  const auto linesWith = [&](const std::string& text) {
    std::size_t n = 0;
    for (const auto& line : console.lines()) n += line.find(text) != std::string::npos;
    return n;
  };
  if (road == "named-c") {
    // Refused values change nothing; the accepted ones hold for the run.
    for (const char* bad : {"", ".hidden", "a/b", "..", "a..b", "tab\tid", "spaced id"}) {
      EXPECT_FALSE(pelk_set_app_id(bad)) << bad;
    }
    EXPECT_FALSE(pelk_set_app_id(std::string(129, 'a').c_str()));
    EXPECT_FALSE(pelk_set_app_id(nullptr));
    EXPECT_FALSE(pelk_set_data_directory("relative/dir"));
    EXPECT_FALSE(pelk_set_data_directory(nullptr));
    EXPECT_FALSE(pelk_set_data_directory((dir + "/a-file/below").c_str()));
    EXPECT_EQ(errors().size(), 12u);
    EXPECT_TRUE(pelk_set_app_id("org.example.tracker-2"));
    // A path through ".." names the folder it leads to; none is made on the way.
    EXPECT_TRUE(pelk_set_data_directory((dir + "/x/y/../../data").c_str()));
    EXPECT_FALSE(fs::exists(dir + "/x"));
    EXPECT_TRUE(pelk_set_data_directory((dir + "/./data/").c_str()));
    pelk_initialize("pk-1", "http://127.0.0.1:9", kNoMqtt);
    const char* held = pelk_data_directory();
    EXPECT_STREQ(held, (dir + "/data").c_str());
    EXPECT_EQ(SharedUtil::userDefaultValue()->path(), dir + "/data/Preferences/devzezovusdk.settings");
    EXPECT_EQ(SharedUtil::getDefaultString(kPublishKey), "pk-1");
    // After start-up both are refused, with an answer that says why.
    EXPECT_FALSE(pelk_set_app_id("org.example.other"));
    EXPECT_FALSE(pelk_set_data_directory((dir + "/other").c_str()));
    EXPECT_EQ(errorsWith("already in use").size(), 2u);
    EXPECT_FALSE(fs::exists(dir + "/other"));
    // The app id named is the one the kit reports to its service.
    EXPECT_EQ(platform::AppInfo::bundleId(), "org.example.tracker-2");
    return;
  }
  if (road == "service" || road == "nothing" || road == "long-name") {
    // A service account: no usable home, the folders of the XDG variables
    // unset; systemd's StateDirectory= gives $STATE_DIRECTORY (or not).
    // "long-name": the app id is an executable's file name as long as a file
    // name may be.
    const std::string appId = road == "long-name" ? std::string(250, 'n') : "svc";
    if (road == "long-name") {
      platform::AppInfo::setBundleId(appId);
    } else {
      EXPECT_TRUE(Pelk::setAppId(appId));
    }
    Pelk::initialize("pk-1", "http://127.0.0.1:9", kNoMqtt);
    Pelk::setLoggerEnabled(true);
    EXPECT_EQ(createUserAnswer().rfind("error ", 0), 0u);
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_EQ(SharedUtil::getDefaultString(kPublishKey), "pk-1");
    if (road == "service") {
      EXPECT_EQ(Pelk::dataDirectory(), dir + "/state/svc");
      EXPECT_EQ(SharedUtil::userDefaultValue()->path(), dir + "/state/svc/Preferences/devzezovusdk.settings");
      EXPECT_TRUE(errorsWith("writable").empty());
    } else {
      // One line says so, and none of the kit's files complains after it.
      EXPECT_EQ(Pelk::dataDirectory(), "");
      EXPECT_EQ(pelk_data_directory(), nullptr);
      const auto path = SharedUtil::userDefaultValue()->path();
      EXPECT_EQ(path.rfind(dir + "/tmp/pelk-" + appId.substr(0, 243) + "-", 0), 0u) << path;
      const auto said = errorsWith("no writable folder");
      ASSERT_EQ(said.size(), 1u);
      EXPECT_NE(said.front().find("for this run only"), std::string::npos) << said.front();
    }
    // No file of the kit complains.
    for (const char* text : {"cannot be opened", "failed on", "Loading of store failed", "could not be"}) {
      EXPECT_EQ(linesWith(text), 0u) << text;
    }
    return;
  }
  if (road == "hold" || road == "second" || road == "third") {
    platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
    EXPECT_TRUE(Pelk::setAppId("org.example.shared"));
    EXPECT_TRUE(Pelk::setDataDirectory(dir));
    if (road == "second") {
      Pelk::initialize("pk-2", rest, kNoMqtt);
      const auto refused = errorsWith("initialize refused");
      ASSERT_EQ(refused.size(), 1u);
      EXPECT_NE(refused.front().find("in use by process " + env("PELK_IDENTITY_HOLDER")), std::string::npos)
          << refused.front();
      EXPECT_EQ(Pelk::dataDirectory(), "");
      // Its calls answer as before start-up, on settings of its own.
      EXPECT_EQ(createUserAnswer(), "error " + std::string(VuvivaZuvovo::ERROR_NOT_FOUND));
      EXPECT_EQ(SharedUtil::getDefaultString(kUserId), "");
      return;
    }
    Pelk::initialize(road == "hold" ? "pk-1" : "pk-3", rest, kNoMqtt);
    EXPECT_TRUE(errorsWith("refused").empty());
    EXPECT_EQ(Pelk::dataDirectory(), dir);
    if (road == "third") {
      // The identity the first process made is the one found.
      EXPECT_EQ(SharedUtil::getDefaultString(kUserId), "u-1");
      return;
    }
    EXPECT_EQ(createUserAnswer(), "user u-1");
    std::ofstream(fs::path(dir).parent_path() / "held") << "held\n";
    // Held until the test kills this process.
    waitFor([] { return false; }, 120s);
    return;
  }
  FAIL() << "unknown road " << road;
}

// The host process of the tests below; skipped in an ordinary run.
TEST(IdentityHost, RunsTheRoad) {
  const auto road = env(kRoadVar);
  if (road.empty()) GTEST_SKIP() << "runs only as the host process of another test";
  runRoad(road, env(kDirVar), env(kRestVar));
}

// Starts a host on `road`; its pid.
pid_t startHost(const std::string& road, const std::string& dir, std::vector<std::string> env = {},
                const std::string& rest = "") {
  env.push_back(std::string(kRoadVar) + "=" + road);
  env.push_back(std::string(kDirVar) + "=" + dir);
  env.push_back(std::string(kRestVar) + "=" + rest);
  return spawnSelf({.test = "IdentityHost.RunsTheRoad",
                    .env = std::move(env),
                    .withoutKitVariables = true,
                    .stdoutTo = fs::path(dir).parent_path() / (road + ".log"),
                    .stderrToo = true});
}

// Waits for the host to end; whether it passed (its output shown when not).
bool passed(pid_t pid, const std::string& log) {
  if (pid < 0) return false;
  const auto ended = waitForEnd(pid, 60s);
  if (!ended.passed()) ADD_FAILURE() << "host failed (status " << ended.status << "):\n" << readFile(log);
  return ended.passed();
}

// The variables of a process whose home cannot hold a folder (even for root:
// a regular file stands where a folder would be made) and that names no XDG
// base directory.
std::vector<std::string> homeless(const TempDir& top) {
  writeFile(top.file("file"), "a file, not a folder\n");
  return {"HOME=" + top.file("file") + "/home",
          "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=", "TMPDIR=" + top.file("tmp")};
}

// The hosts switch the log on where it matters; the copy of the suite run
// with the log on has nothing to add here.
class IdentityAndFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("PELK_TEST_LOGGING")) GTEST_SKIP() << "no settings fixture here to run with the log on";
  }
};

TEST_F(IdentityAndFolders, TheHostNamesTheAppIdAndTheDataDirectoryBeforeStartUp) {
  TempDir top;
  fs::create_directories(top.file("run"));
  writeFile(top.file("run/a-file"), "x");
  EXPECT_TRUE(passed(startHost("named-c", top.file("run")), top.file("named-c.log")));
  EXPECT_TRUE(fs::exists(top.file("run/data/pelk.lock")));
}

TEST_F(IdentityAndFolders, AnAppIdTooLongForAScratchFolderNameStillGetsOne) {
  TempDir top;
  fs::create_directories(top.file("run/tmp"));
  auto env = homeless(top);
  env.back() = "TMPDIR=" + top.file("run/tmp");
  env.push_back("STATE_DIRECTORY=");
  EXPECT_TRUE(passed(startHost("long-name", top.file("run"), env), top.file("long-name.log")));
}

TEST_F(IdentityAndFolders, AServiceWithoutAHomeKeepsItsFilesInItsStateDirectory) {
  TempDir top;
  fs::create_directories(top.file("run/tmp"));
  auto env = homeless(top);
  env.back() = "TMPDIR=" + top.file("run/tmp");
  env.push_back("STATE_DIRECTORY=" + top.file("run/state") + ":" + top.file("run/state2"));
  EXPECT_TRUE(passed(startHost("service", top.file("run"), env), top.file("service.log")));
  EXPECT_TRUE(fs::exists(top.file("run/state/svc/Preferences/devzezovusdk.settings")));
  EXPECT_TRUE(fs::is_empty(top.file("run/tmp")));

  // Nothing writable: a scratch folder for the run, said in one Error line.
  // A scratch folder another process still holds stays; one whose process
  // ended goes when the next is made.
  const std::string tmp = top.file("run/tmp");
  for (const char* name : {"pelk-svc-heldby", "pelk-svc-ended1", "pelk-svc-nolock", "pelk-other-ended"}) {
    fs::create_directories(tmp + "/" + name);
    if (std::string(name) != "pelk-svc-nolock") writeFile(tmp + "/" + name + "/pelk.lock", "1\n");
  }
  const int held = ::open((tmp + "/pelk-svc-heldby/pelk.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  env.back() = "STATE_DIRECTORY=" + top.file("file") + "/state";
  EXPECT_TRUE(passed(startHost("nothing", top.file("run"), env), top.file("nothing.log")));
  EXPECT_TRUE(passed(startHost("nothing", top.file("run"), env), top.file("nothing.log")));
  ::close(held);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(tmp)) {
    const auto name = entry.path().filename().string();
    // The last run's own folder, under a name of its own.
    const bool kept = name == "pelk-other-ended" || name == "pelk-svc-heldby" || name == "pelk-svc-nolock";
    left.push_back(kept ? name : "last run's");
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"last run's", "pelk-other-ended", "pelk-svc-heldby", "pelk-svc-nolock"}));
}

TEST_F(IdentityAndFolders, ASecondProcessOfTheAppIdIsRefusedUntilTheFirstEnds) {
  HttpTestServer rest;
  answerSignUp(rest);
  TempDir top;
  const std::string dir = top.file("data");
  // The refused process's scratch folder goes to a folder of the test's own.
  const std::string tmp = top.file("tmp");
  fs::create_directories(tmp);
  const std::vector<std::string> tmpEnv = {"TMPDIR=" + tmp};
  const auto scratchFolders = [&] {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(tmp)) n += entry.path().filename().string().starts_with("pelk-");
    return n;
  };
  const pid_t first = startHost("hold", dir, tmpEnv, rest.baseUrl());
  ASSERT_GT(first, 0);
  if (!waitFor([&] { return fs::exists(top.file("held")); }, 60s)) {
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    FAIL() << "the first host did not sign up:\n" << readFile(top.file("hold.log"));
  }
  const auto tokenRequests = rest.requests("/v3/user/token/").size();
  EXPECT_TRUE(
      passed(startHost("second", dir, {"PELK_IDENTITY_HOLDER=" + std::to_string(first), tmpEnv[0]}, rest.baseUrl()),
             top.file("second.log")));
  EXPECT_EQ(rest.requests("/v3/user/token/").size(), tokenRequests) << "the second process asked for a token";
  EXPECT_EQ(scratchFolders(), 1u) << "the refused process ran on a scratch folder";
  // Killed: its lock goes with it, and the next start finds its identity.
  ::kill(first, SIGKILL);
  ::waitpid(first, nullptr, 0);
  EXPECT_TRUE(passed(startHost("third", dir, tmpEnv, rest.baseUrl()), top.file("third.log")));
  // The next run of the app id removed the scratch folder of the refused one.
  EXPECT_EQ(scratchFolders(), 0u);
}

}  // namespace
}  // namespace pelk::test
