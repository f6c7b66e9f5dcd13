#include <algorithm>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "foundation/SharedUtil.h"
#include "platform/Console.h"
#include "platform/SettingsSuite.h"
#include "support/KitFixture.h"

using namespace pelk;

namespace {
class HostileSettingsTest : public test::SettingsTest {};
}  // namespace

// A stored value that cannot be decoded reads as absent, yet the entry is
// there (it lists among the keys): removing the key must still remove it, so
// that what the kit clears is cleared.
TEST_F(HostileSettingsTest, RemovingAKeyWhoseValueCannotBeReadRemovesIt) {
  auto suite = SharedUtil::userDefaultValue();
  SharedUtil::setDefaultString("other", "kept");
  {
    SQLite::Database raw(suite->path(), SQLite::OPEN_READWRITE);
    raw.exec("INSERT OR REPLACE INTO entries (key, kind, value) VALUES ('damaged', 3, x'ff00ff')");
  }
  platform::Console::Capture console;
  ASSERT_FALSE(suite->contains("damaged"));
  auto listed = [&] {
    const auto keys = suite->keys();
    return std::find(keys.begin(), keys.end(), "damaged") != keys.end();
  };
  ASSERT_TRUE(listed());
  SharedUtil::removeKey("damaged");
  EXPECT_FALSE(listed());
  EXPECT_EQ(SharedUtil::getDefaultString("kept"), "other");
}
