#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

namespace pelk {

// One entry in the history of a trip.
class PelkTripEvent {
 public:
  // Null when "is_deleted" is missing or not a boolean.
  static std::shared_ptr<PelkTripEvent> fromDictionary(const nlohmann::json& dictionary);

  const std::optional<std::string>& createdAt() const { return createdAt_; }
  const std::optional<std::string>& eventType() const { return eventType_; }
  const std::optional<std::string>& id() const { return id_; }
  bool isDeleted() const { return isDeleted_; }
  const std::optional<std::string>& tripId() const { return tripId_; }
  const std::optional<std::string>& userId() const { return userId_; }
  const std::optional<std::string>& userLocationId() const { return userLocationId_; }

  void setCreatedAt(std::optional<std::string> v) { createdAt_ = std::move(v); }
  void setEventType(std::optional<std::string> v) { eventType_ = std::move(v); }
  void setId(std::optional<std::string> v) { id_ = std::move(v); }
  void setIsDeleted(bool v) { isDeleted_ = v; }
  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setUserId(std::optional<std::string> v) { userId_ = std::move(v); }
  void setUserLocationId(std::optional<std::string> v) { userLocationId_ = std::move(v); }

 private:
  PelkTripEvent() = default;

  std::optional<std::string> createdAt_;
  std::optional<std::string> eventType_;
  std::optional<std::string> id_;
  bool isDeleted_ = false;
  std::optional<std::string> tripId_;
  std::optional<std::string> userId_;
  std::optional<std::string> userLocationId_;
};

}  // namespace pelk
