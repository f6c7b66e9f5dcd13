#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "messaging/LocationUtils.h"
#include "messaging/LocationMessageFixture.h"
#include "messaging/MqttOfflineLocationUtils.h"

namespace pelk {
namespace {

using nlohmann::json;

class OfflineMessageTest : public test::LocationMessageTest {
 protected:
  // One position buffered with the fixture's readings and ids.
  MqttLocationData bufferedRow(const std::string& activity = "S") {
    storeUser();
    EXPECT_TRUE(buffer_->saveLocationData(
        {test::fixAt(48.5, 9.25), activity, false, 41, std::string("loc-1"), std::string("2024-02-29T23:59:59.500Z")}));
    auto rows = buffer_->fetchDeviceData(0);
    EXPECT_EQ(rows.size(), 1u);
    return rows.empty() ? MqttLocationData{} : rows.front();
  }

  MqttOfflineLocationUtils& utils() { return MqttOfflineLocationUtils::sharedInstance(); }
};

TEST_F(OfflineMessageTest, SingleRowMessageMatchesTheFixtureInBothModes) {
  const auto row = bufferedRow();
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  SharedUtil::setDefaultBoolean(true, kLocationPublishos_version);
  SharedUtil::setDefaultDictionary(json{{"fleet", "south"}}, kLocationPublishMeta_data);
  // Every value is the one recorded with the position, not today's.
  SharedUtil::setDefaultString("u-other", kUserId);
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  EXPECT_EQ(utils().offlineLocationParameter(row), json::parse(R"({
    "latitude": 48.5, "longitude": 9.25, "sdk_version": "p_0.0.5", "publish_only": false,
    "location_id": "loc-1", "activity": "S", "altitude": 12.5, "app_context": "B", "app_id": "app-7",
    "battery_remaining": 87, "battery_status": "charging", "course": 270.0, "gps_status": true,
    "horizontal_accuracy": 4.0, "recorded_at": "2024-02-29T23:59:59.500Z", "location_permission": true,
    "network_status": false, "speed": 41, "tz_offset": "+0530", "user_id": "u-42", "vertical_accuracy": 3.0,
    "location_events": true, "geofence_events": false, "trips_events": true, "nearby_events": false,
    "location_listener": true, "event_listener": false, "tracking_mode": "balanced", "os_version": "12.4",
    "meta-data": {"fleet": "south"}
  })"));

  SharedUtil::setDefaultBoolean(false, kLocationPublishSave);
  SharedUtil::setDefaultBoolean(true, kLocationPublishOnly);  // not what decides the mode
  SharedUtil::setDefaultBoolean(true, kLocationPublishspeed);
  SharedUtil::removeKey(kLocationPublishMeta_data);
  EXPECT_EQ(utils().offlineLocationParameter(row), json::parse(R"({
    "latitude": 48.5, "longitude": 9.25, "sdk_version": "p_0.0.5", "publish_only": true,
    "location_id": "loc-1", "speed": 41, "os_version": "12.4"
  })"));
}

TEST_F(OfflineMessageTest, MissingTextsAndUnwritableNumbersLeaveTheirKeysOut) {
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  MqttLocationData row;  // no texts at all
  row.latitude = 1.5;
  row.longitude = 2.5;
  row.course = std::nan("");
  auto message = utils().offlineLocationParameter(row);
  for (const char* key : {"activity", "app_context", "app_id", "battery_status", "location_id", "recorded_at",
                          "tz_offset", "user_id", "tracking_mode", "course"}) {
    EXPECT_FALSE(message.contains(key)) << key;
  }
  EXPECT_EQ(message.size(), 28u - 10u);  // location_id, eight texts and the course are left out
  EXPECT_FALSE(LocationUtils::getMQTTString(message).empty());
}

TEST_F(OfflineMessageTest, ARowLeavesTheBufferOnlyWhenItsPublishSucceeded) {
  const auto row = bufferedRow();
  broker_.install(buffer_);
  struct Step {
    bool connected, accept;
    std::int64_t left;
  };
  for (const auto& step : {Step{false, false, 1}, Step{true, false, 1}, Step{true, true, 0}}) {
    broker_.set(step.connected, step.accept);
    utils().locationDataToDictionary(row);
    EXPECT_EQ(buffer_->getOfflineLocationCount(), step.left);
  }
  const auto sent = broker_.messages();
  ASSERT_FALSE(sent.empty());
  EXPECT_NE(sent.back().find('\n'), std::string::npos) << "offline messages are pretty-printed";
  EXPECT_EQ(json::parse(sent.back()), utils().offlineLocationParameter(row));
}

TEST_F(OfflineMessageTest, WithTheKitsConnectionDownTheRowStays) {
  const auto row = bufferedRow();
  sending::links::offlineBuffer.set([buffer = buffer_] { return buffer; });
  utils().locationDataToDictionary(row);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 1);
}

TEST_F(OfflineMessageTest, AnUnwritableDictionaryIsNotSentAndReportsFalse) {
  broker_.install();
  int calls = 0;
  LocationUtils::sendOfflineMQTTLocationData(json{{"bad", std::nan("")}}, [&](bool ok) {
    ++calls;
    EXPECT_FALSE(ok);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(broker_.messages().empty());
  LocationUtils::sendOfflineMQTTLocationData(json{{"good", 1}});
  EXPECT_EQ(broker_.messages().size(), 1u);
}

json gpsStatus(const std::string& id) {
  return json{{"app_context", "F"},
              {"app_id", "app-7"},
              {"battery_remaining", 55},
              {"bat_saver", false},
              {"battery_status", "Full"},
              {"device_manufacturer", "TestBoard"},
              {"device_model", "Board"},
              {"gps_status", false},
              {"location_id", id},
              {"location_permission", false},
              {"network_status", true},
              {"os_version", "12.4"},
              {"recorded_at", test::kNowText},
              {"tracking_mode", "passive"},
              {"tz_offset", "+0000"},
              {"user_id", "u-42"}};
}

TEST_F(OfflineMessageTest, GpsStatusIsKeptUntilItWentOut) {
  broker_.install();
  struct Case {
    const char* name;
    std::optional<json> storedBefore;
    json status;
    bool isDelete, connected, accept;
    std::optional<json> storedAfter;
    std::size_t published;
  };
  const auto fresh = gpsStatus("fresh");
  const auto kept = gpsStatus("kept");
  const Case cases[] = {
      {"fresh, sent", std::nullopt, fresh, false, true, true, std::nullopt, 1},
      {"fresh, not connected: kept for later", std::nullopt, fresh, false, false, true, fresh, 0},
      {"fresh, declined: kept for later", std::nullopt, fresh, false, true, false, fresh, 1},
      {"fresh replaces an older kept one", kept, fresh, false, false, true, fresh, 0},
      {"kept, sent: removed", kept, kept, true, true, true, std::nullopt, 1},
      {"kept, declined: stays", kept, kept, true, true, false, kept, 1},
      {"kept, not connected: stays", kept, kept, true, false, true, kept, 0},
      {"kept, sent, but a newer one arrived: the newer stays", fresh, kept, true, true, true, fresh, 1},
  };
  std::size_t published = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::removeKey(kGPSStatus);
    if (c.storedBefore) SharedUtil::setDefaultDictionary(*c.storedBefore, kGPSStatus);
    broker_.set(c.connected, c.accept);
    std::optional<bool> reported;
    LocationUtils::sendGpsStatus(c.status, c.isDelete, [&](bool ok) { reported = ok; });
    EXPECT_EQ(reported, std::optional<bool>(c.connected && c.accept));
    EXPECT_EQ(SharedUtil::getDefaultDictionary(kGPSStatus), c.storedAfter.value_or(json::object()));
    published += c.published;
    ASSERT_EQ(broker_.messages().size(), published);
    if (c.published) {
      EXPECT_EQ(json::parse(broker_.messages().back()), c.status);
      EXPECT_NE(broker_.messages().back().find('\n'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace pelk
