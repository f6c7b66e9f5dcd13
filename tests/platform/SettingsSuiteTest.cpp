#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Database.h"
#include "platform/Paths.h"
#include "platform/SettingsSuite.h"
#include "support/TestEnvironment.h"
#include "support/WalCommits.h"

using namespace pelk::platform;
using pelk::test::logCanBeEmptied;
using pelk::test::TempDir;

namespace pelk::platform {
// Values in failure messages as JSON rather than bytes.
void PrintTo(const SettingValue& v, std::ostream* os) { *os << v.toJson().dump(); }
}  // namespace pelk::platform

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
      {"dict", SettingValue(
                   SettingValue::Dictionary{{"k", SettingValue(1.5)}, {"nested", SettingValue(SettingValue::List{})}})},
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
  // One object per file however its path is spelled: two would each keep a
  // memory that misses the other's writes.
  EXPECT_EQ(a, SettingsSuite::atPath(dir.path() + "/Preferences/../Preferences/./suite-a.settings"));

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
  // Nobody gets an answer from a settings write: the host hears of it at Error level.
  EXPECT_EQ(console.lines(Console::Level::Error), console.lines());

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

// A suite file of today's shape short of the column that records each
// value's kind: its keys and values are all there, so it keeps them.
TEST(SettingsSuite, FileWithoutTheKindColumnKeepsItsValues) {
  TempDir dir;
  const std::string path = dir.file("earlier.settings");
  {
    auto suite = SettingsSuite::atPath(path);
    suite->set("SDKToken", SettingValue("tok-1"));
    suite->set("switches", SettingValue(SettingValue::List{SettingValue(true), SettingValue(7)}));
  }
  {
    // The suite object stays registered for the process; its connection is
    // what goes, and the next use opens the file as it is now.
    SQLite::Database raw(path, SQLite::OPEN_READWRITE);
    raw.exec("ALTER TABLE entries DROP COLUMN kind");
  }
  Database::atPath(path, nullptr)->close();
  auto suite = SettingsSuite::atPath(path);
  suite->set("after", SettingValue(1));  // a write opens the file again
  EXPECT_EQ(suite->value("SDKToken"), SettingValue("tok-1"));
  EXPECT_EQ(suite->value("switches"), SettingValue(SettingValue::List{SettingValue(true), SettingValue(7)}));
  EXPECT_EQ(suite->value("after"), SettingValue(1));
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path();
  }
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

namespace {

// One change of the script two processes play on one suite file: a value
// written, or (no value) the key removed.
struct Change {
  const char* key;
  std::optional<SettingValue> value;
};

const std::vector<Change>& script() {
  static const std::vector<Change> changes = {
      {"a", SettingValue(1)},
      {"b", SettingValue("text")},
      {"a", SettingValue(2)},  // same size as the value it replaces
      {"c", SettingValue(SettingValue::Dictionary{{"k", SettingValue(1.5)}})},
      {"b", std::nullopt},
      {"a", SettingValue(std::string(5000, 'x'))},
      {"c", std::nullopt},
      {"b", SettingValue(false)},
  };
  return changes;
}

void apply(SettingsSuite& suite, const Change& c) {
  if (c.value) {
    suite.set(c.key, *c.value);
  } else {
    suite.remove(c.key);
  }
}

void change(std::map<std::string, SettingValue>& entries, const Change& c) {
  if (c.value) {
    entries.insert_or_assign(c.key, *c.value);
  } else {
    entries.erase(c.key);
  }
}

// Empty when the suite reads exactly `expected`, else what differs.
std::string differences(SettingsSuite& suite, const std::map<std::string, SettingValue>& expected) {
  std::string out;
  for (const char* key : {"a", "b", "c"}) {
    const auto it = expected.find(key);
    const auto want = it == expected.end() ? std::nullopt : std::optional<SettingValue>(it->second);
    if (suite.value(key) != want) out += std::string(" value of ") + key;
  }
  if (suite.dictionaryRepresentation() != expected) out += " dictionary";
  if (suite.keys().size() != expected.size()) out += " keys";
  return out;
}

bool sendByte(int fd, char c) { return ::write(fd, &c, 1) == 1; }

char receiveByte(int fd) {
  char c = 0;
  return ::read(fd, &c, 1) == 1 ? c : '\0';
}

}  // namespace

// Each process holds its suite, with its memory loaded, while the other one
// changes the file: every change is seen at the next read, both ways round.
// The peer is this program again, running only the test below.
TEST(SettingsSuite, MemoryStaysTrueWhileAnotherProcessWrites) {
  TempDir dir;
  const std::string path = dir.file("shared.settings");
  int toPeer[2], fromPeer[2];
  ASSERT_EQ(::pipe(toPeer), 0);
  ASSERT_EQ(::pipe(fromPeer), 0);
  auto suite = SettingsSuite::atPath(path);
  suite->set("warm", SettingValue(0));
  suite->remove("warm");
  ASSERT_TRUE(suite->keys().empty());

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string fds = std::to_string(toPeer[0]) + " " + std::to_string(fromPeer[1]);
    ::setenv("PELK_SETTINGS_PEER_PATH", path.c_str(), 1);
    ::setenv("PELK_SETTINGS_PEER_FDS", fds.c_str(), 1);
    ::execl("/proc/self/exe", "settings-peer", "--gtest_filter=SettingsSuitePeer.PlaysTheScript",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toPeer[0]);
  ::close(fromPeer[1]);

  // The peer writes; this process reads after each change.
  std::map<std::string, SettingValue> expected;
  for (const auto& c : script()) {
    SCOPED_TRACE(std::string("peer changed ") + c.key);
    ASSERT_EQ(receiveByte(fromPeer[0]), 'w');
    change(expected, c);
    EXPECT_EQ(differences(*suite, expected), "");
    ASSERT_TRUE(sendByte(toPeer[1], 'r'));
  }
  // This process writes; the peer reads after each change and answers.
  for (const auto& c : script()) {
    SCOPED_TRACE(std::string("this process changed ") + c.key);
    apply(*suite, c);
    ASSERT_TRUE(sendByte(toPeer[1], 'w'));
    EXPECT_EQ(receiveByte(fromPeer[0]), '1') << "the peer read something else";
  }
  ::close(toPeer[1]);
  ::close(fromPeer[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SettingsSuitePeer, PlaysTheScript) {
  const char* path = std::getenv("PELK_SETTINGS_PEER_PATH");
  const char* fds = std::getenv("PELK_SETTINGS_PEER_FDS");
  if (!path || !fds) GTEST_SKIP() << "runs only as the peer process of another test";
  int in = -1, out = -1;
  ASSERT_EQ(std::sscanf(fds, "%d %d", &in, &out), 2);
  auto suite = SettingsSuite::atPath(path);
  ASSERT_TRUE(suite->keys().empty());
  std::map<std::string, SettingValue> expected;
  for (const auto& c : script()) {
    apply(*suite, c);
    change(expected, c);
    ASSERT_TRUE(sendByte(out, 'w'));
    ASSERT_EQ(receiveByte(in), 'r');
  }
  // The other process plays the script again, from where this one left the file.
  for (const auto& c : script()) {
    ASSERT_EQ(receiveByte(in), 'w');
    change(expected, c);
    const std::string diff = differences(*suite, expected);
    EXPECT_EQ(diff, "") << "after the other process changed " << c.key;
    ASSERT_TRUE(sendByte(out, diff.empty() ? '1' : '0'));
  }
}

namespace {

// A suite file written by another program: `entries` in the suite's table shape.
void writeSuiteFile(const std::string& path, const std::map<std::string, SettingValue>& entries) {
  SQLite::Database raw(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  raw.exec("CREATE TABLE entries (key TEXT PRIMARY KEY NOT NULL, kind INTEGER NOT NULL, value BLOB NOT NULL)");
  for (const auto& [key, v] : entries) {
    SQLite::Statement q(raw, "INSERT INTO entries (key, kind, value) VALUES (?, ?, ?)");
    const std::string bytes = v.encode();
    q.bind(1, key);
    q.bind(2, static_cast<int>(v.kind()));
    q.bind(3, bytes.data(), static_cast<int>(bytes.size()));
    q.exec();
  }
}

std::optional<std::int64_t> rawInteger(const std::string& path, const std::string& key) {
  SQLite::Database raw(path, SQLite::OPEN_READONLY);
  SQLite::Statement q(raw, "SELECT value FROM entries WHERE key = ?");
  q.bind(1, key);
  if (!q.executeStep()) return std::nullopt;
  const auto v = SettingValue::decode(std::string(static_cast<const char*>(q.getColumn(0).getBlob()),
                                                  static_cast<std::size_t>(q.getColumn(0).getBytes())));
  return v ? v->integerValue() : std::nullopt;
}

}  // namespace

TEST(SettingsSuite, TransactionThatFailsLeavesNothingInMemoryThatTheFileLacks) {
  const SettingValue tooDeep = [] {
    SettingValue v(1);
    for (int i = 0; i < SettingValue::kMaxDepth; ++i) v = SettingValue(SettingValue::List{v});
    return v;
  }();
  struct Case {
    const char* name;
    std::function<void(SettingsSuite&)> failure;
  };
  const std::vector<Case> cases = {
      {"a write inside is refused", [&](SettingsSuite& s) { s.set("other", tooDeep); }},
      {"the body throws", [](SettingsSuite&) { throw std::runtime_error("caller gave up"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("kit.settings");
    auto suite = SettingsSuite::atPath(path);
    suite->set("n", SettingValue(1));
    Console::Capture console;
    bool committed = true;
    try {
      committed = suite->transaction([&] {
        suite->set("n", SettingValue(2));
        suite->set("added", SettingValue(3));
        EXPECT_EQ(suite->value("n"), SettingValue(2)) << "the transaction reads its own writes";
        c.failure(*suite);
      });
    } catch (const std::runtime_error&) {
      committed = false;
    }
    EXPECT_FALSE(committed);
    EXPECT_EQ(rawInteger(path, "n"), 1);
    EXPECT_EQ(suite->value("n"), SettingValue(1));
    EXPECT_FALSE(suite->value("added"));
    EXPECT_EQ(suite->keys(), std::vector<std::string>{"n"});
  }
}

TEST(SettingsSuite, ReadsFollowTheFileWhenItIsReplacedDeletedOrWrittenBehindTheSuite) {
  enum class What { Replaced, Deleted, WrittenByAnotherConnection };
  const std::pair<What, const char*> cases[] = {{What::Replaced, "replaced by another file"},
                                                {What::Deleted, "deleted"},
                                                {What::WrittenByAnotherConnection, "written by another connection"}};
  for (const auto& [what, name] : cases) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string path = dir.file("kit.settings");
    auto suite = SettingsSuite::atPath(path);
    suite->set("n", SettingValue(1));
    suite->set("old", SettingValue("kept only in the first file"));
    ASSERT_EQ(suite->value("n"), SettingValue(1));

    std::map<std::string, SettingValue> now;
    if (what == What::Replaced) {
      now = {{"n", SettingValue(7)}, {"new", SettingValue("from the other file")}};
      writeSuiteFile(dir.file("other.settings"), now);
      std::filesystem::rename(dir.file("other.settings"), path);
    } else if (what == What::Deleted) {
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    } else {
      now = {{"n", SettingValue(5)}};
      SQLite::Database raw(path, SQLite::OPEN_READWRITE);
      raw.exec("DELETE FROM entries WHERE key = 'old'");
      SQLite::Statement q(raw, "UPDATE entries SET value = ? WHERE key = 'n'");
      const std::string five = SettingValue(5).encode();
      q.bind(1, five.data(), static_cast<int>(five.size()));
      q.exec();
    }
    Console::Capture console;
    // First a read-modify-write, with the memory still warm from before: it
    // reads what the file holds now.
    EXPECT_TRUE(suite->transaction([&] {
      suite->set("n", SettingValue(suite->value("n").value_or(SettingValue(0)).integerValue().value_or(0) + 1));
    }));
    const std::int64_t n = (now.count("n") ? *now.at("n").integerValue() : 0) + 1;
    EXPECT_EQ(rawInteger(path, "n"), n);
    now.insert_or_assign("n", SettingValue(n));
    EXPECT_EQ(suite->dictionaryRepresentation(), now);
    EXPECT_EQ(suite->value("n"), SettingValue(n));
    EXPECT_FALSE(suite->value("old"));
  }
}

namespace {
constexpr int kFreshFileWrites = 40;
}  // namespace

// Two host processes with the same app id start at once on a fresh settings
// file: both create it, switch it to its log mode and write.  Neither may lose
// a write (nor a read) while the other holds the file for its set-up.  The
// peers are this program again, running only the writer below; the race is
// played on several fresh files.
TEST(SettingsSuite, TwoProcessesStartingOnOneFreshFileLoseNoWrite) {
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempDir dir;
    const std::string path = dir.file("fresh.settings");
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> peers;
    for (const char* tag : {"a", "b"}) {
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(go[1]);
        ::setenv("PELK_FRESH_PEER_PATH", path.c_str(), 1);
        ::setenv("PELK_FRESH_PEER_TAG", tag, 1);
        ::setenv("PELK_FRESH_PEER_GO", std::to_string(go[0]).c_str(), 1);
        ::execl("/proc/self/exe", "fresh-peer", "--gtest_filter=SettingsSuiteFreshPeer.WritesOnceToldToGo",
                static_cast<char*>(nullptr));
        ::_exit(127);
      }
      peers.push_back(pid);
    }
    ::close(go[0]);
    // Both peers are started (the exec is slower than this); closing the pipe
    // lets them go at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ::close(go[1]);
    for (pid_t pid : peers) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0) << "a peer lost a write or a read";
    }
    auto suite = SettingsSuite::atPath(path);
    for (const char* tag : {"a", "b"}) {
      for (int i = 0; i < kFreshFileWrites; ++i) {
        const std::string key = std::string(tag) + "." + std::to_string(i);
        EXPECT_EQ(suite->value(key), SettingValue(i)) << key;
      }
    }
  }
}

TEST(SettingsSuiteFreshPeer, WritesOnceToldToGo) {
  const char* path = std::getenv("PELK_FRESH_PEER_PATH");
  const char* tag = std::getenv("PELK_FRESH_PEER_TAG");
  const char* go = std::getenv("PELK_FRESH_PEER_GO");
  if (!path || !tag || !go) GTEST_SKIP() << "runs only as a peer process of another test";
  char byte;
  while (::read(std::atoi(go), &byte, 1) > 0) {
  }
  Console::Capture console;
  auto suite = SettingsSuite::atPath(path);
  for (int i = 0; i < kFreshFileWrites; ++i) {
    suite->set(std::string(tag) + "." + std::to_string(i), SettingValue(i));
    // A read between the writes, as a host's log switch is read before each line.
    suite->value("other");
  }
  EXPECT_EQ(console.lines(), std::vector<std::string>{});
}

// What the memory of a suite could get wrong when the file, a second
// connection or the caller does something unexpected.

// Another connection drops the table the kept statements were made for and
// makes it again with its columns in another order: the kept statements
// answer from the new table, not from what they were prepared against.
TEST(SettingsSuiteMemory, TableRemadeByAnotherConnectionIsReadAsItIsNow) {
  TempDir dir;
  const std::string path = dir.file("kit.settings");
  auto suite = SettingsSuite::atPath(path);
  suite->set("n", SettingValue(1));
  suite->set("gone", SettingValue(2));
  ASSERT_EQ(suite->value("n"), SettingValue(1));
  {
    SQLite::Database raw(path, SQLite::OPEN_READWRITE);
    raw.exec("DROP TABLE entries");
    raw.exec("CREATE TABLE entries (value BLOB NOT NULL, kind INTEGER NOT NULL, key TEXT PRIMARY KEY NOT NULL)");
    SQLite::Statement q(raw, "INSERT INTO entries (key, kind, value) VALUES ('n', ?, ?)");
    const std::string seven = SettingValue(7).encode();
    q.bind(1, static_cast<int>(SettingValue(7).kind()));
    q.bind(2, seven.data(), static_cast<int>(seven.size()));
    q.exec();
  }
  EXPECT_EQ(suite->value("n"), SettingValue(7));
  EXPECT_FALSE(suite->value("gone"));
  suite->set("m", SettingValue(3));
  EXPECT_EQ(suite->keys(), (std::vector<std::string>{"m", "n"}));
  EXPECT_TRUE(logCanBeEmptied(path));
}

// A nested transaction whose body throws, caught by the outer body, which
// then goes on writing: the whole is refused, and neither the file nor the
// memory keeps any of it.
TEST(SettingsSuiteMemory, InnerTransactionThrowingDoomsTheOuterOneInFileAndMemory) {
  TempDir dir;
  const std::string path = dir.file("kit.settings");
  auto suite = SettingsSuite::atPath(path);
  suite->set("a", SettingValue(1));
  Console::Capture console;
  const bool committed = suite->transaction([&] {
    suite->set("a", SettingValue(2));
    try {
      suite->transaction([&] {
        suite->set("b", SettingValue(3));
        throw std::runtime_error("inner body gave up");
      });
    } catch (const std::runtime_error&) {
    }
    suite->set("c", SettingValue(4));
    EXPECT_EQ(suite->value("c"), SettingValue(4));
  });
  EXPECT_FALSE(committed);
  EXPECT_EQ(suite->dictionaryRepresentation(), (std::map<std::string, SettingValue>{{"a", SettingValue(1)}}));
  suite.reset();
  // What a fresh reader of the file finds.
  SQLite::Database raw(path, SQLite::OPEN_READONLY);
  EXPECT_EQ(raw.execAndGet("SELECT group_concat(key) FROM entries").getString(), "a");
}

// A write the file refuses while the memory is warm (here: longer than the
// connection allows), alone and inside a transaction after writes that went
// in: later reads answer what the file holds, not what was asked for.
TEST(SettingsSuiteMemory, WriteRefusedByTheFileIsNotReadBack) {
  TempDir dir;
  const std::string path = dir.file("kit.settings");
  auto suite = SettingsSuite::atPath(path);
  suite->set("n", SettingValue(1));
  ASSERT_EQ(suite->value("n"), SettingValue(1));
  ASSERT_TRUE(Database::atPath(path, nullptr)->write([](SQLite::Database& c) {
    sqlite3_limit(c.getHandle(), SQLITE_LIMIT_LENGTH, 1000);
  }));
  const SettingValue tooLong(std::string(5000, 'x'));
  Console::Capture console;
  suite->set("n", tooLong);
  suite->set("added", tooLong);
  EXPECT_EQ(suite->value("n"), SettingValue(1));
  EXPECT_FALSE(suite->value("added"));
  EXPECT_FALSE(suite->transaction([&] {
    suite->set("n", SettingValue(2));
    suite->set("other", SettingValue(3));
    suite->set("added", tooLong);
  }));
  EXPECT_EQ(suite->dictionaryRepresentation(), (std::map<std::string, SettingValue>{{"n", SettingValue(1)}}));
}

// Two suite objects on one file through two names (a link), so two
// connections, as two processes would have: read-modify-writes on both at
// once lose no update, and each sees the other's last one.
TEST(SettingsSuiteMemory, TwoConnectionsIncrementingOneKeyLoseNothing) {
  TempDir dir;
  const std::string path = dir.file("kit.settings");
  std::filesystem::create_symlink(path, dir.file("link.settings"));
  auto a = SettingsSuite::atPath(path);
  a->set("n", SettingValue(0));
  auto b = SettingsSuite::atPath(dir.file("link.settings"));
  ASSERT_NE(a, b);
  ASSERT_EQ(b->value("n"), SettingValue(0));
  constexpr int kEach = 150;
  auto increment = [](SettingsSuite& s) {
    for (int i = 0; i < kEach; ++i) {
      EXPECT_TRUE(s.transaction([&] { s.set("n", SettingValue(s.value("n")->integerValue().value_or(0) + 1)); }));
    }
  };
  std::thread other([&] { increment(*b); });
  increment(*a);
  other.join();
  EXPECT_EQ(a->value("n"), SettingValue(2 * kEach));
  EXPECT_EQ(b->value("n"), SettingValue(2 * kEach));
}

// Two threads on one key: the reader never sees a value older than one it
// has seen, and never sees the key missing once it was written.
TEST(SettingsSuiteMemory, ReaderOfAKeyBeingWrittenNeverGoesBack) {
  TempDir dir;
  auto suite = SettingsSuite::atPath(dir.file("kit.settings"));
  suite->set("n", SettingValue(0));
  constexpr int kWrites = 300;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= kWrites; ++i) {
      if (i % 2) {
        suite->set("n", SettingValue(i));
      } else {
        suite->transaction([&] { suite->set("n", SettingValue(i)); });
      }
    }
    done = true;
  });
  std::int64_t seen = 0;
  int backwards = 0, missing = 0;
  while (!done) {
    const auto v = suite->value("n");
    if (!v) {
      ++missing;
      continue;
    }
    const auto n = v->integerValue().value_or(-1);
    if (n < seen) ++backwards;
    seen = std::max(seen, n);
  }
  writer.join();
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(suite->value("n"), SettingValue(kWrites));
}

// Garbage where the settings file was, put there by renaming over it or by
// writing into the file itself, while the memory is warm: no read answers a
// value of the file that went, and the suite writes again afterwards.
TEST(SettingsSuiteMemory, GarbageOverTheFileIsNotAnsweredFromMemory) {
  for (const bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "written into the file" : "renamed over the file");
    TempDir dir;
    const std::string path = dir.file("kit.settings");
    auto suite = SettingsSuite::atPath(path);
    suite->set("n", SettingValue(1));
    ASSERT_EQ(suite->value("n"), SettingValue(1));
    {
      SQLite::Database raw(path, SQLite::OPEN_READWRITE);
      raw.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    const std::string garbage(8192, '\x5a');
    const std::string target = inPlace ? path : dir.file("garbage");
    {
      std::FILE* f = std::fopen(target.c_str(), inPlace ? "r+b" : "wb");
      ASSERT_NE(f, nullptr);
      std::fwrite(garbage.data(), 1, garbage.size(), f);
      std::fclose(f);
    }
    if (!inPlace) std::filesystem::rename(target, path);
    Console::Capture console;
    for (int i = 0; i < 2; ++i) EXPECT_FALSE(suite->value("n")) << "read " << i;
    suite->set("m", SettingValue(2));
    EXPECT_EQ(suite->value("m"), SettingValue(2));
  }
}
