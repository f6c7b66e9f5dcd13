#pragma once

#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "network/APIClient.h"
#include "pelk/PelkCreateTrip.h"
#include "pelk/PelkGetTrip.h"
#include "pelk/PelkTrip.h"
#include "pelk/PelkTripSummary.h"
#include "platform/Location.h"
#include "platform/ThreadSafety.h"
#include "network/ServerResponse.h"
#include "pelk/PelkError.h"
#include "pelk/PelkUser.h"

namespace pelk {

// The client of the kit's REST endpoints.  Every operation sends one request
// through the transport and judges the reply by one scheme: "code" 200 or 201
// is success; 401 requests a new SDK token with the stored publishable key and,
// when one is granted, runs the same operation again (at most
// kMaxTokenRenewals times, then the last 401 reply's error is reported).  Only
// one renewal runs at a time: an operation meeting 401 while one runs waits for
// it and repeats with its token, and one whose request went out before a token
// was granted repeats with that token without asking again.  Any
// other code or a transport failure reaches the handler as a PelkError.  A
// failure reply without "error"."ErrorCode" or "msg" reports "QB500" or
// "Server error" for the part that is missing.  Handlers are optional (an empty
// one is not called) and run on the HTTP callback queue.
class PelkAPIClient {
 public:
  // How a token request ended.  When no token was granted, `error` is what an
  // operation that needed the token answers: "QB402" with the publishable-key
  // text only when the service refused the key (reply "code" 400 or 401); the
  // transport's "QB500" / "Network error" when no reply came (no connection,
  // an unknown or unresolvable host, a dropped connection), or "Server error"
  // for a reply that is not JSON or grants no usable token; the reply's own
  // error for any other reply code.  Converts to `granted`.
  struct TokenOutcome {
    bool granted = false;
    std::optional<PelkError> error;
    operator bool() const { return granted; }  // NOLINT: read as the grant
  };
  using TokenCompletion = std::function<void(const TokenOutcome& outcome)>;
  using UserCompletion = std::function<void(std::shared_ptr<PelkUser>, std::optional<PelkError>)>;
  using TextCompletion = std::function<void(std::optional<std::string>, std::optional<PelkError>)>;
  using LocationCompletion = std::function<void(std::string)>;
  using ActiveTripsCompletion =
      std::function<void(std::optional<std::vector<std::shared_ptr<PelkTrip>>>, std::optional<PelkError>)>;
  using CreateTripCompletion = std::function<void(std::shared_ptr<PelkCreateTrip>, std::optional<PelkError>)>;
  using TripSummaryCompletion = std::function<void(std::shared_ptr<PelkTripSummary>, std::optional<PelkError>)>;
  using GetTripCompletion = std::function<void(std::shared_ptr<PelkGetTrip>, std::optional<PelkError>)>;
  using SyncStatusCompletion = std::function<void(bool, std::optional<PelkError>)>;

  static constexpr int kMaxTokenRenewals = 3;

  static PelkAPIClient& sharedInstance();
  explicit PelkAPIClient(APIClient& transport = APIClient::sharedInstance());
  virtual ~PelkAPIClient() = default;
  PelkAPIClient(const PelkAPIClient&) = delete;
  PelkAPIClient& operator=(const PelkAPIClient&) = delete;

  // Requests an SDK token for the key.  Completes granted when a token was
  // granted and stored; otherwise with the error the caller may hand on (a
  // reply without a token changes nothing).
  virtual void oAuthTokenGeneration(const std::string& publishKey, TokenCompletion completion);

  virtual void createUser(const std::string& description, UserCompletion completion);
  virtual void getUser(const std::string& userId, UserCompletion completion);
  virtual void setUserDescription(const std::string& description);
  virtual void logoutUser(TextCompletion completion);
  virtual void toggleEvents(const nlohmann::json& dict, UserCompletion completion);
  virtual void getEventsStatus(UserCompletion completion);
  virtual void notificationOpenedHandler(const std::string& cid);
  virtual void setDeviceToken(const std::string& deviceToken);

  // Uploads position records; the handler receives the reply's "msg", or the
  // failure's message, never an error object.
  virtual void updateLocation(const nlohmann::json& locations, LocationCompletion completion);
  // Reports the location count; failures hand over "" beside the error.
  virtual void locationPublisher(TextCompletion handler);

  // Server trips (PelkAPIClientTrips.cpp).  A success reply whose "data" does
  // not hold what the operation builds its result from is reported as
  // "QB500" / "Server error" with the operation's failure shape.
  virtual void activeTrip(ActiveTripsCompletion completion);
  // A trip action (start, pause, resume, end, ...).  On success the handler
  // gets the reply's "msg" and the action is recorded in the trip progress on
  // the main queue (TripRecording.h).
  virtual void trip(const nlohmann::json& dict, const platform::Location& location,
                    TextCompletion completion = nullptr);
  virtual void createTrip(const std::optional<nlohmann::json>& dict, CreateTripCompletion handler);
  virtual void tripSummary(const std::string& tripId, TripSummaryCompletion handler = nullptr);
  virtual void getTrips(const std::string& tripId, GetTripCompletion handler = nullptr);
  // Posts an offline trip's sync body; failures hand over "" beside the error.
  virtual void syncTrip(const std::string& body, TextCompletion handler = nullptr);
  // Failures hand over false beside the error.
  virtual void syncTripStatus(const std::string& tripId, SyncStatusCompletion handler);

 protected:
  using Send = std::function<void(APIClient::Success, APIClient::Failure)>;
  struct Exchange {
    std::string logLabel;  // empty: the reply is not logged
    // Runs for "code" 200 or 201.
    std::function<void(const nlohmann::json& reply, const PelkServerResponse& envelope)> onSuccess;
    // Runs once for any failure (empty: failures are not reported).
    std::function<void(const PelkError& error)> onFailure;
    // Runs the whole operation again after a granted token, as round `round`.
    std::function<void(int round)> repeat;
  };
  // One request under the reply scheme.
  void exchange(int round, const Send& send, Exchange exchange);
  // Calls `then` once a token newer than generation `sentWith` is stored
  // (true) or could not be had (false), asking for one only when no renewal
  // is running already.
  void renewToken(std::uint64_t sentWith, std::function<void(bool granted)> then);
  // The error of a failure reply, with "QB500" / "Server error" for a missing part.
  static PelkError replyError(const std::optional<std::string>& code, const std::optional<std::string>& msg);
  static PelkError serverError();
  // An exchange whose success hands the handler one model read from the object
  // `pick` finds in the reply ("Server error" when there is none to read), and
  // whose failures hand it the error.
  template <class Model>
  static Exchange modelExchange(std::function<void(std::shared_ptr<Model>, std::optional<PelkError>)> handler,
                                const nlohmann::json* (*pick)(const nlohmann::json&), std::function<void(int)> repeat);

  APIClient& transport_;

 private:
  // Lock order: a leaf (platform/LockOrder.h).
  platform::Mutex renewalMutex_;
  bool renewing_ PELK_GUARDED_BY(renewalMutex_) = false;
  std::vector<std::function<void(bool)>> renewalWaiters_ PELK_GUARDED_BY(renewalMutex_);

  void createUserRound(const std::string& description, UserCompletion completion, int round);
  void getUserRound(const std::string& userId, UserCompletion completion, int round);
  void setUserDescriptionRound(const std::string& description, int round);
  void logoutUserRound(TextCompletion completion, int round);
  void toggleEventsRound(const nlohmann::json& dict, UserCompletion completion, int round);
  void getEventsStatusRound(UserCompletion completion, int round);
  void notificationOpenedRound(const std::string& cid, int round);
  void setDeviceTokenRound(const std::string& deviceToken, int round);
  void updateLocationRound(const nlohmann::json& locations, LocationCompletion completion, int round);
  void locationPublisherRound(TextCompletion handler, int round);
  void activeTripRound(ActiveTripsCompletion completion, int round);
  void tripRound(const nlohmann::json& dict, const platform::Location& location, TextCompletion completion, int round);
  void createTripRound(const std::optional<nlohmann::json>& dict, CreateTripCompletion handler, int round);
  void tripSummaryRound(const std::string& tripId, TripSummaryCompletion handler, int round);
  void getTripsRound(const std::string& tripId, GetTripCompletion handler, int round);
  void syncTripRound(const std::string& body, TextCompletion handler, int round);
  void syncTripStatusRound(const std::string& tripId, SyncStatusCompletion handler, int round);
};

// "Optional(\"text\")" for a text, "nil" for none: the form REST log and
// console lines give an optional message in.
std::string optionalDescription(const std::optional<std::string>& text);

}  // namespace pelk
