#include <filesystem>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "pelk/PelkEnums.h"
#include "platform/Console.h"
#include "support/KitFixture.h"

using namespace pelk;

namespace {

class CredentialsTest : public test::SettingsTest {};

nlohmann::json userReply() {
  return {{"code", 200},
          {"data",
           {{"user_id", "u-1"},
            {"app_id", "app-9"},
            {"account_id", "acc-2"},
            {"project_id", "prj-3"},
            {"geofence_events", true},
            {"location_events", false},
            {"nearby_events", true},
            {"trips_events", false},
            {"location_listener", true},
            {"event_listener", false}}}};
}

}  // namespace

TEST_F(CredentialsTest, ValuesAreWrittenThroughAndReadBackAfterARelaunch) {
  EXPECT_EQ(TokenManager::getUserId(), "");
  EXPECT_FALSE(TokenManager::getLocationPublisher());

  TokenManager::setSdkToken(std::string("tok"));
  TokenManager::setTripEvent(true);
  EXPECT_EQ(TokenManager::sdkToken(), "tok");

  TokenManager::clearMemoryForTesting();  // a new launch: memory empty, suite kept
  EXPECT_FALSE(TokenManager::sdkToken().has_value());
  EXPECT_EQ(TokenManager::getSDKToken(), "tok");
  EXPECT_TRUE(TokenManager::getTripEvents());
  EXPECT_EQ(SharedUtil::getDefaultString(kSDKToken), "tok");
}

TEST_F(CredentialsTest, AbsentValuesAreRefusedExceptForTheShadowSwitches) {
  TokenManager::setPublishKey(std::string("pk"));
  TokenManager::setPublishKey(std::nullopt);
  EXPECT_EQ(TokenManager::getPublishKey(), "pk");

  EXPECT_FALSE(TokenManager::getLocationTrackingState());
  TokenManager::setLocationTrackingState(std::nullopt);
  TokenManager::setPubSubState(false);
  EXPECT_TRUE(TokenManager::getLocationTrackingState());
  EXPECT_FALSE(TokenManager::getPubSubState());
}

TEST_F(CredentialsTest, UserReplyIsStoredWhole) {
  ASSERT_TRUE(SaveUtilis::saveUserDetails(userReply()));
  EXPECT_EQ(TokenManager::getUserId(), "u-1");
  EXPECT_EQ(TokenManager::getAppId(), "app-9");
  EXPECT_EQ(TokenManager::getAccountId(), "acc-2");
  EXPECT_EQ(TokenManager::getProjectId(), "prj-3");
  EXPECT_TRUE(TokenManager::getGeofenceEvents());
  EXPECT_FALSE(TokenManager::getLocationEvent());
  EXPECT_TRUE(TokenManager::getNearEvents());
  EXPECT_FALSE(TokenManager::getTripEvents());
  EXPECT_TRUE(TokenManager::getLocationListener());
  EXPECT_FALSE(TokenManager::getEventListener());
}

TEST_F(CredentialsTest, OptionalIdsOfAnotherFormAreStoredEmpty) {
  auto reply = userReply();
  reply["data"].erase("account_id");
  reply["data"]["project_id"] = 42;
  ASSERT_TRUE(SaveUtilis::saveUserDetails(reply));
  EXPECT_EQ(TokenManager::getAccountId(), "");
  EXPECT_EQ(TokenManager::getProjectId(), "");
  EXPECT_TRUE(SharedUtil::userDefaultValue()->contains(kAccountId));
}

TEST_F(CredentialsTest, FaultyUserReplyStoresNothing) {
  struct Case {
    const char* what;
    std::function<void(nlohmann::json&)> spoil;
  };
  const std::vector<Case> cases = {
      {"no data", [](nlohmann::json& r) { r.erase("data"); }},
      {"data not an object", [](nlohmann::json& r) { r["data"] = nlohmann::json::array(); }},
      {"no user_id", [](nlohmann::json& r) { r["data"].erase("user_id"); }},
      {"app_id a number", [](nlohmann::json& r) { r["data"]["app_id"] = 5; }},
      {"switch null", [](nlohmann::json& r) { r["data"]["event_listener"] = nullptr; }},
      {"switch as number", [](nlohmann::json& r) { r["data"]["trips_events"] = 1; }},
  };
  for (const auto& c : cases) {
    auto reply = userReply();
    c.spoil(reply);
    EXPECT_FALSE(SaveUtilis::saveUserDetails(reply)) << c.what;
    EXPECT_TRUE(SharedUtil::userDefaultValue()->dictionaryRepresentation().empty()) << c.what;
  }
}

TEST_F(CredentialsTest, TrackingModeIsStoredAndReadBackWithFallback) {
  platform::Console::Capture console;
  SaveUtilis::saveTrackingOptions(PelkTrackingMode::balanced);
  EXPECT_TRUE(console.contains("Tracking option 2"));
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::balanced);

  for (std::int64_t stored : {0, 7, -1}) {
    SharedUtil::setDefaultInteger(stored, kTrackingOption);
    EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::notselected) << stored;
  }
  SharedUtil::removeKey(kTrackingOption);
  EXPECT_EQ(SaveUtilis::getTrackingOptions(), PelkTrackingModeLocal::notselected);
}

TEST(Enumerations, RawValuesConstructOnlyTheirOwnCase) {
  for (const char* text : {"QB402", "QB500", "QB408", "QB412", "QB413", "QB414", "QB415", "QB416", "QB417"}) {
    auto code = errorCodeFromRawValue(text);
    ASSERT_TRUE(code) << text;
    EXPECT_EQ(rawValue(*code), text);
  }
  EXPECT_EQ(errorCodeFromRawValue("QB402"), ErrorCode::QB402);
  for (const char* bad : {"qb402", " QB402", "QB4020", ""}) EXPECT_FALSE(errorCodeFromRawValue(bad)) << bad;

  EXPECT_FALSE(pelkTrackingModeFromRawValue(0));
  EXPECT_FALSE(pelkTrackingModeFromRawValue(5));
  EXPECT_EQ(pelkTrackingModeLocalFromRawValue(0), PelkTrackingModeLocal::notselected);
  EXPECT_FALSE(pelkTrackingModeLocalFromRawValue(5));
  EXPECT_FALSE(tripFromRawValue(7));
  EXPECT_FALSE(tripFromRawValue(-1));
  EXPECT_FALSE(pelkTrackingStateFromRawValue(3));
  EXPECT_FALSE(pelkSubscribeFromRawValue(3));

  // A mode handed over as a bare integer keeps its value and matches no case.
  const auto odd = static_cast<PelkTrackingMode>(9);
  EXPECT_EQ(rawValue(odd), 9);
  EXPECT_NE(odd, PelkTrackingMode::custom);
  EXPECT_EQ(rawValue(PelkTrackingMode::custom), rawValue(PelkTrackingModeLocal::custom));
}

TEST(StatusTexts, KeepTheirExactForm) {
  EXPECT_EQ(VuvivaZuvovo::OFFLINE_TRACKING_SETTINGS_ERROR.size(), 26u);
  EXPECT_EQ(VuvivaZuvovo::OFFLINE_TRACKING_SETTINGS_ERROR.back(), ' ');
  EXPECT_EQ(VuvivaZuvovo::TRIP_SUCESS, VuvivaZuvovo::SUCCESS + ".");
  EXPECT_EQ(VuvivaZuvovo::ERROR_NETWORK, "Network error");
  EXPECT_EQ(VuvivaZuvovo::TRIP_ALREADY_STARTED, "Trip already Started.");
}

TEST_F(CredentialsTest, UserReplyThatCannotBeStoredIsReportedAsNotStored) {
  const std::string blocked = dir_.file("blocked.settings");
  std::filesystem::create_directory(blocked);  // a directory where the suite file should be
  SharedUtil::setUserDefaultValue(platform::SettingsSuite::atPath(blocked));
  platform::Console::Capture console;
  EXPECT_FALSE(SaveUtilis::saveUserDetails(userReply()));
  EXPECT_EQ(TokenManager::getUserId(), "");
}

TEST_F(CredentialsTest, UserReplyThatCannotBeStoredLeavesTheInMemoryCopiesAsTheyWere) {
  TokenManager::setUserId("u-old");
  TokenManager::setGeofenceEvent(false);
  {
    // The last write of the reply fails, after the others went through.
    SQLite::Database raw(SharedUtil::userDefaultValue()->path(), SQLite::OPEN_READWRITE);
    raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON entries WHEN NEW.key = '" + std::string(kProjectId) +
             "' BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  platform::Console::Capture console;
  ASSERT_FALSE(SaveUtilis::saveUserDetails(userReply()));
  EXPECT_EQ(TokenManager::userId(), "u-old");
  EXPECT_EQ(TokenManager::geofenceEvent(), false);
  EXPECT_EQ(TokenManager::appId(), std::nullopt);
  EXPECT_EQ(TokenManager::accountId(), std::nullopt);
  EXPECT_EQ(TokenManager::EventListener(), std::nullopt);
  EXPECT_EQ(TokenManager::getUserId(), "u-old") << "the suite rolled back too";
}
