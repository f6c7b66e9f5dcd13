#include <gtest/gtest.h>

#include "NetworkFixture.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/PelkAPIClient.h"
#include "platform/Console.h"

namespace pelk::test {
namespace {

using nlohmann::json;

class UserEndpointsTest : public RestTest {
 protected:
  UserEndpointsTest() { SharedUtil::setDefaultString("tok", kSDKToken); }

  template <class Op>
  UserOutcome call(Op op) {
    Awaited<UserOutcome> out;
    op([&](std::shared_ptr<PelkUser> u, std::optional<PelkError> e) { out.set({u, e}); });
    return out.get();
  }
};

TEST_F(UserEndpointsTest, CreateUserSavesUserStoresIdAndConnects) {
  for (int code : {200, 201}) {
    SharedUtil::removeKey(kUserId);
    server_.enqueue(kUserPath, ScriptedReply::json(userReply(code, "user-" + std::to_string(code))));
    const UserOutcome o = call([&](auto h) { client_.createUser("my phone", h); });
    ASSERT_TRUE(o.user) << code;
    EXPECT_FALSE(o.error);
    EXPECT_EQ(o.user->userId(), "user-" + std::to_string(code));
    EXPECT_EQ(TokenManager::getUserId(), "user-" + std::to_string(code));
    EXPECT_EQ(TokenManager::getAccountId(), "acc-1");
    EXPECT_TRUE(TokenManager::getGeofenceEvents());
  }
  EXPECT_EQ(hooks_.calls(), (std::vector<std::string>{"mqttConnect", "mqttConnect"}));
  const auto r = server_.requests(kUserPath).at(0);
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.header("Authorization"), "token tok");
  const json body = parse(r.body);
  EXPECT_EQ(body.at("description"), "my phone");
  EXPECT_TRUE(body.contains("device_uuid"));
}

TEST_F(UserEndpointsTest, SuccessWithoutUsableDataIsAServerErrorAndChangesNothing) {
  // The last one lacks nothing the user needs but "app_id", which saving needs.
  json noAppId = json::parse(userReply(200));
  noAppId["data"].erase("app_id");
  const std::string bodies[] = {
      R"({"code":200,"msg":"ok"})",
      R"({"code":201,"data":[]})",
      R"({"code":200,"data":{"user_id":"u"}})",
      noAppId.dump(),
  };

  for (const std::string& body : bodies) {
    for (int op = 0; op < 3; ++op) {
      server_.enqueue(kUserPath, ScriptedReply::json(body));
      const UserOutcome o = call([&](auto h) {
        if (op == 0) client_.createUser("d", h);
        if (op == 1) client_.getUser("u", h);
        if (op == 2) client_.toggleEvents(json{{"user_id", "u"}}, h);
      });
      EXPECT_FALSE(o.user) << body;
      ASSERT_TRUE(o.error) << body;
      EXPECT_EQ(*o.error, PelkError("QB500", "Server error")) << body;
    }
  }
  EXPECT_TRUE(TokenManager::getUserId().empty());
  EXPECT_TRUE(TokenManager::getAppId().empty());
  EXPECT_TRUE(hooks_.calls().empty());
}

TEST_F(UserEndpointsTest, GetUserSendsCleanEncodedIdAndConnects) {
  server_.enqueue(kUserPath, ScriptedReply::json(userReply(200, "a b")));
  const UserOutcome o = call([&](auto h) { client_.getUser("a b&x=1", h); });
  ASSERT_TRUE(o.user);
  const auto r = server_.requests(kUserPath).at(0);
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target.rfind("/v3/user/?user_id=ab%26x%3D1", 0), 0u) << r.target;
  EXPECT_EQ(hooks_.calls(), (std::vector<std::string>{"mqttConnect"}));
  EXPECT_EQ(TokenManager::getUserId(), "a b");  // stored from the reply's data, not from the argument
}

TEST_F(UserEndpointsTest, EventsStatusHandsOverUserAndStoresNothing) {
  SharedUtil::setDefaultString("me/1", kUserId);
  server_.enqueue(kUserPath, ScriptedReply::json(userReply(200, "me/1")));
  const UserOutcome o = call([&](auto h) { client_.getEventsStatus(h); });
  ASSERT_TRUE(o.user);
  EXPECT_TRUE(o.user->geofenceEvents());
  EXPECT_FALSE(TokenManager::getGeofenceEvents());
  EXPECT_TRUE(hooks_.calls().empty());
  EXPECT_EQ(server_.requests(kUserPath).at(0).target, "/v3/user/?user_id=me%2F1");
}

TEST_F(UserEndpointsTest, ToggleEventsStoresSwitchesWithoutMqtt) {
  const json dict = {{"user_id", "u-1"}, {"geofence_events", true}};
  server_.enqueue(kUserPath, ScriptedReply::json(userReply(200)));
  const UserOutcome o = call([&](auto h) { client_.toggleEvents(dict, h); });
  ASSERT_TRUE(o.user);
  EXPECT_TRUE(TokenManager::getLocationListener());
  EXPECT_TRUE(hooks_.calls().empty());
  EXPECT_EQ(parse(server_.requests(kUserPath).at(0).body), dict);
}

TEST_F(UserEndpointsTest, LogoutResetsSettingsStopsTrackingThenAnswers) {
  SharedUtil::setDefaultString("pk", kPublishKey);
  SharedUtil::setDefaultString("dev", kDeviceToken);
  SharedUtil::setDefaultString("u-9", kUserId);
  SharedUtil::setDefaultBoolean(true, kSetDeviceToken);
  server_.enqueue("/v3/user/logout/", ScriptedReply::json(R"({"code":200,"msg":"bye"})"));
  Awaited<std::pair<std::optional<std::string>, std::optional<PelkError>>> out;
  client_.logoutUser([&](auto msg, auto err) { out.set({msg, err}); });
  const auto [msg, err] = out.get();
  EXPECT_EQ(msg, "bye");
  EXPECT_FALSE(err);
  EXPECT_EQ(parse(server_.requests("/v3/user/logout/").at(0).body), (json{{"user_id", "u-9"}}));
  const auto remaining = SharedUtil::userDefaultValue()->dictionaryRepresentation();
  ASSERT_EQ(remaining.size(), 2u);
  EXPECT_TRUE(remaining.count(kPublishKey) && remaining.count(kDeviceToken));
  EXPECT_EQ(hooks_.calls(), (std::vector<std::string>{"stopTracking", "mqttDisconnect"}));
}

TEST_F(UserEndpointsTest, FailedLogoutResetsNothing) {
  SharedUtil::setDefaultString("u-9", kUserId);
  server_.enqueue("/v3/user/logout/", ScriptedReply::json(R"({"code":500,"msg":"no","error":{"ErrorCode":"X"}})"));
  Awaited<std::optional<PelkError>> out;
  client_.logoutUser([&](auto, auto err) { out.set(err); });
  EXPECT_EQ(out.get(), PelkError("X", "no"));
  EXPECT_EQ(TokenManager::getUserId(), "u-9");
  EXPECT_TRUE(hooks_.calls().empty());
}

TEST_F(UserEndpointsTest, DeviceTokenIsMarkedOnlyWhenAccepted) {
  server_.enqueue(kUserPath, ScriptedReply::json(R"({"code":400,"msg":"no"})"));
  client_.setDeviceToken("ab01");
  settle();
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kSetDeviceToken));

  server_.enqueue(kUserPath, ScriptedReply::json(R"({"code":201})"));
  client_.setDeviceToken("ab01");
  settle();
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kSetDeviceToken));
  const json body = parse(server_.requests(kUserPath).at(1).body);
  EXPECT_EQ(body.at("Device-Token"), "ab01");
  EXPECT_EQ(body.at("Authorization"), "token tok");
  EXPECT_TRUE(body.contains("device_uuid"));
}

TEST_F(UserEndpointsTest, DescriptionSuccessIsPrinted) {
  platform::Console::Capture console;
  server_.enqueue(kUserPath, ScriptedReply::json(R"({"code":200})"));
  client_.setUserDescription("new");
  settle();
  EXPECT_TRUE(console.contains(VuvivaZuvovo::SUCCESS));
  EXPECT_EQ(parse(server_.requests(kUserPath).at(0).body).at("description"), "new");
}

TEST_F(UserEndpointsTest, NotificationOpenedRepeatsOnlyAfterRenewedToken) {
  const std::string path = "/v3/user/ctr/";
  server_.enqueue(path, ScriptedReply::json(R"({"code":401})"));
  server_.enqueue(kTokenPath, ScriptedReply::json(R"({"code":200,"data":{"sdk_token":"new"}})"));
  server_.enqueue(path, ScriptedReply::json(R"({"code":500})"));
  client_.notificationOpenedHandler("c 1");
  settle();
  const auto rs = server_.requests(path);
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].target, "/v3/user/ctr/?campaign_log_id=c%201");
  EXPECT_EQ(rs[1].header("Authorization"), "token new");
  EXPECT_TRUE(hooks_.calls().empty());
}

TEST_F(UserEndpointsTest, AbsentHandlersStillCompleteTheEffects) {
  server_.enqueue(kUserPath, ScriptedReply::json(userReply(201)));
  client_.createUser("d", nullptr);
  settle();
  EXPECT_EQ(TokenManager::getUserId(), "u-1");
  EXPECT_EQ(hooks_.calls(), (std::vector<std::string>{"mqttConnect"}));
}

}  // namespace
}  // namespace pelk::test
