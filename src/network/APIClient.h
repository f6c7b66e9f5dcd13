#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace pelk {

using HeaderMap = std::map<std::string, std::string>;

// The one transport of the REST client.  It joins the process's base URL with
// a path, sends the request on the shared HTTP session and turns the reply into
// exactly one handler call, on the session's callback queue (never the main
// queue): a JSON object for `Success`, or (message, code) for `Failure` --
// ("Network error", "QB500") when no reply arrives, the URL is not valid or the
// body cannot be written (or a header holds a line break), ("Server error",
// "QB500") when the reply is not a JSON object or nests deeper than
// kMaxReplyDepth.  The HTTP status is not consulted: the envelope's "code"
// decides.  A request gives up when no byte moves for 60 s, or after
// requestDeadline() in all.
class APIClient {
 public:
  static constexpr int kMaxReplyDepth = 128;

  using Success = std::function<void(const nlohmann::json& reply)>;
  using Failure = std::function<void(std::optional<std::string> message, std::optional<std::string> code)>;

  // The reply body as the handlers get it: a JSON object nested at most
  // kMaxReplyDepth deep, or nothing (answered as "Server error").
  static std::optional<nlohmann::json> readReply(const std::string& body);

  static APIClient& sharedInstance();
  APIClient() = default;
  virtual ~APIClient() = default;

  virtual void postMethod(const std::string& path, const nlohmann::json& body, std::optional<HeaderMap> headers,
                          Success success, Failure failure);
  virtual void getMethod(const std::string& path, const HeaderMap& headers, Success success, Failure failure);
  virtual void deleteMethod(const std::string& path, const nlohmann::json& body, std::optional<HeaderMap> headers,
                            Success success, Failure failure);
  virtual void postLocationMethod(const std::string& path, const nlohmann::json& list, std::optional<HeaderMap> headers,
                                  Success success, Failure failure);
  virtual void postMethodString(const std::string& path, const std::string& body, std::optional<HeaderMap> headers,
                                Success success, Failure failure);

  // The REST base URL of this process: chosen at the first request from the
  // stored setting and kept from then on.
  static std::string baseUrl();
  // The base URL chosen by a request of this process, or nothing before the
  // first request (it does not choose one).
  static std::optional<std::string> baseUrlInUse();
  // Forgets the chosen base URL, so the next request chooses again (tests).
  static void resetBaseUrlForTesting();

  // The overall limit of one request, 5 minutes unless a test shortens it.
  static std::chrono::milliseconds requestDeadline();
  static void setRequestDeadlineForTesting(std::optional<std::chrono::milliseconds> deadline);

 private:
  void send(const std::string& method, const std::string& path, std::optional<std::string> body,
            const std::optional<HeaderMap>& headers, Success success, Failure failure);
};

}  // namespace pelk
