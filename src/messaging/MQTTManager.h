#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/MqttClient.h"
#include "platform/ThreadSafety.h"

namespace pelk {

class MQTTDataStorageManager;

// The kit's one MQTT connection: set-up with derived credentials, the status
// handling (on the main queue), subscriptions and incoming messages, publishing
// on the own position topic, the replay of buffered positions after every
// connection, and the account and user device shadows.
class MQTTManager {
 public:
  static MQTTManager& sharedInstance();

  // Registers a new client with fresh credentials (a new time stamp) when a
  // user id is stored; the previous client is closed.  Nothing without a user
  // id or without a usable endpoint (console line).
  void initialiseMQTT();
  // Opens the connection; sets up first when not connected.  Nothing when no
  // user id is stored.  The outcome arrives as statuses.
  void connect();
  // When connected: closes the connection on the global queue and reconnects
  // at once while "LocationPublisher" is on and a user id is stored.  With no
  // user id stored (after logout) it also stops a connection being attempted
  // and drops the registered client.
  void disconnect();
  // A connection that is wanted but down tries again at once instead of at
  // the end of its retry wait (the network came back); nothing while
  // connected or while an attempt is under way.
  void retryNow();

  void unsubscribeTopic(const std::string& topic);
  // Subscribes the own events topic (QoS 0); refused (console line) when an
  // id of the topic is empty or holds '+', '#', '/' or NUL.
  void subscribeEventListenerTopic();
  // Subscribes each usable id's positions topic (QoS 0), in order; unusable
  // ids are skipped with a console line.
  void subscribeUserLocation(const std::vector<std::string>& userIds);
  // Unsubscribe at the broker too, so messages stop at once.
  void unsubscribeEventListenerTopic();
  void unsubscribeUserLocation(const std::vector<std::string>& userIds);

  // Always calls the handler exactly once, on the caller's thread: the
  // client's acceptance when the message was handed to the client; false when
  // nothing was handed (not connected, pub/sub off, unusable ids).
  void publish(const std::string& message, std::function<void(bool)> completionHandler);
  // Publishes positions taken for `userId` on that user's position topic and
  // waits for the broker's acknowledgement, at most the acknowledgement
  // timeout.  True only when it was acknowledged.  Nothing is sent once
  // another user (or nobody) is signed in: the positions are not theirs.
  bool publishAcknowledged(const std::string& message, const std::string& userId);
  // Publishes on the own position topic (QoS 1) and calls the handler exactly
  // once with the broker's answer: true once it acknowledged the message;
  // false when nothing was handed over (at once, on the caller's thread) or
  // the connection went before the acknowledgement (on a client thread).
  // With `userId`, a message taken for that user: it goes on that user's
  // topic, and not at all once another user (or nobody) is signed in.
  void publishDelivered(const std::string& message, std::function<void(bool)> completionHandler,
                        const std::optional<std::string>& userId = std::nullopt);

  // On every "connected": renews the followed subscriptions and, when
  // positions are buffered, replays them in pages on the global queue.  One
  // replay at a time in the process; a request during a replay runs once the
  // current one ends, while still connected.
  void sendOfflineDataIfAny();

  void subscribeAccountShadow(const std::string& operation);
  void subscribeUserShadow(const std::string& operation);
  void updateTracking();
  void updatePubSub();

  bool connected() const { return connected_.load(); }
  // The account shadow's answer on publishing given on the current
  // connection: nothing until the shadow answered since the last
  // "connected" (the stored switch may be an answer of an earlier one).
  std::optional<bool> pubSubAnswerOnThisConnection() const;
  // The last status reported; absent before the first.
  std::optional<int> connectState() const;
  bool replayRunning() const { return replayRunning_.load(); }

  // Knobs for tests and the demo.
  struct Tuning {
    std::chrono::milliseconds acknowledgementTimeout{10000};
    // The client's own backoff unless a test shortens it.
    std::chrono::milliseconds firstRetryDelay = platform::MqttClientOptions{}.firstRetryDelay;
    std::chrono::milliseconds maxRetryDelay = platform::MqttClientOptions{}.maxRetryDelay;
    std::string caFile;  // wss: trust these certificates instead of the system's
  };
  void setTuning(Tuning tuning);
  // The buffer the replay reads; the process-wide one when none is set.
  void setOfflineBuffer(std::shared_ptr<MQTTDataStorageManager> buffer);
  MQTTDataStorageManager& offlineBuffer() const;
  // The same, kept alive by its holder (the process-wide one is never freed).
  std::shared_ptr<MQTTDataStorageManager> sharedOfflineBuffer() const;
  // Waits for queued disconnects and a running replay, then drops the client
  // and every flag (tests).
  void resetForTesting();
  // The registered client (tests look at its options).
  std::shared_ptr<platform::MqttClient> client() const;

 private:
  MQTTManager() = default;
  void handleStatus(std::uint64_t generation, platform::MqttStatus status);
  void dropClient();
  void startReplay();
  void replayOnce();
  void onAccountShadow(const std::string& operation, const std::string& payload);
  void onUserShadow(const std::string& operation, const std::string& payload);
  // One console line when a position finds publishing waiting for the
  // account shadow's first answer.
  void noteWaitForShadow();

  // Lock order: before the MQTT client's state lock (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::MqttClient> client_ PELK_GUARDED_BY(mutex_);
  std::uint64_t generation_ PELK_GUARDED_BY(mutex_) = 0;
  Tuning tuning_ PELK_GUARDED_BY(mutex_);
  std::shared_ptr<MQTTDataStorageManager> buffer_ PELK_GUARDED_BY(mutex_);

  std::atomic<bool> connected_{false};
  // Set once the broker's refusal of this client was reported; the retries
  // that follow it stay quiet until a connection is made.
  std::atomic<bool> refusalReported_{false};
  std::atomic<int> pubSubAnswer_{-1};         // -1 none yet on this connection, else 0 or 1
  std::atomic<bool> shadowWaitNoted_{false};  // the wait for the shadow was said on this connection
  std::atomic<int> connectState_{-1};
  std::atomic<bool> replayRunning_{false};
  std::atomic<bool> replayRequested_{false};
  std::atomic<int> pendingTasks_{0};  // disconnects queued on the global queue
};

}  // namespace pelk
