#include "network/APIClient.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "device/UserAgentsBuilder.h"
#include "foundation/StringExtensions.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/Endpoints.h"
#include "pelk/PelkEnums.h"
#include "platform/HttpSession.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {

// Lock order: before the settings (platform/LockOrder.h).
platform::Mutex gBaseUrlMutex;
std::optional<std::string> gBaseUrl PELK_GUARDED_BY(gBaseUrlMutex);

// Compact JSON, or nothing when the value cannot be written (text that is not
// UTF-8, a number that is not finite).
std::optional<std::string> compactJson(const nlohmann::json& value) {
  if (!isWritableJson(value)) return std::nullopt;
  try {
    return value.dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

constexpr std::chrono::milliseconds kRequestDeadline = std::chrono::minutes(5);
std::atomic<std::int64_t> gDeadlineOverrideMs{0};

// Whether the JSON text nests arrays and objects deeper than `limit`.  The
// parser itself copes with any depth, but copying and writing a document
// recurse, so a hostile reply is refused before it becomes one.  Text that is
// not JSON at all is left to the parser to refuse.
bool nestsDeeperThan(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::optional<nlohmann::json> APIClient::readReply(const std::string& body) {
  if (nestsDeeperThan(body, kMaxReplyDepth)) return std::nullopt;
  auto parsed = nlohmann::json::parse(body, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}

std::chrono::milliseconds APIClient::requestDeadline() {
  const auto overrideMs = gDeadlineOverrideMs.load();
  return overrideMs > 0 ? std::chrono::milliseconds(overrideMs) : kRequestDeadline;
}

void APIClient::setRequestDeadlineForTesting(std::optional<std::chrono::milliseconds> deadline) {
  gDeadlineOverrideMs.store(deadline ? std::max<std::int64_t>(1, deadline->count()) : 0);
}

APIClient& APIClient::sharedInstance() {
  static auto* instance = new APIClient();
  return *instance;
}

std::string APIClient::baseUrl() {
  platform::LockGuard lock(gBaseUrlMutex);
  if (!gBaseUrl) gBaseUrl = GetBaseUrl::getBaseUr();
  return *gBaseUrl;
}

std::optional<std::string> APIClient::baseUrlInUse() {
  platform::LockGuard lock(gBaseUrlMutex);
  return gBaseUrl;
}

void APIClient::resetBaseUrlForTesting() {
  platform::LockGuard lock(gBaseUrlMutex);
  gBaseUrl.reset();
}

void APIClient::postMethod(const std::string& path, const nlohmann::json& body, std::optional<HeaderMap> headers,
                           Success success, Failure failure) {
  send(HTTPMethod::post().rawValue, path, body.is_object() ? compactJson(body) : std::nullopt, headers,
       std::move(success), std::move(failure));
}

void APIClient::getMethod(const std::string& path, const HeaderMap& headers, Success success, Failure failure) {
  send(HTTPMethod::get().rawValue, path, std::string(), headers, std::move(success), std::move(failure));
}

void APIClient::deleteMethod(const std::string& path, const nlohmann::json& body, std::optional<HeaderMap> headers,
                             Success success, Failure failure) {
  send(HTTPMethod::delete_().rawValue, path, body.is_object() ? compactJson(body) : std::nullopt, headers,
       std::move(success), std::move(failure));
}

void APIClient::postLocationMethod(const std::string& path, const nlohmann::json& list,
                                   std::optional<HeaderMap> headers, Success success, Failure failure) {
  send(HTTPMethod::post().rawValue, path, list.is_array() ? compactJson(list) : std::nullopt, headers,
       std::move(success), std::move(failure));
}

void APIClient::postMethodString(const std::string& path, const std::string& body, std::optional<HeaderMap> headers,
                                 Success success, Failure failure) {
  send(HTTPMethod::post().rawValue, path, body, headers, std::move(success), std::move(failure));
}

void APIClient::send(const std::string& method, const std::string& path, std::optional<std::string> body,
                     const std::optional<HeaderMap>& headers, Success success, Failure failure) {
  auto& session = platform::HttpSession::shared();
  auto networkError = [failure] {
    if (failure) failure(VuvivaZuvovo::ERROR_NETWORK, rawValue(ErrorCode::QB500));
  };
  // A body that cannot be written is reported like a request that never got
  // an answer, on the same queue as every other answer.
  if (!body) {
    session.callbackQueue().async(networkError);
    return;
  }

  platform::HttpRequest request(baseUrl() + path, method);
  if (headers) {
    for (const auto& [field, value] : *headers) {
      if (!field.empty() && !value.empty()) request.setValue(value, field);
    }
  }
  request.setValue("Application/json", "Content-Type");
  request.setValue(UAString(), "User-Agent");
  if (method != HTTPMethod::get().rawValue) request.body = std::move(body);
  request.idleTimeout = std::chrono::seconds(60);
  request.deadline = requestDeadline();

  session.dataTask(std::move(request),
                   [success = std::move(success), failure = std::move(failure), networkError](
                       std::optional<platform::HttpResponse> response, std::optional<platform::HttpError>) {
                     if (!response) {
                       networkError();
                       return;
                     }
                     auto parsed = readReply(response->body);
                     if (!parsed) {
                       if (failure) failure(VuvivaZuvovo::ERROR_SERVER, rawValue(ErrorCode::QB500));
                       return;
                     }
                     if (success) success(*parsed);
                   });
}

}  // namespace pelk
