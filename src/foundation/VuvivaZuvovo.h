#pragma once

#include <string>

namespace pelk {

// The kit's fixed status and error texts.
struct VuvivaZuvovo {
  // General success texts.
  static inline const std::string SUCCESS = "Success";
  static inline const std::string ZEZOVUSDK_INITI_SUCCESS = "Quelbrin initialized Success";
  static inline const std::string SUCCESS_TRACKING_START = "Tracking Started";
  static inline const std::string SUCCESS_TRACKING_STOP = "Tracking stopped";
  static inline const std::string SUBSCRIBE = "Subscribed successfully";
  static inline const std::string UN_SUBSCRIBE = "Unsubscribed successfully";
  static inline const std::string ENABLE_ACCURACY_FILTER = "Accuracy filter enabled";
  static inline const std::string DISABLE_ACCURACY_FILTER = "Accuracy filter disabled";

  // Start-up, credentials and account.
  static inline const std::string ERROR_INITIALIZE = "Quelbrin SDK not initialized";
  static inline const std::string ERROR_PUBLISHABLE_KEY = "Error publishable_key or package_name is wrong";
  static inline const std::string ERROR_BAD_REQUEST = "Error bad request";
  static inline const std::string ERROR_UNAUTHORIZED = "Error unauthorized";
  static inline const std::string ERROR_NOT_FOUND = "Data not found";
  static inline const std::string ERROR_USER_ID = "Not Initialized";
  static inline const std::string ERROR_USER_CREATE = "User not created";
  static inline const std::string USAGE_LIMIT_EXCEED = "Usage limit exceeded.";

  // Switches and features that are off.
  static inline const std::string ERROR_EVENTS = "Listener not enabled";
  static inline const std::string OFFLINE_TRACKING_SETTINGS_ERROR = "Offline Tracking Disabled ";
  static inline const std::string ERROR_PUB_SUB_STATE = "Pub/Sub feature not enabled";
  static inline const std::string ERROR_LOCATION_TRACKING_STATE = "Location Tracking not enabled";

  // Permissions.
  static inline const std::string ERROR_PERMISSION = "Permissions not granted";
  static inline const std::string ERROR_LOCATION_PERMISSION = "Location services error or permissions not granted";

  // Transport and delivery.
  static inline const std::string ERROR_NETWORK = "Network error";
  static inline const std::string ERROR_SERVER = "Server error";
  static inline const std::string ERROR_UNKNOWN = "Unknown error";
  static inline const std::string ERROR_AWS_DELIVERY = "AWS delivery fail";
  static inline const std::string ERROR_SUCCESS = "Error not updated";

  // Trips.
  static inline const std::string ERROR_TRIP_ID = "Trip not yet started";
  static inline const std::string ERROR_TRIP_SUBSCRIBE = "Multiple trips can not be subscribed";
  static inline const std::string TRIP_ID_NOT_FOUND = "Trip id does not exist";
  static inline const std::string TRIP_DELETE_SUCESS = "Trip deleted successfully";
  static inline const std::string TRIP_DELETE_ERROR = "Error in deleted trip.";
  static inline const std::string ERROR_TRIP_ID_NOT_ENDED = "Trip not started or ended";
  static inline const std::string ERROR_TRIP_ID_SYNC = "Trip id already in sync queue";
  static inline const std::string TRIP_SYNC_SUCESS = "Trip synced successfully.";
  static inline const std::string TRIP_SUCESS = "Success.";
  static inline const std::string SYNC_INITATED = "Sync initiated.";
  static inline const std::string TRIP_STARTED_SUCESS = "Trip started successfully";
  static inline const std::string TRIP_PAUSE_SUCESS = "Trip paused successfully";
  static inline const std::string TRIP_RESUME_SUCESS = "Trip resumed successfully";
  static inline const std::string TRIP_END_SUCESS = "Trip ended successfully";
  static inline const std::string TRIP_ALREADY_STARTED = "Trip already Started.";
  static inline const std::string TRIP_ALREADY_ENDED = "Trip already Ended.";
  static inline const std::string TRIP_ALREADY_PAUSE = "Trip already Paused.";
  static inline const std::string TRIP_ALREADY_RESUME = "Trip already Resumed.";
  static inline const std::string TRIP_NOT_STARTED = "Trip not started";
  static inline const std::string TRIP_START_ERROR = "Trip Start Error";
  static inline const std::string TRIP_PAUSE_ERROR = "Trip Pause Error";
  static inline const std::string TRIP_RESUME_ERROR = "Trip Resume Error";
  static inline const std::string TRIP_END_ERROR = "Trip End Error";
};

}  // namespace pelk
