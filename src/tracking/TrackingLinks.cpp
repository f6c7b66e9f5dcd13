#include "tracking/TrackingLinks.h"

namespace pelk::tracking {

bool links::mayTrack() { return true; }

void updateLocation(const platform::Location& fix, const std::string& activity) {
  links::updateLocation(fix, activity);
}
void didFail(const PelkError& error) { links::didFail(error); }
void stopTracking() { links::stopTracking(); }
bool checkAppTrackingState() { return links::checkAppTrackingState(); }
void pauseTracking() { links::pauseTracking(); }

}  // namespace pelk::tracking
