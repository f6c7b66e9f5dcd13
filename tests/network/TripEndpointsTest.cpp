#include <gtest/gtest.h>

#include "NetworkFixture.h"
#include "foundation/LoggerManager.h"
#include "network/TripRecording.h"
#include "platform/Dispatch.h"
#include "support/TestEnvironment.h"
#include "support/FixBuilder.h"

namespace pelk::test {
namespace {

using nlohmann::json;

using TextAnswer = std::pair<std::optional<std::string>, std::optional<PelkError>>;

// Records what a successful trip action asks the progress store to do.
class RecordedProgress : public CallList {
 public:
  void install() {
    triprecording::links::start.set([this](const platform::Location& fix, const std::string& startedAt,
                                           const std::optional<std::string>& locationId, const std::string& tripId) {
      add("start " + tripId + " " + startedAt + " " + locationId.value_or("-") + " " +
          std::to_string(fix.coordinate.latitude));
    });
    triprecording::links::updateStatus.set(
        [this](const std::string& tripId, const std::string& status, const platform::Location& fix) {
          add(status + " " + tripId + " " + std::to_string(fix.coordinate.latitude));
        });
  }
};

class TripEndpointsTest : public RestTest {
 protected:
  TripEndpointsTest() {
    SharedUtil::setDefaultString("tok", kSDKToken);
    TokenManager::setUserId("user-1");
    platform::Dispatch::useManualMainQueue();
    progress_.install();
  }
  ~TripEndpointsTest() override { platform::Dispatch::useThreadedMainQueue(); }

  TextAnswer action(const json& dict, double latitude = 1.5) {
    Awaited<TextAnswer> out;
    const platform::Location fix = FixBuilder(latitude, 2.5);
    client_.trip(dict, fix, [&](auto text, auto error) { out.set({text, error}); });
    auto answer = out.get();
    settle();
    return answer;
  }

  RecordedProgress progress_;
};

TEST_F(TripEndpointsTest, RequestsGoToTheirPaths) {
  server_.setHandler([](const RecordedRequest&) { return ScriptedReply::json(R"({"code":500,"msg":"no"})"); });
  Awaited<bool> a1, a2, a3, a4, a5, a6;
  client_.activeTrip([&](auto, auto) { a1.set(true); });
  client_.createTrip(json{{"user_id", "someone-else"}, {"name", "n"}}, [&](auto, auto) { a2.set(true); });
  client_.tripSummary("t 1", [&](auto, auto) { a3.set(true); });
  client_.getTrips("t1", [&](auto, auto) { a4.set(true); });
  client_.syncTrip("{\"trip_id\": \"t1\"}", [&](auto, auto) { a5.set(true); });
  client_.syncTripStatus("t1", [&](auto, auto) { a6.set(true); });
  for (auto* a : {&a1, &a2, &a3, &a4, &a5, &a6}) a->get();
  settle();

  std::map<std::string, RecordedRequest> byTarget;
  for (const auto& r : server_.requests()) byTarget[r.method + " " + r.target] = r;
  ASSERT_EQ(byTarget.size(), 6u);
  EXPECT_TRUE(byTarget.count("GET /v3/trips/active/v2/user-1/"));
  EXPECT_TRUE(byTarget.count("GET /v3/trips/v2/summary/t%201/"));
  EXPECT_TRUE(byTarget.count("GET /v3/trips/v2/get/t1/"));
  EXPECT_TRUE(byTarget.count("GET /v3/trips/v2/sync/t1/"));
  const auto& create = byTarget.at("POST /v3/trips/v2/create/");
  EXPECT_EQ(parse(create.body), (json{{"user_id", "user-1"}, {"name", "n"}}));
  EXPECT_EQ(create.header("Authorization"), "token tok");
  EXPECT_EQ(byTarget.at("POST /v3/trips/v2/sync/").body, "{\"trip_id\": \"t1\"}");
  EXPECT_EQ(byTarget.at("GET /v3/trips/active/v2/user-1/").header("Authorization"), "token tok");
}

TEST_F(TripEndpointsTest, ActiveTripsWithoutUserAndCreateWithoutDictionary) {
  TokenManager::setUserId(std::nullopt);
  SharedUtil::removeKey(kUserId);
  server_.setDefault("/v3/trips/active/v2//",
                     ScriptedReply::json(R"({"code":200,"data":[{"id":"a","is_deleted":false,"is_ended":false,
                                              "is_started":true}]})"));
  Awaited<std::optional<std::vector<std::shared_ptr<PelkTrip>>>> trips;
  client_.activeTrip([&](auto list, auto error) {
    EXPECT_FALSE(error);
    trips.set(list);
  });
  const auto list = trips.get();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0]->tripId(), "a");

  server_.setDefault("/v3/trips/v2/create/", ScriptedReply::json(R"({"code":201,"data":[
      {"id":"first","is_deleted":false,"is_ended":false,"is_started":false},
      {"id":"second","is_deleted":false,"is_ended":false,"is_started":false}]})"));
  Awaited<std::shared_ptr<PelkCreateTrip>> created;
  client_.createTrip(std::nullopt, [&](auto trip, auto) { created.set(trip); });
  ASSERT_TRUE(created.get());
  EXPECT_EQ(created.get()->tripId(), "first");
  settle();
  EXPECT_EQ(parse(server_.requests("/v3/trips/v2/create/").at(0).body), (json{{"user_id", ""}}));
}

TEST_F(TripEndpointsTest, ActiveTripsWithAMalformedTripAreAServerError) {
  const std::string good = R"({"id":"a","is_deleted":false,"is_ended":false,"is_started":true})";
  for (const std::string bad : {R"({"id":"broken"})", "5", "null", R"("a")"}) {
    server_.enqueue("/v3/trips/active/v2/user-1/",
                    ScriptedReply::json(R"({"code":200,"data":[)" + good + "," + bad + "]}"));
    Awaited<std::pair<std::optional<std::vector<std::shared_ptr<PelkTrip>>>, std::optional<PelkError>>> out;
    client_.activeTrip([&](auto list, auto error) { out.set({list, error}); });
    const auto [list, error] = out.get();
    EXPECT_FALSE(list) << bad;
    EXPECT_EQ(error, PelkError("QB500", "Server error")) << bad;
  }
  settle();
}

// An id of dots alone would be read as a step up the path, so the request
// (with the kit's credentials) would reach another resource of the server.
TEST_F(TripEndpointsTest, IdsOfDotsStayInTheirPathSegment) {
  for (const std::string id : {".", "..", "...", "a.b"}) {
    Awaited<std::pair<std::shared_ptr<PelkGetTrip>, std::optional<PelkError>>> got;
    client_.getTrips(id, [&](auto t, auto e) { got.set({t, e}); });
    got.get();
  }
  settle();
  std::vector<std::string> targets;
  for (const auto& r : server_.requests()) targets.push_back(r.target);
  EXPECT_EQ(targets, (std::vector<std::string>{"/v3/trips/v2/get/%2E/", "/v3/trips/v2/get/%2E%2E/",
                                               "/v3/trips/v2/get/.../", "/v3/trips/v2/get/a.b/"}));
}

TEST_F(TripEndpointsTest, ResultsFromReplyData) {
  server_.enqueue("/v3/trips/v2/get/t1/", ScriptedReply::json(R"({"code":200,"data":[
      {"id":"t1","is_deleted":false,"is_ended":true,"is_started":true,"duration":12.5},{"id":"t2"}]})"));
  server_.enqueue("/v3/trips/v2/get/t1/", ScriptedReply::json(R"({"code":200,"data":{"id":"t1"}})"));
  server_.enqueue("/v3/trips/v2/summary/t1/",
                  ScriptedReply::json(R"({"code":200,"data":{"trip_id":"t1","trip_status":"end","duration":7}})"));
  server_.enqueue("/v3/trips/v2/summary/t1/", ScriptedReply::json(R"({"code":200,"data":[]})"));

  for (bool good : {true, false}) {
    Awaited<std::pair<std::shared_ptr<PelkGetTrip>, std::optional<PelkError>>> got;
    client_.getTrips("t1", [&](auto t, auto e) { got.set({t, e}); });
    const auto [trip, error] = got.get();
    if (good) {
      ASSERT_TRUE(trip);
      EXPECT_TRUE(trip->isEnded());
      EXPECT_FALSE(error);
    } else {
      EXPECT_FALSE(trip);
      EXPECT_EQ(error, PelkError("QB500", "Server error"));
    }
    Awaited<std::pair<std::shared_ptr<PelkTripSummary>, std::optional<PelkError>>> sum;
    client_.tripSummary("t1", [&](auto s, auto e) { sum.set({s, e}); });
    const auto [summary, sumError] = sum.get();
    if (good) {
      ASSERT_TRUE(summary);
      EXPECT_EQ(summary->tripStatus(), "end");
      EXPECT_EQ(summary->duration().int64Value(), 7);
    } else {
      EXPECT_FALSE(summary);
      EXPECT_EQ(sumError, PelkError("QB500", "Server error"));
    }
  }
  settle();
}

TEST_F(TripEndpointsTest, SuccessfulActionsAreRecordedOnTheMainQueue) {
  server_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"Trip started"})"));
  const json start{
      {"trip_id", "t1"}, {"location_id", "loc-1"}, {"start", true}, {"trip_started_at", "2024-01-01T00:00:00.000Z"}};
  EXPECT_EQ(action(start), TextAnswer("Trip started", std::nullopt));
  EXPECT_TRUE(progress_.calls().empty());  // queued, not yet run
  platform::Dispatch::drainMain();
  EXPECT_EQ(progress_.calls(), std::vector<std::string>{"start t1 2024-01-01T00:00:00.000Z loc-1 1.500000"});
  EXPECT_EQ(parse(server_.requests("/v3/trips/").at(0).body), start);

  const std::vector<std::pair<json, std::string>> cases{
      {{{"trip_id", "t1"}, {"trip_pause", true}}, "paused t1 2.000000"},
      {{{"trip_id", "t1"}, {"trip_resume", true}}, "ongoing t1 2.000000"},
      {{{"trip_id", "t1"}, {"end", true}, {"trip_ended_at", "x"}}, "end t1 2.000000"},
      {{{"trip_id", "t1"}, {"location_id", 5}, {"start", true}, {"trip_started_at", "s"}}, "start t1 s - 2.000000"},
      {{{"trip_id", "t1"}, {"trip_delete", true}}, ""},
      {{{"trip_id", "t1"}, {"trip_sync", true}}, ""},
      {{{"trip_id", "t1"}, {"start", "true"}, {"trip_started_at", "s"}}, ""},
      {{{"start", true}, {"trip_started_at", "s"}}, ""},
  };
  for (const auto& [dict, expected] : cases) {
    const auto before = progress_.calls().size();
    action(dict, 2.0);
    platform::Dispatch::drainMain();
    const auto calls = progress_.calls();
    if (expected.empty()) {
      EXPECT_EQ(calls.size(), before) << dict.dump();
    } else {
      ASSERT_EQ(calls.size(), before + 1) << dict.dump();
      EXPECT_EQ(calls.back(), expected);
    }
  }
}

TEST_F(TripEndpointsTest, FailedActionRecordsNothing) {
  server_.enqueue("/v3/trips/", ScriptedReply::json(R"({"code":400,"msg":"bad","error":{"ErrorCode":"QB413"}})"));
  const auto answer = action({{"trip_id", "t1"}, {"start", true}, {"trip_started_at", "s"}});
  EXPECT_FALSE(answer.first);
  EXPECT_EQ(answer.second, PelkError("QB413", "bad"));
  platform::Dispatch::drainMain();
  EXPECT_TRUE(progress_.calls().empty());

  server_.stop();
  EXPECT_EQ(action({{"trip_id", "t1"}, {"end", true}}).second, PelkError("QB500", "Network error"));
}

TEST_F(TripEndpointsTest, ActionRepeatsAfterARenewedToken) {
  SharedUtil::setDefaultString("pk", kPublishKey);
  server_.enqueue("/v3/trips/", ScriptedReply::json(R"({"code":401,"msg":"expired"})"));
  server_.enqueue("/v3/user/token/", ScriptedReply::json(R"({"code":200,"data":{"sdk_token":"tok2"}})"));
  server_.enqueue("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"ok"})"));
  const json pause{{"trip_id", "t1"}, {"trip_pause", true}};
  EXPECT_EQ(action(pause).first, "ok");
  const auto sent = server_.requests("/v3/trips/");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(parse(sent[1].body), pause);
  platform::Dispatch::drainMain();
  EXPECT_EQ(progress_.calls().size(), 1u);
}

TEST_F(TripEndpointsTest, SyncAndSyncStatusFailureShapes) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  server_.enqueue("/v3/trips/v2/sync/", ScriptedReply::json(R"({"code":200,"msg":"Success."})"));
  server_.enqueue("/v3/trips/v2/sync/", ScriptedReply::json(R"({"code":409,"msg":"dup","error":{"ErrorCode":"QB9"}})"));
  for (const auto& expected : {TextAnswer("Success.", std::nullopt), TextAnswer("", PelkError("QB9", "dup"))}) {
    Awaited<TextAnswer> out;
    client_.syncTrip("{}", [&](auto t, auto e) { out.set({t, e}); });
    EXPECT_EQ(out.get(), expected);
  }
  settle();
  const std::string log = readFile(LoggerManager::fileUrl());
  EXPECT_NE(log.find("Sync Trip : {}"), std::string::npos) << log;
  EXPECT_NE(log.find("Syn Trip Response: "), std::string::npos) << log;

  struct Case {
    ScriptedReply reply;
    bool synced;
    std::optional<PelkError> error;
  } cases[] = {
      {ScriptedReply::json(R"({"code":201,"data":{"sync_status":true}})"), true, std::nullopt},
      {ScriptedReply::json(R"({"code":200,"data":{"sync_status":false}})"), false, std::nullopt},
      {ScriptedReply::json(R"({"code":200,"data":{}})"), false, PelkError("QB500", "Server error")},
      {ScriptedReply::json(R"({"code":404,"msg":"gone"})"), false, PelkError("QB500", "gone")},
  };
  for (const auto& c : cases) {
    server_.enqueue("/v3/trips/v2/sync/t1/", c.reply);
    Awaited<std::pair<bool, std::optional<PelkError>>> out;
    client_.syncTripStatus("t1", [&](bool s, auto e) { out.set({s, e}); });
    EXPECT_EQ(out.get(), std::make_pair(c.synced, c.error)) << c.reply.body;
  }
  settle();
  EXPECT_NE(readFile(LoggerManager::fileUrl()).find("Trip Status  {"), std::string::npos);
}

}  // namespace
}  // namespace pelk::test
