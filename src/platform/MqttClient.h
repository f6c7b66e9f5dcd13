#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelk::platform {

// Connection states reported to the status handler.
enum class MqttStatus : int {
  unknown = 0,
  connecting = 1,
  connected = 2,
  disconnected = 3,
  connectionRefused = 4,
  connectionError = 5,
  protocolError = 6,
};

struct MqttClientOptions {
  // "ws://host:port/path" or "wss://host:port/path"; also "tcp://host:port"
  // (plain MQTT, for local tools and tests).  Nothing else is accepted.
  std::string serverUri;
  std::string clientId;
  std::string username;
  std::string password;
  bool cleanSession = true;
  // Sent with the WebSocket upgrade request.  Names and values holding CR, LF
  // or NUL (and names holding ':' or blanks) make the options invalid.
  std::vector<std::pair<std::string, std::string>> httpHeaders;
  // wss: the certificate is always verified, host name included.  Empty uses
  // the system's CA store; a file of PEM certificates replaces it (tests).
  std::string caFile;
  int keepAliveSeconds = 45;
  int connectTimeoutSeconds = 10;
  // Backoff of the retries after a failed connect or a lost connection: the
  // first wait, doubled after each failure up to the maximum, and back to the
  // first once connected.  Each wait is shortened by a random part of up to a
  // quarter, so that clients that lost the same broker do not come back in
  // step; it never exceeds the maximum.  The maximum bounds how long a
  // broker that accepts connections again waits for this client, however
  // long it was away: the wait, plus the second or so from an attempt to the
  // connection that a reconnect takes even on loopback, stays under 5 s.  A
  // refused attempt every few seconds costs little; being offline longer
  // than needed leaves positions in the buffer.
  std::chrono::milliseconds firstRetryDelay{1000};
  std::chrono::milliseconds maxRetryDelay{3000};
};

// An MQTT 3.1.1 client over WebSocket (Eclipse Paho async).  connect() keeps
// the connection up until disconnect(): a failed connect is retried with
// backoff and a lost connection is reconnected.  Every handler runs on a
// client thread with no lock of the client held; handlers may call back into
// the client (subscribe, publish, connect, disconnect).  The underlying
// connection handle is only ever created and destroyed on the client's own
// control thread, never on a thread that delivers callbacks.
class MqttClient {
 public:
  using StatusHandler = std::function<void(MqttStatus)>;
  using MessageHandler = std::function<void(const std::string& topic, const std::string& payload)>;
  // Outcome of a QoS 1 publish: true once the broker acknowledged it, false
  // when it cannot be any more (connection lost, client closed, send failed).
  using DeliveryHandler = std::function<void(bool acknowledged)>;

  // Null when the options are invalid (unknown scheme, header with CR/LF/NUL,
  // empty client id).
  static std::shared_ptr<MqttClient> create(MqttClientOptions options);
  // True when the options would be accepted by create().
  static bool validOptions(const MqttClientOptions& options);

  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Set before connect(); called once per status change.  "connected" is
  // reported exactly once for each connection that was established.
  void setStatusHandler(StatusHandler handler);

  // Starts connecting and keeps trying until disconnect(); returns at once.
  // Does nothing while already connecting or connected.
  void connect();
  // Closes the connection and stops every retry; returns at once.  The
  // status "disconnected" follows.  A later connect() starts afresh.
  void disconnect();
  // While a connection is wanted (connect() without disconnect()) but down
  // and waiting for its next retry: tries at once instead, and the backoff
  // starts again from the first wait.  Nothing while connected or while an
  // attempt is under way (a second one is never started beside it).  For a
  // change of the network, after which the wait is not worth waiting out.
  void retryNow();

  // Each returns whether the request was handed to the connection (false
  // while not connected).  Subscriptions take exact topics; `handler` gets the
  // messages of that topic.
  bool subscribe(const std::string& topic, int qos, MessageHandler handler);
  bool unsubscribe(const std::string& topic);
  // `onDelivered` (optional) is called exactly once when the publish was
  // accepted here (true answered); never when false is answered.
  bool publish(const std::string& topic, const std::string& payload, int qos, DeliveryHandler onDelivered = {});

  MqttStatus status() const;
  bool isConnected() const;
  const MqttClientOptions& options() const;

  struct State;

 private:
  explicit MqttClient(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace pelk::platform
