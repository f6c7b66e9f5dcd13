#include "support/HttpTestServer.h"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace pelk::test {

namespace {
bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}
}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (equalsIgnoreCase(k, name)) return v;
  }
  return std::nullopt;
}

struct HttpTestServer::Impl {
  httplib::Server server;
  std::thread thread;
};

HttpTestServer::HttpTestServer() : impl_(std::make_unique<Impl>()) {
  auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    for (const auto& [k, v] : req.headers) {
      // The server library adds these itself; they were not sent.
      if (k == "REMOTE_ADDR" || k == "REMOTE_PORT" || k == "LOCAL_ADDR" || k == "LOCAL_PORT") continue;
      r.headers.emplace_back(k, v);
    }
    r.body = req.body;
    const ScriptedReply reply = replyFor(r);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(r);
    }
    cv_.notify_all();
    res.status = reply.status;
    for (const auto& [k, v] : reply.headers) res.set_header(k, v);
    res.set_content(reply.body, reply.contentType.c_str());
  };
  // One request per connection: no idle keep-alive connection holds a worker
  // or delays stop().
  impl_->server.set_keep_alive_max_count(1);
  impl_->server.Get(".*", handle);
  impl_->server.Post(".*", handle);
  impl_->server.Delete(".*", handle);
  impl_->server.Put(".*", handle);
  port_ = impl_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("HttpTestServer: cannot bind a loopback port");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  while (!impl_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpTestServer::~HttpTestServer() { stop(); }

void HttpTestServer::stop() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

ScriptedReply HttpTestServer::replyFor(const RecordedRequest& request) {
  std::function<ScriptedReply(const RecordedRequest&)> handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
    if (!handler) {
      auto q = queued_.find(request.path);
      if (q != queued_.end() && !q->second.empty()) {
        ScriptedReply r = q->second.front();
        q->second.pop_front();
        return r;
      }
      auto d = defaults_.find(request.path);
      if (d != defaults_.end()) return d->second;
      return ScriptedReply{404, "", "text/plain", {}};
    }
  }
  return handler(request);
}

void HttpTestServer::enqueue(const std::string& path, ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  queued_[path].push_back(std::move(reply));
}

void HttpTestServer::setDefault(const std::string& path, ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  defaults_[path] = std::move(reply);
}

void HttpTestServer::setHandler(std::function<ScriptedReply(const RecordedRequest&)> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> HttpTestServer::requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

int HttpTestServer::unusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 9;  // discard port; nothing listens there in a test environment
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int port = 9;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port = ntohs(addr.sin_port);
  }
  ::close(fd);  // bound but never listening: connections are refused
  return port;
}

}  // namespace pelk::test
