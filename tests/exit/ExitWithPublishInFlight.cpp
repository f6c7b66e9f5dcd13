// Returns from main while a kit task waits for the broker to acknowledge a
// publish that it will never acknowledge (the acknowledgement wait of a replay
// page).  The exit closes the connection; the waiting task must hear "not
// acknowledged" then, not run on past the exit into destroyed statics.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include "platform/Dispatch.h"
#include "platform/MqttClient.h"

using namespace pelk;
using namespace std::chrono_literals;

namespace {

// A broker that accepts the connection and never answers a publish.
int listenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

void silentBroker(int listener) {
  const int fd = ::accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  char buffer[4096];
  bool acknowledged = false;
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    if (!acknowledged && (static_cast<unsigned char>(buffer[0]) >> 4) == 1) {  // CONNECT
      const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
      if (::write(fd, connack, sizeof connack) != sizeof connack) return;
      acknowledged = true;
    }
  }
}

}  // namespace

int main() {
  int port = 0;
  const int listener = listenOnLoopback(port);
  if (listener < 0) return 2;
  std::thread(silentBroker, listener).detach();

  platform::MqttClientOptions options;
  options.serverUri = "tcp://127.0.0.1:" + std::to_string(port);
  options.clientId = "exit-with-publish-in-flight";
  // Kept for the whole process, as the kit keeps its client.
  auto* client = new std::shared_ptr<platform::MqttClient>(platform::MqttClient::create(options));
  auto up = std::make_shared<std::promise<void>>();
  (*client)->setStatusHandler([up](platform::MqttStatus status) {
    if (status == platform::MqttStatus::connected) up->set_value();
  });
  (*client)->connect();
  if (up->get_future().wait_for(10s) != std::future_status::ready) return 3;

  auto outcome = std::make_shared<std::promise<bool>>();
  if (!(*client)->publish("t", "page", 1, [outcome](bool ok) { outcome->set_value(ok); })) return 4;
  platform::Dispatch::global().async([future = outcome->get_future().share()] {
    if (future.wait_for(60s) != std::future_status::ready) {
      std::puts("delivery never answered");
      return;
    }
    std::printf("delivery answered: %s\n", future.get() ? "true" : "false");
    std::fflush(stdout);
  });
  std::puts("returning from main with the publish in flight");
  return 0;
}
