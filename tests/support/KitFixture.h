#pragma once

// Fixture for suites that use the kit's settings: a temp root for the kit's
// directories and a settings suite of its own, forgotten in-memory credentials.
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/SettingsSuite.h"
#include "support/TestEnvironment.h"

namespace pelk::test {

class SettingsTest : public KitTest {
 protected:
  SettingsTest() {
    SharedUtil::setUserDefaultValue(platform::SettingsSuite::named(kUserDefaultsuiteName));
    TokenManager::clearMemoryForTesting();
  }
  ~SettingsTest() override { SharedUtil::setUserDefaultValue(nullptr); }
};

}  // namespace pelk::test
