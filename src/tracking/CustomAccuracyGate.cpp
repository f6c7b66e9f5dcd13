#include "tracking/CustomAccuracyGate.h"

#include <cmath>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "messaging/LocationUtils.h"

namespace pelk {

bool unusableFix(const platform::Location& fix) {
  return !std::isfinite(fix.horizontalAccuracy) || fix.horizontalAccuracy < 0 || !fix.hasFiniteCoordinate();
}

bool passesCustomAccuracyGate(const platform::Location& fix) {
  if (unusableFix(fix) || !LocationUtils::filterAndAddLocation(fix)) return false;
  const auto stored = SharedUtil::userDefaultValue()->value(kCustomAccuracyFilter);
  const bool hasLimit = stored && (stored->kind() == platform::SettingValue::Kind::Integer ||
                                   stored->kind() == platform::SettingValue::Kind::Double);
  if (hasLimit) return true;
  const auto engine = SharedUtil::getDefaultInteger(kAccuracyFilterCustomValue);
  return engine < 1 || fix.horizontalAccuracy <= static_cast<double>(engine);
}

}  // namespace pelk
