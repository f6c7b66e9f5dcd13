#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "pelk/PelkNotification.h"
#include "pelk/PelkPublish.h"
#include "pelk/PelkTrackingCustomMethods.h"

namespace pelk::capi {

// The readers of the JSON texts a C caller hands the kit.  Each takes the
// caller's text as it came (NULL included) and touches nothing but its
// result, so what a caller can write is answered before any of the kit runs.

// The publish choice: NULL is no choice (true, `choice` left empty); an object
// sets the fields it holds as booleans and the metadata; anything else is
// refused (false, console line).
bool publishChoiceOf(const char* text, std::optional<PelkPublish>& choice);

// The custom tracking option set: an object whose members are named as the
// options; a missing or null member is an absent option.  Any other member, a
// value of the wrong type or out of range makes the whole text invalid (nothing,
// with the reason in `why`), so a typing error never starts tracking with
// options the app did not mean.  `text` must not be NULL.
std::optional<PelkTrackingCustomMethods> customMethodsFromJson(const char* text, std::string& why);

// The coordinates of a trip to create: NULL is none (true, `coordinates`
// left empty); an object is taken; anything else is refused (false).
bool tripCoordinatesOf(const char* text, std::optional<nlohmann::json>& coordinates);

// The opened notification: its user info when the text is a JSON object, an
// empty object otherwise (NULL included).
PelkOpenedNotification openedNotificationOf(const char* text);

}  // namespace pelk::capi
