// The JSON text the C interface hands over for each result model: the keys the
// model's reader takes, and every number in the type the model holds it (an
// integer stays an integer, a floating-point value keeps its fraction).  Server
// replies through the local REST server, the local trip store's own trips, and
// broker messages through the delegate dispatcher.

#include <set>

#include "OfflineTripsFixture.h"
#include "messaging/LocationSending.h"
#include "pelk/pelk.h"
#include "platform/Clock.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "tracking/BaseCLManager.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;

// The text one C handler call received.
struct Handed {
  std::mutex mutex;
  int calls = 0;
  std::optional<std::string> text;
  std::string code;

  static void on(void* context, const char* text, const char* code, const char*) {
    auto* h = static_cast<Handed*>(context);
    std::lock_guard lock(h->mutex);
    ++h->calls;
    h->text = text ? std::optional<std::string>(text) : std::nullopt;
    h->code = code ? code : "";
  }
  // Waits for the one call, which must bring no error, and answers its text.
  std::optional<std::string> wait() {
    EXPECT_TRUE(waitFor([&] {
      std::lock_guard lock(mutex);
      return calls > 0;
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(code, "");
    return text;
  }
  // The text parsed (null when none came).
  json get() {
    const auto t = wait();
    return t ? json::parse(*t) : json();
  }
};

// Compared as text: a parsed 125 and 125.0 compare equal, their texts do not.
void expectSameText(const json& handed, const std::string& expected) {
  EXPECT_EQ(handed.dump(), json::parse(expected).dump());
}

class CApiResultsTest : public OfflineTripsTest {
 protected:
  ~CApiResultsTest() override { pelk_set_delegate(nullptr); }

  // A trip action of the C interface, answered once the fix it waits for came.
  void act(const std::function<void(Handed&)>& action, double lat) {
    Handed h;
    action(h);
    auto l = fixAt(lat);
    l.altitude = 31;
    sim_->deliverFix(l);
    platform::Dispatch::drainMain();
    h.wait();
  }
};

TEST_F(CApiResultsTest, ServerRecordsArriveUnderTheServersKeysWithTheirNumberTypes) {
  struct Case {
    const char* name;
    const char* path;
    const char* reply;
    std::function<void(Handed&)> call;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"created trip: id, origins and destinations, places' coordinates nested", "/v3/trips/v2/create/",
       R"({"code":201,"data":[{"id":"srv-1","user_id":"u1","is_deleted":false,"is_ended":false,
           "is_started":true,"trip_tracking_url":"https://t.example/srv-1","created_at":"c","updated_at":"u",
           "origins":[{"id":"o-1","trip_id":"srv-1","loc_type":"origin","reached":true,"created_at":"c",
                       "updated_at":"u","coordinates":{"type":"Point","coordinates":[13,52.5]}}],
           "destinations":[{"id":"d-1"}]}]})",
       [](Handed& h) { pelk_create_trip(false, nullptr, Handed::on, &h); },
       R"({"id":"srv-1","user_id":"u1","is_deleted":false,"is_ended":false,"is_started":true,
           "trip_tracking_url":"https://t.example/srv-1","created_at":"c","updated_at":"u",
           "origins":[{"id":"o-1","trip_id":"srv-1","loc_type":"origin","reached":true,"created_at":"c",
                       "updated_at":"u","coordinates":{"coordinates":[13.0,52.5]}}],
           "destinations":[{"id":"d-1","trip_id":null,"loc_type":null,"reached":false,"created_at":null,
                            "updated_at":null,"coordinates":null}]})"},
      {"active trips: id and syncStatus", "/v3/trips/active/v2/u1/",
       R"({"code":200,"data":[{"id":"srv-2","is_deleted":false,"is_ended":false,"is_started":true,
           "is_paused":true,"created_at":"c","updated_at":"u","syncStatus":"synced","user_id":"u1"}]})",
       [](Handed& h) { pelk_active_trips(false, Handed::on, &h); },
       R"([{"id":"srv-2","is_deleted":false,"is_ended":false,"is_started":true,"is_paused":true,
            "created_at":"c","updated_at":"u","syncStatus":"synced"}])"},
      {"trip details: a 32-bit duration keeps its short form, events keep their keys", "/v3/trips/v2/get/srv-1/",
       R"({"code":200,"data":[{"id":"srv-1","user_id":"u1","project_id":"p1","is_deleted":false,
           "is_ended":true,"is_paused":false,"is_started":true,"created_at":"c","updated_at":"u",
           "trip_started_at":"s","trip_ended_at":"e","distance_covered":42,"duration":12.3,
           "origins":[],"destinations":[],
           "events":[{"id":"ev-1","trip_id":"srv-1","user_id":"u1","event_type":"started",
                      "user_location_id":"loc-1","created_at":"c","is_deleted":false}]}]})",
       [](Handed& h) { pelk_get_trip_details("srv-1", Handed::on, &h); },
       R"({"id":"srv-1","user_id":"u1","project_id":"p1","is_deleted":false,"is_ended":true,"is_paused":false,
           "is_started":true,"created_at":"c","updated_at":"u","trip_started_at":"s","trip_ended_at":"e",
           "distance_covered":42.0,"duration":12.3,"origins":[],"destinations":[],
           "events":[{"id":"ev-1","trip_id":"srv-1","user_id":"u1","event_type":"started",
                      "user_location_id":"loc-1","created_at":"c","is_deleted":false}]})"},
      {"trip details: numbers the server left out are the integer 0", "/v3/trips/v2/get/srv-3/",
       R"({"code":200,"data":[{"id":"srv-3","is_deleted":true,"is_ended":true,"is_started":true,
           "duration":"600"}]})",
       [](Handed& h) { pelk_get_trip_details("srv-3", Handed::on, &h); },
       R"({"id":"srv-3","user_id":null,"project_id":null,"is_deleted":true,"is_ended":true,"is_paused":false,
           "is_started":true,"created_at":null,"updated_at":null,"trip_started_at":null,"trip_ended_at":null,
           "distance_covered":0,"duration":0,"origins":[],"destinations":[],"events":[]})"},
      {"trip summary: integer durations, floating-point distances", "/v3/trips/v2/summary/srv-1/",
       R"({"code":200,"data":{"trip_id":"srv-1","user_id":"u1","project_id":"p1","trip_status":"end",
           "distance_covered":1500,"duration":125,"total_elevation_gain":3.5,
           "route":[{"activity":"M","altitude":30,"elevation_gain":0.5,"distance":10,"duration":4,
                     "coordinates":{"coordinates":[13.4,52.5]},"recorded_at":"r"},
                    {"duration":4.5}]}})",
       [](Handed& h) { pelk_get_trip_summary("srv-1", Handed::on, &h); },
       R"({"trip_id":"srv-1","user_id":"u1","project_id":"p1","trip_status":"end","distance_covered":1500.0,
           "duration":125,"total_elevation_gain":3.5,
           "route":[{"activity":"M","altitude":30.0,"elevation_gain":0.5,"distance":10.0,"duration":4,
                     "coordinates":{"coordinates":[13.4,52.5]},"recorded_at":"r"},
                    {"activity":null,"altitude":0,"elevation_gain":0,"distance":0,"duration":0,
                     "coordinates":null,"recorded_at":null}]})"},
      // Last: creating a user changes the stored user id the trip paths carry.
      {"user: the record under data, without the app id", "/v3/user/",
       R"({"code":200,"msg":"ok","data":{"user_id":"u-1","app_id":"app-9","geofence_events":true,
           "location_events":false,"nearby_events":true,"trips_events":false,"location_listener":true,
           "event_listener":false,"account_id":"acc-1","project_id":"prj-1"}})",
       [](Handed& h) { pelk_create_user("d", Handed::on, &h); },
       R"({"user_id":"u-1","description":null,"geofence_events":true,"location_events":false,
           "nearby_events":true,"trips_events":false,"location_listener":true,"event_listener":false,
           "account_id":"acc-1","project_id":"prj-1"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.setDefault(c.path, ScriptedReply::json(c.reply));
    Handed h;
    c.call(h);
    expectSameText(h.get(), c.expected);
  }
}

TEST_F(CApiResultsTest, TripsOfTheLocalStoreArriveUnderTheServersKeys) {
  setOnline(false);
  Handed created;
  pelk_create_trip(true, nullptr, Handed::on, &created);
  const json createdTrip = created.get();
  ASSERT_TRUE(createdTrip.contains("id") && createdTrip.at("id").is_string()) << createdTrip.dump();
  const std::string id = createdTrip.at("id");
  EXPECT_FALSE(createdTrip.contains("trip_id"));
  EXPECT_EQ(createdTrip.at("origins"), json::array());
  EXPECT_EQ(createdTrip.at("destinations"), json::array());
  const char* trip = id.c_str();
  act([&](Handed& h) { pelk_start_trip(trip, nullptr, Handed::on, &h); }, 52.5);
  act([&](Handed& h) { pelk_pause_trip(trip, Handed::on, &h); }, 52.501);
  act([&](Handed& h) { pelk_resume_trip(trip, Handed::on, &h); }, 52.502);
  act([&](Handed& h) { pelk_stop_trip(trip, Handed::on, &h); }, 52.503);

  Handed list;
  pelk_active_trips(true, Handed::on, &list);
  const json trips = list.get();
  ASSERT_EQ(trips.size(), 1u) << trips.dump();
  EXPECT_EQ(trips[0].at("id"), id);
  EXPECT_TRUE(trips[0].contains("syncStatus")) << trips.dump();
  EXPECT_FALSE(trips[0].contains("sync_status") || trips[0].contains("trip_id"));

  Handed detailsCall;
  pelk_get_trip_details(id.c_str(), Handed::on, &detailsCall);
  const json details = detailsCall.get();
  EXPECT_EQ(details.at("id"), id);
  EXPECT_FALSE(details.contains("trip_id") || details.contains("origin") || details.contains("destination"));
  EXPECT_EQ(details.at("origins"), json::array());
  EXPECT_EQ(details.at("destinations"), json::array());
  EXPECT_TRUE(details.at("duration").is_number_float());
  ASSERT_FALSE(details.at("events").empty()) << details.dump();
  const std::set<std::string> eventKeys = {"created_at", "event_type", "id",      "is_deleted",
                                           "trip_id",    "user_id",    "user_location_id"};
  for (const auto& e : details.at("events")) {
    std::set<std::string> keys;
    for (const auto& item : e.items()) keys.insert(item.key());
    EXPECT_EQ(keys, eventKeys);
  }

  Handed summaryCall;
  pelk_get_trip_summary(id.c_str(), Handed::on, &summaryCall);
  const json summary = summaryCall.get();
  EXPECT_EQ(summary.at("trip_id"), id);
  EXPECT_TRUE(summary.at("duration").is_number_integer());
  EXPECT_TRUE(summary.at("distance_covered").is_number_float());
  ASSERT_FALSE(summary.at("route").empty()) << summary.dump();
  for (const auto& point : summary.at("route")) {
    // What the store does not record stays the integer 0 of the model.
    for (const char* zero : {"duration", "distance", "elevation_gain"}) {
      EXPECT_EQ(point.at(zero).dump(), "0") << zero;
    }
    EXPECT_TRUE(point.at("altitude").is_number_float());
    EXPECT_EQ(point.at("coordinates").at("coordinates").size(), 2u) << point.dump();
  }

  // Handed back to the models' readers, the texts rebuild the same trips.
  const auto rebuiltDetails = PelkGetTrip::fromDictionary(details);
  ASSERT_TRUE(rebuiltDetails);
  EXPECT_EQ(rebuiltDetails->tripId(), std::optional<std::string>(id));
  EXPECT_EQ(rebuiltDetails->events().size(), details.at("events").size());
  EXPECT_EQ(rebuiltDetails->duration().floatValue(), details.at("duration").get<float>());
  const auto rebuiltSummary = PelkTripSummary::fromDictionary(summary);
  ASSERT_TRUE(rebuiltSummary);
  ASSERT_EQ(rebuiltSummary->route().size(), summary.at("route").size());
  EXPECT_EQ(rebuiltSummary->route()[0]->coordinates(),
            summary.at("route")[0].at("coordinates").at("coordinates").get<std::vector<double>>());
  const auto rebuiltTrip = PelkTrip::fromDictionary(trips[0]);
  ASSERT_TRUE(rebuiltTrip);
  const json& sync = trips[0].at("syncStatus");
  EXPECT_EQ(rebuiltTrip->syncStatus(), sync.is_string() ? std::optional<std::string>(sync) : std::nullopt);
}

// What a C delegate member receives for one broker message.
struct DelegateTexts {
  std::vector<std::string> events, locations;
  static void onEvents(void* context, const char* text) {
    static_cast<DelegateTexts*>(context)->events.push_back(text);
  }
  static void onLocation(void* context, const char* text) {
    static_cast<DelegateTexts*>(context)->locations.push_back(text);
  }
};

TEST_F(CApiResultsTest, BrokerMessagesReachTheCDelegateUnderTheirOwnKeys) {
  DelegateTexts texts;
  pelk_delegate d{};
  d.context = &texts;
  d.did_update_location = [](void*, const char*) {};
  d.did_receive_events = DelegateTexts::onEvents;
  d.did_receive_user_location = DelegateTexts::onLocation;
  pelk_set_delegate(&d);

  auto& dispatcher = PelkLocationDelegate::sharedInstance();
  dispatcher.didReceiveEvents(json::parse(R"({"events":[{"event_type":"geofence_enter","event_source":"s",
      "event_version":"1","user_id":"u2","trip_id":"t","geofence_id":"g","nearby_user_id":"n","location_id":"l",
      "created_at":"c","recorded_at":"r","activity":"M","altitude":30,"speed":3,"distance":7.5,
      "horizontal_accuracy":5,"veritcal_accuracy":4,"location":{"type":"Point","coordinates":[13.4,52.5]}}]})"));
  dispatcher.didReceiveUserLocation(json::parse(R"({"user_id":"u2","activity":"S","altitude":30.5,"course":90,
      "speed":4,"horizontal_accuracy":5,"vertical_accuracy":3,"location_id":"l","recorded_at":"r",
      "event_type":"location","event_source":"s","event_version":"1","coordinates":{"coordinates":[13.4,52.5]}})"));
  dispatcher.didReceiveUserLocation(json::parse(R"({"user_id":"u3","speed":4.5})"));

  ASSERT_EQ(texts.events.size(), 1u);
  expectSameText(json::parse(texts.events[0]), R"({"event_type":"geofence_enter","event_source":"s",
      "event_version":"1","user_id":"u2","trip_id":"t","geofence_id":"g","nearby_user_id":"n","location_id":"l",
      "created_at":"c","recorded_at":"r","activity":"M","altitude":30.0,"course":0,"speed":3.0,"distance":7.5,
      "horizontal_accuracy":5.0,"veritcal_accuracy":4.0,"location":{"coordinates":[13.4,52.5]}})");
  ASSERT_EQ(texts.locations.size(), 2u);
  expectSameText(json::parse(texts.locations[0]), R"({"user_id":"u2","activity":"S","altitude":30.5,
      "course":90.0,"speed":4,"horizontal_accuracy":5.0,"vertical_accuracy":3.0,"location_id":"l",
      "recorded_at":"r","event_type":"location","event_source":"s","event_version":"1",
      "coordinates":{"coordinates":[13.4,52.5]}})");
  expectSameText(json::parse(texts.locations[1]), R"({"user_id":"u3","activity":null,"altitude":null,
      "course":null,"speed":null,"horizontal_accuracy":null,"vertical_accuracy":null,"location_id":null,
      "recorded_at":null,"event_type":null,"event_source":null,"event_version":null,"coordinates":null})");
}

}  // namespace
}  // namespace pelk::test
