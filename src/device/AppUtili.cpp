#include "device/AppUtili.h"

#include "platform/Console.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/DeravObjectId.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "platform/AppInfo.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Device.h"
#include "platform/SettingsSuite.h"

namespace pelk {
namespace {

constexpr const char* kGetUserPath = "/v3/user/?user_id=";

constexpr std::array<const char*, 10> kFlagAttributes = {
    "battery_saver",     "event_listener",      "geofence_events", "gps_status",     "location_events",
    "location_listener", "location_permission", "nearby_events",   "network_status", "trips_events",
};

// The device fields both user bodies carry when the reading is non-empty.
void addDeviceFields(nlohmann::json& body) {
  auto& device = DeviceInfo::sharedInstance();
  if (auto v = device.deviceBrand(); !v.empty()) body["brand"] = v;
  if (auto v = device.deviceModel(); !v.empty()) body["model"] = v;
  if (auto v = device.osVersion(); !v.empty()) body["os_version"] = v;
  if (auto v = device.sdkVersion(); !v.empty()) body["sdk_version"] = v;
  if (auto v = SharedUtil::getDefaultString(kDeviceToken); !v.empty()) body["device_token"] = v;
}

// A stored flag read as an integer: 0 is false, anything else true.
bool flagValue(const nlohmann::json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number_integer()) return v.get<std::int64_t>() != 0;
  if (v.is_number_unsigned()) return v.get<std::uint64_t>() != 0;
  if (v.is_number_float()) return toInt(v.get<double>()) != 0;
  if (v.is_string()) return std::strtoll(v.get_ref<const std::string&>().c_str(), nullptr, 10) != 0;
  return false;
}

}  // namespace

std::string percentEncoded(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  // "." and ".." as a path segment are steps in the path, removed or taken
  // by the URL parser, so such an id would send the request elsewhere on the
  // server: their dots are encoded.  A dot anywhere else stays as it is.
  const bool dotSegment = text == "." || text == "..";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            (c == '.' && !dotSegment) || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 0x0f]);
    }
  }
  return out;
}

AppUtilis::Headers AppUtilis::headerParams() { return {{"Authorization", "token " + TokenManager::getSDKToken()}}; }

AppUtilis::Headers AppUtilis::getUserParameter() {
  Headers headers;
  if (auto token = TokenManager::getSDKToken(); !token.empty()) headers["Authorization"] = "token " + token;
  if (auto push = TokenManager::getDeviceToken(); !push.empty()) headers["Device-Token"] = push;
  headers["Device-Uuid"] = getUUID();
  return headers;
}

nlohmann::json AppUtilis::createUserParameter(const std::string& description) {
  nlohmann::json body = nlohmann::json::object();
  addDeviceFields(body);
  if (!description.empty()) body["description"] = description;
  body["device_uuid"] = getUUID();
  return body;
}

nlohmann::json AppUtilis::setDescriptionParameter(const std::string& description) {
  nlohmann::json body = nlohmann::json::object();
  addDeviceFields(body);
  body["description"] = description;
  body["device_uuid"] = getUUID();
  body["user_id"] = TokenManager::getUserId();
  return body;
}

std::map<std::string, std::string> AppUtilis::setDeviceTokenParameter(const std::string& deviceToken) {
  std::map<std::string, std::string> body;
  if (auto token = TokenManager::getSDKToken(); !token.empty()) body["Authorization"] = "token " + token;
  body["Device-Token"] = deviceToken;
  body["device_uuid"] = getUUID();
  return body;
}

std::string AppUtilis::getUserURL(const std::string& userId) {
  // Blanks are dropped from the values (the server never sees them), then
  // each value is percent-encoded so that no text can end the value early or
  // add a parameter of its own.
  auto value = [](const std::string& v) { return percentEncoded(whiteSpacesRemoved(v)); };
  std::string url = kGetUserPath + value(userId) + "&";
  auto& device = DeviceInfo::sharedInstance();
  const std::pair<const char*, std::string> readings[] = {
      {"brand", device.deviceBrand()},
      {"model", device.deviceModel()},
      {"os_version", device.osVersion()},
      {"sdk_version", device.sdkVersion()},
  };
  for (const auto& [name, reading] : readings) {
    if (reading.empty()) continue;
    url += std::string(name) + "=" + value(reading) + "&";
  }
  if (!url.empty() && url.back() == '&') url.pop_back();
  return url;
}

nlohmann::json AppUtilis::tripParameter(Trip trip, const std::string& tripId, const std::string& locationId,
                                        const std::optional<std::string>& description,
                                        const std::optional<std::string>& time) {
  nlohmann::json body = {
      {"user_id", TokenManager::getUserId()},
      {"version", "v2"},
      {"trip_id", tripId},
      {"location_id", locationId},
  };
  const std::string when = isNilOrEmpty(time) ? iso8601(platform::Clock::now()) : *time;
  auto addDescription = [&] {
    if (!isNilOrEmpty(description)) body["description"] = *description;
  };
  switch (trip) {
    case Trip::Start:
      body["start"] = true;
      body["trip_started_at"] = when;
      addDescription();
      break;
    case Trip::End:
    case Trip::ForceEnd:
      body["end"] = true;
      body["trip_ended_at"] = when;
      addDescription();
      break;
    case Trip::Pause:
      body["trip_pause"] = true;
      break;
    case Trip::Resume:
      body["trip_resume"] = true;
      break;
    case Trip::Delete:
      body["trip_delete"] = true;
      break;
    case Trip::Sync:
      body["trip_sync"] = true;
      break;
  }
  return body;
}

nlohmann::json AppUtilis::locationCountParameter() {
  nlohmann::json body = {
      {"type", KLocationUpdateType},
      {"started_at", iso8601(SharedUtil::getDefaultDate(KLocationCountStartedDate))},
      {"ended_at", iso8601(platform::Clock::now())},
      {"count", SharedUtil::getDefaultInteger(KLocationCountSDK)},
  };
  if (auto user = TokenManager::getUserId(); !user.empty()) body["user_id"] = user;
  return body;
}

std::string AppUtilis::getBundle() { return platform::AppInfo::bundleId(); }

std::string AppUtilis::getUUID() { return platform::Device::identifierForVendor(); }

std::string AppUtilis::getAppContext() {
  const std::string state = device::links::applicationState();
  if (state == "background" || state == "active") return state;
  return "inactive";
}

std::string AppUtilis::getLocationId() {
  std::string id = DeravObjectId::shared().generate();
  if (id.size() == 24) return id;
  return DeravObjectId::shared().generate();
}

std::string AppUtilis::getTrackingOptionValue() {
  switch (SharedUtil::getDefaultInteger(kTrackingOption)) {
    case 2:
      return "balanced";
    case 3:
      return "active";
    case 4:
      return "custom";
    default:
      return "passive";
  }
}

bool AppUtilis::checkCoordinate(const platform::Location& fix) {
  return checkCoordinate(fix.coordinate.latitude, fix.coordinate.longitude);
}

bool AppUtilis::checkCoordinate(double latitude, double longitude) {
  if (latitude == 0.0 || longitude == 0.0) return false;
  // Written so that NaN fails every test.
  const bool valid = latitude >= -90.0 && latitude <= 90.0 && longitude >= -180.0 && longitude <= 180.0;
  return valid;
}

bool AppUtilis::checkLocationPublisher() { return TokenManager::getLocationPublisher(); }

bool AppUtilis::timeDifference() {
  const Date started = SharedUtil::getDefaultDate(KLocationCountStartedDate);
  return minutesFrom(platform::Clock::now(), started) > 3;
}

std::string AppUtilis::sha512Hex(const std::string& string) { return platform::Crypto::sha512Hex(string); }

std::string AppUtilis::getCurrentTimeStamp() {
  const double seconds = platform::Clock::secondsSince1970(platform::Clock::now());
  std::array<char, 400> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), seconds, std::chars_format::fixed);
  if (ec != std::errc()) return "0.0";
  std::string text(buf.data(), end);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string AppUtilis::getSDKVersion() { return std::string("p_") + kSDKVersion; }

nlohmann::json AppUtilis::convertToJSONArray(const std::vector<nlohmann::json>& moArray) {
  nlohmann::json result = nlohmann::json::array();
  for (const auto& row : moArray) {
    nlohmann::json dict = nlohmann::json::object();
    if (row.is_object()) {
      for (const auto& [name, value] : row.items()) {
        if (name == "mqtt_id" || name == "mqttLocation_time") continue;
        if (value.is_null()) continue;
        dict[name] = checkAttribute(name) ? nlohmann::json(flagValue(value)) : value;
      }
    }
    result.push_back(std::move(dict));
  }
  return result;
}

bool AppUtilis::checkAttribute(const std::string& name) {
  for (const char* flag : kFlagAttributes) {
    if (name == flag) return true;
  }
  return false;
}

void AppUtilis::resetDefaults() {
  // The suite the kit opened and keeps using: a path worked out again now
  // (from an app id changed since, say) could name another file.
  auto suite = SharedUtil::userDefaultValue();
  // By key, so a row whose value cannot be decoded goes too.
  auto removeAll = [&] {
    // The log's records still waiting for the settings go with the rest.
    LoggerManager::discardWaiting();
    for (const auto& key : suite->keys()) {
      // The location answer is the host's (or the kit's grant on its
      // behalf), not the user's: a denial must still hold for the next user.
      if (key == kPublishKey || key == kDeviceToken || key == klocationPermissionStatus) continue;
      suite->remove(key);
    }
  };
  if (!suite->transaction(removeAll)) {
    // The user's token, ids and switches must not outlive the logout: remove
    // what can be removed one key at a time.
    platform::Console::print("pelk: settings reset could not run as one transaction; removing key by key");
    removeAll();
  }
  suite->synchronize();
  device::links::clearLocalDatabase();
}

std::string AppUtilis::getloctionId(const nlohmann::json& dictionary) {
  if (!dictionary.is_object()) return "";
  auto it = dictionary.find("location_id");
  if (it == dictionary.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

}  // namespace pelk
