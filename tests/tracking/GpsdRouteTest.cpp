// A recorded NMEA route played by gpsfake into a real gpsd on a free loopback
// port, read by the gpsd provider, tracked by the active mode, and handed
// through the location sink to the app.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/GpsdLocationProvider.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/TrackingFixture.h"

extern char** environ;

namespace pelk::test {
namespace {

int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (fd >= 0) ::close(fd);
  return ok ? ntohs(addr.sin_port) : -1;
}

// gpsfake and its gpsd in a process group of their own, stopped by the group id.
class GpsFake {
 public:
  explicit GpsFake(int port) {
    const auto route =
        (std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "gpsd-route.nmea").string();
    std::vector<std::string> args = {"gpsfake", "-P", std::to_string(port), "-q", "-c", "0.1", "-1", route};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "gpsfake", &files, &attr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
  }
  ~GpsFake() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + 500ms;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(10ms);
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, &status, WNOHANG);
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

class GpsdRouteTest : public TrackingTest {
 protected:
  void SetUp() override {
    if (::system("command -v gpsfake >/dev/null 2>&1") != 0) GTEST_SKIP() << "gpsfake is not installed";
    port_ = freeLoopbackPort();
    ASSERT_GT(port_, 0);
    provider_ = std::make_shared<platform::GpsdLocationProvider>(
        platform::GpsdConfig{"127.0.0.1", std::to_string(port_), 50ms, 400ms});
    platform::LocationServices::useProvider(provider_);
  }
  void TearDown() override {
    PelkActiveTracking::shareInstance().stopTracking();
    platform::Dispatch::drainMain();
    platform::LocationServices::useSimulatedProvider();
  }
  template <class F>
  bool drainUntil(F done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      platform::Dispatch::drainMain();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
  }
  int port_ = -1;
  std::shared_ptr<platform::GpsdLocationProvider> provider_;
};

TEST_F(GpsdRouteTest, FixesOfARecordedRouteReachTheApp) {
  GpsFake fake(port_);
  ASSERT_TRUE(fake.started());
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  auto& active = PelkActiveTracking::shareInstance();
  active.resetFirstCallForTesting();
  active.startTracking();
  const platform::Coordinate last{45.1306, 7.4328};
  // The route is played once; wait until its end reached the location service.
  ASSERT_TRUE(drainUntil(
      [&] {
        auto fix = platform::LocationServices::lastLocation();
        return fix && fix->coordinate == last;
      },
      20'000ms))
      << "positions " << deliveredCount();
  platform::Dispatch::drainMain();
  std::lock_guard lock(rec_->mutex);
  EXPECT_GE(rec_->delivered.size(), 4u);
  EXPECT_EQ(rec_->delivered.front().second, "S");
  EXPECT_EQ(rec_->delivered.back().second, "M");
  EXPECT_EQ(rec_->published.size(), rec_->delivered.size());
  for (const auto& [fix, activity] : rec_->delivered) {
    EXPECT_NEAR(fix.coordinate.latitude, 45.12, 0.02);
    EXPECT_NEAR(fix.coordinate.longitude, 7.43, 0.01);
  }
}

}  // namespace
}  // namespace pelk::test
