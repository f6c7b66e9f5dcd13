#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkEnums.h"
#include "platform/Location.h"

namespace pelk {

// What the kit puts on the wire besides paths and transport: REST headers and
// bodies, the get-user query, the app's and device's identifiers, location
// ids, hashes, time stamps, version texts, the conversion of buffered
// positions, and the reset at logout.  Every operation reads its sources when
// called and keeps nothing.
class AppUtilis {
 public:
  using Headers = std::map<std::string, std::string>;

  // REST headers and bodies.
  static Headers headerParams();
  static Headers getUserParameter();
  static nlohmann::json createUserParameter(const std::string& description);
  static nlohmann::json setDescriptionParameter(const std::string& description);
  static std::map<std::string, std::string> setDeviceTokenParameter(const std::string& deviceToken);
  // Path and query of the get-user request; every value is percent-encoded.
  static std::string getUserURL(const std::string& userId);
  static nlohmann::json tripParameter(Trip trip, const std::string& tripId, const std::string& locationId,
                                      const std::optional<std::string>& description = std::nullopt,
                                      const std::optional<std::string>& time = std::nullopt);
  static nlohmann::json locationCountParameter();

  // Identifiers of the app and the device.
  static std::string getBundle();
  static std::string getUUID();
  // "active", "background" or "inactive".
  static std::string getAppContext();

  // A new 24-character location id.
  static std::string getLocationId();
  // "passive", "balanced", "active" or "custom" for the stored tracking mode.
  static std::string getTrackingOptionValue();
  // False on the equator, on the prime meridian and outside the valid range.
  static bool checkCoordinate(const platform::Location& fix);
  static bool checkCoordinate(double latitude, double longitude);
  static bool checkLocationPublisher();
  // True once four whole minutes have passed since the location count began.
  static bool timeDifference();
  static std::string sha512Hex(const std::string& string);
  // Seconds since 1970 as the shortest decimal text that reads back exactly.
  static std::string getCurrentTimeStamp();
  // "p_" and the kit's version.
  static std::string getSDKVersion();
  // Buffered positions, each given as an object of attribute name to stored
  // value (null or missing: no value), made ready for JSON: the row's number
  // and storage time are left out and the flag attributes become booleans.
  static nlohmann::json convertToJSONArray(const std::vector<nlohmann::json>& moArray);
  static bool checkAttribute(const std::string& name);
  // Removes every setting but the publishable key and the push device token,
  // then empties the local database.
  static void resetDefaults();
  // The text under "location_id"; "" when there is none.
  static std::string getloctionId(const nlohmann::json& dictionary);
};

// Percent-encodes every byte except the unreserved characters A-Z a-z 0-9 - . _ ~
std::string percentEncoded(std::string_view text);

}  // namespace pelk
