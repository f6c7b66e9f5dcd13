#pragma once

#include <cstdint>

// The names of the kit's settings keys and a few shared codes and texts.  The
// literals are a storage format: stored values are found again only under
// exactly these texts.
namespace pelk {

// Suite, version and shared numbers.
inline constexpr const char* kUserDefaultsuiteName = "devzezovusdk";
inline constexpr const char* kSDKVersion = "0.0.5";
inline constexpr const char* KGeofenceRegionIdentifier = "ZezovuSDKGeofence";
inline constexpr std::int64_t KGeofenceRegionRadius = 100;  // metres

// Credentials, ids and endpoints.
inline constexpr const char* kPublishKey = "RudizoVoraridIzo";
inline constexpr const char* kSDKToken = "DarereRERIruzo";
inline constexpr const char* kDeviceToken = "RizozoZadeveZaduz";
inline constexpr const char* kUserId = "QuelbrinUserId";
inline constexpr const char* kUserAppId = "QuelbrinUserAppId";
inline constexpr const char* kAccountId = "QuelbrinAccountId";
inline constexpr const char* kProjectId = "QuelbrinProjectId";
inline constexpr const char* KUserBaseUrl = "UserBaseUrl";
inline constexpr const char* kAWSIOTEndPoint = "awsIotEndPoint";
inline constexpr const char* kSetDeviceToken = "SetDeviceToken";

// Server-side event and listener switches of the user.
inline constexpr const char* kGeofenceEvents = "DuvadoDizuraraEvents";
inline constexpr const char* kLocationEvents = "RoroziZuzezuzoEvents";
inline constexpr const char* kTripEvents = "ZorodaZeveEvents";
inline constexpr const char* kNearbyEvents = "DadoreVezaroEvents";
inline constexpr const char* kEventListener = "RureraDavidIruroror";
inline constexpr const char* kLocationListener = "RoroziZuzezuzoListener";
inline constexpr const char* kZezovuDeleteUser = "ZezovuDeleteUser";

// Subscriptions.
inline constexpr const char* kLocationListenerSubscribe = "RoroziZuzezuzoEventsSubscribe";
inline constexpr const char* kEventListenerSubscribe = "DozadaDezuvuvaSubscribe";
inline constexpr const char* kLocationUserSubscribe = "RoroziZuzezuzoUserSubscribe";
inline constexpr const char* kSubscribeTripStatus = "VodivoZazezeruvTripStatus";

// Activity and app-state codes.
inline constexpr const char* kStationary = "S";
inline constexpr const char* kMoving = "M";
inline constexpr const char* kManual = "manual";
inline constexpr const char* kCurrentZezovu = "current_zezovu";
inline constexpr const char* KcurrentAppState = "CurrentAppState";
inline constexpr const char* kAppStateBackground = "B";
inline constexpr const char* kAppStateForeground = "F";
inline constexpr const char* kAppStateTerminates = "T";
inline constexpr const char* kUserAppState = "UserAppState";

// Tracking switches and options.
inline constexpr const char* kIsLocationTracking = "isLocationTracking";
inline constexpr const char* kTripLocationTracking = "TripLocationTracking";
inline constexpr const char* kTrackingOption = "TrackingOption";
// True while the last stop of tracking was the kit's own (no network with
// offline tracking off, a refused SDK token): only such a stop is undone when
// the network returns, also after a relaunch.  Absent otherwise.
inline constexpr const char* kTrackingStoppedByKit = "TrackingStoppedByKit";
inline constexpr const char* kOfflineTracking = "offlinetrackingenabled";
inline constexpr const char* KLocationPublisher = "LocationPublisher";
inline constexpr const char* kTrackingTimeBase = "kTrackingTimeBase";
inline constexpr const char* kIsLocationUpdating = "kIsLocationUpdating";
inline constexpr const char* klocationPermissionStatus = "locationPermissionStatus";
inline constexpr const char* kLoggingEnabled = "isLoggingEnabled";
inline constexpr const char* kCurrentLocationTimer = "currentLocationTimer";
inline constexpr const char* kGPSStatus = "GPSData";
inline constexpr const char* kVisitDate = "VisitDate";
inline constexpr const char* kLimitExceedMessage = "LimitExceedMessage";

// Last position and speed samples.
inline constexpr const char* kZezovuLatitude = "ZezovuLatitude";
inline constexpr const char* kZezovuLongitude = "ZezovuLongitude";
inline constexpr const char* kZezovuTimeStamp = "ZezovuTimeStamp";
inline constexpr const char* kZezovuHorizontalAccuracy = "ZezovuHorizontalAccuracy";
inline constexpr const char* kZezovuSpeed = "ZezovuSpeed";

// Accuracy filter.
inline constexpr const char* kAccuracyFilter = "AccuracyFilterOn";
inline constexpr const char* kAccuracyFilterCustom = "kAccuracyFilterCustom";
inline constexpr const char* kAccuracyFilterCustomValue = "kAccuracyFilterCustomValue";
inline constexpr const char* kCustomAccuracyFilter = "customAccuracyFilter";

// Location count.
inline constexpr const char* KLocationCountSDK = "locationCountSDK";
inline constexpr const char* KLocationCountStartedDate = "LocationCountStartedDate";
inline constexpr const char* KLocationCountSDKTemp = "locationCountSDKTemp";
inline constexpr const char* KLocationCountStartedDateTemp = "LocationCountStartedDateTemp";
inline constexpr const char* kLocationCountUpdating = "locationCountUpdating";
inline constexpr const char* KLocationUpdateType = "location_tracker";
inline constexpr const char* kLocationCount = "location count recorded successfully.";
inline constexpr const char* kLocationUpdateSucess = "location recorded successfully.";

// Device-shadow switches.
inline constexpr const char* kLocationTrackingState = "shadow_state_location_tracking";
inline constexpr const char* kPubSubState = "shadow_state_pub_sub";
inline constexpr const char* kLocationTrackingUpdatedByShadow = "shadow_state_location_tracking_changed";
inline constexpr const char* kPubSubStateUpdatedByShadow = "shadow_state_pub_sub_changed";

// Publish switches: one per optional field of the published location message.
inline constexpr const char* kLocationPublishSave = "LocationPublishSave";
inline constexpr const char* kLocationPublishOnly = "LocationPublishOnly";
inline constexpr const char* kLocationPublishMeta_data = "LocationPublishMeta_data";
inline constexpr const char* kLocationPublishuser_id = "LocationPublishuser_id";
inline constexpr const char* kLocationPublishapp_id = "LocationPublishapp_id";
inline constexpr const char* kLocationPublishrecorded_at = "LocationPublishrecorded_at";
inline constexpr const char* kLocationPublishtz_offset = "LocationPublishtz_offset";
inline constexpr const char* kLocationPublishgeofence_events = "LocationPublishgeofence_events";
inline constexpr const char* kLocationPublishtrips_events = "LocationPublishtrips_events";
inline constexpr const char* kLocationPublishlocation_events = "LocationPublishlocation_events";
inline constexpr const char* kLocationPublishnearby_events = "LocationPublishnearby_events";
inline constexpr const char* kLocationPublishlocation_listener = "LocationPublishlocation_listener";
inline constexpr const char* kLocationPublishevent_listener = "LocationPublishevent_listener";
inline constexpr const char* kLocationPublishapp_context = "LocationPublishapp_context";
inline constexpr const char* kLocationPublishnetwork_status = "LocationPublishnetwork_status";
inline constexpr const char* kLocationPublishgps_status = "LocationPublishgps_status";
inline constexpr const char* kLocationPublishlocation_permission = "LocationPublishlocation_permission";
inline constexpr const char* kLocationPublishbattery_status = "LocationPublishbattery_status";
inline constexpr const char* kLocationPublishairplane_mode = "LocationPublishairplane_mode";
inline constexpr const char* kLocationPublishbattery_saver = "LocationPublishbattery_saver";
inline constexpr const char* kLocationPublishbattery_remaining = "LocationPublishbattery_remaining";
inline constexpr const char* kLocationPublishdevice_model = "LocationPublishdevice_model";
inline constexpr const char* kLocationPublishdevice_manufacturer = "LocationPublishdevice_manufacturer";
inline constexpr const char* kLocationPublishos_version = "LocationPublishos_version";
inline constexpr const char* kLocationPublishtracking_mode = "LocationPublishtracking_mode";
inline constexpr const char* kLocationPublishaltitude = "LocationPublishaltitude";
inline constexpr const char* kLocationPublishspeed = "LocationPublishspeed";
inline constexpr const char* kLocationPublishvertical_accuracy = "LocationPublishvertical_accuracy";
inline constexpr const char* kLocationPublishhorizontal_accuracy = "LocationPublishhorizontal_accuracy";
inline constexpr const char* kLocationPublishcourse = "LocationPublishcourse";
inline constexpr const char* kLocationPublishactivity = "LocationPublishactivity";

// Kept for stored data and older hosts; the kit itself does not use them.
inline constexpr const char* kZezovuEvents = "ZezovuZezovuEvents";
inline constexpr const char* kWalking = "W";
inline constexpr const char* kRunning = "R";
inline constexpr const char* kCycling = "C";
inline constexpr const char* kAutomotive = "A";
inline constexpr const char* kAll = "all";
inline constexpr const char* kCurrentConfidence = "CurrentConfidence";
inline constexpr const char* kCurrentLocation = "currentLocation";
inline constexpr const char* kFirstLocation = "ZezovuFirstLocation";
inline constexpr const char* kInsideGeofence = "ZezovuInsideGeofence";
inline constexpr const char* networkChangeNotification = "NetworkChangeNotification";
inline constexpr const char* kGetLogs = "getZezovuLogs";
inline constexpr const char* kStopTracking = "StopTracking";
inline constexpr const char* event_source = "quelbrin:trip";
inline constexpr const char* event_version = "1.0";
inline constexpr const char* kStartTripSucess = "";
inline constexpr const char* kAWSIotidentitypath = "awsidentitypath";
inline constexpr const char* kAWSRegionType = "awsRegionType";
inline constexpr const char* kAWSPassphrase = "awsPassPhrase";

// Other names used for some of the keys above.
inline constexpr const char* kCurrentMotion = kCurrentZezovu;
inline constexpr const char* kMotionLatitude = kZezovuLatitude;
inline constexpr const char* kMotionLongitude = kZezovuLongitude;
inline constexpr const char* kMotionTimeStamp = kZezovuTimeStamp;
inline constexpr const char* kMotionHorizontalAccuracy = kZezovuHorizontalAccuracy;
inline constexpr const char* kMotionSpeed = kZezovuSpeed;
inline constexpr const char* kMotionDeleteUser = kZezovuDeleteUser;

// Keys owned by single components.
inline constexpr const char* kSaveLocationServerLogs = "savelocationServerLogs";

}  // namespace pelk
