#include <gtest/gtest.h>

#include "NetworkFixture.h"
#include "foundation/DateExtensions.h"
#include "foundation/LoggerManager.h"
#include "foundation/StringExtensions.h"
#include "network/PelkAPIClient.h"
#include "platform/Clock.h"
#include "support/TestEnvironment.h"

namespace pelk::test {
namespace {

using nlohmann::json;

class LocationEndpointsTest : public RestTest {
 protected:
  LocationEndpointsTest() { SharedUtil::setDefaultString("tok", kSDKToken); }

  std::string update(const json& list) {
    Awaited<std::string> out;
    client_.updateLocation(list, [&](std::string text) { out.set(text); });
    return out.get();
  }

  std::pair<std::optional<std::string>, std::optional<PelkError>> publish() {
    Awaited<std::pair<std::optional<std::string>, std::optional<PelkError>>> out;
    client_.locationPublisher([&](auto text, auto error) { out.set({text, error}); });
    return out.get();
  }
};

TEST_F(LocationEndpointsTest, UpdateLocationHandsOverTheReplyText) {
  struct Case {
    ScriptedReply reply;
    std::string text;
  } cases[] = {
      {ScriptedReply::json(R"({"code":200,"msg":"location recorded successfully."})"), kLocationUpdateSucess},
      {ScriptedReply::json(R"({"code":400,"msg":"bad record"})"), "bad record"},
      {ScriptedReply::json(R"({"code":500})"), "Server error"},
      {ScriptedReply::json(R"({"code":200})"), ""},
      {ScriptedReply{200, "<html/>", "text/html", {}}, "Server error"},
  };
  for (const auto& c : cases) {
    server_.enqueue("/v3/location/", c.reply);
    EXPECT_EQ(update(json::array()), c.text) << c.reply.body;
  }
  const auto r = server_.requests("/v3/location/").at(0);
  EXPECT_EQ(r.body, "[]");
  EXPECT_EQ(r.header("Authorization"), "token tok");

  server_.stop();
  EXPECT_EQ(update(json::array({{{"lat", 1.5}}})), "Network error");
}

TEST_F(LocationEndpointsTest, UpdateLocationLogsRequestAndReply) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  server_.enqueue("/v3/location/", ScriptedReply::json(R"({"code":200,"msg":"ok"})"));
  EXPECT_EQ(update(json::array({{{"id", "p1"}}})), "ok");
  const std::string log = readFile(LoggerManager::fileUrl());
  EXPECT_NE(log.find(R"(Update location [{"id":"p1"}])"), std::string::npos) << log;
  EXPECT_NE(log.find(R"(Update location Response {"code":200,"msg":"ok"})"), std::string::npos) << log;
}

TEST_F(LocationEndpointsTest, LocationCountFailuresGiveEmptyTextAndError) {
  server_.enqueue("/v3/location/update/", ScriptedReply::json(R"({"code":400,"msg":"m","error":{"ErrorCode":"c"}})"));
  auto [text, error] = publish();
  EXPECT_EQ(text, "");
  EXPECT_EQ(error, PelkError("c", "m"));

  server_.enqueue("/v3/location/update/",
                  ScriptedReply::json(R"({"code":201,"msg":"location count recorded successfully."})"));
  std::tie(text, error) = publish();
  EXPECT_EQ(text, kLocationCount);
  EXPECT_FALSE(error);

  server_.stop();
  std::tie(text, error) = publish();
  EXPECT_EQ(text, "");
  EXPECT_EQ(error, PelkError("QB500", "Network error"));
}

TEST_F(LocationEndpointsTest, LocationCountRepeatAfterRenewalBuildsBodyAgain) {
  SharedUtil::setDefaultString("u-1", kUserId);
  // Virtual time moves on only while the token is being renewed, so the
  // repeat's "ended_at" is later than the first request's exactly when the
  // body is built again.
  platform::Clock::useVirtual(platform::Clock::fromSecondsSince1970(1700000000));
  auto counts = std::make_shared<std::atomic<int>>(0);
  server_.setHandler([counts](const RecordedRequest& r) {
    if (r.path == "/v3/user/token/") {
      platform::Clock::advance(std::chrono::seconds(7));
      return ScriptedReply::json(R"({"code":200,"data":{"sdk_token":"t2"}})");
    }
    return ScriptedReply::json(++*counts == 1 ? R"({"code":401})" : R"({"code":200,"msg":"done"})");
  });
  const auto [text, error] = publish();
  platform::Clock::useSystem();
  EXPECT_EQ(text, "done");
  const auto rs = server_.requests("/v3/location/update/");
  ASSERT_EQ(rs.size(), 2u);
  const json first = parse(rs[0].body), second = parse(rs[1].body);
  EXPECT_EQ(first.at("type"), "location_tracker");
  EXPECT_EQ(first.at("user_id"), "u-1");
  const auto t1 = getDate(first.at("ended_at").get<std::string>());
  const auto t2 = getDate(second.at("ended_at").get<std::string>());
  ASSERT_TRUE(t1 && t2);
  EXPECT_EQ(*t2 - *t1, std::chrono::seconds(7));
  EXPECT_EQ(rs[1].header("Authorization"), "token t2");
}

}  // namespace
}  // namespace pelk::test
