#include "platform/MqttClient.h"

#include <MQTTAsync.h>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <condition_variable>
#include <cstdlib>
#include <random>

#include "platform/Dispatch.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

// Set once when something has happened; waited for with a time limit.
class Signal {
 public:
  void set() {
    {
      LockGuard lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }
  bool waitFor(std::chrono::milliseconds timeout) {
    UniqueLock lock(mutex_);
    return lock.waitFor(cv_, timeout, [&]() PELK_REQUIRES(mutex_) { return set_; });
  }

 private:
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex_;
  std::condition_variable cv_;
  bool set_ PELK_GUARDED_BY(mutex_) = false;
};

// Paho hands back a context pointer with every callback.  It never carries a
// pointer of ours: it carries a ticket number that is looked up here, so a
// callback that arrives after its client or handle is gone finds nothing.
struct Ticket {
  enum class Kind { handle, connect, publish, disconnect };
  std::weak_ptr<MqttClient::State> state;
  std::uint64_t handleId = 0;
  Kind kind = Kind::handle;
  std::uint64_t generation = 0;
  // Set when the operation answered: the connect's outcome, the disconnect's end.
  std::shared_ptr<Signal> answered;
};

class Registry {
 public:
  std::uint64_t add(Ticket ticket) {
    LockGuard lock(mutex_);
    const std::uint64_t id = ++next_;
    tickets_.emplace(id, std::move(ticket));
    return id;
  }
  std::optional<Ticket> find(std::uint64_t id) {
    LockGuard lock(mutex_);
    auto it = tickets_.find(id);
    if (it == tickets_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<Ticket> take(std::uint64_t id) {
    LockGuard lock(mutex_);
    auto it = tickets_.find(id);
    if (it == tickets_.end()) return std::nullopt;
    Ticket t = std::move(it->second);
    tickets_.erase(it);
    return t;
  }
  void eraseHandle(std::uint64_t handleId) {
    LockGuard lock(mutex_);
    std::erase_if(tickets_, [&](const auto& entry) {
      return entry.second.handleId == handleId && entry.second.kind != Ticket::Kind::disconnect;
    });
  }

 private:
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex_;
  std::uint64_t next_ PELK_GUARDED_BY(mutex_) = 0;
  std::map<std::uint64_t, Ticket> tickets_ PELK_GUARDED_BY(mutex_);
};

// Outlives every thread that may still deliver a callback at exit.
Registry& registry() {
  static auto* r = new Registry();
  return *r;
}

void* toContext(std::uint64_t id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }
std::uint64_t fromContext(void* context) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context));
}

// Every Paho handle alive in the process.  Paho's threads run while any
// handle exists and use OpenSSL (also for the WebSocket handshake); at exit the
// handles are destroyed, which stops those threads, before OpenSSL's own exit
// handler frees what they use.
struct LiveHandles {
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex;
  std::condition_variable cv;
  std::map<MQTTAsync, std::weak_ptr<MqttClient::State>> handles PELK_GUARDED_BY(mutex);
  // What the library reads through a handle without copying it (the WebSocket
  // headers of its connect), kept until the handle is destroyed: a client may
  // be gone while a handle whose connect never answered still connects.
  std::map<MQTTAsync, std::shared_ptr<const void>> pinned PELK_GUARDED_BY(mutex);
  int closing PELK_GUARDED_BY(mutex) = 0;  // handles taken out and being destroyed
  bool exiting PELK_GUARDED_BY(mutex) = false;
};
LiveHandles& liveHandles() {
  static auto* l = new LiveHandles();
  return *l;
}
// Of LiveHandles::closing, the closes under way on this thread: a handler a
// close calls (the status "disconnected") may end the process, and the exit
// must not wait for the close it interrupted.
thread_local int closingHere = 0;

// Held while a Paho handle is made or destroyed, so that one is never made
// while another is being destroyed.  When the last handle of the process
// goes, the library stops its threads and frees its shared state, letting go
// of its own lock while it waits for them; a handle made or connected on
// another thread in that moment is caught in the teardown.  Also held around
// the calls into a handle that the exit may destroy meanwhile.  Nothing of
// ours is called under it: the library calls back on its own threads, which
// never take it.
// Lock order: taken with no lock of ours held; takes only the handle
// registry (platform/LockOrder.h).
Mutex& handleLifecycleMutex() {
  static auto* m = new Mutex();
  return *m;
}
void destroyLiveHandlesAtExit();

bool hasControlCharacters(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

struct MqttClient::State : std::enable_shared_from_this<MqttClient::State> {
  explicit State(MqttClientOptions o)
      : options(std::move(o)), control(Dispatch::makeSerial("pelk.mqtt.control", "pelk-mqtt-ctl")) {
    auto block = std::make_shared<Headers>();
    block->pairs = options.httpHeaders;
    for (const auto& [name, value] : block->pairs) block->array.push_back({name.c_str(), value.c_str()});
    block->array.push_back({nullptr, nullptr});
    headers = std::move(block);
    nextDelay = options.firstRetryDelay;
    random.seed(std::random_device{}());
  }

  const MqttClientOptions options;
  // The library keeps a pointer to the headers of a connect, not a copy.
  struct Headers {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<MQTTAsync_nameValue> array;
  };
  std::shared_ptr<const Headers> headers;
  const std::shared_ptr<Queue> control;

  // Lock order: after MQTTManager's lock; waits for the handle's users (platform/LockOrder.h).
  mutable Mutex mutex;
  StatusHandler statusHandler PELK_GUARDED_BY(mutex);
  std::map<std::string, MessageHandler> subscriptions PELK_GUARDED_BY(mutex);
  std::map<std::uint64_t, DeliveryHandler> deliveries PELK_GUARDED_BY(mutex);
  bool wanted PELK_GUARDED_BY(mutex) = false;
  std::uint64_t generation PELK_GUARDED_BY(mutex) = 0;
  std::chrono::milliseconds nextDelay PELK_GUARDED_BY(mutex){1000};
  std::minstd_rand random PELK_GUARDED_BY(mutex);
  // A connect is under way: from the request to Paho until it reports the
  // connection or its failure (or the handle goes).
  bool attempting PELK_GUARDED_BY(mutex) = false;
  // The registry ticket of that connect.  Paho may still call its failure
  // handler when the connection it made is lost later, beside the lost
  // handler: once connected, the ticket is dropped so the loss counts once.
  std::uint64_t connectTicket PELK_GUARDED_BY(mutex) = 0;
  // Set when that connect answered (connected or failed).  Until then the
  // library's threads still use the handle, which is not destroyed before.
  std::shared_ptr<Signal> connectAnswered PELK_GUARDED_BY(mutex);
  // The one scheduled attempt that may still run: each new schedule, and each
  // attempt made at once, takes the place of the one before.
  std::uint64_t retryTicket PELK_GUARDED_BY(mutex) = 0;

  std::atomic<int> status{static_cast<int>(MqttStatus::unknown)};
  std::atomic<bool> connected{false};

  // The Paho handle.  Callers into Paho count as users
  // and hold no lock of ours during the call (Paho calls back with locks of
  // its own held); the control thread takes the handle away, waits for the
  // users to leave, then destroys it with no lock held.
  MQTTAsync handle PELK_GUARDED_BY(mutex) = nullptr;
  int handleUsers PELK_GUARDED_BY(mutex) = 0;
  std::condition_variable usersLeft;
  std::atomic<std::uint64_t> handleId{0};

  // One use of the handle; empty when there is none.
  class Use {
   public:
    explicit Use(State& s) : s_(s) {
      LockGuard lock(s_.mutex);
      h_ = s_.handle;
      if (h_) ++s_.handleUsers;
    }
    ~Use() {
      if (!h_) return;
      {
        LockGuard lock(s_.mutex);
        --s_.handleUsers;
      }
      s_.usersLeft.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    MQTTAsync get() const { return h_; }

   private:
    State& s_;
    MQTTAsync h_ = nullptr;
  };

  // Takes the handle away once no call into it is running.
  MQTTAsync takeHandle(MQTTAsync expected = nullptr) {
    UniqueLock lock(mutex);
    if (!handle || (expected && handle != expected)) return nullptr;
    MQTTAsync h = std::exchange(handle, nullptr);
    handleId.store(0);
    lock.wait(usersLeft, [&]() PELK_REQUIRES(mutex) { return handleUsers == 0; });
    return h;
  }

  bool secure() const { return startsWith(options.serverUri, "wss://"); }

  void report(MqttStatus s) {
    status.store(static_cast<int>(s));
    StatusHandler handler;
    {
      LockGuard lock(mutex);
      handler = statusHandler;
    }
    if (handler) handler(s);
  }

  void failDeliveries() {
    std::map<std::uint64_t, DeliveryHandler> pending;
    {
      LockGuard lock(mutex);
      pending.swap(deliveries);
    }
    for (auto& [ticket, handler] : pending) {
      registry().take(ticket);
      if (handler) handler(false);
    }
  }

  void deliver(std::uint64_t ticket, bool acknowledged) {
    DeliveryHandler handler;
    {
      LockGuard lock(mutex);
      auto it = deliveries.find(ticket);
      if (it == deliveries.end()) return;
      handler = std::move(it->second);
      deliveries.erase(it);
    }
    if (handler) handler(acknowledged);
  }

  bool current(std::uint64_t id) const { return id != 0 && handleId.load() == id; }

  // ---- Control thread ----

  bool ensureHandle() {
    {
      LockGuard lock(mutex);
      if (handle) return true;
    }
    {
      LockGuard lock(liveHandles().mutex);
      if (liveHandles().exiting) return false;
    }
    MQTTAsync h = nullptr;
    MQTTAsync_createOptions createOptions = MQTTAsync_createOptions_initializer;
    createOptions.MQTTVersion = MQTTVERSION_3_1_1;
    int created;
    {
      LockGuard lifecycle(handleLifecycleMutex());
      created = MQTTAsync_createWithOptions(&h, options.serverUri.c_str(), options.clientId.c_str(),
                                            MQTTCLIENT_PERSISTENCE_NONE, nullptr, &createOptions);
    }
    if (created != MQTTASYNC_SUCCESS) return false;
    {
      // Registered after the first handle made Paho start OpenSSL, so that it
      // runs before OpenSSL's exit handler.
      static const bool atExit = (std::atexit(&destroyLiveHandlesAtExit), true);
      (void)atExit;
      LockGuard lock(liveHandles().mutex);
      liveHandles().handles.emplace(h, weak_from_this());
      liveHandles().pinned.emplace(h, headers);
    }
    const std::uint64_t id = registry().add(Ticket{weak_from_this(), 0, Ticket::Kind::handle, 0, {}});
    MQTTAsync_setCallbacks(h, toContext(id), &State::onConnectionLost, &State::onMessage, nullptr);
    MQTTAsync_setConnected(h, toContext(id), &State::onConnected);
    {
      LockGuard lock(mutex);
      handle = h;
      handleId.store(id);
    }
    return true;
  }

  void startConnect(std::uint64_t gen, std::uint64_t retry) {
    {
      LockGuard lock(mutex);
      if (!wanted || gen != generation || retry != retryTicket || attempting) return;
    }
    if (connected.load()) return;
    if (!ensureHandle()) {
      report(MqttStatus::connectionError);
      scheduleRetry(gen);
      return;
    }
    report(MqttStatus::connecting);

    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer_ws;
    opts.MQTTVersion = MQTTVERSION_3_1_1;
    opts.cleansession = options.cleanSession ? 1 : 0;
    opts.keepAliveInterval = options.keepAliveSeconds;
    opts.connectTimeout = options.connectTimeoutSeconds;
    opts.automaticReconnect = 0;  // reconnection is ours, with the same backoff as a failed connect
    opts.username = options.username.empty() ? nullptr : options.username.c_str();
    opts.password = options.password.empty() ? nullptr : options.password.c_str();
    opts.httpHeaders = headers->array.size() > 1 ? headers->array.data() : nullptr;
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (secure()) {
      ssl.enableServerCertAuth = 1;
      ssl.verify = 1;
      ssl.trustStore = options.caFile.empty() ? nullptr : options.caFile.c_str();
      ssl.disableDefaultTrustStore = options.caFile.empty() ? 0 : 1;
      opts.ssl = &ssl;
    }
    const std::uint64_t hid = handleId.load();
    auto answered = std::make_shared<Signal>();
    const std::uint64_t ticket = registry().add(Ticket{weak_from_this(), hid, Ticket::Kind::connect, gen, answered});
    opts.onFailure = &State::onConnectFailure;
    opts.context = toContext(ticket);

    {
      LockGuard lock(mutex);
      attempting = true;
      connectTicket = ticket;
      connectAnswered = answered;
    }
    int rc;
    {
      Use use(*this);
      rc = use.get() ? MQTTAsync_connect(use.get(), &opts) : MQTTASYNC_FAILURE;
    }
    if (rc != MQTTASYNC_SUCCESS) {
      registry().take(ticket);
      report(rc == MQTTASYNC_BAD_PROTOCOL ? MqttStatus::protocolError : MqttStatus::connectionError);
      scheduleRetry(gen, /*attemptOver=*/true);
    }
  }

  // `attemptOver`: the attempt under way ended; it is marked so together
  // with the schedule, so that nothing can start between the two.
  void scheduleRetry(std::uint64_t gen, bool attemptOver = false) {
    std::chrono::milliseconds delay;
    std::uint64_t retry;
    {
      LockGuard lock(mutex);
      if (attemptOver) attempting = false;
      if (!wanted || gen != generation) return;
      delay = nextDelay;
      nextDelay = std::min(nextDelay * 2, std::max(options.maxRetryDelay, options.firstRetryDelay));
      // Up to a quarter off, never longer: the bound of the wait holds.
      if (const auto spread = delay.count() / 4; spread > 0) {
        delay -=
            std::chrono::milliseconds(std::uniform_int_distribution<std::chrono::milliseconds::rep>(0, spread)(random));
      }
      retry = ++retryTicket;
    }
    control->asyncAfter(delay, [weak = weak_from_this(), gen, retry] {
      if (auto s = weak.lock()) s->startConnect(gen, retry);
    });
  }

  // An attempt now in place of the scheduled one, unless one is under way.
  void tryNow(std::uint64_t gen) {
    std::uint64_t retry;
    {
      LockGuard lock(mutex);
      if (!wanted || gen != generation || attempting || connected.load()) return;
      nextDelay = options.firstRetryDelay;
      retry = ++retryTicket;
    }
    startConnect(gen, retry);
  }

  void attemptEnded() {
    LockGuard lock(mutex);
    attempting = false;
    connectTicket = 0;
  }

  // Calls `call` with the library's handle lock held, unless the exit has
  // destroyed `h` meanwhile (it destroys the handles still registered, under
  // that lock).  False when `h` is gone.
  static bool whileRegistered(MQTTAsync h, const std::function<void()>& call) {
    LockGuard lifecycle(handleLifecycleMutex());
    {
      auto& live = liveHandles();
      LockGuard lock(live.mutex);
      if (live.handles.count(h) == 0) return false;
    }
    call();
    return true;
  }

  // Asks the library to disconnect `h` (connected) and waits briefly for
  // its answer.
  void disconnectAndWait(MQTTAsync h, std::uint64_t id) {
    auto answered = std::make_shared<Signal>();
    const std::uint64_t ticket = registry().add(Ticket{weak_from_this(), id, Ticket::Kind::disconnect, 0, answered});
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.timeout = 1000;
    opts.onSuccess = &State::onDisconnectDone;
    opts.onFailure = &State::onDisconnectFailed;
    opts.context = toContext(ticket);
    bool accepted = false;
    whileRegistered(h, [&] { accepted = MQTTAsync_disconnect(h, &opts) == MQTTASYNC_SUCCESS; });
    if (accepted) answered->waitFor(std::chrono::milliseconds(2000));
    registry().take(ticket);
  }

  // A connect under way uses the handle on the library's threads until it
  // answers (connected or failed); destroying the handle before frees what
  // those threads still read.  The library takes no disconnect before it is
  // connected, so the connect is waited out: it answers within its own time
  // limit.  False when it has not answered by then (the library is stuck), or
  // the handle went at exit.
  bool waitForConnectAnswer(MQTTAsync h, const std::shared_ptr<Signal>& answered) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.connectTimeoutSeconds + 2);
    while (!answered->waitFor(std::chrono::milliseconds(100))) {
      bool nowConnected = false;
      if (!whileRegistered(h, [&] { nowConnected = MQTTAsync_isConnected(h) != 0; })) return false;
      // Connected: the connect is over for the library; the connection is
      // closed as any other.
      if (nowConnected) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return true;
  }

  // Disconnects (briefly waiting for the broker) and destroys the handle.  A
  // connect under way is waited out first: the handle is destroyed only once
  // the library is done with it.  The handle stays registered until then, so
  // that an exit meanwhile still finds it (and destroys it once its connect
  // answered).
  void closeHandle(bool reportStatus) {
    const std::uint64_t id = handleId.load();
    std::shared_ptr<Signal> connectUnderWay;
    {
      LockGuard lock(mutex);
      if (attempting) connectUnderWay = connectAnswered;
    }
    MQTTAsync h = takeHandle();
    const bool wasConnected = connected.exchange(false);
    auto& live = liveHandles();
    if (h) {
      LockGuard lock(live.mutex);
      if (live.handles.count(h) == 0) {
        h = nullptr;  // already destroyed at exit
      } else {
        ++live.closing;
        ++closingHere;
      }
    }
    auto settle = [&] {
      attemptEnded();
      failDeliveries();
      if (reportStatus && (wasConnected || status.load() != static_cast<int>(MqttStatus::disconnected))) {
        report(MqttStatus::disconnected);
      }
    };
    // The connect may take up to its time limit to answer: the client is
    // closed for its user at once.
    if (connectUnderWay) settle();
    if (h) {
      const bool answered = !connectUnderWay || waitForConnectAnswer(h, connectUnderWay);
      if (answered) {
        bool stillConnected = false;
        whileRegistered(h, [&] { stillConnected = MQTTAsync_isConnected(h) != 0; });
        if (stillConnected) disconnectAndWait(h, id);
      }
      // No callback of this handle reaches a handler any more: what waited
      // for one is answered by settle(), outside the library.
      registry().eraseHandle(id);
      registry().take(id);
      if (answered) {
        LockGuard lifecycle(handleLifecycleMutex());
        bool ours;
        {
          LockGuard lock(live.mutex);
          ours = live.handles.erase(h) > 0;
        }
        if (ours) MQTTAsync_destroy(&h);
        LockGuard lock(live.mutex);
        live.pinned.erase(h);
      }
      // Else the library never answered the connect: the handle is left
      // registered and never destroyed under its threads (the exit passes
      // over it too); it goes with the process.
      {
        LockGuard lock(live.mutex);
        --live.closing;
        --closingHere;
      }
      live.cv.notify_all();
    }
    if (!connectUnderWay) settle();
  }

  // ---- Paho callbacks (Paho threads) ----

  static std::shared_ptr<State> stateFor(void* context, std::uint64_t* handle = nullptr) {
    auto ticket = registry().find(fromContext(context));
    if (!ticket) return nullptr;
    auto s = ticket->state.lock();
    if (!s) return nullptr;
    const std::uint64_t id = ticket->kind == Ticket::Kind::handle ? fromContext(context) : ticket->handleId;
    if (!s->current(id)) return nullptr;
    if (handle) *handle = id;
    return s;
  }

  static void onConnected(void* context, char* /*cause*/) {
    if (auto ticket = registry().find(fromContext(context))) {
      // The connect under way has answered, whether or not the handle is
      // still the client's (one being closed waits for this).
      if (auto state = ticket->state.lock()) {
        std::shared_ptr<Signal> answered;
        {
          LockGuard lock(state->mutex);
          answered = state->connectAnswered;
        }
        if (answered) answered->set();
      }
    }
    auto s = stateFor(context);
    if (!s) return;
    std::uint64_t connectDone;
    {
      LockGuard lock(s->mutex);
      s->nextDelay = s->options.firstRetryDelay;
      s->attempting = false;
      connectDone = std::exchange(s->connectTicket, 0);
    }
    if (connectDone != 0) registry().take(connectDone);
    if (s->connected.exchange(true)) return;  // one report per connection
    s->report(MqttStatus::connected);
  }

  static void onConnectionLost(void* context, char* /*cause*/) {
    auto s = stateFor(context);
    if (!s) return;
    s->connected.store(false);
    s->failDeliveries();
    std::uint64_t gen;
    {
      LockGuard lock(s->mutex);
      gen = s->generation;
    }
    s->report(MqttStatus::connectionError);
    s->scheduleRetry(gen, /*attemptOver=*/true);
  }

  static void onConnectFailure(void* context, MQTTAsync_failureData* response) {
    auto ticket = registry().take(fromContext(context));
    if (!ticket) return;
    if (ticket->answered) ticket->answered->set();
    auto s = ticket->state.lock();
    if (!s || !s->current(ticket->handleId)) return;
    s->connected.store(false);
    const int code = response ? response->code : MQTTASYNC_FAILURE;
    MqttStatus status = MqttStatus::connectionError;
    if (code >= 1 && code <= 5) status = MqttStatus::connectionRefused;
    if (code == MQTTASYNC_BAD_PROTOCOL) status = MqttStatus::protocolError;
    s->report(status);
    s->scheduleRetry(ticket->generation, /*attemptOver=*/true);
  }

  static int onMessage(void* context, char* topicName, int topicLen, MQTTAsync_message* message) {
    std::string topic =
        topicLen > 0 ? std::string(topicName, static_cast<std::size_t>(topicLen)) : std::string(topicName);
    std::string payload;
    if (message && message->payload && message->payloadlen > 0) {
      payload.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
    }
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topicName);
    auto s = stateFor(context);
    if (!s) return 1;
    MessageHandler handler;
    {
      LockGuard lock(s->mutex);
      auto it = s->subscriptions.find(topic);
      if (it != s->subscriptions.end()) handler = it->second;
    }
    if (handler) handler(topic, payload);
    return 1;
  }

  static void onPublishResult(void* context, bool acknowledged) {
    auto ticket = registry().take(fromContext(context));
    if (!ticket) return;
    if (auto s = ticket->state.lock()) s->deliver(fromContext(context), acknowledged);
  }
  static void onPublished(void* context, MQTTAsync_successData*) { onPublishResult(context, true); }
  static void onPublishFailed(void* context, MQTTAsync_failureData*) { onPublishResult(context, false); }

  static void onDisconnectDone(void* context, MQTTAsync_successData*) {
    if (auto ticket = registry().find(fromContext(context)); ticket && ticket->answered) ticket->answered->set();
  }
  static void onDisconnectFailed(void* context, MQTTAsync_failureData*) { onDisconnectDone(context, nullptr); }
};

namespace {

// The threads the library runs while any handle exists ("MQTTAsync_send",
// "MQTTAsync_rcv").  They are detached: the library reports them stopped a
// moment before they end, and on their way out they still release what they
// hold of OpenSSL.
int libraryThreadsAlive() {
  int alive = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return 0;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char name[32] = {};
    const ssize_t n = ::read(fd, name, sizeof name - 1);
    ::close(fd);
    if (n > 0 && std::strncmp(name, "MQTTAsync_", 10) == 0) ++alive;
  }
  ::closedir(tasks);
  return alive;
}

// The library calls the kit's handlers on its own threads, and a host may end
// the process from one of them (exit() in a callback).
bool onLibraryThread() {
  char name[16] = {};
  return ::pthread_getname_np(::pthread_self(), name, sizeof name) == 0 && std::strncmp(name, "MQTTAsync_", 10) == 0;
}

void destroyLiveHandlesAtExit() {
  auto& live = liveHandles();
  if (onLibraryThread()) {
    // Destroying the last handle makes the library wait for its threads to
    // stop, this one included, which never stops while it runs the exit: ten
    // seconds lost.  The handles are left to the end of the process, as one
    // whose connect never answered is; no new one is made.
    LockGuard lock(live.mutex);
    live.exiting = true;
    return;
  }
  // Each client is held from the moment its handle is taken: a client
  // released just before the exit, whose close is still queued, would
  // otherwise be gone by the time its handle is reached and the handle passed
  // over as one its close left (its close finds the handle taken and lets go).
  std::map<MQTTAsync, std::shared_ptr<MqttClient::State>> handles;
  {
    UniqueLock lock(live.mutex);
    live.exiting = true;
    lock.waitFor(live.cv, std::chrono::seconds(3),
                 [&]() PELK_REQUIRES(live.mutex) { return live.closing <= closingHere; });
    for (const auto& [handle, weak] : live.handles) handles.emplace(handle, weak.lock());
    live.handles.clear();
  }
  // A connect still under way uses its handle on the library's threads until
  // it answers; destroying the handle before frees what they read.  Such a
  // handle is given the rest of the exit's wait to answer, and is otherwise
  // left to the end of the process, as is one a close already left for lack
  // of an answer (its client is gone).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::size_t left = handles.size();
  for (auto& [handle, state] : handles) {
    if (!state) continue;
    std::shared_ptr<Signal> connectAnswered;
    {
      LockGuard lock(state->mutex);
      connectAnswered = state->connectAnswered;
    }
    if (connectAnswered) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!connectAnswered->waitFor(std::max(left, std::chrono::milliseconds(0)))) continue;
    }
    state->takeHandle(handle);
    state->connected.store(false);
    MQTTAsync h = handle;
    LockGuard lifecycle(handleLifecycleMutex());
    MQTTAsync_destroy(&h);
    --left;
  }
  // OpenSSL's own exit clean-up runs after this handler whenever something
  // started OpenSSL before the kit was loaded (another library, at its load),
  // and frees the locks those threads take on their way out.  With every
  // handle gone the library has stopped them: they are given a moment to end.
  // A handle left above keeps them running; nothing is waited for then.
  if (left > 0) return;
  const auto threadsDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (libraryThreadsAlive() > 0 && std::chrono::steady_clock::now() < threadsDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

bool MqttClient::validOptions(const MqttClientOptions& options) {
  const std::string& uri = options.serverUri;
  if (!startsWith(uri, "ws://") && !startsWith(uri, "wss://") && !startsWith(uri, "tcp://")) return false;
  if (hasControlCharacters(uri) || uri.find(' ') != std::string::npos) return false;
  if (options.clientId.empty() || hasControlCharacters(options.clientId)) return false;
  for (const auto& [name, value] : options.httpHeaders) {
    if (name.empty() || hasControlCharacters(name) || hasControlCharacters(value)) return false;
    if (name.find_first_of(": \t") != std::string::npos) return false;
  }
  if (options.password.find('\0') != std::string::npos || options.username.find('\0') != std::string::npos)
    return false;
  return options.firstRetryDelay.count() > 0;
}

std::shared_ptr<MqttClient> MqttClient::create(MqttClientOptions options) {
  if (!validOptions(options)) return nullptr;
  return std::shared_ptr<MqttClient>(new MqttClient(std::make_shared<State>(std::move(options))));
}

MqttClient::MqttClient(std::shared_ptr<State> state) : state_(std::move(state)) {}

MqttClient::~MqttClient() {
  {
    LockGuard lock(state_->mutex);
    state_->wanted = false;
    ++state_->generation;
    state_->statusHandler = nullptr;
    state_->subscriptions.clear();
  }
  // The handle goes on the control thread, whatever thread lets go of us.
  state_->control->async([s = state_] { s->closeHandle(false); });
}

void MqttClient::setStatusHandler(StatusHandler handler) {
  LockGuard lock(state_->mutex);
  state_->statusHandler = std::move(handler);
}

void MqttClient::connect() {
  std::uint64_t gen, retry;
  {
    LockGuard lock(state_->mutex);
    if (state_->wanted) return;
    state_->wanted = true;
    gen = ++state_->generation;
    state_->nextDelay = state_->options.firstRetryDelay;
    retry = ++state_->retryTicket;
  }
  state_->control->async([s = state_, gen, retry] { s->startConnect(gen, retry); });
}

void MqttClient::retryNow() {
  std::uint64_t gen;
  {
    LockGuard lock(state_->mutex);
    if (!state_->wanted) return;
    gen = state_->generation;
  }
  // Decided on the control thread, where attempts start, so that it cannot
  // slip in beside one being started.
  state_->control->async([s = state_, gen] { s->tryNow(gen); });
}

void MqttClient::disconnect() {
  {
    LockGuard lock(state_->mutex);
    state_->wanted = false;
    ++state_->generation;
  }
  state_->control->async([s = state_] { s->closeHandle(true); });
}

bool MqttClient::subscribe(const std::string& topic, int qos, MessageHandler handler) {
  {
    LockGuard lock(state_->mutex);
    state_->subscriptions[topic] = std::move(handler);
  }
  State::Use use(*state_);
  if (!use.get() || !state_->connected.load()) return false;
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  return MQTTAsync_subscribe(use.get(), topic.c_str(), qos, &opts) == MQTTASYNC_SUCCESS;
}

bool MqttClient::unsubscribe(const std::string& topic) {
  {
    LockGuard lock(state_->mutex);
    state_->subscriptions.erase(topic);
  }
  State::Use use(*state_);
  if (!use.get() || !state_->connected.load()) return false;
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  return MQTTAsync_unsubscribe(use.get(), topic.c_str(), &opts) == MQTTASYNC_SUCCESS;
}

bool MqttClient::publish(const std::string& topic, const std::string& payload, int qos, DeliveryHandler onDelivered) {
  State::Use use(*state_);
  if (!use.get() || !state_->connected.load()) return false;
  std::uint64_t ticket = 0;
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  if (onDelivered) {
    ticket = registry().add(Ticket{state_, state_->handleId.load(), Ticket::Kind::publish, 0, {}});
    {
      LockGuard guard(state_->mutex);
      state_->deliveries.emplace(ticket, std::move(onDelivered));
    }
    opts.onSuccess = &State::onPublished;
    opts.onFailure = &State::onPublishFailed;
    opts.context = toContext(ticket);
  }
  const int rc =
      MQTTAsync_send(use.get(), topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, 0, &opts);
  if (rc != MQTTASYNC_SUCCESS && ticket != 0) {
    registry().take(ticket);
    LockGuard guard(state_->mutex);
    state_->deliveries.erase(ticket);
  }
  return rc == MQTTASYNC_SUCCESS;
}

MqttStatus MqttClient::status() const { return static_cast<MqttStatus>(state_->status.load()); }
bool MqttClient::isConnected() const { return state_->connected.load(); }
const MqttClientOptions& MqttClient::options() const { return state_->options; }

}  // namespace pelk::platform
