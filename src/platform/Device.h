#pragma once

#include <map>
#include <optional>
#include <string>

namespace pelk::platform {

// What the host device says about itself: battery, power profile, operating
// system, hardware and the identifier of this device for the host app.
//
// Readings that change while the process runs (battery, power profile,
// environment) look at their source again when asked.  Those that cannot - the
// kernel's names and os-release - are read once and kept; any test control
// below makes the next reading look again.  Tests point the file readings at a
// tree of their own (setRoot: <root>/sys/class/power_supply,
// <root>/sys/firmware/acpi/platform_profile, <root>/etc/os-release,
// <root>/etc/machine-id) and replace the kernel's names (setUname) and
// environment variables (setEnvironment).  Safe to use from any thread.
class Device {
 public:
  enum class BatteryState { unknown, unplugged, charging, full };

  // Level and state from one look at the power supplies.
  struct Battery {
    float level = -1.0f;  // as batteryLevel()
    BatteryState state = BatteryState::unknown;
  };

  struct Uname {
    std::string sysname;  // "Linux"
    std::string release;  // kernel release, "6.1.0-13-amd64"
    std::string machine;  // hardware identifier, "x86_64"
  };

  // Battery readings are live only while monitoring is on (off at process
  // start, as on a phone).  While off, or without a system battery, the level
  // is -1 and the state unknown.
  static void setBatteryMonitoringEnabled(bool enabled);
  static bool isBatteryMonitoringEnabled();
  // 0.0 ... 1.0, or -1 when not known.
  static float batteryLevel();
  static BatteryState batteryState();
  // Both at once, for a caller that needs both: the supplies are scanned once.
  static Battery battery();

  // The firmware's platform profile is "low-power".
  static bool isLowPowerModeEnabled();

  // os-release ID and VERSION_ID ("debian", "12"); the kernel's name and
  // release when the file or the field is missing.
  static std::string systemName();
  static std::string systemVersion();
  // The kind of device: the kernel's name ("Linux").
  static std::string model();
  static Uname uname();
  static std::string machine() { return uname().machine; }
  static std::string kernelRelease() { return uname().release; }

  // The device's identifier for the host app (upper-case 8-4-4-4-12): a
  // name-based UUID of the app id in the namespace of /etc/machine-id, so it
  // is stable for one app on one machine and differs between apps.  Without a
  // usable machine id, a random one kept in the app-support directory.
  static std::string identifierForVendor();

  // Name of the mobile network operator; Linux hosts have no telephony: "".
  static std::string carrierName();

  // Version of the HTTP library the kit talks through ("8.5.0").
  static std::string networkingVersion();

  static std::optional<std::string> environment(const std::string& name);

  // Test controls; nullopt restores the real source.  Each takes effect at
  // once, also for the readings kept since the first one.
  static void setRoot(std::optional<std::string> root);
  static void setUname(std::optional<Uname> names);
  // Replaces the process environment as a whole for environment().
  static void setEnvironment(std::optional<std::map<std::string, std::string>> variables);
};

}  // namespace pelk::platform
