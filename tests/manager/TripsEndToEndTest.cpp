// A server trip and an offline trip driven through the facade, with the real
// one-shot fix service and active tracking, against the local REST server.

#include <regex>

#include "ManagerFixture.h"
#include "foundation/VuvivaZuvovo.h"
#include "messaging/LocationSending.h"
#include "platform/Clock.h"
#include "support/LocalTrips.h"
#include "tracking/BaseCLManager.h"
#include "tracking/PelkActiveTracking.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

class TripApp : public RecordingDelegate {
 public:
  void didReceiveTripStatus(const PelkTripStatusListener& status) override {
    std::lock_guard lock(mutex);
    statuses.push_back(status);
  }
  std::vector<PelkTripStatusListener> statuses;
};

class TripsEndToEndTest : public ManagerTest {
 protected:
  TripsEndToEndTest() {
    manager().setTrackingModes(defaultTrackingModes());
    sending::links::offlineBuffer.set([buffer = trips_.buffer()] { return buffer; });
    BaseCLManager::sharedInstance().resetForTesting();
    PelkActiveTracking::shareInstance().resetFirstCallForTesting();
    server_.setDefault("/v3/location/update/", ScriptedReply::json(R"({"code":200,"msg":"ok"})"));

    // A user of an earlier run: the kit starts with its stored token.
    storeUser();
    Pelk::setDelegate(app_);
    Pelk::initialize("pk-1");
    SharedUtil::setDefaultBoolean(true, kOfflineTracking);
    SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  }
  ~TripsEndToEndTest() override {
    PelkActiveTracking::shareInstance().stopTracking();
    BaseCLManager::sharedInstance().resetForTesting();
    platform::Dispatch::drainMain();
    sending::links::offlineBuffer.reset();
  }

  void deliver() {
    lat_ += 0.0003;
    deliverFixAt(lat_);
  }
  // A trip action through the facade, answered once its fix came.
  std::optional<std::string> act(const std::function<void(Pelk::TextHandler)>& action) {
    TextCalls answer;
    action(answer.handler());
    platform::Dispatch::advanceClock(5s);
    deliver();
    const auto [text, error] = answer.only();
    EXPECT_FALSE(error) << error->code() << " " << error->message();
    return text;
  }
  std::size_t positionsSeen() { return app_->locationCount(); }
  std::size_t statusesSeen() {
    std::lock_guard lock(app_->mutex);
    return app_->statuses.size();
  }

  std::shared_ptr<TripApp> app_ = std::make_shared<TripApp>();
  LocalTrips trips_{dir_};
  double lat_ = 52.5;
};

TEST_F(TripsEndToEndTest, AServerTripFromCreationToSummary) {
  server_.setHandler([](const RecordedRequest& r) {
    if (r.path == "/v3/trips/v2/create/") {
      return ScriptedReply::json(R"({"code":201,"msg":"Trip created","data":[{"id":"srv-1","user_id":"u1",
          "is_deleted":false,"is_ended":false,"is_started":false,"origin":[{"coordinates":[13.4,52.5]}]}]})");
    }
    if (r.path == "/v3/trips/") {
      const auto body = json::parse(r.body);
      std::string msg = "Trip ended";
      if (body.value("start", false)) msg = "Trip started";
      if (body.value("trip_pause", false)) msg = "Trip paused";
      if (body.value("trip_resume", false)) msg = "Trip resumed";
      return ScriptedReply::json(json{{"code", 200}, {"msg", msg}}.dump());
    }
    if (r.path == "/v3/trips/v2/get/srv-1/") {
      return ScriptedReply::json(R"({"code":200,"data":[{"id":"srv-1","is_deleted":false,"is_ended":true,
          "is_started":true,"is_paused":false,"distance_covered":120.5}]})");
    }
    if (r.path == "/v3/trips/v2/summary/srv-1/") {
      return ScriptedReply::json(R"({"code":200,"data":{"trip_id":"srv-1","trip_status":"end","duration":40,
          "distance_covered":120.5,"route":[]}})");
    }
    return ScriptedReply::json(R"({"code":200,"msg":"ok"})");
  });

  // Create, with the app's coordinates in the request.
  HandlerRecorder<std::shared_ptr<PelkCreateTrip>> created;
  const json origin{{"origin", {{{"coordinates", {13.4, 52.5}}}}}};
  Pelk::createTrip(false, origin, created.handler());
  const auto [trip, createError] = created.only();
  ASSERT_TRUE(trip) << (createError ? createError->message() : "");
  EXPECT_EQ(trip->tripId(), std::optional<std::string>("srv-1"));
  const auto createBody = json::parse(server_.requests("/v3/trips/v2/create/").at(0).body);
  EXPECT_EQ(createBody.at("origin"), origin.at("origin"));
  EXPECT_EQ(createBody.at("user_id"), "u1");

  // Start: tracking was off, so the trip switches it on in the active mode.
  ASSERT_FALSE(Pelk::isLocationTracking());
  EXPECT_EQ(act([](auto h) { Pelk::startTrip("srv-1", "commute", h); }), "Trip started");
  EXPECT_TRUE(Pelk::isLocationTracking());
  EXPECT_EQ(manager().runningMode(), PelkTrackingModeLocal::active);
  EXPECT_EQ(json::parse(server_.requests("/v3/trips/").at(0).body).at("description"), "commute");

  // Positions advance the trip; its live status reaches the delegate.
  Pelk::subscribeTripStatus("srv-1");
  const auto statusesBefore = statusesSeen();
  for (int i = 0; i < 3; ++i) deliver();
  EXPECT_GT(statusesSeen(), statusesBefore);
  HandlerRecorder<std::optional<PelkTripListener>> progress;
  Pelk::getTripStatus("srv-1", progress.handler());
  const auto [moving, progressError] = progress.only();
  ASSERT_TRUE(moving) << (progressError ? progressError->message() : "");
  EXPECT_GT(moving->distance(), 0);
  {
    std::lock_guard lock(app_->mutex);
    EXPECT_EQ(app_->statuses.back().tripId(), "srv-1");
  }

  EXPECT_EQ(act([](auto h) { Pelk::pauseTrip("srv-1", h); }), "Trip paused");
  EXPECT_EQ(PelkTripStorageManager::shared().getTripData("srv-1")->status, "paused");
  EXPECT_EQ(act([](auto h) { Pelk::resumeTrip("srv-1", h); }), "Trip resumed");
  EXPECT_EQ(PelkTripStorageManager::shared().getTripData("srv-1")->status, "ongoing");
  EXPECT_EQ(act([](auto h) { Pelk::stopTrip("srv-1", h); }), "Trip ended");
  platform::Dispatch::drainMain();
  EXPECT_FALSE(PelkTripStorageManager::shared().checkIfTripStarted("srv-1")) << "its progress went with its end";
  EXPECT_TRUE(Pelk::isLocationTracking());  // a normal stop leaves tracking on
  Pelk::unsubscribeTripStatus("srv-1");

  HandlerRecorder<std::shared_ptr<PelkGetTrip>> details;
  Pelk::getTripDetails("srv-1", details.handler());
  const auto [got, detailsError] = details.only();
  ASSERT_TRUE(got) << (detailsError ? detailsError->message() : "");
  EXPECT_TRUE(got->isEnded());
  HandlerRecorder<std::shared_ptr<PelkTripSummary>> summary;
  Pelk::getTripSummary("srv-1", summary.handler());
  const auto [sum, summaryError] = summary.only();
  ASSERT_TRUE(sum) << (summaryError ? summaryError->message() : "");
  EXPECT_EQ(sum->tripStatus(), std::optional<std::string>("end"));

  const auto actions = server_.requests("/v3/trips/");
  ASSERT_EQ(actions.size(), 4u);
  for (const auto& r : actions) EXPECT_EQ(json::parse(r.body).at("trip_id"), "srv-1");
  Pelk::stopTracking();
}

TEST_F(TripsEndToEndTest, AnOfflineTripRecordedWithoutANetworkIsSyncedWhenItReturns) {
  server_.setDefault("/v3/trips/v2/sync/", ScriptedReply::json(R"({"code":200,"msg":"Success."})"));
  setOnline(false);

  HandlerRecorder<std::shared_ptr<PelkCreateTrip>> created;
  Pelk::createTrip(true, std::nullopt, created.handler());
  const auto [trip, createError] = created.only();
  ASSERT_TRUE(trip) << (createError ? createError->message() : "");
  const auto id = trip->tripId().value_or("");
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{24}"))) << id;

  // The start position reaches the app once.
  const auto seen = positionsSeen();
  EXPECT_EQ(act([&](auto h) { Pelk::startTrip(id, std::nullopt, h); }), VuvivaZuvovo::TRIP_STARTED_SUCESS);
  EXPECT_EQ(positionsSeen(), seen + 1);
  EXPECT_FALSE(Pelk::isLocationTracking());  // a local trip leaves tracking as it is

  // Positions while offline advance the trip and its live status.
  Pelk::subscribeTripStatus(id);
  Pelk::startTracking(PelkTrackingMode::active);
  platform::Dispatch::drainMain();
  for (int i = 0; i < 4; ++i) {
    platform::Dispatch::advanceClock(10s);
    deliver();
  }
  EXPECT_GE(statusesSeen(), 3u);
  Pelk::stopTracking();
  platform::Dispatch::drainMain();
  const auto beforePause = positionsSeen();
  EXPECT_EQ(act([&](auto h) { Pelk::pauseTrip(id, h); }), VuvivaZuvovo::TRIP_PAUSE_SUCESS);
  EXPECT_EQ(positionsSeen(), beforePause + 1);
  EXPECT_EQ(act([&](auto h) { Pelk::resumeTrip(id, h); }), VuvivaZuvovo::TRIP_RESUME_SUCESS);
  EXPECT_EQ(act([&](auto h) { Pelk::stopTrip(id, h); }), VuvivaZuvovo::TRIP_END_SUCESS);

  HandlerRecorder<std::shared_ptr<PelkTripSummary>> summary;
  Pelk::getTripSummary(id, summary.handler());
  const auto [sum, summaryError] = summary.only();
  ASSERT_TRUE(sum) << (summaryError ? summaryError->message() : "");
  EXPECT_GE(sum->route().size(), 5u);
  EXPECT_GT(sum->distanceCovered().doubleValue(), 0);
  HandlerRecorder<std::shared_ptr<PelkGetTrip>> details;
  Pelk::getTripDetails(id, details.handler());
  const auto [got, detailsError] = details.only();
  ASSERT_TRUE(got) << (detailsError ? detailsError->message() : "");
  EXPECT_TRUE(got->isEnded());

  // Offline the sync waits; the server is asked nothing.
  TextCalls queued;
  Pelk::syncTrip(id, queued.handler());
  EXPECT_EQ(std::get<0>(queued.only()), VuvivaZuvovo::SYNC_INITATED);
  HandlerRecorder<bool> offlineSynced;
  Pelk::isTripSynced(id, offlineSynced.handler());
  EXPECT_EQ(std::get<1>(offlineSynced.only()), PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  EXPECT_TRUE(server_.requests("/v3/trips/v2/sync/").empty());

  // The network returns: the trip goes out with its route and leaves the device.
  setOnline(true);
  ASSERT_TRUE(waitFor([&] {
    platform::Dispatch::drainMain();
    return !PelkTripStorageManager::shared().checkIfLocalTrip(id);
  }));
  const auto posts = server_.requests("/v3/trips/v2/sync/");
  ASSERT_EQ(posts.size(), 1u);
  const auto body = json::parse(posts[0].body);
  EXPECT_EQ(body.value("trip_id", ""), id);
  EXPECT_FALSE(body.dump().find("\"route\"") == std::string::npos) << body.dump();

  server_.setDefault("/v3/trips/v2/sync/" + id + "/",
                     ScriptedReply::json(R"({"code":200,"data":{"sync_status":true}})"));
  HandlerRecorder<bool> synced;
  Pelk::isTripSynced(id, synced.handler());
  const auto [isSynced, syncedError] = synced.only();
  EXPECT_TRUE(isSynced);
  EXPECT_FALSE(syncedError);

  // Deleting: the synced trip is no longer on the device; a new one is removed.
  TextCalls gone;
  Pelk::deleteTrip(id, gone.handler());
  EXPECT_EQ(std::get<1>(gone.only()), PelkError(ErrorCode::QB402, VuvivaZuvovo::TRIP_ID_NOT_FOUND));
  HandlerRecorder<std::shared_ptr<PelkCreateTrip>> other;
  Pelk::createTrip(true, std::nullopt, other.handler());
  const auto otherId = std::get<0>(other.only())->tripId().value_or("");
  TextCalls deleted;
  Pelk::deleteTrip(otherId, deleted.handler());
  EXPECT_EQ(std::get<0>(deleted.only()), VuvivaZuvovo::TRIP_DELETE_SUCESS);
  HandlerRecorder<std::optional<std::vector<std::shared_ptr<PelkTrip>>>> list;
  Pelk::activeTrips(true, list.handler());
  const auto [trips, listError] = list.only();
  ASSERT_TRUE(trips);
  EXPECT_TRUE(trips->empty());
}

}  // namespace
}  // namespace pelk::test
