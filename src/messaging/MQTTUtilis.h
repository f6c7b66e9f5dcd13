#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pelk {

// Header names of the custom authorizer, sent with the WebSocket upgrade.
inline constexpr const char* kAuthorizerNameHeader = "x-amz-customauthorizer-name";
inline constexpr const char* kAuthorizerSignatureHeader = "x-amz-customauthorizer-signature";

// Connection constants.  Each is fixed at its first use in the process, in the
// environment then in force (a base URL stored later does not move the
// connection to another authorizer).
// "https://" + the environment's authorizer host + "/".
const std::string& IOT_ENDPOINT();
const std::string& custom_authorizer_name();
// The header name that carries the token; the same text as the authorizer name.
const std::string& token_name();
const std::string& token_value();
const std::string& token_signature();
// The stored publishable key, fixed at its first non-empty reading; "" (and
// not fixed) while no key is stored.
std::string MQTT_salt();

// The account shadow's desired switches.  Each is set only when the document
// holds a boolean (a string for "welcome") there.
struct PelkShadowState {
  std::optional<std::string> welcome;
  std::optional<bool> location_tracking;
  std::optional<bool> pub_sub;

  // Reads "state" -> "desired" of a whole document.
  static PelkShadowState fromDictionary(const nlohmann::json& document);
};

// Credentials, topics, the endpoint and the shadow switches of the MQTT
// connection.  Static helpers; every one reads the settings when called.
class MQTTUtilis {
 public:
  // The user id, "_" and the device's vendor id.
  static std::string generate_client();
  // "sdk_" and the time stamp, blanks removed.
  static std::string generate_username(const std::string& timeStamp);
  // SHA-512 hex of user id + time stamp + salt, blanks removed.
  static std::string generate_password(const std::string& timeStamp);

  // The endpoint the connection uses: the one the app gave at start-up when
  // one is stored, otherwise IOT_ENDPOINT().
  static std::string connectionEndpoint();
  // The WebSocket URL of an endpoint: ws:// and wss:// URLs as given ("/mqtt"
  // when they have no path), an https:// URL or a bare host as
  // wss://host:443/mqtt (its own port kept).  Absent for anything else.
  static std::optional<std::string> connectionUri(const std::string& endpoint);
  // Stores the endpoint the app gave at start-up.  An empty one changes
  // nothing; one that connectionUri() cannot use is refused with a console
  // line.  True when stored.
  static bool saveMqttEndpoint(const std::string& endpoint);

  // Ids put into topics: not empty, valid UTF-8 (a topic must be), and no
  // '+', '#', '/' or NUL.
  static bool isValidTopicId(const std::string& id);

  // Topics.  The own ones read the ids and the environment at each call.
  static std::string toTopicSubscribe();
  static std::string eventSubscribe();
  // The per-user prefix "users/" or "test_users/", fixed at first use.
  static const std::string& toSubscribeUser();
  static std::string userlocation(const std::string& userId);
  static std::string userEvent(const std::string& userId);
  static std::string shadowSubscribeAccount(const std::string& operation);
  static std::string shadowSubscribeUser(const std::string& operation);
  static std::string shadowPublishAccountMessage();
  static std::string shadowPublishUserMessage();
  // True when the ids that topic needs are usable (see isValidTopicId).
  static bool ownTopicIdsValid();
  // The own position topic when all three ids are usable in it; nothing
  // otherwise.  Each id is read once, so the topic is built from the ids that
  // were checked.
  static std::optional<std::string> ownPositionTopic();
  // The own position topic of `userId` while that user is the one signed in;
  // nothing when another user (or nobody) is signed in by now, or an id is
  // not usable.  For a message taken for that user: it goes on that user's
  // topic or not at all.
  static std::optional<std::string> ownPositionTopicFor(const std::string& userId);
  static bool accountIdValid();
  static bool userIdValid();

  // Followed users under "saveUserSubscribe".
  static std::vector<std::string> getUserSubscribe();
  // Appends a usable id that is not stored yet; false (console line) for an
  // unusable one, which is not stored.
  static bool saveUserSubscribe(const std::string& userId);
  // Removes the first occurrence; true when it was there.
  static bool removeUserSubscribe(const std::string& userId);

  // Stores the account switches the document holds; answers what it held.
  static PelkShadowState pubsubState(const nlohmann::json& document);
  // The account shadow's last answer on publishing ("shadow_state_pub_sub"):
  // nothing while none was stored since installation or the last logout.
  static std::optional<bool> pubSubAnswer();
  // Stores the user switches the document holds as booleans.
  static void saveUserShadow(const nlohmann::json& document);

  // Parses an incoming payload: a JSON object, nested at most 64 deep.
  static std::optional<nlohmann::json> parseMessageObject(const std::string& payload);

  // Forgets the values fixed at first use (tests).
  static void resetForTesting();
};

}  // namespace pelk
