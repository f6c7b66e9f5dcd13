#include "foundation/TokenManager.h"

#include <mutex>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "platform/Console.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
platform::Mutex gMutex;

template <class T>
struct Slot {
  std::optional<T> value;
};

struct Memory {
  Slot<std::string> publishKey, sdkToken, userId, accountId, projectId, deviceToken, appId, tripStatus;
  Slot<bool> geofenceEvent, locationEvent, tripEvent, nearbyEvent, locationListener, eventListener,
      locationTrackingState, pubSubState, isUserDelete;
};

Memory& memory() PELK_REQUIRES(gMutex) {
  static auto* m = new Memory();
  return *m;
}

template <class T>
std::optional<T> load(Slot<T> Memory::*slot) {
  platform::LockGuard lock(gMutex);
  return (memory().*slot).value;
}

void storeValue(const char* key, const std::string& v) { SharedUtil::setDefaultString(v, key); }
void storeValue(const char* key, bool v) { SharedUtil::setDefaultBoolean(v, key); }

// Required values: absence is refused and changes nothing.
template <class T>
void assignRequired(Slot<T> Memory::*slot, const char* key, std::optional<T> v) {
  if (!v) {
    platform::Console::print(std::string("pelk: refused to store an empty value under ") + key);
    return;
  }
  {
    platform::LockGuard lock(gMutex);
    (memory().*slot).value = v;
  }
  storeValue(key, *v);
}

// The shadow switches: absence means on.
void assignDefaultTrue(Slot<bool> Memory::*slot, const char* key, std::optional<bool> v) {
  {
    platform::LockGuard lock(gMutex);
    (memory().*slot).value = v;
  }
  storeValue(key, v.value_or(true));
}

}  // namespace

#define PELK_REQUIRED(Type, name, Setter, member, key)                       \
  std::optional<Type> TokenManager::name() { return load(&Memory::member); } \
  void TokenManager::Setter(std::optional<Type> v) { assignRequired(&Memory::member, key, std::move(v)); }

PELK_REQUIRED(std::string, publishKey, setPublishKey, publishKey, kPublishKey)
PELK_REQUIRED(std::string, sdkToken, setSdkToken, sdkToken, kSDKToken)
PELK_REQUIRED(std::string, userId, setUserId, userId, kUserId)
PELK_REQUIRED(std::string, accountId, setAccountId, accountId, kAccountId)
PELK_REQUIRED(std::string, projectId, setProjectId, projectId, kProjectId)
PELK_REQUIRED(std::string, deviceToken, setDeviceToken, deviceToken, kDeviceToken)
PELK_REQUIRED(std::string, appId, setAppId, appId, kUserAppId)
PELK_REQUIRED(bool, geofenceEvent, setGeofenceEvent, geofenceEvent, kGeofenceEvents)
PELK_REQUIRED(bool, locationEvent, setLocationEvent, locationEvent, kLocationEvents)
PELK_REQUIRED(bool, tripEvent, setTripEvent, tripEvent, kTripEvents)
PELK_REQUIRED(bool, nearbyEvent, setNearbyEvent, nearbyEvent, kNearbyEvents)
PELK_REQUIRED(bool, locationListener, setLocationListener, locationListener, kLocationListener)
PELK_REQUIRED(bool, EventListener, setEventListener, eventListener, kEventListener)
PELK_REQUIRED(std::string, SubcribeTripStatusListener, setSubcribeTripStatusListener, tripStatus, kSubscribeTripStatus)
PELK_REQUIRED(bool, isUserDelete, setIsUserDelete, isUserDelete, kZezovuDeleteUser)
#undef PELK_REQUIRED

std::optional<bool> TokenManager::locationTrackingState() { return load(&Memory::locationTrackingState); }
void TokenManager::setLocationTrackingState(std::optional<bool> v) {
  assignDefaultTrue(&Memory::locationTrackingState, kLocationTrackingState, v);
}
std::optional<bool> TokenManager::pubSubState() { return load(&Memory::pubSubState); }
void TokenManager::setPubSubState(std::optional<bool> v) { assignDefaultTrue(&Memory::pubSubState, kPubSubState, v); }

std::string TokenManager::getPublishKey() { return SharedUtil::getDefaultString(kPublishKey); }
std::string TokenManager::getSDKToken() { return SharedUtil::getDefaultString(kSDKToken); }
std::string TokenManager::getUserId() { return SharedUtil::getDefaultString(kUserId); }
std::string TokenManager::getAccountId() { return SharedUtil::getDefaultString(kAccountId); }
std::string TokenManager::getProjectId() { return SharedUtil::getDefaultString(kProjectId); }
std::string TokenManager::getDeviceToken() { return SharedUtil::getDefaultString(kDeviceToken); }
std::string TokenManager::getAppId() { return SharedUtil::getDefaultString(kUserAppId); }
bool TokenManager::getGeofenceEvents() { return SharedUtil::getDefaultBoolean(kGeofenceEvents); }
bool TokenManager::getLocationEvent() { return SharedUtil::getDefaultBoolean(kLocationEvents); }
bool TokenManager::getTripEvents() { return SharedUtil::getDefaultBoolean(kTripEvents); }
bool TokenManager::getNearEvents() { return SharedUtil::getDefaultBoolean(kNearbyEvents); }
bool TokenManager::getLocationListener() { return SharedUtil::getDefaultBoolean(kLocationListener); }
bool TokenManager::getEventListener() { return SharedUtil::getDefaultBoolean(kEventListener); }
std::string TokenManager::getSubcribeTripStatusListener() { return SharedUtil::getDefaultString(kSubscribeTripStatus); }
bool TokenManager::getLocationPublisher() { return SharedUtil::getDefaultBoolean(KLocationPublisher); }
bool TokenManager::getLocationTrackingState() { return SharedUtil::getDefaultBoolean(kLocationTrackingState); }
bool TokenManager::getPubSubState() { return SharedUtil::getDefaultBoolean(kPubSubState); }
bool TokenManager::getUserDelete() { return SharedUtil::getDefaultBoolean(kZezovuDeleteUser); }

void TokenManager::clearMemoryForTesting() {
  platform::LockGuard lock(gMutex);
  memory() = Memory();
}

bool SaveUtilis::saveUserDetails(const nlohmann::json& reply) {
  if (!reply.is_object()) return false;
  const auto data = reply.find("data");
  if (data == reply.end() || !data->is_object()) return false;

  auto text = [&](const char* key) -> std::optional<std::string> {
    auto it = data->find(key);
    if (it == data->end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  auto flag = [&](const char* key) -> std::optional<bool> {
    auto it = data->find(key);
    if (it == data->end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
  };

  const auto userId = text("user_id");
  const auto appId = text("app_id");
  const auto geofence = flag("geofence_events");
  const auto location = flag("location_events");
  const auto nearby = flag("nearby_events");
  const auto trips = flag("trips_events");
  const auto locationListener = flag("location_listener");
  const auto eventListener = flag("event_listener");
  if (!userId || !appId || !geofence || !location || !nearby || !trips || !locationListener || !eventListener) {
    platform::Console::print("pelk: user reply lacks a required field; nothing stored");
    return false;
  }

  // The in-memory copies follow the suite: when the store fails, they keep
  // the values the suite still holds.
  Memory before;
  {
    platform::LockGuard lock(gMutex);
    before = memory();
  }
  auto suite = SharedUtil::userDefaultValue();
  const bool stored = suite->transaction([&] {
    TokenManager::setUserId(userId);
    TokenManager::setAppId(appId);
    TokenManager::setGeofenceEvent(geofence);
    TokenManager::setLocationEvent(location);
    TokenManager::setNearbyEvent(nearby);
    TokenManager::setTripEvent(trips);
    TokenManager::setLocationListener(locationListener);
    TokenManager::setEventListener(eventListener);
    TokenManager::setAccountId(text("account_id").value_or(""));
    TokenManager::setProjectId(text("project_id").value_or(""));
  });
  if (!stored) {
    platform::Console::print("pelk: user details could not be stored; kept the earlier ones");
    platform::LockGuard lock(gMutex);
    auto& now = memory();
    auto restore = [&](auto Memory::*slot) { now.*slot = before.*slot; };
    restore(&Memory::userId);
    restore(&Memory::appId);
    restore(&Memory::geofenceEvent);
    restore(&Memory::locationEvent);
    restore(&Memory::nearbyEvent);
    restore(&Memory::tripEvent);
    restore(&Memory::locationListener);
    restore(&Memory::eventListener);
    restore(&Memory::accountId);
    restore(&Memory::projectId);
  }
  return stored;
}

void SaveUtilis::saveTrackingOptions(PelkTrackingMode mode) {
  platform::Console::print("Tracking option " + std::to_string(rawValue(mode)));
  SharedUtil::setDefaultInteger(rawValue(mode), kTrackingOption);
}

PelkTrackingModeLocal SaveUtilis::getTrackingOptions() {
  const auto stored = SharedUtil::getDefaultInteger(kTrackingOption);
  if (stored >= 1 && stored <= 4) return static_cast<PelkTrackingModeLocal>(stored);
  return PelkTrackingModeLocal::notselected;
}

}  // namespace pelk
