#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "messaging/LocationMessageRecord.h"
#include "messaging/LocationUtils.h"
#include "messaging/LocationMessageFixture.h"
#include "support/FixBuilder.h"

namespace pelk {
namespace {

using nlohmann::json;

PublishMessage record(double latitude = 52.52, double speed = 12.5, std::int64_t battery = 87) {
  return PublishMessage("app-7", "M", 34.5, "F", battery, true, "charging", 90.25, "TestBoard", "Board 3", true, 5,
                        latitude, "65e1c2a0f1e2d3c4b5a69788", false, 13.405, true, "12.4", "2024-03-01T12:00:00.000Z",
                        speed, "active", "+0530", 3, "u-42", true, false, true, false, true, false);
}

TEST(LocationMessageRecord, EncodesAndDecodesEveryField) {
  const auto original = record();
  const auto text = original.jsonString();
  const auto object = json::parse(text);
  EXPECT_EQ(object.size(), 30u);
  for (const char* key : PublishMessage::codingKeys()) EXPECT_TRUE(object.contains(key)) << key;
  EXPECT_EQ(object["battery_saver"], true);
  EXPECT_EQ(text.find('\n'), std::string::npos);

  std::string error;
  const auto back = PublishMessage::decode(object, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->encode(), original.encode());
  EXPECT_EQ(back->battery_remaining(), 87);
  EXPECT_EQ(back->location_id(), "65e1c2a0f1e2d3c4b5a69788");
}

TEST(LocationMessageRecord, NonFiniteNumbersGiveNoText) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(record(nan).jsonString(), "");
  EXPECT_EQ(record(52.52, inf).jsonString(), "");
}

TEST(LocationMessageRecord, SixteenBitBatteryIsSaturatedNeverWrapped) {
  struct Case {
    std::int64_t given;
    std::int16_t kept;
  };
  for (const auto& c : {Case{100, 100}, Case{40000, 32767}, Case{65636, 32767}, Case{-40000, -32768},
                        Case{std::numeric_limits<std::int64_t>::max(), 32767}}) {
    EXPECT_EQ(record(52.52, 1, c.given).battery_remaining(), c.kept) << c.given;
  }
}

TEST(LocationMessageRecord, DecodingNeedsAllThirtyKeysWithTheirTypes) {
  const auto full = record().encode();
  struct Case {
    const char* name;
    std::function<void(json&)> edit;
    bool decodes;
  };
  const Case cases[] = {
      {"as encoded", [](json&) {}, true},
      {"extra keys ignored",
       [](json& j) {
         j["sdk_version"] = "p_0.0.5";
         j["publish_only"] = false;
         j["meta-data"] = json{{"a", 1}};
       },
       true},
      {"event_listener missing", [](json& j) { j.erase("event_listener"); }, false},
      {"event_listener null", [](json& j) { j["event_listener"] = nullptr; }, false},
      {"flag as number", [](json& j) { j["gps_status"] = 1; }, false},
      {"text as number", [](json& j) { j["user_id"] = 42; }, false},
      {"battery 100", [](json& j) { j["battery_remaining"] = 100; }, true},
      {"battery 40000", [](json& j) { j["battery_remaining"] = 40000; }, false},
      {"battery -32769", [](json& j) { j["battery_remaining"] = -32769; }, false},
      {"battery 2.5", [](json& j) { j["battery_remaining"] = 2.5; }, false},
      {"battery -32768.0", [](json& j) { j["battery_remaining"] = -32768.0; }, true},
      {"battery 1e300", [](json& j) { j["battery_remaining"] = 1e300; }, false},
      {"battery -inf", [](json& j) { j["battery_remaining"] = -std::numeric_limits<double>::infinity(); }, false},
      {"battery NaN", [](json& j) { j["battery_remaining"] = std::numeric_limits<double>::quiet_NaN(); }, false},
      {"battery 2^64-1", [](json& j) { j["battery_remaining"] = std::numeric_limits<std::uint64_t>::max(); }, false},
      {"speed as integer", [](json& j) { j["speed"] = 12; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto j = full;
    c.edit(j);
    std::string error;
    const auto decoded = PublishMessage::decode(j, &error);
    EXPECT_EQ(decoded.has_value(), c.decodes) << error;
    if (!c.decodes) {
      EXPECT_FALSE(error.empty());
    }
  }
  auto twelve = full;
  twelve["speed"] = 12;
  EXPECT_EQ(PublishMessage::decode(twelve)->speed(), 12.0);
  EXPECT_FALSE(PublishMessage::decode(json::array()));
}

class RecordOfLiveMessageTest : public test::LocationMessageTest {};

TEST_F(RecordOfLiveMessageTest, OnlyAFullSaveModeMessageDecodes) {
  const platform::Location fix = test::FixBuilder(52.52, 13.405);
  auto message = [&] { return json::parse(LocationUtils::getMQTTString({fix, "M", false, 3, {}, {}}, device_)); };
  EXPECT_FALSE(PublishMessage::decode(message())) << "publish-only";
  SharedUtil::setDefaultBoolean(true, kLocationPublishSave);
  EXPECT_FALSE(PublishMessage::decode(message())) << "save mode without the device keys";
  for (const char* key : {kLocationPublishbattery_saver, kLocationPublishdevice_model,
                          kLocationPublishdevice_manufacturer, kLocationPublishos_version}) {
    SharedUtil::setDefaultBoolean(true, key);
  }
  const auto decoded = PublishMessage::decode(message());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->speed(), 3.0);
  EXPECT_EQ(decoded->device_model(), "Test Board 3");
}

}  // namespace
}  // namespace pelk
