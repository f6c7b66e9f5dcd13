#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "network/Endpoints.h"
#include "network/ServerResponse.h"
#include "pelk_build_config.h"
#include "support/KitFixture.h"

namespace pelk {
namespace {

using nlohmann::json;

class BaseUrlTest : public test::SettingsTest {};

TEST_F(BaseUrlTest, StoredBaseUrlDecidesHostAndEnvironment) {
  const std::string test = pelk::build::kTestBaseUrl;
  const std::string prod = pelk::build::kProductionBaseUrl;
  struct Case {
    std::optional<std::string> stored;
    std::string expected;
    bool testEnvironment;
  } cases[] = {
      {std::nullopt, prod, false},
      {"", prod, false},
      {test, test, true},
      {test + "/", test + "/", false},  // not character-for-character the test URL
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080", false},
  };
  for (const auto& c : cases) {
    if (c.stored) {
      SharedUtil::setDefaultString(*c.stored, KUserBaseUrl);
    } else {
      SharedUtil::removeKey(KUserBaseUrl);
    }
    EXPECT_EQ(GetBaseUrl::getBaseUr(), c.expected);
    EXPECT_EQ(GetBaseUrl::isTestEnvironment(), c.testEnvironment) << c.expected;
  }
}

TEST_F(BaseUrlTest, MqttHostFollowsStoredEndpointThenEnvironment) {
  EXPECT_EQ(GetMQTTHost::getHostbaseUr(), pelk::build::kProductionMqttHost);
  SharedUtil::setDefaultString(pelk::build::kTestBaseUrl, KUserBaseUrl);
  EXPECT_EQ(GetMQTTHost::getHostbaseUr(), pelk::build::kTestMqttHost);
  SharedUtil::setDefaultString("broker.example.invalid", kAWSIOTEndPoint);
  EXPECT_EQ(GetMQTTHost::getHostbaseUr(), "broker.example.invalid");
}

TEST(EndpointTable, PathsRoundTripExactly) {
  EXPECT_EQ(rawValue(MethodUrls::OAUTH_URL), "/v3/user/token/");
  EXPECT_EQ(rawValue(MethodUrls::NOTIFICATION_HANDLER), "/v3/user/ctr/?campaign_log_id=");
  EXPECT_EQ(rawValue(MethodUrls::LOCATION_COUNT), "/v3/location/update/");
  for (int i = 0; i <= static_cast<int>(MethodUrls::LOCATION_COUNT); ++i) {
    const auto url = static_cast<MethodUrls>(i);
    EXPECT_EQ(methodUrlsFromRawValue(rawValue(url)), url);
  }
  EXPECT_FALSE(methodUrlsFromRawValue("/v3/user"));
  EXPECT_FALSE(baseUrlsFromRawValue(std::string(pelk::build::kTestBaseUrl) + "/"));
  EXPECT_EQ(baseUrlsFromRawValue(pelk::build::kProductionBaseUrl), BaseUrls::production);
  EXPECT_NE(rawValue(BaseUrls::production), rawValue(BaseUrls::development));
  EXPECT_EQ(HTTPMethod::delete_().rawValue, "DELETE");
}

TEST(ReplyRecords, EnvelopeReadsOnlyWellTypedValues) {
  PelkServerResponse plain(json{{"code", 200}, {"msg", "fine"}});
  EXPECT_EQ(plain.code, 200);
  EXPECT_EQ(plain.msg, "fine");
  EXPECT_FALSE(plain.status || plain.error || plain.userData);

  for (const json& code : {json("200"), json(200.5), json(nullptr), json(true)}) {
    EXPECT_FALSE(PelkServerResponse(json{{"code", code}}).code) << code;
  }
  EXPECT_EQ(PelkServerResponse(json{{"code", 401.0}}).code, 401);
  EXPECT_FALSE(PelkServerResponse(json{{"msg", 5}}).msg);
  EXPECT_EQ(PelkServerResponse(json{{"status", 1}}).status, true);
  EXPECT_FALSE(PelkServerResponse(json{{"status", 2}}).status);

  EXPECT_FALSE(PelkServerResponse(json{{"error", "bad"}}).error);
  PelkServerResponse emptyError(json{{"error", json::object()}});
  ASSERT_TRUE(emptyError.error);
  EXPECT_FALSE(emptyError.error->errorCode || emptyError.error->errorMessage);

  PelkServerResponse data(json{{"data", {{"sync_status", true}}}});
  ASSERT_TRUE(data.userData);
  EXPECT_EQ(data.userData->sync_status, true);
  EXPECT_FALSE(PelkServerResponse(json{{"data", json::array()}}).userData);
  // Anything, even not an object, gives a record.
  EXPECT_FALSE(PelkServerResponse(json::array()).code);
}

TEST(ReplyRecords, TokenReplyIsFlattened) {
  PelkOAuthResponse r(
      json{{"code", 200}, {"data", {{"sdk_token", 42}}}, {"error", {{"ErrorCode", "QB402"}, {"ErrorMessage", 7}}}});
  EXPECT_EQ(r.code, 200);
  EXPECT_FALSE(r.sdk_Token);
  EXPECT_EQ(r.errorCode, "QB402");
  EXPECT_EQ(PelkOAuthResponse(json{{"data", {{"sdk_token", "t"}}}}).sdk_Token, "t");
  EXPECT_FALSE(PelkOAuthResponse(json{{"data", "t"}}).sdk_Token);
}

TEST(ReplyRecords, ActiveTripsAreNeverAbsent) {
  const json trip1 = {{"id", "a"}, {"is_deleted", false}, {"is_ended", false}, {"is_started", true}};
  const json trip2 = {{"id", "b"}, {"is_deleted", false}, {"is_ended", true}, {"is_started", true}};
  PelkActiveTripResponse two(json{{"code", 200}, {"data", {trip1, trip2}}});
  ASSERT_TRUE(two.trips);
  ASSERT_EQ(two.trips->size(), 2u);
  EXPECT_EQ((*two.trips)[0]->tripId(), "a");
  EXPECT_EQ((*two.trips)[1]->tripId(), "b");
  EXPECT_FALSE(two.malformed);
  // A list with anything but valid trips is malformed, never silently shortened.
  const std::pair<json, bool> cases[] = {
      {json{{"data", {trip1, 5}}}, true}, {json{{"data", {trip1, json{{"id", "broken"}}}}}, true},
      {json{{"code", 200}}, false},       {json{{"data", nullptr}}, false},
      {json{{"data", trip1}}, false},
  };
  for (const auto& [reply, malformed] : cases) {
    PelkActiveTripResponse r(reply);
    ASSERT_TRUE(r.trips) << reply;
    EXPECT_TRUE(r.trips->empty()) << reply;
    EXPECT_EQ(r.malformed, malformed) << reply;
  }
}

TEST(ReplyRecords, NotificationPayload) {
  PelkNotificationResponse n(json{{"type", "quelbrin"}});
  EXPECT_FALSE(n.cid);
  EXPECT_EQ(n.type, "quelbrin");
  EXPECT_EQ(PelkNotificationResponse(json{{"cid", "c1"}}).cid, "c1");
}

}  // namespace
}  // namespace pelk
