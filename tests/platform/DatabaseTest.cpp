#include "platform/Database.h"

#include <filesystem>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "platform/Console.h"
#include "support/TestEnvironment.h"

namespace pelk::platform {
namespace {

using test::TempDir;

void prepareItems(SQLite::Database& db) {
  db.exec("CREATE TABLE IF NOT EXISTS items (id INTEGER PRIMARY KEY, name TEXT NOT NULL)");
}

std::int64_t countItems(Database& db) {
  std::int64_t n = -1;
  EXPECT_TRUE(db.read([&](SQLite::Database& c) { n = c.execAndGet("SELECT count(*) FROM items").getInt64(); }));
  return n;
}

void insert(SQLite::Database& c, const std::string& name) {
  SQLite::Statement q(c, "INSERT INTO items (name) VALUES (?)");
  q.bind(1, name);
  q.exec();
}

TEST(DatabaseTest, OneObjectPerFileAndPrepareRunsOnOpen) {
  TempDir dir;
  auto a = Database::atPath(dir.file("x.sqlite"), prepareItems);
  auto b = Database::atPath(dir.path() + "/./x.sqlite", nullptr);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.sqlite"))) << "nothing opened before the first use";
  EXPECT_EQ(countItems(*a), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("x.sqlite")));
  std::string mode;
  a->read([&](SQLite::Database& c) { mode = c.execAndGet("PRAGMA journal_mode").getString(); });
  EXPECT_EQ(mode, "wal");
}

TEST(DatabaseTest, FailedBodyRollsBackEverything) {
  TempDir dir;
  auto db = Database::atPath(dir.file("x.sqlite"), prepareItems);
  ASSERT_TRUE(db->write([](SQLite::Database& c) { insert(c, "kept"); }));
  const auto failed = db->write([](SQLite::Database& c) {
    insert(c, "lost");
    c.exec("INSERT INTO no_such_table VALUES (1)");
  });
  EXPECT_FALSE(failed.ok);
  EXPECT_FALSE(failed.unavailable);
  EXPECT_NE(failed.error.find("no_such_table"), std::string::npos);
  const auto thrown = db->write([](SQLite::Database& c) {
    insert(c, "lost too");
    throw std::runtime_error("caller gave up");
  });
  EXPECT_EQ(thrown.error, "caller gave up");
  EXPECT_EQ(countItems(*db), 1);
  // The connection is still good after the failures.
  EXPECT_TRUE(db->write([](SQLite::Database& c) { insert(c, "after"); }));
  EXPECT_EQ(countItems(*db), 2);
}

TEST(DatabaseTest, NestedFailureUndoesOnlyItsOwnPart) {
  TempDir dir;
  auto db = Database::atPath(dir.file("x.sqlite"), prepareItems);
  bool innerOk = true;
  ASSERT_TRUE(db->write([&](SQLite::Database& c) {
    insert(c, "outer");
    innerOk = db->write([](SQLite::Database& c2) {
                  insert(c2, "inner");
                  throw std::runtime_error("inner fails");
                }).ok;
  }));
  EXPECT_FALSE(innerOk);
  EXPECT_EQ(countItems(*db), 1);
}

TEST(DatabaseTest, FileThatCannotOpenDegradesAndIsRetried) {
  TempDir dir;
  const std::string path = dir.file("x.sqlite");
  std::filesystem::create_directory(path);  // a directory where the file belongs
  auto db = Database::atPath(path, prepareItems);
  const auto out = db->write([](SQLite::Database& c) { insert(c, "dropped"); });
  EXPECT_FALSE(out.ok);
  EXPECT_TRUE(out.unavailable);
  EXPECT_FALSE(out.error.empty());
  EXPECT_FALSE(db->isOpen());

  std::filesystem::remove(path);
  EXPECT_TRUE(db->write([](SQLite::Database& c) { insert(c, "stored"); }));
  EXPECT_EQ(countItems(*db), 1);
}

TEST(DatabaseTest, ParentThatIsAFileNeverOpens) {
  TempDir dir;
  test::writeFile(dir.file("plain"), "not a directory");
  auto db = Database::atPath(dir.file("plain") + "/x.sqlite", prepareItems);
  EXPECT_TRUE(db->open().unavailable);
  EXPECT_TRUE(db->read([](SQLite::Database&) {}).unavailable);
}

TEST(DatabaseTest, UnreadableFileIsMovedAsideAndStartedAfresh) {
  TempDir dir;
  const std::string path = dir.file("x.sqlite");
  test::writeFile(path, std::string(4096, 'z'));
  Console::Capture capture;
  auto db = Database::atPath(path, prepareItems);
  EXPECT_EQ(countItems(*db), 0);
  bool aside = false;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    if (e.path().filename().string().rfind("x.sqlite.corrupt-", 0) == 0) {
      aside = true;
      EXPECT_EQ(test::readFile(e.path().string()), std::string(4096, 'z'));
    }
  }
  EXPECT_TRUE(aside);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].find("moved to"), std::string::npos);
}

TEST(DatabaseTest, ConcurrentWritersAreSerialised) {
  TempDir dir;
  auto db = Database::atPath(dir.file("x.sqlite"), prepareItems);
  constexpr int kThreads = 4;
  constexpr int kRows = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRows; ++i) {
        // A read-modify-write inside one transaction never loses an update.
        EXPECT_TRUE(db->write([&](SQLite::Database& c) {
          const auto n = c.execAndGet("SELECT count(*) FROM items").getInt64();
          insert(c, std::to_string(t) + ":" + std::to_string(n));
        }));
        if (i % 10 == 0) db->read([](SQLite::Database& c) { c.execAndGet("SELECT count(*) FROM items"); });
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(countItems(*db), kThreads * kRows);
  std::int64_t distinct = 0;
  db->read([&](SQLite::Database& c) {
    distinct = c.execAndGet("SELECT count(DISTINCT substr(name, instr(name, ':') + 1)) FROM items").getInt64();
  });
  EXPECT_EQ(distinct, kThreads * kRows) << "every writer saw the rows of the writers before it";
}

}  // namespace
}  // namespace pelk::platform
