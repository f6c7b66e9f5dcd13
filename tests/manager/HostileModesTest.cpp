#include <functional>
#include <thread>

#include "ManagerFixture.h"
#include "pelk/pelk.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"
#include "tracking/PelkTimeBasedLocationManager.h"

namespace pelk::test {
namespace {

class HostileModesTest : public ManagerTest {
 protected:
  HostileModesTest() { storeUser(); }
  ~HostileModesTest() override {
    PelkActiveTracking::shareInstance().stopTracking();
    PelkReActiveTracking::shareInstance().stopTracking();
    PelkPassiveTracking::shareInstance().stopTracking();
    PelkCustomTracking::sharedInstance().stopTracking();
    platform::Dispatch::drainMain();
    PelkCustomTracking::sharedInstance().resetForTesting();
    PelkTimeBasedLocationManager::instance().resetForTesting();
  }
};

// Whether anything of a mode still asks the location service for positions.
bool busy(const std::shared_ptr<platform::LocationManager>& m) {
  return m && (m->isUpdatingLocation() || m->isMonitoringSignificantLocationChanges() || m->isMonitoringVisits());
}

struct Mode {
  const char* name;
  PelkTrackingMode mode;
  std::optional<PelkTrackingCustomMethods> options;
  std::function<std::shared_ptr<platform::LocationManager>()> manager;
};

PelkTrackingCustomMethods intervalOptions() {
  PelkTrackingCustomMethods o;
  o.updateInterval = 30;
  return o;
}

const Mode kModes[] = {
    {"active", PelkTrackingMode::active, std::nullopt, [] { return PelkActiveTracking::shareInstance().locationManager(); }},
    {"balanced", PelkTrackingMode::balanced, std::nullopt,
     [] { return PelkReActiveTracking::shareInstance().locationManager(); }},
    {"passive", PelkTrackingMode::passive, std::nullopt,
     [] { return PelkPassiveTracking::shareInstance().locationManager(); }},
    {"custom", PelkTrackingMode::custom, PelkTrackingCustomMethods{},
     [] { return PelkCustomTracking::sharedInstance().locationManager(); }},
    {"interval", PelkTrackingMode::custom, intervalOptions(),
     [] { return PelkTimeBasedLocationManager::instance().locationManager(); }},
};

// A start of another mode without a stop in between: the mode that ran before
// must not go on asking for positions beside the new one (its own check of the
// stored mode only runs when a position reaches it, which may be never), and
// the app's stop afterwards leaves nothing running.
TEST_F(HostileModesTest, StartingAnotherModeStopsTheOneRunning) {
  manager().setTrackingModes(defaultTrackingModes());
  for (const auto& from : kModes) {
    for (const auto& to : kModes) {
      if (&from == &to || (from.mode == to.mode && to.mode != PelkTrackingMode::custom)) continue;
      SCOPED_TRACE(std::string(from.name) + " -> " + to.name);
      Pelk::startTracking(from.mode, from.options);
      platform::Dispatch::drainMain();
      auto before = from.manager();
      ASSERT_TRUE(busy(before));
      Pelk::startTracking(to.mode, to.options);
      platform::Dispatch::drainMain();
      EXPECT_FALSE(busy(before)) << "the earlier mode still runs";
      EXPECT_TRUE(busy(to.manager()));
      Pelk::stopTracking();
      platform::Dispatch::drainMain();
      for (const auto& any : kModes) EXPECT_FALSE(busy(any.manager())) << any.name << " left running";
      EXPECT_EQ(platform::Dispatch::liveRepeatingTimers(), 0u);
    }
  }
}

// Two host threads race on starting and stopping.  Whichever call wins, the
// mode that runs is the stored one (each mode stops itself at its first
// position when another is stored, which would leave tracking switched on with
// nothing running), and the switch says whether a mode runs.
TEST_F(HostileModesTest, RacingStartsAndStopsAgreeWithTheStore) {
  const std::function<void()> startPassive = [] { Pelk::startTracking(PelkTrackingMode::passive); };
  const std::function<void()> startBalanced = [] { Pelk::startTracking(PelkTrackingMode::balanced); };
  const std::function<void()> stop = [] { Pelk::stopTracking(); };
  const std::pair<std::function<void()>, std::function<void()>> races[] = {{startPassive, startBalanced},
                                                                           {startPassive, stop}};
  for (const auto& [first, second] : races) {
    int mismatches = 0;
    for (int round = 0; round < 150; ++round) {
      Pelk::stopTracking();
      platform::Dispatch::drainMain();
      modes_->clear();
      std::thread a(first);
      std::thread b(second);
      a.join();
      b.join();
      platform::Dispatch::drainMain();
      std::string lastStart;
      for (const auto& call : modes_->calls()) {
        if (call.rfind("start", 0) == 0) lastStart = call;
      }
      const auto running = manager().runningMode();
      const bool agrees = Pelk::isLocationTracking()
                              ? running == SaveUtilis::getTrackingOptions() &&
                                    lastStart == modeCall("start", SaveUtilis::getTrackingOptions())
                              : running == PelkTrackingModeLocal::notselected;
      if (!agrees) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// Two host threads start the custom mode with different option sets: the set
// stored for restarts is the one the running start was given, never a blend.
TEST_F(HostileModesTest, RacingCustomStartsStoreTheSetThatRuns) {
  auto given = std::make_shared<CallList>();
  TrackingModes modes;
  modes.start = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("start", mode)); };
  modes.stop = [m = modes_](PelkTrackingModeLocal mode) { m->add(modeCall("stop", mode)); };
  modes.startCustom = [given](const PelkTrackingCustomMethods& o) {
    given->add(std::to_string(o.updateInterval.value_or(-1)));
  };
  manager().setTrackingModes(modes);
  PelkTrackingCustomMethods a, b;
  a.setUpCustomOptions(LocationAccuracy::best, true, true, 10.0, true, true, true, 300, true,
                       LocationActivityType::fitness, true, true, 20);
  a.updateInterval = 30;
  b.setUpCustomOptions(LocationAccuracy::kilometer, false, false, 70.0, false, false, false, 900, false,
                       LocationActivityType::airborne, false, false, 90);
  b.updateInterval = 0;
  int blends = 0;
  for (int round = 0; round < 100; ++round) {
    given->clear();
    std::thread ta([&] { Pelk::startTracking(PelkTrackingMode::custom, a); });
    std::thread tb([&] { Pelk::startTracking(PelkTrackingMode::custom, b); });
    ta.join();
    tb.join();
    platform::Dispatch::drainMain();
    const auto ran = given->calls();
    ASSERT_FALSE(ran.empty());
    const auto& expected = ran.back() == "30" ? a : b;
    if (PelkCustomTracking::getCustomOptions() != expected) ++blends;
  }
  EXPECT_EQ(blends, 0);
}

// Option text from a C host that is no option set, or holds values no option
// can take, starts nothing and stores nothing.
TEST_F(HostileModesTest, BadOptionTextStartsNothing) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepInside = "{\"updateInterval\": 5, \"x\": " + deep + "}";
  const std::string badUtf8 = "{\"useVisits\": true, \"\xff\xfe\": 1}";
  const std::vector<std::string> texts = {
      "", "null", "[]", "{", deep, deepInside, badUtf8,
      R"({"updateInterval": 1e400})", R"({"updateInterval": 18446744073709551615})",
      R"({"updateInterval": 1.5})", R"({"distanceFilter": 1e400})", R"({"distanceFilter": "NaN"})",
      R"({"desiredAccuracy": 6})", R"({"activityType": -1})", R"({"geofenceRadius": true})",
      R"({"useVisits": 1})", R"({"updateInterval": 5, "updateInterval": "x"})",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text.substr(0, 60));
    modes_->clear();
    EXPECT_FALSE(pelk_start_tracking_with_options(4, text.c_str()));
    EXPECT_FALSE(pelk_start_self_tracking_with_options(4, text.c_str()));
    platform::Dispatch::drainMain();
    EXPECT_TRUE(modes_->calls().empty());
    EXPECT_FALSE(Pelk::isLocationTracking());
    EXPECT_NE(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::custom);
  }
}

}  // namespace
}  // namespace pelk::test
