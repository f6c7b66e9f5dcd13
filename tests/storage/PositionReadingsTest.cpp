// What a stored position reads and writes besides its row: one look at the
// battery; no look at the route table while the reachability monitor runs
// (the rows carry the monitor's state); a settings commit only to release a
// stored visit time.
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <string>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "network/Reachability.h"
#include "platform/Reachability.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkHTTPDataStorageManager.h"
#include "StorageFixture.h"
#include "support/WalCommits.h"

namespace pelk {
namespace {

using platform::ReachabilityFlags;
using test::fixAt;

// Counts every look at the power supplies, whichever reading asks.
class CountingDevice : public test::FixedDevice {
 public:
  std::int64_t batteryStatus() override {
    ++looks;
    return FixedDevice::batteryStatus();
  }
  std::string batteryState() override {
    ++looks;
    return FixedDevice::batteryState();
  }
  bool isCharging() override {
    ++looks;
    return true;
  }
  BatteryReading batteryReading() override {
    ++looks;
    return {battery, "charging"};
  }
  bool networkStatus() override { return DeviceInfo::networkStatus(); }  // the kit's own reading

  int looks = 0;
};

class PositionReadingsTest : public test::StorageTest {
 protected:
  ~PositionReadingsTest() override { platform::Reachability::useSystemFlags(); }

  // One buffer: stores a position and gives the stored row's battery and network state.
  struct Buffer {
    const char* name;
    std::function<bool()> save;
    std::function<std::tuple<std::int64_t, std::string, bool>()> newest;
  };
  std::vector<Buffer> buffers() {
    PelkCoreDataStack stack;
    auto mqtt = std::make_shared<MQTTDataStorageManager>(stack.managedObjectContext(), &counting_);
    auto http = std::make_shared<PelkHTTPDataStorageManager>(&counting_);
    return {
        {"MQTT buffer",
         [mqtt] {
           return mqtt->saveLocationData({fixAt(1, 2), "M", false, 0});
         },
         [mqtt] {
           const auto rows = mqtt->fetchDeviceData(0);
           const auto& r = rows.back();
           return std::tuple<std::int64_t, std::string, bool>{r.battery_remaining, *r.battery_status, r.network_status};
         }},
        {"HTTP buffer",
         [http] {
           return http->saveLocationData({fixAt(1, 2), "M", false, 0});
         },
         [http] {
           const auto rows = http->fetchDeviceData();
           const auto& r = rows.back();
           return std::tuple<std::int64_t, std::string, bool>{r.battery_remaining, *r.bat_stat, r.net_stat};
         }},
    };
  }

  CountingDevice counting_;
};

TEST_F(PositionReadingsTest, EachPositionLooksAtTheBatteryOnce) {
  for (auto& b : buffers()) {
    SCOPED_TRACE(b.name);
    counting_.looks = 0;
    ASSERT_TRUE(b.save());
    EXPECT_EQ(counting_.looks, 1);
    const auto [percent, state, online] = b.newest();
    EXPECT_EQ(percent, 87);
    EXPECT_EQ(state, "charging");
  }
}

TEST_F(PositionReadingsTest, RowsCarryTheRunningMonitorsStateWithoutARouteReadingEach) {
  platform::Reachability::useTestFlags(ReachabilityFlags::reachable);
  auto monitor = Reachability::create(nullptr);
  monitor->startNotifier();
  auto all = buffers();
  const auto readings = platform::Reachability::oneShotReadings();
  for (const auto& [flags, online] : {std::pair{0u, false},
                                      {ReachabilityFlags::reachable, true},
                                      {ReachabilityFlags::reachable | ReachabilityFlags::connectionRequired, false}}) {
    platform::Reachability::setTestFlags(flags);
    for (auto& b : all) {
      SCOPED_TRACE(b.name);
      ASSERT_TRUE(b.save());
      EXPECT_EQ(std::get<2>(b.newest()), online) << flags;
    }
  }
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings);

  // With no monitor running each position reads the route table, as before.
  monitor.reset();
  for (auto& b : all) {
    SCOPED_TRACE(b.name);
    ASSERT_TRUE(b.save());
    EXPECT_FALSE(std::get<2>(b.newest()));  // the test source still reads connection required
  }
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings + all.size());
}

TEST_F(PositionReadingsTest, OnlyAStoredVisitTimeCostsASettingsCommit) {
  PelkCoreDataStack stack;
  MQTTDataStorageManager buffer(stack.managedObjectContext(), &counting_);
  const std::string file = SharedUtil::userDefaultValue()->path();
  const std::string visit = "2023-05-06T07:08:09.000Z";
  struct Case {
    const char* what;
    const char* activity;
    std::optional<std::string> stored;
    int commits;
    bool remains;
  };
  const Case cases[] = {
      {"stationary, no visit stored", "S", std::nullopt, 0, false},
      {"stationary, visit stored: released", "S", visit, 1, false},
      {"stationary, empty visit stored: released", "S", "", 1, false},
      {"moving, visit stored: kept", "M", visit, 0, true},
  };
  for (const auto& c : cases) {
    SharedUtil::removeKey(kVisitDate);
    if (c.stored) SharedUtil::setDefaultString(*c.stored, kVisitDate);
    const int before = test::walCommits(file);
    ASSERT_TRUE(buffer.saveLocationData({fixAt(1, 2), c.activity, false, 0})) << c.what;
    EXPECT_EQ(test::walCommits(file) - before, c.commits) << c.what;
    EXPECT_EQ(SharedUtil::userDefaultValue()->contains(kVisitDate), c.remains) << c.what;
  }
}

}  // namespace
}  // namespace pelk
