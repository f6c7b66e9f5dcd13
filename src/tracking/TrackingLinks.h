#pragma once

#include <string>

#include "pelk/PelkError.h"
#include "platform/Link.h"
#include "platform/Location.h"

namespace pelk {

// What the tracking engine asks of the layer above it (the manager and the
// delegate dispatcher).  The manager installs them (manager/Links.cpp); every
// unset link does nothing (and checkAppTrackingState answers true: tracking
// may run), so the engine works on its own in tests.
namespace tracking::links {
// The delegate dispatcher: a tracked position for the app ("M" or "S");
// the dispatcher calls the app's didUpdateLocation and counts the position.
inline constinit platform::Link<void(const platform::Location& fix, const std::string& activity)> updateLocation;
// The delegate dispatcher: an error for the app's onError.
inline constinit platform::Link<void(const PelkError& error)> didFail;
// The manager's stop of tracking (it queues the stop on the main queue).
inline constinit platform::Link<void()> stopTracking;
// The manager's test whether tracking may run in the app's current state
// (foreground-only / background-only).  Unset: true.
bool mayTrack();
inline constinit platform::Link<bool()> checkAppTrackingState{&mayTrack};
// The manager's pause of tracking the app's current state does not allow:
// the running mode stops, the tracking switch stays on, and the app's
// return to a state that allows it resumes the mode.
inline constinit platform::Link<void()> pauseTracking;
}  // namespace tracking::links

namespace tracking {
// Calls through the links (no-ops when unset).
void updateLocation(const platform::Location& fix, const std::string& activity);
void didFail(const PelkError& error);
void stopTracking();
bool checkAppTrackingState();
void pauseTracking();

// Gives the device layer the readings it reports that this layer knows: the
// location service's switch and authorization, and the motion permission.
void giveDeviceReadings();
}  // namespace tracking

}  // namespace pelk
