#pragma once

// Every number of the position models read as an app reads them, so that a
// reader's leftovers (a number of the wrong kind, an unset value) are touched.
#include <optional>

#include "pelk/PelkEvents.h"
#include "pelk/PelkLocation.h"
#include "pelk/PelkNumber.h"

namespace pelk::fuzz {

inline volatile double gSink;

inline void read(const PelkNumber& n) {
  gSink = n.doubleValue() + static_cast<double>(n.int64Value()) + n.floatValue();
}
inline void read(const std::optional<PelkNumber>& n) {
  if (n) read(*n);
}

inline void readNumbers(const PelkEvents& events) {
  read(events.altitude());
  read(events.course());
  read(events.distance());
  read(events.speed());
  read(events.horizontalAccuracy());
  read(events.veritcalAccuracy());
}

inline void readNumbers(const PelkLocationReceived& received) {
  read(received.latitude());
  read(received.longitude());
  read(received.altitude());
  read(received.course());
  read(received.speed());
  read(received.horizontalAccuracy());
  read(received.verticalAccuracy());
}

}  // namespace pelk::fuzz
