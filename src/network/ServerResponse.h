#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkTrip.h"

namespace pelk {

// Readers of the REST reply envelope.  Construction never fails: a missing,
// null or mistyped key leaves its field absent.

// The error object of a reply: "ErrorCode" and "ErrorMessage".
class PelkUserResponseError {
 public:
  explicit PelkUserResponseError(const nlohmann::json& dictionary);
  std::optional<std::string> errorCode;
  std::optional<std::string> errorMessage;
};

// The "data" object of a reply, as far as the client reads it.
class UserResponeSuccess {
 public:
  explicit UserResponeSuccess(const nlohmann::json& dictionary);
  std::optional<bool> sync_status;
};

// The envelope of every reply except the token and active-trips replies.
class PelkServerResponse {
 public:
  explicit PelkServerResponse(const nlohmann::json& dictionary);
  std::optional<std::int64_t> code;
  std::optional<std::string> msg;
  std::optional<bool> status;
  std::optional<PelkUserResponseError> error;
  std::optional<UserResponeSuccess> userData;
};

// The reply of the token request, flattened.
class PelkOAuthResponse {
 public:
  explicit PelkOAuthResponse(const nlohmann::json& dictionary);
  std::optional<std::int64_t> code;
  std::optional<std::string> sdk_Token;
  std::optional<std::string> msg;
  std::optional<bool> status;
  std::optional<std::string> errorCode;
};

// The reply of the active-trips request.  `trips` is never absent: it holds
// the trips of a "data" list, in list order, and is empty for any other
// "data".  A list holding anything but valid trip objects is `malformed`:
// `trips` is then empty too, and the reply is no answer to trust.
class PelkActiveTripResponse {
 public:
  explicit PelkActiveTripResponse(const nlohmann::json& dictionary);
  std::optional<std::int64_t> code;
  std::optional<std::vector<std::shared_ptr<PelkTrip>>> trips;
  bool malformed = false;
  std::optional<std::string> msg;
  std::optional<bool> status;
  std::optional<PelkUserResponseError> error;
};

// The payload of an opened push notification of the kit.
class PelkNotificationResponse {
 public:
  explicit PelkNotificationResponse(const nlohmann::json& dictionary);
  std::optional<std::string> cid;
  std::optional<std::string> type;
};

namespace reply {
// The value of `key` when `dictionary` is an object holding a value of that type.
std::optional<std::int64_t> integer(const nlohmann::json& dictionary, const char* key);
std::optional<bool> boolean(const nlohmann::json& dictionary, const char* key);
std::optional<std::string> text(const nlohmann::json& dictionary, const char* key);
const nlohmann::json* object(const nlohmann::json& dictionary, const char* key);
}  // namespace reply

}  // namespace pelk
