#include "manager/PelkManager.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"

namespace pelk {

// The modes this kit drives: active, balanced, passive and custom.  A stop
// with no mode known stops every mode, which is harmless for those that do
// not run.
TrackingModes defaultTrackingModes() {
  TrackingModes modes;
  modes.start = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active) PelkActiveTracking::shareInstance().startTracking();
    if (mode == PelkTrackingModeLocal::balanced) PelkReActiveTracking::shareInstance().startTracking();
    if (mode == PelkTrackingModeLocal::passive) PelkPassiveTracking::shareInstance().startTracking();
    // custom: a restart runs with the stored option set.
    if (mode == PelkTrackingModeLocal::custom) {
      PelkCustomTracking::sharedInstance().startTracking(PelkCustomTracking::getCustomOptions());
    }
  };
  modes.stop = [](PelkTrackingModeLocal mode) {
    const bool unknown = mode == PelkTrackingModeLocal::notselected;
    if (mode == PelkTrackingModeLocal::active || unknown) PelkActiveTracking::shareInstance().stopTracking();
    if (mode == PelkTrackingModeLocal::balanced || unknown) PelkReActiveTracking::shareInstance().stopTracking();
    if (mode == PelkTrackingModeLocal::passive || unknown) PelkPassiveTracking::shareInstance().stopTracking();
    if (mode == PelkTrackingModeLocal::custom || unknown) PelkCustomTracking::sharedInstance().stopTracking();
  };
  modes.available = [](PelkTrackingModeLocal mode) { return mode != PelkTrackingModeLocal::notselected; };
  // custom: the app's own start runs with the option set it gave.
  modes.startCustom = [](const PelkTrackingCustomMethods& options) {
    PelkCustomTracking::sharedInstance().startTracking(options);
  };
  return modes;
}

}  // namespace pelk
