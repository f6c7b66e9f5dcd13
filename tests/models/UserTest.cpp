#include <gtest/gtest.h>

#include "ModelTestSupport.h"
#include "pelk/PelkUser.h"

namespace pelk::test {
namespace {

const json kData = {{"user_id", "u-1"},           {"geofence_events", true},  {"event_listener", true},
                    {"location_listener", false}, {"location_events", false}, {"trips_events", true},
                    {"nearby_events", false}};

json body(const json& data) { return {{"data", data}, {"code", 200}}; }

TEST(PelkUserModel, ReadsTheDataObjectAndRefusesMalformedReplies) {
  std::vector<ModelCase<PelkUser>> cases = {
      {"only required keys", body(kData),
       [](const PelkUser& u) {
         EXPECT_EQ(u.userId(), "u-1");
         EXPECT_EQ(u.userDescription(), std::nullopt);
         EXPECT_TRUE(u.geofenceEvents());
         EXPECT_TRUE(u.eventsListener());
         EXPECT_FALSE(u.locationListener());
         EXPECT_FALSE(u.locationEvents());
         EXPECT_TRUE(u.tripsEvents());
         EXPECT_FALSE(u.nearbyEvents());
         EXPECT_EQ(u.account_id(), "");
         EXPECT_EQ(u.project_id(), "");
       }},
      {"optional texts present",
       body(with(with(with(kData, "description", "driver"), "account_id", "acc"), "project_id", "prj")),
       [](const PelkUser& u) {
         EXPECT_EQ(u.userDescription(), "driver");
         EXPECT_EQ(u.account_id(), "acc");
         EXPECT_EQ(u.project_id(), "prj");
       }},
      {"optional texts of another form", body(with(with(kData, "description", 5), "account_id", 42)),
       [](const PelkUser& u) {
         EXPECT_EQ(u.userDescription(), std::nullopt);
         EXPECT_EQ(u.account_id(), "");
       }},
      {"switch keys read by their own names",
       body(with(with(kData, "event_listener", false), "location_listener", true)),
       [](const PelkUser& u) {
         EXPECT_FALSE(u.eventsListener());
         EXPECT_TRUE(u.locationListener());
       }},
      {"no data", json{{"code", 200}}, {}},
      {"data not an object", body(json::array({kData})), {}},
      {"keys at the top level", kData, {}},
      {"user_id a number", body(with(kData, "user_id", 7)), {}},
      {"user_id missing", body(without(kData, "user_id")), {}},
      {"switch as a number", body(with(kData, "trips_events", 1)), {}},
      {"switch as text", body(with(kData, "nearby_events", "true")), {}},
      {"switch null", body(with(kData, "geofence_events", nullptr)), {}},
      {"body not an object", json::array(), {}},
  };
  for (const char* key :
       {"geofence_events", "event_listener", "location_listener", "location_events", "trips_events", "nearby_events"}) {
    cases.push_back({std::string("missing ") + key, body(without(kData, key)), {}});
  }
  runModelCases(cases);
}

TEST(PelkUserModel, SettingASwitchChangesOnlyThatObject) {
  auto a = PelkUser::fromDictionary(body(kData));
  auto b = PelkUser::fromDictionary(body(kData));
  ASSERT_TRUE(a && b);
  a->setGeofenceEvents(false);
  a->setNearbyEvents(true);
  EXPECT_FALSE(a->geofenceEvents());
  EXPECT_TRUE(a->nearbyEvents());
  EXPECT_TRUE(b->geofenceEvents());
  EXPECT_FALSE(b->nearbyEvents());
}

}  // namespace
}  // namespace pelk::test
