#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include <sys/wait.h>
#include <unistd.h>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"
#include "support/TestEnvironment.h"

using namespace pelk::platform;
using pelk::test::TempDir;

namespace {

struct RoundTrip {
  const char* name;
  SettingValue value;
};

}  // namespace

TEST(SettingsSuite, EveryKindReadsBackExactly) {
  TempDir dir;
  const auto when = Clock::fromSecondsSince1970(1'700'000'000.123);
  const std::vector<RoundTrip> cases = {
      {"text", SettingValue("héllo \"quoted\"")},
      {"empty", SettingValue("")},
      {"int", SettingValue(std::int64_t{-9'000'000'000})},
      {"double", SettingValue(2.5)},
      {"inf", SettingValue(std::numeric_limits<double>::infinity())},
      {"bool", SettingValue(false)},
      {"date", SettingValue(when)},
      {"data", SettingValue(Bytes{0x00, 0xff, 0x10})},
      {"list", SettingValue(SettingValue::List{SettingValue("a"), SettingValue(1), SettingValue(true)})},
      {"dict", SettingValue(SettingValue::Dictionary{{"k", SettingValue(1.5)},
                                                     {"nested", SettingValue(SettingValue::List{})}})},
  };
  const std::string path = dir.file("suite.settings");
  {
    auto suite = SettingsSuite::atPath(path);
    for (const auto& c : cases) suite->set(c.name, c.value);
    suite->set("nan", SettingValue(std::nan("")));
  }
  {
    // Reads go to the file each time; the process test below covers a fresh connection.
    auto suite = SettingsSuite::atPath(path);
    for (const auto& c : cases) {
      auto v = suite->value(c.name);
      ASSERT_TRUE(v) << c.name;
      EXPECT_EQ(*v, c.value) << c.name;
    }
    auto nan = suite->value("nan");
    ASSERT_TRUE(nan && nan->get<double>());
    EXPECT_TRUE(std::isnan(*nan->get<double>()));
  }
}

TEST(SettingsSuite, OneSharedObjectPerNameAndRemoval) {
  TempDir dir;
  Paths::setRoot(dir.path());
  auto a = SettingsSuite::named("suite-a");
  EXPECT_EQ(a, SettingsSuite::named("suite-a"));
  EXPECT_NE(a, SettingsSuite::named("suite-b"));
  EXPECT_EQ(a->path(), dir.path() + "/Preferences/suite-a.settings");

  a->set("x", SettingValue(1));
  a->set("y", SettingValue(2));
  a->remove("x");
  EXPECT_FALSE(a->contains("x"));
  EXPECT_EQ(a->dictionaryRepresentation().size(), 1u);
  Paths::setRoot(std::nullopt);
}

TEST(SettingsSuite, ReadsConvertLikeAPropertyListReader) {
  struct Case {
    SettingValue v;
    std::optional<std::int64_t> i;
    std::optional<double> d;
    std::optional<bool> b;
  };
  const std::vector<Case> cases = {
      {SettingValue(7.9), 7, 7.9, true},
      {SettingValue(std::int64_t{0}), 0, 0.0, false},
      {SettingValue(true), 1, 1.0, true},
      {SettingValue("42"), 42, 42.0, true},
      {SettingValue("no"), std::nullopt, std::nullopt, false},
      {SettingValue(SettingValue::List{}), std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.v.integerValue(), c.i);
    EXPECT_EQ(c.v.doubleValue(), c.d);
    EXPECT_EQ(c.v.boolValue(), c.b);
  }
}

TEST(SettingsSuite, UnreadableFileIsMovedAsideAndTheSuiteStartsEmpty) {
  TempDir dir;
  const std::string path = dir.file("broken.settings");
  pelk::test::writeFile(path, std::string(4096, 'x'));
  Console::Capture console;

  auto suite = SettingsSuite::atPath(path);
  EXPECT_FALSE(suite->contains("anything"));
  suite->set("k", SettingValue("v"));
  EXPECT_EQ(suite->value("k"), SettingValue("v"));

  bool movedAside = false;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    movedAside |= e.path().filename().string().rfind("broken.settings.corrupt-", 0) == 0;
  }
  EXPECT_TRUE(movedAside);
  ASSERT_FALSE(console.lines().empty());
  EXPECT_NE(console.lines().front().find("moved"), std::string::npos);
}

TEST(SettingsSuite, SuiteThatCannotOpenDegradesAndRecoversLater) {
  TempDir dir;
  const std::string path = dir.file("blocked.settings");
  std::filesystem::create_directory(path);  // a directory where the file should be
  Console::Capture console;

  auto suite = SettingsSuite::atPath(path);
  suite->set("k", SettingValue(1));  // dropped, with a log line
  EXPECT_FALSE(suite->value("k"));
  EXPECT_TRUE(suite->dictionaryRepresentation().empty());
  EXPECT_FALSE(console.lines().empty());

  std::filesystem::remove(path);
  suite->set("k", SettingValue(2));  // opening is retried on the next use
  EXPECT_EQ(suite->value("k"), SettingValue(2));
}

TEST(SettingsSuite, TransactionMakesReadModifyWriteAtomicAcrossThreads) {
  TempDir dir;
  auto suite = SettingsSuite::atPath(dir.file("counter.settings"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        suite->transaction([&] {
          const auto n = suite->value("n").value_or(SettingValue(0)).integerValue().value_or(0);
          suite->set("n", SettingValue(n + 1));
        });
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(suite->value("n"), SettingValue(100));
}

// A value written by one process is read by the next: this test starts a
// second process (this program, running only the writer below).
TEST(SettingsSuite, ValueWrittenByOneProcessIsReadByTheNext) {
  TempDir dir;
  const std::string path = dir.file("shared.settings");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("PELK_SETTINGS_WRITER_PATH", path.c_str(), 1);
    ::execl("/proc/self/exe", "settings-writer", "--gtest_filter=SettingsSuiteWriter.WritesWhenAsked",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  auto suite = SettingsSuite::atPath(path);
  EXPECT_EQ(suite->value("written.by"), SettingValue("the other process"));
  EXPECT_EQ(suite->value("count"), SettingValue(3));
}

TEST(SettingsSuiteWriter, WritesWhenAsked) {
  const char* path = std::getenv("PELK_SETTINGS_WRITER_PATH");
  if (!path) GTEST_SKIP() << "runs only as the writer process of another test";
  auto suite = SettingsSuite::atPath(path);
  suite->set("written.by", SettingValue("the other process"));
  suite->set("count", SettingValue(3));
}

namespace {

// The stored byte form of a list nested `depth` deep, written as the suite would.
std::string nestedListBytes(int depth) {
  SettingValue v(std::string("leaf"));
  for (int i = 1; i < depth; ++i) v = SettingValue(SettingValue::List{v});
  return v.encode();
}

void putRawRow(const std::string& path, const std::string& key, const std::string& bytes) {
  SQLite::Database raw(path, SQLite::OPEN_READWRITE);
  SQLite::Statement q(raw, "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?, 6, ?)");
  q.bind(1, key);
  q.bind(2, bytes.data(), static_cast<int>(bytes.size()));
  q.exec();
}

}  // namespace

TEST(SettingsSuite, ValueNestedPastTheLimitReadsAsAbsentWithALine) {
  TempDir dir;
  const std::string path = dir.file("deep.settings");
  auto suite = SettingsSuite::atPath(path);
  suite->set("k", SettingValue(1));
  // 100 000 nested lists in the stored form, as a damaged or hostile file may hold.
  putRawRow(path, "hostile", std::string(100000, '\x81') + std::string("\x82\x61s\x60", 4));
  putRawRow(path, "atLimit", nestedListBytes(SettingValue::kMaxDepth));
  putRawRow(path, "pastLimit", nestedListBytes(SettingValue::kMaxDepth + 1));

  {
    Console::Capture console;
    EXPECT_FALSE(suite->value("hostile"));
    EXPECT_FALSE(suite->value("pastLimit"));
    EXPECT_EQ(console.lines().size(), 2u);
  }
  ASSERT_TRUE(suite->value("atLimit"));
  EXPECT_EQ(suite->value("atLimit")->depth(), SettingValue::kMaxDepth);
  EXPECT_EQ(suite->dictionaryRepresentation().size(), 2u) << "k and atLimit";
  EXPECT_EQ(suite->keys().size(), 4u);

  // What could not be read back is not written either.
  const SettingValue atLimit = *suite->value("atLimit");
  suite->set("tooDeep", atLimit);
  Console::Capture console;
  suite->set("tooDeep", SettingValue(SettingValue::List{atLimit}));
  EXPECT_EQ(suite->value("tooDeep")->depth(), SettingValue::kMaxDepth) << "the deeper value was refused";
  EXPECT_EQ(console.lines().size(), 1u);
}

TEST(SettingsSuite, DamageAfterOpenOrAnotherTableShapeIsMovedAsideLikeDamageAtOpen) {
  for (const bool otherShape : {false, true}) {
    SCOPED_TRACE(otherShape ? "table of another shape" : "pages overwritten while open");
    TempDir dir;
    const std::string path = dir.file("kit.settings");
    if (otherShape) {
      SQLite::Database raw(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
      raw.exec("CREATE TABLE entries (key TEXT PRIMARY KEY, value TEXT)");
      raw.exec("INSERT INTO entries VALUES ('SDKToken', 'tok-1')");
    }
    auto suite = SettingsSuite::atPath(path);
    if (!otherShape) {
      suite->set("SDKToken", SettingValue("tok-1"));
      for (int i = 0; i < 300; ++i) suite->set("filler." + std::to_string(i), SettingValue(std::string(100, 'f')));
      SQLite::Database other(path, SQLite::OPEN_READWRITE);
      other.exec("PRAGMA wal_checkpoint(TRUNCATE)");
      std::FILE* f = std::fopen(path.c_str(), "r+b");
      ASSERT_NE(f, nullptr);
      const std::string junk(8 * 4096, '\x5a');
      std::fseek(f, 4096, SEEK_SET);
      std::fwrite(junk.data(), 1, junk.size(), f);
      std::fclose(f);
      other.exec("PRAGMA user_version = 7");  // the suite's connection drops its cached pages
    }
    Console::Capture console;
    // A logout-like reset: every key removed in one transaction, else one by one.
    auto removeAll = [&] {
      for (const auto& key : suite->keys()) suite->remove(key);
    };
    if (!suite->transaction(removeAll)) removeAll();
    EXPECT_FALSE(suite->value("SDKToken"));
    EXPECT_LE(console.lines().size(), 4u) << "no line per key";
    suite->set("after", SettingValue(1));
    EXPECT_EQ(suite->value("after"), SettingValue(1));
    bool aside = false;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      aside |= e.path().filename().string().rfind("kit.settings.corrupt-", 0) == 0;
    }
    EXPECT_TRUE(aside);
  }
}
