#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "platform/Location.h"

namespace pelk {

class PelkAPIClient;

// The count of positions handed to the app since a start date, with a
// set-aside count for positions that arrive while a report is in flight.
class LocationUpdateStatus {
 public:
  static LocationUpdateStatus& shared();
  // Makes the set-aside count and date the main ones (after a good report).
  void resetData();
  // Counts one position.
  void addData();
};

// Reports the count while the app is not the location publisher: at most one
// report in flight, at most one every 3 minutes, only online.
class PelkLocationCount {
 public:
  static PelkLocationCount& sharedInstance();
  // Also needs the location listener switched on.
  void updateLocationCount();
  // The same without the listener condition.
  void getUpdateLocationCount();
  // Tests: the REST client used (null: the shared one).
  void setAPIClientForTesting(PelkAPIClient* client);

 private:
  void report(bool needListener);
  PelkAPIClient* api_ = nullptr;
};

// The position-less GPS status record sent when location permission is lost.
class PelkLocationGpsData {
 public:
  static PelkLocationGpsData& sharedInstance();
  // Builds the record and sends it when the network is up (a record that
  // cannot be published is kept under "GPSData"); stores it when not.
  void gpsChange(bool networkStatus);
  nlohmann::json gpsDictionary(bool networkStatus);
  // Sends the kept record, if any.
  void updateGpsOffline();
  // Watches the location service going away and coming back (gpsd
  // unreachable, or without a fix for its bound; then a fix again), as a
  // phone's services being switched off and on: one console line per change,
  // and on each loss the GPS status record (gpsChange with the network's
  // state) and the app delegate's onError with QB408 "Location services error
  // or permissions not granted".  Tracking is neither stopped nor switched
  // off: positions flow again when the source returns.  Once per process;
  // later calls do nothing.
  static void watchServiceAvailability();
};

// The dynamic geofence radius from the recent speed of the device.
class LocationFilter {
 public:
  // 100, 200, 300, 400, 500, 700 or 1000 metres.
  static std::int64_t getPassiveRadius(const platform::Location& fix);
};

}  // namespace pelk
