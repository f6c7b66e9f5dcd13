// Region exits of the modes that keep a region around their latest position:
// a crossing is worked out from each fix as it comes in, but the mode's update
// for that fix may already have sent it and moved the region.

#include <functional>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

using Mode = PelkTrackingModeLocal;

struct ModeCase {
  const char* name;
  Mode mode;
  std::function<void()> start;
  std::function<void()> stop;
  std::function<void()> resetFirstCall;
  // Switches the mode's accuracy filter on; a fix of 400 m fails it.
  std::function<void()> filterOn;
  std::string region;  // the identifier of the region around the latest position
};

std::vector<ModeCase> modes() {
  auto geofencedFilter = [] { SharedUtil::setDefaultBoolean(true, kAccuracyFilter); };
  auto& active = PelkActiveTracking::shareInstance();
  auto& balanced = PelkReActiveTracking::shareInstance();
  auto& passive = PelkPassiveTracking::shareInstance();
  auto& custom = PelkCustomTracking::sharedInstance();
  return {
      {"active", Mode::active, [&] { active.startTracking(); }, [&] { active.stopTracking(); },
       [&] { active.resetFirstCallForTesting(); }, geofencedFilter, KGeofenceRegionIdentifier},
      {"balanced", Mode::balanced, [&] { balanced.startTracking(); }, [&] { balanced.stopTracking(); },
       [&] { balanced.resetFirstCallForTesting(); }, geofencedFilter, "geofenceRadius"},
      {"passive", Mode::passive, [&] { passive.startTracking(); }, [&] { passive.stopTracking(); },
       [&] { passive.resetFirstCallForTesting(); }, geofencedFilter, KGeofenceRegionIdentifier},
      {"custom", Mode::custom,
       [&] {
         PelkTrackingCustomMethods o;
         o.useRegionMonitoring = true;
         o.useStandardLocationServices = false;
         custom.startTracking(o);
       },
       [&] { custom.stopTracking(); }, [&] { custom.resetForTesting(); },
       [] {
         SharedUtil::setDefaultBoolean(true, kAccuracyFilterCustom);
         SharedUtil::setDefaultInteger(50, kCustomAccuracyFilter);
       },
       "geofenceRadius"},
  };
}

class RegionCrossingTest : public TrackingTest {
 protected:
  RegionCrossingTest() {
    platform::Application::resetForTesting();
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  }
  ~RegionCrossingTest() override { platform::Application::resetForTesting(); }

  void start(const ModeCase& m) {
    platform::Dispatch::advanceClock(1s);  // each mode its own fixes
    {
      std::lock_guard lock(rec_->mutex);
      rec_->delivered.clear();
    }
    SharedUtil::setDefaultInteger(rawValue(m.mode), kTrackingOption);
    m.resetFirstCall();
    m.start();
    sim_->setAuthorization(platform::AuthorizationStatus::authorizedAlways);
    platform::Dispatch::drainMain();
  }
  void finish(const ModeCase& m) {
    m.stop();
    BaseCLManager::sharedInstance().resetForTesting();
    platform::Dispatch::drainMain();
    SharedUtil::setDefaultBoolean(false, kAccuracyFilter);
    SharedUtil::setDefaultBoolean(false, kAccuracyFilterCustom);
    sim_->setAuthorization(platform::AuthorizationStatus::notDetermined);
    platform::Dispatch::drainMain();
  }
  std::vector<std::pair<double, std::string>> sent() {
    std::lock_guard lock(rec_->mutex);
    std::vector<std::pair<double, std::string>> out;
    for (auto& [fix, activity] : rec_->delivered) out.emplace_back(fix.coordinate.latitude, activity);
    return out;
  }
  static std::vector<platform::CircularRegion> regionsNamed(const std::string& prefix) {
    std::vector<platform::CircularRegion> out;
    for (auto& r : platform::LocationServices::monitoredRegions()) {
      if (r.identifier.rfind(prefix, 0) == 0) out.push_back(r);
    }
    return out;
  }
};

// A jump of about a kilometre: the mode's update sends the new place and moves
// the region to it; the exit worked out from the same fix belongs to the
// region that is gone and sends nothing.
TEST_F(RegionCrossingTest, AJumpOutOfTheRegionSendsTheNewPlaceOnce) {
  for (const auto& m : modes()) {
    SCOPED_TRACE(m.name);
    start(m);
    deliver(52.5);
    deliver(52.51);
    EXPECT_EQ(sent(), (std::vector<std::pair<double, std::string>>{{52.5, "S"}, {52.51, "M"}}));
    const auto regions = regionsNamed(m.region);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].center.latitude, 52.51);
    finish(m);
  }
}

// The same jump reported with an error of 400 m: the accuracy gate refuses the
// update, and the exit that fix causes does not let it in either.
TEST_F(RegionCrossingTest, AnExitCausedByAFixTheGateRefusesSendsNothing) {
  for (const auto& m : modes()) {
    SCOPED_TRACE(m.name);
    start(m);
    m.filterOn();
    deliver(52.5);
    deliver(52.51, 400);
    EXPECT_EQ(sent(), (std::vector<std::pair<double, std::string>>{{52.5, "S"}}));
    EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 1u) << "the refused update asks for a better fix";
    finish(m);
  }
}

}  // namespace
}  // namespace pelk::test
