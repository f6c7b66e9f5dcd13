#include <functional>

#include "ManagerFixture.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"

namespace pelk::test {
namespace {

class BalancedPassiveModesTest : public ManagerTest {
 protected:
  BalancedPassiveModesTest() {
    manager().setTrackingModes(defaultTrackingModes());
    storeUser();
  }
  ~BalancedPassiveModesTest() override {
    PelkReActiveTracking::shareInstance().stopTracking();
    PelkPassiveTracking::shareInstance().stopTracking();
    platform::Dispatch::drainMain();
  }
};

struct ModeCase {
  const char* name;
  PelkTrackingMode mode;
  std::function<std::shared_ptr<platform::LocationManager>()> manager;
  std::function<bool(const platform::LocationManager&)> running;
};

const ModeCase kModes[] = {
    {"balanced", PelkTrackingMode::balanced, [] { return PelkReActiveTracking::shareInstance().locationManager(); },
     [](const platform::LocationManager& m) { return m.isUpdatingLocation(); }},
    {"passive", PelkTrackingMode::passive, [] { return PelkPassiveTracking::shareInstance().locationManager(); },
     [](const platform::LocationManager& m) { return m.isMonitoringSignificantLocationChanges(); }},
};

TEST_F(BalancedPassiveModesTest, TheFacadeStartsAndStopsEachMode) {
  for (const auto& c : kModes) {
    SCOPED_TRACE(c.name);
    platform::Console::Capture console;
    Pelk::startTracking(c.mode);
    platform::Dispatch::drainMain();
    EXPECT_TRUE(console.contains("Tracking Started"));
    EXPECT_FALSE(console.contains(kTrackingModeNotAvailable));
    EXPECT_EQ(manager().runningMode(), pelkTrackingModeLocalFromRawValue(rawValue(c.mode)));
    auto m = c.manager();
    ASSERT_TRUE(m);
    EXPECT_TRUE(c.running(*m));

    Pelk::stopTracking();
    platform::Dispatch::drainMain();
    EXPECT_FALSE(c.manager());
    EXPECT_FALSE(c.running(*m));
    EXPECT_FALSE(manager().isLocationTracking());
  }
}

TEST_F(BalancedPassiveModesTest, AStopWithNoModeKnownStopsBothModes) {
  // Started behind the manager's back: it knows no running or stored mode.
  PelkReActiveTracking::shareInstance().startTracking();
  PelkPassiveTracking::shareInstance().startTracking();
  ASSERT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::notselected);
  Pelk::stopTracking();
  platform::Dispatch::drainMain();
  for (const auto& c : kModes) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.manager());
  }
}

}  // namespace
}  // namespace pelk::test
