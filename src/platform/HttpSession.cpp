#include "platform/HttpSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "platform/ThreadName.h"

namespace pelk::platform {
namespace {

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trim(std::string s) {
  auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  return s;
}

void ensureCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void HttpRequest::setValue(const std::string& value, const std::string& field) {
  for (auto& h : headers_) {
    if (equalsIgnoreCase(h.first, field)) {
      h.second = value;
      return;
    }
  }
  headers_.emplace_back(field, value);
}

std::optional<std::string> HttpRequest::value(const std::string& field) const {
  for (const auto& h : headers_) {
    if (equalsIgnoreCase(h.first, field)) return h.second;
  }
  return std::nullopt;
}

std::optional<std::string> HttpResponse::header(const std::string& field) const {
  for (const auto& h : headers) {
    if (equalsIgnoreCase(h.first, field)) return h.second;
  }
  return std::nullopt;
}

bool HttpSession::isValidUrl(const std::string& url) {
  ensureCurlGlobal();
  if (url.find_first_of(" \t\r\n") != std::string::npos) return false;
  CURLU* u = curl_url();
  if (u == nullptr) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  if (ok) {
    char* scheme = nullptr;
    char* host = nullptr;
    ok = curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
         curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && scheme != nullptr && host != nullptr &&
         (std::string(scheme) == "http" || std::string(scheme) == "https") && host[0] != '\0';
    curl_free(scheme);
    curl_free(host);
  }
  curl_url_cleanup(u);
  return ok;
}

namespace {

// Names under the reserved top-level domain "invalid" never resolve: the
// request fails at once instead of asking a name server (or a proxy) about
// a name that cannot exist.  The kit's placeholder hosts live there.
bool namesInvalidHost(const std::string& url) {
  CURLU* u = curl_url();
  if (u == nullptr) return false;
  bool invalid = false;
  char* host = nullptr;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host != nullptr) {
    std::string name(host);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    while (!name.empty() && name.back() == '.') name.pop_back();
    invalid = name == "invalid" || name.ends_with(".invalid");
  }
  curl_free(host);
  curl_url_cleanup(u);
  return invalid;
}

// Whether `name: value` can go out as one header line as it is.
bool isSafeHeader(const std::string& name, const std::string& value) {
  auto breaks = [](const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
  };
  return !name.empty() && name.find(':') == std::string::npos && !breaks(name) && !breaks(value);
}

// Scheme, host and port of a URL, as one comparable text; empty when unparsable.
std::string originOf(const std::string& url) {
  CURLU* u = curl_url();
  if (u == nullptr) return {};
  std::string origin;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      origin = std::string(scheme) + "://" + host + ":" + port;
      std::transform(origin.begin(), origin.end(), origin.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(u);
  return origin;
}

// Headers that say nothing about who is asking, so they may follow a redirect
// to another host.
bool followsToOtherHosts(const std::string& name) {
  for (const char* safe : {"Content-Type", "User-Agent", "Accept", "Accept-Language"}) {
    if (equalsIgnoreCase(name, safe)) return true;
  }
  return false;
}

long clampedMillis(Duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return static_cast<long>(std::clamp<std::int64_t>(ms, 1, 24LL * 3600 * 1000));
}

}  // namespace

struct HttpSession::Transfer {
  using Steady = std::chrono::steady_clock;

  HttpRequest request;  // the current hop: its URL, method and body
  HttpCompletion completion;
  std::string origin;  // of the URL the caller asked for
  Steady::time_point started = Steady::now();
  int redirects = 0;

  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::string responseBody;
  HttpHeaders responseHeaders;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  Steady::time_point lastActivity;
  curl_off_t lastUp = 0;
  curl_off_t lastDown = 0;
  int requestsSent = 0;
  bool idleExpired = false;
  bool resendRefused = false;

  ~Transfer() { release(); }

  void release() {
    if (headerList != nullptr) curl_slist_free_all(headerList);
    if (easy != nullptr) curl_easy_cleanup(easy);
    headerList = nullptr;
    easy = nullptr;
  }

  bool resendable() const { return request.method == "GET" || request.method == "HEAD"; }

  // Replies are small JSON documents; a body past this is cut off and the
  // transfer fails, so a broken server cannot exhaust the host's memory.
  static constexpr size_t kMaxBodyBytes = 32u << 20;

  static size_t onBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    t->lastActivity = Steady::now();
    if (t->responseBody.size() + size * count > kMaxBodyBytes) return 0;
    t->responseBody.append(data, size * count);
    return size * count;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    t->lastActivity = Steady::now();
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
      t->responseHeaders.clear();  // a new response (100-continue) starts
    } else if (auto colon = line.find(':'); colon != std::string::npos) {
      t->responseHeaders.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return size * count;
  }

  // Called often while the transfer runs, also when nothing moves: the idle
  // limit is kept here, alike for every method.  (libcurl's own low-speed
  // check averages over several seconds, so an upload postpones it.)
  static int onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* t = static_cast<Transfer*>(self);
    const auto now = Steady::now();
    if (down != t->lastDown || up != t->lastUp) {
      t->lastDown = down;
      t->lastUp = up;
      t->lastActivity = now;
    }
    if (now - t->lastActivity >= t->request.idleTimeout) {
      t->idleExpired = true;
      return 1;
    }
    return 0;
  }

  // Called each time the request is about to go out on a connection.  libcurl
  // sends a request again on a new connection when a kept-alive one turns out
  // dead; the server may have acted on the first copy, so only a GET or HEAD
  // may go twice.
  static int onRequest(void* self, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(self);
    if (++t->requestsSent > 1 && !t->resendable()) {
      t->resendRefused = true;
      return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
  }

  std::string failureMessage(CURLcode result) const {
    if (idleExpired) return "no data moved within the idle limit";
    if (resendRefused) return "the connection was lost after the request was sent; not sent again";
    return errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result);
  }

  // Prepares the easy handle of the current hop.
  bool setUp(Duration remaining) {
    release();
    responseBody.clear();
    responseHeaders.clear();
    errorBuffer[0] = '\0';
    lastActivity = Steady::now();
    lastUp = lastDown = 0;
    requestsSent = 0;
    easy = curl_easy_init();
    if (easy == nullptr) return false;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Redirects are followed by the session itself, which decides per hop
    // which headers may go along.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, clampedMillis(request.idleTimeout));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, clampedMillis(remaining));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::onRequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);

    if (request.method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
      if (request.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
      if (request.body || request.method == "POST") {
        static const char kEmpty[] = "";
        const char* data = request.body ? request.body->data() : kEmpty;
        const auto size = static_cast<curl_off_t>(request.body ? request.body->size() : 0);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data);
      }
    }
    // No "Expect: 100-continue" round trip; the caller's headers otherwise as
    // given, but only to the host the request was made to.
    headerList = curl_slist_append(headerList, "Expect:");
    const bool sameOrigin = originOf(request.url) == origin;
    for (const auto& [name, value] : request.headers()) {
      if (!sameOrigin && !followsToOtherHosts(name)) continue;
      const std::string line = name + ": " + value;
      headerList = curl_slist_append(headerList, line.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    return true;
  }

  // Turns the current hop into the next one when its reply is a redirect;
  // false when the reply is the final one.
  bool redirect(long status) {
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return false;
    char* target = nullptr;
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &target);
    if (target == nullptr) return false;
    request.url = target;
    if ((status == 303 && request.method != "HEAD") || ((status == 301 || status == 302) && request.method == "POST")) {
      request.method = "GET";
      request.body.reset();
    }
    ++redirects;
    return true;
  }
};

namespace {
constexpr int kMaxRedirects = 16;
}  // namespace

HttpSession& HttpSession::shared() {
  // Process lifetime: never destroyed, so no exit-time join can hang.
  static HttpSession* session = new HttpSession("pelk.http.shared");
  return *session;
}

HttpSession::HttpSession(std::string label) : callbacks_(Dispatch::makeSerial(label + ".callbacks", "pelk-http-cb")) {
  ensureCurlGlobal();
  multi_ = curl_multi_init();
  thread_ = std::thread([this] {
    nameThisThread("pelk-http");
    run();
  });
}

HttpSession::~HttpSession() {
  {
    platform::LockGuard lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
  if (thread_.joinable()) thread_.join();
  curl_multi_cleanup(static_cast<CURLM*>(multi_));
  // Let every completion queued so far run before the queue goes away.
  if (!callbacks_->isCurrent()) callbacks_->sync([] {});
}

void HttpSession::dataTask(HttpRequest request, HttpCompletion completion) {
  auto t = std::make_unique<Transfer>();
  t->request = std::move(request);
  t->completion = std::move(completion);
  if (!isValidUrl(t->request.url)) {
    finish(t.get(), std::nullopt, HttpError{HttpError::Kind::invalidUrl, "invalid URL: " + t->request.url});
    return;
  }
  if (namesInvalidHost(t->request.url)) {
    finish(t.get(), std::nullopt, HttpError{HttpError::Kind::transport, "host under .invalid: not resolved"});
    return;
  }
  for (const auto& [name, value] : t->request.headers()) {
    if (!isSafeHeader(name, value)) {
      // The text itself stays out of the message: it may hold a credential.
      finish(t.get(), std::nullopt,
             HttpError{HttpError::Kind::invalidRequest, "a header name or value holds CR, LF, NUL or an invalid name"});
      return;
    }
  }
  t->origin = originOf(t->request.url);
  {
    platform::LockGuard lock(mutex_);
    if (!stopping_) {
      pending_.push_back(std::move(t));
    }
  }
  if (t) {
    finish(t.get(), std::nullopt, HttpError{HttpError::Kind::cancelled, "session closed"});
    return;
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

bool HttpSession::start(Transfer& t) {
  const Duration remaining =
      std::chrono::duration_cast<Duration>(t.request.deadline - (Transfer::Steady::now() - t.started));
  if (remaining <= Duration::zero()) return false;
  return t.setUp(remaining) && curl_multi_add_handle(static_cast<CURLM*>(multi_), t.easy) == CURLM_OK;
}

void HttpSession::finish(Transfer* t, std::optional<HttpResponse> response, std::optional<HttpError> error) {
  auto completion = std::move(t->completion);
  if (!completion) return;
  callbacks_->async([completion = std::move(completion), response = std::move(response),
                     error = std::move(error)]() mutable { completion(std::move(response), std::move(error)); });
}

void HttpSession::run() {
  auto* multi = static_cast<CURLM*>(multi_);
  std::map<CURL*, std::unique_ptr<Transfer>> active;
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> incoming;
    bool stop = false;
    {
      platform::LockGuard lock(mutex_);
      incoming.swap(pending_);
      stop = stopping_;
    }
    if (stop) {
      for (auto& t : incoming) finish(t.get(), std::nullopt, HttpError{HttpError::Kind::cancelled, "session closed"});
      for (auto& [easy, t] : active) {
        curl_multi_remove_handle(multi, easy);
        finish(t.get(), std::nullopt, HttpError{HttpError::Kind::cancelled, "session closed"});
      }
      active.clear();
      return;
    }
    for (auto& t : incoming) {
      if (!start(*t)) {
        finish(t.get(), std::nullopt, HttpError{HttpError::Kind::transport, "could not start the transfer"});
        continue;
      }
      CURL* easy = t->easy;
      active.emplace(easy, std::move(t));
    }

    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* easy = msg->easy_handle;
      const CURLcode result = msg->data.result;
      auto it = active.find(easy);
      curl_multi_remove_handle(multi, easy);
      if (it == active.end()) continue;
      std::unique_ptr<Transfer> t = std::move(it->second);
      active.erase(it);
      if (result != CURLE_OK) {
        finish(t.get(), std::nullopt, HttpError{HttpError::Kind::transport, t->failureMessage(result)});
        continue;
      }
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      if (t->redirect(status)) {
        std::string failure;
        if (t->redirects > kMaxRedirects) {
          failure = "too many redirects";
        } else if (!isValidUrl(t->request.url) || namesInvalidHost(t->request.url)) {
          failure = "redirect to an invalid URL";
        } else if (!start(*t)) {
          failure = "could not follow the redirect within the deadline";
        }
        if (!failure.empty()) {
          finish(t.get(), std::nullopt, HttpError{HttpError::Kind::transport, std::move(failure)});
        } else {
          CURL* next = t->easy;
          active.emplace(next, std::move(t));
        }
        continue;
      }
      HttpResponse r;
      r.statusCode = status;
      char* effective = nullptr;
      curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
      if (effective != nullptr) r.url = effective;
      r.body = std::move(t->responseBody);
      r.headers = std::move(t->responseHeaders);
      finish(t.get(), std::move(r), std::nullopt);
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace pelk::platform
