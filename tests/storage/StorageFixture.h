#pragma once

// Shared by the storage suites: fixed device readings and a fixture with the
// kit's directories and settings in a temp dir.

#include <string>

#include "device/DeviceInfo.h"
#include "platform/Location.h"
#include "support/KitFixture.h"
#include "support/FixBuilder.h"

namespace pelk::test {

class FixedDevice : public DeviceInfo {
 public:
  bool isLocationServicesEnabled() override { return true; }
  bool isLowPowerEnabled() override { return true; }
  bool locationState() override { return true; }
  std::int64_t batteryStatus() override { return battery; }
  std::string timeOffSet() override { return "+0530"; }
  std::string batteryState() override { return "charging"; }
  BatteryReading batteryReading() override { return {batteryStatus(), batteryState()}; }
  std::string deviceModel() override { return "Test Board 3"; }
  std::string deviceBrand() override { return "TestBoard"; }
  std::string osVersion() override { return "12.4"; }
  bool networkStatus() override { return false; }
  bool getVuvivaZuvovo() override { return true; }
  std::string appState() override { return "B"; }

  std::int64_t battery = 87;
};

inline platform::Location fixAt(double latitude, double longitude) {
  return FixBuilder(latitude, longitude).altitude(12.5, 3.0).accuracy(4.0).speed(1.5).course(270.0);
}

class StorageTest : public SettingsTest {
 protected:
  FixedDevice device_;
};

}  // namespace pelk::test
