#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
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

  static ScriptedReply json(const std::string& body, int status = 200) {
    return {status, body, "application/json", {}};
  }
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

// A loopback server that speaks HTTP/1.1 by hand, for what a server library
// will not do on request: drop a kept-alive connection after reading a
// request, trickle a reply, or never answer.  Each accepted connection runs
// the handler on a thread of its own; stop() (or the destructor) closes every
// connection and joins those threads.
class SocketTestServer {
 public:
  class Connection {
   public:
    // Reads one request (head and a Content-Length body); nullopt once the
    // peer closed or the server stops.
    std::optional<RecordedRequest> readRequest();
    // Writes all of `bytes`; false when the peer is gone.
    bool write(const std::string& bytes);
    // Waits until the server stops or `timeout` passes; true when it stopped.
    bool waitForStop(std::chrono::milliseconds timeout);

   private:
    friend class SocketTestServer;
    Connection(SocketTestServer& server, int fd) : server_(server), fd_(fd) {}
    SocketTestServer& server_;
    int fd_;
    std::string buffered_;
  };
  // `index` counts accepted connections from 0.
  using Handler = std::function<void(Connection& connection, int index)>;

  explicit SocketTestServer(Handler handler);
  ~SocketTestServer();
  SocketTestServer(const SocketTestServer&) = delete;
  SocketTestServer& operator=(const SocketTestServer&) = delete;

  int port() const { return port_; }
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Every request a handler read, in the order they were read.
  std::vector<RecordedRequest> requests() const;
  void stop();

  // A complete reply with a Content-Length body that keeps the connection open.
  static std::string reply(int status, const std::string& body);

 private:
  void acceptLoop();

  Handler handler_;
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stopped_ = false;
  std::vector<RecordedRequest> requests_;
  std::vector<int> connectionFds_;
  std::list<std::thread> connectionThreads_;
  std::thread acceptThread_;
};

}  // namespace pelk::test
