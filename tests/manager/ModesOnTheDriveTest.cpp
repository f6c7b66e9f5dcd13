// Each tracking mode on a recorded drive, as a new host first runs it on a
// Linux box: a fresh process with fresh folders, positions from a real gpsd
// fed by gpsfake, a REST stand-in that signs the user up and a mosquitto
// broker with a stand-in of the account's shadow service that lets the account
// publish.  The host uses the public API only.  Each mode runs in a host
// process of its own (this test program again, running only
// ModeOnTheDrive.RunsTheMode); the modes run side by side, each with its own
// gpsd and broker, so that each sees the whole drive from its start.
//
// The host process and the test talk through files in the host's folder:
// "ready" (signed up, publishing), "go" (gpsd plays the drive: start
// tracking), "done" (the drive is over), and "record.json", what the app's
// delegate received.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "pelk/Pelk.h"
#include "platform/MqttClient.h"
#include "platform/Paths.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "HostSignUp.h"
#include "support/SelfProcess.h"
#include "support/KitFixture.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/MosquittoBroker.h"
#include "support/SignUpReplies.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kRootVar = "PELK_DRIVE_ROOT";
constexpr const char* kModeVar = "PELK_DRIVE_MODE";
constexpr const char* kRestVar = "PELK_DRIVE_REST";
constexpr const char* kMqttVar = "PELK_DRIVE_MQTT";

// The interval of the time-based run, in seconds.
constexpr int kInterval = 1;

bool exists(const std::string& path) { return std::filesystem::exists(path); }
void touch(const std::string& path) { std::ofstream(path) << "1\n"; }
bool waitForFile(const std::string& path, std::chrono::milliseconds limit) {
  return waitFor([&] { return exists(path); }, limit);
}

// ---------------------------------------------------------------- the host

// What reaches the host app: each position with when it came.
class HostApp : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation& location) override {
    std::lock_guard lock(mutex_);
    const auto& l = location.location();
    positions_.push_back(
        {{"activity", location.activity()},
         {"latitude", l.coordinate.latitude},
         {"longitude", l.coordinate.longitude},
         {"accuracy", l.horizontalAccuracy},
         {"fix_ms", std::chrono::duration_cast<std::chrono::milliseconds>(l.timestamp.time_since_epoch()).count()},
         {"came_ms", std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_).count()}});
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return positions_.size();
  }
  json record() const {
    std::lock_guard lock(mutex_);
    return positions_;
  }

 private:
  const SteadyClock::time_point start_ = SteadyClock::now();
  mutable std::mutex mutex_;
  json positions_ = json::array();
};

void trackTheDrive(const std::string& root, const std::string& mode, const std::string& rest, const std::string& mqtt) {
  auto app = std::make_shared<HostApp>();
  Pelk::setDelegate(app);
  ASSERT_TRUE(signUpHost("pk-drive", rest, mqtt));
  Pelk::publishSave();
  touch(root + "/ready");
  ASSERT_TRUE(waitForFile(root + "/go", 60s)) << "the drive never began";

  if (mode == "passive") {
    Pelk::startTracking(PelkTrackingMode::passive);
  } else if (mode == "balanced") {
    Pelk::startTracking(PelkTrackingMode::balanced);
  } else if (mode == "active") {
    Pelk::startTracking(PelkTrackingMode::active);
  } else if (mode == "custom") {
    PelkTrackingCustomMethods options;
    options.desiredAccuracy = LocationAccuracy::best;
    options.distanceFilter = 20;
    options.useVisits = true;
    options.useStandardLocationServices = false;
    options.allowBackgroundLocationUpdates = true;
    options.pausesLocationUpdatesAutomatically = false;
    Pelk::startTracking(PelkTrackingMode::custom, options);
  } else if (mode == "time-based") {
    PelkTrackingCustomMethods options;
    options.updateInterval = kInterval;
    Pelk::startTracking(PelkTrackingMode::custom, options);
  } else {
    FAIL() << "unknown mode " << mode;
  }
  EXPECT_TRUE(Pelk::isLocationTracking());
  ASSERT_TRUE(waitForFile(root + "/done", 90s)) << "the drive never ended";
  // What gpsd handed over last is on its way: until nothing has come for a
  // while, then a moment for the last publishes.
  for (std::size_t seen = app->count();;) {
    waitFor([] { return false; }, 1500ms);
    if (app->count() == seen) break;
    seen = app->count();
  }
  waitFor([] { return false; }, 1s);
  Pelk::stopTracking();
  std::ofstream(root + "/record.json") << app->record().dump() << "\n";
}

// The host process of the test below; skipped in an ordinary run.
TEST(ModeOnTheDrive, RunsTheMode) {
  const char* root = std::getenv(kRootVar);
  const char* mode = std::getenv(kModeVar);
  const char* rest = std::getenv(kRestVar);
  const char* mqtt = std::getenv(kMqttVar);
  if (!root || !mode || !rest || !mqtt) GTEST_SKIP() << "runs only as the host process of another test";
  startHostIn(root);
  // The sandbox may have no default route; every server is on loopback anyway.
  platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
  trackTheDrive(root, mode, rest, mqtt);
}

// ---------------------------------------------------------------- the test

// The service's side of the broker: answers the account's shadow request
// with publishing on, and keeps every position published on the user's own
// topic (live messages are one object, replayed pages an array).  Over the
// plain TCP listener: the client library's WebSocket reader truncates large
// pages.
class ServiceSide {
 public:
  explicit ServiceSide(const MosquittoBroker& broker) {
    platform::MqttClientOptions o;
    o.serverUri = "tcp://127.0.0.1:" + std::to_string(broker.tcpPort());
    o.clientId = "service-side";
    o.firstRetryDelay = 50ms;
    o.maxRetryDelay = 200ms;
    client_ = platform::MqttClient::create(o);
    client_->connect();
  }
  bool subscribe() {
    if (!waitFor([&] { return client_->isConnected(); })) return false;
    client_->subscribe("locations/acc-1/prj-1/u-1", 1, [this](const std::string&, const std::string& payload) {
      const auto j = json::parse(payload, nullptr, false);
      std::lock_guard lock(mutex_);
      if (j.is_array()) {
        for (const auto& row : j) rows_.push_back(row);
      } else {
        rows_.push_back(j);
      }
    });
    client_->subscribe("$aws/things/account_acc-1/shadow/get", 1, [this](const std::string&, const std::string&) {
      client_->publish("$aws/things/account_acc-1/shadow/get/accepted",
                       R"({"state":{"desired":{"location_tracking":true,"pub/sub":true}}})", 1);
    });
    return true;
  }
  std::vector<json> rows() const {
    std::lock_guard lock(mutex_);
    return rows_;
  }

 private:
  std::shared_ptr<platform::MqttClient> client_;
  mutable std::mutex mutex_;
  std::vector<json> rows_;
};

// What one mode's run left: what the app received and what the broker did.
struct DriveRun {
  std::string mode;
  std::string failure;  // empty when the host process and its set-up went well
  json app = json::array();
  std::vector<json> published;    // positions
  std::size_t statusRecords = 0;  // records of the location service's state
};

class ModesOnTheDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
    answerSignUp(rest_);
  }

  // Starts the host process; its pid, or -1.
  pid_t spawnHost(const std::string& mode, const TempDir& root, const std::string& mqtt, int gpsdPort) {
    return spawnSelf({.test = "ModeOnTheDrive.RunsTheMode",
                      .env = {std::string(kRootVar) + "=" + root.path(), std::string(kModeVar) + "=" + mode,
                              std::string(kRestVar) + "=" + rest_.baseUrl(), std::string(kMqttVar) + "=" + mqtt,
                              "PELK_GPSD_HOST=127.0.0.1", "PELK_GPSD_PORT=" + std::to_string(gpsdPort)},
                      .withoutKitVariables = true,
                      .stdoutTo = root.file("host.log"),
                      .stderrToo = true});
  }

  // Plays `nmea` once, up to its last fix at `lastFixTime`, to a host process
  // tracking in `mode`.
  DriveRun drive(const std::string& mode, const std::string& nmea, const std::string& lastFixTime,
                 const std::string& cycle) {
    DriveRun run{mode, "", json::array(), {}, 0};
    MosquittoBroker broker;
    ServiceSide service(broker);
    if (!service.subscribe()) return run.failure = "the service side did not connect", run;
    const int port = HttpTestServer::unusedPort();
    TempDir root;
    const pid_t host = spawnHost(mode, root, broker.wsUrl(), port);
    if (host < 0) return run.failure = "no host process", run;
    auto hostLog = [&] { return "\n--- host output:\n" + readFile(root.file("host.log")); };
    int status = 0;
    bool ended = false;
    auto hostEnded = [&] {
      if (!ended && ::waitpid(host, &status, WNOHANG) == host) ended = true;
      return ended;
    };
    {
      std::optional<GpsFake> gps;
      if (waitFor([&] { return exists(root.file("ready")) || hostEnded(); }, 60s) && !ended) {
        gps.emplace(port, true, cycle, nmea);
        touch(root.file("go"));
        if (!gps->waitFixAt(lastFixTime, 120s)) run.failure = "gpsd never reported the last fix";
      }
      touch(root.file("done"));
      if (!waitFor(hostEnded, 60s)) {
        ::kill(host, SIGKILL);
        ::waitpid(host, &status, 0);
        run.failure += " host process hung";
      }
    }  // gpsd goes once the host has stopped tracking
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      run.failure += " host process failed (status " + std::to_string(status) + ")" + hostLog();
      return run;
    }
    run.app = json::parse(readFile(root.file("record.json")), nullptr, false);
    if (!run.app.is_array()) return run.failure = "no record" + hostLog(), run;
    // Every position the app heard of is on its way to the service.
    waitFor([&] { return service.rows().size() >= run.app.size(); }, 10s);
    waitFor([] { return false; }, 500ms);  // and no more than those
    for (auto& row : service.rows()) {
      // The record of the location service's state carries no position.
      if (row.contains("latitude")) {
        run.published.push_back(std::move(row));
      } else {
        ++run.statusRecords;
      }
    }
    return run;
  }

  HttpTestServer rest_;
};

std::string isoOf(std::int64_t ms) {
  const std::time_t t = ms / 1000;
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", &utc);
  return text;
}

// The summary line of one run, for the record.
std::string tableRow(const DriveRun& r) {
  std::set<std::string> ids;
  std::size_t moving = 0, still = 0;
  std::vector<std::int64_t> speeds;
  for (const auto& row : r.published) {
    ids.insert(row.value("location_id", ""));
    (row.value("activity", "") == "M" ? moving : still) += 1;
    if (row.value("activity", "") == "M") speeds.push_back(row.value("speed", std::int64_t{-1}));
  }
  std::ostringstream out;
  out << std::left << std::setw(11) << r.mode << " app " << std::setw(4) << r.app.size() << " published "
      << std::setw(4) << r.published.size() << " (" << ids.size() << " ids)";
  if (!r.app.empty()) {
    out << " fixes " << isoOf(r.app.front().value("fix_ms", std::int64_t{0})) << ".."
        << isoOf(r.app.back().value("fix_ms", std::int64_t{0}));
  }
  out << " M " << moving << " S " << still;
  if (r.statusRecords > 0) out << " status records " << r.statusRecords;
  if (!speeds.empty()) {
    std::sort(speeds.begin(), speeds.end());
    out << " speed km/h min " << speeds.front() << " median " << speeds[speeds.size() / 2] << " max " << speeds.back();
  }
  return out.str();
}

// What every mode must do on a drive: positions come, in the order of their
// fixes and each fix once; the first after the start is stationary, the rest
// moving; the broker receives each position the app heard of exactly once,
// with its activity, and a moving one with a plausible speed.
void expectASoundDrive(const DriveRun& r, std::size_t atLeast) {
  SCOPED_TRACE(r.mode);
  ASSERT_TRUE(r.failure.empty()) << r.failure;
  const auto& app = r.app;
  ASSERT_GE(app.size(), atLeast) << "positions to the app";
  for (std::size_t i = 1; i < app.size(); ++i) {
    EXPECT_LT(app[i - 1].value("fix_ms", std::int64_t{0}), app[i].value("fix_ms", std::int64_t{0}))
        << "position " << i << " repeats or precedes an earlier fix";
  }
  if (r.mode != "time-based") {
    // Interval tracking names a position by its measured speed instead.
    EXPECT_EQ(app[0].value("activity", ""), "S");
    for (std::size_t i = 1; i < app.size(); ++i) EXPECT_EQ(app[i].value("activity", ""), "M") << i;
  }

  std::map<std::string, std::size_t> timesPublished;
  for (const auto& row : r.published) ++timesPublished[row.value("location_id", "")];
  for (const auto& [id, n] : timesPublished) EXPECT_EQ(n, 1u) << "location " << id << " published " << n << " times";
  EXPECT_EQ(timesPublished.size(), app.size()) << "positions published, against positions to the app";

  // Each published position is one the app heard of, with the same activity;
  // by their recording times they come in the order of the app's.
  auto appIndex = [&](const json& row) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < app.size(); ++i) {
      if (std::abs(app[i].value("latitude", 0.0) - row.value("latitude", 1e9)) < 1e-7 &&
          std::abs(app[i].value("longitude", 0.0) - row.value("longitude", 1e9)) < 1e-7) {
        return i;
      }
    }
    return std::nullopt;
  };
  std::vector<std::pair<std::string, std::size_t>> byRecording;
  for (const auto& row : r.published) {
    const auto i = appIndex(row);
    ASSERT_TRUE(i) << "published position the app never heard of: " << row.dump();
    EXPECT_EQ(row.value("activity", ""), app[*i].value("activity", "")) << row.dump();
    byRecording.emplace_back(row.value("recorded_at", ""), *i);
    if (row.value("activity", "") == "M") {
      // The drive's speeds: about 20 to 60 km/h between stops.
      const auto speed = row.value("speed", std::int64_t{-1});
      EXPECT_GT(speed, 0) << row.dump();
      EXPECT_LT(speed, 150) << row.dump();
    }
  }
  std::sort(byRecording.begin(), byRecording.end());
  for (std::size_t k = 1; k < byRecording.size(); ++k) {
    EXPECT_LT(byRecording[k - 1].second, byRecording[k].second)
        << "recorded at " << byRecording[k - 1].first << " and " << byRecording[k].first;
  }
}

// Each mode on the demo's drive (226 fixes, played at about 16 times its
// pace), each in a fresh process with fresh folders, side by side.
TEST_F(ModesOnTheDriveTest, EachModeTracksTheRecordedDrive) {
  const std::vector<std::string> modes = {"passive", "balanced", "active", "custom", "time-based"};
  std::vector<DriveRun> runs(modes.size());
  {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < modes.size(); ++i) {
      threads.emplace_back([&, i] {
        try {
          runs[i] = drive(modes[i], GpsFake::demoRouteFile(), "2026-11-21T09:15:49", "0.02");
        } catch (const std::exception& e) {
          runs[i].mode = modes[i];
          runs[i].failure = e.what();
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  std::cout << "mode        positions to the app, published, fix times, activities, speeds of the moving ones\n";
  for (const auto& r : runs) std::cout << tableRow(r) << "\n";

  std::map<std::string, const DriveRun*> by;
  for (const auto& r : runs) by[r.mode] = &r;
  expectASoundDrive(*by["passive"], 2);
  expectASoundDrive(*by["balanced"], 5);
  expectASoundDrive(*by["active"], 10);
  expectASoundDrive(*by["custom"], 10);
  expectASoundDrive(*by["time-based"], 3);

  // The low-power mode wakes less often than the one that streams.
  EXPECT_LT(by["passive"]->app.size(), by["active"]->app.size());
  EXPECT_LE(by["balanced"]->app.size(), by["active"]->app.size());

  // Interval tracking: at most one position an interval (the first fix after
  // more than the interval's whole seconds), and no stall while fixes come.
  const auto& timed = by["time-based"]->app;
  for (std::size_t i = 1; i < timed.size(); ++i) {
    const auto gap = timed[i].value("came_ms", std::int64_t{0}) - timed[i - 1].value("came_ms", std::int64_t{0});
    EXPECT_GE(gap, (kInterval + 1) * 1000 - 200) << "positions " << i - 1 << " and " << i;
    EXPECT_LE(gap, (kInterval + 1) * 1000 + 2500) << "positions " << i - 1 << " and " << i;
  }
}

// A drive that parks for longer than a stay takes to count as a visit (three
// minutes within 50 m), then drives on.  A mode that watches visits sends the
// parked position as stationary, with speed 0, once the stay has lasted that
// long; the broker receives it once; and tracking goes on when the drive does.
TEST_F(ModesOnTheDriveTest, AVisitWhileParkedSendsTheParkedPosition) {
  using namespace std::chrono;
  const auto t0 = floor<seconds>(system_clock::now()) - 1h;
  constexpr int kParkFrom = 30, kParkUntil = 250, kEnd = 280;  // fix numbers; one a second
  const double lat = 45.0, lon = 7.0, parkedNorth = 10.0 * kParkFrom;
  std::vector<NmeaFix> log;
  for (int i = 0; i < kEnd; ++i) {
    double north = 10.0 * i, east = 0.0;  // 36 km/h
    if (i >= kParkFrom && i < kParkUntil) {
      north = parkedNorth + (i % 3) * 2.0;  // a parked receiver's wander
      east = (i % 2) * 2.0;
    } else if (i >= kParkUntil) {
      north = parkedNorth + 10.0 * (i - kParkUntil + 1);
    }
    log.push_back(GpsFake::offset(lat, lon, north, east, t0 + i * 1s));
  }
  TempDir dir;
  const std::string nmea = GpsFake::writeLog(dir.file("park.nmea"), log);
  const std::time_t last = system_clock::to_time_t(log.back().time);
  std::tm utc{};
  ::gmtime_r(&last, &utc);
  char lastTime[32];
  std::strftime(lastTime, sizeof lastTime, "%Y-%m-%dT%H:%M:%S", &utc);
  const NmeaFix parked = GpsFake::offset(lat, lon, parkedNorth, 0.0, t0);

  const std::vector<std::string> modes = {"balanced", "passive"};
  std::vector<DriveRun> runs(modes.size());
  {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < modes.size(); ++i) {
      threads.emplace_back([&, i] {
        try {
          runs[i] = drive(modes[i], nmea, lastTime, "0.02");
        } catch (const std::exception& e) {
          runs[i].mode = modes[i];
          runs[i].failure = e.what();
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  for (const auto& r : runs) std::cout << tableRow(r) << "\n";

  for (const auto& r : runs) {
    SCOPED_TRACE(r.mode);
    ASSERT_TRUE(r.failure.empty()) << r.failure;
    const auto fixTime = [&](const json& p) {
      return system_clock::time_point(milliseconds(p.value("fix_ms", std::int64_t{0})));
    };
    const auto distanceToParked = [&](const json& p) {
      Location a, b;
      a.coordinate = {p.value("latitude", 0.0), p.value("longitude", 0.0)};
      b.coordinate = {parked.latitude, parked.longitude};
      return a.distance(b);
    };
    // The stay counts once its fixes span three minutes: the visit's position
    // is a parked fix of that time or later.
    std::optional<std::size_t> visit;
    for (std::size_t i = 1; i < r.app.size(); ++i) {
      const auto t = fixTime(r.app[i]);
      if (r.app[i].value("activity", "") == "S" && t >= t0 + (kParkFrom + 150) * 1s && t < t0 + kParkUntil * 1s) {
        visit = i;
        break;
      }
    }
    ASSERT_TRUE(visit) << "no stationary position while parked; the app heard of " << r.app.dump();
    EXPECT_LT(distanceToParked(r.app[*visit]), 10.0);
    // The drive goes on: moving positions after the stay.
    std::size_t movingAfter = 0;
    for (std::size_t i = *visit + 1; i < r.app.size(); ++i) {
      if (r.app[i].value("activity", "") == "M" && fixTime(r.app[i]) >= t0 + kParkUntil * 1s) ++movingAfter;
    }
    EXPECT_GE(movingAfter, 1u) << r.app.dump();
    // Each position the app heard of reaches the broker once; the parked one
    // as stationary with speed 0.
    std::map<std::string, std::size_t> timesPublished;
    for (const auto& row : r.published) ++timesPublished[row.value("location_id", "")];
    for (const auto& [id, n] : timesPublished) EXPECT_EQ(n, 1u) << "location " << id;
    EXPECT_EQ(timesPublished.size(), r.app.size());
    std::size_t parkedRows = 0;
    for (const auto& row : r.published) {
      if (std::abs(row.value("latitude", 0.0) - r.app[*visit].value("latitude", 1.0)) > 1e-7 ||
          std::abs(row.value("longitude", 0.0) - r.app[*visit].value("longitude", 1.0)) > 1e-7) {
        continue;
      }
      ++parkedRows;
      EXPECT_EQ(row.value("activity", ""), "S") << row.dump();
      EXPECT_EQ(row.value("speed", std::int64_t{-1}), 0) << row.dump();
    }
    EXPECT_EQ(parkedRows, 1u) << "the parked position, published";
  }
}

}  // namespace
}  // namespace pelk::test
