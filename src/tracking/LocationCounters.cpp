#include "tracking/LocationCounters.h"

#include <cmath>
#include <optional>
#include <vector>

#include "device/AppUtili.h"
#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationUtils.h"
#include "network/PelkAPIClient.h"
#include "network/Reachability.h"
#include "foundation/LoggerManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/LocationServices.h"
#include "platform/NotificationCenter.h"
#include "tracking/TrackingLinks.h"

namespace pelk {

LocationUpdateStatus& LocationUpdateStatus::shared() {
  static auto* instance = new LocationUpdateStatus();
  return *instance;
}

void LocationUpdateStatus::resetData() {
  SharedUtil::removeKey(KLocationCountStartedDate);
  SharedUtil::removeKey(KLocationCountSDK);
  SharedUtil::removeKey(kLocationCountUpdating);
  auto suite = SharedUtil::userDefaultValue();
  const bool hasTempDate = suite && suite->value(KLocationCountStartedDateTemp).has_value();
  SharedUtil::setDefaultDate(
      hasTempDate ? SharedUtil::getDefaultDate(KLocationCountStartedDateTemp) : platform::Clock::now(),
      KLocationCountStartedDate);
  SharedUtil::setDefaultInteger(SharedUtil::getDefaultInteger(KLocationCountSDKTemp), KLocationCountSDK);
  SharedUtil::removeKey(KLocationCountStartedDateTemp);
  SharedUtil::removeKey(KLocationCountSDKTemp);
}

void LocationUpdateStatus::addData() {
  auto suite = SharedUtil::userDefaultValue();
  if (!suite) return;
  // The start dates and the counts in one commit: a position costs one durable
  // write of the settings, and a report read on another thread never sees a
  // count without the start date it belongs to.
  suite->transaction([&] {
    if (SharedUtil::getDefaultInteger(KLocationCountSDK) == 0) {
      SharedUtil::setDefaultDate(platform::Clock::now(), KLocationCountStartedDate);
    }
    if (SharedUtil::getDefaultBoolean(kLocationCountUpdating) &&
        SharedUtil::getDefaultInteger(KLocationCountSDKTemp) == 0) {
      SharedUtil::setDefaultDate(platform::Clock::now(), KLocationCountStartedDateTemp);
    }
    incrementLocationCount(*suite);
  });
}

PelkLocationCount& PelkLocationCount::sharedInstance() {
  static auto* instance = new PelkLocationCount();
  return *instance;
}

void PelkLocationCount::setAPIClientForTesting(PelkAPIClient* client) { api_ = client; }

void PelkLocationCount::updateLocationCount() { report(true); }

void PelkLocationCount::getUpdateLocationCount() { report(false); }

void PelkLocationCount::report(bool needListener) {
  if (AppUtilis::checkLocationPublisher()) return;
  if (!AppUtilis::timeDifference()) return;
  if (!ReachabilityCheck::isConnectedToNetwork()) return;
  if (SharedUtil::getDefaultBoolean(kLocationCountUpdating)) return;
  if (needListener && !SharedUtil::getDefaultBoolean(kLocationListenerSubscribe)) return;
  SharedUtil::setDefaultBoolean(true, kLocationCountUpdating);
  PelkAPIClient& api = api_ ? *api_ : PelkAPIClient::sharedInstance();
  api.locationPublisher([](std::optional<std::string> message, std::optional<PelkError>) {
    if (message && *message == kLocationCount) {
      LocationUpdateStatus::shared().resetData();
      return;
    }
    // A failed report must not block every later one: the flight ends, the
    // main count (which also holds the positions set aside meanwhile) stays
    // for the next report.
    SharedUtil::removeKey(kLocationCountUpdating);
    SharedUtil::removeKey(KLocationCountSDKTemp);
    SharedUtil::removeKey(KLocationCountStartedDateTemp);
  });
}

PelkLocationGpsData& PelkLocationGpsData::sharedInstance() {
  static auto* instance = new PelkLocationGpsData();
  return *instance;
}

nlohmann::json PelkLocationGpsData::gpsDictionary(bool networkStatus) {
  auto& device = DeviceInfo::sharedInstance();
  return nlohmann::json{
      {"app_context", device.appState()},
      {"app_id", TokenManager::getAppId()},
      {"battery_remaining", device.batteryStatus()},
      {"bat_saver", device.isLowPowerEnabled()},
      {"battery_status", device.batteryState()},
      {"device_manufacturer", device.deviceBrand()},
      {"device_model", device.deviceModel()},
      {"gps_status", false},
      {"location_id", AppUtilis::getLocationId()},
      {"location_permission", false},
      {"network_status", networkStatus},
      {"os_version", device.osVersion()},
      {"recorded_at", iso8601(platform::Clock::now())},
      {"tracking_mode", AppUtilis::getTrackingOptionValue()},
      {"tz_offset", device.timeOffSet()},
      {"user_id", TokenManager::getUserId()},
  };
}

void PelkLocationGpsData::gpsChange(bool networkStatus) {
  auto record = gpsDictionary(networkStatus);
  if (networkStatus) {
    // Kept under "GPSData" by the sender when it cannot be published.
    LocationUtils::sendGpsStatus(record, false);
  } else {
    SharedUtil::setDefaultDictionary(record, kGPSStatus);
  }
}

void PelkLocationGpsData::watchServiceAvailability() {
  static const bool installed = [] {
    platform::NotificationCenter::defaultCenter().addObserver(
        platform::LocationServices::availabilityChangedNotification, nullptr, [](const platform::Notification& note) {
          const auto* change = std::any_cast<platform::ServiceAvailability>(&note.userInfo);
          if (!change) return;
          const std::string line = change->available ? "Location services available again: " + change->reason
                                                     : "Location services unavailable: " + change->reason;
          platform::Console::print(
              line, change->available ? platform::Console::Level::Info : platform::Console::Level::Error);
          LoggerManager::sharedInstance().writeLocationToFile(line);
          if (change->available) return;
          PelkLocationGpsData::sharedInstance().gpsChange(ReachabilityCheck::isConnectedToNetwork());
          tracking::didFail(PelkError(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
        });
    return true;
  }();
  (void)installed;
}

void PelkLocationGpsData::updateGpsOffline() {
  auto record = SharedUtil::getDefaultDictionary(kGPSStatus);
  if (record.is_object() && !record.empty()) LocationUtils::sendGpsStatus(record, true);
}

namespace {

// `window` receives the speeds the band was worked out from, for the log.
std::int64_t passiveRadius(const platform::Location& fix, std::optional<std::vector<double>>& window) {
  // No stored last position: getLastLocation answers an empty one at (0, 0).
  const auto last = LocationUtils::getLastLocation();
  if (last.coordinate.latitude == 0.0 && last.coordinate.longitude == 0.0) return 100;
  const double elapsed = std::chrono::duration<double>(fix.timestamp - last.timestamp).count();
  auto windowed = [&] {
    LocationUtils::saveSpeed(fix);
    const auto speeds = LocationUtils::getAllSpeed();
    if (speeds.size() >= 5) {
      const auto radius = LocationUtils::speedBand(speeds);
      window = speeds;
      LocationUtils::deleteSpeed();
      return radius;
    }
    return std::int64_t{100};
  };
  if (elapsed <= 59.0) return windowed();
  if (elapsed >= 60.0 || fix.speed >= 0.0) {
    LocationUtils::resetSpeed();
    LocationUtils::saveSpeed(fix);
    return 100;
  }
  return windowed();
}

}  // namespace

std::int64_t LocationFilter::getPassiveRadius(const platform::Location& fix) {
  // The speed window's updates (add this speed, drop the oldest, or start
  // again) in one commit of the settings rather than up to three.  The speeds
  // are logged once it is committed: a position's road never holds the
  // settings and the log at once.
  std::int64_t radius = 100;
  std::optional<std::vector<double>> window;
  SharedUtil::userDefaultValue()->transaction([&] { radius = passiveRadius(fix, window); });
  if (window) LocationUtils::logSpeeds(*window);
  return radius;
}

}  // namespace pelk
