// A recorded NMEA route played by gpsfake into a real gpsd on a free loopback
// port, read by the gpsd provider, tracked by the active mode, the one-shot
// service and interval tracking, and handed through the location sink to the
// app.


#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/GpsdLocationProvider.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
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
    provider_ = std::make_shared<platform::GpsdLocationProvider>(
        platform::GpsdConfig{"127.0.0.1", std::to_string(port_), 50ms, 400ms});
    platform::LocationServices::useProvider(provider_);
  }
  void TearDown() override {
    PelkActiveTracking::shareInstance().stopTracking();
    platform::Dispatch::drainMain();
    platform::LocationServices::useSimulatedProvider();
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
  int port_ = -1;
  std::shared_ptr<platform::GpsdLocationProvider> provider_;
};

TEST_F(GpsdRouteTest, FixesOfARecordedRouteReachTheApp) {
  GpsFake fake(port_, true);
  ASSERT_TRUE(fake.started());
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  auto& active = PelkActiveTracking::shareInstance();
  active.resetFirstCallForTesting();
  active.startTracking();
  const platform::Coordinate last{45.1306, 7.4328};
  // The route is played once; wait until its end reached the location service.
  ASSERT_TRUE(drainUntil(
      [&] {
        auto fix = platform::LocationServices::lastLocation();
        return fix && fix->coordinate == last;
      },
      20'000ms))
      << "positions " << deliveredCount();
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

}  // namespace
}  // namespace pelk::test
