#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Console.h"

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/APIClient.h"
#include "storage/PelkOfflineTripsUtils.h"
#include "support/HandlerRecorder.h"
#include "support/HttpTestServer.h"
#include "TripStoreFixture.h"

namespace pelk {
namespace {

using test::Answer;
using test::fixAt;
using test::HttpTestServer;
using test::ScriptedReply;

class LocalTripTest : public test::TripStoreTest {
 protected:
  std::vector<TripEventsLocal> events(const std::string& tripId) {
    auto trip = store_->getTripDataLocal(tripId);
    return trip ? store_->eventsOf(*trip) : std::vector<TripEventsLocal>{};
  }
  Answer sync(const std::string& tripId) {
    test::HandlerRecorder<std::optional<std::string>> calls;
    store_->syncTrip(tripId, calls.handler());
    if (!calls.wait(1, std::chrono::seconds(15))) {
      ADD_FAILURE() << "no answer";
      return {};
    }
    const auto [text, error] = calls.all().front();
    return {text, error};
  }
  // Creates, starts and ends a trip with one position in between.
  void endedTrip(const std::string& tripId) {
    createLocal(tripId);
    act1(Trip::Start, tripId, fixAt(10, 10));
    advance(10);
    store_->updateAllActiveTrips(fixAt(10.001, 10), "M");
    act1(Trip::End, tripId, fixAt(10.002, 10));
  }
  void replyWith(std::optional<std::string> message, std::optional<PelkError> error) {
    tripstore::links::syncTrip.set([message, error](const std::string& body, auto reply) {
      sentBodies().push_back(body);
      reply(message, error);
    });
  }
  static std::vector<std::string>& sentBodies() {
    static std::vector<std::string> bodies;
    return bodies;
  }
  void TearDown() override { sentBodies().clear(); }
};

TEST_F(LocalTripTest, CreatedTripStartsWithItsCreationEvent) {
  std::shared_ptr<PelkCreateTrip> created;
  store_->createTrip("loc-1", "trip-1", [&](auto trip, auto error) {
    EXPECT_FALSE(error);
    created = trip;
  });
  ASSERT_TRUE(created);
  EXPECT_EQ(created->tripId(), "trip-1");
  EXPECT_EQ(created->userId(), "user-1");
  EXPECT_EQ(created->tripTrackingUrl(), "");
  EXPECT_FALSE(created->isStarted());
  EXPECT_TRUE(created->origins().empty());

  const auto trip = store_->getTripDataLocal("trip-1");
  ASSERT_TRUE(trip);
  EXPECT_FALSE(trip->is_started || trip->is_paused || trip->is_ended || trip->is_deleted || trip->synced);
  EXPECT_EQ(trip->trip_started_at, "");
  EXPECT_EQ(trip->trip_ended_at, "");
  EXPECT_EQ(trip->sync_status, "not_synced");
  EXPECT_EQ(trip->created_at, now());
  const auto ev = events("trip-1");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].event_type, "pelk:trip:created");
  EXPECT_EQ(ev[0].event_source, "pelk:trip");
  EXPECT_EQ(ev[0].event_version, "1.0");
  EXPECT_EQ(ev[0].location_id, "loc-1");
  EXPECT_EQ(ev[0].entityId->size(), 24u);
  EXPECT_TRUE(store_->checkIfLocalTrip("trip-1"));
  EXPECT_FALSE(store_->checkIfTripStarted("trip-1"));
}

// The whole road of one offline trip, up to its sync over HTTP.
TEST_F(LocalTripTest, OfflineTripRunsAndSyncsToTheServer) {
  const auto p0 = fixAt(12.9700, 77.5900);
  const auto p1 = fixAt(12.9710, 77.5900);
  const auto p2 = fixAt(12.9720, 77.5905);
  const auto pPaused = fixAt(12.9900, 77.6100);
  const auto p3 = fixAt(12.9905, 77.6100);
  const auto pEnd = fixAt(12.9910, 77.6105);
  createLocal("trip-1");

  EXPECT_EQ(act1(Trip::Start, "trip-1", p0, "loc-start").text, "Trip started successfully");
  ASSERT_EQ(sunk_.size(), 1u);  // handed to the sink with "S" and the request's location id
  EXPECT_EQ(sunk_[0].activity, "S");
  EXPECT_EQ(sunk_[0].locationId, "loc-start");
  EXPECT_EQ(dispatched_, std::vector<std::string>{"S"});
  advance(30);
  store_->updateAllActiveTrips(p1, "M");
  advance(30);
  store_->updateAllActiveTrips(p2, "M");
  advance(10);
  EXPECT_EQ(act1(Trip::Pause, "trip-1", p2).text, "Trip paused successfully");
  advance(600);
  store_->updateAllActiveTrips(pPaused, "M");  // not counted
  EXPECT_EQ(act1(Trip::Resume, "trip-1", pPaused).text, "Trip resumed successfully");
  EXPECT_EQ(sunk_.size(), 2u);
  advance(20);
  store_->updateAllActiveTrips(p3, "M");
  advance(5);
  EXPECT_EQ(act1(Trip::End, "trip-1", pEnd).text, "Trip ended successfully");
  EXPECT_EQ(sunk_.size(), 2u);  // an end does not hand the position on

  const auto progress = store_->getTripData("trip-1");
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->status, "end");
  EXPECT_NEAR(progress->distance, p0.distance(p1) + p1.distance(p2) + pPaused.distance(p3) + p3.distance(pEnd), 1e-6);
  EXPECT_NEAR(progress->duration, 30 + 30 + 10 + 20 + 5, 1e-6);
  EXPECT_EQ(progress->location_count, 5);  // start, p1, p2, resume, p3
  const auto route = store_->getMyTripRouteDetails("trip-1");
  std::vector<std::string> activities;
  for (const auto& point : route) activities.push_back(point.activity.value_or("?"));
  EXPECT_EQ(activities, (std::vector<std::string>{"s", "S", "M", "M", "S", "M"}));
  const auto trip = store_->getTripDataLocal("trip-1");
  EXPECT_TRUE(trip->is_started && trip->is_ended);
  EXPECT_FALSE(trip->is_paused);
  std::vector<std::string> kinds;
  for (const auto& e : events("trip-1")) kinds.push_back(*e.event_type);
  EXPECT_EQ(kinds, (std::vector<std::string>{"pelk:trip:created", "pelk:trip:started", "pelk:trip:paused",
                                             "pelk:trip:resumed", "pelk:trip:ended"}));

  std::shared_ptr<PelkTripSummary> summary;
  store_->getTripSummary("trip-1", [&](auto s, auto) { summary = s; });
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->tripStatus(), "end");
  EXPECT_EQ(summary->duration().int64Value(), 95);
  EXPECT_EQ(summary->route().size(), 6u);

  // Sync: the server first fails, then accepts.
  HttpTestServer server;
  SharedUtil::setDefaultString(server.baseUrl(), KUserBaseUrl);
  SharedUtil::setDefaultString("tok", kSDKToken);
  APIClient::resetBaseUrlForTesting();
  std::vector<std::int64_t> rowsWhenReceived;
  int calls = 0;
  server.setHandler([&](const test::RecordedRequest&) {
    rowsWhenReceived.push_back(rowsOf("trip-1"));
    return ++calls == 1 ? ScriptedReply::json(R"({"code":500,"msg":"try later","error":{"ErrorCode":"QB500"}})")
                        : ScriptedReply::json(R"({"code":200,"msg":"Success."})");
  });

  const auto refused = sync("trip-1");
  EXPECT_EQ(refused.text, "");
  EXPECT_EQ(refused.error, PelkError("QB500", "try later"));
  EXPECT_EQ(store_->getTripDataLocal("trip-1")->sync_status, "sync_in_progress");
  EXPECT_TRUE(store_->getSyncStatus("trip-1"));
  EXPECT_EQ(store_->getSyncEnded().size(), 1u);

  const auto accepted = sync("trip-1");
  EXPECT_EQ(accepted.text, "Success.");
  EXPECT_FALSE(accepted.error);
  ASSERT_EQ(rowsWhenReceived.size(), 2u);
  EXPECT_GT(rowsWhenReceived[1], 0);  // the rows were there until the reply
  EXPECT_EQ(rowsOf("trip-1"), 0);
  EXPECT_FALSE(store_->checkIfLocalTrip("trip-1"));

  const auto request = server.requests().back();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v3/trips/v2/sync/");
  EXPECT_EQ(request.header("Authorization"), "token tok");
  const auto body = nlohmann::json::parse(request.body);
  EXPECT_EQ(body["trip_id"], "trip-1");
  EXPECT_EQ(body["user_id"], "user-1");
  EXPECT_EQ(body["location_count"], 4);
  EXPECT_EQ(body["route"].size(), 6u);
  EXPECT_EQ(body["events"].size(), 5u);
  EXPECT_NEAR(body["duration"].get<double>(), 95, 1e-6);
  EXPECT_NEAR(body["distance_covered"].get<double>(), progress->distance, 1e-9);
  EXPECT_FALSE(body["events"][0].contains("location_id"));  // the creation event
  EXPECT_EQ(body["events"][1]["location_id"], "loc-start");
  APIClient::resetBaseUrlForTesting();
}

TEST_F(LocalTripTest, RefusedStepsChangeNothing) {
  createLocal("t");
  struct Case {
    Trip action;
    std::string code, message;
  };
  // Resume before any pause, then start, start again, pause twice, end twice.
  EXPECT_EQ(act1(Trip::Resume, "t", fixAt(1, 1)).error, PelkError("QB417", "Trip already Resumed."));
  act1(Trip::Start, "t", fixAt(1, 1));
  act1(Trip::Pause, "t", fixAt(1, 1));
  act1(Trip::End, "t", fixAt(1, 1));
  const auto before = events("t").size();
  for (const auto& c : std::vector<Case>{{Trip::Start, "QB413", "Trip already Started."},
                                         {Trip::Pause, "QB416", "Trip already Paused."},
                                         {Trip::End, "QB414", "Trip already Ended."}}) {
    const auto answer = act1(c.action, "t", fixAt(2, 2));
    EXPECT_FALSE(answer.text);
    EXPECT_EQ(answer.error, PelkError(c.code, c.message));
  }
  EXPECT_EQ(events("t").size(), before);
  const auto trip = store_->getTripDataLocal("t");
  EXPECT_TRUE(trip->is_paused && trip->is_ended);  // an end keeps the pause flag
}

TEST_F(LocalTripTest, EndedTripCannotBePausedOrResumed) {
  replyWith("Success.", std::nullopt);
  struct Case {
    std::vector<Trip> before;  // steps after the start, the last an end
    Trip action;
    PelkError expected;
  };
  const std::vector<Case> cases = {
      {{Trip::End}, Trip::Pause, PelkError("QB416", "Trip already Ended.")},
      {{Trip::End}, Trip::Resume, PelkError("QB417", "Trip already Resumed.")},
      {{Trip::Pause, Trip::End}, Trip::Resume, PelkError("QB417", "Trip already Ended.")},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string id = "t" + std::to_string(++n);
    SCOPED_TRACE(id);
    createLocal(id);
    act1(Trip::Start, id, fixAt(1, 1));
    for (Trip step : c.before) act1(step, id, fixAt(1, 1));
    const auto events = this->events(id).size();
    EXPECT_EQ(act1(c.action, id, fixAt(2, 2)).error, c.expected);
    EXPECT_EQ(this->events(id).size(), events);
    EXPECT_EQ(store_->getTripData(id)->status, "end");
    // Still an ended trip: it syncs.
    EXPECT_EQ(sync(id).text, "Success.");
  }
}

TEST_F(LocalTripTest, RequestsTheStoreCannotServeAreAnswered) {
  createLocal("t");
  // No local row for the id: the action's own code.
  EXPECT_EQ(act1(Trip::Start, "missing", fixAt(1, 1)).error, PelkError("QB413", "Trip id does not exist"));
  EXPECT_EQ(act1(Trip::Pause, "missing", fixAt(1, 1)).error, PelkError("QB416", "Trip id does not exist"));
  EXPECT_EQ(act1(Trip::End, "missing", fixAt(1, 1)).error, PelkError("QB414", "Trip id does not exist"));
  // Nothing the dispatcher acts on.
  const PelkError noAction("QB402", "Trip id does not exist");
  for (const auto& r : {request(Trip::Delete, "t", "l"), request(Trip::Sync, "t", "l"),
                        nlohmann::json{{"trip_id", "t"}, {"start", "true"}}, nlohmann::json{{"start", false}},
                        nlohmann::json("not an object")}) {
    const auto answers = act(r, fixAt(1, 1));
    ASSERT_EQ(answers.size(), 1u) << r.dump();
    EXPECT_EQ(answers[0].error, noAction) << r.dump();
  }
  // An action without a position.
  const auto noFix = act(request(Trip::Start, "t", "l"), std::nullopt);
  ASSERT_EQ(noFix.size(), 1u);
  EXPECT_EQ(noFix[0].error, PelkError("QB413", "Trip Start Error"));
  EXPECT_FALSE(store_->getTripDataLocal("t")->is_started);
  EXPECT_EQ(events("t").size(), 1u);
  // Two actions in one request run in order, each answering.
  auto both = request(Trip::Start, "t", "l");
  both["end"] = true;
  both["trip_ended_at"] = now();
  const auto answers = act(both, fixAt(1, 1));
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].text, "Trip ended successfully");
}

TEST_F(LocalTripTest, StepWithoutLocationIdClearsIt) {
  createLocal("t");
  act1(Trip::Start, "t", fixAt(1, 1), "loc-s");
  auto pause = request(Trip::Pause, "t", "x");
  pause.erase("location_id");
  ASSERT_EQ(act(pause, fixAt(1, 1)).size(), 1u);
  EXPECT_FALSE(store_->getTripDataLocal("t")->location_id);
  EXPECT_FALSE(events("t").back().location_id);
}

TEST_F(LocalTripTest, FailedStoreWritesAreReportedAndLeaveNothingBehind) {
  createLocal("t");
  // The event row cannot be written: the whole start is undone.
  sql("CREATE TRIGGER no_events BEFORE INSERT ON TripEventsLocal BEGIN SELECT RAISE(ABORT, 'full'); END");
  EXPECT_EQ(act1(Trip::Start, "t", fixAt(1, 1)).error, PelkError("QB413", "Trip Start Error"));
  EXPECT_FALSE(store_->getTripDataLocal("t")->is_started);
  EXPECT_FALSE(store_->checkIfTripStarted("t"));
  EXPECT_TRUE(sunk_.empty());

  // Creating a trip whose rows cannot be saved stores nothing.
  Answer created;
  store_->createTrip("l", "t2", [&](auto trip, auto error) {
    EXPECT_FALSE(trip);
    created.error = error;
  });
  EXPECT_EQ(created.error, PelkError("QB402", "Unknown error"));
  EXPECT_FALSE(store_->getTripDataLocal("t2"));
  sql("DROP TRIGGER no_events");

  // A trip id that exists already is not created twice.
  store_->createTrip("l", "t", [&](auto trip, auto error) {
    EXPECT_FALSE(trip);
    created.error = error;
  });
  EXPECT_EQ(created.error, PelkError("QB402", "Unknown error"));
  EXPECT_TRUE(store_->checkIfLocalTrip("t"));

  // A deletion that cannot finish deletes nothing.
  act1(Trip::Start, "t", fixAt(1, 1));
  const auto rows = rowsOf("t");
  sql("CREATE TRIGGER keep_progress BEFORE DELETE ON MyTrip BEGIN SELECT RAISE(ABORT, 'busy'); END");
  Answer deleted;
  store_->deleteTrip("t", [&](auto t, auto e) { deleted = {t, e}; });
  EXPECT_FALSE(deleted.text);
  EXPECT_EQ(deleted.error, PelkError("QB402", "Error in deleted trip."));
  EXPECT_EQ(rowsOf("t"), rows);
  sql("DROP TRIGGER keep_progress");
}

TEST_F(LocalTripTest, UnavailableStoreAnswersEveryCaller) {
  // A plain file where the store's directory should be.
  test::writeFile(dir_.file("blocker"), "x");
  PelkTripStorageManager broken(storage::pelkModelAt(dir_.file("blocker") + "/trips.sqlite"));
  Answer a;
  broken.createTrip("l", "t", [&](auto, auto e) { a.error = e; });
  EXPECT_EQ(a.error, PelkError("QB402", "Unknown error"));
  broken.deleteTrip("t", [&](auto t, auto e) { a = {t, e}; });
  EXPECT_EQ(a.error, PelkError("QB402", "Error in deleted trip."));
  broken.startTrip(request(Trip::Start, "t", "l"), fixAt(1, 1), [&](auto t, auto e) { a = {t, e}; });
  EXPECT_EQ(a.error, PelkError("QB413", "Trip Start Error"));
  EXPECT_FALSE(broken.checkIfLocalTrip("t"));
  EXPECT_TRUE(broken.convertActiveTrip().empty());
}

TEST_F(LocalTripTest, DeleteRemovesEveryRowOfThatTripOnly) {
  endedTrip("a");
  endedTrip("b");
  createLocal("never-started");
  Answer deleted;
  store_->deleteTrip("a", [&](auto t, auto e) { deleted = {t, e}; });
  EXPECT_EQ(deleted.text, "Trip deleted successfully");
  EXPECT_FALSE(deleted.error);
  EXPECT_EQ(rowsOf("a"), 0);
  EXPECT_GT(rowsOf("b"), 4);
  store_->deleteTrip("never-started", [&](auto t, auto e) { deleted = {t, e}; });
  EXPECT_EQ(rowsOf("never-started"), 0);
  store_->deleteTrip("no-such-trip", [&](auto t, auto e) { deleted = {t, e}; });
  EXPECT_EQ(deleted.text, "Trip deleted successfully");

  EXPECT_TRUE(store_->deleteEntity("b", "TripEventsLocal", "trip_id"));
  EXPECT_EQ(count("TripEventsLocal", "trip_id", "b"), 0);
  EXPECT_FALSE(store_->deleteEntity("b", "TripsLocal; DROP TABLE MyTrip", "trip_id"));
  EXPECT_FALSE(store_->deleteEntity("b", "MyTrip", "1 OR 1"));
  EXPECT_GT(count("MyTrip", "tripId", "b"), 0);
}

TEST_F(LocalTripTest, SyncReplyOtherThanSuccessKeepsTheTripQueued) {
  struct Case {
    std::optional<std::string> message;
    std::optional<PelkError> error;
    PelkError expected;
  };
  endedTrip("t");
  for (const auto& c : std::vector<Case>{
           {"Trip saved", std::nullopt, PelkError("QB500", "Trip saved")},
           {std::nullopt, std::nullopt, PelkError("QB500", "Server error")},
           {"", PelkError("QB500", "Network error"), PelkError("QB500", "Network error")},
       }) {
    replyWith(c.message, c.error);
    const auto answer = sync("t");
    EXPECT_EQ(answer.text, "");
    EXPECT_EQ(answer.error, c.expected);
    EXPECT_TRUE(store_->checkIfLocalTrip("t"));
    EXPECT_EQ(store_->getTripDataLocal("t")->sync_status, "sync_in_progress");
    EXPECT_FALSE(store_->isSyncInFlight("t"));
  }
  EXPECT_EQ(sentBodies().size(), 3u);

  // The server accepts but the rows cannot be deleted: the trip stays queued.
  replyWith("Success.", std::nullopt);
  sql("CREATE TRIGGER keep BEFORE DELETE ON TripsLocal BEGIN SELECT RAISE(ABORT, 'busy'); END");
  EXPECT_EQ(sync("t").error, PelkError("QB402", "Error in deleted trip."));
  EXPECT_TRUE(store_->getSyncStatus("t"));
}

TEST_F(LocalTripTest, EachRefusalPlansTheNextSyncAfterAWaitThatDoublesUpToHalfAnHour) {
  using std::chrono::minutes;
  using std::chrono::seconds;
  endedTrip("t");
  EXPECT_FALSE(store_->plannedSyncRetry("t"));
  replyWith("", PelkError("QB500", "Network error"));
  const platform::Duration expected[] = {seconds(30), minutes(1),  minutes(2),  minutes(4), minutes(8),
                                         minutes(16), minutes(30), minutes(30), minutes(30)};
  for (const auto wait : expected) {
    EXPECT_TRUE(sync("t").error);
    EXPECT_EQ(store_->plannedSyncRetry("t"), wait);
  }
  replyWith("Success.", std::nullopt);
  EXPECT_EQ(sync("t").text, "Success.");
  EXPECT_FALSE(store_->plannedSyncRetry("t")) << "nothing is planned for a trip the server holds";
}

TEST_F(LocalTripTest, TripInFlightIsNotSentAgain) {
  endedTrip("t");
  std::function<void(std::optional<std::string>, std::optional<PelkError>)> pending;
  int sends = 0;
  tripstore::links::syncTrip.set([&](const std::string&, auto reply) {
    ++sends;
    pending = reply;
  });

  store_->syncTrip("t");
  EXPECT_TRUE(store_->isSyncInFlight("t"));
  // What a reachability change does for every ended, queued trip.
  Answer second;
  for (const auto& row : store_->getSyncEnded()) {
    store_->syncTrip(*row.trip_id, [&](auto t, auto e) { second = {t, e}; });
  }
  EXPECT_EQ(sends, 1);
  EXPECT_EQ(second.error, PelkError("QB402", "Trip id already in sync queue"));
  pending("Success.", std::nullopt);
  EXPECT_FALSE(store_->isSyncInFlight("t"));
  EXPECT_FALSE(store_->checkIfLocalTrip("t"));
}

TEST_F(LocalTripTest, TripDeletedDuringItsSyncIsNeverUploaded) {
  // Each round a sync and a delete of one ended trip race; the server's reply
  // comes after both calls returned.  Whatever the order: a trip reported
  // deleted was never uploaded, an uploaded trip was not reported deleted,
  // and no rows survive.
  std::mutex mutex;
  std::set<std::string> uploaded;
  std::function<void(std::optional<std::string>, std::optional<PelkError>)> pending;
  tripstore::links::syncTrip.set([&](const std::string& body, auto reply) {
    std::lock_guard lock(mutex);
    uploaded.insert(nlohmann::json::parse(body).value("trip_id", ""));
    pending = reply;
  });
  int deletedFirst = 0, syncedFirst = 0;
  for (int round = 0; round < 150; ++round) {
    const std::string id = "race-" + std::to_string(round);
    endedTrip(id);
    std::atomic<int> ready{0};
    auto go = [&ready] {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
    };
    Answer synced, deleted;
    std::thread syncer([&] {
      go();
      store_->syncTrip(id, [&](auto t, auto e) { synced = {t, e}; });
    });
    std::thread deleter([&] {
      go();
      store_->deleteTrip(id, [&](auto t, auto e) { deleted = {t, e}; });
    });
    syncer.join();
    deleter.join();
    SCOPED_TRACE(id);
    const bool wasUploaded = uploaded.count(id) != 0;
    EXPECT_NE(wasUploaded, deleted.text == "Trip deleted successfully");
    if (wasUploaded) {
      EXPECT_EQ(deleted.error, PelkError("QB402", "Error in deleted trip."));
      ASSERT_TRUE(pending);
      pending("Success.", std::nullopt);
      EXPECT_EQ(synced.text, "Success.");
      ++syncedFirst;
    } else {
      EXPECT_TRUE(synced.error);
      ++deletedFirst;
    }
    pending = nullptr;
    EXPECT_EQ(rowsOf(id), 0);
  }
  RecordProperty("deletedFirst", deletedFirst);
  RecordProperty("syncedFirst", syncedFirst);
}

TEST_F(LocalTripTest, SyncOfATripWithoutItsRows) {
  replyWith("Success.", std::nullopt);
  EXPECT_EQ(sync("none").error, PelkError("QB402", "Trip id does not exist"));
  createLocal("created");
  EXPECT_EQ(sync("created").error, PelkError("QB402", "Trip not started or ended"));
  EXPECT_TRUE(sentBodies().empty());
}

TEST_F(LocalTripTest, TripStillUnderWayIsNotSynced) {
  replyWith("Success.", std::nullopt);
  createLocal("running");
  EXPECT_FALSE(act1(Trip::Start, "running", fixAt(1, 1)).error);
  EXPECT_EQ(sync("running").error, PelkError("QB402", "Trip not started or ended"));
  EXPECT_TRUE(sentBodies().empty());
  EXPECT_TRUE(store_->checkIfLocalTrip("running"));
}

TEST_F(LocalTripTest, IncompleteRowIsLeftOutOfTheSyncRatherThanBlockingIt) {
  endedTrip("t");
  sql("UPDATE MyTripRoute SET activity = NULL WHERE pk = (SELECT min(pk) FROM MyTripRoute WHERE tripId = 't')");
  const auto routePoints = count("MyTripRoute", "tripId", "t");
  replyWith("Success.", std::nullopt);
  platform::Console::Capture console;
  EXPECT_EQ(sync("t").text, "Success.");
  ASSERT_EQ(sentBodies().size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(sentBodies()[0])["route"].size(), static_cast<std::size_t>(routePoints - 1));
  EXPECT_FALSE(console.lines().empty());
}

TEST_F(LocalTripTest, QueriesAndListsOfOfflineTrips) {
  createLocal("a");
  endedTrip("b");
  store_->updateLocalTrip("b", "sync_initiated");

  const auto list = store_->convertActiveTrip();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->syncStatus(), "not_synced");
  EXPECT_EQ(list[1]->syncStatus(), "sync_initiated");
  EXPECT_TRUE(list[1]->ended());
  EXPECT_EQ(store_->getActivetrips().size(), 1u);
  EXPECT_EQ(store_->getActivetripsWithoutQuery().size(), 2u);
  EXPECT_EQ(store_->getSyncEnded().size(), 1u);
  EXPECT_TRUE(store_->getTripStatus("b"));
  EXPECT_FALSE(store_->getTripStatus("a"));
  EXPECT_TRUE(store_->getSyncStatus("b"));
  EXPECT_FALSE(store_->getSyncStatus("zzz"));

  std::shared_ptr<PelkGetTrip> details;
  store_->getTrip("a", [&](auto t, auto e) {
    EXPECT_FALSE(e);
    details = t;
  });
  ASSERT_TRUE(details);
  EXPECT_EQ(details->distanceCovered().doubleValue(), 0);
  EXPECT_EQ(details->duration().doubleValue(), 0);
  EXPECT_EQ(details->projectId(), "");
  EXPECT_TRUE(details->origins().empty() && details->destinations().empty());
  ASSERT_EQ(details->events().size(), 1u);
  EXPECT_EQ(details->events()[0]->userLocationId(), "loc-created");

  std::shared_ptr<PelkTripSummary> summary;
  store_->getTripSummary("a", [&](auto s, auto) { summary = s; });
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->tripStatus(), "");
  EXPECT_TRUE(summary->route().empty());

  store_->getTrip("b", [&](auto t, auto) { details = t; });
  EXPECT_NEAR(details->duration().doubleValue(), 10, 1e-3);
  EXPECT_EQ(details->events().size(), 3u);

  Answer missing;
  store_->getTrip("zzz", [&](auto t, auto e) {
    EXPECT_FALSE(t);
    missing.error = e;
  });
  EXPECT_EQ(missing.error, PelkError("QB402", "Trip not yet started"));
}

TEST(OfflineTripsUtilsTest, SyncBodyShape) {
  TripsLocal trip;
  trip.trip_id = "t";
  trip.user_id = "u";
  trip.created_at = trip.updated_at = trip.trip_started_at = trip.trip_ended_at = "2024-01-01T00:00:00.000Z";
  auto event = [](const std::string& kind, const std::string& at) {
    TripEventsLocal e;
    e.entityId = "e-" + kind;
    e.trip_id = "t";
    e.event_source = "pelk:trip";
    e.event_version = "1.0";
    e.event_type = "pelk:trip:" + kind;
    e.user_id = "u";
    e.created_at = at;
    e.location_id = "loc-" + kind;
    return e;
  };
  const std::vector<TripEventsLocal> events{event("ended", "2024-01-01T00:09:00.000Z"),
                                            event("created", "2024-01-01T00:00:00.000Z"),
                                            event("started", "2024-01-01T00:01:00.000Z")};
  MyTripRoute point;
  point.recorded_at = "2024-01-01T00:01:00.000Z";
  point.activity = "s";
  point.latitude = 1.5;
  point.longitude = 2.5;
  point.altitude = 3;
  MyTrip progress;
  progress.tripId = "t";

  struct Case {
    std::int16_t stored;
    int sent;
  };
  for (const auto& c : std::vector<Case>{{5, 4}, {1, 0}, {0, 0}}) {
    progress.location_count = c.stored;
    const auto body = PelkOfflineTripsUtils::getRevizaDevoRoveDict(trip, events, progress, {point});
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["location_count"], c.sent) << c.stored;
  }
  const auto body = *PelkOfflineTripsUtils::getRevizaDevoRoveDict(trip, events, progress, {point, point});
  EXPECT_EQ(body.size(), 11u);
  EXPECT_EQ(body["events"][0]["event_type"], "pelk:trip:created");
  EXPECT_FALSE(body["events"][0].contains("location_id"));
  EXPECT_EQ(body["events"][1]["location_id"], "loc-started");
  EXPECT_EQ(body["events"][2]["event_type"], "pelk:trip:ended");
  const auto& r = body["route"];
  EXPECT_EQ(r[0]["lat"], 1.5);
  EXPECT_EQ(r[0]["lon"], 2.5);
  EXPECT_EQ(r[0]["alt"], 3.0);
  EXPECT_EQ(r[0]["location_id"].get<std::string>().size(), 24u);
  EXPECT_NE(r[0]["location_id"], r[1]["location_id"]);  // made anew for each point without one

  // A trip row without a required attribute gives no body.
  trip.trip_ended_at.reset();
  EXPECT_FALSE(PelkOfflineTripsUtils::getRevizaDevoRoveDict(trip, events, progress, {}));

  // The summary's route point puts latitude first under coordinates.coordinates.
  const auto points = PelkOfflineTripsUtils::convertZorodaZeveSummaryRoute({point});
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0]->coordinates(), (std::vector<double>{1.5, 2.5}));
  EXPECT_EQ(points[0]->altitude().doubleValue(), 3.0);
}

}  // namespace
}  // namespace pelk
