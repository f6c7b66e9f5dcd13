#pragma once

// Points the kit's directories and settings suite at a folder of the bench's
// own, as the test fixtures do.

#include <cstdlib>
#include <string>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "platform/Location.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"

namespace pelk::bench {

inline void pointKitAt(const std::string& folder) {
  ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);
  platform::Paths::setRoot(folder);
  SharedUtil::setUserDefaultValue(platform::SettingsSuite::named(kUserDefaultsuiteName));
}

inline void releaseKit() {
  SharedUtil::setUserDefaultValue(nullptr);
  platform::Paths::setRoot(std::nullopt);
}

// A moving position of the kind the tracking hands to the store.
inline platform::Location samplePosition(int i = 0) {
  platform::Location fix;
  fix.coordinate = {52.5 + i * 1e-5, 13.4};
  fix.altitude = 12.5;
  fix.horizontalAccuracy = 4.0;
  fix.verticalAccuracy = 3.0;
  fix.speed = 1.5;
  fix.course = 270.0;
  return fix;
}

}  // namespace pelk::bench
