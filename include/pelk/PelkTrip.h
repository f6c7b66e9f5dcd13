#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

namespace pelk {

// One entry of the list of active trips.
class PelkTrip {
 public:
  // Null when "is_deleted", "is_ended" or "is_started" is missing or not a
  // boolean, or when "is_paused" is there but not a boolean (null included).
  static std::shared_ptr<PelkTrip> fromDictionary(const nlohmann::json& dictionary);

  const std::optional<std::string>& tripId() const { return tripId_; }
  bool deleted() const { return deleted_; }
  bool ended() const { return ended_; }
  bool started() const { return started_; }
  bool paused() const { return paused_; }
  const std::optional<std::string>& updatedAt() const { return updatedAt_; }
  const std::optional<std::string>& createdAt() const { return createdAt_; }
  const std::optional<std::string>& syncStatus() const { return syncStatus_; }

  void setTripId(std::optional<std::string> v) { tripId_ = std::move(v); }
  void setDeleted(bool v) { deleted_ = v; }
  void setEnded(bool v) { ended_ = v; }
  void setStarted(bool v) { started_ = v; }
  void setPaused(bool v) { paused_ = v; }
  void setUpdatedAt(std::optional<std::string> v) { updatedAt_ = std::move(v); }
  void setCreatedAt(std::optional<std::string> v) { createdAt_ = std::move(v); }
  void setSyncStatus(std::optional<std::string> v) { syncStatus_ = std::move(v); }

 private:
  PelkTrip() = default;

  std::optional<std::string> tripId_;
  bool deleted_ = false;
  bool ended_ = false;
  bool started_ = false;
  bool paused_ = false;
  std::optional<std::string> updatedAt_;
  std::optional<std::string> createdAt_;
  std::optional<std::string> syncStatus_;
};

}  // namespace pelk
