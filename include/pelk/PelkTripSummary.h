#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pelk/PelkNumber.h"

namespace pelk {

// One recorded point of a trip's route.
class PelkTripSummaryRoute {
 public:
  // Null only when the value is not a JSON object; every key is optional.
  static std::shared_ptr<PelkTripSummaryRoute> fromDictionary(const nlohmann::json& dictionary);

  const std::optional<std::string>& activity() const { return activity_; }
  const PelkNumber& altitude() const { return altitude_; }
  const PelkNumber& elevationGain() const { return elevationGain_; }
  const PelkNumber& distance() const { return distance_; }
  const PelkNumber& duration() const { return duration_; }
  const std::optional<std::vector<double>>& coordinates() const { return coordinates_; }
  const std::optional<std::string>& recordedAt() const { return recordedAt_; }

  void setActivity(std::optional<std::string> v) { activity_ = std::move(v); }
  void setAltitude(PelkNumber v) { altitude_ = v; }
  void setElevationGain(PelkNumber v) { elevationGain_ = v; }
  void setDistance(PelkNumber v) { distance_ = v; }
  void setDuration(PelkNumber v) { duration_ = v; }
  void setCoordinates(std::optional<std::vector<double>> v) { coordinates_ = std::move(v); }
  void setRecordedAt(std::optional<std::string> v) { recordedAt_ = std::move(v); }

 private:
  PelkTripSummaryRoute() = default;

  std::optional<std::string> activity_;
  PelkNumber altitude_;
  PelkNumber elevationGain_;
  PelkNumber distance_;
  PelkNumber duration_;
  std::optional<std::vector<double>> coordinates_;
  std::optional<std::string> recordedAt_;
};

// The summary of one trip: distance, duration, elevation gain, status, ids and
// the route.
class PelkTripSummary {
 public:
  // Reads a summary object whose "route" holds route-point objects.  Null only
  // when the value is not a JSON object; every key is optional.
  static std::shared_ptr<PelkTripSummary> fromDictionary(const nlohmann::json& dictionary);

  // The same reading, for a trip whose route points were already built (the
  // local trip store): when every element of builtRoute is a route point, that
  // list, the same objects in the same order, becomes `route`, replacing
  // whatever the dictionary's "route" gave.
  static std::shared_ptr<PelkTripSummary> fromDictionary(const nlohmann::json& dictionary,
                                                         std::vector<std::shared_ptr<PelkTripSummaryRoute>> builtRoute);

  const PelkNumber& distanceCovered() const { return distanceCovered_; }
  const PelkNumber& duration() const { return duration_; }
  const std::optional<std::string>& projectId() const { return projectId_; }
  const std::vector<std::shared_ptr<PelkTripSummaryRoute>>& route() const { return route_; }
  const std::optional<std::string>& tripId() const { return tripId_; }
  const std::optional<std::string>& tripStatus() const { return tripStatus_; }
  const std::optional<std::string>& userId() const { return userId_; }
  const PelkNumber& totalElevationGain() const { return totalElevationGain_; }

  void setDistanceCovered(PelkNumber v) { distanceCovered_ = v; }
  void setDuration(PelkNumber v) { duration_ = v; }
  void setProjectId(std::optional<std::string> v) { projectId_ = std::move(v); }
  void setRoute(std::vector<std::shared_ptr<PelkTripSummaryRoute>> v) { route_ = std::move(v); }
  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setTripStatus(std::optional<std::string> v) { tripStatus_ = std::move(v); }
  void setUserId(std::optional<std::string> v) { userId_ = std::move(v); }
  void setTotalElevationGain(PelkNumber v) { totalElevationGain_ = v; }

 private:
  PelkTripSummary() = default;

  PelkNumber distanceCovered_;
  PelkNumber duration_;
  std::optional<std::string> projectId_;
  std::vector<std::shared_ptr<PelkTripSummaryRoute>> route_;
  std::optional<std::string> tripId_;
  std::optional<std::string> tripStatus_;
  std::optional<std::string> userId_;
  PelkNumber totalElevationGain_;
};

}  // namespace pelk
