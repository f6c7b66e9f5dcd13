// The REST client's reply handling: every operation of the client answered
// with the fuzzed reply, through a transport that hands the reply over later,
// as the real one does on its callback queue.  Token renewals, user saving and
// the trip progress (on the manual main queue) all run; no server is needed.
#include <deque>
#include <functional>

#include "FuzzSupport.h"
#include "network/APIClient.h"
#include "network/PelkAPIClient.h"
#include "platform/Dispatch.h"
#include "platform/Location.h"

using namespace pelk;

namespace {

class ReplyingTransport : public APIClient {
 public:
  std::optional<nlohmann::json> reply;  // nothing: the body was no JSON object

  void postMethod(const std::string&, const nlohmann::json&, std::optional<HeaderMap>, Success s, Failure f) override {
    answer(std::move(s), std::move(f));
  }
  void getMethod(const std::string&, const HeaderMap&, Success s, Failure f) override {
    answer(std::move(s), std::move(f));
  }
  void deleteMethod(const std::string&, const nlohmann::json&, std::optional<HeaderMap>, Success s,
                    Failure f) override {
    answer(std::move(s), std::move(f));
  }
  void postLocationMethod(const std::string&, const nlohmann::json&, std::optional<HeaderMap>, Success s,
                          Failure f) override {
    answer(std::move(s), std::move(f));
  }
  void postMethodString(const std::string&, const std::string&, std::optional<HeaderMap>, Success s,
                        Failure f) override {
    answer(std::move(s), std::move(f));
  }

  // Answers every request made so far, and those the answers make.
  void drain() {
    while (!pending_.empty()) {
      auto next = std::move(pending_.front());
      pending_.pop_front();
      next();
    }
  }

 private:
  void answer(Success s, Failure f) {
    pending_.push_back([this, s = std::move(s), f = std::move(f)] {
      if (reply) {
        if (s) s(*reply);
      } else if (f) {
        f(std::string("Server error"), std::string("QB500"));
      }
    });
  }
  std::deque<std::function<void()>> pending_;
};

// Each handler must be called exactly once per operation.
struct Calls {
  int count = 0;
  void operator()() { ++count; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::useScratchKitRoot();
  platform::Dispatch::useManualMainQueue();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReplyingTransport transport;
  transport.reply = APIClient::readReply(fuzz::text(data, size));
  PelkAPIClient client(transport);
  int expected = 0;
  Calls calls;
  auto once = [&](auto handler) {
    ++expected;
    return handler;
  };

  client.oAuthTokenGeneration("key", once([&](bool) { calls(); }));
  client.createUser("fuzz", once([&](std::shared_ptr<PelkUser> user, std::optional<PelkError> error) {
                      if (!user == !error) fuzz::broken();
                      calls();
                    }));
  client.getUser("u-1", once([&](std::shared_ptr<PelkUser> user, std::optional<PelkError> error) {
                   if (!user == !error) fuzz::broken();
                   calls();
                 }));
  client.setUserDescription("fuzz");
  client.logoutUser(once([&](std::optional<std::string>, std::optional<PelkError>) { calls(); }));
  client.toggleEvents({{"geofence_events", true}},
                      once([&](std::shared_ptr<PelkUser>, std::optional<PelkError>) { calls(); }));
  client.getEventsStatus(once([&](std::shared_ptr<PelkUser>, std::optional<PelkError>) { calls(); }));
  client.notificationOpenedHandler("c-1");
  client.setDeviceToken("00ff");
  client.updateLocation(nlohmann::json::array({{{"latitude", 1.0}}}), once([&](std::string) { calls(); }));
  client.locationPublisher(once([&](std::optional<std::string>, std::optional<PelkError>) { calls(); }));
  client.activeTrip(
      once([&](std::optional<std::vector<std::shared_ptr<PelkTrip>>> trips, std::optional<PelkError> error) {
        if (!trips == !error) fuzz::broken();
        calls();
      }));
  client.trip({{"trip_id", "t-1"}, {"event_type", "started"}}, platform::Location(),
              once([&](std::optional<std::string>, std::optional<PelkError>) { calls(); }));
  client.createTrip(std::nullopt, once([&](std::shared_ptr<PelkCreateTrip> trip, std::optional<PelkError> error) {
                      if (!trip == !error) fuzz::broken();
                      calls();
                    }));
  client.tripSummary("t-1", once([&](std::shared_ptr<PelkTripSummary> summary, std::optional<PelkError> error) {
                       if (!summary == !error) fuzz::broken();
                       calls();
                     }));
  client.getTrips("t-1", once([&](std::shared_ptr<PelkGetTrip> trip, std::optional<PelkError> error) {
                    if (!trip == !error) fuzz::broken();
                    calls();
                  }));
  client.syncTrip("{}", once([&](std::optional<std::string>, std::optional<PelkError>) { calls(); }));
  client.syncTripStatus("t-1", once([&](bool, std::optional<PelkError>) { calls(); }));

  transport.drain();
  platform::Dispatch::drainMain();
  if (calls.count != expected) fuzz::broken();
  return 0;
}
