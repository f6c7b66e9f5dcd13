#include "device/DeviceInfo.h"

#include "platform/Reachability.h"

#include <cmath>
#include <mutex>

#include "device/Model.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "platform/Device.h"

namespace pelk {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
std::mutex gHooksMutex;
// Built on first use: other layers install hooks from their own static
// initializers, which may run before this file's.
DeviceContextHooks& hooksStorage() {
  static auto* hooks = new DeviceContextHooks();
  return *hooks;
}

// Copies the hook out, so it runs with no lock held.
template <class Member>
auto hook(Member member) {
  std::lock_guard lock(gHooksMutex);
  return hooksStorage().*member;
}

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

void setDeviceContextHooks(DeviceContextHooks hooks) {
  std::lock_guard lock(gHooksMutex);
  hooksStorage() = std::move(hooks);
}

void updateDeviceContextHooks(const std::function<void(DeviceContextHooks&)>& edit) {
  std::lock_guard lock(gHooksMutex);
  edit(hooksStorage());
}

DeviceContextHooks deviceContextHooks() {
  std::lock_guard lock(gHooksMutex);
  return hooksStorage();
}

DeviceInfo& DeviceInfo::sharedInstance() {
  static DeviceInfo* instance = new DeviceInfo();  // lives for the process
  return *instance;
}

bool DeviceInfo::isLocationServicesEnabled() {
  auto f = hook(&DeviceContextHooks::locationServicesEnabled);
  return f ? f() : false;
}

bool DeviceInfo::isLowPowerEnabled() { return platform::Device::isLowPowerModeEnabled(); }

bool DeviceInfo::locationState() {
  auto f = hook(&DeviceContextHooks::locationAuthorizationStatus);
  const int status = f ? f() : 0;
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
  if (auto f = hook(&DeviceContextHooks::networkReachable)) return f();
  // Until the online test is installed, the flags it reads itself: the
  // running monitor's latest reading answers without a look at the route
  // table (a dump of every route and link, slow on a host with many routes);
  // with no monitor, one reading is taken now.
  auto flags = platform::Reachability::watchedDefaultRouteFlags();
  if (!flags) flags = platform::Reachability::readDefaultRouteFlags();
  return flags && (*flags & platform::ReachabilityFlags::reachable) &&
         !(*flags & platform::ReachabilityFlags::connectionRequired);
}

bool DeviceInfo::getVuvivaZuvovo() {
  auto f = hook(&DeviceContextHooks::motionAuthorized);
  return f ? f() : false;
}

std::string DeviceInfo::currentActivity() { return SharedUtil::getDefaultString(kCurrentMotion); }

std::string DeviceInfo::appState() {
  std::string state = SharedUtil::getDefaultString(KcurrentAppState);
  return state.empty() ? kAppStateForeground : state;
}

}  // namespace pelk
