#include <algorithm>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <SQLiteCpp/SQLiteCpp.h>

#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "platform/Console.h"
#include "support/KitFixture.h"
#include "support/WaitFor.h"
#include "support/WalCommits.h"

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
  // The records in the settings once those still waiting are written.
  SettingValue::List records() {
    LoggerManager::flush();
    return storedRecords();
  }
  SettingValue::List storedRecords() {
    auto v = SharedUtil::userDefaultValue()->value(kSaveLocationServerLogs);
    if (!v || !v->get<SettingValue::List>()) return {};
    return *v->get<SettingValue::List>();
  }
  static std::string responseOf(const SettingValue& record) {
    const auto* dict = record.get<SettingValue::Dictionary>();
    if (!dict || !dict->count("response")) return "";
    const auto* text = dict->at("response").get<std::string>();
    return text ? *text : "";
  }
  static void log(const std::string& text) { LoggerManager::sharedInstance().writeLocationToFile(text); }
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
  // Entries longer than a pipe's atomic write reach the file whole; the log's
  // lock keeps each line whole, and keeps the lines and the records in one
  // order, also while the waiting records are written in between.
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  constexpr int kThreads = 6, kEntries = 8;
  auto text = [](int t, int i) {
    // Every other entry short, so that the record array holds many.
    return "thread " + std::to_string(t) + " entry " + std::to_string(i) + " " +
           std::string(i % 2 ? 20000 + 100 * i : 10, static_cast<char>('a' + t));
  };
  std::vector<std::function<void()>> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t, &text] {
      for (int i = 0; i < kEntries; ++i) LoggerManager::sharedInstance().writeLocationToFile(text(t, i));
    });
  }
  workers.emplace_back([] {
    for (int i = 0; i < 20; ++i) LoggerManager::flush();
  });
  test::allFinishOrDie(workers, "concurrent writers");

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEntries; ++i) expected.insert(text(t, i));
  }
  const auto l = lines();
  const auto r = records();
  ASSERT_EQ(l.size(), expected.size());
  std::set<std::string> seen;
  for (std::size_t n = 0; n < l.size(); ++n) {
    const std::string logged = l[n].size() > 27 ? l[n].substr(27) : "";
    EXPECT_EQ(expected.count(logged), 1u) << "line " << n << " is not one whole entry";
    seen.insert(logged);
  }
  EXPECT_EQ(seen, expected);
  // The records are the newest lines, in the file's order.  Three of the
  // longest entries (about 20 KB each) always fit the array's 64 KiB; a
  // fourth fits only when a short one is among the newest.
  ASSERT_GE(r.size(), 3u);
  ASSERT_LE(r.size(), l.size());
  for (std::size_t k = 1; k <= r.size(); ++k) {
    EXPECT_EQ(responseOf(r[r.size() - k]), l[l.size() - k].substr(27))
        << "record and line " << k << " from the end differ";
  }
}

// Something that is not a file where the log goes: the line is dropped and
// the caller goes on.  A pipe nobody reads must not block the line (and with
// it every thread that logs) in its open.
TEST_F(LoggerTest, UnwritableLogFileDropsTheLineQuietly) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  const std::string file = LoggerManager::fileUrl();
  const std::vector<std::pair<const char*, std::function<bool()>>> obstacles = {
      {"directory", [&] { return std::filesystem::create_directories(file); }},
      {"pipe", [&] { return ::mkfifo(file.c_str(), 0600) == 0; }},
  };
  std::size_t logged = 0;
  for (const auto& [what, make] : obstacles) {
    SCOPED_TRACE(what);
    std::filesystem::remove_all(file);
    ASSERT_TRUE(make());
    test::allFinishOrDie({[] { LoggerManager::sharedInstance().writeLocationToFile("dropped"); }},
                         "a line logged where a pipe is", std::chrono::seconds(20));
    EXPECT_EQ(records().size(), ++logged);
  }
}

// The log holds positions and server replies: like the kit's other files it is
// the user's alone, whatever the mode of a folder the host made beforehand,
// whatever the umask (one that takes the owner's write too must not leave a
// file the next line cannot open), and whatever mode a file of an earlier
// run was left with.
TEST_F(LoggerTest, LogFileIsPrivateWhateverTheFolderModeAndUmask) {
  const auto folder = std::filesystem::path(LoggerManager::fileUrl()).parent_path();
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    std::filesystem::remove(LoggerManager::fileUrl());
    const mode_t oldMask = ::umask(mask);
    log("position 52.5,13.4");
    log("position 52.6,13.5");
    ::umask(oldMask);
    EXPECT_EQ(mode(LoggerManager::fileUrl()), 0600u);
    EXPECT_EQ(lines().size(), 2u);
  }

  // A file an earlier run left readable by others.
  ASSERT_EQ(::chmod(LoggerManager::fileUrl().c_str(), 0644), 0);
  log("position 52.7,13.6");
  EXPECT_EQ(mode(LoggerManager::fileUrl()), 0600u);
  EXPECT_EQ(lines().size(), 3u);
}

// A line logged inside a settings transaction (the speed window logs its
// speeds from inside one) while another thread logs a reply: the two must
// never wait for each other's lock.
TEST_F(LoggerTest, LoggingInsideASettingsTransactionWhileAnotherThreadLogsNeverHangs) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  auto suite = SharedUtil::userDefaultValue();
  constexpr int kRounds = 300;
  test::allFinishOrDie({[&] {
                          for (int i = 0; i < kRounds; ++i) {
                            suite->transaction([&] {
                              SharedUtil::setDefaultInteger(i, "speedWindow");
                              log("Array Speed " + std::to_string(i));
                            });
                          }
                        },
                        [&] {
                          for (int i = 0; i < kRounds; ++i) log("REST reply " + std::to_string(i));
                        },
                        [&] {
                          for (int i = 0; i < kRounds / 10; ++i) LoggerManager::flush();
                        }},
                       "logging inside and outside settings transactions");
  EXPECT_EQ(lines().size(), 2u * kRounds);
  EXPECT_EQ(records().size(), LoggerManager::kMaxRecords);
}

// The record array keeps the newest records within its bounds, in the order
// they were logged, whatever an older build left under its key.
TEST_F(LoggerTest, RecordArrayKeepsTheNewestRecordsWithinItsBounds) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  const std::string longText(LoggerManager::kMaxRecordBytes / 8, 'r');
  struct Case {
    const char* what;
    std::size_t olderRecords;  // stored beforehand, as an older build left them
    std::size_t lines;
    std::string text;
    std::size_t kept;
  };
  const Case cases[] = {
      {"fewer than the bound", 0, 5, "short", 5},
      {"more than the bound", 0, LoggerManager::kMaxRecords + 50, "short", LoggerManager::kMaxRecords},
      {"older array far past the bound", 40000, 1, "short", LoggerManager::kMaxRecords},
      {"long texts reach the byte bound first", 0, 20, longText, 7},
      {"one text past the byte bound stays alone", 3, 1, std::string(2 * LoggerManager::kMaxRecordBytes, 'x'), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SettingValue::List older;
    for (std::size_t i = 0; i < c.olderRecords; ++i) {
      older.emplace_back(
          SettingValue::Dictionary{{"timeStamp", "2020-01-01 00:00:00"}, {"response", "older " + std::to_string(i)}});
    }
    SharedUtil::userDefaultValue()->set(kSaveLocationServerLogs, SettingValue(older));
    for (std::size_t i = 0; i < c.lines; ++i) log(std::to_string(i) + " " + c.text);

    const auto r = records();
    ASSERT_EQ(r.size(), c.kept);
    // The newest, in order: the last line logged last, older records before it.
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < c.olderRecords; ++i) expected.push_back("older " + std::to_string(i));
    for (std::size_t i = 0; i < c.lines; ++i) expected.push_back(std::to_string(i) + " " + c.text);
    expected.erase(expected.begin(), expected.end() - static_cast<std::ptrdiff_t>(c.kept));
    for (std::size_t n = 0; n < r.size(); ++n) EXPECT_EQ(responseOf(r[n]), expected[n]) << n;
  }
}

// A burst of lines costs one commit of the settings file, made without anyone
// asking for it soon after the burst; the file has every line at once.
TEST_F(LoggerTest, ABurstOfLinesReachesTheSettingsInOneCommit) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  const std::string file = SharedUtil::userDefaultValue()->path();
  const int before = test::walCommits(file);
  for (int i = 0; i < 50; ++i) log("burst " + std::to_string(i));
  EXPECT_EQ(lines().size(), 50u);
  ASSERT_TRUE(test::waitFor([&] { return storedRecords().size() == 50; }, std::chrono::seconds(20)));
  // The records are among the settings' lazy values: they reach the file
  // with the next write of those, together.
  SharedUtil::userDefaultValue()->writeLazyValues();
  EXPECT_EQ(test::walCommits(file) - before, 1);
  EXPECT_EQ(responseOf(storedRecords().back()), "burst 49");
}

// The file is moved aside before a line would take it past its bound; one
// previous file is kept, private like the first, and no line is lost across
// the move.
TEST_F(LoggerTest, FileIsRotatedAtItsBoundKeepingOnePreviousFile) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  const std::size_t lineBytes = LoggerManager::kMaxFileBytes / 10;
  const std::string body(lineBytes - 28 - 8, 'p');  // with the stamp, the blanks, the number and the line feed
  auto text = [&](int i) { return std::to_string(1000 + i) + " " + body; };
  auto sizeOf = [](const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? std::uintmax_t{0} : size;
  };
  // Ten lines fill the file; the eleventh starts a new one.
  for (int i = 0; i < 10; ++i) log(text(i));
  EXPECT_FALSE(std::filesystem::exists(LoggerManager::previousFileUrl()));
  log(text(10));
  ASSERT_TRUE(std::filesystem::exists(LoggerManager::previousFileUrl()));
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines().front().substr(27, 4), "1010");
  EXPECT_LE(sizeOf(LoggerManager::previousFileUrl()), LoggerManager::kMaxFileBytes);
  struct stat st {};
  ASSERT_EQ(::stat(LoggerManager::previousFileUrl().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Later rotations replace the previous file: two files at most.
  for (int i = 11; i < 35; ++i) log(text(i));
  EXPECT_LE(sizeOf(LoggerManager::fileUrl()), LoggerManager::kMaxFileBytes);
  EXPECT_LE(sizeOf(LoggerManager::previousFileUrl()), LoggerManager::kMaxFileBytes);
  const std::string previous = test::readFile(LoggerManager::previousFileUrl());
  const std::string current = test::readFile(LoggerManager::fileUrl());
  EXPECT_NE(previous.find(text(29)), std::string::npos);
  EXPECT_NE(current.find(text(34)), std::string::npos);
  EXPECT_EQ(std::count(previous.begin(), previous.end(), '\n') + std::count(current.begin(), current.end(), '\n'), 15);
  std::size_t files = 0;
  for (const auto& e :
       std::filesystem::directory_iterator(std::filesystem::path(LoggerManager::fileUrl()).parent_path())) {
    if (e.path().filename().string().rfind("Zezovu.log", 0) == 0) ++files;
  }
  EXPECT_EQ(files, 2u);
}

// A flush whose settings transaction fails puts its records back to wait.  A
// logout's reset of the waiting records that comes after the flush took them
// out, and before they are put back, drops them too: nothing logged before a
// logout comes back after it.
TEST_F(LoggerTest, RecordsOfAFailedFlushStayDroppedWhenALogoutResetCameBetween) {
  // The records are written at once here, as at exit (the settings' lazy
  // values are not lazy any more then), so that the flush itself can fail.
  SharedUtil::userDefaultValue()->setLazyKeys({});
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  log("before the logout");
  const std::string settings = SharedUtil::userDefaultValue()->path();
  // The settings refuse the record array, as a failing disk would: the
  // flush's transaction fails after it took the records.
  SQLite::Database(settings, SQLite::OPEN_READWRITE)
      .exec(
          "CREATE TRIGGER refuse BEFORE INSERT ON entries WHEN NEW.key = 'savelocationServerLogs' "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  {
    // The reset comes while the failed transaction is being reported.
    platform::Console::Capture console([](const std::string& line) {
      if (line.find("savelocationServerLogs") != std::string::npos) LoggerManager::discardWaiting();
    });
    LoggerManager::flush();
    ASSERT_FALSE(console.lines().empty()) << "the flush did not fail";
  }
  SQLite::Database(settings, SQLite::OPEN_READWRITE).exec("DROP TRIGGER refuse");
  log("after the logout");
  const auto stored = records();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(responseOf(stored[0]), "after the logout");
}
