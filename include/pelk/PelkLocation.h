#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "pelk/PelkNumber.h"
#include "pelk/PelkPosition.h"

namespace pelk {

// One position of this device, as handed to the app's delegate.
class PelkLocation {
 public:
  // userId: the stored user id ("" when none); activity: "M" or "S";
  // location: the fix, unchanged; timezoneOffset: the device's offset text;
  // recordedAt: the moment of building as a wire time stamp.
  PelkLocation(std::string userId, std::string activity, Location location, std::string timezoneOffset,
               std::string recordedAt)
      : userId_(std::move(userId)),
        activity_(std::move(activity)),
        location_(location),
        timezoneOffset_(std::move(timezoneOffset)),
        recordedAt_(std::move(recordedAt)) {}

  const std::string& userId() const { return userId_; }
  const std::string& activity() const { return activity_; }
  const Location& location() const { return location_; }
  const std::string& timezoneOffset() const { return timezoneOffset_; }
  const std::string& recordedAt() const { return recordedAt_; }

 private:
  std::string userId_;
  std::string activity_;
  Location location_;
  std::string timezoneOffset_;
  std::string recordedAt_;
};

// One position of another user, from a message on a subscribed user-location
// topic.  Every field may be null.
class PelkLocationReceived {
 public:
  // Null only when the message is not a JSON object.
  static std::shared_ptr<PelkLocationReceived> fromDictionary(const nlohmann::json& dictionary);

  const std::optional<std::string>& activity() const { return activity_; }
  const std::optional<PelkNumber>& altitude() const { return altitude_; }
  const std::optional<PelkNumber>& latitude() const { return latitude_; }
  const std::optional<PelkNumber>& longitude() const { return longitude_; }
  const std::optional<PelkNumber>& course() const { return course_; }
  const std::optional<std::string>& eventSource() const { return eventSource_; }
  const std::optional<std::string>& eventType() const { return eventType_; }
  const std::optional<std::string>& eventVersion() const { return eventVersion_; }
  const std::optional<PelkNumber>& horizontalAccuracy() const { return horizontalAccuracy_; }
  const std::optional<std::string>& locationId() const { return locationId_; }
  const std::optional<std::string>& recordedAt() const { return recordedAt_; }
  const std::optional<PelkNumber>& speed() const { return speed_; }
  const std::optional<std::string>& userId() const { return userId_; }
  const std::optional<PelkNumber>& verticalAccuracy() const { return verticalAccuracy_; }

  void setActivity(std::optional<std::string> v) { activity_ = std::move(v); }
  void setAltitude(std::optional<PelkNumber> v) { altitude_ = v; }
  void setLatitude(std::optional<PelkNumber> v) { latitude_ = v; }
  void setLongitude(std::optional<PelkNumber> v) { longitude_ = v; }
  void setCourse(std::optional<PelkNumber> v) { course_ = v; }
  void setEventSource(std::optional<std::string> v) { eventSource_ = std::move(v); }
  void setEventType(std::optional<std::string> v) { eventType_ = std::move(v); }
  void setEventVersion(std::optional<std::string> v) { eventVersion_ = std::move(v); }
  void setHorizontalAccuracy(std::optional<PelkNumber> v) { horizontalAccuracy_ = v; }
  void setLocationId(std::optional<std::string> v) { locationId_ = std::move(v); }
  void setRecordedAt(std::optional<std::string> v) { recordedAt_ = std::move(v); }
  void setSpeed(std::optional<PelkNumber> v) { speed_ = v; }
  void setUserId(std::optional<std::string> v) { userId_ = std::move(v); }
  void setVerticalAccuracy(std::optional<PelkNumber> v) { verticalAccuracy_ = v; }

 private:
  PelkLocationReceived() = default;

  std::optional<std::string> activity_;
  std::optional<PelkNumber> altitude_;
  std::optional<PelkNumber> latitude_;
  std::optional<PelkNumber> longitude_;
  std::optional<PelkNumber> course_;
  std::optional<std::string> eventSource_;
  std::optional<std::string> eventType_;
  std::optional<std::string> eventVersion_;
  std::optional<PelkNumber> horizontalAccuracy_;
  std::optional<std::string> locationId_;
  std::optional<std::string> recordedAt_;
  std::optional<PelkNumber> speed_;
  std::optional<std::string> userId_;
  std::optional<PelkNumber> verticalAccuracy_;
};

}  // namespace pelk
