#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One HTTP request.  Header names are matched without regard to case: setting
// "content-type" replaces an earlier "Content-Type".  A header whose name or
// value holds CR, LF or NUL (or whose name is empty or holds ':') makes the
// whole request fail with `invalidRequest` before anything is sent.
class HttpRequest {
 public:
  HttpRequest() = default;
  explicit HttpRequest(std::string url, std::string method = "GET") : url(std::move(url)), method(std::move(method)) {}

  void setValue(const std::string& value, const std::string& field);
  std::optional<std::string> value(const std::string& field) const;
  const HttpHeaders& headers() const { return headers_; }

  std::string url;
  std::string method = "GET";
  std::optional<std::string> body;
  // The transfer fails when no byte moves for this long (connect included),
  // whatever the method.
  Duration idleTimeout = std::chrono::seconds(60);
  // The transfer fails when it has not finished this long after it started,
  // redirects included, however steadily bytes trickle in.
  Duration deadline = std::chrono::minutes(5);

 private:
  HttpHeaders headers_;
};

struct HttpResponse {
  long statusCode = 0;
  HttpHeaders headers;  // of the final response after redirects
  std::string body;     // decoded (gzip and deflate undone)
  std::string url;      // the final URL after redirects

  std::optional<std::string> header(const std::string& field) const;
};

struct HttpError {
  enum class Kind { invalidUrl, invalidRequest, transport, cancelled };
  Kind kind = Kind::transport;
  std::string message;
};

// Exactly one of the two is set.
using HttpCompletion = std::function<void(std::optional<HttpResponse>, std::optional<HttpError>)>;

// An HTTP client on libcurl: one multi handle driven by one I/O thread, any
// number of transfers in flight.  Completions run one at a time, in the order
// the transfers finish, on the session's serial callback queue (never the main
// queue).  Compressed bodies are decoded, TLS peers and host names verified;
// only http and https are spoken.  A host under the reserved domain
// "invalid" (RFC 6761) fails at once as a transport error: no name server or
// proxy is asked, nothing is sent.
//
// Redirects are followed (at most 16): 307 and 308 keep the method and body,
// 303 (and 301 or 302 after a POST) go on as a GET without a body.  The
// caller's headers go only to the scheme, host and port the request was made
// to; a hop elsewhere carries only Content-Type, User-Agent, Accept and
// Accept-Language.
//
// A request other than GET or HEAD is never sent twice: when a kept-alive
// connection turns out dead after the request went out, the transfer fails
// instead of being sent again on a new connection.
class HttpSession {
 public:
  // The process-wide session.
  static HttpSession& shared();

  explicit HttpSession(std::string label = "pelk.http");
  // Transfers still in flight complete with a `cancelled` error.
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Starts the transfer and returns at once.  The completion is called exactly
  // once, on the callback queue, also when the URL is not a valid http(s) URL.
  void dataTask(HttpRequest request, HttpCompletion completion);

  Queue& callbackQueue() { return *callbacks_; }

  static bool isValidUrl(const std::string& url);

 private:
  struct Transfer;
  void run();
  // Starts the transfer's next hop; false when it could not be started.
  bool start(Transfer& t);
  void finish(Transfer* t, std::optional<HttpResponse> response, std::optional<HttpError> error);

  std::shared_ptr<Queue> callbacks_;
  void* multi_ = nullptr;  // CURLM*
  // Lock order: a leaf (platform/LockOrder.h).
  platform::Mutex mutex_;
  std::vector<std::unique_ptr<Transfer>> pending_ PELK_GUARDED_BY(mutex_);
  bool stopping_ PELK_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace pelk::platform
