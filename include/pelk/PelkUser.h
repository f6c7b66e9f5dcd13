#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace pelk {

// The kit's user as the REST service describes it: id, description, the six
// server-side switches for events and listeners, and account and project.
class PelkUser {
 public:
  // Reads the whole reply body; every field comes from the object under
  // "data".  Null when the body is malformed: no "data" object, or "user_id"
  // or one of the six switches missing or of the wrong type.
  static std::shared_ptr<PelkUser> fromDictionary(const nlohmann::json& dictionary);

  const std::string& userId() const { return userId_; }
  const std::optional<std::string>& userDescription() const { return userDescription_; }
  bool geofenceEvents() const { return geofenceEvents_; }
  bool eventsListener() const { return eventsListener_; }
  bool locationListener() const { return locationListener_; }
  bool locationEvents() const { return locationEvents_; }
  bool tripsEvents() const { return tripsEvents_; }
  bool nearbyEvents() const { return nearbyEvents_; }
  const std::string& account_id() const { return account_id_; }
  const std::string& project_id() const { return project_id_; }

  // The switches may be changed on this object; that changes nothing else
  // (neither the stored settings nor the server).
  void setGeofenceEvents(bool v) { geofenceEvents_ = v; }
  void setEventsListener(bool v) { eventsListener_ = v; }
  void setLocationListener(bool v) { locationListener_ = v; }
  void setLocationEvents(bool v) { locationEvents_ = v; }
  void setTripsEvents(bool v) { tripsEvents_ = v; }
  void setNearbyEvents(bool v) { nearbyEvents_ = v; }

 private:
  PelkUser() = default;

  std::string userId_;
  std::optional<std::string> userDescription_;
  bool geofenceEvents_ = false;
  bool eventsListener_ = false;
  bool locationListener_ = false;
  bool locationEvents_ = false;
  bool tripsEvents_ = false;
  bool nearbyEvents_ = false;
  std::string account_id_;
  std::string project_id_;
};

}  // namespace pelk
