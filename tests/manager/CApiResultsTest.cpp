// The JSON text the C interface hands over for each result model: the keys the
// model's reader takes, and every number in the type the model holds it (an
// integer stays an integer, a floating-point value keeps its fraction).  Server
// replies through the local REST server, the local trip store's own trips, and
// broker messages through the delegate dispatcher.

#include <map>
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
  const std::set<std::string> eventKeys = {"created_at", "event_type",      "id", "is_deleted", "trip_id",
                                           "user_id",    "user_location_id"};
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

// The keys of every shape pelk.h documents, as the header lists them; each
// shape is taken from what the C interface hands over.
TEST_F(CApiResultsTest, EveryShapeTheHeaderDocumentsHasExactlyItsKeys) {
  using Keys = std::set<std::string>;
  const std::map<std::string, Keys> documented = {
      {"user",
       {"user_id", "description", "geofence_events", "location_events", "trips_events", "nearby_events",
        "event_listener", "location_listener", "account_id", "project_id"}},
      {"location",
       {"latitude", "longitude", "altitude", "horizontal_accuracy", "vertical_accuracy", "speed", "course",
        "timestamp_ms"}},
      {"own position", {"user_id", "activity", "location", "tz_offset", "recorded_at"}},
      {"events",
       {"event_type", "event_source", "event_version", "user_id", "trip_id", "geofence_id", "nearby_user_id",
        "location_id", "created_at", "recorded_at", "activity", "altitude", "course", "speed", "distance",
        "horizontal_accuracy", "veritcal_accuracy", "location"}},
      {"user location",
       {"user_id", "activity", "location_id", "recorded_at", "event_type", "event_source", "event_version", "altitude",
        "course", "horizontal_accuracy", "vertical_accuracy", "speed", "coordinates"}},
      {"trip status", {"trip_id", "started_at", "speed", "distance", "duration", "pace", "latitude", "longitude"}},
      {"place", {"id", "trip_id", "loc_type", "created_at", "updated_at", "reached", "coordinates"}},
      {"created trip",
       {"id", "user_id", "trip_tracking_url", "created_at", "updated_at", "is_started", "is_ended", "is_deleted",
        "origins", "destinations"}},
      {"active trip",
       {"id", "created_at", "updated_at", "syncStatus", "is_started", "is_paused", "is_ended", "is_deleted"}},
      {"trip details",
       {"id", "user_id", "project_id", "created_at", "updated_at", "trip_started_at", "trip_ended_at", "is_started",
        "is_paused", "is_ended", "is_deleted", "distance_covered", "duration", "origins", "destinations", "events"}},
      {"trip event", {"id", "trip_id", "user_id", "event_type", "user_location_id", "created_at", "is_deleted"}},
      {"trip summary",
       {"trip_id", "user_id", "project_id", "trip_status", "distance_covered", "total_elevation_gain", "duration",
        "route"}},
      {"route point", {"activity", "recorded_at", "altitude", "elevation_gain", "distance", "duration", "coordinates"}},
      {"trip progress", {"trip_id", "started_at", "speed", "distance", "duration"}},
  };
  std::map<std::string, json> handed;

  // Server records.
  server_.setDefault("/v3/trips/v2/create/", ScriptedReply::json(R"({"code":201,"data":[{"id":"srv-1",
      "user_id":"u1","is_deleted":false,"is_ended":false,"is_started":true,"created_at":"c","updated_at":"u",
      "origins":[{"id":"o-1","trip_id":"srv-1","loc_type":"origin","reached":true,"created_at":"c",
                  "updated_at":"u","coordinates":{"type":"Point","coordinates":[13,52.5]}}]}]})"));
  server_.setDefault("/v3/trips/active/v2/u1/", ScriptedReply::json(R"({"code":200,"data":[{"id":"srv-1",
      "is_deleted":false,"is_ended":false,"is_started":true,"is_paused":true,"created_at":"c","updated_at":"u"}]})"));
  server_.setDefault("/v3/trips/v2/get/srv-1/", ScriptedReply::json(R"({"code":200,"data":[{"id":"srv-1",
      "user_id":"u1","is_deleted":false,"is_ended":true,"is_paused":false,"is_started":true,"duration":12.3,
      "events":[{"id":"ev-1","trip_id":"srv-1","user_id":"u1","event_type":"started","created_at":"c",
                 "is_deleted":false}]}]})"));
  server_.setDefault("/v3/trips/v2/summary/srv-1/", ScriptedReply::json(R"({"code":200,"data":{"trip_id":"srv-1",
      "user_id":"u1","trip_status":"end","distance_covered":1500,"duration":125,
      "route":[{"activity":"M","duration":4,"recorded_at":"r"}]}})"));
  Handed created, active, details, summary;
  pelk_create_trip(false, nullptr, Handed::on, &created);
  handed["created trip"] = created.get();
  ASSERT_TRUE(handed["created trip"].is_object());
  handed["place"] = handed["created trip"].at("origins").at(0);
  pelk_active_trips(false, Handed::on, &active);
  handed["active trip"] = active.get().at(0);
  pelk_get_trip_details("srv-1", Handed::on, &details);
  handed["trip details"] = details.get();
  handed["trip event"] = handed["trip details"].at("events").at(0);
  pelk_get_trip_summary("srv-1", Handed::on, &summary);
  handed["trip summary"] = summary.get();
  handed["route point"] = handed["trip summary"].at("route").at(0);

  // A fix, and the progress of a trip of the local store.
  Handed fix;
  pelk_get_current_location(50, Handed::on, &fix);
  platform::Dispatch::drainMain();
  sim_->deliverFix(fixAt(52.5));
  platform::Dispatch::drainMain();
  handed["location"] = fix.get();
  setOnline(false);
  Handed local;
  pelk_create_trip(true, nullptr, Handed::on, &local);
  const std::string id = local.get().at("id");
  act([&](Handed& h) { pelk_start_trip(id.c_str(), nullptr, Handed::on, &h); }, 52.6);
  Handed progress;
  pelk_get_trip_status(id.c_str(), Handed::on, &progress);
  handed["trip progress"] = progress.get();

  // The delegate's members.
  std::map<std::string, std::vector<std::string>> members;
  pelk_delegate d{};
  d.context = &members;
  d.did_update_location = [](void* c, const char* t) {
    (*static_cast<decltype(members)*>(c))["own position"].push_back(t);
  };
  d.did_receive_events = [](void* c, const char* t) { (*static_cast<decltype(members)*>(c))["events"].push_back(t); };
  d.did_receive_user_location = [](void* c, const char* t) {
    (*static_cast<decltype(members)*>(c))["user location"].push_back(t);
  };
  d.did_receive_trip_status = [](void* c, const char* t) {
    (*static_cast<decltype(members)*>(c))["trip status"].push_back(t);
  };
  pelk_set_delegate(&d);
  auto& dispatcher = PelkLocationDelegate::sharedInstance();
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  dispatcher.updateLocation(fixAt(52.7), "M");
  dispatcher.didReceiveEvents(json::parse(R"({"events":[{"event_type":"geofence_enter"}]})"));
  dispatcher.didReceiveUserLocation(json::parse(R"({"user_id":"u2"})"));
  SharedUtil::setDefaultString(id, kSubscribeTripStatus);
  dispatcher.didReceiveTripStatus(PelkTripStatusListener(id, 1, 2, 3, "s", 4, 52.7, 13.4));
  pelk_set_delegate(nullptr);  // `members` ends with this test
  for (const auto& [shape, texts] : members) {
    ASSERT_FALSE(texts.empty()) << shape;
    handed[shape] = json::parse(texts.front());
  }

  // Last: a new user changes the stored user id the trip paths carry.
  setOnline(true);
  server_.setDefault("/v3/user/", ScriptedReply::json(R"({"code":200,"msg":"ok","data":{"user_id":"u-1",
      "app_id":"app-9","geofence_events":true,"location_events":false,"nearby_events":true,"trips_events":false,
      "location_listener":true,"event_listener":false,"account_id":"acc-1","project_id":"prj-1"}})"));
  Handed user;
  pelk_create_user("d", Handed::on, &user);
  handed["user"] = user.get();

  for (const auto& [shape, keys] : documented) {
    SCOPED_TRACE(shape);
    ASSERT_TRUE(handed.count(shape) && handed.at(shape).is_object()) << "no " << shape << " was handed over";
    Keys got;
    for (const auto& item : handed.at(shape).items()) got.insert(item.key());
    EXPECT_EQ(got, keys);
  }
}

TEST_F(CApiResultsTest, CInterfaceTakesNullHostileTextAndOddKindsWithoutHarm) {
  TokenManager::setPubSubState(true);
  const auto deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string notUtf8 = "\xff\xfe";
  for (const char* text : {static_cast<const char*>(nullptr), notUtf8.c_str(), "a/+/#", ""}) {
    for (const std::int64_t kind : {-1, 0, 1, 2, 99}) {
      pelk_subscribe(kind, text);
      pelk_unsubscribe(kind, text);
    }
    pelk_start_trip(text, text, nullptr, nullptr);
    pelk_stop_trip(text, nullptr, nullptr);
    pelk_pause_trip(text, nullptr, nullptr);
    pelk_resume_trip(text, nullptr, nullptr);
    pelk_force_end_trip(text, nullptr, nullptr);
    pelk_delete_trip(text, nullptr, nullptr);
    pelk_sync_trip(text, nullptr, nullptr);
    pelk_get_trip_details(text, nullptr, nullptr);
    pelk_get_trip_summary(text, nullptr, nullptr);
    pelk_get_trip_status(text, nullptr, nullptr);
    pelk_is_trip_synced(text, nullptr, nullptr);
    pelk_subscribe_trip_status(text);
    pelk_unsubscribe_trip_status(text);
    pelk_notification_opened(text);
    pelk_create_trip(false, text, nullptr, nullptr);
  }
  for (const auto& choice : std::vector<std::string>{notUtf8, "[]", "{\"meta_data\":{\"a\":" + deep + "}}",
                                                     "{\"meta_data\":" + deep + "}"}) {
    pelk_publish_save(choice.c_str());
    pelk_publish_only(choice.c_str());
  }
  pelk_stop_publishing();
  pelk_stop_publishing();
  platform::Dispatch::drainMain();
  for (const auto& u : MQTTUtilis::getUserSubscribe()) EXPECT_TRUE(MQTTUtilis::isValidTopicId(u)) << u;
  EXPECT_TRUE(TokenManager::getSubcribeTripStatusListener().empty());
}

}  // namespace
}  // namespace pelk::test
