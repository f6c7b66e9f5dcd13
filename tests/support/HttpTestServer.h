#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pelk::test {

// One request as the server saw it.
struct RecordedRequest {
  std::string method;
  std::string path;    // without the query
  std::string target;  // path and query as sent (still percent-encoded)
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Header value by case-insensitive name.
  std::optional<std::string> header(const std::string& name) const;
};

struct ScriptedReply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;

  static ScriptedReply json(const std::string& body, int status = 200) { return {status, body, "application/json", {}}; }
};

// An HTTP server on a free loopback port, in this process, for as long as the
// object lives.  Replies are scripted per path: queued replies first, in
// order, then the path's default; unscripted requests get 404 with an empty
// body.  Every request is recorded.
class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

  void enqueue(const std::string& path, ScriptedReply reply);
  void setDefault(const std::string& path, ScriptedReply reply);
  // Decides every reply itself when set (scripts are then ignored).
  void setHandler(std::function<ScriptedReply(const RecordedRequest&)> handler);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& path) const;
  // Waits until at least `count` requests arrived.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Stops listening; later requests fail to connect.
  void stop();

  // A loopback port that nothing listens on at the moment of the call.
  static int unusedPort();

 private:
  ScriptedReply replyFor(const RecordedRequest& request);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<RecordedRequest> requests_;
  std::map<std::string, std::deque<ScriptedReply>> queued_;
  std::map<std::string, ScriptedReply> defaults_;
  std::function<ScriptedReply(const RecordedRequest&)> handler_;
};

}  // namespace pelk::test
