// The values the kit rewrites at every position reach the settings file
// lazily: reads see them at once, the file a few seconds later or with the
// next durable commit, and a clean exit writes them all; a kill loses only
// some of them, never a durable value.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/CountedFiles.h"
#include "platform/Paths.h"
#include "platform/SettingValue.h"
#include "platform/SettingsSuite.h"
#include "support/KitFixture.h"
#include "support/SelfProcess.h"
#include "support/WaitFor.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRootVar = "PELK_LAZY_WRITER_ROOT";
constexpr const char* kEndVar = "PELK_LAZY_WRITER_END";
constexpr int kWrites = 200;

// What the file itself holds under `key`, read past the suite (as another
// process would).
std::optional<platform::SettingValue> inFile(const std::string& path, const std::string& key) {
  SQLite::Database db(path, SQLite::OPEN_READONLY);
  SQLite::Statement q(db, "SELECT value FROM entries WHERE key = ?");
  q.bind(1, key);
  if (!q.executeStep()) return std::nullopt;
  const auto col = q.getColumn(0);
  return platform::SettingValue::decode(
      std::string(static_cast<const char*>(col.getBlob()), static_cast<std::size_t>(col.getBytes())));
}

std::optional<double> doubleInFile(const std::string& path, const std::string& key) {
  const auto v = inFile(path, key);
  return v ? v->doubleValue() : std::nullopt;
}

class LazySettingsTest : public test::SettingsTest {};

TEST_F(LazySettingsTest, RebuildableValuesCostNoCommitAndReachTheFileLater) {
  const auto suite = SharedUtil::userDefaultValue();
  const std::string file = suite->path();
  SharedUtil::setDefaultString("tok-1", kSDKToken);

  const auto before = platform::CountedFiles::of(file);
  for (int i = 1; i <= kWrites; ++i) {
    SharedUtil::setDefaultDouble(i, kZezovuLatitude);
    SharedUtil::setDefaultInteger(i, KLocationCountSDK);
  }
  const auto cost = platform::CountedFiles::of(file) - before;
  EXPECT_EQ(cost.syncs, 0u);
  EXPECT_EQ(cost.bytes, 0u);
  // This process reads them at once, in every form of read.
  EXPECT_EQ(SharedUtil::getDefaultDouble(kZezovuLatitude), kWrites);
  EXPECT_EQ(suite->dictionaryRepresentation().count(KLocationCountSDK), 1u);
  const auto keys = suite->keys();
  EXPECT_EQ(std::count(keys.begin(), keys.end(), kZezovuLatitude), 1);

  // A durable write takes the values waiting along, in its one commit.
  SharedUtil::setDefaultString("tok-2", kSDKToken);
  EXPECT_EQ(doubleInFile(file, kZezovuLatitude), kWrites);
  EXPECT_EQ((platform::CountedFiles::of(file) - before).syncs, 1u);

  // Left alone, a lazy value reaches the file within the suite's delay.
  suite->setLazyDelay(std::chrono::milliseconds(300));
  SharedUtil::setDefaultDouble(-1, kZezovuLatitude);
  EXPECT_EQ(doubleInFile(file, kZezovuLatitude), kWrites);
  EXPECT_TRUE(test::waitFor([&] { return doubleInFile(file, kZezovuLatitude) == -1.0; }, 10s));
  suite->setLazyDelay(platform::SettingsSuite::kLazyDelay);

  // A removal is durable at once, also of a value that only waited.
  SharedUtil::setDefaultDouble(-2, kZezovuLatitude);
  SharedUtil::removeKey(kZezovuLatitude);
  EXPECT_FALSE(inFile(file, kZezovuLatitude));
  EXPECT_EQ(SharedUtil::getDefaultDouble(kZezovuLatitude), 0.0);
}

// A transaction is all or nothing for the lazy values too: one that fails
// leaves neither the durable nor the lazy values of its body behind, and the
// values that waited before it still wait.
TEST_F(LazySettingsTest, AFailedTransactionTakesItsLazyValuesBack) {
  const auto suite = SharedUtil::userDefaultValue();
  SharedUtil::setDefaultDouble(7, kZezovuLatitude);
  EXPECT_THROW(suite->transaction([&] {
    SharedUtil::setDefaultDouble(8, kZezovuLatitude);
    SharedUtil::setDefaultInteger(5, KLocationCountSDK);
    SharedUtil::setDefaultString("tok-in-failed", kSDKToken);
    throw std::runtime_error("the body fails");
  }),
               std::runtime_error);
  EXPECT_EQ(SharedUtil::getDefaultDouble(kZezovuLatitude), 7.0);
  EXPECT_FALSE(suite->contains(KLocationCountSDK));
  EXPECT_FALSE(suite->contains(kSDKToken));
  // What waited before still reaches the file with the next commit.
  SharedUtil::setDefaultString("tok-after", kSDKToken);
  EXPECT_EQ(doubleInFile(suite->path(), kZezovuLatitude), 7.0);
  EXPECT_FALSE(inFile(suite->path(), KLocationCountSDK));
}

// The host process of the test below: durable values, then a run of lazy
// ones, then its end (a kill, or a return through exit()).
TEST(LazySettingsWriter, WritesThenEnds) {
  const char* root = std::getenv(kRootVar);
  const char* end = std::getenv(kEndVar);
  if (!root || !end) GTEST_SKIP() << "runs only as the writer process of another test";
  test::startHostIn(root);
  TokenManager::setSdkToken("tok");
  TokenManager::setUserId("u1");
  for (int i = 1; i <= kWrites; ++i) {
    SharedUtil::setDefaultDouble(i, kZezovuLatitude);
    SharedUtil::setDefaultInteger(i, KLocationCountSDK);
  }
  if (std::string(end) == "kill") ::raise(SIGKILL);
  std::exit(0);
}

class LazySettingsEndTest : public test::KitTest {
 protected:
  // Runs the writer in `root` to `end`; its wait status.
  int runWriter(const std::string& root, const std::string& end) {
    const pid_t pid = test::spawnSelf({.test = "LazySettingsWriter.WritesThenEnds",
                                       .env = {std::string(kRootVar) + "=" + root, std::string(kEndVar) + "=" + end}});
    if (pid < 0) return -1;
    return test::waitForEnd(pid, 60s).status;
  }
};

TEST_F(LazySettingsEndTest, ACleanExitWritesEveryValueAndAKillKeepsTheDurableOnes) {
  for (const std::string end : {"exit", "kill"}) {
    SCOPED_TRACE(end);
    const std::string root = dir_.file(end);
    std::filesystem::create_directories(root);
    const int status = runWriter(root, end);
    if (end == "kill") {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    } else {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // The writer's settings file, as the next run finds it.
    std::string file;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.path().filename() == std::string(kUserDefaultsuiteName) + ".settings") file = entry.path().string();
      EXPECT_EQ(entry.path().string().find(".corrupt-"), std::string::npos) << entry.path();
    }
    ASSERT_FALSE(file.empty());
    const auto token = inFile(file, kSDKToken);
    const auto user = inFile(file, kUserId);
    ASSERT_TRUE(token && user);
    EXPECT_EQ(token->get<std::string>() ? *token->get<std::string>() : "", "tok");
    EXPECT_EQ(user->get<std::string>() ? *user->get<std::string>() : "", "u1");
    const auto latitude = doubleInFile(file, kZezovuLatitude);
    if (end == "exit") {
      EXPECT_EQ(latitude, kWrites);
      const auto count = inFile(file, KLocationCountSDK);
      EXPECT_EQ(count ? count->integerValue() : std::nullopt, kWrites);
    } else {
      // Killed: the lazy values may be older or missing, but are never damaged.
      EXPECT_LE(latitude.value_or(0), kWrites);
    }
  }
}

}  // namespace
}  // namespace pelk
