#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "pelk/PelkEnums.h"

namespace pelk {

// The kit's credentials, ids and switches.  Each setter writes through to the
// settings suite; each get... reader reads the suite back, so values of earlier
// launches are seen at once.  The plain accessors answer the in-memory copy of
// this process (absent until assigned).  Assigning absence to a required value
// leaves the suite unchanged; the two shadow switches store true for absence.
class TokenManager {
 public:
  static std::optional<std::string> publishKey();
  static void setPublishKey(std::optional<std::string> v);
  static std::optional<std::string> sdkToken();
  static void setSdkToken(std::optional<std::string> v);
  static std::optional<std::string> userId();
  static void setUserId(std::optional<std::string> v);
  static std::optional<std::string> accountId();
  static void setAccountId(std::optional<std::string> v);
  static std::optional<std::string> projectId();
  static void setProjectId(std::optional<std::string> v);
  static std::optional<std::string> deviceToken();
  static void setDeviceToken(std::optional<std::string> v);
  static std::optional<std::string> appId();
  static void setAppId(std::optional<std::string> v);
  static std::optional<bool> geofenceEvent();
  static void setGeofenceEvent(std::optional<bool> v);
  static std::optional<bool> locationEvent();
  static void setLocationEvent(std::optional<bool> v);
  static std::optional<bool> tripEvent();
  static void setTripEvent(std::optional<bool> v);
  static std::optional<bool> nearbyEvent();
  static void setNearbyEvent(std::optional<bool> v);
  static std::optional<bool> locationListener();
  static void setLocationListener(std::optional<bool> v);
  static std::optional<bool> EventListener();
  static void setEventListener(std::optional<bool> v);
  static std::optional<std::string> SubcribeTripStatusListener();
  static void setSubcribeTripStatusListener(std::optional<std::string> v);
  static std::optional<bool> locationTrackingState();
  static void setLocationTrackingState(std::optional<bool> v);
  static std::optional<bool> pubSubState();
  static void setPubSubState(std::optional<bool> v);
  static std::optional<bool> isUserDelete();
  static void setIsUserDelete(std::optional<bool> v);

  static std::string getPublishKey();
  static std::string getSDKToken();
  static std::string getUserId();
  static std::string getAccountId();
  static std::string getProjectId();
  static std::string getDeviceToken();
  static std::string getAppId();
  static bool getGeofenceEvents();
  static bool getLocationEvent();
  static bool getTripEvents();
  static bool getNearEvents();
  static bool getLocationListener();
  static bool getEventListener();
  static std::string getSubcribeTripStatusListener();
  static bool getLocationPublisher();
  static bool getLocationTrackingState();
  static bool getPubSubState();
  static bool getUserDelete();

  // Forgets the in-memory copies (tests simulate a relaunch with it).
  static void clearMemoryForTesting();
};

class SaveUtilis {
 public:
  // Stores the ids and switches of a REST user reply.  The whole "data" object
  // is checked first: "user_id" and "app_id" must be texts and the six event
  // and listener switches booleans.  Stores all of it and answers true, or
  // nothing and answers false.
  static bool saveUserDetails(const nlohmann::json& reply);
  static void saveTrackingOptions(PelkTrackingMode mode);
  static PelkTrackingModeLocal getTrackingOptions();
};

}  // namespace pelk
