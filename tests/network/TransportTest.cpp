#include <gtest/gtest.h>

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

TEST_F(TransportTest, ConcurrentRequestsEachAnswerOnce) {
  server_.setDefault("/c", ScriptedReply::json(R"({"code":200})"));
  constexpr int kRequests = 16;
  std::atomic<int> answers{0};
  Awaited<bool> all;
  for (int i = 0; i < kRequests; ++i) {
    APIClient::sharedInstance().getMethod(
        "/c", {},
        [&](const json&) {
          if (++answers == kRequests) all.set(true);
        },
        [&](auto, auto) {
          if (++answers == kRequests) all.set(true);
        });
  }
  EXPECT_TRUE(all.get());
  EXPECT_EQ(server_.requests("/c").size(), static_cast<std::size_t>(kRequests));
}

}  // namespace
}  // namespace pelk::test
