#include "support/HttpTestServer.h"

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
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

// ------------------------------------------------------------------ SocketTestServer

SocketTestServer::SocketTestServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || ::pipe2(wakeFd_, O_CLOEXEC) != 0) throw std::runtime_error("SocketTestServer: no socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("SocketTestServer: cannot listen on loopback");
  }
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

SocketTestServer::~SocketTestServer() {
  stop();
  ::close(listenFd_);
  ::close(wakeFd_[0]);
  ::close(wakeFd_[1]);
}

void SocketTestServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    // Wakes every connection thread blocked in a read.
    for (int fd : connectionFds_) ::shutdown(fd, SHUT_RDWR);
  }
  cv_.notify_all();
  const char byte = 1;
  (void)!::write(wakeFd_[1], &byte, 1);
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& t : connectionThreads_) t.join();
  connectionThreads_.clear();
  std::lock_guard lock(mutex_);
  for (int fd : connectionFds_) ::close(fd);
  connectionFds_.clear();
}

void SocketTestServer::acceptLoop() {
  for (int index = 0;; ++index) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopped_) {
      ::close(fd);
      return;
    }
    connectionFds_.push_back(fd);
    connectionThreads_.emplace_back([this, fd, index] {
      Connection connection(*this, fd);
      handler_(connection, index);
      // Closing is left to stop(), so a handler that returns drops the
      // connection without reusing the descriptor number meanwhile.
      ::shutdown(fd, SHUT_RDWR);
    });
  }
}

std::vector<RecordedRequest> SocketTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::string SocketTestServer::reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::optional<RecordedRequest> SocketTestServer::Connection::readRequest() {
  auto fill = [this] {
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffered_.append(chunk, static_cast<std::size_t>(n));
    return true;
  };
  std::size_t headEnd;
  while ((headEnd = buffered_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return std::nullopt;
  }
  RecordedRequest r;
  const std::string head = buffered_.substr(0, headEnd);
  std::size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  const auto sp1 = requestLine.find(' ');
  const auto sp2 = requestLine.find(' ', sp1 + 1);
  r.method = requestLine.substr(0, sp1);
  r.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  r.path = r.target.substr(0, r.target.find('?'));
  std::size_t contentLength = 0;
  while (lineEnd != std::string::npos) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.headers.emplace_back(line.substr(0, colon), value);
    if (equalsIgnoreCase(line.substr(0, colon), "Content-Length")) contentLength = std::stoul(value);
  }
  buffered_.erase(0, headEnd + 4);
  while (buffered_.size() < contentLength) {
    if (!fill()) return std::nullopt;
  }
  r.body = buffered_.substr(0, contentLength);
  buffered_.erase(0, contentLength);
  {
    std::lock_guard lock(server_.mutex_);
    server_.requests_.push_back(r);
  }
  return r;
}

bool SocketTestServer::Connection::write(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool SocketTestServer::Connection::waitForStop(std::chrono::milliseconds timeout) {
  std::unique_lock lock(server_.mutex_);
  return server_.cv_.wait_for(lock, timeout, [&] { return server_.stopped_; });
}

}  // namespace pelk::test
