#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "NetworkFixture.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/APIClient.h"
#include "platform/HttpSession.h"

namespace pelk::test {
namespace {

using nlohmann::json;

struct Outcome {
  std::optional<json> reply;
  std::optional<std::string> message;
  std::optional<std::string> code;
  bool onCallbackQueue = false;
};

class TransportTest : public RestTest {
 protected:
  APIClient::Success success(Awaited<Outcome>& out) {
    return [&out](const json& reply) {
      out.set({reply, std::nullopt, std::nullopt, platform::HttpSession::shared().callbackQueue().isCurrent()});
    };
  }
  APIClient::Failure failure(Awaited<Outcome>& out) {
    return [&out](std::optional<std::string> m, std::optional<std::string> c) {
      out.set({std::nullopt, m, c, platform::HttpSession::shared().callbackQueue().isCurrent()});
    };
  }
  Outcome get(const std::string& path, const HeaderMap& headers = {}) {
    Awaited<Outcome> out;
    APIClient::sharedInstance().getMethod(path, headers, success(out), failure(out));
    return out.get();
  }
};

TEST_F(TransportTest, GetCarriesFixedHeadersAndOnlyNonEmptyCallerHeaders) {
  server_.setDefault("/v3/user/", ScriptedReply::json(R"({"code":200})"));
  const Outcome o = get("/v3/user/?user_id=abc", {{"Device-Token", ""}, {"Device-Uuid", "uuid-1"}, {"", "x"}});
  ASSERT_TRUE(o.reply);
  EXPECT_TRUE(o.onCallbackQueue);
  const auto r = server_.requests().at(0);
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/v3/user/?user_id=abc");
  EXPECT_EQ(r.header("Content-Type"), "Application/json");
  EXPECT_EQ(r.header("Device-Uuid"), "uuid-1");
  EXPECT_FALSE(r.header("Device-Token"));
  EXPECT_FALSE(r.header("Authorization"));
  ASSERT_TRUE(r.header("User-Agent"));
  EXPECT_EQ(r.header("User-Agent")->rfind("PelkSDK/", 0), 0u);
  EXPECT_TRUE(r.body.empty());
}

TEST_F(TransportTest, BodiesGoOutAsCompactJsonOrUnchangedText) {
  server_.setDefault("/p", ScriptedReply::json(R"({"code":201})"));
  auto& client = APIClient::sharedInstance();
  {
    Awaited<Outcome> out;
    client.postMethod("/p", json{{"a", 1}, {"b", "x"}}, HeaderMap{{"authorization", "token t"}}, success(out),
                      failure(out));
    ASSERT_TRUE(out.get().reply);
  }
  {
    Awaited<Outcome> out;
    client.postLocationMethod("/p", json::array(), std::nullopt, success(out), failure(out));
    ASSERT_TRUE(out.get().reply);
  }
  {
    Awaited<Outcome> out;
    client.postMethodString("/p", "{ \"pretty\" : true }", std::nullopt, success(out), failure(out));
    ASSERT_TRUE(out.get().reply);
  }
  {
    Awaited<Outcome> out;
    client.deleteMethod("/p", json{{"k", "v"}}, std::nullopt, success(out), failure(out));
    ASSERT_TRUE(out.get().reply);
  }
  const auto rs = server_.requests("/p");
  ASSERT_EQ(rs.size(), 4u);
  EXPECT_EQ(rs[0].method, "POST");
  EXPECT_EQ(rs[0].body, R"({"a":1,"b":"x"})");
  EXPECT_EQ(rs[0].header("Authorization"), "token t");
  EXPECT_EQ(rs[1].body, "[]");
  EXPECT_EQ(rs[2].body, "{ \"pretty\" : true }");
  EXPECT_EQ(rs[2].header("Content-Type"), "Application/json");
  EXPECT_EQ(rs[3].method, "DELETE");
  EXPECT_EQ(rs[3].body, R"({"k":"v"})");
}

TEST_F(TransportTest, ReplyBodyDecidesNotTheHttpStatus) {
  struct Case {
    ScriptedReply reply;
    bool success;
  } cases[] = {
      {ScriptedReply::json(R"({"code":401,"msg":"expired"})", 401), true},
      {ScriptedReply::json(R"({"code":200})", 500), true},
      {ScriptedReply::json("", 200), false},
      {ScriptedReply{502, "<html>Bad gateway</html>", "text/html", {}}, false},
      {ScriptedReply::json(R"([{"code":200}])"), false},
      {ScriptedReply::json("5"), false},
      {ScriptedReply::json(R"({"code":200)"), false},
  };
  for (const auto& c : cases) {
    server_.enqueue("/r", c.reply);
    const Outcome o = get("/r");
    EXPECT_EQ(o.reply.has_value(), c.success) << c.reply.body;
    if (!c.success) {
      EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_SERVER) << c.reply.body;
      EXPECT_EQ(o.code, "QB500");
    }
  }
}

TEST_F(TransportTest, UnreachableServerGivesNetworkError) {
  SharedUtil::setDefaultString("http://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort()), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
  const Outcome o = get("/v3/user/");
  EXPECT_FALSE(o.reply);
  EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_NETWORK);
  EXPECT_EQ(o.code, "QB500");
  EXPECT_TRUE(o.onCallbackQueue);
}

TEST_F(TransportTest, InvalidUrlOrUnwritableBodyStillAnswersWithNetworkError) {
  {
    const Outcome o = get("/v3/user/?user_id=has space");
    EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_NETWORK);
    EXPECT_EQ(o.code, "QB500");
    EXPECT_TRUE(o.onCallbackQueue);
  }
  {
    Awaited<Outcome> out;
    APIClient::sharedInstance().postMethod("/p", json{{"bad", std::string("\xff\xfe")}}, std::nullopt, success(out),
                                           failure(out));
    const Outcome o = out.get();
    EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_NETWORK);
    EXPECT_TRUE(o.onCallbackQueue);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(TransportTest, BaseUrlIsChosenAtTheFirstRequestAndKept) {
  server_.setDefault("/a", ScriptedReply::json(R"({"code":200})"));
  ASSERT_TRUE(get("/a").reply);
  SharedUtil::setDefaultString("http://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort()), KUserBaseUrl);
  EXPECT_TRUE(get("/a").reply);
  EXPECT_EQ(server_.requests("/a").size(), 2u);
}

// Requests sent from several threads at once: each is answered exactly once,
// and with its own reply.
TEST_F(TransportTest, ConcurrentRequestsEachAnswerOnce) {
  server_.setHandler([](const RecordedRequest& r) {
    return ScriptedReply::json(json{{"code", 200}, {"target", r.target}}.dump());
  });
  constexpr int kThreads = 4;
  constexpr int kPerThread = 6;
  constexpr int kRequests = kThreads * kPerThread;
  std::mutex mutex;
  std::map<int, std::vector<std::string>> answers;  // request number -> what its handlers got
  Awaited<bool> all;
  auto record = [&](int n, std::string got) {
    std::lock_guard lock(mutex);
    answers[n].push_back(std::move(got));
    if (answers.size() == static_cast<std::size_t>(kRequests)) all.set(true);
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int k = 0; k < kPerThread; ++k) {
        const int n = t * kPerThread + k;
        APIClient::sharedInstance().getMethod(
            "/c?n=" + std::to_string(n), {}, [&, n](const json& reply) { record(n, reply.value("target", "?")); },
            [&, n](auto message, auto) { record(n, "failure: " + message.value_or("")); });
      }
    });
  }
  for (auto& sender : senders) sender.join();
  ASSERT_TRUE(all.get());
  // A second answer to any request would be queued behind the answers so far.
  platform::HttpSession::shared().callbackQueue().sync([] {});
  std::lock_guard lock(mutex);
  ASSERT_EQ(answers.size(), static_cast<std::size_t>(kRequests));
  for (const auto& [n, got] : answers) {
    EXPECT_EQ(got, std::vector<std::string>{"/c?n=" + std::to_string(n)}) << "request " << n;
  }
  EXPECT_EQ(server_.requests("/c").size(), static_cast<std::size_t>(kRequests));
}

// A header value with a line break would end the header early and smuggle in
// headers of the sender's choosing.
TEST_F(TransportTest, HeaderWithLineBreakOrNulIsANetworkErrorAndNothingIsSent) {
  for (const std::string& value :
       {std::string("abc\r\nX-Injected: evil"), std::string("abc\nX: y"), std::string("abc\0X", 5)}) {
    const Outcome o = get("/v3/user/", {{"Device-Token", value}, {"Device-Uuid", "uuid-1"}});
    EXPECT_FALSE(o.reply);
    EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_NETWORK);
    EXPECT_EQ(o.code, "QB500");
    EXPECT_TRUE(o.onCallbackQueue);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(TransportTest, ReplyNestedTooDeeplyIsAServerError) {
  auto nested = [](int depth) {
    return R"({"code":200,"msg":"ok","data":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
  };
  struct Case {
    int depth;  // of the "data" value; the reply object adds one level
    bool accepted;
  } cases[] = {{APIClient::kMaxReplyDepth - 1, true}, {APIClient::kMaxReplyDepth, false}, {100000, false}};
  for (const auto& c : cases) {
    server_.enqueue("/deep", ScriptedReply::json(nested(c.depth)));
    const Outcome o = get("/deep");
    EXPECT_EQ(o.reply.has_value(), c.accepted) << c.depth;
    if (!c.accepted) {
      EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_SERVER) << c.depth;
      EXPECT_EQ(o.code, "QB500");
    }
  }
  // Brackets inside a text are no nesting.
  server_.enqueue("/deep", ScriptedReply::json(R"({"code":200,"msg":")" + std::string(1000, '[') + R"(\""})"));
  EXPECT_TRUE(get("/deep").reply);

  // Through the reply scheme, with logging off, as in the field.
  server_.setDefault(kUserPath, ScriptedReply::json(nested(100000)));
  Awaited<UserOutcome> out;
  client_.getEventsStatus([&](auto user, auto error) { out.set({user, error}); });
  const UserOutcome o = out.get();
  EXPECT_FALSE(o.user);
  EXPECT_EQ(o.error, PelkError("QB500", "Server error"));
}

// The server reads the second request on a kept-alive connection and drops
// the connection without a reply; later connections are answered.
TEST_F(TransportTest, PostOrDeleteOnADroppedConnectionIsANetworkErrorAndSentOnce) {
  for (const std::string method : {"POST", "DELETE"}) {
    SocketTestServer dropping([](SocketTestServer::Connection& connection, int index) {
      if (!connection.readRequest()) return;
      connection.write(SocketTestServer::reply(200, R"({"code":200})"));
      if (index == 0) connection.readRequest();
    });
    SharedUtil::setDefaultString(dropping.baseUrl(), KUserBaseUrl);
    APIClient::resetBaseUrlForTesting();
    ASSERT_TRUE(get("/warm").reply);
    Awaited<Outcome> out;
    if (method == "POST") {
      APIClient::sharedInstance().postMethod("/act", json{{"trip_pause", true}}, std::nullopt, success(out),
                                             failure(out));
    } else {
      APIClient::sharedInstance().deleteMethod("/act", json{{"id", 1}}, std::nullopt, success(out), failure(out));
    }
    const Outcome o = out.get();
    EXPECT_FALSE(o.reply) << method;
    EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_NETWORK) << method;
    EXPECT_EQ(o.code, "QB500");
    std::size_t sent = 0;
    for (const auto& r : dropping.requests()) sent += r.path == "/act" ? 1 : 0;
    EXPECT_EQ(sent, 1u) << method;
  }
}

TEST_F(TransportTest, TricklingReplyEndsAtTheRequestDeadline) {
  EXPECT_EQ(APIClient::requestDeadline(), std::chrono::minutes(5));
  SocketTestServer trickling([](SocketTestServer::Connection& connection, int) {
    if (!connection.readRequest()) return;
    connection.write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{");
    while (!connection.waitForStop(std::chrono::milliseconds(300))) {
      if (!connection.write(" ")) return;
    }
  });
  SharedUtil::setDefaultString(trickling.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
  APIClient::setRequestDeadlineForTesting(std::chrono::seconds(1));
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = get("/slow");
  const auto waited = std::chrono::steady_clock::now() - start;
  APIClient::setRequestDeadlineForTesting(std::nullopt);
  EXPECT_EQ(o.message, VuvivaZuvovo::ERROR_NETWORK);
  EXPECT_EQ(o.code, "QB500");
  EXPECT_LT(waited, std::chrono::seconds(8));
}

}  // namespace
}  // namespace pelk::test
