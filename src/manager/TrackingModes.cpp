#include "manager/PelkManager.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"

namespace pelk {

// The modes this kit drives so far: active and custom.  A mode without an
// engine starts nothing; a stop with no mode known stops the active and the
// custom mode, which is harmless when they do not run.
TrackingModes defaultTrackingModes() {
  TrackingModes modes;
  modes.start = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active) PelkActiveTracking::shareInstance().startTracking();
    // custom: a restart runs with the stored option set.
    if (mode == PelkTrackingModeLocal::custom) {
      PelkCustomTracking::sharedInstance().startTracking(PelkCustomTracking::getCustomOptions());
    }
  };
  modes.stop = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active || mode == PelkTrackingModeLocal::notselected) {
      PelkActiveTracking::shareInstance().stopTracking();
    }
    // custom
    if (mode == PelkTrackingModeLocal::custom || mode == PelkTrackingModeLocal::notselected) {
      PelkCustomTracking::sharedInstance().stopTracking();
    }
  };
  modes.available = [](PelkTrackingModeLocal mode) {
    return mode == PelkTrackingModeLocal::active || mode == PelkTrackingModeLocal::custom;
  };
  // custom: the app's own start runs with the option set it gave.
  modes.startCustom = [](const PelkTrackingCustomMethods& options) {
    PelkCustomTracking::sharedInstance().startTracking(options);
  };
  return modes;
}

}  // namespace pelk
