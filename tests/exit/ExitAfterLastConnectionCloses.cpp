// Returns from main right after the last MQTT connection closed, in a process
// where OpenSSL's own exit clean-up was registered before the kit was loaded
// (as a library that starts OpenSSL at its load does).  That clean-up frees
// the locks the MQTT library's threads release on their way out, so those
// threads must have ended before it runs.  A thread slow to end (here: one
// that still has work of its own to finish) shows the fault every time.

#include <dirent.h>
#include <openssl/crypto.h>

#include <chrono>
#include <cstdio>
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

// Runs after the kit's own exit work and before OpenSSL's clean-up.
void atOpenSslCleanUp() {
  std::printf("library threads at OpenSSL's clean-up: %d\n", libraryThreads());
  std::fflush(stdout);
  if (broker) broker->stop();
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

}  // namespace

int main() {
  std::atexit(atOpenSslCleanUp);
  broker = new test::MosquittoBroker();
  platform::MqttClientOptions options;
  options.serverUri = broker->wsUrl();
  options.clientId = "exit-after-last-connection-closes";
  auto client = platform::MqttClient::create(options);
  auto up = std::make_shared<std::promise<void>>();
  client->setStatusHandler([up](platform::MqttStatus status) {
    if (status == platform::MqttStatus::connected) up->set_value();
  });
  client->connect();
  if (up->get_future().wait_for(10s) != std::future_status::ready) return 3;
  auto acknowledged = std::make_shared<std::promise<bool>>();
  client->publish("t", "x", 1, [acknowledged](bool ok) {
    slowToEnd.used = true;
    acknowledged->set_value(ok);
  });
  if (acknowledged->get_future().wait_for(10s) != std::future_status::ready) return 4;
  client.reset();
  return 0;
}
