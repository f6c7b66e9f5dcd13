#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/SettingsSuite.h"
#include "support/KitFixture.h"
#include "support/WalCommits.h"

using namespace pelk;
using platform::SettingValue;

namespace {
class SharedUtilTest : public test::SettingsTest {};
}  // namespace

TEST_F(SharedUtilTest, AbsentKeysReadAsTheGettersDefaults) {
  EXPECT_EQ(SharedUtil::getDefaultString("k"), "");
  EXPECT_EQ(SharedUtil::getDefaultInteger("k"), 0);
  EXPECT_EQ(SharedUtil::getDefaultDouble("k"), 0.0);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean("k"));
  EXPECT_TRUE(SharedUtil::getDefaultArray("k").empty());
  EXPECT_EQ(SharedUtil::getDefaultDictionary("k"), nlohmann::json::object());

  platform::Clock::useVirtual(platform::Clock::fromSecondsSince1970(1000));
  EXPECT_EQ(SharedUtil::getDefaultDate("k"), platform::Clock::fromSecondsSince1970(1000));
  platform::Clock::advance(platform::seconds(1));
  EXPECT_EQ(SharedUtil::getDefaultDate("k"), platform::Clock::fromSecondsSince1970(1001));
  platform::Clock::useSystem();
}

TEST_F(SharedUtilTest, TypedValuesReadBackAndRemovedKeysReadAsAbsent) {
  const auto when = platform::Clock::fromSecondsSince1970(1'704'067'200.5);
  SharedUtil::setDefaultString("s", "text");
  SharedUtil::setDefaultInteger(0, "zero");
  SharedUtil::setDefaultInteger(-5, "int");
  SharedUtil::setDefaultDouble(2.25, "double");
  SharedUtil::setDefaultBoolean(false, "off");
  SharedUtil::setDefaultBoolean(true, "on");
  SharedUtil::setDefaultDate(when, "date");
  SharedUtil::setDefaultArray({"a", "b"}, "list");
  SharedUtil::setDefaultDictionary({{"x", 1}, {"y", {{"z", "w"}}}}, "dict");

  EXPECT_EQ(SharedUtil::getDefaultString("text"), "s");
  EXPECT_EQ(SharedUtil::getDefaultInteger("zero"), 0);
  EXPECT_EQ(SharedUtil::getDefaultInteger("int"), -5);
  EXPECT_EQ(SharedUtil::getDefaultDouble("double"), 2.25);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean("off"));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean("on"));
  EXPECT_EQ(SharedUtil::getDefaultDate("date"), when);
  EXPECT_EQ(SharedUtil::getDefaultArray("list"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SharedUtil::getDefaultDictionary("dict"), (nlohmann::json{{"x", 1}, {"y", {{"z", "w"}}}}));

  SharedUtil::removeKey("text");
  EXPECT_EQ(SharedUtil::getDefaultString("text"), "");
  SharedUtil::resetDefaults();
  EXPECT_TRUE(SharedUtil::userDefaultValue()->dictionaryRepresentation().empty());
}

TEST_F(SharedUtilTest, KeyOfAnotherTypeReadsAsTheGettersAbsentValue) {
  auto suite = SharedUtil::userDefaultValue();
  suite->set("int", SettingValue(7));
  suite->set("text", SettingValue("3.5"));
  suite->set("mixed", SettingValue(SettingValue::List{SettingValue("a"), SettingValue(1)}));
  SharedUtil::setDefaultBoolean(false, kLocationPublishMeta_data);  // reset publish switches store false here

  EXPECT_EQ(SharedUtil::getDefaultString("int"), "");
  EXPECT_TRUE(SharedUtil::getDefaultArray("int").empty());
  EXPECT_TRUE(SharedUtil::getDefaultArray("mixed").empty());
  EXPECT_EQ(SharedUtil::getDefaultDictionary(kLocationPublishMeta_data), nlohmann::json::object());
  const auto before = platform::Clock::now();
  EXPECT_GE(SharedUtil::getDefaultDate("text"), before);
  // Numbers and booleans convert the way a property-list reader converts them.
  EXPECT_EQ(SharedUtil::getDefaultDouble("int"), 7.0);
  EXPECT_TRUE(SharedUtil::getDefaultBoolean("int"));
  EXPECT_EQ(SharedUtil::getDefaultInteger("text"), 3);
}

TEST_F(SharedUtilTest, DictionaryWithoutStoredFormIsRefused) {
  SharedUtil::setDefaultDictionary({{"a", 1}}, "d");
  SharedUtil::setDefaultDictionary({{"a", nullptr}}, "d");
  EXPECT_EQ(SharedUtil::getDefaultDictionary("d"), (nlohmann::json{{"a", 1}}));
}

TEST_F(SharedUtilTest, LocationCountCountsEveryPositionAndTheTemporaryCounterWhileAReportIsInFlight) {
  auto& suite = *SharedUtil::userDefaultValue();
  incrementLocationCount(suite);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), 1);
  incrementLocationCount(suite);
  incrementLocationCount(suite);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), 3);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDKTemp), 0);

  SharedUtil::setDefaultBoolean(true, kLocationCountUpdating);
  for (int i = 0; i < 4; ++i) incrementLocationCount(suite);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), 7);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDKTemp), 4);

  // At the largest count both counters stay there instead of wrapping.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  SharedUtil::setDefaultInteger(kMax, KLocationCountSDK);
  SharedUtil::setDefaultInteger(kMax - 1, KLocationCountSDKTemp);
  incrementLocationCount(suite);
  incrementLocationCount(suite);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), kMax);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDKTemp), kMax);
}

// Every set and remove is a durable commit of the settings file; one that
// would leave the file as it is commits nothing.
TEST_F(SharedUtilTest, StoringTheHeldValueOrRemovingAnAbsentKeyCommitsNothing) {
  const std::string file = SharedUtil::userDefaultValue()->path();
  const auto when = platform::Clock::fromSecondsSince1970(1'704'067'200.5);
  const nlohmann::json dict{{"x", 1}, {"y", {{"z", "w"}}}};
  struct Case {
    const char* what;
    std::function<void()> write;
    int commits;
  };
  const Case cases[] = {
      {"new text", [] { SharedUtil::setDefaultString("a", "text"); }, 1},
      {"same text", [] { SharedUtil::setDefaultString("a", "text"); }, 0},
      {"other text", [] { SharedUtil::setDefaultString("b", "text"); }, 1},
      {"empty text over absent", [] { SharedUtil::setDefaultString("", "empty"); }, 1},
      {"integer", [] { SharedUtil::setDefaultInteger(1, "number"); }, 1},
      {"same integer", [] { SharedUtil::setDefaultInteger(1, "number"); }, 0},
      {"equal number of another kind", [] { SharedUtil::setDefaultDouble(1.0, "number"); }, 1},
      {"same double", [] { SharedUtil::setDefaultDouble(1.0, "number"); }, 0},
      {"zero", [] { SharedUtil::setDefaultDouble(0.0, "zero"); }, 1},
      {"negative zero over zero", [] { SharedUtil::setDefaultDouble(-0.0, "zero"); }, 1},
      {"false over absent", [] { SharedUtil::setDefaultBoolean(false, "flag"); }, 1},
      {"same false", [] { SharedUtil::setDefaultBoolean(false, "flag"); }, 0},
      {"date", [&] { SharedUtil::setDefaultDate(when, "date"); }, 1},
      {"same date", [&] { SharedUtil::setDefaultDate(when, "date"); }, 0},
      {"a microsecond later", [&] { SharedUtil::setDefaultDate(when + std::chrono::microseconds(1), "date"); }, 1},
      {"list",
       [] {
         SharedUtil::setDefaultArray({"a", "b"}, "list");
       },
       1},
      {"same list",
       [] {
         SharedUtil::setDefaultArray({"a", "b"}, "list");
       },
       0},
      {"dictionary", [&] { SharedUtil::setDefaultDictionary(dict, "dict"); }, 1},
      {"same dictionary", [&] { SharedUtil::setDefaultDictionary(dict, "dict"); }, 0},
      {"remove held", [] { SharedUtil::removeKey("text"); }, 1},
      {"remove absent", [] { SharedUtil::removeKey("text"); }, 0},
  };
  for (const auto& c : cases) {
    const int before = test::walCommits(file);
    c.write();
    EXPECT_EQ(test::walCommits(file) - before, c.commits) << c.what;
  }
  auto suite = SharedUtil::userDefaultValue();
  EXPECT_EQ(suite->value("number")->kind(), SettingValue::Kind::Double);
  EXPECT_TRUE(std::signbit(*suite->value("zero")->get<double>()));
  EXPECT_TRUE(suite->contains("empty") && suite->contains("flag"));
  EXPECT_FALSE(suite->contains("text"));
}

TEST(AppDefaults, KeyLiteralsAreDistinctAndStable) {
  const std::vector<const char*> keys = {kPublishKey,
                                         kSDKToken,
                                         kDeviceToken,
                                         kUserId,
                                         kUserAppId,
                                         kAccountId,
                                         kProjectId,
                                         KUserBaseUrl,
                                         kAWSIOTEndPoint,
                                         kSetDeviceToken,
                                         kGeofenceEvents,
                                         kLocationEvents,
                                         kTripEvents,
                                         kNearbyEvents,
                                         kEventListener,
                                         kLocationListener,
                                         kZezovuDeleteUser,
                                         kLocationListenerSubscribe,
                                         kEventListenerSubscribe,
                                         kLocationUserSubscribe,
                                         kSubscribeTripStatus,
                                         kCurrentZezovu,
                                         KcurrentAppState,
                                         kUserAppState,
                                         kIsLocationTracking,
                                         kTripLocationTracking,
                                         kTrackingOption,
                                         kOfflineTracking,
                                         KLocationPublisher,
                                         kTrackingTimeBase,
                                         kIsLocationUpdating,
                                         klocationPermissionStatus,
                                         kLoggingEnabled,
                                         kCurrentLocationTimer,
                                         kGPSStatus,
                                         kVisitDate,
                                         kLimitExceedMessage,
                                         kZezovuLatitude,
                                         kZezovuLongitude,
                                         kZezovuTimeStamp,
                                         kZezovuHorizontalAccuracy,
                                         kZezovuSpeed,
                                         kAccuracyFilter,
                                         kAccuracyFilterCustom,
                                         kAccuracyFilterCustomValue,
                                         kCustomAccuracyFilter,
                                         KLocationCountSDK,
                                         KLocationCountStartedDate,
                                         KLocationCountSDKTemp,
                                         KLocationCountStartedDateTemp,
                                         kLocationCountUpdating,
                                         kLocationTrackingState,
                                         kPubSubState,
                                         kLocationTrackingUpdatedByShadow,
                                         kPubSubStateUpdatedByShadow,
                                         kLocationPublishSave,
                                         kLocationPublishOnly,
                                         kLocationPublishMeta_data,
                                         kLocationPublishuser_id,
                                         kLocationPublishactivity,
                                         kSaveLocationServerLogs};
  std::set<std::string> seen;
  for (const char* k : keys) EXPECT_TRUE(seen.insert(k).second) << k;

  // Stored values are found again only under exactly these texts.
  EXPECT_STREQ(kUserDefaultsuiteName, "devzezovusdk");
  EXPECT_STREQ(kSDKToken, "DarereRERIruzo");
  EXPECT_STREQ(kLocationListenerSubscribe, "RoroziZuzezuzoEventsSubscribe");
  EXPECT_STREQ(KGeofenceRegionIdentifier, "ZezovuSDKGeofence");
  EXPECT_STREQ(kCurrentMotion, "current_zezovu");
  EXPECT_STREQ(kMotionDeleteUser, "ZezovuDeleteUser");
  EXPECT_STREQ(kLocationPublishbattery_remaining, "LocationPublishbattery_remaining");
  EXPECT_EQ(KGeofenceRegionRadius, 100);
}

TEST_F(SharedUtilTest, ResetRemovesKeysWhoseValuesCannotBeRead) {
  SharedUtil::setDefaultString("tok-1", kSDKToken);
  const std::string path = SharedUtil::userDefaultValue()->path();
  {
    SQLite::Database raw(path, SQLite::OPEN_READWRITE);
    raw.exec("INSERT INTO entries (key, kind, value) VALUES ('damaged', 0, x'ff00')");
  }
  SharedUtil::resetDefaults();
  EXPECT_TRUE(SharedUtil::userDefaultValue()->keys().empty());
}

// A stored value that cannot be decoded reads as absent, yet the entry is
// there (it lists among the keys): removing the key must still remove it, so
// that what the kit clears is cleared.
TEST_F(SharedUtilTest, RemovingAKeyWhoseValueCannotBeReadRemovesIt) {
  auto suite = SharedUtil::userDefaultValue();
  SharedUtil::setDefaultString("other", "kept");
  {
    SQLite::Database raw(suite->path(), SQLite::OPEN_READWRITE);
    raw.exec("INSERT OR REPLACE INTO entries (key, kind, value) VALUES ('damaged', 3, x'ff00ff')");
  }
  platform::Console::Capture console;
  ASSERT_FALSE(suite->contains("damaged"));
  auto listed = [&] {
    const auto keys = suite->keys();
    return std::find(keys.begin(), keys.end(), "damaged") != keys.end();
  };
  ASSERT_TRUE(listed());
  SharedUtil::removeKey("damaged");
  EXPECT_FALSE(listed());
  EXPECT_EQ(SharedUtil::getDefaultString("kept"), "other");
}
