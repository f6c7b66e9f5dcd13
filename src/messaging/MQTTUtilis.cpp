#include "messaging/MQTTUtilis.h"

#include <algorithm>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "network/Endpoints.h"
#include "pelk_build_config.h"
#include "platform/Console.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {

constexpr const char* kSaveUserSubscribe = "saveUserSubscribe";
constexpr int kMaxMessageDepth = 64;

// Values fixed at their first use in the process.
struct Latched {
  // Lock order: before the settings (platform/LockOrder.h).
  platform::Mutex mutex;
  std::optional<std::string> endpoint PELK_GUARDED_BY(mutex), authorizer PELK_GUARDED_BY(mutex),
      signature PELK_GUARDED_BY(mutex), salt PELK_GUARDED_BY(mutex), userPrefix PELK_GUARDED_BY(mutex);
};
Latched& latched() {
  static auto* l = new Latched();
  return *l;
}

const std::string& latch(std::optional<std::string> Latched::*member, const auto& compute) {
  auto& l = latched();
  platform::LockGuard lock(l.mutex);
  // The analysis does not follow `l.*member`; the lock above guards it.
  if (!(l.*member)) l.*member = compute();
  return *(l.*member);
}

bool isTest() { return GetBaseUrl::isTestEnvironment(); }
std::string envPrefix() { return isTest() ? "test_" : ""; }

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool usableUriText(const std::string& text) {
  return !text.empty() &&
         std::none_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
}

// Maximum nesting of arrays and objects in a JSON text, strings skipped.
int nestingDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    else if (c == '[' || c == '{') deepest = std::max(deepest, ++depth);
    else if (c == ']' || c == '}') --depth;
  }
  return deepest;
}

}  // namespace

const std::string& IOT_ENDPOINT() {
  return latch(&Latched::endpoint, [] {
    return std::string("https://") + (isTest() ? build::kTestMqttHost : build::kProductionMqttHost) + "/";
  });
}

const std::string& custom_authorizer_name() {
  return latch(&Latched::authorizer,
               [] { return std::string(isTest() ? "test-iot-authorizer-ios" : "iot-authorizer-ios"); });
}

const std::string& token_name() { return custom_authorizer_name(); }

const std::string& token_value() {
  static const std::string value = build::kMqttTokenValue;
  return value;
}

const std::string& token_signature() {
  return latch(&Latched::signature, [] {
    return std::string(isTest() ? build::kTestMqttTokenSignature : build::kProductionMqttTokenSignature);
  });
}

std::string MQTT_salt() {
  auto& l = latched();
  platform::LockGuard lock(l.mutex);
  if (l.salt) return *l.salt;
  std::string key = TokenManager::getPublishKey();
  if (!key.empty()) l.salt = key;  // an empty key is never fixed as the salt
  return key;
}

PelkShadowState PelkShadowState::fromDictionary(const nlohmann::json& document) {
  PelkShadowState s;
  if (!document.is_object()) return s;
  auto state = document.find("state");
  if (state == document.end() || !state->is_object()) return s;
  auto desired = state->find("desired");
  if (desired == state->end() || !desired->is_object()) return s;
  if (auto it = desired->find("welcome"); it != desired->end() && it->is_string()) s.welcome = it->get<std::string>();
  if (auto it = desired->find("location_tracking"); it != desired->end() && it->is_boolean()) {
    s.location_tracking = it->get<bool>();
  }
  if (auto it = desired->find("pub/sub"); it != desired->end() && it->is_boolean()) s.pub_sub = it->get<bool>();
  return s;
}

std::string MQTTUtilis::generate_client() { return TokenManager::getUserId() + "_" + AppUtilis::getUUID(); }

std::string MQTTUtilis::generate_username(const std::string& timeStamp) {
  return whiteSpacesRemoved("sdk_" + timeStamp);
}

std::string MQTTUtilis::generate_password(const std::string& timeStamp) {
  return whiteSpacesRemoved(AppUtilis::sha512Hex(TokenManager::getUserId() + timeStamp + MQTT_salt()));
}

std::string MQTTUtilis::connectionEndpoint() {
  std::string stored = SharedUtil::getDefaultString(kAWSIOTEndPoint);
  return stored.empty() ? IOT_ENDPOINT() : stored;
}

std::optional<std::string> MQTTUtilis::connectionUri(const std::string& endpoint) {
  if (!usableUriText(endpoint)) return std::nullopt;
  if (startsWith(endpoint, "ws://") || startsWith(endpoint, "wss://")) {
    const std::size_t hostStart = endpoint.find("://") + 3;
    const std::size_t slash = endpoint.find('/', hostStart);
    if (slash == hostStart || hostStart == endpoint.size()) return std::nullopt;
    return slash == std::string::npos ? endpoint + "/mqtt" : endpoint;
  }
  std::string rest = endpoint;
  if (startsWith(rest, "https://")) {
    rest = rest.substr(8);
  } else if (rest.find("://") != std::string::npos) {
    return std::nullopt;
  }
  std::string host = rest.substr(0, rest.find('/'));
  if (host.empty() || host.front() == ':') return std::nullopt;
  const std::size_t bracket = host.rfind(']');
  const std::size_t colon = host.rfind(':');
  const bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (hasPort && colon + 1 == host.size()) return std::nullopt;
  return "wss://" + host + (hasPort ? "" : ":443") + "/mqtt";
}

bool MQTTUtilis::saveMqttEndpoint(const std::string& endpoint) {
  if (endpoint.empty()) return false;
  if (!connectionUri(endpoint)) {
    platform::Console::print("MQTT endpoint not usable: " + endpoint);
    return false;
  }
  SharedUtil::setDefaultString(endpoint, kAWSIOTEndPoint);
  return true;
}

bool MQTTUtilis::isValidTopicId(const std::string& id) {
  return !id.empty() && id.find_first_of(std::string("+#/\0", 4)) == std::string::npos &&
         isWritableJson(nlohmann::json(id));
}

std::string MQTTUtilis::toTopicSubscribe() {
  return envPrefix() + "locations/" + TokenManager::getAccountId() + "/" + TokenManager::getProjectId() + "/" +
         TokenManager::getUserId();
}

std::string MQTTUtilis::eventSubscribe() {
  return envPrefix() + "events" + "/" + TokenManager::getAccountId() + "/" + TokenManager::getProjectId() + "/" +
         TokenManager::getUserId();
}

const std::string& MQTTUtilis::toSubscribeUser() {
  return latch(&Latched::userPrefix, [] { return envPrefix() + "users/"; });
}

std::string MQTTUtilis::userlocation(const std::string& userId) { return toSubscribeUser() + userId + "/locations"; }
std::string MQTTUtilis::userEvent(const std::string& userId) { return toSubscribeUser() + userId + "/events"; }

std::string MQTTUtilis::shadowSubscribeAccount(const std::string& operation) {
  return "$aws/things/" + envPrefix() + "account_" + TokenManager::getAccountId() + "/shadow/" + operation +
         "/accepted";
}

std::string MQTTUtilis::shadowSubscribeUser(const std::string& operation) {
  return "$aws/things/" + envPrefix() + "user_" + TokenManager::getUserId() + "/shadow/" + operation + "/accepted";
}

std::string MQTTUtilis::shadowPublishAccountMessage() {
  return "$aws/things/" + envPrefix() + "account_" + TokenManager::getAccountId() + "/shadow/get";
}

std::string MQTTUtilis::shadowPublishUserMessage() {
  return "$aws/things/" + envPrefix() + "user_" + TokenManager::getUserId() + "/shadow/get";
}

bool MQTTUtilis::ownTopicIdsValid() {
  return isValidTopicId(TokenManager::getAccountId()) && isValidTopicId(TokenManager::getProjectId()) &&
         isValidTopicId(TokenManager::getUserId());
}
std::optional<std::string> MQTTUtilis::ownPositionTopic() {
  const std::string account = TokenManager::getAccountId();
  const std::string project = TokenManager::getProjectId();
  const std::string user = TokenManager::getUserId();
  if (!isValidTopicId(account) || !isValidTopicId(project) || !isValidTopicId(user)) return std::nullopt;
  return envPrefix() + "locations/" + account + "/" + project + "/" + user;
}
std::optional<std::string> MQTTUtilis::ownPositionTopicFor(const std::string& userId) {
  const std::string account = TokenManager::getAccountId();
  const std::string project = TokenManager::getProjectId();
  if (TokenManager::getUserId() != userId) return std::nullopt;
  if (!isValidTopicId(account) || !isValidTopicId(project) || !isValidTopicId(userId)) return std::nullopt;
  return envPrefix() + "locations/" + account + "/" + project + "/" + userId;
}
bool MQTTUtilis::accountIdValid() { return isValidTopicId(TokenManager::getAccountId()); }
bool MQTTUtilis::userIdValid() { return isValidTopicId(TokenManager::getUserId()); }

std::vector<std::string> MQTTUtilis::getUserSubscribe() { return SharedUtil::getDefaultArray(kSaveUserSubscribe); }

bool MQTTUtilis::saveUserSubscribe(const std::string& userId) {
  if (!isValidTopicId(userId)) {
    platform::Console::print("User id not usable in a topic; not subscribed");
    return false;
  }
  auto users = getUserSubscribe();
  if (std::find(users.begin(), users.end(), userId) == users.end()) {
    users.push_back(userId);
    SharedUtil::setDefaultArray(users, kSaveUserSubscribe);
  }
  return true;
}

bool MQTTUtilis::removeUserSubscribe(const std::string& userId) {
  auto users = getUserSubscribe();
  auto it = std::find(users.begin(), users.end(), userId);
  if (it == users.end()) return false;
  users.erase(it);
  SharedUtil::setDefaultArray(users, kSaveUserSubscribe);
  return true;
}

PelkShadowState MQTTUtilis::pubsubState(const nlohmann::json& document) {
  PelkShadowState state = PelkShadowState::fromDictionary(document);
  // Only what the document holds is stored: a missing switch keeps its value.
  if (state.location_tracking) TokenManager::setLocationTrackingState(state.location_tracking);
  if (state.pub_sub) TokenManager::setPubSubState(state.pub_sub);
  return state;
}

std::optional<bool> MQTTUtilis::pubSubAnswer() {
  const auto value = SharedUtil::userDefaultValue()->value(kPubSubState);
  if (!value) return std::nullopt;
  return value->boolValue();
}

void MQTTUtilis::saveUserShadow(const nlohmann::json& document) {
  if (!document.is_object()) return;
  auto state = document.find("state");
  if (state == document.end() || !state->is_object()) return;
  auto desired = state->find("desired");
  if (desired == state->end() || !desired->is_object()) return;
  auto flag = [&](const char* key) -> std::optional<bool> {
    auto it = desired->find(key);
    if (it == desired->end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
  };
  if (auto v = flag("event_listener")) TokenManager::setEventListener(v);
  if (auto v = flag("geofence_events")) TokenManager::setGeofenceEvent(v);
  if (auto v = flag("location_events")) TokenManager::setLocationEvent(v);
  if (auto v = flag("location_listener")) TokenManager::setLocationListener(v);
  if (auto v = flag("nearby_events")) TokenManager::setNearbyEvent(v);
  if (auto v = flag("trips_events")) TokenManager::setTripEvent(v);
  if (auto v = flag("is_deleted")) TokenManager::setIsUserDelete(v);
}

std::optional<nlohmann::json> MQTTUtilis::parseMessageObject(const std::string& payload) {
  if (nestingDepth(payload) > kMaxMessageDepth) return std::nullopt;
  auto parsed = nlohmann::json::parse(payload, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

void MQTTUtilis::resetForTesting() {
  auto& l = latched();
  platform::LockGuard lock(l.mutex);
  l.endpoint.reset();
  l.authorizer.reset();
  l.signature.reset();
  l.salt.reset();
  l.userPrefix.reset();
}

}  // namespace pelk
