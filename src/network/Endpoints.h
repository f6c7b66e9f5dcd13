#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelk {

// The two REST base URLs of the service ("https://" and the host, no trailing
// slash); the hosts are build configuration.
enum class BaseUrls { development, production };
const std::string& rawValue(BaseUrls url);
std::optional<BaseUrls> baseUrlsFromRawValue(std::string_view raw);

// The REST paths of the service.
enum class MethodUrls {
  OAUTH_URL,
  USER_CREATE_URL,
  USER_GET_URL,
  USER_LOGOUT_URL,
  ACTIVE_TRIPS_URL,
  TRIP_URL,
  LOCATION_URL,
  NOTIFICATION_HANDLER,
  CREATE_TRIP,
  GET_TRIPS,
  TRIP_SUMMARY,
  SYNC_TRIP,
  LOCATION_COUNT,
};
const std::string& rawValue(MethodUrls url);
std::optional<MethodUrls> methodUrlsFromRawValue(std::string_view raw);

// An HTTP method text.
struct HTTPMethod {
  std::string rawValue;

  static const HTTPMethod& get();
  static const HTTPMethod& post();
  static const HTTPMethod& delete_();

  friend bool operator==(const HTTPMethod&, const HTTPMethod&) = default;
};

struct GetBaseUrl {
  // The REST base URL in force: the stored "UserBaseUrl" when not empty,
  // otherwise the production base URL.  Reads the settings on every call.
  static std::string getBaseUr();
  // True only when the base URL in force is exactly the test base URL; any
  // other value, a custom one included, counts as production.
  static bool isTestEnvironment();
};

struct GetMQTTHost {
  // The stored "awsIotEndPoint" when not empty, otherwise the broker host of
  // the environment in force.
  static std::string getHostbaseUr();
};

}  // namespace pelk
