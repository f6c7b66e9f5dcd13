#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "support/TestEnvironment.h"

namespace pelk::test {

// A mosquitto broker on free loopback ports, started by the test and stopped
// by its process id: one plain TCP listener (mosquitto needs one) and one
// WebSocket listener.  With users, only those may connect (password file);
// without, anyone may.  Persistence keeps sessions and queued messages across
// stop() and start().
class MosquittoBroker {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> users;  // user name, password
    bool persistence = false;
    // The WebSocket listener speaks TLS with a fresh self-signed certificate
    // for 127.0.0.1 (caFile()).
    bool tls = false;
    // Every packet is logged (log()), with its QoS: "Received PUBLISH from
    // <client> (d0, q1, r0, m1, '<topic>', ... (<n> bytes))".
    bool logPackets = false;
  };

  MosquittoBroker();
  explicit MosquittoBroker(Options options);
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts it again on the same ports; true once mosquitto holds both
  // listeners, false when it ended (a port taken meanwhile) or never got there.
  bool start();
  // Stops the broker process (SIGTERM, then waits for it); also a frozen one.
  void stop();
  // Freezes the process (SIGSTOP): connections stay open, nothing is read or
  // answered, as with a link that went silent.  thaw() lets it go on.
  void freeze();
  void thaw();
  // Ends the process at once (SIGKILL), frozen or not: its connections are
  // cut without a word, and what it had not read is never answered.
  void kill();
  bool running() const { return pid_ > 0; }

  int tcpPort() const { return tcpPort_; }
  int wsPort() const { return wsPort_; }
  std::string wsUrl() const {
    return (options_.tls ? "wss://127.0.0.1:" : "ws://127.0.0.1:") + std::to_string(wsPort_) + "/mqtt";
  }
  std::string caFile() const { return dir_.file("cert.pem"); }
  std::string log() const;

 private:
  void writeConfig();

  Options options_;
  TempDir dir_;
  int tcpPort_ = 0;
  int wsPort_ = 0;
  pid_t pid_ = -1;

 public:
  pid_t pid() const { return pid_; }
};

// True once something accepts TCP connections on the loopback port.
bool waitForListener(int port, std::chrono::milliseconds timeout);

}  // namespace pelk::test
