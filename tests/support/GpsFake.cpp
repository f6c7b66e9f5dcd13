#include "support/GpsFake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>
#include <vector>

#include "support/MosquittoBroker.h"  // waitForListener

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

namespace {

// "$<body>*<checksum>" with the NMEA checksum (XOR of the body's bytes).
std::string sentence(const std::string& body) {
  unsigned char sum = 0;
  for (unsigned char c : body) sum ^= c;
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

std::string angle(double value, int degreeDigits) {
  const double a = std::abs(value);
  const int degrees = static_cast<int>(a);
  char text[32];
  std::snprintf(text, sizeof text, "%0*d%07.4f", degreeDigits, degrees, (a - degrees) * 60.0);
  return text;
}

}  // namespace

std::string GpsFake::writeLog(const std::string& path, const std::vector<NmeaFix>& fixes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& f : fixes) {
    const std::time_t t = std::chrono::system_clock::to_time_t(f.time);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    // Room for any int the fields may hold, so that no field is ever cut.
    char hms[48], dmy[48];
    std::snprintf(hms, sizeof hms, "%02d%02d%02d.00", utc.tm_hour, utc.tm_min, utc.tm_sec);
    std::snprintf(dmy, sizeof dmy, "%02d%02d%02d", utc.tm_mday, utc.tm_mon + 1, utc.tm_year % 100);
    if (!f.hasFix) {
      out << sentence(std::string("GPRMC,") + hms + ",V,,,,,,," + dmy + ",,,N")
          << sentence(std::string("GPGGA,") + hms + ",,,,,0,00,99.99,,,,,,")
          << sentence("GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99");
      continue;
    }
    const std::string lat = angle(f.latitude, 2) + (f.latitude < 0 ? ",S" : ",N");
    const std::string lon = angle(f.longitude, 3) + (f.longitude < 0 ? ",W" : ",E");
    out << sentence(std::string("GPRMC,") + hms + ",A," + lat + "," + lon + ",000.0,000.0," + dmy + ",,,A")
        << sentence(std::string("GPGGA,") + hms + "," + lat + "," + lon + ",1,08,0.9,240.0,M,47.0,M,,")
        << sentence("GPGSA,A,3,04,05,09,12,17,19,24,25,,,,,1.6,0.9,1.3");
  }
  return path;
}

NmeaFix GpsFake::offset(double latitude, double longitude, double north, double east,
                        std::chrono::system_clock::time_point time) {
  constexpr double kMetresPerDegree = 6371008.8 * std::numbers::pi / 180.0;
  return {latitude + north / kMetresPerDegree,
          longitude + east / (kMetresPerDegree * std::cos(latitude * std::numbers::pi / 180.0)), time, true};
}

GpsFake::GpsFake(int port, bool once, const std::string& cycle, const std::string& log) : port_(port) {
  // setpriv ends gpsfake (which takes its gpsd along) when the test process
  // dies without stopping it.
  std::vector<std::string> args = {"setpriv", "--pdeathsig",        "TERM", "--", "gpsfake",
                                   "-P",      std::to_string(port), "-q",   "-c", cycle};
  if (once) args.push_back("-1");
  args.push_back(log);
  for (int attempt = 0; attempt < 3; ++attempt) {
    spawn(args);
    if (pid_ <= 0) return;
    // gpsfake adds its receiver right after gpsd has started: soon after gpsd
    // answers, it lists it or never will.  (Meanwhile gpsfake plays on into
    // the terminal, and gpsd reads that backlog at once when the device is
    // added late: a short wait keeps it short.)
    if (waitForListener(port_, 10s) && waitDevice(700ms)) return;
    addDevice();
    // A loaded machine (sanitizer builds, several gpsds starting at once) may
    // take seconds to answer: only a gpsd silent for long is started afresh.
    if (waitDevice(10s)) return;
    stop();  // still without the receiver: once more
  }
}

void GpsFake::spawn(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
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

void GpsFake::addDevice() const {
  // gpsfake keeps the terminal's slave side open; gpsd's control socket is
  // named after gpsfake's process id.
  std::string device;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
    const auto name = entry.path().filename().string();
    if (name == "0" || name == "1" || name == "2") continue;
    const auto target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind("/dev/pts/", 0) == 0) device = target;
  }
  if (device.empty()) return;
  const std::string control = "/tmp/gpsfake-" + std::to_string(pid_) + ".sock";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", control.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string add = "+" + device + "\r\n";
    // MSG_NOSIGNAL: a daemon gone meanwhile must not end the test process.
    (void)!::send(fd, add.c_str(), add.size() + 1, MSG_NOSIGNAL);  // with its NUL, as gpsfake sends it
    pollfd p{fd, POLLIN, 0};
    char answer[16];
    if (::poll(&p, 1, 1000) > 0) (void)!::read(fd, answer, sizeof answer);
  }
  ::close(fd);
}

bool GpsFake::waitDevice(std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (std::chrono::steady_clock::now() < end) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string reply;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      const char ask[] = "?DEVICES;\n";
      (void)!::send(fd, ask, sizeof ask - 1, MSG_NOSIGNAL);
      // The banner, then the list of devices.
      while (reply.find("\"class\":\"DEVICES\"") == std::string::npos ||
             reply.find('\n', reply.find("\"class\":\"DEVICES\"")) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 500) <= 0) break;
        char buf[4096];
        const auto n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
      }
    }
    if (fd >= 0) ::close(fd);
    const auto at = reply.find("\"class\":\"DEVICES\"");
    if (at != std::string::npos && reply.find("\"devices\":[]", at) == std::string::npos) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

bool GpsFake::waitFixAt(const std::string& time, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool seen = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const char watch[] = "?WATCH={\"enable\":true,\"json\":true};\n";
    (void)!::write(fd, watch, sizeof watch - 1);
    std::string pending;
    while (!seen && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char buf[4096];
      const auto n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
        const auto line = pending.substr(0, nl);
        if (line.find("\"class\":\"TPV\"") != std::string::npos &&
            line.find("\"time\":\"" + time) != std::string::npos) {
          seen = true;
        }
      }
    }
  }
  ::close(fd);
  return seen;
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
