// A process killed outright while it buffers positions loses none it was told
// were stored: a second process (this program, running only the writer below)
// inserts positions until it is killed with SIGKILL at a random moment, and
// reports each position the buffer accepted through a pipe.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "StorageFixture.h"
#include "support/SelfProcess.h"
#include "support/KitFixture.h"

namespace pelk {
namespace {

constexpr const char* kRootVar = "PELK_KILL_WRITER_ROOT";
constexpr const char* kFdVar = "PELK_KILL_WRITER_FD";
constexpr const char* kRoundVar = "PELK_KILL_WRITER_ROUND";

// Each position carries its own marker: round * kPerRound + sequence number.
constexpr std::uint32_t kPerRound = 1000000;

std::string markerId(std::uint32_t marker) { return "kill-" + std::to_string(marker); }

class KillDuringInsertTest : public test::StorageTest {
 protected:
  // Starts the writer for `round`; its stored markers arrive on the returned fd.
  pid_t startWriter(int round, int& readFd) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    const pid_t pid = test::spawnSelf(
        {.test = "KillDuringInsertWriter.InsertsUntilKilled",
         .env = {std::string(kRootVar) + "=" + dir_.path(), std::string(kFdVar) + "=" + std::to_string(fds[1]),
                 std::string(kRoundVar) + "=" + std::to_string(round)}});
    ::close(fds[1]);
    readFd = fds[0];
    return pid;
  }
};

// Reads whole markers from `fd` into `out` until `deadline` passes or the
// writer closes its end.  False on end of stream.
bool readMarkers(int fd, std::vector<std::uint32_t>& out, std::chrono::steady_clock::time_point deadline,
                 std::string& pending, bool stopAtFirst = false) {
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return true;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return true;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t used = 0;
    for (; used + sizeof(std::uint32_t) <= pending.size(); used += sizeof(std::uint32_t)) {
      std::uint32_t m;
      std::memcpy(&m, pending.data() + used, sizeof m);
      out.push_back(m);
    }
    pending.erase(0, used);
    if (stopAtFirst && !out.empty()) return true;
  }
}

TEST_F(KillDuringInsertTest, PositionsReportedStoredSurviveSigkill) {
  const char* seedText = std::getenv("PELK_KILL_SEED");
  const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
  std::cout << "seed " << seed << " (PELK_KILL_SEED repeats it)\n";
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delayMs(20, 300);

  constexpr int kRounds = 5;
  std::set<std::string> reported;  // every marker a writer reported, all rounds
  for (int round = 0; round < kRounds; ++round) {
    const int delay = delayMs(rng);
    int fd = -1;
    const pid_t pid = startWriter(round, fd);
    ASSERT_GT(pid, 0);

    // The delay counts from the first stored position, so the kill lands in
    // the insert loop however long the writer takes to start.
    std::vector<std::uint32_t> markers;
    std::string pending;
    bool open = readMarkers(fd, markers, std::chrono::steady_clock::now() + std::chrono::seconds(60), pending, true);
    const bool started = open && !markers.empty();
    if (started) {
      open = readMarkers(fd, markers, std::chrono::steady_clock::now() + std::chrono::milliseconds(delay), pending);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    // Whatever the writer sent before it died is still in the pipe.
    if (open) readMarkers(fd, markers, std::chrono::steady_clock::now() + std::chrono::seconds(60), pending);
    ::close(fd);
    ASSERT_TRUE(started) << "round " << round << ": the writer stored nothing (status " << status << ")";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "round " << round << ": the writer ended before the kill (status " << status << ")";
    ASSERT_TRUE(pending.empty()) << "a marker was cut short";

    for (auto m : markers) {
      ASSERT_EQ(m / kPerRound, static_cast<std::uint32_t>(round));
      reported.insert(markerId(m));
    }

    // A fresh look at the same folder after each kill: earlier rounds' rows
    // must also have outlived this round's kill.
    PelkCoreDataStack stack;
    MQTTDataStorageManager buffer(stack.managedObjectContext(), &device_);
    std::set<std::string> stored;
    for (std::int64_t offset = 0;; offset += MQTTDataStorageManager::kPageSize) {
      const auto page = buffer.fetchDeviceData(offset);
      for (const auto& row : page) {
        if (row.location_id) stored.insert(*row.location_id);
      }
      if (page.size() < static_cast<std::size_t>(MQTTDataStorageManager::kPageSize)) break;
    }
    std::size_t found = 0;
    for (const auto& id : reported) found += stored.count(id);
    const std::size_t lost = reported.size() - found;
    std::cout << "round " << round << ": killed after " << delay << " ms; reported " << reported.size() << ", found "
              << found << ", lost " << lost << " (rows in the buffer " << stored.size() << ")\n";
    EXPECT_EQ(lost, 0u) << "round " << round;
    EXPECT_EQ(buffer.getOfflineLocationCount(), static_cast<std::int64_t>(stored.size()));
  }
  EXPECT_GT(reported.size(), 0u);
}

// The writer process of the test above; skipped in an ordinary run.
TEST(KillDuringInsertWriter, InsertsUntilKilled) {
  const char* root = std::getenv(kRootVar);
  const char* fdText = std::getenv(kFdVar);
  const char* roundText = std::getenv(kRoundVar);
  if (!root || !fdText || !roundText) GTEST_SKIP() << "runs only as the writer process of another test";
  const int fd = std::atoi(fdText);
  const auto round = static_cast<std::uint32_t>(std::atoi(roundText));
  test::startHostIn(root);
  test::FixedDevice device;
  PelkCoreDataStack stack;
  MQTTDataStorageManager buffer(stack.managedObjectContext(), &device);
  for (std::uint32_t seq = 0; seq < kPerRound; ++seq) {
    const std::uint32_t marker = round * kPerRound + seq;
    if (!buffer.saveLocationData({test::fixAt(round, seq * 1e-5), "M", false, 0, markerId(marker)})) continue;
    // Markers are smaller than PIPE_BUF, so each write is whole or not at all.
    ASSERT_EQ(::write(fd, &marker, sizeof marker), static_cast<ssize_t>(sizeof marker));
  }
  FAIL() << "the writer was not killed";
}

}  // namespace
}  // namespace pelk
