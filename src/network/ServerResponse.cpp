#include "network/ServerResponse.h"

#include <cmath>

namespace pelk {
namespace reply {

namespace {
const nlohmann::json* member(const nlohmann::json& dictionary, const char* key) {
  if (!dictionary.is_object()) return nullptr;
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return nullptr;
  return &*it;
}
}  // namespace

std::optional<std::int64_t> integer(const nlohmann::json& dictionary, const char* key) {
  const auto* v = member(dictionary, key);
  if (v == nullptr) return std::nullopt;
  if (v->is_number_integer()) {
    if (v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return v->get<std::int64_t>();
  }
  if (v->is_number_float()) {
    const double d = v->get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

std::optional<bool> boolean(const nlohmann::json& dictionary, const char* key) {
  const auto* v = member(dictionary, key);
  if (v == nullptr) return std::nullopt;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) {
    const double d = v->get<double>();
    if (d == 1.0) return true;
    if (d == 0.0) return false;
  }
  return std::nullopt;
}

std::optional<std::string> text(const nlohmann::json& dictionary, const char* key) {
  const auto* v = member(dictionary, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

const nlohmann::json* object(const nlohmann::json& dictionary, const char* key) {
  const auto* v = member(dictionary, key);
  return (v != nullptr && v->is_object()) ? v : nullptr;
}

}  // namespace reply

PelkUserResponseError::PelkUserResponseError(const nlohmann::json& d)
    : errorCode(reply::text(d, "ErrorCode")), errorMessage(reply::text(d, "ErrorMessage")) {}

UserResponeSuccess::UserResponeSuccess(const nlohmann::json& d) : sync_status(reply::boolean(d, "sync_status")) {}

PelkServerResponse::PelkServerResponse(const nlohmann::json& d)
    : code(reply::integer(d, "code")), msg(reply::text(d, "msg")), status(reply::boolean(d, "status")) {
  if (const auto* e = reply::object(d, "error")) error.emplace(*e);
  if (const auto* data = reply::object(d, "data")) userData.emplace(*data);
}

PelkOAuthResponse::PelkOAuthResponse(const nlohmann::json& d)
    : code(reply::integer(d, "code")), msg(reply::text(d, "msg")), status(reply::boolean(d, "status")) {
  if (const auto* data = reply::object(d, "data")) sdk_Token = reply::text(*data, "sdk_token");
  if (const auto* e = reply::object(d, "error")) errorCode = reply::text(*e, "ErrorCode");
}

PelkActiveTripResponse::PelkActiveTripResponse(const nlohmann::json& d)
    : code(reply::integer(d, "code")), msg(reply::text(d, "msg")), status(reply::boolean(d, "status")) {
  trips.emplace();
  if (const auto* e = reply::object(d, "error")) error.emplace(*e);
  if (!d.is_object()) return;
  auto it = d.find("data");
  if (it == d.end() || !it->is_array()) return;
  for (const auto& element : *it) {
    auto trip = element.is_object() ? PelkTrip::fromDictionary(element) : nullptr;
    if (!trip) {
      // One bad element spoils the list: a shorter list would pass for the truth.
      trips->clear();
      malformed = true;
      return;
    }
    trips->push_back(std::move(trip));
  }
}

PelkNotificationResponse::PelkNotificationResponse(const nlohmann::json& d)
    : cid(reply::text(d, "cid")), type(reply::text(d, "type")) {}

}  // namespace pelk
