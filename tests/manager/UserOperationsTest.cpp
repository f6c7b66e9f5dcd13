#include "ManagerFixture.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;

class UserOperationsTest : public ManagerTest {
 protected:
  static std::string userReply(const std::string& id) {
    return json{{"code", 200},
                {"msg", "ok"},
                {"data",
                 {{"user_id", id},
                  {"app_id", "app-9"},
                  {"geofence_events", true},
                  {"location_events", false},
                  {"nearby_events", true},
                  {"trips_events", false},
                  {"location_listener", true},
                  {"event_listener", false},
                  {"account_id", "acc-1"},
                  {"project_id", "prj-1"}}}}
        .dump();
  }
};

auto create(const std::string& d) {
  return [d](auto done) { Pelk::createUser(d, [done](auto, std::optional<PelkError> e) { done(e); }); };
}
auto get(const std::string& id) {
  return [id](auto done) { Pelk::getUser(id, [done](auto, std::optional<PelkError> e) { done(e); }); };
}
auto logout() {
  return [](auto done) { Pelk::logoutUser([done](auto, std::optional<PelkError> e) { done(e); }); };
}

TEST_F(UserOperationsTest, GuardsAnswerBeforeAnyRequest) {
  struct Case {
    const char* name;
    bool online, token, key, user;
    std::function<void(std::function<void(std::optional<PelkError>)>)> op;
    PelkError error;
  };
  const PelkError network("QB500", "Network error"), notFound("QB402", "Data not found"),
      noUser("QB402", "User not created");
  const std::vector<Case> cases = {
      {"create offline", false, true, true, true, create("d"), network},
      {"create without token or key", true, false, false, false, create("d"), notFound},
      {"get empty id before token check", true, false, false, false, get(""), notFound},
      {"get offline", false, true, true, true, get("u1"), network},
      {"logout without user, token missing", true, false, true, false, logout(), noUser},
      {"logout offline", false, true, true, true, logout(), network},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    setOnline(c.online);
    if (c.token) TokenManager::setSdkToken("tok");
    if (c.key) TokenManager::setPublishKey("pk");
    if (c.user) TokenManager::setUserId("u1");
    EXPECT_EQ(errorOf(c.op), c.error);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(UserOperationsTest, MissingTokenIsFetchedOnceThenTheOperationRuns) {
  TokenManager::setPublishKey("pk");
  server_.enqueue("/v3/user/token/",
                  ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}, {"data", {{"sdk_token", "tok-1"}}}}.dump()));
  server_.setDefault("/v3/user/", ScriptedReply::json(userReply("u-9")));
  EXPECT_EQ(errorOf(create("runner")), std::nullopt);
  EXPECT_EQ(server_.requests("/v3/user/token/").size(), 1u);
  EXPECT_EQ(server_.requests("/v3/user/").size(), 1u);
  EXPECT_EQ(TokenManager::getUserId(), "u-9");
}

TEST_F(UserOperationsTest, RefusedTokenReportsTheKeyError) {
  TokenManager::setPublishKey("pk");
  server_.setDefault("/v3/user/token/", ScriptedReply::json(json{{"code", 401}, {"msg", "no"}}.dump()));
  EXPECT_EQ(errorOf(get("u1")), PelkError("QB402", "Error publishable_key or package_name is wrong"));
  EXPECT_TRUE(server_.requests("/v3/user/").empty());
}

TEST_F(UserOperationsTest, DescriptionGuardsPrintTheirLines) {
  platform::Console::Capture console;
  Pelk::setDescription("");
  Pelk::setDescription("d");
  setOnline(false);
  Pelk::setDescription("d");
  EXPECT_EQ(console.lines(), (std::vector<std::string>{"QB402User not created", "QB500      Network error"}));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(UserOperationsTest, DeviceTokenIsStoredAsHexAndSentOnlyWithAUserOnce) {
  Pelk::setDeviceToken({0x0A, 0xFF});
  EXPECT_EQ(TokenManager::getDeviceToken(), "0aff");
  EXPECT_TRUE(server_.requests().empty());
  storeUser();
  server_.setDefault("/v3/user/", ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}}.dump()));
  Pelk::setDeviceToken({0x01});
  ASSERT_TRUE(waitFor([&] { return SharedUtil::getDefaultBoolean(kSetDeviceToken); }));
  Pelk::setDeviceToken({0x02});
  EXPECT_EQ(TokenManager::getDeviceToken(), "02");
  EXPECT_EQ(server_.requests("/v3/user/").size(), 1u);
}

}  // namespace
}  // namespace pelk::test
