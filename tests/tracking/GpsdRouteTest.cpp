// A recorded NMEA route played by gpsfake into a real gpsd on a free loopback
// port, read by the gpsd provider, tracked by the tracking modes, the one-shot
// service and interval tracking, and handed through the location sink to the
// app.

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "foundation/VuvivaZuvovo.h"
#include "messaging/LocationUtils.h"
#include "platform/Console.h"
#include "platform/GpsdLocationProvider.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/TestEnvironment.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

// The gpsd provider, with whether it runs.
class WatchedProvider : public platform::LocationProvider {
 public:
  explicit WatchedProvider(std::shared_ptr<platform::LocationProvider> inner) : inner_(std::move(inner)) {}
  void start() override {
    inner_->start();
    running_ = true;
  }
  void stop() override {
    inner_->stop();
    running_ = false;
  }
  void join() override { inner_->join(); }
  void authorizationRequested(bool always) override { inner_->authorizationRequested(always); }
  bool running() const { return running_.load(); }

 private:
  std::shared_ptr<platform::LocationProvider> inner_;
  std::atomic<bool> running_{false};
};

class GpsdRouteTest : public TrackingTest {
 protected:
  void SetUp() override {
    if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
    port_ = HttpTestServer::unusedPort();
    ASSERT_GT(port_, 0);
    useConfig(config());
  }
  void TearDown() override {
    PelkActiveTracking::shareInstance().stopTracking();
    PelkTimeBasedLocationManager::instance().stop();
    platform::Dispatch::drainMain();
    platform::LocationServices::useSimulatedProvider();
  }
  platform::GpsdConfig config() const { return platform::GpsdConfig{"127.0.0.1", std::to_string(port_), 50ms, 400ms}; }
  void useConfig(platform::GpsdConfig config) {
    provider_ = std::make_shared<platform::GpsdLocationProvider>(std::move(config));
    platform::LocationServices::useProvider(provider_);
  }
  template <class F>
  bool drainUntil(F done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      platform::Dispatch::drainMain();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
  }
  void startActive() {
    SharedUtil::setDefaultInteger(3, kTrackingOption);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    auto& active = PelkActiveTracking::shareInstance();
    active.resetFirstCallForTesting();
    active.startTracking();
  }
  std::string diag() {
    return "positions " + std::to_string(deliveredCount()) + ", attempts " +
           std::to_string(provider_->connectAttempts()) + ", connections " + std::to_string(provider_->connections()) +
           ", fixes read " + std::to_string(provider_->fixesReported()) + ", without fix " +
           std::to_string(provider_->reportsWithoutFix());
  }
  int port_ = -1;
  std::shared_ptr<platform::GpsdLocationProvider> provider_;
};

TEST_F(GpsdRouteTest, FixesOfARecordedRouteReachTheApp) {
  GpsFake fake(port_, true);
  ASSERT_TRUE(fake.started());
  startActive();
  const platform::Coordinate last{45.1306, 7.4328};
  // The route is played once; wait until its end reached the location service.
  ASSERT_TRUE(drainUntil(
      [&] {
        auto fix = platform::LocationServices::lastLocation();
        return fix && fix->coordinate == last;
      },
      20'000ms))
      << diag();
  platform::Dispatch::drainMain();
  std::lock_guard lock(rec_->mutex);
  EXPECT_GE(rec_->delivered.size(), 4u);
  EXPECT_EQ(rec_->delivered.front().second, "S");
  EXPECT_EQ(rec_->delivered.back().second, "M");
  EXPECT_EQ(rec_->published.size(), rec_->delivered.size());
  for (const auto& [fix, activity] : rec_->delivered) {
    EXPECT_NEAR(fix.coordinate.latitude, 45.12, 0.02);
    EXPECT_NEAR(fix.coordinate.longitude, 7.43, 0.01);
  }
  // The route leaves each region at once: the exit that a fix causes must not
  // send that fix a second time.
  for (std::size_t i = 0; i < rec_->delivered.size(); ++i) {
    for (std::size_t j = i + 1; j < rec_->delivered.size(); ++j) {
      EXPECT_FALSE(rec_->delivered[i].first == rec_->delivered[j].first) << "position " << i << " again at " << j;
    }
  }
}

// gpsd's error estimates are cautious: on this route every fix is reported at
// more than 10 m.  A request for 10 m answers at its bound with the most
// accurate fix gpsd reported meanwhile, and the provider stops reading gpsd
// once nothing waits for a position.
TEST_F(GpsdRouteTest, ACurrentLocationFinerThanGpsdReportsAnswersAtItsBoundAndStopsTheStream) {
  GpsFake fake(port_, false);
  ASSERT_TRUE(fake.started());
  auto watched = std::make_shared<WatchedProvider>(provider_);
  platform::LocationServices::useProvider(watched);
  platform::LocationServices::setAuthorizationStatus(platform::AuthorizationStatus::authorizedAlways);
  auto& base = BaseCLManager::sharedInstance();
  std::optional<platform::Location> answer;
  std::optional<PelkError> error;
  int calls = 0;
  base.getCurrentLocation(10, [&](std::optional<platform::Location> fix, std::optional<PelkError> e) {
    ++calls;
    answer = fix;
    error = e;
  });
  EXPECT_TRUE(watched->running());
  // Fixes come in real time; the bound is on the virtual clock.
  ASSERT_TRUE(drainUntil([&] { return provider_->fixesReported() >= 5; }, 20'000ms));
  platform::Dispatch::drainMain();
  const auto seen = platform::LocationServices::lastLocation();
  ASSERT_TRUE(seen);
  EXPECT_GT(seen->horizontalAccuracy, 10.0);
  EXPECT_EQ(calls, 0);
  platform::Dispatch::advanceClock(BaseCLManager::kRequestBound);
  ASSERT_EQ(calls, 1);
  EXPECT_FALSE(error);
  ASSERT_TRUE(answer);
  EXPECT_GT(answer->horizontalAccuracy, 10.0);
  EXPECT_NEAR(answer->coordinate.latitude, 45.12, 0.02);
  EXPECT_TRUE(drainUntil([&] { return !watched->running(); }, 5'000ms)) << "gpsd is still read";
}

// Interval tracking on a drive: gpsd reports the receiver's speed (3.9 knots
// on this route) and every position goes out with it, as moving.
TEST_F(GpsdRouteTest, IntervalPositionsOnADriveCarryTheReceiversSpeed) {
  GpsFake fake(port_, false);
  ASSERT_TRUE(fake.started());
  SharedUtil::setDefaultInteger(4, kTrackingOption);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  platform::LocationServices::setAuthorizationStatus(platform::AuthorizationStatus::authorizedAlways);
  auto& custom = PelkCustomTracking::sharedInstance();
  custom.resetForTesting();
  PelkTimeBasedLocationManager::instance().resetForTesting();
  PelkTrackingCustomMethods o;
  o.updateInterval = 1;
  custom.startTracking(o);
  // The virtual clock moves on as real fixes come: each tick restarts the
  // updates (a connection refused while gpsd starts up pauses them) and lets
  // the next fix go out.
  ASSERT_TRUE(drainUntil(
      [&] {
        platform::Dispatch::advanceClock(2s);
        return deliveredCount() >= 4;
      },
      20'000ms))
      << "positions " << deliveredCount();
  custom.stopTracking();
  platform::Dispatch::drainMain();
  // A report gpsd makes before it has read the receiver's motion (course and
  // speed unknown) has nothing to measure from yet; every other goes out with
  // the receiver's speed.
  std::lock_guard lock(rec_->mutex);
  std::size_t withMotion = 0;
  for (const auto& message : rec_->published) {
    const auto json = nlohmann::json::parse(message);
    if (json.at("course") == -1.0) continue;
    ++withMotion;
    EXPECT_EQ(json.at("speed"), 7) << message;
    EXPECT_EQ(json.at("activity"), "M") << message;
  }
  EXPECT_GE(withMotion, 2u);
}

// The host's clock an hour ahead of the receiver's (a box without a real-time
// clock whose clock was set wrong, or the receiver's): with the accuracy
// filter on, fresh fixes still pass the 10 s age test (none is refused and
// replaced by a one-shot fix); their GPS time stays their time stamp.
TEST_F(GpsdRouteTest, FixesAnHourBehindTheHostClockPassTheAgeTest) {
  TempDir dir;
  const auto gpsTime = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) - 1h;
  std::vector<NmeaFix> log;
  // 30 m apart: beyond the mode's 25 m distance filter.
  for (int i = 0; i < 12; ++i) log.push_back(GpsFake::offset(45.0, 7.0, 30.0 * i, 0.0, gpsTime + i * 1s));
  GpsFake fake(port_, true, "0.1", GpsFake::writeLog(dir.file("behind.nmea"), log));
  ASSERT_TRUE(fake.started());
  SharedUtil::setDefaultBoolean(true, kAccuracyFilter);
  startActive();
  const auto lastPoint = log.back();
  ASSERT_TRUE(drainUntil(
      [&] {
        auto fix = platform::LocationServices::lastLocation();
        return fix && std::abs(fix->coordinate.latitude - lastPoint.latitude) < 1e-6;
      },
      20'000ms))
      << diag();
  platform::Dispatch::drainMain();
  // A refused fix would have been replaced by a one-shot request for 50 m.
  EXPECT_EQ(BaseCLManager::sharedInstance().lcoationAccuracy(), BaseCLManager::kDefaultAccuracy)
      << "a fix was refused by the age test";
  std::lock_guard lock(rec_->mutex);
  ASSERT_GE(rec_->delivered.size(), 2u);
  EXPECT_EQ(rec_->delivered.front().second, "S");
  const auto& [fix, activity] = rec_->delivered.back();
  EXPECT_EQ(activity, "M");
  EXPECT_LE(fix.timestamp, gpsTime + 12s) << "the fix keeps the receiver's time";
  EXPECT_GE(fix.timestamp, gpsTime);
}

// Interval tracking restarts its updates at every tick; the gpsd connection
// stays the one it had.
TEST_F(GpsdRouteTest, IntervalTrackingKeepsOneConnectionThroughItsTicks) {
  GpsFake fake(port_, false);  // the route over and over
  ASSERT_TRUE(fake.started());
  // (The fixture's gpsfake answers once built: no failed first connect pauses
  // the updates until the next tick.)
  SharedUtil::setDefaultInteger(4, kTrackingOption);
  platform::LocationServices::setAuthorizationStatus(platform::AuthorizationStatus::authorizedAlways);
  auto& timed = PelkTimeBasedLocationManager::instance();
  timed.resetForTesting();
  timed.start(2);
  ASSERT_TRUE(drainUntil([&] { return deliveredCount() >= 1; }, 20'000ms))
      << "fixes read " << provider_->fixesReported() << ", connections " << provider_->connections() << ", updating "
      << (timed.locationManager() && timed.locationManager()->isUpdatingLocation());
  const auto connections = provider_->connections();
  for (int tick = 0; tick < 10; ++tick) {
    platform::Dispatch::advanceClock(2s);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(provider_->connections(), connections) << "a connection per tick";
  // The looped route brings every fix back with its own time: the first one
  // after the ticks may be the very fix sent last, which is not sent again,
  // and the interval then starts over.  The clock moves on, a tick at a time
  // while positions flow, until a new one goes out.
  const auto before = deliveredCount();
  ASSERT_TRUE(drainUntil(
      [&] {
        platform::Dispatch::advanceClock(2s);
        return deliveredCount() > before;
      },
      10'000ms))
      << "positions still flow";
  EXPECT_EQ(provider_->connections(), connections);
}

// gpsd stopped: the location service is gone (one console line, the GPS
// status record and the app's error, once however often the provider tries
// again); gpsd back: available again (one line), and positions flow.  (The
// fixture installs the watch, as the kit's first use does.)
TEST_F(GpsdRouteTest, GpsdGoneAndBackIsTheServiceGoneAndBackOnce) {
  auto errors = std::make_shared<std::vector<PelkError>>();
  tracking::links::didFail.set([errors](const PelkError& e) { errors->push_back(e); });
  platform::Console::Capture console;
  auto fake = std::make_unique<GpsFake>(port_, false);
  ASSERT_TRUE(fake->started());
  startActive();
  ASSERT_TRUE(drainUntil([&] { return deliveredCount() >= 2; }, 20'000ms)) << diag();

  // The GPS status record: no position, GPS and permission reported off.
  auto records = [&] {
    std::lock_guard lock(rec_->mutex);
    return std::count_if(rec_->published.begin(), rec_->published.end(), [](const std::string& m) {
      const auto j = nlohmann::json::parse(m, nullptr, false);
      return j.is_object() && !j.contains("latitude") && j.value("gps_status", true) == false &&
             j.value("location_permission", true) == false;
    });
  };
  auto linesStarting = [&](const std::string& prefix) {
    const auto lines = console.lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  const auto recordsBefore = records();
  const auto errorsBefore = errors->size();
  const auto goneBefore = linesStarting("Location services unavailable: ");
  const auto backBefore = linesStarting("Location services available again: ");
  const bool trackingSwitch = LocationUtils::isLocationTracking();

  fake.reset();  // gpsd goes away
  // Gone for longer than the grace a restarting daemon gets.
  ASSERT_TRUE(drainUntil([&] { return linesStarting("Location services unavailable: ") > goneBefore; }, 15'000ms));
  const auto attempts = provider_->connectAttempts();
  ASSERT_TRUE(drainUntil([&] { return provider_->connectAttempts() >= attempts + 3; }, 10'000ms));
  EXPECT_EQ(records(), recordsBefore + 1);
  ASSERT_EQ(errors->size(), errorsBefore + 1);
  EXPECT_EQ(errors->back().code(), "QB408");
  EXPECT_EQ(errors->back().message(), VuvivaZuvovo::ERROR_LOCATION_PERMISSION);

  const auto delivered = deliveredCount();
  fake = std::make_unique<GpsFake>(port_, false);  // gpsd is back on the same port
  ASSERT_TRUE(drainUntil([&] { return linesStarting("Location services available again: ") > backBefore; }, 20'000ms))
      << diag();
  ASSERT_TRUE(drainUntil([&] { return deliveredCount() > delivered; }, 10'000ms)) << "tracking went on";
  EXPECT_EQ(linesStarting("Location services unavailable: "), goneBefore + 1);
  EXPECT_EQ(linesStarting("Location services available again: "), backBefore + 1);
  EXPECT_EQ(records(), recordsBefore + 1);
  EXPECT_EQ(errors->size(), errorsBefore + 1);
  EXPECT_EQ(LocationUtils::isLocationTracking(), trackingSwitch) << "the tracking switch is left as it was";
}

}  // namespace
}  // namespace pelk::test
