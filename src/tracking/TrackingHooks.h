#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Location.h"
#include "pelk/PelkError.h"

namespace pelk {

// What the tracking engine asks of the layer above it (the manager and the
// delegate dispatcher).  Installed by the manager at start-up; every unset
// member does nothing (and checkAppTrackingState answers true: tracking may
// run), so the engine works on its own in tests.  Hooks are copied out before
// they are called: no lock of the engine is held while one runs.
struct TrackingHooks {
  // The delegate dispatcher: a tracked position for the app ("M" or "S");
  // the dispatcher calls the app's didUpdateLocation and counts the position.
  std::function<void(const platform::Location& fix, const std::string& activity)> updateLocation;
  // The delegate dispatcher: an error for the app's onError.
  std::function<void(const PelkError& error)> didFail;
  // The manager's stop of tracking (it queues the stop on the main queue).
  std::function<void()> stopTracking;
  // The manager's test whether tracking may run in the app's current state
  // (foreground-only / background-only).  Unset: true.
  std::function<bool()> checkAppTrackingState;
  // The manager's pause of tracking the app's current state does not allow:
  // the running mode stops, the tracking switch stays on, and the app's
  // return to a state that allows it resumes the mode.
  std::function<void()> pauseTracking;
};

// Replaces every hook.
void setTrackingHooks(TrackingHooks hooks);
// Changes some members in place, keeping the others.
void updateTrackingHooks(const std::function<void(TrackingHooks&)>& edit);
TrackingHooks trackingHooks();

namespace tracking {
// Calls through the installed hooks (no-ops when unset).
void updateLocation(const platform::Location& fix, const std::string& activity);
void didFail(const PelkError& error);
void stopTracking();
bool checkAppTrackingState();
void pauseTracking();
}  // namespace tracking

// Installs the tracking layer's readings into DeviceContextHooks: location
// services enabled, location authorization and motion permission; and its
// watch on the location service's availability
// (PelkLocationGpsData::watchServiceAvailability).  The manager calls it at
// start-up; the engine's own classes also call it on first use.  Idempotent;
// keeps the members other layers installed.
void installTrackingDeviceContextHooks();

}  // namespace pelk
