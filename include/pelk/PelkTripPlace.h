#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace pelk {

// The fields shared by a trip's origins and destinations.  PelkTripOrigin and
// PelkTripDestination are distinct types that read and behave identically.
class PelkTripPlace {
 public:
  const std::optional<std::vector<double>>& coordinates() const { return coordinates_; }
  const std::optional<std::string>& createdAt() const { return createdAt_; }
  const std::optional<std::string>& id() const { return id_; }
  const std::optional<std::string>& locType() const { return locType_; }
  bool reached() const { return reached_; }
  const std::optional<std::string>& tripId() const { return tripId_; }
  const std::optional<std::string>& updatedAt() const { return updatedAt_; }

  void setCoordinates(std::optional<std::vector<double>> v) { coordinates_ = std::move(v); }
  void setCreatedAt(std::optional<std::string> v) { createdAt_ = std::move(v); }
  void setId(std::optional<std::string> v) { id_ = std::move(v); }
  void setLocType(std::optional<std::string> v) { locType_ = std::move(v); }
  void setReached(bool v) { reached_ = v; }
  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setUpdatedAt(std::optional<std::string> v) { updatedAt_ = std::move(v); }

 protected:
  PelkTripPlace() = default;
  ~PelkTripPlace() = default;
  // Reads the fields; false when the value is not a JSON object.
  bool read(const nlohmann::json& dictionary);

 private:
  std::optional<std::vector<double>> coordinates_;
  std::optional<std::string> createdAt_;
  std::optional<std::string> id_;
  std::optional<std::string> locType_;
  bool reached_ = false;
  std::optional<std::string> tripId_;
  std::optional<std::string> updatedAt_;
};

// One place where a trip starts.
class PelkTripOrigin final : public PelkTripPlace {
 public:
  // Null only when the value is not a JSON object; every key is optional.
  static std::shared_ptr<PelkTripOrigin> fromDictionary(const nlohmann::json& dictionary);

 private:
  PelkTripOrigin() = default;
};

// One place where a trip is to end.
class PelkTripDestination final : public PelkTripPlace {
 public:
  // Null only when the value is not a JSON object; every key is optional.
  static std::shared_ptr<PelkTripDestination> fromDictionary(const nlohmann::json& dictionary);

 private:
  PelkTripDestination() = default;
};

}  // namespace pelk
