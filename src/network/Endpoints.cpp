#include "network/Endpoints.h"

#include <array>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "pelk_build_config.h"

namespace pelk {
namespace {

// The tables here are never destroyed: kit threads may still read them while
// the process exits.
const std::array<std::string, 2>& baseUrlTexts() {
  static const auto* texts = new std::array<std::string, 2>{pelk::build::kTestBaseUrl, pelk::build::kProductionBaseUrl};
  return *texts;
}

const std::array<std::string, 13>& methodUrlTexts() {
  static const auto* texts = new std::array<std::string, 13>{
      "/v3/user/token/",      "/v3/user/",         "/v3/user/?user_id=",    "/v3/user/logout/",
      "/v3/trips/active/v2/", "/v3/trips/",        "/v3/location/",         "/v3/user/ctr/?campaign_log_id=",
      "/v3/trips/v2/create/", "/v3/trips/v2/get/", "/v3/trips/v2/summary/", "/v3/trips/v2/sync/",
      "/v3/location/update/",
  };
  return *texts;
}

}  // namespace

const std::string& rawValue(BaseUrls url) { return baseUrlTexts()[static_cast<std::size_t>(url)]; }

std::optional<BaseUrls> baseUrlsFromRawValue(std::string_view raw) {
  const auto& texts = baseUrlTexts();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i] == raw) return static_cast<BaseUrls>(i);
  }
  return std::nullopt;
}

const std::string& rawValue(MethodUrls url) { return methodUrlTexts()[static_cast<std::size_t>(url)]; }

std::optional<MethodUrls> methodUrlsFromRawValue(std::string_view raw) {
  const auto& texts = methodUrlTexts();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i] == raw) return static_cast<MethodUrls>(i);
  }
  return std::nullopt;
}

const HTTPMethod& HTTPMethod::get() {
  static const auto* m = new HTTPMethod{"GET"};
  return *m;
}
const HTTPMethod& HTTPMethod::post() {
  static const auto* m = new HTTPMethod{"POST"};
  return *m;
}
const HTTPMethod& HTTPMethod::delete_() {
  static const auto* m = new HTTPMethod{"DELETE"};
  return *m;
}

std::string GetBaseUrl::getBaseUr() {
  std::string stored = SharedUtil::getDefaultString(KUserBaseUrl);
  if (stored.empty()) return rawValue(BaseUrls::production);
  return stored;
}

bool GetBaseUrl::isTestEnvironment() { return getBaseUr() == rawValue(BaseUrls::development); }

std::string GetMQTTHost::getHostbaseUr() {
  std::string stored = SharedUtil::getDefaultString(kAWSIOTEndPoint);
  if (!stored.empty()) return stored;
  return GetBaseUrl::isTestEnvironment() ? pelk::build::kTestMqttHost : pelk::build::kProductionMqttHost;
}

}  // namespace pelk
