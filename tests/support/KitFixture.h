#pragma once

// Fixture for suites that use the kit's settings: a temp root for the kit's
// directories and a settings suite of its own, forgotten in-memory credentials.
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"
#include "support/TestEnvironment.h"

namespace pelk::test {

// PELK_TEST_LOGGING=1 runs every settings fixture with the kit's log switched
// on ("isLoggingEnabled"), so that the lines logged on every road take their
// locks too, where the sanitizers can see their order.
inline bool loggingForced() {
  const char* v = std::getenv("PELK_TEST_LOGGING");
  return v && std::strcmp(v, "1") == 0;
}

// In a process a test starts as a host app: the kit's folders and its
// settings suite under `root`, as an app starting anew finds them.
inline void startHostIn(const std::string& root) {
  platform::Paths::setRoot(root);
  SharedUtil::setUserDefaultValue(platform::SettingsSuite::named(kUserDefaultsuiteName));
}

// A signed-in user (ids "u1", account "a1", project "p1") whose positions
// are published: what a host process of a fault test starts with.
inline void storePublishingUser() {
  TokenManager::setSdkToken("tok");
  TokenManager::setUserId("u1");
  TokenManager::setAccountId("a1");
  TokenManager::setProjectId("p1");
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
}

class SettingsTest : public KitTest {
 protected:
  SettingsTest() {
    SharedUtil::setUserDefaultValue(platform::SettingsSuite::named(kUserDefaultsuiteName));
    TokenManager::clearMemoryForTesting();
    if (loggingForced()) SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  }
  ~SettingsTest() override {
    // Log records still waiting go to this test's settings, not the next one's.
    LoggerManager::flush();
    SharedUtil::setUserDefaultValue(nullptr);
  }
};

}  // namespace pelk::test
