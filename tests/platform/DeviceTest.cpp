#include "platform/Device.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/AppInfo.h"
#include "platform/Crypto.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

namespace pelk::platform {
namespace {

namespace fs = std::filesystem;
using test::writeFile;
using State = Device::BatteryState;

// Upper-case 8-4-4-4-12 text of a UUID of the given version.
bool isUuidText(const std::string& id, int version) {
  const auto uuid = Crypto::parseUuid(id);
  return id.size() == 36 && uuid && Crypto::uuidString(*uuid) == id && ((*uuid)[6] >> 4) == version &&
         ((*uuid)[8] & 0xc0) == 0x80;
}

class DeviceTest : public test::KitTest {
 protected:
  DeviceTest() {
    root_ = dir_.file("device-root");
    fs::create_directories(root_ + "/sys/class/power_supply");
    fs::create_directories(root_ + "/sys/firmware/acpi");
    fs::create_directories(root_ + "/etc");
    Device::setRoot(root_);
    Device::setUname(Device::Uname{"Linux", "6.1.0-test", "x86_64"});
    Device::setBatteryMonitoringEnabled(true);
    AppInfo::setBundleId("org.example.host");
  }
  ~DeviceTest() override {
    Device::setRoot(std::nullopt);
    Device::setUname(std::nullopt);
    Device::setEnvironment(std::nullopt);
    Device::setBatteryMonitoringEnabled(false);
    AppInfo::setBundleId(std::nullopt);
  }

  // One power supply: its files, each holding one line.
  void supply(const std::string& name, std::initializer_list<std::pair<const char*, const char*>> files) {
    const std::string dir = root_ + "/sys/class/power_supply/" + name;
    fs::create_directories(dir);
    for (const auto& [file, content] : files) writeFile(dir + "/" + file, std::string(content) + "\n");
  }

  std::string root_;
};

TEST_F(DeviceTest, BatteryReadingsFollowThePowerSupplyTree) {
  struct Case {
    const char* status;
    const char* capacity;
    State state;
    float level;
  };
  const Case cases[] = {
      {"Charging", "29", State::charging, 29.0f / 100.0f},
      {"Full", "100", State::full, 1.0f},
      {"Discharging", "57", State::unplugged, 57.0f / 100.0f},
      {"Not charging", "80", State::charging, 0.8f},  // on mains, held below full
      {"Unknown", "0", State::unknown, 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    supply("AC", {{"type", "Mains"}, {"online", "1"}});
    supply("BAT0", {{"type", "Battery"}, {"status", c.status}, {"capacity", c.capacity}});
    EXPECT_EQ(Device::batteryState(), c.state);
    EXPECT_EQ(Device::batteryLevel(), c.level);
    const auto both = Device::battery();  // one scan gives the same pair
    EXPECT_EQ(both.state, c.state);
    EXPECT_EQ(both.level, c.level);
  }
}

TEST_F(DeviceTest, NoSystemBatteryReadsAsUnknown) {
  // Mains only, plus a mouse's battery, which does not power the system.
  supply("AC", {{"type", "Mains"}, {"online", "1"}});
  supply("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}, {"capacity", "40"}});
  supply("BAT1", {{"type", "Battery"}, {"present", "0"}, {"status", "Discharging"}, {"capacity", "40"}});
  EXPECT_EQ(Device::batteryLevel(), -1.0f);
  EXPECT_EQ(Device::batteryState(), State::unknown);

  Device::setRoot(dir_.file("no-such-root"));
  EXPECT_EQ(Device::batteryLevel(), -1.0f);
  EXPECT_EQ(Device::batteryState(), State::unknown);
}

TEST_F(DeviceTest, NonNumericCapacityReadsAsUnknownLevel) {
  // strtod takes these as numbers; none is a battery reading.  Without other
  // sources the level is unknown; with energy readings those are used instead.
  for (const char* capacity : {"nan", "inf", "-inf", "NaN", "infinity", "1e999"}) {
    SCOPED_TRACE(capacity);
    fs::remove_all(root_ + "/sys/class/power_supply");
    supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", capacity}});
    EXPECT_EQ(Device::batteryLevel(), -1.0f);
    supply("BAT0", {{"energy_now", "10000000"}, {"energy_full", "40000000"}});
    EXPECT_EQ(Device::batteryLevel(), 0.25f);
  }
}

// Energy readings at the far end of a double: weighting by them must not
// overflow into a level that is not a number.
TEST_F(DeviceTest, BatteriesOfHugeCapacityStillCombine) {
  supply("BAT0", {{"type", "Battery"},
                  {"status", "Discharging"},
                  {"capacity", "50"},
                  {"energy_full", "1e308"},
                  {"energy_now", "5e307"}});
  supply("BAT1", {{"type", "Battery"},
                  {"status", "Discharging"},
                  {"capacity", "100"},
                  {"energy_full", "1e308"},
                  {"energy_now", "1e308"}});
  EXPECT_FLOAT_EQ(Device::batteryLevel(), 0.75f);
}

TEST_F(DeviceTest, MonitoringOffHidesTheBattery) {
  supply("BAT0", {{"type", "Battery"}, {"status", "Charging"}, {"capacity", "50"}});
  Device::setBatteryMonitoringEnabled(false);
  EXPECT_EQ(Device::batteryLevel(), -1.0f);
  EXPECT_EQ(Device::batteryState(), State::unknown);
  Device::setBatteryMonitoringEnabled(true);
  EXPECT_EQ(Device::batteryLevel(), 0.5f);
}

TEST_F(DeviceTest, TwoBatteriesCombineByEnergyAndState) {
  // 40 Wh full at 50 %, 20 Wh full at 100 %: 40 of 60 Wh.
  supply("BAT0", {{"type", "Battery"},
                  {"status", "Discharging"},
                  {"capacity", "50"},
                  {"energy_now", "20000000"},
                  {"energy_full", "40000000"}});
  supply("BAT1", {{"type", "Battery"},
                  {"status", "Full"},
                  {"capacity", "100"},
                  {"energy_now", "20000000"},
                  {"energy_full", "20000000"}});
  EXPECT_NEAR(Device::batteryLevel(), 2.0f / 3.0f, 1e-6);
  EXPECT_EQ(Device::batteryState(), State::unplugged);

  // Without a capacity file the level comes from charge now / full.
  fs::remove_all(root_ + "/sys/class/power_supply");
  supply("BAT0", {{"type", "Battery"}, {"status", "Full"}, {"charge_now", "3000000"}, {"charge_full", "4000000"}});
  EXPECT_EQ(Device::batteryLevel(), 0.75f);
  EXPECT_EQ(Device::batteryState(), State::full);
}

TEST_F(DeviceTest, LowPowerFromThePlatformProfile) {
  EXPECT_FALSE(Device::isLowPowerModeEnabled());  // no profile file
  for (auto [profile, expected] : {std::pair{"low-power", true}, {"balanced", false}, {"performance", false}}) {
    writeFile(root_ + "/sys/firmware/acpi/platform_profile", std::string(profile) + "\n");
    EXPECT_EQ(Device::isLowPowerModeEnabled(), expected) << profile;
  }
}

TEST_F(DeviceTest, SystemNameAndVersionFromOsReleaseOrTheKernel) {
  EXPECT_EQ(Device::systemName(), "Linux");
  EXPECT_EQ(Device::systemVersion(), "6.1.0-test");

  // os-release is read once; pointing the readings at the tree again reads it anew.
  writeFile(root_ + "/etc/os-release",
            "# comment\nNAME=\"Debian GNU/Linux\"\nID=debian\nVERSION_ID=\"12\"\nPRETTY_NAME='Debian 12'\n");
  Device::setRoot(root_);
  EXPECT_EQ(Device::systemName(), "debian");
  EXPECT_EQ(Device::systemVersion(), "12");

  // A rolling release has no VERSION_ID.
  writeFile(root_ + "/etc/os-release", "ID=\"arch\"\nBUILD_ID=rolling\n");
  Device::setRoot(root_);
  EXPECT_EQ(Device::systemName(), "arch");
  EXPECT_EQ(Device::systemVersion(), "6.1.0-test");

  EXPECT_EQ(Device::model(), "Linux");
  EXPECT_EQ(Device::machine(), "x86_64");
  EXPECT_EQ(Device::kernelRelease(), "6.1.0-test");
  EXPECT_EQ(Device::carrierName(), "");
}

TEST_F(DeviceTest, FixedReadingsAreKeptAndEveryControlRenewsThem) {
  writeFile(root_ + "/etc/os-release", "ID=debian\nVERSION_ID=12\n");
  Device::setRoot(root_);
  EXPECT_EQ(Device::systemVersion(), "12");
  // An upgrade under a running process is not seen: the version is read once.
  writeFile(root_ + "/etc/os-release", "ID=debian\nVERSION_ID=13\n");
  EXPECT_EQ(Device::systemVersion(), "12");

  const std::string other = dir_.file("other-root");
  fs::create_directories(other + "/etc");
  writeFile(other + "/etc/os-release", "ID=fedora\nVERSION_ID=40\n");
  struct Case {
    const char* control;
    std::function<void()> apply;
    std::string name, version, machine;
  };
  const Case cases[] = {
      {"setRoot", [&] { Device::setRoot(other); }, "fedora", "40", "x86_64"},
      {"setUname",
       [] {
         Device::setUname(Device::Uname{"Linux", "6.9", "aarch64"});
       },
       "fedora", "40", "aarch64"},
      {"setRoot back", [&] { Device::setRoot(root_); }, "debian", "13", "aarch64"},
      {"setEnvironment",
       [&] {
         writeFile(root_ + "/etc/os-release", "VERSION_ID=14\n");
         Device::setEnvironment(std::map<std::string, std::string>{});
       },
       "Linux", "14", "aarch64"},
  };
  for (const auto& c : cases) {
    c.apply();
    EXPECT_EQ(Device::systemName(), c.name) << c.control;
    EXPECT_EQ(Device::systemVersion(), c.version) << c.control;
    EXPECT_EQ(Device::machine(), c.machine) << c.control;
  }
}

TEST_F(DeviceTest, KeptReadingsFollowControlsChangedWhileOtherThreadsRead) {
  writeFile(root_ + "/etc/os-release", "ID=debian\nVERSION_ID=12\n");
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto names = Device::uname();
        // One reading is one state of the controls, never a mix of two.
        EXPECT_TRUE(names.machine == "x86_64" ? names.release == "6.1.0-test" : names.release == "6.9")
            << names.machine << " " << names.release;
        Device::systemVersion();
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    Device::setUname(i % 2 ? Device::Uname{"Linux", "6.1.0-test", "x86_64"} : Device::Uname{"Linux", "6.9", "aarch64"});
    EXPECT_EQ(Device::machine(), i % 2 ? "x86_64" : "aarch64") << i;  // the control's own thread sees it at once
  }
  stop = true;
  for (auto& r : readers) r.join();
}

TEST_F(DeviceTest, RealUnameIsReadWithoutOverride) {
  Device::setUname(std::nullopt);
  EXPECT_FALSE(Device::machine().empty());
  EXPECT_FALSE(Device::kernelRelease().empty());
  EXPECT_FALSE(Device::networkingVersion().empty());
}

TEST_F(DeviceTest, VendorIdentifierIsNameBasedOnTheMachineIdAndApp) {
  const std::string machineId = "3d1219c7c4c5404aaa1f6d2a48adfda4";
  writeFile(root_ + "/etc/machine-id", machineId + "\n");
  const std::string id = Device::identifierForVendor();
  EXPECT_TRUE(isUuidText(id, 5)) << id;
  EXPECT_EQ(id, Crypto::uuidString(Crypto::uuidV5(*Crypto::parseUuid(machineId), "org.example.host")));
  EXPECT_EQ(Device::identifierForVendor(), id);
  // The machine id itself does not leak.
  EXPECT_EQ(id.find("3D1219C7"), std::string::npos);

  AppInfo::setBundleId("org.example.other");
  EXPECT_NE(Device::identifierForVendor(), id);
}

TEST_F(DeviceTest, WithoutMachineIdARandomIdentifierIsKept) {
  for (const char* content : {"", "uninitialized\n", "00000000000000000000000000000000\n"}) {
    SCOPED_TRACE(content);
    fs::remove(Paths::appSupport() + "/device-identifier");
    if (*content) writeFile(root_ + "/etc/machine-id", content);
    const std::string id = Device::identifierForVendor();
    EXPECT_TRUE(isUuidText(id, 4)) << id;
    EXPECT_EQ(Device::identifierForVendor(), id);
    EXPECT_EQ(test::readFile(Paths::appSupport() + "/device-identifier"), id + "\n");
  }
  // A damaged file is replaced by a new identifier.
  writeFile(Paths::appSupport() + "/device-identifier", "not an id");
  const std::string fresh = Device::identifierForVendor();
  EXPECT_EQ(fresh.size(), 36u);
  EXPECT_EQ(Device::identifierForVendor(), fresh);
}

// The kept identifier is private like the kit's other files: when written
// under any umask, when a temp file of an interrupted earlier write is in the
// way, and when an earlier build left it readable by others.
TEST_F(DeviceTest, KeptIdentifierFileIsPrivate) {
  const std::string file = Paths::appSupport() + "/device-identifier";
  auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    fs::remove(file);
    const mode_t oldMask = ::umask(mask);
    const std::string id = Device::identifierForVendor();
    ::umask(oldMask);
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_EQ(Device::identifierForVendor(), id);
  }

  fs::remove(file);
  writeFile(file + ".tmp", "left by an interrupted write");
  ASSERT_EQ(::chmod((file + ".tmp").c_str(), 0644), 0);
  const std::string id = Device::identifierForVendor();
  EXPECT_EQ(mode(file), 0600u);

  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  EXPECT_EQ(Device::identifierForVendor(), id);
  EXPECT_EQ(mode(file), 0600u);
}

TEST_F(DeviceTest, ThreadsAskingAtOnceGetOneKeptIdentifier) {
  std::vector<std::string> ids(8);
  std::vector<std::thread> threads;
  for (auto& id : ids) threads.emplace_back([&id] { id = Device::identifierForVendor(); });
  for (auto& t : threads) t.join();
  for (const auto& id : ids) EXPECT_EQ(id, ids.front());
  EXPECT_EQ(test::readFile(Paths::appSupport() + "/device-identifier"), ids.front() + "\n");
}

TEST_F(DeviceTest, EnvironmentCanBeReplaced) {
  Device::setEnvironment(std::map<std::string, std::string>{{"SIMULATOR_MODEL_IDENTIFIER", "iPhone13,2"}});
  EXPECT_EQ(Device::environment("SIMULATOR_MODEL_IDENTIFIER"), "iPhone13,2");
  EXPECT_EQ(Device::environment("HOME"), std::nullopt);
  Device::setEnvironment(std::nullopt);
  EXPECT_EQ(Device::environment("PELK_SURELY_UNSET_VARIABLE"), std::nullopt);
}

}  // namespace
}  // namespace pelk::platform
