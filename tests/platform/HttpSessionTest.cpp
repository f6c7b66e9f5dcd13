#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/HttpSession.h"
#include "support/HttpTestServer.h"

namespace pelk::platform {
namespace {

using test::HttpTestServer;
using test::RecordedRequest;
using test::ScriptedReply;
using test::SocketTestServer;

struct Result {
  std::optional<HttpResponse> response;
  std::optional<HttpError> error;
  bool onCallbackQueue = false;
  bool onMain = false;
};

// Collects completions in the order they run.
class Completions {
 public:
  explicit Completions(HttpSession& session) : session_(session) {}
  HttpCompletion next(std::string tag) {
    return [this, tag](std::optional<HttpResponse> r, std::optional<HttpError> e) {
      Result res{std::move(r), std::move(e), session_.callbackQueue().isCurrent(), Dispatch::isMainThread()};
      std::lock_guard lock(state_->mutex);
      state_->order.push_back(tag);
      state_->results.push_back(std::move(res));
      state_->cv.notify_all();
    };
  }
  bool waitFor(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(15)) {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, timeout, [&] { return state_->results.size() >= n; });
  }
  Result at(std::size_t i) {
    std::lock_guard lock(state_->mutex);
    return state_->results.at(i);
  }
  std::vector<std::string> order() {
    std::lock_guard lock(state_->mutex);
    return state_->order;
  }
  Result one(HttpSession& s, HttpRequest request) {
    s.dataTask(std::move(request), next("one"));
    EXPECT_TRUE(waitFor(1));
    return at(0);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Result> results;
    std::vector<std::string> order;
  };
  HttpSession& session_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class HttpSessionTest : public ::testing::Test {
 protected:
  HttpTestServer server_;
  HttpSession session_{"test.http"};
};

TEST_F(HttpSessionTest, MethodsBodiesAndCaseInsensitiveHeaders) {
  server_.setDefault("/echo", ScriptedReply{201, R"({"ok":true})", "application/json", {{"X-Reply", "yes"}}});
  for (const std::string method : {"GET", "POST", "DELETE"}) {
    Completions done(session_);
    HttpRequest request(server_.baseUrl() + "/echo?q=1", method);
    request.setValue("first", "X-Custom");
    request.setValue("second", "x-custom");  // replaces, whatever the case
    request.setValue("Application/json", "Content-Type");
    if (method != "GET") request.body = R"({"a":1})";
    const Result r = done.one(session_, request);
    ASSERT_TRUE(r.response) << method << ": " << (r.error ? r.error->message : "");
    EXPECT_EQ(r.response->statusCode, 201);
    EXPECT_EQ(r.response->body, R"({"ok":true})");
    EXPECT_EQ(r.response->header("x-reply"), "yes");
    EXPECT_TRUE(r.onCallbackQueue);
    EXPECT_FALSE(r.onMain);
  }
  const auto rs = server_.requests("/echo");
  ASSERT_EQ(rs.size(), 3u);
  for (std::size_t i = 0; i < rs.size(); ++i) {
    EXPECT_EQ(rs[i].header("X-Custom"), "second");
    EXPECT_EQ(rs[i].header("Content-Type"), "Application/json");
    EXPECT_FALSE(rs[i].header("Expect"));
  }
  EXPECT_EQ(rs[0].method, "GET");
  EXPECT_TRUE(rs[0].body.empty());
  EXPECT_EQ(rs[1].method, "POST");
  EXPECT_EQ(rs[1].body, R"({"a":1})");
  EXPECT_EQ(rs[2].method, "DELETE");
  EXPECT_EQ(rs[2].body, R"({"a":1})");
}

TEST_F(HttpSessionTest, RedirectsAreFollowedAndCompressedBodiesDecoded) {
  const std::string big(4000, 'x');
  server_.setDefault("/old", ScriptedReply{302, "", "text/plain", {{"Location", "/new"}}});
  server_.setDefault("/new", ScriptedReply::json(R"({"data":")" + big + R"("})"));
  Completions done(session_);
  const Result r = done.one(session_, HttpRequest(server_.baseUrl() + "/old"));
  ASSERT_TRUE(r.response);
  EXPECT_EQ(r.response->statusCode, 200);
  EXPECT_EQ(r.response->body, R"({"data":")" + big + R"("})");
  EXPECT_EQ(r.response->url, server_.baseUrl() + "/new");
  EXPECT_TRUE(r.response->header("Content-Encoding")) << "the server did not compress; decoding untested";
  ASSERT_EQ(server_.requests().size(), 2u);
  EXPECT_TRUE(server_.requests("/new").at(0).header("Accept-Encoding"));
}

TEST_F(HttpSessionTest, InvalidUrlsAndClosedPortsCompleteWithErrors) {
  struct Case {
    std::string url;
    HttpError::Kind kind;
  } cases[] = {
      {"not a url", HttpError::Kind::invalidUrl},
      {"ftp://127.0.0.1/file", HttpError::Kind::invalidUrl},
      {"http://", HttpError::Kind::invalidUrl},
      {"http://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort()) + "/x", HttpError::Kind::transport},
  };
  for (const auto& c : cases) {
    Completions done(session_);
    const Result r = done.one(session_, HttpRequest(c.url));
    EXPECT_FALSE(r.response) << c.url;
    ASSERT_TRUE(r.error) << c.url;
    EXPECT_EQ(r.error->kind, c.kind) << c.url;
    EXPECT_TRUE(r.onCallbackQueue);
  }
  EXPECT_TRUE(HttpSession::isValidUrl("https://api.example.invalid/v3/user/?user_id=a%20b"));
}

TEST_F(HttpSessionTest, CompletionsRunInCompletionOrder) {
  server_.setHandler([](const RecordedRequest& r) {
    if (r.path == "/slow") std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return ScriptedReply::json(R"({"path":")" + r.path + R"("})");
  });
  Completions done(session_);
  session_.dataTask(HttpRequest(server_.baseUrl() + "/slow"), done.next("slow"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  session_.dataTask(HttpRequest(server_.baseUrl() + "/fast"), done.next("fast"));
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(done.order(), (std::vector<std::string>{"fast", "slow"}));
}

TEST_F(HttpSessionTest, IdleTransferTimesOut) {
  server_.setHandler([](const RecordedRequest&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return ScriptedReply::json("{}");
  });
  HttpRequest request(server_.baseUrl() + "/hang");
  request.idleTimeout = std::chrono::seconds(1);
  Completions done(session_);
  const auto start = std::chrono::steady_clock::now();
  const Result r = done.one(session_, request);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind, HttpError::Kind::transport);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2400));
}

TEST_F(HttpSessionTest, ClosingTheSessionCancelsTransfersInFlight) {
  server_.setHandler([](const RecordedRequest&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    return ScriptedReply::json("{}");
  });
  auto session = std::make_unique<HttpSession>("test.closing");
  Completions done(*session);
  session->dataTask(HttpRequest(server_.baseUrl() + "/wait"), done.next("wait"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  session.reset();
  ASSERT_TRUE(done.waitFor(1));
  ASSERT_TRUE(done.at(0).error);
  EXPECT_EQ(done.at(0).error->kind, HttpError::Kind::cancelled);
}

TEST_F(HttpSessionTest, OversizedReplyFailsInsteadOfFillingMemory) {
  server_.setDefault("/huge", ScriptedReply{200, std::string((32u << 20) + 1, 'x'), "text/plain", {}});
  Completions done(session_);
  const Result r = done.one(session_, HttpRequest(server_.baseUrl() + "/huge"));
  EXPECT_FALSE(r.response);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind, HttpError::Kind::transport);
}

TEST_F(HttpSessionTest, HeaderWithLineBreakOrNulIsRefusedAndNothingSent) {
  server_.setDefault("/h", ScriptedReply::json("{}"));
  const std::pair<std::string, std::string> cases[] = {
      {"Authorization", "token abc\r\nX-Injected: evil"},
      {"Device-Token", "abc\nX-Injected: evil"},
      {"Device-Token", "abc\rX"},
      {"Device-Token", std::string("abc\0X-Injected: evil", 20)},
      {"X-Name\r\nX-Injected", "evil"},
      {std::string("X-Na\0me", 7), "v"},
  };
  for (const auto& [name, value] : cases) {
    Completions done(session_);
    HttpRequest request(server_.baseUrl() + "/h", "POST");
    request.body = "{}";
    request.setValue(value, name);
    const Result r = done.one(session_, request);
    EXPECT_FALSE(r.response) << name << ": " << value;
    ASSERT_TRUE(r.error) << name << ": " << value;
    EXPECT_EQ(r.error->kind, HttpError::Kind::invalidRequest);
    EXPECT_TRUE(r.onCallbackQueue);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(HttpSessionTest, CallerHeadersGoOnlyToTheHostTheRequestWasMadeTo) {
  HttpTestServer other;
  server_.setDefault("/here", ScriptedReply{307, "", "text/plain", {{"Location", "/landed"}}});
  server_.setDefault("/away", ScriptedReply{307, "", "text/plain", {{"Location", other.baseUrl() + "/landed"}}});
  server_.setDefault("/landed", ScriptedReply::json(R"({"at":"same"})"));
  other.setDefault("/landed", ScriptedReply::json(R"({"at":"other"})"));
  const std::pair<std::string, HttpTestServer*> cases[] = {{"/here", &server_}, {"/away", &other}};
  for (const auto& [path, landing] : cases) {
    Completions done(session_);
    HttpRequest request(server_.baseUrl() + path, "POST");
    request.body = R"({"a":1})";
    request.setValue("token secret", "Authorization");
    request.setValue("push-1", "Device-Token");
    request.setValue("uuid-1", "Device-Uuid");
    request.setValue("Application/json", "Content-Type");
    request.setValue("Agent/1", "User-Agent");
    const Result r = done.one(session_, request);
    ASSERT_TRUE(r.response) << path << ": " << (r.error ? r.error->message : "");
    EXPECT_EQ(r.response->statusCode, 200);
    ASSERT_EQ(landing->requests("/landed").size(), 1u) << path;
    const RecordedRequest landed = landing->requests("/landed").at(0);
    // A 307 keeps the method and the body.
    EXPECT_EQ(landed.method, "POST");
    EXPECT_EQ(landed.body, R"({"a":1})");
    EXPECT_EQ(landed.header("Content-Type"), "Application/json");
    EXPECT_EQ(landed.header("User-Agent"), "Agent/1");
    const bool sameHost = landing == &server_;
    for (const char* credential : {"Authorization", "Device-Token", "Device-Uuid"}) {
      EXPECT_EQ(landed.header(credential).has_value(), sameHost) << path << " " << credential;
    }
  }
}

// The server reads a second request on a kept-alive connection and drops the
// connection without a reply; any later connection is answered.
TEST_F(HttpSessionTest, RequestOnADroppedKeptAliveConnectionIsNotSentAgainUnlessItIsAGet) {
  struct Case {
    std::string method;
    bool answered;
    std::size_t timesSent;
  } cases[] = {{"POST", false, 1}, {"DELETE", false, 1}, {"GET", true, 2}};
  for (const auto& c : cases) {
    SocketTestServer dropping([](SocketTestServer::Connection& connection, int index) {
      if (!connection.readRequest()) return;
      connection.write(SocketTestServer::reply(200, R"({"n":1})"));
      if (index == 0) connection.readRequest();  // ... and the first connection then drops
    });
    HttpSession session("test.drop");
    {
      Completions warmUp(session);
      ASSERT_TRUE(warmUp.one(session, HttpRequest(dropping.baseUrl() + "/warm")).response);
    }
    Completions done(session);
    HttpRequest request(dropping.baseUrl() + "/act", c.method);
    if (c.method != "GET") request.body = "{}";
    const Result r = done.one(session, request);
    EXPECT_EQ(r.response.has_value(), c.answered) << c.method;
    if (!c.answered) {
      ASSERT_TRUE(r.error) << c.method;
      EXPECT_EQ(r.error->kind, HttpError::Kind::transport);
    }
    std::size_t sent = 0;
    for (const auto& seen : dropping.requests()) sent += seen.path == "/act" ? 1 : 0;
    EXPECT_EQ(sent, c.timesSent) << c.method;
  }
}

// A server that reads the request and never answers.
TEST_F(HttpSessionTest, IdleLimitIsTheSameForPostAndGet) {
  SocketTestServer silent([](SocketTestServer::Connection& connection, int) {
    if (connection.readRequest()) connection.waitForStop(std::chrono::seconds(30));
  });
  for (const std::string method : {"GET", "POST"}) {
    HttpRequest request(silent.baseUrl() + "/wait", method);
    if (method == "POST") request.body = R"({"a":1})";
    request.idleTimeout = std::chrono::seconds(1);
    Completions done(session_);
    const auto start = std::chrono::steady_clock::now();
    const Result r = done.one(session_, request);
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.error) << method;
    EXPECT_EQ(r.error->kind, HttpError::Kind::transport);
    EXPECT_GE(waited, std::chrono::milliseconds(900)) << method;
    EXPECT_LT(waited, std::chrono::milliseconds(5000)) << method;  // an upload must not postpone it
  }
}

// Two bytes a second keep the idle limit from ever firing.
TEST_F(HttpSessionTest, OverallDeadlineEndsATricklingReply) {
  SocketTestServer trickling([](SocketTestServer::Connection& connection, int) {
    if (!connection.readRequest()) return;
    connection.write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
    while (!connection.waitForStop(std::chrono::milliseconds(500))) {
      if (!connection.write("xx")) return;
    }
  });
  HttpRequest request(trickling.baseUrl() + "/slow", "POST");
  request.body = "{}";
  request.idleTimeout = std::chrono::seconds(1);
  request.deadline = std::chrono::seconds(2);
  Completions done(session_);
  const auto start = std::chrono::steady_clock::now();
  const Result r = done.one(session_, request);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind, HttpError::Kind::transport);
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_LT(waited, std::chrono::milliseconds(8000));
  EXPECT_EQ(HttpRequest().deadline, std::chrono::minutes(5));
  EXPECT_EQ(HttpRequest().idleTimeout, std::chrono::seconds(60));
}

// Headers without end, sent as fast as the host takes them: like an endless
// body, they must end the transfer rather than fill the host's memory until
// the deadline.
TEST_F(HttpSessionTest, EndlessHeadersFailInsteadOfFillingMemory) {
  SocketTestServer flooding([](SocketTestServer::Connection& connection, int) {
    if (!connection.readRequest()) return;
    if (!connection.write("HTTP/1.1 200 OK\r\n")) return;
    const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    std::string chunk;
    for (int i = 0; i < 64; ++i) chunk += line;
    while (!connection.waitForStop(std::chrono::milliseconds(0))) {
      if (!connection.write(chunk)) return;
    }
  });
  HttpRequest request(flooding.baseUrl() + "/flood");
  request.deadline = std::chrono::seconds(60);
  Completions done(session_);
  session_.dataTask(request, done.next("flood"));
  ASSERT_TRUE(done.waitFor(1, std::chrono::seconds(30))) << "still reading headers";
  const Result r = done.at(0);
  EXPECT_FALSE(r.response);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind, HttpError::Kind::transport);
}

}  // namespace
}  // namespace pelk::platform
