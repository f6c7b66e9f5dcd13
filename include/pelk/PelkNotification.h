#pragma once

#include <nlohmann/json.hpp>

namespace pelk {

// A push notification the user opened, as the app hands it to
// Pelk::notificationOpenedHandler: the notification's user info, a JSON
// object.  The kit reads its text entries "type" and "cid"; anything else,
// or a value that is not an object, is ignored.
struct PelkOpenedNotification {
  nlohmann::json userInfo = nlohmann::json::object();
};

}  // namespace pelk
