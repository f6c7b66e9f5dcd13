#pragma once

// A kit with settings of its own and a device described by files in a temp
// tree: x86_64 hardware (a simulator's machine name, so the simulated model
// can be chosen), Debian 12, a fixed machine id and host app.
#include <filesystem>
#include <string>

#include "device/DeviceInfo.h"
#include "platform/AppInfo.h"
#include "platform/Clock.h"
#include "platform/Device.h"
#include "support/KitFixture.h"
#include "support/TestEnvironment.h"

namespace pelk::test {

class DeviceTest : public SettingsTest {
 protected:
  DeviceTest() {
    root_ = dir_.file("device-root");
    std::filesystem::create_directories(root_ + "/sys/class/power_supply/BAT0");
    std::filesystem::create_directories(root_ + "/etc");
    writeFile(root_ + "/etc/os-release", "ID=debian\nVERSION_ID=\"12\"\n");
    writeFile(root_ + "/etc/machine-id", "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
    platform::Device::setRoot(root_);
    platform::Device::setUname(platform::Device::Uname{"Linux", "6.1.0-test", "x86_64"});
    platform::Device::setEnvironment(std::map<std::string, std::string>{});
    platform::Device::setBatteryMonitoringEnabled(true);
    platform::AppInfo::setBundleId("org.example.host");
    platform::AppInfo::setAppVersion("2.1");
  }
  ~DeviceTest() override {
    platform::Device::setRoot(std::nullopt);
    platform::Device::setUname(std::nullopt);
    platform::Device::setEnvironment(std::nullopt);
    platform::Device::setBatteryMonitoringEnabled(false);
    platform::AppInfo::setBundleId(std::nullopt);
    platform::AppInfo::setAppVersion(std::nullopt);
    platform::Clock::useSystem();
    platform::resetAllLinks();
  }

  void battery(const std::string& status, const std::string& capacity) {
    const std::string dir = root_ + "/sys/class/power_supply/BAT0";
    writeFile(dir + "/type", "Battery\n");
    writeFile(dir + "/status", status + "\n");
    writeFile(dir + "/capacity", capacity + "\n");
  }
  void noBattery() { std::filesystem::remove_all(root_ + "/sys/class/power_supply/BAT0"); }
  void machine(const std::string& name) {
    platform::Device::setUname(platform::Device::Uname{"Linux", "6.1.0-test", name});
  }
  void simulating(const std::string& identifier) {
    platform::Device::setEnvironment(std::map<std::string, std::string>{{"SIMULATOR_MODEL_IDENTIFIER", identifier}});
  }

  std::string root_;
};

// Every character of `text` is one of `allowed`, and there are `length` of them.
inline bool onlyOf(const std::string& text, const std::string& allowed, std::size_t length) {
  return text.size() == length && text.find_first_not_of(allowed) == std::string::npos;
}

// The device's identifier for org.example.host on the fixture's machine id.
inline constexpr const char* kFixtureDeviceUuid = "3E4F1E24-EBBB-55D4-8FFD-2CED83DF1AAB";

}  // namespace pelk::test
