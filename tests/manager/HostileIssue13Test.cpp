// Hostile use of the manager's trips, subscriptions and notifications: text
// nested far too deep, text that is not UTF-8, a fix that never comes and two
// threads racing on the tracking switch.

#include <string>
#include <thread>

#include "OfflineTripsFixture.h"
#include "foundation/VuvivaZuvovo.h"
#include "messaging/LocationSending.h"
#include "messaging/MQTTUtilis.h"
#include "pelk/pelk.h"
#include "platform/Clock.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "tracking/BaseCLManager.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A JSON object whose one member nests `depth` arrays.
std::string deepObjectText(std::size_t depth) {
  return "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

struct Answer {
  std::mutex m;
  int calls = 0;
  std::optional<PelkError> error;
  bool result = false;
  template <class R>
  void take(const R& r, const std::optional<PelkError>& e) {
    std::lock_guard lock(m);
    ++calls;
    error = e;
    result = static_cast<bool>(r);
  }
  int count() {
    std::lock_guard lock(m);
    return calls;
  }
  bool wait() {
    return waitFor([&] {
      platform::Dispatch::drainMain();
      return count() > 0;
    });
  }
};

class HostileIssue13Test : public OfflineTripsTest {
 protected:
  std::string createLocal() {
    std::string id;
    manager().createTrip(std::nullopt, true, [&](std::shared_ptr<PelkCreateTrip> t, std::optional<PelkError>) {
      if (t && t->tripId()) id = *t->tripId();
    });
    return id;
  }
};

// ------------------------------------------------------------------ probes

TEST_F(HostileIssue13Test, ATripFixThatNeverComesLeavesNoRequestWaitingAfterTheTimeout) {
  setOnline(false);
  const auto id = createLocal();
  ASSERT_FALSE(id.empty());
  Answer a;
  manager().startTrip(id, std::nullopt, [&](auto t, auto e) { a.take(t, e); });
  ASSERT_EQ(BaseCLManager::sharedInstance().pendingCount(), 1u);
  platform::Dispatch::advanceClock(PelkManager::kTripFixTimeout + 1s);
  ASSERT_EQ(a.count(), 1);
  // The app was told the action failed: the location services must not go on
  // looking for a fix nobody waits for.
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(HostileIssue13Test, ALogoutAnswersAWaitingTripActionOnceAndTheTimeoutNotAgain) {
  setOnline(false);
  const auto id = createLocal();
  setOnline(true);
  server_.setDefault("/v3/user/logout/", ScriptedReply::json(R"({"code":200,"msg":"Logged out"})"));
  Answer a;
  manager().startTrip(id, std::nullopt, [&](auto t, auto e) { a.take(t, e); });
  std::atomic<bool> loggedOut{false};
  manager().logoutUser([&](auto, auto) { loggedOut = true; });
  ASSERT_TRUE(waitFor([&] { return loggedOut.load(); }));
  // The logout wipes the settings: the local server stays the REST base URL.
  SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
  platform::Dispatch::drainMain();
  ASSERT_EQ(a.count(), 1);
  EXPECT_EQ(a.error, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_INITIALIZE));
  platform::Dispatch::advanceClock(PelkManager::kTripFixTimeout + 1s);
  EXPECT_EQ(a.count(), 1);
  EXPECT_EQ(BaseCLManager::sharedInstance().pendingCount(), 0u);
}

TEST_F(HostileIssue13Test, StartUpsRacingFromManyThreadsRegisterOnce) {
  manager().resetForTesting();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { manager().intialize("pk-1"); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(manager().registrationsForTesting(), 1u);
}

TEST_F(HostileIssue13Test, CoordinatesNestedFarTooDeepAreRefusedWithoutACrash) {
  const auto text = deepObjectText(100000);
  Answer c;
  pelk_create_trip(
      false, text.c_str(),
      [](void* ctx, const char* created, const char* code, const char*) {
        static_cast<Answer*>(ctx)->take(created != nullptr, code ? std::optional(PelkError(ErrorCode::QB402, code))
                                                                 : std::nullopt);
      },
      &c);
  ASSERT_TRUE(c.wait());
  EXPECT_FALSE(c.result);
  EXPECT_TRUE(server_.requests("/v3/trips/v2/create/").empty());

  Answer m;
  manager().createTrip(json::parse(text), false, [&](auto t, auto e) { m.take(t, e); });
  ASSERT_TRUE(m.wait());
  EXPECT_TRUE(m.error.has_value());
}

TEST_F(HostileIssue13Test, AnOpenedNotificationNestedFarTooDeepIsNotReported) {
  const auto text = R"({"type":"quelbrin","cid":"c1","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  pelk_notification_opened(text.c_str());
  PelkOpenedNotification n;
  n.userInfo = json::parse(text);
  manager().notificationOpenedHandler(n);
  platform::Dispatch::drainMain();
  SUCCEED();
}

TEST_F(HostileIssue13Test, AServerTripIdThatIsNotUtf8IsAnsweredOnce) {
  server_.setDefault("/v3/trips/", ScriptedReply::json(R"({"code":200,"msg":"done"})"));
  Answer a;
  manager().startTrip("trip-\xff\xfe", std::nullopt, [&](auto t, auto e) { a.take(t, e); });
  deliver();
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.count(), 1);
  EXPECT_TRUE(a.error.has_value());
}

TEST_F(HostileIssue13Test, AFollowedUserIdThatIsNotUtf8IsNotKept) {
  TokenManager::setPubSubState(true);
  manager().subscribe(PelkSubscribe::location, "v\xff");
  for (const auto& u : MQTTUtilis::getUserSubscribe()) EXPECT_NE(u, "v\xff");
}

TEST_F(HostileIssue13Test, StartAndStopRacingFromTwoThreadsEndAsTheSwitchSays) {
  for (int i = 0; i < 200; ++i) {
    std::thread a([] { manager().startTracking(PelkTrackingMode::active); });
    std::thread b([] { manager().stopTracking(); });
    a.join();
    b.join();
    platform::Dispatch::drainMain();
    ASSERT_EQ(manager().isLocationTracking(), manager().runningMode() != PelkTrackingModeLocal::notselected)
        << "round " << i;
  }
}

TEST_F(HostileIssue13Test, TwoThreadsSubscribingTripStatusLeaveOneTripSubscribed) {
  // Both trips started on this device.
  setOnline(false);
  const auto a = createLocal(), b = createLocal();
  for (const auto& id : {a, b}) {
    Answer s;
    manager().startTrip(id, std::nullopt, [&](auto t, auto e) { s.take(t, e); });
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
    const auto ok = std::count(lines.begin() + static_cast<long>(from), lines.end(), std::string("Subscribed successfully"));
    ASSERT_EQ(ok, 1) << "round " << i;
  }
}

}  // namespace
}  // namespace pelk::test

namespace pelk::test {
namespace {

TEST_F(HostileIssue13Test, CInterfaceTakesNullHostileTextAndOddKindsWithoutHarm) {
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
  for (const auto& choice : std::vector<std::string>{notUtf8, "[]", "{\"meta_data\":{\"a\":" + deep + "}}", "{\"meta_data\":" + deep + "}"}) {
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

namespace pelk::test {
namespace {

// Every server-bound operation of this group, each with a handler that
// records (result present, error) into an Answer.
std::vector<std::pair<std::string, std::function<void(Answer&)>>> serverOperations() {
  auto& m = PelkManager::sharedInstance();
  auto take = [](Answer& a) { return [&a](auto r, auto e) { a.take(r, e); }; };
  return {
      {"toggle events", [&m, take](Answer& a) { m.toggleEvents(true, true, true, true, take(a)); }},
      {"toggle listener", [&m, take](Answer& a) { m.toggleListener(true, true, take(a)); }},
      {"events status", [&m, take](Answer& a) { m.getEventsStatus(take(a)); }},
      {"create trip", [&m, take](Answer& a) { m.createTrip(json{{"lat", 1}}, false, take(a)); }},
      {"active trips", [&m, take](Answer& a) { m.activeTrips(false, take(a)); }},
      {"trip details", [&m, take](Answer& a) { m.getTrips("srv-1", take(a)); }},
      {"trip summary", [&m, take](Answer& a) { m.tripSummary("srv-1", take(a)); }},
      {"trip synced", [&m, take](Answer& a) { m.istripSynced("srv-1", take(a)); }},
      {"stop server trip", [&m, take](Answer& a) { m.stopTrip("srv-1", take(a)); }},
  };
}

TEST_F(HostileIssue13Test, GarbageFromTheServerIsOneErrorForEveryOperation) {
  const auto deep = std::string(100000, '[') + std::string(100000, ']');
  // A reply that is no answer fails the operation; one whose "data" has the
  // wrong type is still answered once (a trip action reads only "msg", and a
  // list that is not a list reads as no trips).
  struct Case {
    const char* what;
    std::string body;
    bool fails;
  };
  const std::vector<Case> replies{
      {"not JSON", "<html>oops", true},
      {"nested far too deep", R"({"code":200,"msg":"ok","data":)" + deep + "}", true},
      {"an error", R"({"code":500,"msg":"boom"})", true},
      {"not UTF-8", "{\"code\":200,\"msg\":\"\xff\",\"data\":{}}", true},
      {"data of the wrong type", R"({"code":200,"msg":"ok","data":"x"})", false},
  };
  for (const auto& c : replies) {
    server_.setHandler([body = c.body](const RecordedRequest&) { return ScriptedReply::json(body); });
    for (const auto& [name, op] : serverOperations()) {
      SCOPED_TRACE(std::string(c.what) + ": " + name);
      Answer a;
      op(a);
      if (BaseCLManager::sharedInstance().pendingCount() > 0) deliver();
      ASSERT_TRUE(a.wait());
      EXPECT_EQ(a.count(), 1);
      if (c.fails) {
        EXPECT_TRUE(a.error.has_value());
      }
    }
  }
}

TEST_F(HostileIssue13Test, AServerThatNeverAnswersEndsInOneErrorForEveryOperation) {
  SocketTestServer silent([](SocketTestServer::Connection& c, int) {
    while (c.readRequest()) {
    }
  });
  APIClient::setRequestDeadlineForTesting(300ms);
  SharedUtil::setDefaultString(silent.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
  for (const auto& [name, op] : serverOperations()) {
    SCOPED_TRACE(name);
    Answer a;
    op(a);
    if (BaseCLManager::sharedInstance().pendingCount() > 0) deliver();
    EXPECT_TRUE(a.wait());
    EXPECT_EQ(a.count(), 1);
    EXPECT_TRUE(a.error.has_value());
  }
  APIClient::setRequestDeadlineForTesting(std::nullopt);
  SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
}

}  // namespace
}  // namespace pelk::test

namespace pelk::test {
namespace {

TEST_F(HostileIssue13Test, PublishingStylesChosenFromTwoThreadsEndAsOneOfThem) {
  PelkPublish save;
  save.device_model = true;  // kept by both styles
  PelkPublish only;
  only.speed = true;  // kept by publish-only alone
  for (int i = 0; i < 100; ++i) {
    std::thread a([&] { manager().publishSave(&save); });
    std::thread b([&] { manager().publishOnly(&only); });
    a.join();
    b.join();
    const bool s = SharedUtil::getDefaultBoolean(kLocationPublishSave);
    const bool o = SharedUtil::getDefaultBoolean(kLocationPublishOnly);
    ASSERT_NE(s, o) << "round " << i;
    // The field choice is the one of the style that holds, never a mix.
    ASSERT_EQ(SharedUtil::getDefaultBoolean(kLocationPublishdevice_model), s) << "round " << i;
    ASSERT_EQ(SharedUtil::getDefaultBoolean(kLocationPublishspeed), o) << "round " << i;
  }
}

}  // namespace
}  // namespace pelk::test
