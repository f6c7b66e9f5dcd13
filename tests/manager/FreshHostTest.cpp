// A host app as a new user first runs it on a Linux box: a fresh process with
// fresh folders and no earlier answer to any permission question, positions
// from a real gpsd fed by gpsfake (the demo's drive, ten fixes a second), the
// kit's own main thread, a REST stand-in that signs the user up.  Each run is a process of its own: this test program
// again, running only FreshHost.RunsTheRoad with the road named in its
// environment.  A relaunch is a second process on the same folders.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "pelk/Pelk.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "HostSignUp.h"
#include "support/SelfProcess.h"
#include "support/KitFixture.h"
#include "support/GpsFake.h"
#include "support/HandlerRecorder.h"
#include "support/HttpTestServer.h"
#include "support/MosquittoBroker.h"
#include "support/SignUpReplies.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kRootVar = "PELK_FRESH_ROOT";
constexpr const char* kRoadVar = "PELK_FRESH_ROAD";
constexpr const char* kRestVar = "PELK_FRESH_REST";
constexpr const char* kMqttVar = "PELK_FRESH_MQTT";

// ---------------------------------------------------------------- the host

// What reaches the host app, with when it came.
class HostApp : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation& location) override {
    std::lock_guard lock(mutex_);
    positions_.push_back({Clock::now(), location.activity()});
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return positions_.size();
  }
  // The longest wait between two positions from index `from` on.
  Clock::duration longestGap(std::size_t from) const {
    std::lock_guard lock(mutex_);
    Clock::duration longest{};
    for (std::size_t i = from + 1; i < positions_.size(); ++i) {
      longest = std::max(longest, positions_[i].first - positions_[i - 1].first);
    }
    return longest;
  }
  std::string activityOf(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return i < positions_.size() ? positions_[i].second : "";
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, std::string>> positions_;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void expectTheAnswerInForce(std::int64_t status) {
  EXPECT_EQ(Pelk::locationPermissionStatus(), status);
  EXPECT_EQ(Pelk::isLocationEnabled(), status == 3 || status == 4);
}

void runRoad(const std::string& road, const std::string& rest, const std::string& mqtt) {
  auto app = std::make_shared<HostApp>();
  Pelk::setDelegate(app);

  if (road == "relaunch") {
    // The answer of the first run holds before the kit is even started, and
    // what ran then runs again once the app goes to the background.
    expectTheAnswerInForce(3);
    Pelk::initialize("pk-fresh", rest, mqtt);
    EXPECT_TRUE(Pelk::isLocationTracking());
    Pelk::reportBackground();
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "positions " << app->count();
    expectTheAnswerInForce(3);
    return;
  }
  if (road == "relaunch-tracking") {
    // The last run ended with tracking on: what the switch says runs from
    // start-up on, before and after the host's first reports.
    EXPECT_TRUE(Pelk::isLocationTracking());
    Pelk::initialize("pk-fresh", rest, mqtt);
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "no position without a report";
    for (auto report : {&Pelk::reportForeground, &Pelk::reportBackground}) {
      report();
      const auto before = app->count();
      EXPECT_TRUE(waitFor([&] { return app->count() >= before + 2; }, 15s)) << "positions " << app->count();
    }
    EXPECT_TRUE(Pelk::isLocationTracking());
    return;
  }
  if (road == "relaunch-background-only") {
    // Tracking for the background only, left on: a run starts in the
    // foreground, so nothing until the host reports the background.
    EXPECT_TRUE(Pelk::isLocationTracking());
    Pelk::initialize("pk-fresh", rest, mqtt);
    EXPECT_FALSE(waitFor([&] { return app->count() > 0; }, 4s)) << "a position in the foreground";
    Pelk::reportBackground();
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "positions " << app->count();
    EXPECT_TRUE(Pelk::isLocationTracking());
    return;
  }
  if (road == "relaunch-denied") {
    expectTheAnswerInForce(2);
    Pelk::initialize("pk-fresh", rest, mqtt);
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_FALSE(waitFor([&] { return app->count() > 0; }, 3s)) << "a position despite the host's denial";
    expectTheAnswerInForce(2);
    return;
  }

  if (road == "relaunch-denied-new-user") {
    // The last run's user logged out after the host's denial: the denial holds
    // from the first call on, and for the next user too.
    expectTheAnswerInForce(2);
    ASSERT_TRUE(signUpHost("pk-fresh", rest, mqtt));
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_FALSE(waitFor([&] { return app->count() > 0; }, 3s)) << "a position despite the host's denial";
    expectTheAnswerInForce(2);
    return;
  }

  ASSERT_TRUE(signUpHost("pk-fresh", rest, mqtt));
  if (road == "deny-then-logout") {
    // The host denies, then its user logs out before the host ends.
    EXPECT_TRUE(Pelk::setLocationPermissionStatus(2));
    HandlerRecorder<std::optional<std::string>> loggedOut;
    Pelk::logoutUser(loggedOut.handler());
    ASSERT_TRUE(loggedOut.wait(1, 20s)) << "no answer to the logout";
    const auto [text, error] = loggedOut.last();
    EXPECT_FALSE(error) << error->code() << " " << error->message();
    expectTheAnswerInForce(2);
    return;
  }
  if (road == "interval") {
    constexpr int kInterval = 2;
    PelkTrackingCustomMethods options;
    options.updateInterval = kInterval;
    platform::Console::Capture console;
    Pelk::startTracking(PelkTrackingMode::custom, options);
    EXPECT_TRUE(console.contains("Tracking Started"));
    // The first position comes once gpsd is read; then one per interval: the
    // first fix after more than the interval's whole seconds goes out, so
    // with gpsd's steady fixes one every interval and a second.
    ASSERT_TRUE(waitFor([&] { return app->count() >= 1; }, 10s)) << "no position at all";
    const auto first = Clock::now();
    waitFor([] { return false; }, 12s);
    const auto n = app->count();
    const auto gap = app->longestGap(0);
    std::cout << "interval " << kInterval << " s: " << n << " positions, " << n - 1 << " in "
              << seconds(Clock::now() - first) << " s after the first; longest gap " << seconds(gap) << " s\n";
    EXPECT_GE(n, 4u);
    EXPECT_LE(seconds(gap), kInterval + 1.5);
    expectTheAnswerInForce(3);
    Pelk::stopTracking();
    return;
  }
  if (road == "current-location") {
    std::mutex m;
    std::optional<Location> fix;
    std::optional<PelkError> error;
    bool done = false;
    Pelk::getCurrentLocation(100, [&](std::optional<Location> l, std::optional<PelkError> e) {
      std::lock_guard lock(m);
      fix = l;
      error = e;
      done = true;
    });
    ASSERT_TRUE(waitFor(
        [&] {
          std::lock_guard lock(m);
          return done;
        },
        20s));
    std::lock_guard lock(m);
    EXPECT_TRUE(fix.has_value());
    EXPECT_FALSE(error) << error->code() << " " << error->message();
    expectTheAnswerInForce(3);
    return;
  }
  if (road == "update-current-location") {
    platform::Console::Capture console;
    Pelk::updateCurrentLocation(100);
    EXPECT_TRUE(waitFor([&] { return app->count() >= 1; }, 20s));
    EXPECT_EQ(app->activityOf(0), "S");
    EXPECT_FALSE(console.contains("Location services error or permissions not granted"));
    expectTheAnswerInForce(3);
    return;
  }
  if (road == "local-trip" || road == "server-trip") {
    std::string tripId = "trip-1";
    if (road == "local-trip") {
      HandlerRecorder<std::shared_ptr<PelkCreateTrip>> created;
      Pelk::createTrip(true, std::nullopt, created.handler());
      ASSERT_TRUE(created.wait());
      const auto trip = created.result();
      tripId = trip ? trip->tripId().value_or("") : std::string();
      ASSERT_FALSE(tripId.empty());
    }
    HandlerRecorder<std::optional<std::string>> answer;
    Pelk::startTrip(tripId, std::nullopt, answer.handler());
    ASSERT_TRUE(answer.wait(1, 20s)) << "no answer to the trip start";
    const auto [text, error] = answer.last();
    EXPECT_FALSE(error) << error->code() << " " << error->message();
    EXPECT_TRUE(text.has_value());
    expectTheAnswerInForce(3);
    return;
  }
  if (road == "request-location") {
    Pelk::requestLocation();
    EXPECT_TRUE(waitFor([] { return Pelk::locationPermissionStatus() != 0; }, 5s));
    expectTheAnswerInForce(3);
    return;
  }
  if (road == "track-then-quit") {
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "positions " << app->count();
    expectTheAnswerInForce(3);
    return;  // the process ends with tracking on, as when the host is killed
  }
  if (road == "track-then-terminate") {
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "positions " << app->count();
    Pelk::reportTerminate();
    return;  // returns from main with tracking on, after telling the kit
  }
  if (road == "when-in-use") {
    // The host's own answer stands when a mode asks for more.
    EXPECT_TRUE(Pelk::setLocationPermissionStatus(4));
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "positions " << app->count();
    expectTheAnswerInForce(4);
    return;
  }
  if (road == "background-only") {
    // A publishing app whose tracking is for the background only, started in
    // the foreground.
    Pelk::publishSave();
    Pelk::setTrackingInAppState(PelkTrackingState::backgroundOnly);
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_FALSE(waitFor([&] { return app->count() > 0; }, 4s)) << "a position in the foreground";
    EXPECT_TRUE(Pelk::isLocationTracking());
    Pelk::reportBackground();
    EXPECT_TRUE(waitFor([&] { return app->count() >= 2; }, 15s)) << "positions " << app->count();
    EXPECT_EQ(SharedUtil::getDefaultString(KcurrentAppState), "B");
    Pelk::reportForeground();
    waitFor([] { return false; }, 1s);  // what gpsd had already handed over
    const auto paused = app->count();
    EXPECT_FALSE(waitFor([&] { return app->count() > paused; }, 4s)) << "a position in the foreground";
    EXPECT_TRUE(Pelk::isLocationTracking());
    Pelk::reportBackground();
    EXPECT_TRUE(waitFor([&] { return app->count() >= paused + 2; }, 15s)) << "positions " << app->count();
    // The host ends: the report returns once the kit has recorded it.
    Pelk::reportTerminate();
    EXPECT_EQ(SharedUtil::getDefaultString(KcurrentAppState), "T");
    return;
  }
  if (road == "deny") {
    // The host's own answer, given before anything asks: the kit keeps it.
    EXPECT_TRUE(Pelk::setLocationPermissionStatus(2));
    Pelk::startTracking(PelkTrackingMode::active);
    EXPECT_FALSE(waitFor([&] { return app->count() > 0; }, 3s)) << "a position despite the host's denial";
    expectTheAnswerInForce(2);
    return;
  }
  FAIL() << "unknown road " << road;
}

// The host process of the tests below; skipped in an ordinary run.
TEST(FreshHost, RunsTheRoad) {
  const char* root = std::getenv(kRootVar);
  const char* road = std::getenv(kRoadVar);
  const char* rest = std::getenv(kRestVar);
  const char* mqtt = std::getenv(kMqttVar);
  if (!root || !road || !rest || !mqtt) GTEST_SKIP() << "runs only as the host process of another test";
  startHostIn(root);
  // The sandbox may have no default route; every server is on loopback anyway.
  platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
  runRoad(road, rest, mqtt);
}

// ---------------------------------------------------------------- the tests

class FreshHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
    port_ = HttpTestServer::unusedPort();
    ASSERT_GT(port_, 0);
    gps_ = std::make_unique<GpsFake>(port_, false, "0.1", GpsFake::demoRouteFile());
    ASSERT_TRUE(gps_->started());
    ASSERT_TRUE(waitForListener(port_, 10s)) << "gpsd did not come up";
    answerSignUp(rest_);
    rest_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code": 200, "msg": "Trip started"})"));
  }

  // Runs one road in a host process of its own on `root`; true when the
  // process passed.  Its output is shown when it did not.
  bool runHost(const std::string& road, const TempDir& root, const std::string& mqtt = "ws://127.0.0.1:9/mqtt") {
    const std::string log = root.file(road + ".log");
    const pid_t pid =
        spawnSelf({.test = "FreshHost.RunsTheRoad",
                   .env = {std::string(kRootVar) + "=" + root.path(), std::string(kRoadVar) + "=" + road,
                           std::string(kRestVar) + "=" + rest_.baseUrl(), std::string(kMqttVar) + "=" + mqtt,
                           "PELK_GPSD_HOST=127.0.0.1", "PELK_GPSD_PORT=" + std::to_string(port_)},
                   .withoutKitVariables = true,
                   .stdoutTo = log,
                   .stderrToo = true});
    if (pid < 0) return false;
    const auto ended = waitForEnd(pid, 90s);
    const bool passed = ended.passed();
    const std::string output = readFile(log);
    if (!passed) {
      ADD_FAILURE() << "host process of road \"" << road << "\" failed (status " << ended.status << "):\n" << output;
    } else {
      // The figures a road prints, for the record.
      for (std::size_t at = 0, end; (end = output.find('\n', at)) != std::string::npos; at = end + 1) {
        const auto line = output.substr(at, end - at);
        if (line.rfind("interval ", 0) == 0) std::cout << "[" << road << "] " << line << "\n";
      }
    }
    return passed;
  }

  int port_ = -1;
  std::unique_ptr<GpsFake> gps_;
  HttpTestServer rest_;
};

// Every road that takes positions works in a fresh process, and the status
// answers then say what the kit decided: authorized always.
TEST_F(FreshHostTest, EveryLocationRoadWorksInAFreshProcess) {
  for (const char* road :
       {"interval", "current-location", "update-current-location", "local-trip", "server-trip", "request-location"}) {
    SCOPED_TRACE(road);
    TempDir root;
    runHost(road, root);
  }
}

// The answer is kept for the next run: the kit's own grant, and the restart of
// the tracking the last run left on; and the answers the host gave, which
// neither the kit's default nor a mode asking for more overrides.
TEST_F(FreshHostTest, ARelaunchKeepsTheAnswer) {
  {
    TempDir root;
    if (runHost("track-then-quit", root)) runHost("relaunch", root);
  }
  {
    TempDir root;
    if (runHost("deny", root)) runHost("relaunch-denied", root);
  }
  TempDir root;
  runHost("when-in-use", root);
}

// The host's answer is the host's, not its user's: a denial stated before the
// user logs out is in force in the next run, for the next user.
TEST_F(FreshHostTest, TheHostsDenialOutlivesItsUsersLogout) {
  rest_.setDefault("/v3/user/logout/", ScriptedReply::json(R"({"code": 200, "msg": "Logged out"})"));
  TempDir root;
  if (runHost("deny-then-logout", root)) runHost("relaunch-denied-new-user", root);
}

// A run that ends with tracking on, told or not, leaves the switch on; the
// next run tracks as the switch says from its start-up on, in the app states
// its tracking is for.
TEST_F(FreshHostTest, ARelaunchTracksAsTheSwitchSays) {
  MosquittoBroker broker;
  for (const char* first : {"track-then-quit", "track-then-terminate"}) {
    SCOPED_TRACE(first);
    TempDir root;
    if (runHost(first, root)) runHost("relaunch-tracking", root);
  }
  TempDir root;
  if (runHost("background-only", root, broker.wsUrl())) runHost("relaunch-background-only", root, broker.wsUrl());
}

// Tracking for the background only, started in the foreground: nothing until
// the host reports the background, positions then, a pause (not an end) while
// the host is in the foreground again, positions at the next background report.
TEST_F(FreshHostTest, BackgroundOnlyTrackingFollowsTheHostsLifecycleReports) {
  MosquittoBroker broker;
  TempDir root;
  runHost("background-only", root, broker.wsUrl());
}

}  // namespace
}  // namespace pelk::test
