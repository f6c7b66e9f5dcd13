#include "device/AppUtili.h"
#include "foundation/LoggerManager.h"
#include "foundation/TokenManager.h"
#include "network/Endpoints.h"
#include "network/PelkAPIClient.h"
#include "network/TripRecording.h"
#include "platform/Dispatch.h"

namespace pelk {
namespace {

void writeLog(const std::string& text) { LoggerManager::sharedInstance().writeLocationToFile(text); }

bool isSet(const nlohmann::json& request, const char* key) {
  const auto it = request.find(key);
  return it != request.end() && it->is_boolean() && it->get<bool>();
}

std::optional<std::string> textOf(const nlohmann::json& request, const char* key) {
  const auto it = request.find(key);
  if (it == request.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// The first element of the reply's "data" list, when it is an object.
const nlohmann::json* firstDataObject(const nlohmann::json& reply) {
  if (!reply.is_object()) return nullptr;
  const auto data = reply.find("data");
  if (data == reply.end() || !data->is_array() || data->empty() || !data->front().is_object()) return nullptr;
  return &data->front();
}

const nlohmann::json* dataObject(const nlohmann::json& reply) {
  if (!reply.is_object()) return nullptr;
  const auto data = reply.find("data");
  if (data == reply.end() || !data->is_object()) return nullptr;
  return &*data;
}

}  // namespace

template <class Model>
PelkAPIClient::Exchange PelkAPIClient::modelExchange(
    std::function<void(std::shared_ptr<Model>, std::optional<PelkError>)> handler,
    const nlohmann::json* (*pick)(const nlohmann::json&), std::function<void(int)> repeat) {
  Exchange e;
  e.onSuccess = [handler, pick](const nlohmann::json& reply, const PelkServerResponse&) {
    if (!handler) return;
    const auto* object = pick(reply);
    auto model = object ? Model::fromDictionary(*object) : nullptr;
    if (model) {
      handler(model, std::nullopt);
    } else {
      handler(nullptr, serverError());
    }
  };
  if (handler) e.onFailure = [handler](const PelkError& error) { handler(nullptr, error); };
  e.repeat = std::move(repeat);
  return e;
}

void recordTripAction(const nlohmann::json& request, const platform::Location& location) {
  PELK_ASSERT_ON_MAIN();
  if (!request.is_object()) return;
  const auto tripId = textOf(request, "trip_id");
  if (!tripId) return;
  namespace recorder = triprecording::links;
  if (isSet(request, "start")) {
    const auto startedAt = textOf(request, "trip_started_at");
    if (startedAt) recorder::start(location, *startedAt, textOf(request, "location_id"), *tripId);
  }
  if (isSet(request, "trip_pause")) recorder::updateStatus(*tripId, "paused", location);
  if (isSet(request, "trip_resume")) recorder::updateStatus(*tripId, "ongoing", location);
  if (isSet(request, "end")) recorder::updateStatus(*tripId, "end", location);
}

// ------------------------------------------------------------------ active trips

void PelkAPIClient::activeTrip(ActiveTripsCompletion completion) {
  // The server's list also tells the store which server trips ended or went
  // elsewhere.  The mark lets the store keep the trips it started recording
  // after the request left, which the list cannot hold yet.
  if (auto keep = triprecording::links::activeTrips.get()) {
    const std::uint64_t mark = triprecording::links::mark();
    completion = [completion, mark, keep = std::move(keep)](std::optional<std::vector<std::shared_ptr<PelkTrip>>> list,
                                                            std::optional<PelkError> error) {
      // On the main queue, in order with the recordings of trip actions.
      if (list && !error) platform::Dispatch::main().async([keep, active = *list, mark] { keep(active, mark); });
      if (completion) completion(std::move(list), std::move(error));
    };
  }
  activeTripRound(std::move(completion), 0);
}

void PelkAPIClient::activeTripRound(ActiveTripsCompletion completion, int round) {
  const std::string path = rawValue(MethodUrls::ACTIVE_TRIPS_URL) + percentEncoded(TokenManager::getUserId()) + "/";
  std::function<void(const PelkError&)> onFailure;
  if (completion) onFailure = [completion](const PelkError& error) { completion(std::nullopt, error); };
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::getUserParameter(), std::move(success), std::move(failure));
      },
      Exchange{"",
               [completion](const nlohmann::json& reply, const PelkServerResponse&) {
                 if (!completion) return;
                 const PelkActiveTripResponse response(reply);
                 if (response.malformed) {
                   completion(std::nullopt, serverError());
                   return;
                 }
                 completion(response.trips.value_or(std::vector<std::shared_ptr<PelkTrip>>{}), std::nullopt);
               },
               onFailure, [this, completion](int next) { activeTripRound(completion, next); }});
}

// ------------------------------------------------------------------ trip actions

void PelkAPIClient::trip(const nlohmann::json& dict, const platform::Location& location, TextCompletion completion) {
  tripRound(dict, location, std::move(completion), 0);
}

void PelkAPIClient::tripRound(const nlohmann::json& dict, const platform::Location& location, TextCompletion completion,
                              int round) {
  std::function<void(const PelkError&)> onFailure;
  if (completion) onFailure = [completion](const PelkError& error) { completion(std::nullopt, error); };
  exchange(
      round,
      [this, dict](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::TRIP_URL), dict, AppUtilis::headerParams(), std::move(success),
                              std::move(failure));
      },
      Exchange{"",
               [dict, location, completion](const nlohmann::json&, const PelkServerResponse& envelope) {
                 // The progress store lives on the main queue; the handler
                 // does not wait for the recording.
                 platform::Dispatch::main().async([dict, location] { recordTripAction(dict, location); });
                 if (completion) completion(envelope.msg, std::nullopt);
               },
               onFailure,
               [this, dict, location, completion](int next) { tripRound(dict, location, completion, next); }});
}

// ------------------------------------------------------------------ create, details, summary

void PelkAPIClient::createTrip(const std::optional<nlohmann::json>& dict, CreateTripCompletion handler) {
  createTripRound(dict, std::move(handler), 0);
}

void PelkAPIClient::createTripRound(const std::optional<nlohmann::json>& dict, CreateTripCompletion handler,
                                    int round) {
  nlohmann::json body = (dict && dict->is_object()) ? *dict : nlohmann::json::object();
  body["user_id"] = TokenManager::getUserId();
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::CREATE_TRIP), body, AppUtilis::headerParams(), std::move(success),
                              std::move(failure));
      },
      modelExchange<PelkCreateTrip>(handler, firstDataObject,
                                    [this, dict, handler](int next) { createTripRound(dict, handler, next); }));
}

void PelkAPIClient::tripSummary(const std::string& tripId, TripSummaryCompletion handler) {
  tripSummaryRound(tripId, std::move(handler), 0);
}

void PelkAPIClient::tripSummaryRound(const std::string& tripId, TripSummaryCompletion handler, int round) {
  const std::string path = rawValue(MethodUrls::TRIP_SUMMARY) + percentEncoded(tripId) + "/";
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::headerParams(), std::move(success), std::move(failure));
      },
      modelExchange<PelkTripSummary>(handler, dataObject,
                                     [this, tripId, handler](int next) { tripSummaryRound(tripId, handler, next); }));
}

void PelkAPIClient::getTrips(const std::string& tripId, GetTripCompletion handler) {
  getTripsRound(tripId, std::move(handler), 0);
}

void PelkAPIClient::getTripsRound(const std::string& tripId, GetTripCompletion handler, int round) {
  const std::string path = rawValue(MethodUrls::GET_TRIPS) + percentEncoded(tripId) + "/";
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::headerParams(), std::move(success), std::move(failure));
      },
      modelExchange<PelkGetTrip>(handler, firstDataObject,
                                 [this, tripId, handler](int next) { getTripsRound(tripId, handler, next); }));
}

// ------------------------------------------------------------------ offline trip sync

void PelkAPIClient::syncTrip(const std::string& body, TextCompletion handler) {
  syncTripRound(body, std::move(handler), 0);
}

void PelkAPIClient::syncTripRound(const std::string& body, TextCompletion handler, int round) {
  writeLog("Sync Trip : " + body);
  std::function<void(const PelkError&)> onFailure;
  if (handler) onFailure = [handler](const PelkError& error) { handler(std::string(), error); };
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethodString(rawValue(MethodUrls::SYNC_TRIP), body, AppUtilis::headerParams(),
                                    std::move(success), std::move(failure));
      },
      Exchange{"Syn Trip Response: ",
               [handler](const nlohmann::json&, const PelkServerResponse& envelope) {
                 if (handler) handler(envelope.msg, std::nullopt);
               },
               onFailure, [this, body, handler](int next) { syncTripRound(body, handler, next); }});
}

void PelkAPIClient::syncTripStatus(const std::string& tripId, SyncStatusCompletion handler) {
  syncTripStatusRound(tripId, std::move(handler), 0);
}

void PelkAPIClient::syncTripStatusRound(const std::string& tripId, SyncStatusCompletion handler, int round) {
  const std::string path = rawValue(MethodUrls::SYNC_TRIP) + percentEncoded(tripId) + "/";
  std::function<void(const PelkError&)> onFailure;
  if (handler) onFailure = [handler](const PelkError& error) { handler(false, error); };
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::headerParams(), std::move(success), std::move(failure));
      },
      Exchange{"Trip Status  ",
               [handler](const nlohmann::json&, const PelkServerResponse& envelope) {
                 if (!handler) return;
                 if (envelope.userData && envelope.userData->sync_status) {
                   handler(*envelope.userData->sync_status, std::nullopt);
                 } else {
                   handler(false, serverError());
                 }
               },
               onFailure, [this, tripId, handler](int next) { syncTripStatusRound(tripId, handler, next); }});
}

}  // namespace pelk
