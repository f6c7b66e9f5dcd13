#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pelk/PelkNumber.h"

namespace pelk {

// One event the service raised for the app's user, delivered over MQTT.
class PelkEvents {
 public:
  // Null only when the value is not a JSON object; every key is optional.
  static std::shared_ptr<PelkEvents> fromDictionary(const nlohmann::json& dictionary);

  const std::optional<std::string>& activity() const { return activity_; }
  const PelkNumber& altitude() const { return altitude_; }
  const PelkNumber& course() const { return course_; }
  const std::optional<std::string>& createdAt() const { return createdAt_; }
  const PelkNumber& distance() const { return distance_; }
  const std::optional<std::string>& eventSource() const { return eventSource_; }
  const std::optional<std::string>& eventType() const { return eventType_; }
  const std::optional<std::string>& eventVersion() const { return eventVersion_; }
  const std::optional<std::string>& geofenceId() const { return geofenceId_; }
  const PelkNumber& horizontalAccuracy() const { return horizontalAccuracy_; }
  const std::optional<std::vector<double>>& coordinates() const { return coordinates_; }
  const std::optional<std::string>& locationId() const { return locationId_; }
  const std::optional<std::string>& nearbyUserId() const { return nearbyUserId_; }
  const std::optional<std::string>& recordedAt() const { return recordedAt_; }
  const PelkNumber& speed() const { return speed_; }
  const std::optional<std::string>& tripId() const { return tripId_; }
  const std::optional<std::string>& userId() const { return userId_; }
  const PelkNumber& veritcalAccuracy() const { return veritcalAccuracy_; }

  void setActivity(std::optional<std::string> v) { activity_ = std::move(v); }
  void setAltitude(PelkNumber v) { altitude_ = v; }
  void setCourse(PelkNumber v) { course_ = v; }
  void setCreatedAt(std::optional<std::string> v) { createdAt_ = std::move(v); }
  void setDistance(PelkNumber v) { distance_ = v; }
  void setEventSource(std::optional<std::string> v) { eventSource_ = std::move(v); }
  void setEventType(std::optional<std::string> v) { eventType_ = std::move(v); }
  void setEventVersion(std::optional<std::string> v) { eventVersion_ = std::move(v); }
  void setGeofenceId(std::optional<std::string> v) { geofenceId_ = std::move(v); }
  void setHorizontalAccuracy(PelkNumber v) { horizontalAccuracy_ = v; }
  void setCoordinates(std::optional<std::vector<double>> v) { coordinates_ = std::move(v); }
  void setLocationId(std::optional<std::string> v) { locationId_ = std::move(v); }
  void setNearbyUserId(std::optional<std::string> v) { nearbyUserId_ = std::move(v); }
  void setRecordedAt(std::optional<std::string> v) { recordedAt_ = std::move(v); }
  void setSpeed(PelkNumber v) { speed_ = v; }
  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setUserId(std::optional<std::string> v) { userId_ = std::move(v); }
  void setVeritcalAccuracy(PelkNumber v) { veritcalAccuracy_ = v; }

 private:
  PelkEvents() = default;

  std::optional<std::string> activity_;
  PelkNumber altitude_;
  PelkNumber course_;
  std::optional<std::string> createdAt_;
  PelkNumber distance_;
  std::optional<std::string> eventSource_;
  std::optional<std::string> eventType_;
  std::optional<std::string> eventVersion_;
  std::optional<std::string> geofenceId_;
  PelkNumber horizontalAccuracy_;
  std::optional<std::vector<double>> coordinates_;
  std::optional<std::string> locationId_;
  std::optional<std::string> nearbyUserId_;
  std::optional<std::string> recordedAt_;
  PelkNumber speed_;
  std::optional<std::string> tripId_;
  std::optional<std::string> userId_;
  PelkNumber veritcalAccuracy_;
};

}  // namespace pelk
