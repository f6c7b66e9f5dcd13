#include "platform/HttpSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <map>

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

struct HttpSession::Transfer {
  HttpRequest request;
  HttpCompletion completion;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::string responseBody;
  HttpHeaders responseHeaders;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (headerList != nullptr) curl_slist_free_all(headerList);
    if (easy != nullptr) curl_easy_cleanup(easy);
  }

  // Replies are small JSON documents; a body past this is cut off and the
  // transfer fails, so a broken server cannot exhaust the host's memory.
  static constexpr size_t kMaxBodyBytes = 32u << 20;

  static size_t onBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    if (t->responseBody.size() + size * count > kMaxBodyBytes) return 0;
    t->responseBody.append(data, size * count);
    return size * count;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
      t->responseHeaders.clear();  // a new response (redirect or 100-continue) starts
    } else if (auto colon = line.find(':'); colon != std::string::npos) {
      t->responseHeaders.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return size * count;
  }

  bool setUp() {
    easy = curl_easy_init();
    if (easy == nullptr) return false;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    const long idle = std::max<long>(
        1, static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(request.idleTimeout).count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, idle);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idle);
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
    // No "Expect: 100-continue" round trip; the caller's headers otherwise as given.
    headerList = curl_slist_append(headerList, "Expect:");
    for (const auto& [name, value] : request.headers()) {
      const std::string line = name + ": " + value;
      headerList = curl_slist_append(headerList, line.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    return true;
  }
};

HttpSession& HttpSession::shared() {
  // Process lifetime: never destroyed, so no exit-time join can hang.
  static HttpSession* session = new HttpSession("pelk.http.shared");
  return *session;
}

HttpSession::HttpSession(std::string label) : callbacks_(Dispatch::makeSerial(label + ".callbacks")) {
  ensureCurlGlobal();
  multi_ = curl_multi_init();
  thread_ = std::thread([this] { run(); });
}

HttpSession::~HttpSession() {
  {
    std::lock_guard lock(mutex_);
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
  {
    std::lock_guard lock(mutex_);
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
      std::lock_guard lock(mutex_);
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
      if (!t->setUp() || curl_multi_add_handle(multi, t->easy) != CURLM_OK) {
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
      if (result == CURLE_OK) {
        HttpResponse r;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &r.statusCode);
        char* effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        if (effective != nullptr) r.url = effective;
        r.body = std::move(t->responseBody);
        r.headers = std::move(t->responseHeaders);
        finish(t.get(), std::move(r), std::nullopt);
      } else {
        std::string message = t->errorBuffer[0] != '\0' ? t->errorBuffer : curl_easy_strerror(result);
        finish(t.get(), std::nullopt, HttpError{HttpError::Kind::transport, std::move(message)});
      }
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace pelk::platform
