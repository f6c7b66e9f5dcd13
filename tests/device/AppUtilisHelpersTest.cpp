#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "device/AppUtili.h"
#include "device/DeviceFixture.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"

namespace pelk::test {
namespace {

using nlohmann::json;

platform::TimePoint at(double seconds) { return platform::Clock::fromSecondsSince1970(seconds); }

TEST_F(DeviceTest, LocationIdsAreFreshObjectIds) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = AppUtilis::getLocationId();
    EXPECT_TRUE(onlyOf(id, "0123456789abcdef", 24)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST_F(DeviceTest, TrackingModeText) {
  EXPECT_EQ(AppUtilis::getTrackingOptionValue(), "passive");  // none stored
  const std::pair<std::int64_t, const char*> cases[] = {
      {1, "passive"}, {2, "balanced"}, {3, "active"}, {4, "custom"}, {0, "passive"}, {5, "passive"}, {-1, "passive"},
  };
  for (auto [stored, text] : cases) {
    SharedUtil::setDefaultInteger(stored, kTrackingOption);
    EXPECT_EQ(AppUtilis::getTrackingOptionValue(), text) << stored;
  }
}

TEST(AppUtilisCoordinate, RejectsZeroAxesAndInvalidCoordinates) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double lat, lon;
    bool ok;
  };
  const Case cases[] = {
      {0.0, 10.0, false},   {10.0, 0.0, false},   {-0.0, 10.0, false}, {10.0, 200.0, false},
      {91.0, 10.0, false},  {nan, 10.0, false},   {10.0, nan, false},  {inf, 10.0, false},
      {-90.0, 180.0, true}, {90.0, -180.0, true}, {48.85, 2.35, true}, {-33.9, 151.2, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AppUtilis::checkCoordinate(c.lat, c.lon), c.ok) << c.lat << "," << c.lon;
    platform::Location fix;
    fix.coordinate = {c.lat, c.lon};
    EXPECT_EQ(AppUtilis::checkCoordinate(fix), c.ok) << c.lat << "," << c.lon;
  }
}

TEST_F(DeviceTest, LocationCountIntervalAndPublisherSwitch) {
  platform::Clock::useVirtual(at(1700000000.0));
  EXPECT_FALSE(AppUtilis::timeDifference());  // nothing stored: now
  const std::pair<double, bool> cases[] = {
      {240.0, true}, {239.0, false}, {3600.0, true}, {-600.0, false}, {0.0, false}};
  for (auto [ago, expected] : cases) {
    SharedUtil::setDefaultDate(at(1700000000.0 - ago), KLocationCountStartedDate);
    EXPECT_EQ(AppUtilis::timeDifference(), expected) << ago;
  }
  // A stored date at either end of the clock: long ago, or not yet.
  SharedUtil::setDefaultDate(platform::TimePoint::min(), KLocationCountStartedDate);
  EXPECT_TRUE(AppUtilis::timeDifference());
  SharedUtil::setDefaultDate(platform::TimePoint::max(), KLocationCountStartedDate);
  EXPECT_FALSE(AppUtilis::timeDifference());

  EXPECT_FALSE(AppUtilis::checkLocationPublisher());
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  EXPECT_TRUE(AppUtilis::checkLocationPublisher());
}

TEST(AppUtilisHash, Sha512HexOfUtf8Bytes) {
  EXPECT_EQ(AppUtilis::sha512Hex(""),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(AppUtilis::sha512Hex("abc"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  // "é" is the two bytes C3 A9; its precomposed and decomposed forms differ.
  const std::string e = AppUtilis::sha512Hex("\xC3\xA9");
  EXPECT_EQ(e.size(), 128u);
  EXPECT_NE(e, AppUtilis::sha512Hex("e\xCC\x81"));
  EXPECT_TRUE(onlyOf(e, "0123456789abcdef", 128));
}

TEST_F(DeviceTest, NumericTimeStampAndVersionText) {
  const std::pair<double, const char*> cases[] = {
      {1700000000.0, "1700000000.0"},
      {1700000000.5, "1700000000.5"},
      {1700000000.125, "1700000000.125"},
      {0.0, "0.0"},
  };
  for (auto [seconds, text] : cases) {
    platform::Clock::useVirtual(at(seconds));
    EXPECT_EQ(AppUtilis::getCurrentTimeStamp(), text);
  }
  // No rounding to a fixed number of places, and the text reads back exactly.
  platform::Clock::useVirtual(at(1700000000.123456));
  const std::string text = AppUtilis::getCurrentTimeStamp();
  EXPECT_EQ(std::stod(text), platform::Clock::secondsSince1970(platform::Clock::now()));
  EXPECT_EQ(text.find('e'), std::string::npos);

  EXPECT_EQ(AppUtilis::getSDKVersion(), "p_0.0.5");
}

TEST(AppUtilisConvert, BufferedRowsBecomeJsonDictionaries) {
  EXPECT_EQ(AppUtilis::convertToJSONArray({}), json::array());

  const json row = json::parse(R"({
    "mqtt_id": 0, "mqttLocation_time": 1700000000.0,
    "battery_saver": 0, "event_listener": 1, "geofence_events": true, "gps_status": false,
    "location_events": 2, "location_listener": 0, "location_permission": 1, "nearby_events": 0,
    "network_status": 1, "trips_events": 0,
    "latitude": 48.85, "longitude": 2.35, "altitude": 35.5, "course": -1.0,
    "horizontal_accuracy": 5.0, "vertical_accuracy": 3.0, "speed": 12, "battery_remaining": 87,
    "activity": "M", "app_context": "F", "app_id": null, "user_id": "U1", "tz_offset": "+0100"})");
  const json expected = json::parse(R"([{
    "battery_saver": false, "event_listener": true, "geofence_events": true, "gps_status": false,
    "location_events": true, "location_listener": false, "location_permission": true, "nearby_events": false,
    "network_status": true, "trips_events": false,
    "latitude": 48.85, "longitude": 2.35, "altitude": 35.5, "course": -1.0,
    "horizontal_accuracy": 5.0, "vertical_accuracy": 3.0, "speed": 12, "battery_remaining": 87,
    "activity": "M", "app_context": "F", "user_id": "U1", "tz_offset": "+0100"}, {}])");
  const json converted = AppUtilis::convertToJSONArray({row, json::object()});
  EXPECT_EQ(converted, expected);
  EXPECT_TRUE(converted[0]["speed"].is_number_integer());

  EXPECT_TRUE(AppUtilis::checkAttribute("trips_events"));
  EXPECT_FALSE(AppUtilis::checkAttribute("Trips_events"));
  EXPECT_FALSE(AppUtilis::checkAttribute("trips_event"));
  EXPECT_FALSE(AppUtilis::checkAttribute("latitude"));
}

TEST(AppUtilisConvert, LocationIdOfADictionary) {
  EXPECT_EQ(AppUtilis::getloctionId(json{{"location_id", "abc"}}), "abc");
  EXPECT_EQ(AppUtilis::getloctionId(json{{"location_id", 7}}), "");
  EXPECT_EQ(AppUtilis::getloctionId(json::object()), "");
  EXPECT_EQ(AppUtilis::getloctionId(json::array()), "");
}

// The host's location answer (here a denial) is the host's, not the user's:
// it outlives the user.
TEST_F(DeviceTest, LogoutResetKeepsOnlyKeyPushTokenAndLocationAnswerThenClearsTheDatabase) {
  std::filesystem::remove(root_ + "/etc/machine-id");  // the identifier is then kept in a file
  const std::string uuid = AppUtilis::getUUID();

  SharedUtil::setDefaultString("pk_live_1", kPublishKey);
  SharedUtil::setDefaultString("push-1", kDeviceToken);
  SharedUtil::setDefaultInteger(2, klocationPermissionStatus);
  SharedUtil::setDefaultString("tok-1", kSDKToken);
  SharedUtil::setDefaultString("U1", kUserId);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  SharedUtil::setDefaultDictionary(json{{"a", 1}}, "GPSData");
  // Lines of the log whose records still wait for the settings: the logout
  // takes them too, now and once they would have been written.
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  LoggerManager::sharedInstance().writeLocationToFile("Get User  {\"user_id\":\"U1\"}");

  int cleared = 0;
  device::links::clearLocalDatabase.set([&] { ++cleared; });

  AppUtilis::resetDefaults();
  LoggerManager::flush();

  EXPECT_EQ(cleared, 1);
  auto suite = platform::SettingsSuite::named(kUserDefaultsuiteName);
  std::set<std::string> keys;
  for (const auto& [key, value] : suite->dictionaryRepresentation()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{kPublishKey, kDeviceToken, klocationPermissionStatus}));
  EXPECT_EQ(SharedUtil::getDefaultString(kPublishKey), "pk_live_1");
  EXPECT_EQ(SharedUtil::getDefaultString(kDeviceToken), "push-1");
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus), 2);
  EXPECT_EQ(SharedUtil::getDefaultString(kSDKToken), "");
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(KLocationPublisher));
  // The device's identifier is not a setting: it survives the logout.
  EXPECT_EQ(AppUtilis::getUUID(), uuid);

  // Without a database link the reset still clears the settings.
  device::links::clearLocalDatabase.reset();
  SharedUtil::setDefaultString("U2", kUserId);
  AppUtilis::resetDefaults();
  EXPECT_EQ(SharedUtil::getDefaultString(kUserId), "");
}

}  // namespace
}  // namespace pelk::test

namespace pelk::test {
namespace {

TEST_F(DeviceTest, LogoutClearsTheSuiteTheKitOpenedEvenAfterTheAppIdChanges) {
  const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> savedConfig = oldConfig ? std::optional<std::string>(oldConfig) : std::nullopt;
  ::setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
  platform::Paths::setRoot(std::nullopt);
  SharedUtil::setUserDefaultValue(nullptr);  // the kit opens its suite on first use, as in a host
  SharedUtil::setDefaultString("tok-1", kSDKToken);
  const std::string opened = SharedUtil::userDefaultValue()->path();

  platform::AppInfo::setBundleId("org.example.renamed");  // or "host (deleted)" after an upgrade
  AppUtilis::resetDefaults();
  platform::Paths::setRoot(dir_.path());
  if (savedConfig) {
    ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
  EXPECT_FALSE(platform::SettingsSuite::atPath(opened)->value(kSDKToken));
}

TEST_F(DeviceTest, LogoutRemovesRowsWhoseValuesCannotBeRead) {
  SharedUtil::setDefaultString("pk_live_1", kPublishKey);
  SharedUtil::setDefaultString("U1", kUserId);
  {
    SQLite::Database raw(SharedUtil::userDefaultValue()->path(), SQLite::OPEN_READWRITE);
    SQLite::Statement q(raw, "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?, 0, x'ff00')");
    q.bind(1, kSDKToken);
    q.exec();
  }
  AppUtilis::resetDefaults();
  EXPECT_EQ(SharedUtil::userDefaultValue()->keys(), std::vector<std::string>{kPublishKey});
}

}  // namespace
}  // namespace pelk::test
