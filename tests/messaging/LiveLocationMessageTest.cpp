#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "messaging/LocationUtils.h"
#include "messaging/LocationMessageFixture.h"
#include "support/FixBuilder.h"

namespace pelk {
namespace {

using nlohmann::json;

constexpr const char* kId = "65e1c2a0f1e2d3c4b5a69788";

platform::Location berlin() {
  return test::FixBuilder(52.52, 13.405).altitude(34.5, 3.0).accuracy(5.0).speed(7.5).course(90.25).takenAt(test::kNow);
}

class LiveMessageTest : public test::LocationMessageTest {
 protected:
  json build(const std::string& activity = "M", bool manual = false, std::optional<std::string> id = kId,
             std::optional<std::string> recordedAt = std::nullopt) {
    const auto text = LocationUtils::getMQTTString({berlin(), activity, manual, 27, id, recordedAt}, device_);
    EXPECT_EQ(text.find('\n'), std::string::npos) << "not compact: " << text;
    EXPECT_EQ(text.find("\": "), std::string::npos) << "not compact: " << text;
    return json::parse(text);
  }
};

TEST_F(LiveMessageTest, SaveModeMessageOfAKnownPositionMatchesTheFixture) {
  storeUser();
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  SharedUtil::setDefaultBoolean(true, kLocationPublishdevice_model);
  SharedUtil::setDefaultDictionary(json{{"fleet", "north"}, {"shift", 2}}, kLocationPublishMeta_data);

  const json expected = json::parse(R"({
    "latitude": 52.52, "longitude": 13.405, "sdk_version": "p_0.0.5",
    "location_id": "65e1c2a0f1e2d3c4b5a69788", "publish_only": false,
    "activity": "M", "altitude": 34.5, "app_context": "B", "app_id": "app-7",
    "battery_remaining": 87, "battery_status": "charging", "course": 90.25, "gps_status": true,
    "horizontal_accuracy": 5.0, "recorded_at": "2024-03-01T12:00:00.000Z", "location_permission": true,
    "network_status": false, "speed": 27, "tz_offset": "+0530", "user_id": "u-42",
    "vertical_accuracy": 3.0, "location_events": true, "geofence_events": false, "trips_events": true,
    "nearby_events": false, "location_listener": true, "event_listener": false,
    "tracking_mode": "balanced", "device_model": "Test Board 3",
    "meta-data": {"fleet": "north", "shift": 2}
  })");
  EXPECT_EQ(build(), expected);
  // Numbers are written in their shortest round-trip form.
  const auto text = LocationUtils::getMQTTString({berlin(), "M", false, 27, std::string(kId), std::nullopt}, device_);
  EXPECT_NE(text.find("\"latitude\":52.52,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"course\":90.25,"), std::string::npos) << text;
}

TEST_F(LiveMessageTest, PublishOnlyMessageCarriesTheCoreAndTheChosenFields) {
  storeUser();
  for (const char* key :
       {kLocationPublishcourse, kLocationPublishactivity, kLocationPublishtz_offset, kLocationPublishbattery_saver}) {
    SharedUtil::setDefaultBoolean(true, key);
  }
  SharedUtil::setDefaultDictionary(json{{"route", {1, 2}}}, kLocationPublishMeta_data);
  const json expected = json::parse(R"({
    "latitude": 52.52, "longitude": 13.405, "sdk_version": "p_0.0.5",
    "location_id": "65e1c2a0f1e2d3c4b5a69788", "publish_only": true,
    "activity": "M", "course": 90.25, "tz_offset": "+0530", "battery_saver": true,
    "meta-data": {"route": [1, 2]}
  })");
  EXPECT_EQ(build(), expected);
}

TEST_F(LiveMessageTest, KeySetFollowsTheModeAndTheSwitches) {
  const std::vector<std::string> core = {"latitude", "location_id", "longitude", "publish_only", "sdk_version"};
  struct Case {
    const char* name;
    std::optional<bool> save;  // nothing: never chosen
    std::vector<const char*> switches;
    std::size_t keys;
    bool publishOnly;
  };
  const Case cases[] = {
      {"never chosen", std::nullopt, {}, 5, true},
      {"publish-only, all off", false, {}, 5, true},
      {"publish-only, airplane mode on", false, {kLocationPublishairplane_mode}, 5, true},
      {"save, all off", true, {}, 28, false},
      {"save, standard switch on changes nothing", true, {kLocationPublishuser_id}, 28, false},
      {"save, four extras on",
       true,
       {kLocationPublishbattery_saver, kLocationPublishdevice_model, kLocationPublishdevice_manufacturer,
        kLocationPublishos_version},
       32,
       false},
      {"publish-only, every switch on",
       false,
       {kLocationPublishactivity,
        kLocationPublishaltitude,
        kLocationPublishapp_context,
        kLocationPublishapp_id,
        kLocationPublishbattery_remaining,
        kLocationPublishbattery_status,
        kLocationPublishcourse,
        kLocationPublishgps_status,
        kLocationPublishhorizontal_accuracy,
        kLocationPublishrecorded_at,
        kLocationPublishlocation_permission,
        kLocationPublishnetwork_status,
        kLocationPublishspeed,
        kLocationPublishtz_offset,
        kLocationPublishuser_id,
        kLocationPublishvertical_accuracy,
        kLocationPublishlocation_events,
        kLocationPublishgeofence_events,
        kLocationPublishtrips_events,
        kLocationPublishnearby_events,
        kLocationPublishlocation_listener,
        kLocationPublishevent_listener,
        kLocationPublishtracking_mode,
        kLocationPublishbattery_saver,
        kLocationPublishdevice_model,
        kLocationPublishdevice_manufacturer,
        kLocationPublishos_version,
        kLocationPublishairplane_mode},
       32,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::resetDefaults();
    if (c.save) SharedUtil::setDefaultBoolean(*c.save, kLocationPublishSave);
    for (const char* key : c.switches) SharedUtil::setDefaultBoolean(true, key);
    const auto message = build();
    EXPECT_EQ(message.size(), c.keys) << message.dump();
    EXPECT_EQ(message["publish_only"], c.publishOnly);
    for (const auto& key : core) EXPECT_TRUE(message.contains(key)) << key;
    EXPECT_FALSE(message.contains("airplane_mode"));
    EXPECT_FALSE(message.contains("meta-data"));
  }
}

TEST_F(LiveMessageTest, RecordedAtUsesTheCallersTimeOrAStoredVisitOnce) {
  struct Case {
    const char* name;
    std::optional<std::string> recordedAt;
    const char* activity;
    bool manual;
    std::optional<std::string> visit;  // stored before
    std::string expected;
    std::optional<std::string> visitAfter;
  };
  const std::string visit = "2024-03-01T11:40:00.000Z";
  const Case cases[] = {
      {"caller's time wins", "2024-02-29T08:00:00.000Z", "S", false, visit, "2024-02-29T08:00:00.000Z", visit},
      {"empty caller's time counts as absent", "", "M", false, std::nullopt, test::kNowText, std::nullopt},
      {"stationary takes the visit and uses it up", std::nullopt, "S", false, visit, visit, std::nullopt},
      {"stationary without a visit is now", std::nullopt, "S", false, std::nullopt, test::kNowText, std::nullopt},
      {"stationary with an empty visit is now", std::nullopt, "S", false, "", test::kNowText, std::nullopt},
      {"moving leaves the visit", std::nullopt, "M", false, visit, test::kNowText, visit},
      {"manual leaves the visit", std::nullopt, "S", true, visit, test::kNowText, visit},
  };
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::removeKey(kVisitDate);
    if (c.visit) SharedUtil::setDefaultString(*c.visit, kVisitDate);
    EXPECT_EQ(build(c.activity, c.manual, kId, c.recordedAt)["recorded_at"], c.expected);
    const auto stored = SharedUtil::userDefaultValue()->value(kVisitDate);
    EXPECT_EQ(stored.has_value(), c.visitAfter.has_value());
    if (stored && c.visitAfter) {
      EXPECT_EQ(*stored->get<std::string>(), *c.visitAfter);
    }
  }
  // A switched-off recorded-at is not computed, so the visit waits.
  SharedUtil::setDefaultBoolean(false, kLocationPublishSave);
  SharedUtil::setDefaultString(visit, kVisitDate);
  EXPECT_FALSE(build("S").contains("recorded_at"));
  EXPECT_EQ(SharedUtil::getDefaultString(kVisitDate), visit);
}

TEST_F(LiveMessageTest, LocationIdAndTrackingModeRules) {
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  for (const std::optional<std::string>& id : {std::optional<std::string>(""), std::optional<std::string>()}) {
    const auto fresh = build("M", false, id)["location_id"].get<std::string>();
    EXPECT_EQ(fresh.size(), 24u);
    EXPECT_EQ(fresh.find_first_not_of("0123456789abcdef"), std::string::npos) << fresh;
  }
  EXPECT_EQ(build("M", false)["tracking_mode"], "active");
  EXPECT_EQ(build("M", true)["tracking_mode"], "manual");
  EXPECT_EQ(build("M", false)["speed"], 27);
}

TEST_F(LiveMessageTest, UnwritableValuesAreLeftOutAndThePositionIsStillSent) {
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  // Stored directly, as an older kit or another writer could have left it.
  SharedUtil::setDefaultDictionary(json{{"ok", "kept"}, {"bad", "\xff\xfe"}, {"nan", std::nan("")}},
                                   kLocationPublishMeta_data);
  auto fix = berlin();
  fix.altitude = std::numeric_limits<double>::quiet_NaN();
  fix.verticalAccuracy = std::numeric_limits<double>::infinity();
  const auto text = LocationUtils::getMQTTString({fix, "M", false, 0, std::string(kId), std::nullopt}, device_);
  ASSERT_FALSE(text.empty());
  const auto message = json::parse(text);
  EXPECT_FALSE(message.contains("altitude"));
  EXPECT_FALSE(message.contains("vertical_accuracy"));
  EXPECT_EQ(message["latitude"], 52.52);
  EXPECT_EQ(message.size(), 27u);  // 28 standard keys less two, and the metadata
  EXPECT_EQ(message["meta-data"], (json{{"ok", "kept"}}));
}

TEST_F(LiveMessageTest, SendingHandsTheMessageToThePublisherAndReportsItsAnswer) {
  broker_.install();
  for (bool accept : {true, false}) {
    broker_.set(true, accept);
    int calls = 0;
    bool result = !accept;
    MqttLocationUtils::mqttLocationData(
        {berlin(), "M", false, 27, std::string(kId), std::nullopt},
        [&](bool ok) {
          ++calls;
          result = ok;
        },
        device_);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(result, accept);
  }
  ASSERT_EQ(broker_.messages().size(), 2u);
  EXPECT_EQ(broker_.messages()[0],
            LocationUtils::getMQTTString({berlin(), "M", false, 27, std::string(kId), std::nullopt}, device_));

  // Without a connection (the kit's own connection, not up) the caller hears false.
  platform::resetAllLinks();
  int calls = 0;
  MqttLocationUtils::mqttLocationData(
      {berlin(), "M", false, 27, std::nullopt, std::nullopt},
      [&](bool ok) {
        ++calls;
        EXPECT_FALSE(ok);
      },
      device_);
  EXPECT_EQ(calls, 1);
  // And a message without a completion is still published.
  broker_.install();
  MqttLocationUtils::mqttLocationData({berlin(), "M", false, 27});
  EXPECT_EQ(broker_.messages().size(), 3u);
}

// gpsd reports a position without a fix with NaN coordinates.
TEST_F(LiveMessageTest, APositionWithoutAFixIsNeverSent) {
  broker_.install();
  broker_.set(true, true);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto& coordinate : {Coordinate{nan, nan}, Coordinate{nan, 13.4}, Coordinate{52.5, -inf}}) {
    auto fix = berlin();
    fix.coordinate = coordinate;
    std::vector<bool> answers;
    MqttLocationUtils::mqttLocationData(
        {fix, "M", false, 27, std::string(kId), std::nullopt}, [&](bool ok) { answers.push_back(ok); }, device_);
    EXPECT_EQ(answers, std::vector<bool>{false});
  }
  EXPECT_TRUE(broker_.messages().empty());
}

}  // namespace
}  // namespace pelk
