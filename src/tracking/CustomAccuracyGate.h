#pragma once

#include "platform/Location.h"

namespace pelk {

// The accuracy gate of the custom and time-based modes, used while the custom
// accuracy filter ("kAccuracyFilterCustom") is on.  The fix must pass the
// shared filter (fresh, accuracy within the app's custom limit).  When the app
// stored no custom limit, the accuracy-engine value is the limit if it is at
// least 1 metre; otherwise every fresh fix with a usable accuracy passes.
bool passesCustomAccuracyGate(const platform::Location& fix);

// A fix whose accuracy or coordinate cannot be used, whatever the filter says.
bool unusableFix(const platform::Location& fix);

}  // namespace pelk
