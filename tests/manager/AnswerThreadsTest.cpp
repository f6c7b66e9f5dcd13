// Where the app's handlers run: a handler that blocks holds up only the later
// answers of its own kind (user or trips), later answers of one kind keep
// their order, a refusal still comes before its call returns, and a handler
// may call the kit from inside.  Against the local REST server.

#include <condition_variable>

#include "ManagerFixture.h"

namespace pelk::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A latch a handler can wait on with a bound, so a fault shows as a failed
// check instead of a hang.
class Latch {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool wait(std::chrono::seconds bound) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, bound, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class AnswerThreadsTest : public ManagerTest {
 protected:
  AnswerThreadsTest() {
    storeUser();
    server_.setDefault("/v3/user/", ScriptedReply::json(json{{"code", 200},
                                                             {"msg", "ok"},
                                                             {"data",
                                                              {{"user_id", "u1"},
                                                               {"app_id", "app-9"},
                                                               {"geofence_events", false},
                                                               {"location_events", false},
                                                               {"nearby_events", false},
                                                               {"trips_events", false},
                                                               {"location_listener", false},
                                                               {"event_listener", false},
                                                               {"account_id", "a1"},
                                                               {"project_id", "p1"}}}}
                                                            .dump()));
    server_.setDefault(
        "/v3/trips/v2/get/srv-1/",
        ScriptedReply::json(
            R"({"code":200,"data":[{"id":"srv-1","is_deleted":false,"is_ended":false,"is_started":true}]})"));
  }

  bool seen(const std::string& call) const { return calls_->count(call) > 0; }
  bool waitSeen(const std::string& call) {
    return waitFor([&] { return seen(call); }, 20s);
  }

  std::shared_ptr<CallList> calls_ = std::make_shared<CallList>();
};

TEST_F(AnswerThreadsTest, ABlockedHandlerHoldsUpOnlyTheLaterAnswersOfItsOwnKind) {
  auto latch = std::make_shared<Latch>();
  auto calls = calls_;
  // A: a user answer that blocks until B, an unrelated trip answer, has run.
  Pelk::getUser("u1", [calls, latch](std::shared_ptr<PelkUser> user, std::optional<PelkError> e) {
    calls->add(user ? "A started" : "A failed: " + (e ? e->message() : ""));
    calls->add(latch->wait(15s) ? "A released by B" : "A never released");
    calls->add("A ended");
  });
  ASSERT_TRUE(waitSeen("A started")) << testing::PrintToString(calls_->calls());
  ASSERT_FALSE(seen("A failed"));

  // While A blocks: a refusal of the user kind comes before its call returns,
  // a later user answer waits behind A; then the unrelated trip answer.
  Pelk::getUser("", [calls](std::shared_ptr<PelkUser>, std::optional<PelkError> e) {
    calls->add(e ? "refused " + e->message() : "not refused");
  });
  EXPECT_TRUE(seen("refused Data not found"));
  Pelk::getUser("u1", [calls](std::shared_ptr<PelkUser> user, std::optional<PelkError>) {
    calls->add(user ? "A2" : "A2 failed");
  });
  Pelk::getTripDetails("srv-1", [calls, latch](std::shared_ptr<PelkGetTrip> trip, std::optional<PelkError>) {
    calls->add(trip ? "B" : "B failed");
    latch->open();
  });

  ASSERT_TRUE(waitSeen("A ended"));
  ASSERT_TRUE(waitSeen("A2"));
  const auto all = calls_->calls();
  EXPECT_NE(std::find(all.begin(), all.end(), "A released by B"), all.end()) << testing::PrintToString(all);
  // The later user answer only once A had ended.
  std::vector<std::string> user;
  std::copy_if(all.begin(), all.end(), std::back_inserter(user), [](const std::string& c) { return c != "B"; });
  EXPECT_EQ(user,
            (std::vector<std::string>{"A started", "refused Data not found", "A released by B", "A ended", "A2"}));
}

TEST_F(AnswerThreadsTest, AHandlerMayCallTheKitAndALaterAnswerOfItsKindComesAfterItReturns) {
  auto calls = calls_;
  Pelk::getUser("u1", [calls](std::shared_ptr<PelkUser>, std::optional<PelkError>) {
    calls->add("outer started");
    Pelk::getUser("", [calls](auto, std::optional<PelkError> e) { calls->add(e ? "inner refused" : "inner?"); });
    Pelk::getUser("u1", [calls](std::shared_ptr<PelkUser> u, auto) { calls->add(u ? "inner user" : "inner failed"); });
    Pelk::getTripDetails("srv-1", [calls](std::shared_ptr<PelkGetTrip> t, auto) { calls->add(t ? "trip" : "trip?"); });
    calls->add("outer ended");
  });
  ASSERT_TRUE(waitSeen("inner user"));
  ASSERT_TRUE(waitSeen("trip"));
  auto all = calls_->calls();
  std::erase(all, "trip");
  // The refusal comes inside the handler, as to any caller; the reply after it.
  EXPECT_EQ(all, (std::vector<std::string>{"outer started", "inner refused", "outer ended", "inner user"}));
}

}  // namespace
}  // namespace pelk::test
