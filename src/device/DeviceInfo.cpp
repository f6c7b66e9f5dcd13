#include "device/DeviceInfo.h"

#include "platform/Reachability.h"

#include <cmath>

#include "device/Model.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "platform/Device.h"

namespace pelk {
namespace {

std::int64_t percentOf(float level) {
  if (level == -1.0f) return 0;
  // Rounded, not truncated: the float nearest 0.53 times 100 is 52.99998.
  return std::lround(level * 100.0f);
}

std::string textOf(platform::Device::BatteryState state) {
  switch (state) {
    case platform::Device::BatteryState::charging:
      return "charging";
    case platform::Device::BatteryState::full:
      return "Full";
    case platform::Device::BatteryState::unplugged:
      return "unplugged";
    case platform::Device::BatteryState::unknown:
      break;
  }
  return "unknown";
}

}  // namespace

std::string device::links::appActive() { return "active"; }

DeviceInfo& DeviceInfo::sharedInstance() {
  static DeviceInfo* instance = new DeviceInfo();  // lives for the process
  return *instance;
}

bool DeviceInfo::isLocationServicesEnabled() { return device::links::locationServicesEnabled(); }

bool DeviceInfo::isLowPowerEnabled() { return platform::Device::isLowPowerModeEnabled(); }

bool DeviceInfo::locationState() {
  const int status = device::links::locationAuthorizationStatus();
  return status == 3 || status == 4;
}

std::int64_t DeviceInfo::batteryStatus() { return percentOf(platform::Device::batteryLevel()); }

std::string DeviceInfo::timeOffSet() {
  std::string offset = TimeZone::current().offsetFromUTC();
  return offset.empty() ? "+0000" : offset;
}

std::string DeviceInfo::batteryState() { return textOf(platform::Device::batteryState()); }

DeviceInfo::BatteryReading DeviceInfo::batteryReading() {
  const auto battery = platform::Device::battery();
  return {percentOf(battery.level), textOf(battery.state)};
}

bool DeviceInfo::isCharging() { return platform::Device::batteryState() == platform::Device::BatteryState::charging; }

std::string DeviceInfo::deviceModel() { return rawValue(deviceType()); }

std::string DeviceInfo::deviceBrand() { return whiteSpacesRemoved(platform::Device::model()); }

std::string DeviceInfo::osVersion() { return platform::Device::systemVersion(); }

bool DeviceInfo::isValidTarget() { return false; }

std::string DeviceInfo::sdkVersion() { return kSDKVersion; }

std::string DeviceInfo::getCarrierName() { return platform::Device::carrierName(); }

bool DeviceInfo::networkStatus() {
  if (auto f = device::links::networkReachable.get()) return f();
  // Until the online test is installed, the flags it reads itself: the
  // running monitor's latest reading answers without a look at the route
  // table (a dump of every route and link, slow on a host with many routes);
  // with no monitor, one reading is taken now.
  auto flags = platform::Reachability::watchedDefaultRouteFlags();
  if (!flags) flags = platform::Reachability::readDefaultRouteFlags();
  return flags && (*flags & platform::ReachabilityFlags::reachable) &&
         !(*flags & platform::ReachabilityFlags::connectionRequired);
}

bool DeviceInfo::getVuvivaZuvovo() { return device::links::motionAuthorized(); }

std::string DeviceInfo::currentActivity() { return SharedUtil::getDefaultString(kCurrentMotion); }

std::string DeviceInfo::appState() {
  std::string state = SharedUtil::getDefaultString(KcurrentAppState);
  return state.empty() ? kAppStateForeground : state;
}

}  // namespace pelk
