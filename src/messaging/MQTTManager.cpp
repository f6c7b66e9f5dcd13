#include "messaging/MQTTManager.h"

#include <algorithm>
#include <cctype>
#include <future>
#include <thread>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/MQTTUtilis.h"
#include "messaging/MessagingLinks.h"
#include "messaging/MqttOfflineLocationUtils.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "device/AppUtili.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk {
namespace {

using platform::MqttClient;
using platform::MqttStatus;

void log(const std::string& text) { LoggerManager::sharedInstance().writeLocationToFile(text); }

bool containsGet(const std::string& operation) {
  std::string lower = operation;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("get") != std::string::npos;
}

}  // namespace

MQTTManager& MQTTManager::sharedInstance() {
  static auto* instance = new MQTTManager();
  return *instance;
}

std::optional<bool> MQTTManager::pubSubAnswerOnThisConnection() const {
  const int answer = pubSubAnswer_.load();
  if (answer < 0) return std::nullopt;
  return answer == 1;
}

std::optional<int> MQTTManager::connectState() const {
  const int s = connectState_.load();
  if (s < 0) return std::nullopt;
  return s;
}

void MQTTManager::setTuning(Tuning tuning) {
  platform::LockGuard lock(mutex_);
  tuning_ = std::move(tuning);
}

void MQTTManager::setOfflineBuffer(std::shared_ptr<MQTTDataStorageManager> buffer) {
  platform::LockGuard lock(mutex_);
  buffer_ = std::move(buffer);
}

MQTTDataStorageManager& MQTTManager::offlineBuffer() const {
  platform::LockGuard lock(mutex_);
  return buffer_ ? *buffer_ : MQTTDataStorageManager::shared();
}

std::shared_ptr<MQTTDataStorageManager> MQTTManager::sharedOfflineBuffer() const {
  platform::LockGuard lock(mutex_);
  if (buffer_) return buffer_;
  return {std::shared_ptr<void>(), &MQTTDataStorageManager::shared()};
}

std::shared_ptr<MqttClient> MQTTManager::client() const {
  platform::LockGuard lock(mutex_);
  return client_;
}

void MQTTManager::initialiseMQTT() {
  if (TokenManager::getUserId().empty()) return;
  const std::string endpoint = MQTTUtilis::connectionEndpoint();
  const auto uri = MQTTUtilis::connectionUri(endpoint);
  if (!uri) {
    platform::Console::print("MQTT endpoint not usable: " + endpoint);
    return;
  }
  Tuning tuning;
  {
    platform::LockGuard lock(mutex_);
    tuning = tuning_;
  }
  const std::string timeStamp = AppUtilis::getCurrentTimeStamp();
  platform::MqttClientOptions options;
  options.serverUri = *uri;
  options.clientId = MQTTUtilis::generate_client();
  options.username = MQTTUtilis::generate_username(timeStamp);
  options.password = MQTTUtilis::generate_password(timeStamp);
  options.cleanSession = true;
  options.httpHeaders = {{kAuthorizerNameHeader, custom_authorizer_name()},
                         {token_name(), token_value()},
                         {kAuthorizerSignatureHeader, token_signature()}};
  options.caFile = tuning.caFile;
  options.firstRetryDelay = tuning.firstRetryDelay;
  options.maxRetryDelay = tuning.maxRetryDelay;
  auto client = MqttClient::create(std::move(options));
  if (!client) {
    // The settings hold something that cannot go into a request; the values
    // themselves are credentials and stay out of the output.
    platform::Console::print("MQTT connection settings not usable");
    return;
  }
  std::shared_ptr<MqttClient> previous;
  {
    platform::LockGuard lock(mutex_);
    const std::uint64_t generation = ++generation_;
    client->setStatusHandler([this, generation](MqttStatus status) {
      {
        platform::LockGuard guard(mutex_);
        if (generation != generation_) return;
      }
      connectState_.store(static_cast<int>(status));
      platform::Dispatch::main().async([this, generation, status] { handleStatus(generation, status); });
    });
    previous = std::exchange(client_, client);
  }
  // A replaced client closes its connection on its own control thread.
  previous.reset();
}

void MQTTManager::handleStatus(std::uint64_t generation, MqttStatus status) {
  PELK_ASSERT_ON_MAIN();
  {
    platform::LockGuard lock(mutex_);
    if (generation != generation_) return;
  }
  const int value = static_cast<int>(status);
  if (value == static_cast<int>(MqttStatus::connected)) {
    // This connection asks the shadow again; until it answers, an earlier
    // connection's answer decides nothing that cannot be undone.
    pubSubAnswer_.store(-1);
    shadowWaitNoted_.store(false);
    connected_.store(true);
    refusalReported_.store(false);
    subscribeAccountShadow("get");
    sendOfflineDataIfAny();
  } else if (value >= 0 && value <= 6) {
    connected_.store(false);
    // No handler waits for the connection: a broker that will not take this
    // client's login is said once, or positions would pile up in the buffer
    // without a word.  The client goes on retrying.
    if (value == static_cast<int>(MqttStatus::connectionRefused) && !refusalReported_.exchange(true)) {
      platform::Console::print(
          "MQTT connection refused by the broker (login or client not accepted); positions wait in the buffer",
          platform::Console::Level::Error);
    }
  }
}

void MQTTManager::connect() {
  // Without a user there are no credentials of this user to connect with.
  if (TokenManager::getUserId().empty()) return;
  if (!connected_.load()) initialiseMQTT();
  if (auto c = client()) c->connect();
}

void MQTTManager::dropClient() {
  std::shared_ptr<MqttClient> previous;
  {
    platform::LockGuard lock(mutex_);
    ++generation_;
    previous = std::exchange(client_, nullptr);
  }
  connected_.store(false);
  pubSubAnswer_.store(-1);
  shadowWaitNoted_.store(false);
  if (previous) previous->disconnect();
}

void MQTTManager::disconnect() {
  const bool loggedOut = TokenManager::getUserId().empty();
  if (!connected_.load() && !(loggedOut && client())) return;
  ++pendingTasks_;
  platform::Dispatch::global().async([this] {
    if (TokenManager::getUserId().empty()) {
      dropClient();
    } else {
      if (auto c = client()) c->disconnect();
      if (TokenManager::getLocationPublisher() && !TokenManager::getUserId().empty()) connect();
    }
    --pendingTasks_;
  });
}

void MQTTManager::retryNow() {
  if (auto c = client()) c->retryNow();
}

void MQTTManager::unsubscribeTopic(const std::string& topic) {
  if (auto c = client()) c->unsubscribe(topic);
}

void MQTTManager::subscribeEventListenerTopic() {
  if (!MQTTUtilis::ownTopicIdsValid()) {
    platform::Console::print("Event topic not subscribed: an id is not usable in a topic");
    return;
  }
  auto c = client();
  if (!c) return;
  c->subscribe(MQTTUtilis::eventSubscribe(), 0, [](const std::string&, const std::string& payload) {
    auto message = MQTTUtilis::parseMessageObject(payload);
    if (!message) return;
    messaging::links::didReceiveEvents(*message);
  });
}

void MQTTManager::subscribeUserLocation(const std::vector<std::string>& userIds) {
  auto c = client();
  for (const auto& id : userIds) {
    if (!MQTTUtilis::isValidTopicId(id)) {
      platform::Console::print("User location not subscribed: the user id is not usable in a topic");
      continue;
    }
    if (!c) continue;
    c->subscribe(MQTTUtilis::userlocation(id), 0, [](const std::string&, const std::string& payload) {
      auto message = MQTTUtilis::parseMessageObject(payload);
      if (!message) return;
      messaging::links::didReceiveUserLocation(*message);
    });
  }
}

void MQTTManager::unsubscribeEventListenerTopic() {
  if (MQTTUtilis::ownTopicIdsValid()) unsubscribeTopic(MQTTUtilis::eventSubscribe());
}

void MQTTManager::unsubscribeUserLocation(const std::vector<std::string>& userIds) {
  for (const auto& id : userIds) {
    if (MQTTUtilis::isValidTopicId(id)) unsubscribeTopic(MQTTUtilis::userlocation(id));
  }
}

void MQTTManager::publish(const std::string& message, std::function<void(bool)> completionHandler) {
  log("MQTT Publish " + message);
  bool accepted = false;
  if (connected_.load() && TokenManager::getPubSubState()) {
    const auto topic = MQTTUtilis::ownPositionTopic();
    auto c = client();
    if (topic && c) accepted = c->publish(*topic, message, 1);
  }
  if (completionHandler) completionHandler(accepted);
}

void MQTTManager::noteWaitForShadow() {
  // Connected, no answer on this connection, and none from an earlier one
  // that allows publishing: nothing goes out until the shadow answers.  Said
  // once per connection, not for each position kept meanwhile.
  if (!connected_.load() || pubSubAnswer_.load() != -1 || TokenManager::getPubSubState()) return;
  if (shadowWaitNoted_.exchange(true)) return;
  platform::Console::print("pelk: publishing waits for the account shadow: positions are kept until " +
                           MQTTUtilis::shadowPublishAccountMessage() + " is answered");
}

void MQTTManager::publishDelivered(const std::string& message, std::function<void(bool)> completionHandler,
                                   const std::optional<std::string>& userId) {
  log("MQTT Publish " + message);
  auto handler = std::make_shared<std::function<void(bool)>>(std::move(completionHandler));
  noteWaitForShadow();
  if (connected_.load() && TokenManager::getPubSubState()) {
    const auto topic = userId ? MQTTUtilis::ownPositionTopicFor(*userId) : MQTTUtilis::ownPositionTopic();
    auto c = client();
    // The client answers the delivery exactly once when it took the message.
    if (topic && c && c->publish(*topic, message, 1, [handler](bool ok) {
          if (*handler) (*handler)(ok);
        })) {
      return;
    }
  }
  if (*handler) (*handler)(false);
}

bool MQTTManager::publishAcknowledged(const std::string& message, const std::string& userId) {
  log("MQTT Publish " + message);
  if (!connected_.load() || !TokenManager::getPubSubState()) return false;
  // The topic is the user's the rows were checked against, built once: a
  // sign-in of another user since then sends them nowhere.
  const auto topic = MQTTUtilis::ownPositionTopicFor(userId);
  auto c = client();
  if (!topic || !c) return false;
  std::chrono::milliseconds timeout;
  {
    platform::LockGuard lock(mutex_);
    timeout = tuning_.acknowledgementTimeout;
  }
  auto outcome = std::make_shared<std::promise<bool>>();
  auto future = outcome->get_future();
  if (!c->publish(*topic, message, 1, [outcome](bool ok) { outcome->set_value(ok); })) {
    return false;
  }
  if (future.wait_for(timeout) != std::future_status::ready) return false;
  return future.get();
}

void MQTTManager::sendOfflineDataIfAny() {
  if (SharedUtil::getDefaultBoolean(kEventListenerSubscribe)) subscribeEventListenerTopic();
  if (SharedUtil::getDefaultBoolean(kLocationUserSubscribe)) subscribeUserLocation(MQTTUtilis::getUserSubscribe());
  if (offlineBuffer().getOfflineLocationCount() == 0) return;
  startReplay();
}

void MQTTManager::startReplay() {
  replayRequested_.store(true);
  if (replayRunning_.exchange(true)) return;
  platform::Dispatch::global().async([this] {
    while (true) {
      replayRequested_.store(false);
      replayOnce();
      replayRunning_.store(false);
      // A "connected" that came while this replay ran is served now.
      if (!replayRequested_.load() || !connected_.load() || replayRunning_.exchange(true)) return;
    }
  });
}

void MQTTManager::replayOnce() {
  auto& buffer = offlineBuffer();
  const std::int64_t count = buffer.getOfflineLocationCount();
  const std::int64_t pages = (count + MQTTDataStorageManager::kPageSize - 1) / MQTTDataStorageManager::kPageSize;
  std::int64_t offset = 0;
  for (std::int64_t page = 0; page < pages; ++page) {
    if (!connected_.load()) return;  // the rest waits for the next connection
    // While the account does not allow publishing no page would be taken:
    // none is read or converted, the rows wait for the shadow to allow it.
    if (!TokenManager::getPubSubState()) {
      noteWaitForShadow();
      break;
    }
    // Nor while nobody is signed in: the rows wait for their user.
    if (TokenManager::getUserId().empty()) break;
    const auto rows = buffer.fetchDeviceData(offset);
    if (rows.empty()) break;
    // Rows stay where they are unless acknowledged and deleted; the next
    // fetch skips the ones that stayed.
    const std::size_t sent = MqttOfflineLocationUtils::sharedInstance().locationDataBatch(rows);
    offset += static_cast<std::int64_t>(rows.size() - std::min(sent, rows.size()));
  }
  if (!TokenManager::getLocationPublisher()) disconnect();
}

void MQTTManager::subscribeAccountShadow(const std::string& operation) {
  if (!MQTTUtilis::accountIdValid()) {
    platform::Console::print("Account shadow not requested: the account id is not usable in a topic");
    return;
  }
  auto c = client();
  if (!c) return;
  c->subscribe(
      MQTTUtilis::shadowSubscribeAccount(operation), 0,
      [this, operation](const std::string&, const std::string& payload) { onAccountShadow(operation, payload); });
  if (containsGet(operation)) c->publish(MQTTUtilis::shadowPublishAccountMessage(), "", 1);
}

void MQTTManager::subscribeUserShadow(const std::string& operation) {
  if (!MQTTUtilis::userIdValid()) {
    platform::Console::print("User shadow not requested: the user id is not usable in a topic");
    return;
  }
  auto c = client();
  if (!c) return;
  c->subscribe(MQTTUtilis::shadowSubscribeUser(operation), 0,
               [this, operation](const std::string&, const std::string& payload) { onUserShadow(operation, payload); });
  if (containsGet(operation)) c->publish(MQTTUtilis::shadowPublishUserMessage(), "", 1);
}

void MQTTManager::onAccountShadow(const std::string& operation, const std::string& payload) {
  auto document = MQTTUtilis::parseMessageObject(payload);
  if (!document) return;
  const std::optional<bool> before = MQTTUtilis::pubSubAnswer();
  const PelkShadowState state = MQTTUtilis::pubsubState(*document);
  if (state.pub_sub) pubSubAnswer_.store(*state.pub_sub ? 1 : 0);
  // Positions are dropped while the account has publishing off: say so once
  // when that starts and once when it ends, not for each position.
  if (state.pub_sub && *state.pub_sub != before.value_or(true)) {
    platform::Console::print(*state.pub_sub
                                 ? "pelk: publishing allowed again for the account; positions are sent"
                                 : "pelk: publishing off for the account; positions are neither sent nor kept");
  }
  // Each switch is applied only when the document carries it.
  if (state.location_tracking) updateTracking();
  if (state.pub_sub) updatePubSub();
  // Positions taken while publishing was not allowed yet (before the first
  // document, or while the account had it off) were refused and buffered:
  // they go out on this connection instead of waiting for the next one.  A
  // replay closes the connection of an app that is not a location publisher,
  // so only a publisher's connection replays here.
  if (state.pub_sub.value_or(false) && connected_.load() && TokenManager::getLocationPublisher() &&
      offlineBuffer().getOfflineLocationCount() > 0) {
    startReplay();
  }
  if (containsGet(operation)) {
    subscribeUserShadow("get");
    unsubscribeTopic(MQTTUtilis::shadowSubscribeAccount(operation));
    subscribeAccountShadow("update");
  }
}

void MQTTManager::onUserShadow(const std::string& operation, const std::string& payload) {
  auto document = MQTTUtilis::parseMessageObject(payload);
  if (!document) return;
  MQTTUtilis::saveUserShadow(*document);
  if (containsGet(operation)) {
    unsubscribeTopic(MQTTUtilis::shadowSubscribeUser(operation));
    subscribeUserShadow("update");
  }
}

void MQTTManager::updateTracking() {
  const bool allowed = TokenManager::getLocationTrackingState();
  if (!allowed && SharedUtil::getDefaultBoolean(kIsLocationTracking)) {
    messaging::links::stopTracking();
    SharedUtil::setDefaultBoolean(true, kLocationTrackingUpdatedByShadow);
    log("loction tracking  disabled by shadow");
  }
  if (!SharedUtil::getDefaultBoolean(kIsLocationTracking) && allowed &&
      SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow)) {
    platform::Dispatch::main().async([] {
      // Several documents may have queued a restart: only the first runs.
      if (!SharedUtil::getDefaultBoolean(kLocationTrackingUpdatedByShadow)) return;
      // A newer document may have taken the permission back meanwhile: the
      // restart waits, mark kept, for the next one that allows tracking.
      if (!TokenManager::getLocationTrackingState()) return;
      // The mark has done its work: a later document must not undo a stop the
      // app makes on its own.
      SharedUtil::setDefaultBoolean(false, kLocationTrackingUpdatedByShadow);
      const PelkTrackingModeLocal mode = SaveUtilis::getTrackingOptions();
      if (mode != PelkTrackingModeLocal::notselected) messaging::links::startTrackingMode(mode);
      log("loction tracking  enabled by shadow");
    });
  }
}

void MQTTManager::updatePubSub() {
  const bool on = TokenManager::getPubSubState();
  if (!on) {
    messaging::links::unsubscribeEvents();
    messaging::links::unsubscribeLocation();
    SharedUtil::setDefaultBoolean(true, kPubSubStateUpdatedByShadow);
    log("pub sub disabled by shadow");
  }
  if (on && SharedUtil::getDefaultBoolean(kPubSubStateUpdatedByShadow)) {
    const bool events = messaging::links::subscribeEvents();
    const bool location = messaging::links::subscribeLocation();
    // The mark asks for the subscriptions the shadow took away.  It stays
    // until both requests are done (a subscription back, or one the user's
    // listener switch forbids): one that could not be made now (offline,
    // say) is asked for again by the next document that allows publishing.
    // Once done, later documents leave the app's own choices alone.
    if (events && location) SharedUtil::setDefaultBoolean(false, kPubSubStateUpdatedByShadow);
    log("pub sub enabled by shadow");
  }
}

void MQTTManager::resetForTesting() {
  // Work queued by this manager finishes first (it reads the settings).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((pendingTasks_.load() > 0 || replayRunning_.load()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  dropClient();
  connectState_.store(-1);
  replayRequested_.store(false);
  refusalReported_.store(false);
  platform::LockGuard lock(mutex_);
  tuning_ = Tuning{};
  buffer_.reset();
}

}  // namespace pelk
