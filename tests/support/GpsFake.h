#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace pelk::test {

// One fix of a generated NMEA log: a position at a GPS time, or (hasFix
// false) a receiver that reports the time but no fix.
struct NmeaFix {
  double latitude = 0.0;
  double longitude = 0.0;
  std::chrono::system_clock::time_point time;
  bool hasFix = true;
};

// gpsfake playing an NMEA log (the recorded route of tests/data unless told
// otherwise) into a gpsd of its own on a loopback port, in a process group of
// their own so that both are stopped by the group's id.
//
// gpsfake hands its pseudo-terminal to gpsd over gpsd's control socket as soon
// as the socket's file exists; when gpsd is not listening on it yet, the device
// is silently never added and gpsd stays without a receiver.  The constructor
// therefore waits until gpsd answers and lists the device, and adds it itself
// when gpsd does not (starting gpsfake afresh as the last resort): once built,
// gpsd is listening with its receiver.
class GpsFake {
 public:
  // once: play the log one time and end; otherwise gpsfake loops over it.
  // cycle: the seconds between sentences (three a fix).
  GpsFake(int port, bool once, const std::string& cycle = "0.1", const std::string& log = routeFile());
  ~GpsFake();
  GpsFake(const GpsFake&) = delete;
  GpsFake& operator=(const GpsFake&) = delete;

  bool started() const { return pid_ > 0; }
  // The id of gpsfake's process group (gpsfake and its gpsd).
  pid_t processGroup() const { return pid_; }
  // Ends gpsfake and gpsd (SIGTERM, then SIGKILL after half a second).
  void stop();
  // Waits until gpsd lists the fake receiver among its devices.
  bool waitDevice(std::chrono::milliseconds limit) const;
  // Watches gpsd as a client of its own until it reports a fix whose time
  // holds `time` (as gpsd writes it: "2026-11-21T09:15:49"), that is until
  // the log has been played up to it.  (gpsfake playing a log once ends only
  // a minute after its last sentence.)
  bool waitFixAt(const std::string& time, std::chrono::milliseconds limit) const;

  // A short route (ten fixes); played in a loop it brings the same fixes back
  // every three seconds at the default cycle.
  static std::string routeFile();
  // The demo's drive: about four minutes of fixes, after a few seconds without.
  static std::string demoRouteFile();
  static bool installed();
  // Writes the fixes as an NMEA log (RMC, GGA and GSA sentences a fix; the
  // quality of the recorded route) to `path`, which it answers.
  static std::string writeLog(const std::string& path, const std::vector<NmeaFix>& fixes);
  // The point `metres` north and `east` metres east of (latitude, longitude).
  static NmeaFix offset(double latitude, double longitude, double north, double east,
                        std::chrono::system_clock::time_point time);

 private:
  void spawn(const std::vector<std::string>& args);
  // Hands gpsfake's pseudo-terminal to gpsd over its control socket.
  void addDevice() const;

  pid_t pid_ = -1;
  int port_ = -1;
};

}  // namespace pelk::test
