// Returns from main right after the last MQTT connection closed, in a process
// where OpenSSL's own exit clean-up was registered before the kit was loaded
// (as a library that starts OpenSSL at its load does).  That clean-up frees
// the locks the MQTT library's threads release on their way out, so those
// threads must have ended before it runs.  A thread slow to end (here: one
// that still has work of its own to finish) shows the fault every time.

#include <dirent.h>
#include <openssl/crypto.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/MqttClient.h"
#include "support/MosquittoBroker.h"

using namespace pelk;
using namespace std::chrono_literals;

__attribute__((constructor(101))) static void startOpenSslBeforeTheKit() { OPENSSL_init_crypto(0, nullptr); }

namespace {

test::MosquittoBroker* broker = nullptr;
test::MosquittoBroker* silent = nullptr;  // frozen: a connect to it never answers
// Kept to the end of the process, its connect still under way at the exit.
std::shared_ptr<platform::MqttClient>* connecting = nullptr;

int libraryThreads() {
  int n = 0;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      if (name.rfind("MQTTAsync_", 0) == 0) ++n;
    }
    ::closedir(tasks);
  }
  return n;
}

// Set when a callback on the library's thread ends the process.
std::atomic<std::int64_t> exitCalledAtMs{0};
std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Runs after the kit's own exit work and before OpenSSL's clean-up.
void atOpenSslCleanUp() {
  if (const auto calledAt = exitCalledAtMs.load()) {
    std::printf("exit from a callback took %lld ms\n", static_cast<long long>(nowMs() - calledAt));
  } else {
    std::printf("library threads at OpenSSL's clean-up: %d\n", libraryThreads());
  }
  std::fflush(stdout);
  if (broker) broker->stop();
  if (silent) silent->kill();
}

// Held by the library thread that answers the publish: it takes a while to
// end once the library lets the thread go.
struct SlowToEnd {
  bool used = false;
  ~SlowToEnd() {
    if (used) std::this_thread::sleep_for(300ms);
  }
};
thread_local SlowToEnd slowToEnd;

std::shared_ptr<platform::MqttClient> connected(const std::string& clientId) {
  platform::MqttClientOptions options;
  options.serverUri = broker->wsUrl();
  options.clientId = clientId;
  auto client = platform::MqttClient::create(options);
  auto up = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::once_flag>();
  client->setStatusHandler([up, once](platform::MqttStatus status) {
    if (status == platform::MqttStatus::connected) std::call_once(*once, [&] { up->set_value(); });
  });
  client->connect();
  if (up->get_future().wait_for(10s) != std::future_status::ready) return nullptr;
  return client;
}

// The exit waits for a connect under way to a silent broker, and meanwhile
// the host lets go of its other client from another thread: that client's
// close finds its handle already taken by the exit, and the exit must still
// destroy it (or the library's threads outlive the exit).  The connecting
// client is made last: the exit reaches the handle made last first.
int releasedDuringTheExit() {
  auto released = connected("exit-released");
  if (!released) return 3;
  silent = new test::MosquittoBroker();
  silent->freeze();
  platform::MqttClientOptions options;
  options.serverUri = silent->wsUrl();
  options.clientId = "exit-connecting";
  connecting = new std::shared_ptr<platform::MqttClient>(platform::MqttClient::create(options));
  (*connecting)->connect();
  std::this_thread::sleep_for(100ms);
  std::thread([released = std::move(released), pid = silent->pid()]() mutable {
    std::this_thread::sleep_for(300ms);
    released.reset();
    std::this_thread::sleep_for(300ms);
    ::kill(pid, SIGKILL);  // the connect under way fails: the exit goes on
  }).detach();
  return 0;
}

// The host ends the process from a callback that runs on the library's own
// thread (the connection's status): the exit must not wait for that thread to
// stop, which it never does while it runs the exit.
int exitFromACallback() {
  platform::MqttClientOptions options;
  options.serverUri = broker->wsUrl();
  options.clientId = "exit-from-a-callback";
  static auto* client = new std::shared_ptr<platform::MqttClient>(platform::MqttClient::create(options));
  (*client)->setStatusHandler([](platform::MqttStatus status) {
    if (status != platform::MqttStatus::connected) return;
    exitCalledAtMs.store(nowMs());
    std::exit(0);
  });
  (*client)->connect();
  std::this_thread::sleep_for(60s);
  return 5;  // never connected
}

// The host ends the process from the status "disconnected", which the close
// of a client whose connect is still under way reports on the client's own
// thread, in the middle of that close: the exit must not wait for the close it
// interrupted.  The connect fails soon after (the broker is killed), so the
// exit has nothing else to wait for.
int exitFromADisconnectedStatus() {
  silent = new test::MosquittoBroker();
  silent->freeze();
  platform::MqttClientOptions options;
  options.serverUri = silent->wsUrl();
  options.clientId = "exit-while-closing";
  connecting = new std::shared_ptr<platform::MqttClient>(platform::MqttClient::create(options));
  (*connecting)->setStatusHandler([](platform::MqttStatus status) {
    if (status != platform::MqttStatus::disconnected) return;
    exitCalledAtMs.store(nowMs());
    std::exit(0);
  });
  (*connecting)->connect();
  std::this_thread::sleep_for(200ms);
  std::thread([pid = silent->pid()] {
    std::this_thread::sleep_for(300ms);
    ::kill(pid, SIGKILL);  // the connect under way fails
  }).detach();
  (*connecting)->disconnect();
  std::this_thread::sleep_for(60s);
  return 5;  // never disconnected
}

}  // namespace

int main(int argc, char** argv) {
  std::atexit(atOpenSslCleanUp);
  broker = new test::MosquittoBroker();
  if (argc > 1 && std::strcmp(argv[1], "released-during-the-exit") == 0) return releasedDuringTheExit();
  if (argc > 1 && std::strcmp(argv[1], "exit-from-a-callback") == 0) return exitFromACallback();
  if (argc > 1 && std::strcmp(argv[1], "exit-from-a-disconnected-status") == 0) return exitFromADisconnectedStatus();
  auto client = connected("exit-after-last-connection-closes");
  if (!client) return 3;
  auto acknowledged = std::make_shared<std::promise<bool>>();
  client->publish("t", "x", 1, [acknowledged](bool ok) {
    slowToEnd.used = true;
    acknowledged->set_value(ok);
  });
  if (acknowledged->get_future().wait_for(10s) != std::future_status::ready) return 4;
  client.reset();
  return 0;
}
