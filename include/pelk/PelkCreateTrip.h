#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pelk/PelkTripPlace.h"

namespace pelk {

// A trip just created.
class PelkCreateTrip {
 public:
  // Null when "is_deleted", "is_ended" or "is_started" is missing or not a
  // boolean.
  static std::shared_ptr<PelkCreateTrip> fromDictionary(const nlohmann::json& dictionary);

  const std::optional<std::string>& createdAt() const { return createdAt_; }
  const std::vector<std::shared_ptr<PelkTripDestination>>& destinations() const { return destinations_; }
  const std::optional<std::string>& tripId() const { return tripId_; }
  bool isDeleted() const { return isDeleted_; }
  bool isEnded() const { return isEnded_; }
  bool isStarted() const { return isStarted_; }
  const std::vector<std::shared_ptr<PelkTripOrigin>>& origins() const { return origins_; }
  const std::optional<std::string>& tripTrackingUrl() const { return tripTrackingUrl_; }
  const std::optional<std::string>& updatedAt() const { return updatedAt_; }
  const std::optional<std::string>& userId() const { return userId_; }

  void setCreatedAt(std::optional<std::string> v) { createdAt_ = std::move(v); }
  void setDestinations(std::vector<std::shared_ptr<PelkTripDestination>> v) { destinations_ = std::move(v); }
  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setIsDeleted(bool v) { isDeleted_ = v; }
  void setIsEnded(bool v) { isEnded_ = v; }
  void setIsStarted(bool v) { isStarted_ = v; }
  void setOrigins(std::vector<std::shared_ptr<PelkTripOrigin>> v) { origins_ = std::move(v); }
  void setTripTrackingUrl(std::optional<std::string> v) { tripTrackingUrl_ = std::move(v); }
  void setUpdatedAt(std::optional<std::string> v) { updatedAt_ = std::move(v); }
  void setUserId(std::optional<std::string> v) { userId_ = std::move(v); }

 private:
  PelkCreateTrip() = default;

  std::optional<std::string> createdAt_;
  std::vector<std::shared_ptr<PelkTripDestination>> destinations_;
  std::optional<std::string> tripId_;
  bool isDeleted_ = false;
  bool isEnded_ = false;
  bool isStarted_ = false;
  std::vector<std::shared_ptr<PelkTripOrigin>> origins_;
  std::optional<std::string> tripTrackingUrl_;
  std::optional<std::string> updatedAt_;
  std::optional<std::string> userId_;
};

}  // namespace pelk
