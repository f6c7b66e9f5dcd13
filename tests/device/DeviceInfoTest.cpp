#include "device/DeviceInfo.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Reachability.h"

#include "device/DeviceFixture.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"

namespace pelk::test {
namespace {

DeviceInfo& info() { return DeviceInfo::sharedInstance(); }

TEST_F(DeviceTest, BatteryPercentAndStateTexts) {
  struct Case {
    const char* status;
    const char* capacity;
    std::int64_t percent;
    const char* state;
    bool charging;
  };
  const Case cases[] = {
      {"Charging", "29", 29, "charging", true},  // float nearest 0.29, times 100 in single precision
      {"Discharging", "57", 57, "unplugged", false},
      {"Discharging", "53", 53, "unplugged", false},  // 0.53f * 100 is 52.99998: rounded, not cut
      {"Charging", "59", 59, "charging", true},
      {"Full", "100", 100, "Full", false},
      {"Discharging", "0", 0, "unplugged", false},
      {"Unknown", "1", 1, "unknown", false},
  };
  for (const auto& c : cases) {
    battery(c.status, c.capacity);
    EXPECT_EQ(info().batteryStatus(), c.percent) << c.capacity;
    EXPECT_EQ(info().batteryState(), c.state) << c.status;
    EXPECT_EQ(info().isCharging(), c.charging) << c.status;
    const auto both = info().batteryReading();  // what a stored position takes, from one scan
    EXPECT_EQ(both.percent, c.percent) << c.capacity;
    EXPECT_EQ(both.state, c.state) << c.status;
  }
  noBattery();
  EXPECT_EQ(info().batteryStatus(), 0);
  EXPECT_EQ(info().batteryState(), "unknown");

  battery("Charging", "80");
  platform::Device::setBatteryMonitoringEnabled(false);
  EXPECT_EQ(info().batteryStatus(), 0);
  EXPECT_EQ(info().batteryState(), "unknown");
  EXPECT_EQ(info().batteryReading().percent, 0);
  EXPECT_EQ(info().batteryReading().state, "unknown");
}

TEST_F(DeviceTest, DeviceAndSystemReadings) {
  EXPECT_EQ(info().deviceModel(), "simulator/sandbox");
  simulating("iPhone12,1");
  EXPECT_EQ(info().deviceModel(), "iPhone 11");
  machine("aarch64");
  EXPECT_EQ(info().deviceModel(), "?unrecognized?");

  EXPECT_EQ(info().deviceBrand(), "Linux");
  platform::Device::setUname(platform::Device::Uname{"Tiny OS\tX", "1", "x86_64"});
  EXPECT_EQ(info().deviceBrand(), "TinyOS\tX");  // blanks go, tabs stay

  EXPECT_EQ(info().osVersion(), "12");
  EXPECT_EQ(info().sdkVersion(), "0.0.5");
  EXPECT_FALSE(info().isValidTarget());
  EXPECT_EQ(info().getCarrierName(), "");
  const std::string offset = info().timeOffSet();
  EXPECT_TRUE(onlyOf(offset.substr(0, 1), "+-", 1) && onlyOf(offset.substr(1), "0123456789", 4)) << offset;
}

TEST_F(DeviceTest, LowPowerReading) {
  EXPECT_FALSE(info().isLowPowerEnabled());
  std::filesystem::create_directories(root_ + "/sys/firmware/acpi");
  writeFile(root_ + "/sys/firmware/acpi/platform_profile", "low-power\n");
  EXPECT_TRUE(info().isLowPowerEnabled());
}

TEST_F(DeviceTest, StoredActivityAndAppState) {
  EXPECT_EQ(info().currentActivity(), "");
  EXPECT_EQ(info().appState(), "F");
  SharedUtil::setDefaultString("M", kCurrentMotion);
  SharedUtil::setDefaultString("B", KcurrentAppState);
  EXPECT_EQ(info().currentActivity(), "M");
  EXPECT_EQ(info().appState(), "B");
  SharedUtil::setDefaultString("", KcurrentAppState);
  EXPECT_EQ(info().appState(), "F");
}

TEST_F(DeviceTest, LinkedReadingsDefaultToNothingClaimed) {
  platform::Reachability::useTestFlags(0);
  EXPECT_FALSE(info().isLocationServicesEnabled());
  EXPECT_FALSE(info().locationState());
  EXPECT_FALSE(info().networkStatus());
  // Without an installed online test the default route's flags decide.
  platform::Reachability::setTestFlags(platform::ReachabilityFlags::reachable);
  EXPECT_TRUE(info().networkStatus());
  platform::Reachability::setTestFlags(platform::ReachabilityFlags::reachable |
                                       platform::ReachabilityFlags::connectionRequired);
  EXPECT_FALSE(info().networkStatus());
  platform::Reachability::useSystemFlags();
  EXPECT_FALSE(info().getVuvivaZuvovo());

  int status = 0;
  device::links::locationServicesEnabled.set([] { return true; });
  device::links::locationAuthorizationStatus.set([&] { return status; });
  device::links::networkReachable.set([] { return true; });
  device::links::motionAuthorized.set([] { return true; });
  EXPECT_TRUE(info().isLocationServicesEnabled());
  EXPECT_TRUE(info().networkStatus());
  EXPECT_TRUE(info().getVuvivaZuvovo());
  for (auto [s, expected] : {std::pair{0, false}, {1, false}, {2, false}, {3, true}, {4, true}, {5, false}}) {
    status = s;
    EXPECT_EQ(info().locationState(), expected) << s;
  }
}

TEST_F(DeviceTest, LinksCanBeInstalledWhileReadingsRun) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      info().networkStatus();
      info().locationState();
    }
  });
  for (int i = 0; i < 200; ++i) {
    device::links::networkReachable.set([i] { return i % 2 == 0; });
  }
  stop = true;
  reader.join();
  EXPECT_FALSE(info().networkStatus());  // the last one installed: i = 199
}

}  // namespace
}  // namespace pelk::test
