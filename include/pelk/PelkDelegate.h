#pragma once

#include "pelk/PelkError.h"
#include "pelk/PelkEvents.h"
#include "pelk/PelkLocation.h"
#include "pelk/PelkTripListener.h"

namespace pelk {

// What the kit tells the app outside the answers to its calls.  Only
// didUpdateLocation must be implemented; the others do nothing unless the app
// overrides them.  Calls arrive on whichever thread delivered the event:
// positions and trip status on the kit's main queue, broker messages on the
// MQTT client's thread, errors where they were met (see "Threads" in Pelk.h,
// also for what a call that blocks holds up).
class PelkDelegate {
 public:
  virtual ~PelkDelegate() = default;

  // A position of this device was accepted, while the app follows its own
  // positions: after subscribe(location or eventsAndLocation, own user id),
  // or once self-tracking was started.  Without either, tracking runs but
  // this is never called.
  virtual void didUpdateLocation(const PelkLocation& location) = 0;
  // An event arrived on the subscribed event topic; every event of a message, in order.
  virtual void didReceiveEvents(const PelkEvents& events) { (void)events; }
  // A position of a subscribed user arrived.
  virtual void didReceiveUserLocation(const PelkLocationReceived& location) { (void)location; }
  // The live status of the subscribed trip.
  virtual void didReceiveTripStatus(const PelkTripStatusListener& status) { (void)status; }
  // An error that has no handler to go to.
  virtual void onError(const PelkError& error) { (void)error; }
};

}  // namespace pelk
