#include "support/GpsFake.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace pelk::test {

using namespace std::chrono_literals;

std::string GpsFake::routeFile() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "gpsd-route.nmea").string();
}

std::string GpsFake::demoRouteFile() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "data" /
          "demo-route.nmea")
      .string();
}

bool GpsFake::installed() { return std::system("command -v gpsfake >/dev/null 2>&1") == 0; }

GpsFake::GpsFake(int port, bool once, const std::string& cycle, const std::string& route) {
  // setpriv ends gpsfake (which takes its gpsd along) when the test process
  // dies without stopping it.
  std::vector<std::string> args = {"setpriv", "--pdeathsig", "TERM", "--", "gpsfake",
                                   "-P",      std::to_string(port), "-q", "-c", cycle};
  if (once) args.push_back("-1");
  args.push_back(route);
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
  if (posix_spawnp(&pid_, "setpriv", &files, &attr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
}

GpsFake::~GpsFake() { stop(); }

void GpsFake::stop() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + 500ms;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  ::kill(-pid_, SIGKILL);  // whatever is left of the group (gpsd)
  pid_ = -1;
}

}  // namespace pelk::test
