#pragma once

#include <cstdint>
#include <string>

#include "platform/Link.h"

namespace pelk {

// Readings that belong to the kit's higher layers (location services, network
// monitor, motion permission, app lifecycle, local store), installed by the
// manager (manager/Links.cpp).  Until then each reading gives its default,
// the answer that claims nothing: no location services, no permission, no
// network, app active, nothing to clear.
namespace device::links {
// The device-wide location-services switch.
inline constinit platform::Link<bool()> locationServicesEnabled;
// The app's location authorization: 0 not determined, 1 restricted,
// 2 denied, 3 always, 4 when in use.
inline constinit platform::Link<int()> locationAuthorizationStatus;
// The synchronous online test (unset: the default route's reachability
// flags, from the running reachability monitor when there is one).
inline constinit platform::Link<bool()> networkReachable;
// Motion and fitness permission.
inline constinit platform::Link<bool()> motionAuthorized;
// The app's state: "active", "background" or "inactive" (unset: "active").
std::string appActive();
inline constinit platform::Link<std::string()> applicationState{&appActive};
// Empties every table of the local database (the logout reset).
inline constinit platform::Link<void()> clearLocalDatabase;
}  // namespace device::links

// The device and app readings that messages, request bodies, buffer rows and
// the User-Agent carry.  Readings that change are taken afresh; the model,
// brand and OS version come from the platform's kept readings.  None fails.
class DeviceInfo {
 public:
  // The battery's level and state from one look at the power supplies.
  struct BatteryReading {
    std::int64_t percent = 0;       // as batteryStatus()
    std::string state = "unknown";  // as batteryState()
  };

  static DeviceInfo& sharedInstance();

  DeviceInfo() = default;
  virtual ~DeviceInfo() = default;
  DeviceInfo(const DeviceInfo&) = delete;
  DeviceInfo& operator=(const DeviceInfo&) = delete;

  virtual bool isLocationServicesEnabled();
  virtual bool isLowPowerEnabled();
  // True for the authorizations always (3) and when in use (4).
  virtual bool locationState();
  // Whole percent, 0 when the level is not known.
  virtual std::int64_t batteryStatus();
  // "+HHMM" / "-HHMM" of the current zone.
  virtual std::string timeOffSet();
  // "charging", "Full", "unplugged" or "unknown".
  virtual std::string batteryState();
  // Both of the above at once: what a stored position takes.
  virtual BatteryReading batteryReading();
  virtual bool isCharging();
  // Display name of the hardware model.
  virtual std::string deviceModel();
  // The kind of device, without blanks.
  virtual std::string deviceBrand();
  virtual std::string osVersion();
  virtual bool isValidTarget();
  // The kit's version, "0.0.5".
  virtual std::string sdkVersion();
  virtual std::string getCarrierName();
  // The installed online test when there is one; else, while the kit's
  // reachability monitor watches the default route, its latest reading; else
  // one reading of the route table.  True when reachable without first
  // having to set up a connection.
  virtual bool networkStatus();
  // Motion permission.
  virtual bool getVuvivaZuvovo();
  // The last activity letter, "M" or "S"; "" before the first.
  virtual std::string currentActivity();
  // "B", "F" or "T"; "F" when none is stored.
  virtual std::string appState();
};

}  // namespace pelk
