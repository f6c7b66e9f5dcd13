#include <filesystem>
#include <sys/stat.h>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "support/KitFixture.h"

using namespace pelk;
using platform::SettingValue;

namespace {

class LoggerTest : public test::SettingsTest {
 protected:
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    std::stringstream ss(test::readFile(LoggerManager::fileUrl()));
    for (std::string line; std::getline(ss, line);) out.push_back(line);
    return out;
  }
  SettingValue::List records() {
    auto v = SharedUtil::userDefaultValue()->value(kSaveLocationServerLogs);
    if (!v || !v->get<SettingValue::List>()) return {};
    return *v->get<SettingValue::List>();
  }
};

}  // namespace

TEST_F(LoggerTest, NothingIsWrittenWhileLoggingIsOffOrTheTextIsEmpty) {
  LoggerManager::sharedInstance().writeLocationToFile("absent switch");
  SharedUtil::setDefaultBoolean(false, kLoggingEnabled);
  LoggerManager::sharedInstance().writeLocationToFile("switched off");
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  LoggerManager::sharedInstance().writeLocationToFile("");
  EXPECT_FALSE(std::filesystem::exists(LoggerManager::fileUrl()));
  EXPECT_TRUE(records().empty());
}

TEST_F(LoggerTest, EachEntryIsOneLineAndOneRecord) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  LoggerManager::sharedInstance().writeLocationToFile("abc");
  ASSERT_EQ(lines().size(), 1u);
  LoggerManager::sharedInstance().writeLocationToFile("second");

  const auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  const std::regex form(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} {8}abc)");
  EXPECT_TRUE(std::regex_match(l[0], form)) << l[0];
  EXPECT_EQ(l[0].size() + 1, 31u);  // the stamp, eight blanks, abc and the line feed
  EXPECT_EQ(l[1].substr(27), "second");

  const auto r = records();
  ASSERT_EQ(r.size(), 2u);
  const auto* first = r[0].get<SettingValue::Dictionary>();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->at("response"), SettingValue("abc"));
  EXPECT_EQ(first->at("timeStamp").get<std::string>()->size(), 19u);
}

TEST_F(LoggerTest, ValueOfAnotherFormUnderTheRecordKeyIsReplaced) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  SharedUtil::setDefaultString("not a list", kSaveLocationServerLogs);
  LoggerManager::sharedInstance().writeLocationToFile("x");
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(LoggerTest, ConcurrentWritersLoseNoLineAndNoRecord) {
  // Entries longer than the file stream's buffer reach the file in more than
  // one write; the writers' lock keeps each line whole, and keeps the lines
  // and the records in one order.
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  constexpr int kThreads = 6, kEntries = 8;
  auto text = [](int t, int i) {
    return "thread " + std::to_string(t) + " entry " + std::to_string(i) + " " +
           std::string(20000 + 100 * i, static_cast<char>('a' + t));
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &text] {
      for (int i = 0; i < kEntries; ++i) LoggerManager::sharedInstance().writeLocationToFile(text(t, i));
    });
  }
  for (auto& th : threads) th.join();

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEntries; ++i) expected.insert(text(t, i));
  }
  const auto l = lines();
  const auto r = records();
  ASSERT_EQ(l.size(), expected.size());
  ASSERT_EQ(r.size(), expected.size());
  std::set<std::string> seen;
  for (std::size_t n = 0; n < l.size(); ++n) {
    const std::string logged = l[n].size() > 27 ? l[n].substr(27) : "";
    EXPECT_EQ(expected.count(logged), 1u) << "line " << n << " is not one whole entry";
    seen.insert(logged);
    const auto* record = r[n].get<SettingValue::Dictionary>();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->at("response"), SettingValue(logged)) << "line and record " << n << " differ";
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(LoggerTest, UnwritableLogFileDropsTheLineQuietly) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  std::filesystem::create_directories(LoggerManager::fileUrl());  // a directory where the file goes
  LoggerManager::sharedInstance().writeLocationToFile("dropped");
  EXPECT_EQ(records().size(), 1u);
}

// The log holds positions and server replies: like the kit's other files it is
// the user's alone, whatever the mode of a folder the host made beforehand.
TEST_F(LoggerTest, LogFileIsPrivateWhateverTheFolderModeAndUmask) {
  const auto folder = std::filesystem::path(LoggerManager::fileUrl()).parent_path();
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  const mode_t oldMask = ::umask(022);
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  LoggerManager::sharedInstance().writeLocationToFile("position 52.5,13.4");
  ::umask(oldMask);
  struct stat st {};
  ASSERT_EQ(::stat(LoggerManager::fileUrl().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(lines().size(), 1u);

  // A file an earlier run left readable by others.
  ASSERT_EQ(::chmod(LoggerManager::fileUrl().c_str(), 0644), 0);
  LoggerManager::sharedInstance().writeLocationToFile("position 52.6,13.5");
  ASSERT_EQ(::stat(LoggerManager::fileUrl().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(lines().size(), 2u);
}
