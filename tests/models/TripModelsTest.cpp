#include <limits>

#include <gtest/gtest.h>

#include "ModelTestSupport.h"
#include "pelk/PelkCreateTrip.h"
#include "pelk/PelkGetTrip.h"
#include "pelk/PelkTrip.h"
#include "pelk/PelkTripEvent.h"
#include "pelk/PelkTripPlace.h"
#include "pelk/PelkTripSummary.h"

namespace pelk::test {
namespace {

const json kFlags = {{"is_deleted", false}, {"is_ended", true}, {"is_started", true}};

// The cases every model with the three required trip flags shares.
template <class Model>
void addRequiredFlagCases(std::vector<ModelCase<Model>>& cases) {
  for (const char* key : {"is_deleted", "is_ended", "is_started"}) {
    cases.push_back({std::string("missing ") + key, without(kFlags, key), {}});
    cases.push_back({std::string(key) + " null", with(kFlags, key, nullptr), {}});
    cases.push_back({std::string(key) + " as 0", with(kFlags, key, 0), {}});
    cases.push_back({std::string(key) + " as text", with(kFlags, key, "false"), {}});
  }
  cases.push_back({"not an object", json::array({kFlags}), {}});
}

TEST(PelkTripModel, FlagsTextsAndThePausedRule) {
  std::vector<ModelCase<PelkTrip>> cases = {
      {"only the required flags", kFlags,
       [](const PelkTrip& t) {
         EXPECT_FALSE(t.deleted());
         EXPECT_TRUE(t.ended());
         EXPECT_TRUE(t.started());
         EXPECT_FALSE(t.paused());
         EXPECT_EQ(t.tripId(), std::nullopt);
         EXPECT_EQ(t.createdAt(), std::nullopt);
         EXPECT_EQ(t.updatedAt(), std::nullopt);
         EXPECT_EQ(t.syncStatus(), std::nullopt);
       }},
      {"all keys",
       with(with(with(with(with(kFlags, "id", "t-1"), "created_at", "c"), "updated_at", "u"), "syncStatus", "synced"),
            "is_paused", true),
       [](const PelkTrip& t) {
         EXPECT_EQ(t.tripId(), "t-1");
         EXPECT_EQ(t.createdAt(), "c");
         EXPECT_EQ(t.updatedAt(), "u");
         EXPECT_EQ(t.syncStatus(), "synced");
         EXPECT_TRUE(t.paused());
       }},
      {"is_paused false", with(kFlags, "is_paused", false), [](const PelkTrip& t) { EXPECT_FALSE(t.paused()); }},
      {"is_paused null is malformed", with(kFlags, "is_paused", nullptr), {}},
      {"is_paused text is malformed", with(kFlags, "is_paused", "false"), {}},
      {"is_paused number is malformed", with(kFlags, "is_paused", 0), {}},
      {"id a number, sync_status not the key", with(with(kFlags, "id", 5), "sync_status", "x"),
       [](const PelkTrip& t) {
         EXPECT_EQ(t.tripId(), std::nullopt);
         EXPECT_EQ(t.syncStatus(), std::nullopt);
         EXPECT_TRUE(t.ended());
       }},
  };
  addRequiredFlagCases(cases);
  runModelCases(cases);
}

TEST(PelkCreateTripModel, FlagsTextsAndPlaces) {
  const json place = {{"id", "p"}, {"reached", true}};
  std::vector<ModelCase<PelkCreateTrip>> cases = {
      {"only the required flags", kFlags,
       [](const PelkCreateTrip& t) {
         EXPECT_FALSE(t.isDeleted());
         EXPECT_TRUE(t.isEnded());
         EXPECT_TRUE(t.isStarted());
         EXPECT_EQ(t.createdAt(), std::nullopt);
         EXPECT_EQ(t.tripId(), std::nullopt);
         EXPECT_EQ(t.tripTrackingUrl(), std::nullopt);
         EXPECT_EQ(t.updatedAt(), std::nullopt);
         EXPECT_EQ(t.userId(), std::nullopt);
         EXPECT_TRUE(t.origins().empty());
         EXPECT_TRUE(t.destinations().empty());
       }},
      {"texts and places",
       with(with(with(with(with(with(kFlags, "id", "t"), "user_id", "u"), "trip_tracking_url", ""), "created_at", "c"),
                 "origins", {place}),
            "destinations", {place, json::object()}),
       [](const PelkCreateTrip& t) {
         EXPECT_EQ(t.tripId(), "t");
         EXPECT_EQ(t.userId(), "u");
         EXPECT_EQ(t.tripTrackingUrl(), "");
         EXPECT_EQ(t.createdAt(), "c");
         ASSERT_EQ(t.origins().size(), 1u);
         EXPECT_EQ(t.origins()[0]->id(), "p");
         ASSERT_EQ(t.destinations().size(), 2u);
         EXPECT_TRUE(t.destinations()[0]->reached());
         EXPECT_EQ(t.destinations()[1]->id(), std::nullopt);
       }},
      {"is_paused is not read", with(kFlags, "is_paused", "not a flag"),
       [](const PelkCreateTrip& t) { EXPECT_TRUE(t.isStarted()); }},
  };
  addRequiredFlagCases(cases);
  runModelCases(cases);
}

TEST(PelkTripPlaceModels, OriginAndDestinationReadAlike) {
  const std::vector<std::pair<const char*, json>> inputs = {
      {"empty", json::object()},
      {"full",
       {{"id", "p-1"},
        {"trip_id", "t-1"},
        {"loc_type", "point"},
        {"reached", true},
        {"created_at", "c"},
        {"updated_at", "u"},
        {"coordinates", {{"type", "Point"}, {"coordinates", {77.1, 12.2}}}}}},
      {"list given directly", {{"coordinates", {77.1, 12.2}}}},
      {"empty inner list", {{"coordinates", {{"coordinates", json::array()}}}}},
      {"three numbers", {{"coordinates", {{"coordinates", {1, 2, 3}}}}}},
      {"values of other forms", {{"id", 1}, {"reached", "true"}, {"loc_type", nullptr}}},
  };
  using V = std::optional<std::vector<double>>;
  const std::vector<V> expectedCoordinates = {std::nullopt,          std::vector<double>{77.1, 12.2}, std::nullopt,
                                              std::vector<double>{}, std::vector<double>{1, 2, 3},    std::nullopt};
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i].first);
    auto o = PelkTripOrigin::fromDictionary(inputs[i].second);
    auto d = PelkTripDestination::fromDictionary(inputs[i].second);
    ASSERT_TRUE(o && d);
    EXPECT_EQ(o->coordinates(), expectedCoordinates[i]);
    const bool full = i == 1;
    EXPECT_EQ(o->id(), full ? std::optional<std::string>("p-1") : std::nullopt);
    EXPECT_EQ(o->tripId(), full ? std::optional<std::string>("t-1") : std::nullopt);
    EXPECT_EQ(o->locType(), full ? std::optional<std::string>("point") : std::nullopt);
    EXPECT_EQ(o->createdAt(), full ? std::optional<std::string>("c") : std::nullopt);
    EXPECT_EQ(o->updatedAt(), full ? std::optional<std::string>("u") : std::nullopt);
    EXPECT_EQ(o->reached(), full);
    // The twin holds the same values field by field.
    EXPECT_EQ(d->coordinates(), o->coordinates());
    EXPECT_EQ(d->id(), o->id());
    EXPECT_EQ(d->tripId(), o->tripId());
    EXPECT_EQ(d->locType(), o->locType());
    EXPECT_EQ(d->createdAt(), o->createdAt());
    EXPECT_EQ(d->updatedAt(), o->updatedAt());
    EXPECT_EQ(d->reached(), o->reached());
  }
  EXPECT_EQ(PelkTripOrigin::fromDictionary(json::array()), nullptr);
  EXPECT_EQ(PelkTripDestination::fromDictionary(json(nullptr)), nullptr);
}

TEST(PelkTripEventModel, TextsAndTheRequiredDeletedFlag) {
  const json texts = {{"created_at", "c"}, {"event_type", "started"},   {"id", "e-1"},         {"trip_id", "t-1"},
                      {"user_id", "u-1"},  {"user_location_id", "l-1"}, {"event_source", "x"}, {"updated_at", "y"}};
  const std::vector<ModelCase<PelkTripEvent>> cases = {
      {"only is_deleted", json{{"is_deleted", true}},
       [](const PelkTripEvent& e) {
         EXPECT_TRUE(e.isDeleted());
         for (const auto* t :
              {&e.createdAt(), &e.eventType(), &e.id(), &e.tripId(), &e.userId(), &e.userLocationId()}) {
           EXPECT_EQ(*t, std::nullopt);
         }
       }},
      {"all texts", with(texts, "is_deleted", false),
       [](const PelkTripEvent& e) {
         EXPECT_FALSE(e.isDeleted());
         EXPECT_EQ(e.createdAt(), "c");
         EXPECT_EQ(e.eventType(), "started");
         EXPECT_EQ(e.id(), "e-1");
         EXPECT_EQ(e.tripId(), "t-1");
         EXPECT_EQ(e.userId(), "u-1");
         EXPECT_EQ(e.userLocationId(), "l-1");
       }},
      {"ids of another form, location_id not the key",
       json{{"is_deleted", false}, {"id", 1}, {"trip_id", 2}, {"user_id", "u"}, {"location_id", "l"}},
       [](const PelkTripEvent& e) {
         EXPECT_EQ(e.id(), std::nullopt);
         EXPECT_EQ(e.tripId(), std::nullopt);
         EXPECT_EQ(e.userId(), "u");
         EXPECT_EQ(e.userLocationId(), std::nullopt);
       }},
      {"is_deleted missing", texts, {}},
      {"is_deleted null", with(texts, "is_deleted", nullptr), {}},
      {"is_deleted as 1", with(texts, "is_deleted", 1), {}},
      {"not an object", json(1), {}},
  };
  runModelCases(cases);
}

TEST(PelkGetTripModel, FieldsKindsAndRequiredFlags) {
  std::vector<ModelCase<PelkGetTrip>> cases = {
      {"only the required flags", kFlags,
       [](const PelkGetTrip& t) {
         EXPECT_FALSE(t.isDeleted());
         EXPECT_TRUE(t.isEnded());
         EXPECT_TRUE(t.isStarted());
         EXPECT_FALSE(t.isPaused());
         for (const auto* s : {&t.createdAt(), &t.tripId(), &t.projectId(), &t.tripEndedAt(), &t.tripStartedAt(),
                               &t.updatedAt(), &t.userId()}) {
           EXPECT_EQ(*s, std::nullopt);
         }
         EXPECT_EQ(t.distanceCovered(), I(0));
         EXPECT_EQ(t.duration(), I(0));
         EXPECT_TRUE(t.events().empty());
         EXPECT_TRUE(t.origins().empty());
         EXPECT_TRUE(t.destinations().empty());
       }},
      {"numbers keep their types", with(with(kFlags, "duration", 600), "distance_covered", 42),
       [](const PelkGetTrip& t) {
         EXPECT_EQ(t.duration(), F(600.0f));
         EXPECT_EQ(t.distanceCovered(), D(42.0));
       }},
      {"fractional duration is rounded to a float", with(kFlags, "duration", 0.1),
       [](const PelkGetTrip& t) { EXPECT_EQ(t.duration(), F(0.1f)); }},
      {"the text of the largest float reads as that float", with(kFlags, "duration", 3.4028235e38),
       [](const PelkGetTrip& t) { EXPECT_EQ(t.duration(), F(std::numeric_limits<float>::max())); }},
      {"duration beyond the float range keeps its default", with(kFlags, "duration", 1e300),
       [](const PelkGetTrip& t) { EXPECT_EQ(t.duration(), I(0)); }},
      {"texts and is_paused",
       with(with(with(with(with(with(with(with(kFlags, "id", "t"), "project_id", "p"), "trip_started_at", "s"),
                                "trip_ended_at", "e"),
                           "updated_at", "u"),
                      "user_id", "usr"),
                 "created_at", "c"),
            "is_paused", true),
       [](const PelkGetTrip& t) {
         EXPECT_EQ(t.tripId(), "t");
         EXPECT_EQ(t.projectId(), "p");
         EXPECT_EQ(t.tripStartedAt(), "s");
         EXPECT_EQ(t.tripEndedAt(), "e");
         EXPECT_EQ(t.updatedAt(), "u");
         EXPECT_EQ(t.userId(), "usr");
         EXPECT_EQ(t.createdAt(), "c");
         EXPECT_TRUE(t.isPaused());
       }},
      {"is_paused of another form reads false", with(kFlags, "is_paused", nullptr),
       [](const PelkGetTrip& t) { EXPECT_FALSE(t.isPaused()); }},
      {"trip_id is not the trip's id", with(kFlags, "trip_id", "t"),
       [](const PelkGetTrip& t) { EXPECT_EQ(t.tripId(), std::nullopt); }},
      {"an event without its required flag makes the trip malformed",
       with(kFlags, "events", {{{"is_deleted", false}}, {{"id", "e-2"}}}),
       {}},
  };
  addRequiredFlagCases(cases);
  runModelCases(cases);
}

TEST(PelkTripSummaryModel, FieldsAndRoutePoints) {
  const std::vector<ModelCase<PelkTripSummary>> summaries = {
      {"empty", json::object(),
       [](const PelkTripSummary& s) {
         EXPECT_EQ(s.distanceCovered(), I(0));
         EXPECT_EQ(s.duration(), I(0));
         EXPECT_EQ(s.totalElevationGain(), I(0));
         for (const auto* t : {&s.projectId(), &s.tripId(), &s.tripStatus(), &s.userId()}) {
           EXPECT_EQ(*t, std::nullopt);
         }
         EXPECT_TRUE(s.route().empty());
       }},
      {"full",
       json{{"distance_covered", 1500},
            {"duration", 125},
            {"total_elevation_gain", 12.5},
            {"project_id", "p"},
            {"trip_id", "t"},
            {"trip_status", "ended"},
            {"user_id", "u"},
            {"unknown", 1}},
       [](const PelkTripSummary& s) {
         EXPECT_EQ(s.distanceCovered(), D(1500.0));
         EXPECT_EQ(s.duration(), I(125));
         EXPECT_EQ(s.totalElevationGain(), D(12.5));
         EXPECT_EQ(s.projectId(), "p");
         EXPECT_EQ(s.tripId(), "t");
         EXPECT_EQ(s.tripStatus(), "ended");
         EXPECT_EQ(s.userId(), "u");
       }},
      {"fractional duration and text numbers stay 0", json{{"duration", 12.5}, {"distance_covered", "1500"}},
       [](const PelkTripSummary& s) {
         EXPECT_EQ(s.duration(), I(0));
         EXPECT_EQ(s.distanceCovered(), I(0));
       }},
      {"not an object", json::array(), {}},
  };
  runModelCases(summaries);

  const std::vector<ModelCase<PelkTripSummaryRoute>> points = {
      {"empty point", json::object(),
       [](const PelkTripSummaryRoute& r) {
         EXPECT_EQ(r.activity(), std::nullopt);
         EXPECT_EQ(r.recordedAt(), std::nullopt);
         EXPECT_EQ(r.coordinates(), std::nullopt);
         for (const auto* n : {&r.altitude(), &r.elevationGain(), &r.distance(), &r.duration()}) {
           EXPECT_EQ(*n, I(0));
         }
       }},
      {"full point",
       json{{"activity", "M"},
            {"altitude", 920},
            {"elevation_gain", 1.5},
            {"distance", 30},
            {"duration", 7.0},
            {"recorded_at", "r"},
            {"coordinates", {{"coordinates", {77.1, 12.2}}}}},
       [](const PelkTripSummaryRoute& r) {
         EXPECT_EQ(r.activity(), "M");
         EXPECT_EQ(r.altitude(), D(920.0));
         EXPECT_EQ(r.elevationGain(), D(1.5));
         EXPECT_EQ(r.distance(), D(30.0));
         EXPECT_EQ(r.duration(), I(7));
         EXPECT_EQ(r.recordedAt(), "r");
         EXPECT_EQ(r.coordinates(), (std::vector<double>{77.1, 12.2}));
       }},
      {"fractional duration, bare list", json{{"duration", 12.5}, {"coordinates", {1, 2}}},
       [](const PelkTripSummaryRoute& r) {
         EXPECT_EQ(r.duration(), I(0));
         EXPECT_EQ(r.coordinates(), std::nullopt);
       }},
      {"empty inner list", json{{"coordinates", {{"coordinates", json::array()}}}},
       [](const PelkTripSummaryRoute& r) { EXPECT_EQ(r.coordinates(), std::vector<double>{}); }},
      {"not an object", json("p"), {}},
  };
  runModelCases(points);
}

// The list fields of the created trip, the trip details and the summary read
// a list only as a whole; the details and the summary also take a list of
// already built children, which replaces whatever the dictionary gave.
TEST(ChildListReading, EveryListFieldAcceptsOnlyWholeLists) {
  const json a = {{"id", "a"}, {"is_deleted", false}, {"activity", "a"}};
  const json b = {{"id", "b"}, {"is_deleted", true}, {"activity", "b"}};
  struct Row {
    const char* name;
    json value;                         // discarded: key missing
    std::vector<std::string> expected;  // the children's marks, in order
  };
  const std::vector<Row> rows = {
      {"missing", json(json::value_t::discarded), {}},
      {"null", nullptr, {}},
      {"text", "[]", {}},
      {"number", 3, {}},
      {"single object", a, {}},
      {"empty list", json::array(), {}},
      {"two objects", {a, b}, {"a", "b"}},
      {"three objects in order", {b, a, b}, {"b", "a", "b"}},
      {"objects and a number", {a, b, 1}, {}},
      {"objects and a null", {a, nullptr}, {}},
      {"a nested list", json::array({json::array({a})}), {}},
  };
  auto createMarks = [](const json& d, const char* key) {
    auto t = PelkCreateTrip::fromDictionary(d);
    std::vector<std::string> out;
    if (!t) return std::vector<std::string>{"<refused>"};
    if (std::string(key) == "origins") {
      for (auto& p : t->origins()) out.push_back(p->id().value_or("?"));
    } else {
      for (auto& p : t->destinations()) out.push_back(p->id().value_or("?"));
    }
    return out;
  };
  auto detailMarks = [](const json& d, const char* key) {
    auto t = PelkGetTrip::fromDictionary(d);
    std::vector<std::string> out;
    if (!t) return std::vector<std::string>{"<refused>"};
    const std::string k = key;
    if (k == "origins") {
      for (auto& p : t->origins()) out.push_back(p->id().value_or("?"));
    } else if (k == "destinations") {
      for (auto& p : t->destinations()) out.push_back(p->id().value_or("?"));
    } else {
      for (auto& e : t->events()) out.push_back(e->id().value_or("?"));
    }
    return out;
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    for (const char* key : {"origins", "destinations"}) {
      SCOPED_TRACE(key);
      EXPECT_EQ(createMarks(with(kFlags, key, r.value), key), r.expected);
      EXPECT_EQ(detailMarks(with(kFlags, key, r.value), key), r.expected);
    }
    EXPECT_EQ(detailMarks(with(kFlags, "events", r.value), "events"), r.expected);

    auto s = PelkTripSummary::fromDictionary(with(json::object(), "route", r.value));
    ASSERT_NE(s, nullptr);
    std::vector<std::string> route;
    for (auto& p : s->route()) route.push_back(p->activity().value_or("?"));
    EXPECT_EQ(route, r.expected);
  }
}

TEST(ChildListReading, BuiltChildrenReplaceTheFirstReadingAsTheSameObjects) {
  auto e1 = PelkTripEvent::fromDictionary({{"id", "local-1"}, {"is_deleted", false}});
  auto e2 = PelkTripEvent::fromDictionary({{"id", "local-2"}, {"is_deleted", false}});
  auto p1 = PelkTripSummaryRoute::fromDictionary({{"activity", "M"}, {"altitude", 5.0}});
  ASSERT_TRUE(e1 && e2 && p1);
  const json local = with(with(with(kFlags, "origins", json::array()), "destinations", json::array()), "events",
                          {{{"id", "server"}, {"is_deleted", false}}});

  struct Row {
    const char* name;
    std::vector<std::shared_ptr<PelkTripEvent>> built;
    std::vector<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"built list wins", {e1, e2}, {"local-1", "local-2"}},
      {"empty built list", {}, {}},
      {"a null element is not a built list", {e1, nullptr}, {"server"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    auto t = PelkGetTrip::fromDictionary(local, r.built);
    ASSERT_NE(t, nullptr);
    std::vector<std::string> ids;
    for (auto& e : t->events()) ids.push_back(e->id().value_or("?"));
    EXPECT_EQ(ids, r.expected);
    EXPECT_TRUE(t->origins().empty());
    EXPECT_TRUE(t->destinations().empty());
  }
  auto t = PelkGetTrip::fromDictionary(kFlags, {e2, e1});
  ASSERT_TRUE(t && t->events().size() == 2);
  EXPECT_EQ(t->events()[0], e2);  // the same objects, in the given order
  EXPECT_EQ(t->events()[1], e1);
  EXPECT_EQ(PelkGetTrip::fromDictionary(without(kFlags, "is_ended"), {e1}), nullptr);

  auto s = PelkTripSummary::fromDictionary({{"trip_id", "t"}, {"route", {{{"activity", "S"}}}}}, {p1});
  ASSERT_TRUE(s && s->route().size() == 1);
  EXPECT_EQ(s->route()[0], p1);
  EXPECT_EQ(s->route()[0]->distance(), I(0));
  EXPECT_EQ(s->tripId(), "t");
  auto kept = PelkTripSummary::fromDictionary({{"route", {{{"activity", "S"}}}}}, {nullptr});
  ASSERT_TRUE(kept && kept->route().size() == 1);
  EXPECT_EQ(kept->route()[0]->activity(), "S");
}

}  // namespace
}  // namespace pelk::test
