#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "NetworkFixture.h"
#include "foundation/LoggerManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/PelkAPIClient.h"
#include "platform/AppInfo.h"
#include "platform/Console.h"
#include "support/TestEnvironment.h"

namespace pelk::test {
namespace {

using nlohmann::json;

class TokenTest : public RestTest {
 protected:
  TokenTest() { platform::AppInfo::setBundleId("org.example.host"); }
  ~TokenTest() override { platform::AppInfo::setBundleId(std::nullopt); }

  bool requestToken(const std::string& key = "pk_live") {
    Awaited<bool> done;
    client_.oAuthTokenGeneration(key, [&](bool granted) { done.set(granted); });
    return done.get();
  }

  UserOutcome createUser() {
    Awaited<UserOutcome> out;
    client_.createUser("desc", [&](std::shared_ptr<PelkUser> u, std::optional<PelkError> e) { out.set({u, e}); });
    auto o = out.get();
    EXPECT_EQ(out.extraCalls(), 0);
    return o;
  }

  static std::string tokenReply(const std::string& token) {
    return json{{"code", 200}, {"msg", "granted"}, {"data", {{"sdk_token", token}}}}.dump();
  }
};

TEST_F(TokenTest, GrantedTokenIsStoredAndRequestCarriesOnlyKeyAndBundle) {
  server_.enqueue(kTokenPath, ScriptedReply::json(tokenReply("tok-1")));
  EXPECT_TRUE(requestToken("pk_live"));
  EXPECT_EQ(TokenManager::getSDKToken(), "tok-1");
  EXPECT_TRUE(hooks_.calls().empty());

  const auto r = server_.requests(kTokenPath).at(0);
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(parse(r.body), (json{{"publish_key", "pk_live"}, {"bundle_id", "org.example.host"}}));
  EXPECT_FALSE(r.header("Authorization"));
  EXPECT_EQ(r.header("Content-Type"), "Application/json");
  EXPECT_TRUE(r.header("User-Agent"));
}

TEST_F(TokenTest, GrantAfterRefusalRestartsTrackingAndMqttAndClearsSwitch) {
  SharedUtil::setDefaultBoolean(true, kLimitExceedMessage);
  server_.enqueue(kTokenPath, ScriptedReply::json(tokenReply("tok-2")));
  EXPECT_TRUE(requestToken());
  EXPECT_EQ(hooks_.calls(), (std::vector<std::string>{"startTracking", "mqttConnect"}));
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLimitExceedMessage));
}

TEST_F(TokenTest, RefusalSetsSwitchStopsTrackingAndKeepsOldToken) {
  for (int code : {400, 401}) {
    SharedUtil::setDefaultString("old", kSDKToken);
    SharedUtil::removeKey(kLimitExceedMessage);
    server_.enqueue(kTokenPath, ScriptedReply::json(json{{"code", code}, {"msg", "refused"}}.dump(), code));
    EXPECT_FALSE(requestToken()) << code;
    EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLimitExceedMessage));
    EXPECT_EQ(TokenManager::getSDKToken(), "old");
  }
  EXPECT_EQ(hooks_.calls(),
            (std::vector<std::string>{"mqttDisconnect", "stopTracking", "mqttDisconnect", "stopTracking"}));
}

TEST_F(TokenTest, GrantWithoutTokenChangesNothing) {
  SharedUtil::setDefaultString("old", kSDKToken);
  SharedUtil::setDefaultBoolean(true, kLimitExceedMessage);
  for (const std::string body :
       {R"({"code":200})", R"({"code":200,"data":{"sdk_token":""}})", R"({"code":200,"data":{"sdk_token":17}})"}) {
    server_.enqueue(kTokenPath, ScriptedReply::json(body));
    EXPECT_FALSE(requestToken()) << body;
  }
  EXPECT_EQ(TokenManager::getSDKToken(), "old");
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLimitExceedMessage));
  EXPECT_TRUE(hooks_.calls().empty());
}

TEST_F(TokenTest, OtherCodesReachTheDelegateAndPrintTheMessage) {
  struct Case {
    std::string body;
    std::string delegateCall;
    std::string printed;
  } cases[] = {
      {R"({"code":201,"msg":"odd","error":{"ErrorCode":"QB412"}})", "didFail:QB412:odd", R"(Optional("odd"))"},
      {R"({"code":500})", "didFail:QB500:Server error", "nil"},
      {R"({"msg":"no code","error":{}})", "didFail:QB500:no code", R"(Optional("no code"))"},
  };
  for (const auto& c : cases) {
    platform::Console::Capture console;
    server_.enqueue(kTokenPath, ScriptedReply::json(c.body));
    EXPECT_FALSE(requestToken());
    ASSERT_FALSE(hooks_.calls().empty());
    EXPECT_EQ(hooks_.calls().back(), c.delegateCall);
    EXPECT_TRUE(console.contains(c.printed)) << c.body;
  }
  EXPECT_TRUE(TokenManager::getSDKToken().empty());
}

TEST_F(TokenTest, TransportFailureOrGarbageCompletesFalse) {
  server_.enqueue(kTokenPath, ScriptedReply{200, "<html/>", "text/html", {}});
  EXPECT_FALSE(requestToken());
  server_.stop();
  EXPECT_FALSE(requestToken());
  EXPECT_TRUE(hooks_.calls().empty());
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLimitExceedMessage));
}

TEST_F(TokenTest, ReplyIsLoggedWhileLoggingIsOn) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  server_.enqueue(kTokenPath, ScriptedReply::json(tokenReply("t")));
  EXPECT_TRUE(requestToken());
  server_.enqueue(kTokenPath, ScriptedReply::json(R"({"code":401})"));
  EXPECT_FALSE(requestToken());
  const std::string log = readFile(LoggerManager::fileUrl());
  EXPECT_NE(log.find("TokenGeneration Optional(\"granted\")"), std::string::npos) << log;
  EXPECT_NE(log.find("TokenGeneration nil"), std::string::npos) << log;
}

TEST_F(TokenTest, Unauthorized401RenewsTokenWithStoredKeyAndRepeatsOnce) {
  SharedUtil::setDefaultString("pk_stored", kPublishKey);
  SharedUtil::setDefaultString("stale", kSDKToken);
  server_.enqueue(kUserPath, ScriptedReply::json(R"({"code":401,"msg":"expired"})", 401));
  server_.enqueue(kTokenPath, ScriptedReply::json(tokenReply("fresh")));
  server_.enqueue(kUserPath, ScriptedReply::json(userReply(201)));

  const UserOutcome o = createUser();
  ASSERT_TRUE(o.user) << (o.error ? o.error->message() : "");
  EXPECT_EQ(o.user->userId(), "u-1");

  const auto users = server_.requests(kUserPath);
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].header("Authorization"), "token stale");
  EXPECT_EQ(users[1].header("Authorization"), "token fresh");
  EXPECT_EQ(users[0].body, users[1].body);
  EXPECT_EQ(parse(server_.requests(kTokenPath).at(0).body).at("publish_key"), "pk_stored");
}

TEST_F(TokenTest, RenewalCycleStopsAfterThreeRoundsWithTheLastError) {
  int userRequests = 0;
  server_.setHandler([&](const RecordedRequest& r) {
    if (r.path == kTokenPath) return ScriptedReply::json(tokenReply("t"));
    ++userRequests;
    return ScriptedReply::json(
        json{{"code", 401}, {"msg", "round " + std::to_string(userRequests)}, {"error", {{"ErrorCode", "E401"}}}}
            .dump());
  });
  const UserOutcome o = createUser();
  EXPECT_FALSE(o.user);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, PelkError("E401", "round 4"));
  EXPECT_EQ(server_.requests(kTokenPath).size(), 3u);
  EXPECT_EQ(server_.requests(kUserPath).size(), 4u);
}

TEST_F(TokenTest, RefusedRenewalReportsThe401Error) {
  server_.enqueue(kUserPath, ScriptedReply::json(R"({"code":401,"msg":"expired","error":{"ErrorCode":"A1"}})"));
  server_.enqueue(kTokenPath, ScriptedReply::json(R"({"code":401,"msg":"bad key"})"));
  const UserOutcome o = createUser();
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, PelkError("A1", "expired"));
  EXPECT_EQ(hooks_.calls(), (std::vector<std::string>{"mqttDisconnect", "stopTracking"}));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLimitExceedMessage));
  EXPECT_EQ(server_.requests(kUserPath).size(), 1u);
}

TEST_F(TokenTest, FailureRepliesFillOnlyTheMissingParts) {
  struct Case {
    std::string body;
    PelkError expected;
  } cases[] = {
      {R"({"code":500,"msg":"m","error":{"ErrorCode":"c"}})", PelkError("c", "m")},
      {R"({"code":404,"msg":"gone"})", PelkError("QB500", "gone")},
      {R"({"code":403,"error":{"ErrorCode":"QB402"}})", PelkError("QB402", "Server error")},
      {R"({"status":false})", PelkError("QB500", "Server error")},
  };
  for (const auto& c : cases) {
    server_.enqueue(kUserPath, ScriptedReply::json(c.body));
    const UserOutcome o = createUser();
    ASSERT_TRUE(o.error) << c.body;
    EXPECT_EQ(*o.error, c.expected) << c.body;
    EXPECT_FALSE(o.user);
  }
}

TEST_F(TokenTest, TransportFailuresReachTheHandler) {
  server_.enqueue(kUserPath, ScriptedReply{200, "not json", "text/plain", {}});
  UserOutcome o = createUser();
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, PelkError("QB500", "Server error"));
  server_.stop();
  o = createUser();
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, PelkError("QB500", "Network error"));
}

TEST_F(TokenTest, TokenWithLineBreakOrNulIsAFailedReply) {
  SharedUtil::setDefaultString("old", kSDKToken);
  for (const std::string& token : {std::string("abc\r\nX-Injected: evil"), std::string("abc\nX"), std::string("abc\rX"),
                                   std::string("abc\0X", 5)}) {
    server_.enqueue(kTokenPath, ScriptedReply::json(tokenReply(token)));
    EXPECT_FALSE(requestToken());
    EXPECT_EQ(TokenManager::getSDKToken(), "old");
  }
  EXPECT_TRUE(hooks_.calls().empty());
}

// A server that honours only the token it granted last.  Eight requests meet
// a 401 at once (the server holds the first replies until all eight arrived):
// one renewal serves them all, and every request succeeds with its token.
TEST_F(TokenTest, ConcurrentUnauthorizedRequestsShareOneRenewal) {
  constexpr int kRequests = 8;
  SharedUtil::setDefaultString("stale", kSDKToken);
  SharedUtil::setDefaultString("u-1", kUserId);
  struct ServerState {
    std::mutex mutex;
    std::condition_variable cv;
    int granted = 0;
    int staleArrived = 0;
  };
  auto state = std::make_shared<ServerState>();
  server_.setHandler([state](const RecordedRequest& r) {
    std::unique_lock lock(state->mutex);
    if (r.path == kTokenPath) return ScriptedReply::json(tokenReply("t" + std::to_string(++state->granted)));
    if (r.header("Authorization") == "token t" + std::to_string(state->granted)) {
      return ScriptedReply::json(userReply(200));
    }
    if (r.header("Authorization") == "token stale") {
      ++state->staleArrived;
      state->cv.notify_all();
      state->cv.wait_for(lock, std::chrono::seconds(5), [&] { return state->staleArrived >= kRequests; });
    }
    return ScriptedReply::json(R"({"code":401,"msg":"expired"})");
  });
  std::vector<Awaited<UserOutcome>> outcomes(kRequests);
  for (auto& out : outcomes) {
    client_.getEventsStatus([&out](auto user, auto error) { out.set({user, error}); });
  }
  for (auto& out : outcomes) {
    const UserOutcome o = out.get();
    EXPECT_TRUE(o.user) << (o.error ? o.error->message() : "");
    EXPECT_EQ(out.extraCalls(), 0);
  }
  settle();
  EXPECT_EQ(server_.requests(kTokenPath).size(), 1u);
  EXPECT_EQ(server_.requests(kUserPath).size(), 2u * kRequests);
  EXPECT_EQ(TokenManager::getSDKToken(), "t1");
}

}  // namespace
}  // namespace pelk::test
