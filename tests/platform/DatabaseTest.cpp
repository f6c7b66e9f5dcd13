#include "platform/Database.h"

#include <atomic>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <filesystem>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "platform/Console.h"
#include "platform/SettingsSuite.h"
#include "support/TestEnvironment.h"
#include "support/WalCommits.h"

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

namespace pelk::platform {
namespace {

using test::TempDir;

std::int64_t rawCount(const std::string& path) {
  SQLite::Database raw(path, SQLite::OPEN_READONLY);
  return raw.execAndGet("SELECT count(*) FROM items").getInt64();
}

bool hasAsideCopy(const TempDir& dir, const std::string& name) {
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    if (e.path().filename().string().rfind(name + ".corrupt-", 0) == 0) return true;
  }
  return false;
}

// Overwrites every page but the first (the schema) with garbage, as a stray
// writer or a failing disk would; the file keeps its inode and size.
void overwriteTablePages(const std::string& path) {
  const auto size = std::filesystem::file_size(path);
  ASSERT_GT(size, 4096u * 3);
  std::FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 4096, SEEK_SET);
  const std::string junk(size - 4096, '\x5a');
  std::fwrite(junk.data(), 1, junk.size(), f);
  std::fclose(f);
}

void fill(Database& db, int rows) {
  ASSERT_TRUE(db.write([&](SQLite::Database& c) {
    for (int i = 0; i < rows; ++i) insert(c, std::string(200, 'a' + i % 26));
  }));
}

TEST(DatabaseTest, FileDeletedWhileOpenIsOpenedAgainAndNothingGoesToTheLostFile) {
  TempDir dir;
  const std::string path = dir.file("x.sqlite");
  auto db = Database::atPath(path, prepareItems);
  fill(*db, 1);
  Console::Capture capture;
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(db->write([](SQLite::Database& c) { insert(c, "after"); }));
  EXPECT_EQ(rawCount(path), 100) << "every row answered as stored is in the file at the path";
  EXPECT_FALSE(capture.lines().empty());
}

TEST(DatabaseTest, FileReplacedWhileOpenIsReadWithoutTheLogOfTheFileThatWent) {
  TempDir dir;
  const std::string path = dir.file("x.sqlite");
  auto db = Database::atPath(path, prepareItems);
  fill(*db, 5);  // committed into the -wal, not yet into the file
  {
    SQLite::Database other(dir.file("other.sqlite"), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    prepareItems(other);
    insert(other, "the newcomer's only row");
  }
  std::filesystem::rename(dir.file("other.sqlite"), path);
  Console::Capture capture;
  EXPECT_EQ(countItems(*db), 1);
  EXPECT_EQ(rawCount(path), 1);
  bool logKept = false;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    const auto name = e.path().filename().string();
    logKept |= name.rfind("x.sqlite.replaced-", 0) == 0 && name.ends_with("-wal");
  }
  EXPECT_TRUE(logKept) << "the old file's last transactions are kept aside";
}

TEST(DatabaseTest, DamageIsFoundInTheTablesAtOpenAndAfterOpen) {
  for (const bool whileOpen : {false, true}) {
    SCOPED_TRACE(whileOpen ? "damaged while open" : "damaged before open");
    TempDir dir;
    const std::string path = dir.file("x.sqlite");
    auto db = Database::atPath(path, prepareItems);
    fill(*db, 100);
    db->close();  // the last connection folds the log into the file
    if (whileOpen) {
      ASSERT_EQ(countItems(*db), 100);
    }
    overwriteTablePages(path);
    if (whileOpen) {
      // Another connection's write makes the kit's connection drop its page cache.
      SQLite::Database other(path, SQLite::OPEN_READWRITE);
      other.exec("PRAGMA user_version = 7");
    }
    Console::Capture capture;
    // Today's operation may fail (it met the damage); the store is usable at once after it.
    db->read([](SQLite::Database& c) { c.execAndGet("SELECT count(*) FROM items"); });
    ASSERT_TRUE(db->write([](SQLite::Database& c) { insert(c, "fresh"); }));
    EXPECT_EQ(countItems(*db), 1);
    EXPECT_TRUE(hasAsideCopy(dir, "x.sqlite"));
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_NE(capture.lines().back().find("moved to"), std::string::npos);
  }
}

TEST(DatabaseTest, FilesArePrivateWhateverTheFolderModeAndUmask) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const mode_t oldMask = ::umask(022);
  const std::string fresh = dir.file("fresh.sqlite");
  const std::string older = dir.file("older.sqlite");
  {
    // A file left 0644 by an earlier run, with its log.
    SQLite::Database raw(older, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    raw.exec("PRAGMA journal_mode=WAL");
    raw.exec("CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT NOT NULL)");
  }
  ASSERT_EQ(std::filesystem::status(older).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::others_read);
  const std::string settings = dir.file("credentials.settings");
  SettingsSuite::atPath(settings)->set("SDKToken", SettingValue("secret"));
  std::vector<std::shared_ptr<Database>> open;  // kept open: closing removes the -wal and -shm
  for (const auto& path : {fresh, older, settings}) {
    if (path != settings) {
      auto db = open.emplace_back(Database::atPath(path, prepareItems));
      ASSERT_TRUE(db->write([](SQLite::Database& c) { insert(c, "row"); }));
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat st {};
      ASSERT_EQ(::stat((path + suffix).c_str(), &st), 0) << path << suffix;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << path << suffix;
    }
  }
  // A umask that takes the owner's write as well: the files are still made
  // 0600, not left read-only for the next run to fail on.
  ::umask(0277);
  const std::string narrow = dir.file("narrow.sqlite");
  auto db = open.emplace_back(Database::atPath(narrow, prepareItems));
  ASSERT_TRUE(db->write([](SQLite::Database& c) { insert(c, "row"); }));
  const std::string narrowSettings = dir.file("narrow.settings");
  SettingsSuite::atPath(narrowSettings)->set("SDKToken", SettingValue("secret"));
  ::umask(oldMask);
  for (const auto& path : {narrow, narrowSettings}) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat st {};
      ASSERT_EQ(::stat((path + suffix).c_str(), &st), 0) << path << suffix;
      EXPECT_EQ(st.st_mode & 07777, 0600u) << path << suffix;
    }
  }
}

TEST(DatabaseTest, ReadOnlyFileOfAnEarlierRunStillAnswersReads) {
  struct Case {
    const char* name;
    mode_t folderMode;  // 0555: a read-only folder (or mount), where no -wal or -shm can be made
    bool logLeft;       // the earlier run ended without closing: its -wal and -shm are there
  };
  const Case cases[] = {{"read-only file", 0777, false},
                        {"read-only file and folder", 0555, false},
                        {"read-only file, folder and log", 0555, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir earlier;
    TempDir dir;
    const std::string path = dir.file("x.sqlite");
    {
      auto db = Database::atPath(earlier.file("x.sqlite"), prepareItems);
      fill(*db, 3);
      if (!c.logLeft) db->close();
      for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ec;
        std::filesystem::copy_file(earlier.file("x.sqlite") + suffix, path + suffix, ec);
        ::chmod((path + suffix).c_str(), 0444);
      }
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), c.folderMode), 0);
    // Read-only means nothing to root: the check runs as an unprivileged user in a child.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
      auto db = Database::atPath(path, prepareItems);
      std::int64_t n = -1;
      auto count = [&](SQLite::Database& db) { n = db.execAndGet("SELECT count(*) FROM items").getInt64(); };
      const bool read = db->read(count).ok && n == 3;
      const bool wrote = db->write([](SQLite::Database& c) { insert(c, "refused"); }).ok;
      n = -1;
      const bool readAgain = db->read(count).ok && n == 3;
      ::_exit(read && !wrote && readAgain ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::chmod(dir.path().c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: could not drop privileges; 1: a read failed or a write was kept";
  }
}

}  // namespace
}  // namespace pelk::platform

namespace pelk::platform {
namespace {

using test::TempDir;

// How many times the kept statement for `sql` has run on its connection: it
// counts on while the statement is reused and starts again once it is not.
int keptRuns(Database& db, const std::string& sql) {
  int runs = -1;
  EXPECT_TRUE(db.read([&](SQLite::Database& c) {
    db.statement(sql)->executeStep();
    for (sqlite3_stmt* s = sqlite3_next_stmt(c.getHandle(), nullptr); s; s = sqlite3_next_stmt(c.getHandle(), s)) {
      if (sql == sqlite3_sql(s)) runs = sqlite3_stmt_status(s, SQLITE_STMTSTATUS_RUN, 0);
    }
  }));
  return runs;
}

TEST(DatabaseKeptStatement, IsReusedUntilTheConnectionIsDroppedAndNeverOutlivesIt) {
  TempDir dir;
  const std::string path = dir.file("x.sqlite");
  auto db = Database::atPath(path, prepareItems);
  const std::string count = "SELECT count(*) FROM items";
  EXPECT_EQ(keptRuns(*db, count), 1);
  EXPECT_EQ(keptRuns(*db, count), 2) << "the same statement, prepared once";

  // Every way the connection goes takes its statements along.
  db->close();
  EXPECT_EQ(keptRuns(*db, count), 1) << "after close";
  fill(*db, 1);
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  EXPECT_EQ(keptRuns(*db, count), 1) << "after the file was deleted";
  // A kept insert runs on the file now at the path, not on the one deleted.
  ASSERT_TRUE(db->write([&](SQLite::Database&) {
    auto q = db->statement("INSERT INTO items (name) VALUES (?)");
    q->bind(1, "kept");
    q->exec();
  }));
  EXPECT_EQ(rawCount(path), 1);
}

TEST(DatabaseKeptStatement, IsResetWhenHandedOutAndWhenDoneSoNoReadLockStays) {
  TempDir dir;
  const std::string path = dir.file("x.sqlite");
  auto db = Database::atPath(path, prepareItems);
  fill(*db, 3);
  const std::string names = "SELECT name FROM items WHERE length(name) > ?";
  // Stepped into its first row, then left: the handle resets it.
  ASSERT_TRUE(db->read([&](SQLite::Database&) {
    auto q = db->statement(names);
    q->bind(1, 0);
    ASSERT_TRUE(q->executeStep());
  }));
  ASSERT_TRUE(db->write([](SQLite::Database& c) { insert(c, "one more"); }));
  // A log can be folded away and truncated only when no connection reads it.
  {
    SQLite::Database other(path, SQLite::OPEN_READWRITE);
    SQLite::Statement checkpoint(other, "PRAGMA wal_checkpoint(TRUNCATE)");
    ASSERT_TRUE(checkpoint.executeStep());
    EXPECT_EQ(checkpoint.getColumn(0).getInt(), 0) << "a statement of the kit still holds a read lock";
  }
  // Its bindings were cleared too: an unbound parameter is NULL, which matches nothing.
  int rows = -1;
  ASSERT_TRUE(db->read([&](SQLite::Database&) {
    auto q = db->statement(names);
    for (rows = 0; q->executeStep();) ++rows;
  }));
  EXPECT_EQ(rows, 0);
}

TEST(DatabaseKeptStatement, NestedUseOfOneTextAndUseOutsideABody) {
  TempDir dir;
  auto db = Database::atPath(dir.file("x.sqlite"), prepareItems);
  fill(*db, 3);
  const std::string names = "SELECT name FROM items ORDER BY id";
  int outer = 0, inner = 0;
  ASSERT_TRUE(db->read([&](SQLite::Database&) {
    auto q = db->statement(names);
    while (q->executeStep()) {
      ++outer;
      // The enclosing body is still stepping through the kept one: this use gets its own.
      ASSERT_TRUE(db->read([&](SQLite::Database&) {
        auto again = db->statement(names);
        while (again->executeStep()) ++inner;
      }));
    }
  }));
  EXPECT_EQ(outer, 3);
  EXPECT_EQ(inner, 9);
  EXPECT_THROW(db->statement(names), std::logic_error);
}

}  // namespace
}  // namespace pelk::platform

// A kept statement when the caller or the file does something unexpected.
namespace pelk::platform {
namespace {

using test::logCanBeEmptied;
using test::TempDir;

void makeNumbers(SQLite::Database& db) { db.exec("CREATE TABLE IF NOT EXISTS numbers (n INTEGER PRIMARY KEY)"); }

// A body that, while stepping through a kept statement, runs another
// operation with the same text: each keeps its own cursor, and nothing holds
// the file's read lock afterwards - neither when the body completes nor when
// it throws half-way through its rows.
TEST(DatabaseKeptStatement, SameTextUsedInsideItsOwnStepKeepsBothCursorsAndNoLockStays) {
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

// The connection dropped under kept statements - closed, the file moved away,
// the file damaged - and a new one opened: the statements asked for next are
// made on the new connection and read the file now at the path.
TEST(DatabaseKeptStatement, KeptStatementsFollowTheConnectionWhenItIsDropped) {
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

}  // namespace
}  // namespace pelk::platform
