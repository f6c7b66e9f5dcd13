#include "manager/PelkManager.h"
#include "tracking/PelkActiveTracking.h"
#include "tracking/PelkPassiveTracking.h"
#include "tracking/PelkReActiveTracking.h"

namespace pelk {

// The modes this kit drives: active, balanced and passive.  A mode without an
// engine starts nothing; a stop with no mode known stops every mode, which is
// harmless for those that do not run.
TrackingModes defaultTrackingModes() {
  TrackingModes modes;
  modes.start = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active) PelkActiveTracking::shareInstance().startTracking();
    // ---- balanced and passive
    if (mode == PelkTrackingModeLocal::balanced) PelkReActiveTracking::shareInstance().startTracking();
    if (mode == PelkTrackingModeLocal::passive) PelkPassiveTracking::shareInstance().startTracking();
  };
  modes.stop = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active || mode == PelkTrackingModeLocal::notselected) {
      PelkActiveTracking::shareInstance().stopTracking();
    }
    // ---- balanced and passive
    const bool unknown = mode == PelkTrackingModeLocal::notselected;
    if (mode == PelkTrackingModeLocal::balanced || unknown) PelkReActiveTracking::shareInstance().stopTracking();
    if (mode == PelkTrackingModeLocal::passive || unknown) PelkPassiveTracking::shareInstance().stopTracking();
  };
  modes.available = [](PelkTrackingModeLocal mode) {
    if (mode == PelkTrackingModeLocal::active) return true;
    // ---- balanced and passive
    if (mode == PelkTrackingModeLocal::balanced || mode == PelkTrackingModeLocal::passive) return true;
    return false;
  };
  return modes;
}

}  // namespace pelk
