#include "messaging/MQTTUtilis.h"

#include <gtest/gtest.h>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "network/Endpoints.h"
#include "pelk_build_config.h"
#include "support/KitFixture.h"

namespace pelk {
namespace {

class MqttUtilisTest : public test::SettingsTest {
 protected:
  MqttUtilisTest() { MQTTUtilis::resetForTesting(); }
  ~MqttUtilisTest() override { MQTTUtilis::resetForTesting(); }
  static void useTestEnvironment() { SharedUtil::setDefaultString(rawValue(BaseUrls::development), KUserBaseUrl); }
  static void storeIds() {
    TokenManager::setAccountId("a");
    TokenManager::setProjectId("p");
    TokenManager::setUserId("u");
  }
};

TEST_F(MqttUtilisTest, CredentialsComeFromUserTimeStampAndKey) {
  TokenManager::setUserId("user-7");
  TokenManager::setPublishKey("pk_live");
  EXPECT_EQ(MQTTUtilis::generate_client(), "user-7_" + AppUtilis::getUUID());
  EXPECT_EQ(MQTTUtilis::generate_username("1700000000.25"), "sdk_1700000000.25");
  EXPECT_EQ(MQTTUtilis::generate_password("1700000000.25"), AppUtilis::sha512Hex("user-71700000000.25pk_live"));
  EXPECT_EQ(MQTTUtilis::generate_password("1700000000.25").size(), 128u);
}

TEST_F(MqttUtilisTest, SaltIsTheFirstNonEmptyKeyOfTheProcess) {
  TokenManager::setUserId("u");
  // No key yet: this password has no salt, and none is fixed.
  EXPECT_EQ(MQTTUtilis::generate_password("1.0"), AppUtilis::sha512Hex("u1.0"));
  TokenManager::setPublishKey("first");
  EXPECT_EQ(MQTTUtilis::generate_password("1.0"), AppUtilis::sha512Hex("u1.0first"));
  TokenManager::setPublishKey("second");
  EXPECT_EQ(MQTTUtilis::generate_password("1.0"), AppUtilis::sha512Hex("u1.0first"));
}

TEST_F(MqttUtilisTest, TopicsInBothEnvironments) {
  storeIds();
  struct Case {
    std::string (*build)();
    const char* production;
    const char* test;
  };
  const Case cases[] = {
      {&MQTTUtilis::toTopicSubscribe, "locations/a/p/u", "test_locations/a/p/u"},
      {[] { return MQTTUtilis::ownPositionTopic().value_or("none"); }, "locations/a/p/u", "test_locations/a/p/u"},
      {&MQTTUtilis::eventSubscribe, "events/a/p/u", "test_events/a/p/u"},
      {&MQTTUtilis::shadowPublishAccountMessage, "$aws/things/account_a/shadow/get",
       "$aws/things/test_account_a/shadow/get"},
      {&MQTTUtilis::shadowPublishUserMessage, "$aws/things/user_u/shadow/get", "$aws/things/test_user_u/shadow/get"},
      {[] { return MQTTUtilis::shadowSubscribeAccount("update"); }, "$aws/things/account_a/shadow/update/accepted",
       "$aws/things/test_account_a/shadow/update/accepted"},
      {[] { return MQTTUtilis::shadowSubscribeUser("get"); }, "$aws/things/user_u/shadow/get/accepted",
       "$aws/things/test_user_u/shadow/get/accepted"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.build(), c.production);
  EXPECT_EQ(MQTTUtilis::userlocation("v"), "users/v/locations");
  useTestEnvironment();
  for (const auto& c : cases) EXPECT_EQ(c.build(), c.test);
  // The per-user prefix was fixed at its first use.
  EXPECT_EQ(MQTTUtilis::userEvent("v"), "users/v/events");
  MQTTUtilis::resetForTesting();
  EXPECT_EQ(MQTTUtilis::userlocation("v"), "test_users/v/locations");
}

TEST_F(MqttUtilisTest, AuthorizerSettingsFollowTheEnvironmentOfTheirFirstUse) {
  EXPECT_EQ(custom_authorizer_name(), "iot-authorizer-ios");
  EXPECT_EQ(token_name(), "iot-authorizer-ios");
  EXPECT_EQ(token_signature(), build::kProductionMqttTokenSignature);
  EXPECT_EQ(IOT_ENDPOINT(), std::string("https://") + build::kProductionMqttHost + "/");
  useTestEnvironment();
  EXPECT_EQ(custom_authorizer_name(), "iot-authorizer-ios");
  MQTTUtilis::resetForTesting();
  EXPECT_EQ(custom_authorizer_name(), "test-iot-authorizer-ios");
  EXPECT_EQ(token_signature(), build::kTestMqttTokenSignature);
  EXPECT_EQ(IOT_ENDPOINT(), std::string("https://") + build::kTestMqttHost + "/");
  EXPECT_EQ(token_value(), build::kMqttTokenValue);
}

TEST_F(MqttUtilisTest, UnusableIdsAreNeitherStoredNorUsable) {
  const std::string unusable[] = {"", "a+b", "a#", "a/b", std::string("a\0b", 3), "+", "#"};
  for (const auto& id : unusable) {
    EXPECT_FALSE(MQTTUtilis::isValidTopicId(id)) << id;
    EXPECT_FALSE(MQTTUtilis::saveUserSubscribe(id)) << id;
  }
  EXPECT_TRUE(MQTTUtilis::getUserSubscribe().empty());
  EXPECT_TRUE(MQTTUtilis::saveUserSubscribe("v1"));
  EXPECT_TRUE(MQTTUtilis::saveUserSubscribe("v2"));
  EXPECT_TRUE(MQTTUtilis::saveUserSubscribe("v1"));
  EXPECT_EQ(MQTTUtilis::getUserSubscribe(), (std::vector<std::string>{"v1", "v2"}));
  EXPECT_TRUE(MQTTUtilis::removeUserSubscribe("v1"));
  EXPECT_EQ(MQTTUtilis::getUserSubscribe(), (std::vector<std::string>{"v2"}));

  TokenManager::setAccountId("a/b");
  TokenManager::setProjectId("p");
  TokenManager::setUserId("u");
  EXPECT_FALSE(MQTTUtilis::ownTopicIdsValid());
  EXPECT_FALSE(MQTTUtilis::accountIdValid());
  EXPECT_TRUE(MQTTUtilis::userIdValid());

  // No position topic while any of its ids is unusable.
  for (auto* set : {&TokenManager::setAccountId, &TokenManager::setProjectId, &TokenManager::setUserId}) {
    for (const auto& id : unusable) {
      TokenManager::setAccountId("a");
      TokenManager::setProjectId("p");
      TokenManager::setUserId("u");
      set(id);
      EXPECT_EQ(MQTTUtilis::ownPositionTopic(), std::nullopt) << id;
    }
  }
}

TEST_F(MqttUtilisTest, EndpointsMapToWebSocketUrls) {
  struct Case {
    std::string endpoint;
    std::optional<std::string> uri;
  };
  const Case cases[] = {
      {"ws://127.0.0.1:1883/mqtt", "ws://127.0.0.1:1883/mqtt"},
      {"ws://127.0.0.1:1883", "ws://127.0.0.1:1883/mqtt"},
      {"wss://broker.example:8443/custom", "wss://broker.example:8443/custom"},
      {"https://broker.example", "wss://broker.example:443/mqtt"},
      {"https://broker.example/", "wss://broker.example:443/mqtt"},
      {"https://broker.example:8443/x", "wss://broker.example:8443/mqtt"},
      {"broker.example", "wss://broker.example:443/mqtt"},
      {"http://broker.example", std::nullopt},
      {"tcp://broker.example:1883", std::nullopt},
      {"", std::nullopt},
      {"ws://", std::nullopt},
      {"https://", std::nullopt},
      {"https://broker.example\r\nX-Injected: 1", std::nullopt},
      {"wss://broker example/mqtt", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(MQTTUtilis::connectionUri(c.endpoint), c.uri) << c.endpoint;
}

TEST_F(MqttUtilisTest, TheAppsEndpointIsUsedWhenGiven) {
  EXPECT_EQ(MQTTUtilis::connectionEndpoint(), IOT_ENDPOINT());
  EXPECT_FALSE(MQTTUtilis::saveMqttEndpoint(""));
  EXPECT_FALSE(MQTTUtilis::saveMqttEndpoint("tcp://x:1"));
  EXPECT_EQ(MQTTUtilis::connectionEndpoint(), IOT_ENDPOINT());
  EXPECT_TRUE(MQTTUtilis::saveMqttEndpoint("https://broker.example"));
  EXPECT_EQ(MQTTUtilis::connectionEndpoint(), "https://broker.example");
  // Start-up without an endpoint leaves the stored one.
  EXPECT_FALSE(MQTTUtilis::saveMqttEndpoint(""));
  EXPECT_EQ(MQTTUtilis::connectionEndpoint(), "https://broker.example");
}

TEST_F(MqttUtilisTest, ShadowDocumentsStoreOnlyTheSwitchesTheyHold) {
  TokenManager::setLocationTrackingState(false);
  TokenManager::setPubSubState(false);
  struct Case {
    const char* document;
    bool tracking;
    bool pubSub;
  };
  const Case cases[] = {
      {R"({"state":{"desired":{"welcome":"hi"}}})", false, false},
      {R"({"state":{"desired":{"location_tracking":"yes","pub/sub":1}}})", false, false},
      {R"({"state":{}})", false, false},
      {R"({"desired":{"location_tracking":true,"pub/sub":true}})", false, false},
      {R"({"state":{"desired":{"pub/sub":true}}})", false, true},
      {R"({"state":{"desired":{"location_tracking":true}}})", true, true},
      {R"({"state":{"desired":{"location_tracking":false,"pub/sub":false}}})", false, false},
  };
  for (const auto& c : cases) {
    MQTTUtilis::pubsubState(nlohmann::json::parse(c.document));
    EXPECT_EQ(TokenManager::getLocationTrackingState(), c.tracking) << c.document;
    EXPECT_EQ(TokenManager::getPubSubState(), c.pubSub) << c.document;
  }
  const auto state =
      PelkShadowState::fromDictionary(nlohmann::json::parse(R"({"state":{"desired":{"welcome":"hi"}}})"));
  EXPECT_EQ(state.welcome, "hi");
  EXPECT_FALSE(state.location_tracking);
}

TEST_F(MqttUtilisTest, UserShadowStoresTheBooleansItHolds) {
  TokenManager::setEventListener(true);
  TokenManager::setTripEvent(true);
  MQTTUtilis::saveUserShadow(nlohmann::json::parse(
      R"({"state":{"desired":{"event_listener":false,"geofence_events":true,"location_events":true,
          "location_listener":true,"nearby_events":true,"trips_events":"no","is_deleted":false}}})"));
  EXPECT_FALSE(TokenManager::getEventListener());
  EXPECT_TRUE(TokenManager::getGeofenceEvents());
  EXPECT_TRUE(TokenManager::getLocationEvent());
  EXPECT_TRUE(TokenManager::getLocationListener());
  EXPECT_TRUE(TokenManager::getNearEvents());
  EXPECT_TRUE(TokenManager::getTripEvents());  // not a boolean: kept
  EXPECT_FALSE(TokenManager::getUserDelete());
}

TEST_F(MqttUtilisTest, OnlyJsonObjectsOfSaneDepthAreAccepted) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  struct Case {
    std::string payload;
    bool accepted;
  };
  const Case cases[] = {
      {R"({"events":[{"a":1}]})", true},
      {"{}", true},
      {"[1,2]", false},
      {"\"text\"", false},
      {"not json", false},
      {"", false},
      {"{\"a\":\"\xff\"}", false},
      {"{\"a\":" + deep + "}", false},
      {R"({"s":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["})", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MQTTUtilis::parseMessageObject(c.payload).has_value(), c.accepted) << c.payload.substr(0, 40);
  }
}

}  // namespace
}  // namespace pelk
