#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pelk/PelkNumber.h"
#include "pelk/PelkTripEvent.h"
#include "pelk/PelkTripPlace.h"

namespace pelk {

// The full record of one trip.
class PelkGetTrip {
 public:
  // Reads a trip-details object whose "events" holds event objects.  Null when
  // "is_deleted", "is_ended" or "is_started" is missing or not a boolean, or
  // when one of the event objects lacks its own required flag.
  static std::shared_ptr<PelkGetTrip> fromDictionary(const nlohmann::json& dictionary);

  // The same reading, for a trip whose events were already built (the local
  // trip store): when every element of builtEvents is an event, that list, the
  // same objects in the same order, becomes `events`, replacing whatever the
  // dictionary's "events" gave.
  static std::shared_ptr<PelkGetTrip> fromDictionary(const nlohmann::json& dictionary,
                                                     std::vector<std::shared_ptr<PelkTripEvent>> builtEvents);

  const std::optional<std::string>& createdAt() const { return createdAt_; }
  const std::vector<std::shared_ptr<PelkTripDestination>>& destinations() const { return destinations_; }
  const PelkNumber& distanceCovered() const { return distanceCovered_; }
  const PelkNumber& duration() const { return duration_; }
  const std::vector<std::shared_ptr<PelkTripEvent>>& events() const { return events_; }
  const std::optional<std::string>& tripId() const { return tripId_; }
  bool isDeleted() const { return isDeleted_; }
  bool isEnded() const { return isEnded_; }
  bool isPaused() const { return isPaused_; }
  bool isStarted() const { return isStarted_; }
  const std::vector<std::shared_ptr<PelkTripOrigin>>& origins() const { return origins_; }
  const std::optional<std::string>& projectId() const { return projectId_; }
  const std::optional<std::string>& tripEndedAt() const { return tripEndedAt_; }
  const std::optional<std::string>& tripStartedAt() const { return tripStartedAt_; }
  const std::optional<std::string>& updatedAt() const { return updatedAt_; }
  const std::optional<std::string>& userId() const { return userId_; }

  void setCreatedAt(std::optional<std::string> v) { createdAt_ = std::move(v); }
  void setDestinations(std::vector<std::shared_ptr<PelkTripDestination>> v) { destinations_ = std::move(v); }
  void setDistanceCovered(PelkNumber v) { distanceCovered_ = v; }
  void setDuration(PelkNumber v) { duration_ = v; }
  void setEvents(std::vector<std::shared_ptr<PelkTripEvent>> v) { events_ = std::move(v); }
  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setIsDeleted(bool v) { isDeleted_ = v; }
  void setIsEnded(bool v) { isEnded_ = v; }
  void setIsPaused(bool v) { isPaused_ = v; }
  void setIsStarted(bool v) { isStarted_ = v; }
  void setOrigins(std::vector<std::shared_ptr<PelkTripOrigin>> v) { origins_ = std::move(v); }
  void setProjectId(std::optional<std::string> v) { projectId_ = std::move(v); }
  void setTripEndedAt(std::optional<std::string> v) { tripEndedAt_ = std::move(v); }
  void setTripStartedAt(std::optional<std::string> v) { tripStartedAt_ = std::move(v); }
  void setUpdatedAt(std::optional<std::string> v) { updatedAt_ = std::move(v); }
  void setUserId(std::optional<std::string> v) { userId_ = std::move(v); }

 private:
  PelkGetTrip() = default;

  std::optional<std::string> createdAt_;
  std::vector<std::shared_ptr<PelkTripDestination>> destinations_;
  PelkNumber distanceCovered_;
  PelkNumber duration_;
  std::vector<std::shared_ptr<PelkTripEvent>> events_;
  std::optional<std::string> tripId_;
  bool isDeleted_ = false;
  bool isEnded_ = false;
  bool isPaused_ = false;
  bool isStarted_ = false;
  std::vector<std::shared_ptr<PelkTripOrigin>> origins_;
  std::optional<std::string> projectId_;
  std::optional<std::string> tripEndedAt_;
  std::optional<std::string> tripStartedAt_;
  std::optional<std::string> updatedAt_;
  std::optional<std::string> userId_;
};

}  // namespace pelk
