#pragma once

#include <sys/types.h>

#include <string>

namespace pelk::test {

// gpsfake playing the recorded NMEA route of tests/data into a gpsd of its own
// on a loopback port, in a process group of their own so that both are stopped
// by the group's id.
class GpsFake {
 public:
  // once: play the route one time and end; otherwise gpsfake loops over it.
  // cycle: the seconds between sentences (the route has three a fix).
  // route: the NMEA file played (default: routeFile()).
  GpsFake(int port, bool once, const std::string& cycle = "0.1", const std::string& route = routeFile());
  ~GpsFake();
  GpsFake(const GpsFake&) = delete;
  GpsFake& operator=(const GpsFake&) = delete;

  bool started() const { return pid_ > 0; }
  // The id of gpsfake's process group (gpsfake and its gpsd).
  pid_t processGroup() const { return pid_; }
  // Ends gpsfake and gpsd (SIGTERM, then SIGKILL after half a second).
  void stop();

  // A short route (ten fixes); played in a loop it brings the same fixes back
  // every three seconds at the default cycle.
  static std::string routeFile();
  // The demo's drive: about four minutes of fixes, after a few seconds without.
  static std::string demoRouteFile();
  static bool installed();

 private:
  pid_t pid_ = -1;
};

}  // namespace pelk::test
