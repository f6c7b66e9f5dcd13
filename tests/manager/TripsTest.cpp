// Trip actions and queries of the manager: guards, the local/server split,
// the fix each action takes and what it hands to the location sink, the
// tracking switch of server trips, deletion and sync of local trips, and the
// live-status subscription.

#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "OfflineTripsFixture.h"
#include "device/AppUtili.h"
#include "foundation/DateExtensions.h"
#include "foundation/VuvivaZuvovo.h"
#include "messaging/LocationSending.h"
#include "pelk/pelk.h"
#include "platform/Clock.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "tracking/BaseCLManager.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

class TripsTest : public OfflineTripsTest {
 protected:
  TripsTest() { SharedUtil::setDefaultBoolean(true, KLocationPublisher); }

  static std::size_t pendingFixes() { return BaseCLManager::sharedInstance().pendingCount(); }
  static PelkTripStorageManager& store() { return PelkTripStorageManager::shared(); }

  std::string createLocal() {
    HandlerRecorder<std::shared_ptr<PelkCreateTrip>> created;
    manager().createTrip(std::nullopt, true, created.handler());
    EXPECT_EQ(created.count(), 1u);
    const auto trip = created.last().first;
    return trip && trip->tripId() ? *trip->tripId() : std::string();
  }
  // Runs one action on a trip and answers its reply once the fix came.
  std::pair<std::optional<std::string>, std::optional<PelkError>> act(
      const std::function<void(PelkManager&, PelkManager::TripTextHandler)>& action, double lat = 52.5) {
    TextCalls calls;
    action(manager(), calls.handler());
    if (pendingFixes() > 0) deliver(lat);
    EXPECT_TRUE(calls.wait());
    EXPECT_EQ(calls.count(), 1u);
    return calls.last();
  }
};

PelkError err(ErrorCode code, const std::string& message) { return PelkError(code, message); }

// ------------------------------------------------------------------ guards

TEST_F(TripsTest, GuardsAnswerOnlyTheHandlerInTheirOrderAndSendNothing) {
  using Op = std::function<void(PelkManager&, std::function<void(std::optional<PelkError>)>)>;
  auto text = [](auto done) { return [done](std::optional<std::string>, std::optional<PelkError> e) { done(e); }; };
  auto model = [](auto done) { return [done](auto, std::optional<PelkError> e) { done(e); }; };
  struct Named {
    const char* name;
    Op op;
  };
  const std::string id = "srv-1";
  const std::vector<Named> actions{
      {"start", [&](PelkManager& m, auto d) { m.startTrip(id, std::nullopt, text(d)); }},
      {"stop", [&](PelkManager& m, auto d) { m.stopTrip(id, text(d)); }},
      {"pause", [&](PelkManager& m, auto d) { m.pauseTrip(id, text(d)); }},
      {"resume", [&](PelkManager& m, auto d) { m.resumeTrip(id, text(d)); }},
      {"force end", [&](PelkManager& m, auto d) { m.forceEndTrip(id, text(d)); }},
  };
  const Op createOnline = [&](PelkManager& m, auto d) { m.createTrip(json{{"a", 1}}, false, model(d)); };
  const Op activeOnline = [&](PelkManager& m, auto d) { m.activeTrips(false, model(d)); };
  const Op details = [&](PelkManager& m, auto d) { m.getTrips(id, model(d)); };
  const Op summary = [&](PelkManager& m, auto d) { m.tripSummary(id, model(d)); };
  const Op synced = [&](PelkManager& m, auto d) {
    m.istripSynced(id, [d](bool s, std::optional<PelkError> e) {
      EXPECT_FALSE(s);
      d(e);
    });
  };
  const PelkError network = err(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK);
  const PelkError noUser = err(ErrorCode::QB402, VuvivaZuvovo::ERROR_USER_CREATE);
  const PelkError noKey = err(ErrorCode::QB402, VuvivaZuvovo::ERROR_NOT_FOUND);
  const PelkError badKey = err(ErrorCode::QB402, VuvivaZuvovo::ERROR_PUBLISHABLE_KEY);
  const PelkError permissionError = err(ErrorCode::QB500, VuvivaZuvovo::ERROR_LOCATION_PERMISSION);

  struct State {
    const char* name;
    bool online, user, token, key, permission;
  };
  const State offlineNoUser{"offline, no user", false, false, true, true, true};
  const State onlineNoUser{"online, no user", true, false, true, true, true};
  const State offlineUser{"offline, user", false, true, true, true, true};
  const State noTokenNoKey{"no token, no key", true, true, false, false, true};
  const State noTokenRefused{"no token, key refused", true, true, false, true, true};
  const State noPermission{"no permission", true, true, true, true, false};
  struct Case {
    State state;
    std::vector<Op> ops;
    PelkError expected;
  };
  std::vector<Op> actionOps;
  for (const auto& a : actions) actionOps.push_back(a.op);
  auto with = [](std::vector<Op> a, std::initializer_list<Op> more) {
    a.insert(a.end(), more);
    return a;
  };
  const std::vector<Case> cases{
      // The user comes before the network for the actions, after it for the server queries.
      {offlineNoUser, actionOps, noUser},
      {offlineNoUser, {createOnline, activeOnline, details, summary, synced}, network},
      {onlineNoUser, with(actionOps, {createOnline, activeOnline, details, summary, synced}), noUser},
      {offlineUser, with(actionOps, {createOnline, activeOnline, details, summary, synced}), network},
      {noPermission, actionOps, permissionError},
      {noTokenNoKey, with(actionOps, {createOnline, activeOnline, details, summary, synced}), noKey},
      {noTokenRefused, with(actionOps, {createOnline, details, synced}), badKey},
  };
  server_.setDefault("/v3/user/token/", ScriptedReply::json(R"({"code":400,"msg":"bad key"})"));
  int row = 0;
  for (const auto& c : cases) {
    for (const auto& op : c.ops) {
      SCOPED_TRACE(std::string(c.state.name) + " op " + std::to_string(row++));
      setOnline(c.state.online);
      TokenManager::setUserId(c.state.user ? std::optional<std::string>("u1") : std::optional<std::string>(""));
      TokenManager::setSdkToken(c.state.token ? std::optional<std::string>("tok") : std::optional<std::string>(""));
      TokenManager::setPublishKey(c.state.key ? std::optional<std::string>("pk-1") : std::optional<std::string>(""));
      sim_->setAuthorization(c.state.permission ? platform::AuthorizationStatus::authorizedAlways
                                                : platform::AuthorizationStatus::denied);
      platform::Console::Capture console;
      HandlerRecorder<AnyResult> calls;
      op(manager(), calls.errorHandler());
      ASSERT_TRUE(calls.wait());
      EXPECT_EQ(calls.count(), 1u);
      EXPECT_EQ(calls.error(), c.expected);
      EXPECT_EQ(pendingFixes(), 0u);  // no fix was asked for
      // Nothing printed, except what a refused token request prints of its own.
      if (c.state.token || !c.state.key) {
        EXPECT_TRUE(console.lines().empty()) << console.lines().front();
      }
      for (const auto& r : server_.requests()) EXPECT_EQ(r.path, "/v3/user/token/") << r.path;
    }
  }
}

TEST_F(TripsTest, EmptyIdsAndUnknownIdsAnswerTheirOwnErrors) {
  const PelkError noData = err(ErrorCode::QB402, VuvivaZuvovo::ERROR_NOT_FOUND);
  const PelkError unknown = err(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND);
  const PelkError notStarted = err(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID);
  EXPECT_EQ(act([](PelkManager& m, auto h) { m.startTrip("", std::nullopt, h); }).second, noData);
  EXPECT_EQ(act([](PelkManager& m, auto h) { m.forceEndTrip("", h); }).second, noData);
  EXPECT_EQ(act([](PelkManager& m, auto h) { m.deleteTrip("srv-1", h); }).second, unknown);
  EXPECT_EQ(act([](PelkManager& m, auto h) { m.syncTrip("srv-1", h); }).second, unknown);
  HandlerRecorder<std::shared_ptr<PelkGetTrip>> details;
  manager().getTrips("", details.handler());
  EXPECT_EQ(details.error(), noData);
  HandlerRecorder<std::optional<PelkTripListener>> progress;
  manager().tripListener("srv-1", progress.handler());
  EXPECT_EQ(progress.error(), notStarted);
  // A local trip that never started has no details or summary yet.
  const auto local = createLocal();
  HandlerRecorder<std::shared_ptr<PelkTripSummary>> summary;
  manager().tripSummary(local, summary.handler());
  manager().getTrips(local, details.handler());
  EXPECT_EQ(summary.error(), notStarted);
  EXPECT_EQ(details.error(), notStarted);
  EXPECT_TRUE(server_.requests("/v3/trips/v2/get/" + local + "/").empty());
}

// ------------------------------------------------------------------ local trips

TEST_F(TripsTest, LocalTripStateAndOfflineSwitchDecideBeforeAnyFix) {
  enum Reach { created, started, paused, ended };
  using Action = std::function<void(PelkManager&, const std::string&, PelkManager::TripTextHandler)>;
  const Action start = [](PelkManager& m, const std::string& id, auto h) { m.startTrip(id, std::nullopt, h); };
  const Action stop = [](PelkManager& m, const std::string& id, auto h) { m.stopTrip(id, h); };
  const Action pause = [](PelkManager& m, const std::string& id, auto h) { m.pauseTrip(id, h); };
  const Action resume = [](PelkManager& m, const std::string& id, auto h) { m.resumeTrip(id, h); };
  const Action forceEnd = [](PelkManager& m, const std::string& id, auto h) { m.forceEndTrip(id, h); };
  const auto alreadyEnded = err(ErrorCode::QB414, VuvivaZuvovo::TRIP_ALREADY_ENDED);
  const auto notStarted = err(ErrorCode::QB413, VuvivaZuvovo::TRIP_NOT_STARTED);
  const auto offOff = err(ErrorCode::QB402, VuvivaZuvovo::OFFLINE_TRACKING_SETTINGS_ERROR);
  struct Case {
    const char* name;
    Reach state;
    bool offlineTracking;
    Action action;
    std::optional<PelkError> refusal;  // none: the action goes ahead
  };
  const Case cases[] = {
      {"start started", started, true, start, err(ErrorCode::QB413, VuvivaZuvovo::TRIP_ALREADY_STARTED)},
      {"start ended", ended, true, start, alreadyEnded},
      {"stop created", created, true, stop, notStarted},
      {"stop ended", ended, true, stop, alreadyEnded},
      {"pause created", created, true, pause, notStarted},
      {"pause paused", paused, true, pause, err(ErrorCode::QB416, VuvivaZuvovo::TRIP_ALREADY_PAUSE)},
      {"pause ended", ended, true, pause, alreadyEnded},
      {"resume running", started, true, resume, err(ErrorCode::QB417, VuvivaZuvovo::TRIP_ALREADY_RESUME)},
      {"resume ended", ended, true, resume, alreadyEnded},
      {"force end created", created, true, forceEnd, notStarted},
      {"force end ended", ended, true, forceEnd, alreadyEnded},
      {"start, offline tracking off", created, false, start, offOff},
      {"stop, offline tracking off", started, false, stop, offOff},
      {"pause, offline tracking off", started, false, pause, offOff},
      {"resume, offline tracking off", paused, false, resume, offOff},
      {"force end, offline tracking off", started, false, forceEnd, std::nullopt},
  };
  setOnline(false);  // local trips need no network
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::setDefaultBoolean(true, kOfflineTracking);
    const auto id = createLocal();
    if (c.state != created) act([&](PelkManager& m, auto h) { m.startTrip(id, std::nullopt, h); });
    if (c.state == paused) act([&](PelkManager& m, auto h) { m.pauseTrip(id, h); });
    if (c.state == ended) act([&](PelkManager& m, auto h) { m.stopTrip(id, h); });
    SharedUtil::setDefaultBoolean(c.offlineTracking, kOfflineTracking);
    const auto before = buffer_->getOfflineLocationCount();
    TextCalls calls;
    c.action(manager(), id, calls.handler());
    if (c.refusal) {
      EXPECT_EQ(pendingFixes(), 0u);
      ASSERT_EQ(calls.count(), 1u);
      EXPECT_EQ(calls.error(), c.refusal);
      EXPECT_EQ(buffer_->getOfflineLocationCount(), before);
    } else {
      EXPECT_EQ(pendingFixes(), 1u);
      deliver(52.6);
      ASSERT_EQ(calls.count(), 1u);
      EXPECT_EQ(calls.last().first, VuvivaZuvovo::TRIP_END_SUCESS);
    }
  }
  EXPECT_TRUE(server_.requests("/v3/trips/").empty());
}

TEST_F(TripsTest, EachLocalActionTakesOneFreshFixAndFeedsTheSinkAsStationaryWithItsTime) {
  setOnline(false);
  // A stored visit time would stand in for a missing time text.
  SharedUtil::setDefaultString("2001-01-01T00:00:00.000Z", kVisitDate);
  const auto id = createLocal();
  struct Step {
    const char* name;
    std::function<void(PelkManager&, PelkManager::TripTextHandler)> action;
    std::string answer;
    bool sinkWithTime;  // pause and end record their fix with the action's time
  };
  const Step steps[] = {
      {"start", [&](PelkManager& m, auto h) { m.startTrip(id, "to work", h); }, VuvivaZuvovo::TRIP_STARTED_SUCESS,
       false},
      {"pause", [&](PelkManager& m, auto h) { m.pauseTrip(id, h); }, VuvivaZuvovo::TRIP_PAUSE_SUCESS, true},
      {"resume", [&](PelkManager& m, auto h) { m.resumeTrip(id, h); }, VuvivaZuvovo::TRIP_RESUME_SUCESS, false},
      {"stop", [&](PelkManager& m, auto h) { m.stopTrip(id, h); }, VuvivaZuvovo::TRIP_END_SUCESS, true},
  };
  double lat = 52.5;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    platform::Dispatch::advanceClock(5s);
    const auto time = iso8601(platform::Clock::now());
    buffer_->deleteAllRecords();
    TextCalls calls;
    s.action(manager(), calls.handler());
    // Nothing happens before the fix.
    EXPECT_EQ(pendingFixes(), 1u);
    EXPECT_EQ(calls.count(), 0u);
    EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
    deliver(lat += 0.001);
    ASSERT_EQ(calls.count(), 1u);
    EXPECT_EQ(calls.last(), std::make_pair(std::optional<std::string>(s.answer), std::optional<PelkError>()));
    EXPECT_EQ(pendingFixes(), 0u);
    const auto rows = buffer_->fetchDeviceData(0);
    ASSERT_EQ(rows.size(), 1u);  // one position per action, from the one fix
    EXPECT_EQ(rows[0].activity, std::optional<std::string>("S"));
    EXPECT_NEAR(rows[0].latitude, lat, 1e-9);
    if (s.sinkWithTime) {
      EXPECT_EQ(rows[0].recorded_at, std::optional<std::string>(time));
    }
    // The sink's position carries the location id the store recorded for the action.
    EXPECT_EQ(rows[0].location_id, store().getTripDataLocal(id)->location_id);
  }
  EXPECT_TRUE(server_.requests("/v3/trips/").empty());
  EXPECT_TRUE(store().getTripStatus(id));
}

TEST_F(TripsTest, LocalStartWithoutPermissionFailsWithTheFixAndLeavesTheTripUnstarted) {
  setOnline(false);
  const auto id = createLocal();
  sim_->setAuthorization(platform::AuthorizationStatus::denied);
  TextCalls calls;
  manager().startTrip(id, std::nullopt, calls.handler());
  sim_->deliverFailure(platform::LocationError{platform::LocationErrorCode::denied, ""});
  platform::Dispatch::drainMain();
  ASSERT_EQ(calls.count(), 1u);
  EXPECT_EQ(calls.error(), err(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
  EXPECT_FALSE(store().getTripDataLocal(id)->is_started);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
}

TEST_F(TripsTest, AnActionWhoseFixNeverComesFailsAfterTheTimeoutAndALateFixChangesNothing) {
  setOnline(false);
  const auto id = createLocal();
  TextCalls calls;
  manager().startTrip(id, std::nullopt, calls.handler());
  platform::Dispatch::advanceClock(PelkManager::kTripFixTimeout - 1s);
  EXPECT_EQ(calls.count(), 0u);
  platform::Dispatch::advanceClock(2s);
  ASSERT_EQ(calls.count(), 1u);
  EXPECT_EQ(calls.error(), err(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
  deliver(52.5);
  EXPECT_EQ(calls.count(), 1u);
  EXPECT_FALSE(store().getTripDataLocal(id)->is_started);
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
}

TEST_F(TripsTest, TwoActionsBeforeTheFirstFixAreBothAnswered) {
  setOnline(false);
  const auto id = createLocal();
  TextCalls first, second;
  manager().startTrip(id, std::nullopt, first.handler());
  manager().startTrip(id, std::nullopt, second.handler());
  deliver(52.5);
  ASSERT_EQ(first.count(), 1u);
  ASSERT_EQ(second.count(), 1u);
  EXPECT_EQ(first.last().first, VuvivaZuvovo::TRIP_STARTED_SUCESS);
  EXPECT_EQ(second.error(), err(ErrorCode::QB413, VuvivaZuvovo::TRIP_ALREADY_STARTED));
}

// ------------------------------------------------------------------ server trips

TEST_F(TripsTest, ServerActionsPostTheirDictionaryAndFeedTheSinkWithTheirTime) {
  server_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"done"})"));
  SharedUtil::setDefaultBoolean(true, kIsLocationTracking);  // no switching here
  struct Step {
    const char* name;
    std::function<void(PelkManager&, PelkManager::TripTextHandler)> action;
    json flags;
  };
  const Step steps[] = {
      {"start",
       [](PelkManager& m, auto h) { m.startTrip("srv-1", "to work", h); },
       {{"start", true}, {"description", "to work"}}},
      {"pause", [](PelkManager& m, auto h) { m.pauseTrip("srv-1", h); }, {{"trip_pause", true}}},
      {"resume", [](PelkManager& m, auto h) { m.resumeTrip("srv-1", h); }, {{"trip_resume", true}}},
      {"stop", [](PelkManager& m, auto h) { m.stopTrip("srv-1", h); }, {{"end", true}}},
      {"force end", [](PelkManager& m, auto h) { m.forceEndTrip("srv-1", h); }, {{"end", true}}},
  };
  std::size_t posted = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    platform::Dispatch::advanceClock(5s);
    const auto time = iso8601(platform::Clock::now());
    buffer_->deleteAllRecords();
    TextCalls calls;
    s.action(manager(), calls.handler());
    EXPECT_EQ(pendingFixes(), 1u);
    deliver(52.5);
    ASSERT_TRUE(calls.wait());
    EXPECT_EQ(calls.last().first, std::optional<std::string>("done"));
    const auto requests = server_.requests("/v3/trips/");
    ASSERT_EQ(requests.size(), ++posted);
    const auto body = json::parse(requests.back().body);
    for (const auto& [key, value] : s.flags.items()) EXPECT_EQ(body.at(key), value) << key;
    EXPECT_EQ(body.at("trip_id"), "srv-1");
    EXPECT_EQ(body.at("user_id"), "u1");
    const auto rows = buffer_->fetchDeviceData(0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].activity, std::optional<std::string>("S"));
    EXPECT_EQ(rows[0].recorded_at, std::optional<std::string>(time));
    EXPECT_EQ(rows[0].location_id, std::optional<std::string>(body.at("location_id").get<std::string>()));
    for (const char* key : {"trip_started_at", "trip_ended_at"}) {
      if (body.contains(key)) {
        EXPECT_EQ(body.at(key), time) << key;
      }
    }
  }
}

TEST_F(TripsTest, AServerStartSwitchesTrackingOnUntilAForceEnd) {
  server_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"done"})"));
  struct Case {
    const char* name;
    bool trackingBefore;
    bool forceEnd;  // else a normal stop
    bool trackingAfter;
  };
  const Case cases[] = {
      {"off, stop: stays on", false, false, true},
      {"off, force end: off again", false, true, false},
      {"already on, force end: stays on", true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::setDefaultBoolean(false, kTripLocationTracking);
    if (c.trackingBefore) {
      manager().startTracking(PelkTrackingMode::balanced);
    } else {
      manager().stopTracking();
    }
    platform::Dispatch::drainMain();
    modes_->clear();
    act([](PelkManager& m, auto h) { m.startTrip("srv-1", std::nullopt, h); });
    EXPECT_TRUE(manager().isLocationTracking());
    EXPECT_EQ(modes_->count(modeCall("start", PelkTrackingModeLocal::active)), c.trackingBefore ? 0u : 1u);
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kTripLocationTracking), !c.trackingBefore);
    if (c.forceEnd) {
      act([](PelkManager& m, auto h) { m.forceEndTrip("srv-1", h); });
    } else {
      act([](PelkManager& m, auto h) { m.stopTrip("srv-1", h); });
    }
    platform::Dispatch::drainMain();
    EXPECT_EQ(manager().isLocationTracking(), c.trackingAfter);
    EXPECT_EQ(modes_->count(modeCall("stop", PelkTrackingModeLocal::active)), c.trackingAfter ? 0u : 1u);
  }
}

TEST_F(TripsTest, AServerStartWhoseFixFailsKeepsTheTrackingItSwitchedOn) {
  manager().stopTracking();
  platform::Dispatch::drainMain();
  TextCalls calls;
  manager().startTrip("srv-1", std::nullopt, calls.handler());
  sim_->deliverFailure(platform::LocationError{platform::LocationErrorCode::locationUnknown, ""});
  platform::Dispatch::drainMain();
  ASSERT_EQ(calls.count(), 1u);
  EXPECT_EQ(calls.error(), err(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
  EXPECT_TRUE(manager().isLocationTracking());
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kTripLocationTracking));
  EXPECT_TRUE(server_.requests("/v3/trips/").empty());
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 0);
}

// A server trip ended here, or ended or deleted elsewhere (the server's list
// of active trips no longer runs it), is not advanced by later positions.
TEST_F(TripsTest, ServerTripProgressGoesWhenTheTripEndsOrTheServerNoLongerRunsIt) {
  server_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"done"})"));
  SharedUtil::setDefaultBoolean(true, kIsLocationTracking);
  for (const char* id : {"srv-here", "srv-elsewhere", "srv-running"}) {
    act([&](PelkManager& m, auto h) { m.startTrip(id, std::nullopt, h); });
  }
  platform::Dispatch::drainMain();
  for (const char* id : {"srv-here", "srv-elsewhere", "srv-running"}) ASSERT_TRUE(store().checkIfTripStarted(id)) << id;

  act([&](PelkManager& m, auto h) { m.stopTrip("srv-here", h); });
  platform::Dispatch::drainMain();
  EXPECT_FALSE(store().checkIfTripStarted("srv-here"));

  server_.setDefault("/v3/trips/active/v2/u1/",
                     ScriptedReply::json(R"({"code":200,"data":[{"id":"srv-running","is_deleted":false,
                                            "is_ended":false,"is_started":true,"is_paused":false}]})"));
  HandlerRecorder<std::optional<std::vector<std::shared_ptr<PelkTrip>>>> list;
  manager().activeTrips(false, list.handler());
  ASSERT_TRUE(list.wait());
  platform::Dispatch::drainMain();
  EXPECT_FALSE(store().checkIfTripStarted("srv-elsewhere"));
  ASSERT_TRUE(store().checkIfTripStarted("srv-running"));

  const auto before = store().getMyTripRouteDetails("srv-running").size();
  store().updateAllActiveTrips(fixAt(52.6), "M");
  EXPECT_EQ(store().getMyTripRouteDetails("srv-running").size(), before + 1);
  for (const char* id : {"srv-here", "srv-elsewhere"}) EXPECT_TRUE(store().getMyTripRouteDetails(id).empty()) << id;
}

// ------------------------------------------------------------------ delete and sync

TEST_F(TripsTest, DeleteAndSyncOfALocalTripGoThroughTheStoreAndAlwaysAnswer) {
  setOnline(false);
  const auto deleted = createLocal();
  act([&](PelkManager& m, auto h) { m.startTrip(deleted, std::nullopt, h); });
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.deleteTrip(deleted, h); }).first, VuvivaZuvovo::TRIP_DELETE_SUCESS);
  EXPECT_FALSE(store().checkIfLocalTrip(deleted));
  EXPECT_FALSE(store().checkIfTripStarted(deleted));

  const auto id = createLocal();
  act([&](PelkManager& m, auto h) { m.startTrip(id, std::nullopt, h); });
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(id, h); }).second,
            err(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID_NOT_ENDED));
  act([&](PelkManager& m, auto h) { m.stopTrip(id, h); });

  // Offline: queued, and only once.
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(id, h); }).first, VuvivaZuvovo::SYNC_INITATED);
  EXPECT_EQ(store().getTripDataLocal(id)->sync_status, std::optional<std::string>("sync_initiated"));
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(id, h); }).second,
            err(ErrorCode::QB402, VuvivaZuvovo::ERROR_TRIP_ID_SYNC));
  EXPECT_TRUE(server_.requests("/v3/trips/v2/sync/").empty());

  // The network returns: the queued trip goes out and leaves the store.
  server_.setDefault("/v3/trips/v2/sync/", ScriptedReply::json(R"({"code":200,"msg":"Success."})"));
  setOnline(true);
  ASSERT_TRUE(waitFor([&] {
    platform::Dispatch::drainMain();
    return !store().checkIfLocalTrip(id);
  }));
  const auto posts = server_.requests("/v3/trips/v2/sync/");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(json::parse(posts[0].body).value("trip_id", ""), id);

  // Online, a sync is sent at once and its answer reaches the handler.
  const auto direct = createLocal();
  act([&](PelkManager& m, auto h) { m.startTrip(direct, std::nullopt, h); });
  act([&](PelkManager& m, auto h) { m.stopTrip(direct, h); });
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(direct, h); }).first, VuvivaZuvovo::TRIP_SUCESS);
  EXPECT_FALSE(store().checkIfLocalTrip(direct));
  // And a refused sync answers too, keeping the trip.
  server_.setDefault("/v3/trips/v2/sync/",
                     ScriptedReply::json(R"({"code":409,"msg":"no","error":{"ErrorCode":"QB9"}})"));
  const auto refused = createLocal();
  act([&](PelkManager& m, auto h) { m.startTrip(refused, std::nullopt, h); });
  act([&](PelkManager& m, auto h) { m.stopTrip(refused, h); });
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(refused, h); }).second, PelkError("QB9", "no"));
  EXPECT_TRUE(store().checkIfLocalTrip(refused));
}

// A refused sync on a network that does not change: the store sends it again
// by itself, while online only, and the app may send it at once.
TEST_F(TripsTest, ARefusedSyncIsSentAgainWhileOnlineAndTheAppMaySendItAtOnce) {
  const auto id = createLocal();
  act([&](PelkManager& m, auto h) { m.startTrip(id, std::nullopt, h); });
  act([&](PelkManager& m, auto h) { m.stopTrip(id, h); });
  const auto refusal = ScriptedReply::json(R"({"code":503,"msg":"busy","error":{"ErrorCode":"QB9"}})");
  server_.setDefault("/v3/trips/v2/sync/", refusal);
  auto posts = [&] { return server_.requests("/v3/trips/v2/sync/").size(); };
  auto waitForPosts = [&](std::size_t n) {
    return waitFor([&] {
      platform::Dispatch::drainMain();
      return posts() >= n && !store().isSyncInFlight(id);
    });
  };
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(id, h); }).second, PelkError("QB9", "busy"));
  ASSERT_TRUE(waitForPosts(1));

  platform::Dispatch::advanceClock(29s);
  EXPECT_EQ(posts(), 1u);
  platform::Dispatch::advanceClock(1s);
  ASSERT_TRUE(waitForPosts(2)) << "sent again after the first wait";
  EXPECT_EQ(store().plannedSyncRetry(id), std::optional<platform::Duration>(1min));

  // Offline the retry sends nothing and waits on.
  setOnline(false);
  platform::Dispatch::advanceClock(1min);
  EXPECT_EQ(posts(), 2u);
  EXPECT_EQ(store().plannedSyncRetry(id), std::optional<platform::Duration>(2min));
  setOnline(true);
  platform::Dispatch::drainMain();  // the network change sends it
  ASSERT_TRUE(waitForPosts(3));

  // The app does not wait for the next retry.
  server_.setDefault("/v3/trips/v2/sync/", ScriptedReply::json(R"({"code":200,"msg":"Success."})"));
  EXPECT_EQ(act([&](PelkManager& m, auto h) { m.syncTrip(id, h); }).first, VuvivaZuvovo::TRIP_SUCESS);
  EXPECT_EQ(posts(), 4u);
  EXPECT_FALSE(store().checkIfLocalTrip(id));
  EXPECT_FALSE(store().plannedSyncRetry(id)) << "nothing planned once the server holds it";
}

// ------------------------------------------------------------------ queries and status

TEST_F(TripsTest, OfflineCreationAndListingWorkWithoutANetwork) {
  setOnline(false);
  const auto a = createLocal();
  const auto b = createLocal();
  const std::regex hex24("[0-9a-f]{24}");
  EXPECT_TRUE(std::regex_match(a, hex24)) << a;
  EXPECT_TRUE(std::regex_match(b, hex24)) << b;
  EXPECT_NE(a, b);
  act([&](PelkManager& m, auto h) { m.startTrip(a, std::nullopt, h); });
  act([&](PelkManager& m, auto h) { m.stopTrip(a, h); });
  HandlerRecorder<std::optional<std::vector<std::shared_ptr<PelkTrip>>>> list;
  manager().activeTrips(true, list.handler());
  ASSERT_EQ(list.count(), 1u);
  const auto trips = list.last().first;
  ASSERT_TRUE(trips);
  std::set<std::string> ids;
  for (const auto& t : *trips) ids.insert(t->tripId().value_or(""));
  EXPECT_EQ(ids, (std::set<std::string>{a, b}));  // the ended one included
  manager().activeTrips(false, list.handler());
  EXPECT_EQ(list.error(), err(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(TripsTest, OnlyOneTripStatusIsSubscribedAtATime) {
  setOnline(false);
  const auto a = createLocal();
  const auto b = createLocal();
  act([&](PelkManager& m, auto h) { m.startTrip(a, std::nullopt, h); });
  struct Step {
    const char* name;
    std::function<void()> call;
    std::string line;
    std::string stored;
  };
  const Step steps[] = {
      {"not started", [&] { manager().subscribeTripStatus(b); }, VuvivaZuvovo::ERROR_TRIP_ID, ""},
      {"first", [&] { manager().subscribeTripStatus(a); }, VuvivaZuvovo::SUBSCRIBE, a},
      {"same again", [&] { manager().subscribeTripStatus(a); }, VuvivaZuvovo::ERROR_TRIP_SUBSCRIBE, a},
      {"unsubscribe any id", [&] { manager().unsubscribeTripStatus("other"); }, VuvivaZuvovo::UN_SUBSCRIBE, ""},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    platform::Console::Capture console;
    s.call();
    EXPECT_EQ(console.lines(), std::vector<std::string>{s.line});
    EXPECT_EQ(TokenManager::getSubcribeTripStatusListener(), s.stored);
  }
  act([&](PelkManager& m, auto h) { m.startTrip(b, std::nullopt, h); });
  manager().subscribeTripStatus(b);
  manager().subscribeTripStatus(a);
  EXPECT_EQ(TokenManager::getSubcribeTripStatusListener(), b);
}

// ------------------------------------------------------------------ hostile use

// Trips driven the way no app should: a fix that never comes, a logout
// during a wait, text nested far too deep or not UTF-8, two threads at once.
class HostileTripsTest : public OfflineTripsTest {
 protected:
  std::string createLocal() {
    std::string id;
    manager().createTrip(std::nullopt, true, [&](std::shared_ptr<PelkCreateTrip> t, std::optional<PelkError>) {
      if (t && t->tripId()) id = *t->tripId();
    });
    return id;
  }
};

// A JSON object whose one member nests `depth` arrays.
std::string deepObjectText(std::size_t depth) {
  return "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

TEST_F(HostileTripsTest, ATripFixThatNeverComesLeavesNoRequestWaitingAfterTheTimeout) {
  setOnline(false);
  const auto id = createLocal();
  ASSERT_FALSE(id.empty());
  HandlerRecorder<bool> a;
  manager().startTrip(id, std::nullopt, a.handler());
  ASSERT_EQ(BaseCLManager::sharedInstance().pendingCount(), 1u);
  platform::Dispatch::advanceClock(PelkManager::kTripFixTimeout + 1s);
  ASSERT_EQ(a.count(), 1u);
  // The app was told the action failed: the location services must not go on
  // looking for a fix nobody waits for.
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(HostileTripsTest, ALogoutAnswersAWaitingTripActionOnceAndTheTimeoutNotAgain) {
  setOnline(false);
  const auto id = createLocal();
  setOnline(true);
  server_.setDefault("/v3/user/logout/", ScriptedReply::json(R"({"code":200,"msg":"Logged out"})"));
  HandlerRecorder<bool> a;
  manager().startTrip(id, std::nullopt, a.handler());
  std::atomic<bool> loggedOut{false};
  manager().logoutUser([&](auto, auto) { loggedOut = true; });
  ASSERT_TRUE(waitFor([&] { return loggedOut.load(); }));
  // The logout wipes the settings: the local server stays the REST base URL.
  SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
  platform::Dispatch::drainMain();
  ASSERT_EQ(a.count(), 1u);
  EXPECT_EQ(a.error(), PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_INITIALIZE));
  platform::Dispatch::advanceClock(PelkManager::kTripFixTimeout + 1s);
  EXPECT_EQ(a.count(), 1u);
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(HostileTripsTest, CoordinatesNestedFarTooDeepAreRefusedWithoutACrash) {
  const auto text = deepObjectText(100000);
  HandlerRecorder<bool> c;
  auto take = c.handler();
  pelk_create_trip(
      false, text.c_str(),
      [](void* ctx, const char* created, const char* code, const char*) {
        (*static_cast<decltype(take)*>(ctx))(created != nullptr,
                                             code ? std::optional(PelkError(ErrorCode::QB402, code)) : std::nullopt);
      },
      &take);
  ASSERT_TRUE(c.wait());
  EXPECT_FALSE(c.result());
  EXPECT_TRUE(server_.requests("/v3/trips/v2/create/").empty());

  HandlerRecorder<bool> m;
  manager().createTrip(json::parse(text), false, m.handler());
  ASSERT_TRUE(m.wait());
  EXPECT_TRUE(m.error().has_value());
}

TEST_F(HostileTripsTest, AServerTripIdThatIsNotUtf8IsAnsweredOnce) {
  server_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"done"})"));
  HandlerRecorder<bool> a;
  manager().startTrip("trip-\xff\xfe", std::nullopt, a.handler());
  deliver();
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.count(), 1u);
  EXPECT_TRUE(a.error().has_value());
}

TEST_F(HostileTripsTest, TwoThreadsSubscribingTripStatusLeaveOneTripSubscribed) {
  // Both trips started on this device.
  setOnline(false);
  const auto a = createLocal(), b = createLocal();
  for (const auto& id : {a, b}) {
    HandlerRecorder<bool> s;
    manager().startTrip(id, std::nullopt, s.handler());
    deliver();
    ASSERT_TRUE(s.wait());
  }
  platform::Console::Capture console;
  for (int i = 0; i < 200; ++i) {
    manager().unsubscribeTripStatus("");
    const auto from = console.lines().size();
    std::thread x([&] { manager().subscribeTripStatus(a); });
    std::thread y([&] { manager().subscribeTripStatus(b); });
    x.join();
    y.join();
    const auto lines = console.lines();
    const auto ok =
        std::count(lines.begin() + static_cast<long>(from), lines.end(), std::string("Subscribed successfully"));
    ASSERT_EQ(ok, 1) << "round " << i;
  }
}

}  // namespace
}  // namespace pelk::test
