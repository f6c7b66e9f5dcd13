#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/DeviceInfo.h"
#include "foundation/SharedUtil.h"
#include "models/TrackedPosition.h"
#include "network/PelkAPIClient.h"
#include "platform/Location.h"
#include "storage/LocalEntities.h"

namespace pelk {

// The two moments of a visit the location service reports.  An arrival or
// departure the service does not know is given as distantPast() or
// distantFuture().
struct VisitTimes {
  Date arrivalDate;
  Date departureDate;

  // The earliest and the latest moment a date can hold.
  static Date distantPast();
  static Date distantFuture();
  // Strictly between the two sentinels.
  static bool isRealDate(Date date);
};

// The location messages and their sending, and the small position history the
// tracking engine filters with.  Static operations only; every one reads the
// settings and readings when called.
class LocationUtils {
 public:
  // --- Live location message ------------------------------------------------

  // The live message of one position.  Save mode ("LocationPublishSave" on)
  // carries the standard keys and the extra keys whose switch is on;
  // publish-only mode carries the five core keys and each key whose switch is
  // on.  "meta-data" is the stored metadata when there is any.  A value that
  // cannot be written as JSON leaves its key out, with a log line.
  static nlohmann::json mqttLocationDictionary(const TrackedPosition& position,
                                               DeviceInfo& device = DeviceInfo::sharedInstance());
  // The same message as compact JSON text.
  static std::string getMQTTString(const TrackedPosition& position, DeviceInfo& device = DeviceInfo::sharedInstance());
  // Compact JSON text of a dictionary; "" when it cannot be written.
  static std::string getMQTTString(const nlohmann::json& locationdict);
  // A copy of the stored metadata, without entries that cannot be written;
  // {} when none is stored.
  static nlohmann::json addMetaData();
  // Compact JSON text of a dictionary; nothing when it cannot be written.
  static std::optional<std::string> jsonString(const nlohmann::json& dict);
  // The stored tracking switch.
  static bool isLocationTracking();

  // --- Uploads and GPS status ----------------------------------------------

  // The REST location record of one position (the direct HTTP path); it
  // carries neither the location id nor the manual flag, and its time is now.
  static nlohmann::json httpLocationRecord(const TrackedPosition& position,
                                           DeviceInfo& device = DeviceInfo::sharedInstance());
  // Posts the record as a one-element array; the completion gets true exactly
  // when the server answered "location recorded successfully.".  A position
  // without finite coordinates is not posted (false).
  static void onlineLocationData(const TrackedPosition& position, std::function<void(bool)> completionHandler,
                                 DeviceInfo& device = DeviceInfo::sharedInstance(),
                                 PelkAPIClient& api = PelkAPIClient::sharedInstance());
  // Posts stored records; the completion (optional) gets true exactly when the
  // server accepted them.
  static void sendOfflineLocationData(const nlohmann::json& records,
                                      std::function<void(bool accepted)> completion = nullptr,
                                      PelkAPIClient& api = PelkAPIClient::sharedInstance());
  // Publishes a prepared dictionary as pretty JSON.  A dictionary that cannot
  // be written is not sent and the completion gets false.
  static void sendOfflineMQTTLocationData(const nlohmann::json& dict,
                                          std::function<void(bool)> completionHandler = nullptr);
  // Publishes a GPS-status message.  A status that could not be published is
  // kept under "GPSData" for the next upload of stored data (isDelete false:
  // a fresh status); the kept status (isDelete true) is removed once its
  // publish succeeded, unless a newer one replaced it meanwhile.
  static void sendGpsStatus(const nlohmann::json& status, bool isDelete,
                            std::function<void(bool)> completion = nullptr);

  // --- Position history and filters ----------------------------------------

  static void saveLocation(const platform::Location& fix);
  // The stored last location, or an empty location (coordinate 0, 0, time now)
  // when none is stored.
  static platform::Location getLastLocation();
  // km/h against the stored last location, rounded to 4 decimals; 0 when
  // nothing is stored, for an older fix and for the same fix.
  static double speedCalculate(const platform::Location& fix);
  static void saveSpeed(const platform::Location& fix);
  static std::vector<double> getAllSpeed();
  static void deleteSpeed();
  static void resetSpeed();
  // The geofence radius band (m) of the rounded mean of the speeds, after
  // logging the speeds and their mean (logSpeeds).
  static std::int64_t getSpeed(const std::vector<double>& speeds);
  // The band alone, and the two log lines alone, for a caller that works out
  // the band inside a settings transaction and logs once it is committed.
  static std::int64_t speedBand(const std::vector<double>& speeds);
  static void logSpeeds(const std::vector<double>& speeds);
  // True when the fix is at most 10 s old, its accuracy valid and within the
  // stored tracking mode's limit.  The age counts from when the location
  // service handed the fix over (Location::receivedAt), else from its time
  // stamp.
  static bool filterAndAddLocation(const platform::Location& fix);
  static bool getCurrentLcoation30After();
  static std::string geofenceIdentifier();
  static bool distanceFilter(const platform::Location& fix);
  static void resetlocation();
  // Stores the visit's arrival when it is a real date, else its departure
  // when that is one, else now, under "VisitDate".
  static void saveVisitTime(const VisitTimes& visit);
};

// Sends one live position.
class MqttLocationUtils {
 public:
  // Builds the live message and publishes it; the completion (optional) is
  // called once: true when the broker acknowledged it, false when nothing was
  // sent (also for a position without finite coordinates, which is never
  // sent) or the connection went first (then the caller keeps the position).
  // It may run later, on a thread of the connection.
  static void mqttLocationData(const TrackedPosition& position, std::function<void(bool)> completionHandler = nullptr,
                               DeviceInfo& device = DeviceInfo::sharedInstance());
  // As mqttLocationData, and when the position does not reach the broker the
  // completion also gets the buffer row that holds what the message held: its
  // location id, recorded-at time, user and readings, taken when the message
  // was built, not when the failure is noticed (the keep-alive may take a
  // minute to notice a silent link).  No row for a position without finite
  // coordinates.  The position is the signed-in user's of the moment it is
  // handed in: made while another user signs in, it is neither sent nor kept
  // (no row); once made, it goes on that user's topic or not at all.
  using LivePositionCompletion = std::function<void(bool published, std::optional<MqttLocationData> keep)>;
  static void publishLivePosition(const TrackedPosition& position, LivePositionCompletion completion,
                                  DeviceInfo& device = DeviceInfo::sharedInstance());
};

}  // namespace pelk
