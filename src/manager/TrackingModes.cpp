#include "manager/PelkManager.h"
#include "tracking/PelkActiveTracking.h"

namespace pelk {

// The modes this kit drives so far: active.  A mode without an engine starts
// nothing; a stop with no mode known stops the active mode, which is harmless
// when it does not run.
TrackingModes defaultTrackingModes() {
  TrackingModes modes;
  modes.start = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active) PelkActiveTracking::shareInstance().startTracking();
  };
  modes.stop = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active || mode == PelkTrackingModeLocal::notselected) {
      PelkActiveTracking::shareInstance().stopTracking();
    }
  };
  modes.available = [](PelkTrackingModeLocal mode) { return mode == PelkTrackingModeLocal::active; };
  return modes;
}

}  // namespace pelk
