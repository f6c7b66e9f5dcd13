// What a kept statement or a settings memory could get wrong when the file, a
// second connection or the caller does something unexpected.
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>
#include <gtest/gtest.h>

#include "platform/Console.h"
#include "platform/Database.h"
#include "platform/Dispatch.h"
#include "platform/Reachability.h"
#include "platform/SettingsSuite.h"
#include "support/TestEnvironment.h"

using namespace pelk::platform;
using pelk::test::TempDir;

namespace {

void makeNumbers(SQLite::Database& db) {
  db.exec("CREATE TABLE IF NOT EXISTS numbers (n INTEGER PRIMARY KEY)");
}

// Whether a second connection can checkpoint the whole log away: it cannot
// while any connection holds a read transaction open.
bool logCanBeEmptied(const std::string& path) {
  SQLite::Database other(path, SQLite::OPEN_READWRITE);
  SQLite::Statement q(other, "PRAGMA wal_checkpoint(TRUNCATE)");
  return q.executeStep() && q.getColumn(0).getInt() == 0;
}

}  // namespace

// A body that, while stepping through a kept statement, runs another
// operation with the same text: each keeps its own cursor, and nothing holds
// the file's read lock afterwards - neither when the body completes nor when
// it throws half-way through its rows.
TEST(HostileCache, SameTextUsedInsideItsOwnStepKeepsBothCursorsAndNoLockStays) {
  TempDir dir;
  const std::string path = dir.file("numbers.db");
  auto db = Database::atPath(path, makeNumbers);
  ASSERT_TRUE(db->write([](SQLite::Database& c) { c.exec("INSERT INTO numbers VALUES (1), (2), (3)"); }));
  const std::string text = "SELECT n FROM numbers ORDER BY n";

  std::vector<int> outer, inner;
  ASSERT_TRUE(db->read([&](SQLite::Database&) {
    auto q = db->statement(text);
    while (q->executeStep()) {
      outer.push_back(q->getColumn(0).getInt());
      ASSERT_TRUE(db->read([&](SQLite::Database&) {
        auto again = db->statement(text);
        while (again->executeStep()) inner.push_back(again->getColumn(0).getInt());
      }));
    }
  }));
  EXPECT_EQ(outer, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(inner, (std::vector<int>{1, 2, 3, 1, 2, 3, 1, 2, 3}));
  EXPECT_TRUE(logCanBeEmptied(path));

  Console::Capture console;
  EXPECT_FALSE(db->read([&](SQLite::Database&) {
    auto q = db->statement(text);
    ASSERT_TRUE(q->executeStep());
    throw std::runtime_error("caller gave up after one row");
  }));
  EXPECT_TRUE(logCanBeEmptied(path));
  // The kept statement starts from its first row at its next use.
  int first = 0;
  ASSERT_TRUE(db->readOne([&](SQLite::Database&) {
    auto q = db->statement(text);
    if (q->executeStep()) first = q->getColumn(0).getInt();
  }));
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(logCanBeEmptied(path));
}

// Another connection drops the table the kept statements were made for and
// makes it again with its columns in another order: the kept statements
// answer from the new table, not from what they were prepared against.
TEST(HostileCache, TableRemadeByAnotherConnectionIsReadAsItIsNow) {
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
TEST(HostileCache, InnerTransactionThrowingDoomsTheOuterOneInFileAndMemory) {
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
TEST(HostileCache, WriteRefusedByTheFileIsNotReadBack) {
  TempDir dir;
  const std::string path = dir.file("kit.settings");
  auto suite = SettingsSuite::atPath(path);
  suite->set("n", SettingValue(1));
  ASSERT_EQ(suite->value("n"), SettingValue(1));
  ASSERT_TRUE(Database::atPath(path, nullptr)->write(
      [](SQLite::Database& c) { sqlite3_limit(c.getHandle(), SQLITE_LIMIT_LENGTH, 1000); }));
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
TEST(HostileCache, TwoConnectionsIncrementingOneKeyLoseNothing) {
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
TEST(HostileCache, ReaderOfAKeyBeingWrittenNeverGoesBack) {
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

// The monitor's latest reading stands in for a one-shot reading only while it
// says what a one-shot reading would: once the reading fails, it offers none.
TEST(HostileCache, WatchedReadingFollowsTheSourceWhenItStopsAnswering) {
  using F = ReachabilityFlags;
  Reachability::useTestFlags(F::reachable);
  auto target = Reachability::makeDefaultRouteTarget();
  ASSERT_TRUE(target->setCallback([](std::uint32_t) {}));
  ASSERT_TRUE(target->setQueue(Dispatch::makeSerial("hostile-cache")));
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), F::reachable);
  Reachability::setTestFlags(std::nullopt);
  EXPECT_EQ(Reachability::readDefaultRouteFlags(), std::nullopt);
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), std::nullopt);
  Reachability::setTestFlags(F::reachable | F::isWWAN);
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), F::reachable | F::isWWAN);
  target.reset();
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), std::nullopt);
  Reachability::useSystemFlags();
}

// Garbage where the settings file was, put there by renaming over it or by
// writing into the file itself, while the memory is warm: no read answers a
// value of the file that went, and the suite writes again afterwards.
TEST(HostileCache, GarbageOverTheFileIsNotAnsweredFromMemory) {
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

// The connection dropped under kept statements - closed, the file moved away,
// the file damaged - and a new one opened: the statements asked for next are
// made on the new connection and read the file now at the path.
TEST(HostileCache, KeptStatementsFollowTheConnectionWhenItIsDropped) {
  enum class How { Closed, MovedAway, Damaged };
  const std::pair<How, const char*> cases[] = {
      {How::Closed, "closed"}, {How::MovedAway, "moved away"}, {How::Damaged, "damaged"}};
  for (const auto& [how, name] : cases) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string path = dir.file("numbers.db");
    auto db = Database::atPath(path, makeNumbers);
    const std::string insert = "INSERT INTO numbers VALUES (?)";
    const std::string count = "SELECT count(*), coalesce(max(n), 0) FROM numbers";
    auto add = [&](int n) {
      return db->write([&](SQLite::Database&) {
        auto q = db->statement(insert);
        q->bind(1, n);
        q->exec();
      });
    };
    auto state = [&] {
      std::pair<int, int> out{-1, -1};
      db->read([&](SQLite::Database&) {
        auto q = db->statement(count);
        if (q->executeStep()) out = {q->getColumn(0).getInt(), q->getColumn(1).getInt()};
      });
      return out;
    };
    ASSERT_TRUE(add(1));
    ASSERT_TRUE(add(2));
    ASSERT_EQ(state(), std::make_pair(2, 2));
    Console::Capture console;
    if (how == How::Closed) {
      db->close();
    } else if (how == How::MovedAway) {
      std::filesystem::rename(path, dir.file("elsewhere.db"));
    } else {
      db->close();
      std::FILE* f = std::fopen(path.c_str(), "r+b");
      ASSERT_NE(f, nullptr);
      const std::string garbage(4096, '\x33');
      std::fwrite(garbage.data(), 1, garbage.size(), f);
      std::fclose(f);
      for (const char* log : {"-wal", "-shm"}) std::filesystem::remove(path + log);
    }
    const int before = how == How::Closed ? 2 : 0;
    EXPECT_EQ(state(), std::make_pair(before, before == 0 ? 0 : 2));
    EXPECT_TRUE(add(7));
    EXPECT_EQ(state(), std::make_pair(before + 1, 7));
    EXPECT_TRUE(logCanBeEmptied(path));
  }
}
