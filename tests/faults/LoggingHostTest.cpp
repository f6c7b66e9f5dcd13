// A host with the kit's log switched on, tracking gpsd's fixes at five a
// second while a thread of its own asks the REST service every 50 ms: every
// position and every reply is logged, on the main queue and the HTTP callback
// queue at once.  The host keeps being handed positions and replies to the
// end, and SIGTERM ends it within 10 s.  The run lasts PELK_LOGGING_HOST_SECONDS
// (12 s unless set; the longer runs are probes).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "FaultFixture.h"
#include "platform/SettingValue.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/MosquittoBroker.h"
#include "support/SignUpReplies.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace pelk::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One line of the host's output, with the moment this process read it.
struct HostLine {
  std::string kind;
  long long n = -1;
  Clock::time_point at;
};

// The host process, its output read on a thread of this test.
class Host {
 public:
  Host(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::vector<std::string> argStore = args, envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
      ::close(fds[0]);
      return;
    }
    reader_ = std::thread([this, fd = fds[0]] { read(fd); });
  }
  ~Host() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }

  bool started() const { return pid_ > 0; }

  std::vector<HostLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& kind) const {
    const auto l = lines();
    return static_cast<std::size_t>(
        std::count_if(l.begin(), l.end(), [&](const HostLine& h) { return h.kind == kind; }));
  }

  // Sends `signal` and waits up to `limit` for the host to end: its exit
  // status, or nothing (the host is then killed).
  std::optional<int> signalAndWait(int signal, std::chrono::milliseconds limit) {
    ::kill(pid_, signal);
    const auto end = Clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > end) return std::nullopt;  // the destructor kills it
      std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
    return status;
  }

 private:
  void read(int fd) {
    std::string pending;
    char buf[4096];
    ssize_t got;
    while ((got = ::read(fd, buf, sizeof buf)) > 0) {
      pending.append(buf, static_cast<std::size_t>(got));
      for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
        std::istringstream line(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        HostLine h;
        h.at = Clock::now();
        line >> h.kind >> h.n;
        std::lock_guard lock(mutex_);
        lines_.push_back(h);
      }
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<HostLine> lines_;
};

int runSeconds() {
  const char* text = std::getenv("PELK_LOGGING_HOST_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 12;
}

TEST(LoggingHostTest, KeepsDeliveringWhileEveryReplyIsLoggedAndEndsOnSigterm) {
  if (!GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
  TempDir root;
  MosquittoBroker broker;
  HttpTestServer rest;
  answerSignUp(rest);
  const int gpsdPort = HttpTestServer::unusedPort();
  ASSERT_GT(gpsdPort, 0);
  GpsFake gps(gpsdPort, /*once=*/false, "0.0667");  // three sentences a fix: five fixes a second
  ASSERT_TRUE(gps.started());

  Host host({PELK_LOGGING_HOST, root.path(), rest.baseUrl(), broker.wsUrl()},
            {"PELK_GPSD_HOST=127.0.0.1", "PELK_GPSD_PORT=" + std::to_string(gpsdPort), "HOME=" + root.path()});
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(waitFor([&] { return host.count("ready") == 1; }, 60s)) << "the host did not start";
  const auto began = Clock::now();
  const int seconds = runSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));

  // Positions and replies in each third of the run: a road that stalls
  // stops both.
  const auto lines = host.lines();
  std::size_t positions[3] = {0, 0, 0}, replies[3] = {0, 0, 0};
  const auto third = std::chrono::duration<double>(seconds) / 3.0;
  for (const auto& l : lines) {
    if (l.at < began) continue;
    const auto index = std::min<std::size_t>(2, static_cast<std::size_t>((l.at - began) / third));
    if (l.kind == "position") ++positions[index];
    if (l.kind == "rest") replies[index] += 10;  // the host prints every tenth reply
  }

  const auto signalled = Clock::now();
  const auto status = host.signalAndWait(SIGTERM, 10s);
  const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count();

  // What the log left behind: the file within its bound, the records too.
  std::uintmax_t logBytes = 0;
  std::size_t records = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root.path(), ec)) {
    const auto name = e.path().filename().string();
    if (name == "Zezovu.log") logBytes = e.file_size(ec);
    if (name.size() > 9 && name.substr(name.size() - 9) == ".settings") {
      SQLite::Database db(e.path().string(), SQLite::OPEN_READONLY);
      SQLite::Statement q(db, "SELECT value FROM entries WHERE key = 'savelocationServerLogs'");
      if (q.executeStep()) {
        const auto blob = q.getColumn(0);
        auto value = platform::SettingValue::decode(
            std::string(static_cast<const char*>(blob.getBlob()), static_cast<std::size_t>(blob.getBytes())));
        if (value && value->get<platform::SettingValue::List>())
          records = value->get<platform::SettingValue::List>()->size();
      }
    }
  }

  std::cout << "[" << buildFlavour() << "] logging host, " << seconds << " s at five fixes a second and a REST call "
            << "every 50 ms: positions by third " << positions[0] << "/" << positions[1] << "/" << positions[2]
            << ", replies by third about " << replies[0] << "/" << replies[1] << "/" << replies[2]
            << "; SIGTERM to exit " << exitMs << " ms; log file " << logBytes << " bytes, " << records
            << " records in the settings\n";

  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(positions[i], 0u) << "no position in third " << i;
    EXPECT_GT(replies[i], 0u) << "no REST reply in third " << i;
  }
  ASSERT_TRUE(status.has_value()) << "the host did not end within 10 s of SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
  EXPECT_GT(logBytes, 0u);
  EXPECT_LE(logBytes, 1024u * 1024u);
  EXPECT_GT(records, 0u);
  EXPECT_LE(records, 200u);
}

}  // namespace
}  // namespace pelk::test
