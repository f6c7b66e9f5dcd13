#include "support/MosquittoBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "support/HttpTestServer.h"

namespace pelk::test {

bool waitForListener(int port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

MosquittoBroker::MosquittoBroker() : MosquittoBroker(Options{}) {}

MosquittoBroker::MosquittoBroker(Options options) : options_(std::move(options)) {
  // A free port is free only when it is picked: another test's server may
  // take it before mosquitto binds it, and mosquitto then ends at once.  Up
  // to three pairs of ports are tried.
  for (int attempt = 1;; ++attempt) {
    tcpPort_ = HttpTestServer::unusedPort();
    do {
      wsPort_ = HttpTestServer::unusedPort();
    } while (wsPort_ == tcpPort_);
    writeConfig();
    if (start()) return;
    stop();
    if (attempt == 3) throw std::runtime_error("mosquitto did not start: " + log());
  }
}

void MosquittoBroker::writeConfig() {
  std::string conf = "per_listener_settings false\n";
  // Run as root, mosquitto would switch to its own user, which cannot read
  // the test's private directory.
  if (::geteuid() == 0) conf += "user root\n";
  if (options_.users.empty()) {
    conf += "allow_anonymous true\n";
  } else {
    const std::string passwords = dir_.file("passwords");
    writeFile(passwords, "");
    for (const auto& [user, password] : options_.users) {
      const std::string cmd =
          "mosquitto_passwd -b '" + passwords + "' '" + user + "' '" + password + "' >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0) throw std::runtime_error("mosquitto_passwd failed");
    }
    conf += "allow_anonymous false\npassword_file " + passwords + "\n";
  }
  if (options_.logPackets) conf += "log_type all\n";
  if (options_.persistence) {
    conf += "persistence true\npersistence_location " + dir_.path() + "/\nautosave_interval 1\n";
  }
  conf += "listener " + std::to_string(tcpPort_) + " 127.0.0.1\n";
  conf += "listener " + std::to_string(wsPort_) + " 127.0.0.1\nprotocol websockets\n";
  if (options_.tls) {
    const std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir_.file("key.pem") + "' -out '" + caFile() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
    conf += "certfile " + caFile() + "\nkeyfile " + dir_.file("key.pem") + "\n";
  }
  writeFile(dir_.file("mosquitto.conf"), conf);
}

MosquittoBroker::~MosquittoBroker() { stop(); }

bool MosquittoBroker::start() {
  if (pid_ > 0) return true;
  const std::string conf = dir_.file("mosquitto.conf");
  const std::string logFile = dir_.file("mosquitto.log");
  // The log is appended to by every start; this start's lines follow these.
  const std::size_t logBefore = readFile(logFile).size();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A test process that dies without running its destructors (a crash, an
    // abort of a sanitizer, a kill by the test runner) takes its broker with
    // it instead of leaving it on the port.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  // Something answering on the ports is not enough: another process may hold
  // one of them, while mosquitto ends on "Address already in use".  It says
  // it runs once it holds every listener.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (true) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (readFile(logFile).find(" running", logBefore) != std::string::npos) break;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return waitForListener(tcpPort_, std::chrono::seconds(10)) && waitForListener(wsPort_, std::chrono::seconds(10));
}

void MosquittoBroker::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::kill(pid_, SIGCONT);  // a frozen process takes the SIGTERM once it runs
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void MosquittoBroker::freeze() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void MosquittoBroker::thaw() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void MosquittoBroker::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string MosquittoBroker::log() const { return readFile(dir_.file("mosquitto.log")); }

}  // namespace pelk::test
