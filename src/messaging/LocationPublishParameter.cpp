#include "messaging/LocationPublishParameter.h"

#include <utility>
#include <vector>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "messaging/LocationSending.h"
#include "platform/SettingValue.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {

using F = LocationPublishParameter::OptionField;

const std::array<F, 28> kFields = {{
    {"user_id", kLocationPublishuser_id, &PelkPublish::user_id, false},
    {"app_id", kLocationPublishapp_id, &PelkPublish::app_id, false},
    {"recorded_at", kLocationPublishrecorded_at, &PelkPublish::recorded_at, false},
    {"tz_offset", kLocationPublishtz_offset, &PelkPublish::tz_offset, false},
    {"geofence_events", kLocationPublishgeofence_events, &PelkPublish::geofence_events, false},
    {"trips_events", kLocationPublishtrips_events, &PelkPublish::trips_events, false},
    {"location_events", kLocationPublishlocation_events, &PelkPublish::location_events, false},
    {"nearby_events", kLocationPublishnearby_events, &PelkPublish::nearby_events, false},
    {"location_listener", kLocationPublishlocation_listener, &PelkPublish::location_listener, false},
    {"event_listener", kLocationPublishevent_listener, &PelkPublish::event_listener, false},
    {"app_context", kLocationPublishapp_context, &PelkPublish::app_context, false},
    {"network_status", kLocationPublishnetwork_status, &PelkPublish::network_status, false},
    {"gps_status", kLocationPublishgps_status, &PelkPublish::gps_status, false},
    {"location_permission", kLocationPublishlocation_permission, &PelkPublish::location_permission, false},
    {"battery_status", kLocationPublishbattery_status, &PelkPublish::battery_status, false},
    {"airplane_mode", kLocationPublishairplane_mode, &PelkPublish::airplane_mode, true},
    {"battery_saver", kLocationPublishbattery_saver, &PelkPublish::battery_saver, true},
    {"battery_remaining", kLocationPublishbattery_remaining, &PelkPublish::battery_remaining, false},
    {"device_model", kLocationPublishdevice_model, &PelkPublish::device_model, true},
    {"device_manufacturer", kLocationPublishdevice_manufacturer, &PelkPublish::device_manufacturer, true},
    {"os_version", kLocationPublishos_version, &PelkPublish::os_version, true},
    {"tracking_mode", kLocationPublishtracking_mode, &PelkPublish::tracking_mode, false},
    {"altitude", kLocationPublishaltitude, &PelkPublish::altitude, false},
    {"speed", kLocationPublishspeed, &PelkPublish::speed, false},
    {"vertical_accuracy", kLocationPublishvertical_accuracy, &PelkPublish::vertical_accuracy, false},
    {"horizontal_accuracy", kLocationPublishhorizontal_accuracy, &PelkPublish::horizontal_accuracy, false},
    {"course", kLocationPublishcourse, &PelkPublish::course, false},
    {"activity", kLocationPublishactivity, &PelkPublish::activity, false},
}};

void log(const std::string& text) { LoggerManager::sharedInstance().writeLocationToFile(text); }

// A value is kept when it has a settings form and can be written as JSON.
// The depth is checked first: the checks after it recurse.
bool storable(const nlohmann::json& value) {
  // Kept inside the metadata dictionary, one level down.
  if (!jsonNestedWithin(value, platform::SettingValue::kMaxDepth - 1)) return false;
  if (value.is_null()) return false;
  if (!isWritableJson(value)) return false;
  if (value.is_object()) {
    for (const auto& [k, v] : value.items()) {
      if (!storable(v)) return false;
    }
  } else if (value.is_array()) {
    for (const auto& v : value) {
      if (!storable(v)) return false;
    }
  }
  return platform::SettingValue::fromJson(value).has_value();
}

}  // namespace

const std::array<LocationPublishParameter::OptionField, 28>& LocationPublishParameter::optionFields() {
  return kFields;
}

LocationPublishParameter& LocationPublishParameter::sharedInstance() {
  static auto* instance = new LocationPublishParameter();
  return *instance;
}

nlohmann::json LocationPublishParameter::storableMetaData(const nlohmann::json& metaData) {
  nlohmann::json kept = nlohmann::json::object();
  if (!metaData.is_object()) return kept;
  for (const auto& [key, value] : metaData.items()) {
    if (isWritableJson(nlohmann::json(key)) && storable(value)) {
      kept[key] = value;
    } else {
      log("Meta data entry left out: it cannot be stored or sent as JSON");
    }
  }
  return kept;
}

void LocationPublishParameter::resetPublish() {
  auto suite = SharedUtil::userDefaultValue();
  suite->transaction([&] {
    for (const auto& f : kFields) suite->set(f.key, false);
    suite->set(kLocationPublishMeta_data, false);
  });
  suite->synchronize();
}

void LocationPublishParameter::storeMetaData(const PelkPublish* publish) {
  if (!publish || !publish->meta_data) return;
  auto kept = storableMetaData(*publish->meta_data);
  if (!kept.empty()) SharedUtil::setDefaultDictionary(kept, kLocationPublishMeta_data);
}

void LocationPublishParameter::publishSave(const PelkPublish* publish) {
  storeMetaData(publish);
  if (!publish) return;
  for (const auto& f : kFields) {
    if (f.copiedBySave && publish->*f.member) SharedUtil::setDefaultBoolean(true, f.key);
  }
}

void LocationPublishParameter::publishOnly(const PelkPublish* publish) {
  storeMetaData(publish);
  if (!publish) return;
  for (const auto& f : kFields) {
    if (publish->*f.member) SharedUtil::setDefaultBoolean(true, f.key);
  }
}

void LocationPublishParameter::locationPublisher(bool on) {
  log(std::string("Location publisher : ") + (on ? "true" : "false"));
  SharedUtil::setDefaultBoolean(on, KLocationPublisher);
}

namespace {

// A choice of style is one step: two made at once leave one of them whole,
// never the style of one with the fields of both.  Not held while MQTT runs.
// Lock order: before the settings and the log (platform/LockOrder.h).
platform::Mutex& choiceMutex() {
  static auto* m = new platform::Mutex();
  return *m;
}

}  // namespace

void LocationPublishParameter::startPublishing(bool saveMode, const PelkPublish* publish) {
  auto& parameter = sharedInstance();
  {
    platform::LockGuard lock(choiceMutex());
    parameter.resetPublish();
    SharedUtil::setDefaultBoolean(saveMode, kLocationPublishSave);
    SharedUtil::setDefaultBoolean(!saveMode, kLocationPublishOnly);
    locationPublisher(true);
    // The fields are in place before the connection can publish.
    if (saveMode) {
      parameter.publishSave(publish);
    } else {
      parameter.publishOnly(publish);
    }
  }
  if (!sending::connected()) sending::connect();
}

void LocationPublishParameter::stopPublishing() {
  // Off first: the disconnect reconnects at once while the switch is on.
  {
    platform::LockGuard lock(choiceMutex());
    locationPublisher(false);
  }
  if (sending::connected()) sending::disconnect();
}

}  // namespace pelk
