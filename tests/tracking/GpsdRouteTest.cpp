// A recorded NMEA route played by gpsfake into a real gpsd on a free loopback
// port, read by the gpsd provider, tracked by the active mode, and handed
// through the location sink to the app.


#include <filesystem>
#include <thread>

#include "platform/GpsdLocationProvider.h"
#include "tracking/PelkActiveTracking.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

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
}

}  // namespace
}  // namespace pelk::test
