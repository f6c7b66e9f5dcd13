#include <gtest/gtest.h>

#include "ModelTestSupport.h"
#include "pelk/PelkEvents.h"

namespace pelk::test {
namespace {

TEST(PelkEventsModel, ReadsEveryFieldByItsKind) {
  const json full = {{"activity", "S"},        {"altitude", 10},
                     {"course", 180.5},        {"created_at", "c"},
                     {"distance", 25},         {"event_source", "geofence"},
                     {"event_type", "entry"},  {"event_version", "2"},
                     {"geofence_id", "g-1"},   {"horizontal_accuracy", 6.5},
                     {"location_id", "l-1"},   {"nearby_user_id", "n-1"},
                     {"recorded_at", "r"},     {"speed", 3.7},
                     {"trip_id", "t-1"},       {"user_id", "u-1"},
                     {"veritcal_accuracy", 2}, {"location", {{"type", "Point"}, {"coordinates", {77.5, 12.9}}}}};
  const std::vector<ModelCase<PelkEvents>> cases = {
      {"full event", full,
       [](const PelkEvents& e) {
         EXPECT_EQ(e.activity(), "S");
         EXPECT_EQ(e.altitude(), D(10.0));
         EXPECT_EQ(e.course(), D(180.5));
         EXPECT_EQ(e.createdAt(), "c");
         EXPECT_EQ(e.distance(), D(25.0));
         EXPECT_EQ(e.eventSource(), "geofence");
         EXPECT_EQ(e.eventType(), "entry");
         EXPECT_EQ(e.eventVersion(), "2");
         EXPECT_EQ(e.geofenceId(), "g-1");
         EXPECT_EQ(e.horizontalAccuracy(), D(6.5));
         EXPECT_EQ(e.locationId(), "l-1");
         EXPECT_EQ(e.nearbyUserId(), "n-1");
         EXPECT_EQ(e.recordedAt(), "r");
         EXPECT_EQ(e.speed(), D(3.7));
         EXPECT_EQ(e.tripId(), "t-1");
         EXPECT_EQ(e.userId(), "u-1");
         EXPECT_EQ(e.veritcalAccuracy(), D(2.0));
         EXPECT_EQ(e.coordinates(), (std::vector<double>{77.5, 12.9}));
       }},
      {"empty: texts null, numbers the integer 0", json::object(),
       [](const PelkEvents& e) {
         for (const auto* t :
              {&e.activity(), &e.createdAt(), &e.eventSource(), &e.eventType(), &e.eventVersion(), &e.geofenceId(),
               &e.locationId(), &e.nearbyUserId(), &e.recordedAt(), &e.tripId(), &e.userId()}) {
           EXPECT_EQ(*t, std::nullopt);
         }
         for (const auto* n :
              {&e.altitude(), &e.course(), &e.distance(), &e.horizontalAccuracy(), &e.speed(), &e.veritcalAccuracy()}) {
           EXPECT_EQ(*n, I(0));
         }
         EXPECT_EQ(e.coordinates(), std::nullopt);
       }},
      {"whole speed becomes a double, text speed stays 0", json{{"speed", 5}, {"distance", "5"}},
       [](const PelkEvents& e) {
         EXPECT_EQ(e.speed(), D(5.0));
         EXPECT_EQ(e.distance(), I(0));
       }},
      {"vertical_accuracy is not the key", json{{"vertical_accuracy", 3.0}},
       [](const PelkEvents& e) { EXPECT_EQ(e.veritcalAccuracy(), I(0)); }},
      {"trip_id of another form", with(full, "trip_id", 12),
       [](const PelkEvents& e) {
         EXPECT_EQ(e.tripId(), std::nullopt);
         EXPECT_EQ(e.userId(), "u-1");
       }},
      {"empty coordinates list", json{{"location", {{"coordinates", json::array()}}}},
       [](const PelkEvents& e) { EXPECT_EQ(e.coordinates(), std::vector<double>{}); }},
      {"three coordinates kept whole", json{{"location", {{"coordinates", {1, 2, 3}}}}},
       [](const PelkEvents& e) {
         EXPECT_EQ(e.coordinates(), (std::vector<double>{1, 2, 3}));
       }},
      {"text coordinate", json{{"location", {{"coordinates", {1, "2"}}}}},
       [](const PelkEvents& e) { EXPECT_EQ(e.coordinates(), std::nullopt); }},
      {"coordinates at the top level", json{{"coordinates", {{"coordinates", {1, 2}}}}},
       [](const PelkEvents& e) { EXPECT_EQ(e.coordinates(), std::nullopt); }},
      {"boolean under a number key", json{{"altitude", true}},
       [](const PelkEvents& e) { EXPECT_EQ(e.altitude(), I(0)); }},
      {"not an object", json("event"), {}},
  };
  runModelCases(cases);
}

TEST(PelkEventsModel, SameDictionaryGivesIndependentObjects) {
  const json d = {{"user_id", "u"}, {"speed", 1.5}};
  auto a = PelkEvents::fromDictionary(d);
  auto b = PelkEvents::fromDictionary(d);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a.get(), b.get());
  a->setSpeed(D(9.0));
  a->setUserId(std::nullopt);
  EXPECT_EQ(b->speed(), D(1.5));
  EXPECT_EQ(b->userId(), "u");
}

}  // namespace
}  // namespace pelk::test
