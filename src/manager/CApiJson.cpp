#include "manager/CApiJson.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include "messaging/LocationPublishParameter.h"
#include "platform/Console.h"

namespace pelk::capi {

using json = nlohmann::json;

bool publishChoiceOf(const char* text, std::optional<PelkPublish>& choice) {
  if (!text) return true;
  auto j = json::parse(text, nullptr, false);
  if (!j.is_object()) {
    platform::Console::print("Publish choice is not a JSON object; nothing changed", platform::Console::Level::Error);
    return false;
  }
  PelkPublish publish;
  for (const auto& field : LocationPublishParameter::optionFields()) {
    const auto it = j.find(field.name);
    if (it != j.end() && it->is_boolean()) publish.*field.member = it->get<bool>();
  }
  // Moved, not copied: a copy recurses, and metadata nested far too deep
  // would exhaust the stack before the store's own depth check refuses it.
  if (const auto it = j.find("meta_data"); it != j.end() && it->is_object()) publish.meta_data = std::move(*it);
  choice = std::move(publish);
  return true;
}

std::optional<PelkTrackingCustomMethods> customMethodsFromJson(const char* text, std::string& why) {
  const auto j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    why = "not a JSON object";
    return std::nullopt;
  }
  PelkTrackingCustomMethods o;
  auto integer = [&](const json& v, const std::string& key) -> std::optional<std::int64_t> {
    if (v.is_number_integer() && (!v.is_number_unsigned() || v.get<std::uint64_t>() <= INT64_MAX)) {
      return v.get<std::int64_t>();
    }
    why = key + " must be an integer";
    return std::nullopt;
  };
  for (const auto& item : j.items()) {
    // Named references, not a structured binding: the checks below capture them.
    const std::string& key = item.key();
    const json& v = item.value();
    if (v.is_null()) continue;
    auto flag = [&](std::optional<bool>& field) {
      if (!v.is_boolean()) {
        why = key + " must be true or false";
        return false;
      }
      field = v.get<bool>();
      return true;
    };
    auto whole = [&](std::optional<std::int64_t>& field) {
      field = integer(v, key);
      return field.has_value();
    };
    bool ok = true;
    if (key == "desiredAccuracy") {
      auto raw = integer(v, key);
      o.desiredAccuracy = raw ? locationAccuracyFromRawValue(*raw) : std::nullopt;
      if (raw && !o.desiredAccuracy) why = "desiredAccuracy must be 0 to 5";
      ok = o.desiredAccuracy.has_value();
    } else if (key == "activityType") {
      auto raw = integer(v, key);
      o.activityType = raw ? locationActivityTypeFromRawValue(*raw) : std::nullopt;
      if (raw && !o.activityType) why = "activityType must be 1 to 5";
      ok = o.activityType.has_value();
    } else if (key == "distanceFilter") {
      ok = v.is_number() && std::isfinite(v.get<double>());
      if (ok) o.distanceFilter = v.get<double>();
      else why = "distanceFilter must be a finite number";
    } else if (key == "useVisits") {
      ok = flag(o.useVisits);
    } else if (key == "showsBackgroundLocationIndicator") {
      ok = flag(o.showsBackgroundLocationIndicator);
    } else if (key == "useSignificant") {
      ok = flag(o.useSignificant);
    } else if (key == "useRegionMonitoring") {
      ok = flag(o.useRegionMonitoring);
    } else if (key == "useDynamicGeofencRadius") {
      ok = flag(o.useDynamicGeofencRadius);
    } else if (key == "allowBackgroundLocationUpdates") {
      ok = flag(o.allowBackgroundLocationUpdates);
    } else if (key == "pausesLocationUpdatesAutomatically") {
      ok = flag(o.pausesLocationUpdatesAutomatically);
    } else if (key == "useStandardLocationServices") {
      ok = flag(o.useStandardLocationServices);
    } else if (key == "geofenceRadius") {
      ok = whole(o.geofenceRadius);
    } else if (key == "accuracyFilter") {
      ok = whole(o.accuracyFilter);
    } else if (key == "updateInterval") {
      ok = whole(o.updateInterval);
    } else {
      why = "unknown option " + key;
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  return o;
}

bool tripCoordinatesOf(const char* text, std::optional<json>& coordinates) {
  if (!text) return true;
  auto parsed = json::parse(text, nullptr, false);
  if (!parsed.is_object()) return false;
  coordinates = std::move(parsed);
  return true;
}

PelkOpenedNotification openedNotificationOf(const char* text) {
  PelkOpenedNotification notification;
  if (text) {
    auto info = json::parse(text, nullptr, false);
    if (info.is_object()) notification.userInfo = std::move(info);
  }
  return notification;
}

}  // namespace pelk::capi
