#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/ThreadSafety.h"

namespace SQLite {
class Database;
class Statement;
}  // namespace SQLite

namespace pelk::platform {

// One SQLite file of the app: one connection and one lock per file in the
// process, write-ahead logging, foreign keys enforced.  Every read() or write()
// is one transaction: it commits when the body returns and rolls back when the
// body throws (readOne() runs one statement, its own transaction).  A nested call (from inside a body, same thread) runs as a
// savepoint of the outer transaction.
//
// A file that cannot be opened does not throw: the operation answers an
// unavailable outcome and the next operation tries to open it again.  A file
// that is not a database, is corrupt or holds tables of another shape is moved
// aside next to itself (moveAside) with a console line, and a fresh file is
// started.  Damage is looked for when the file is opened (every table is read)
// and whenever an operation meets it later; the operation that meets it fails.
// A file deleted, moved or replaced while open is noticed at the next operation,
// which then runs on the file now at the path.  A file that can only be read
// (a read-only file of an earlier run) still answers reads; writes to it fail.
//
// The file and its -wal and -shm are private to the owner (mode 0600).
//
// Rows are never cached: every read goes to the file.  Prepared statements
// are (see statement()): they belong to the connection and go with it
// whenever it is dropped.  Safe to use from any thread; the lock is held for the duration
// of a body, so bodies must not call out to code that may wait for another
// thread using the same file.
class Database {
 public:
  using Body = std::function<void(SQLite::Database&)>;

  // Thrown by a `prepare` (or a body) that finds the file's content unusable,
  // e.g. a table of another shape: the file is then treated as damaged.
  struct DamagedFile : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // A statement handed out by statement(): reset with its bindings cleared
  // when handed out, and reset again when the handle goes, so that no
  // statement keeps the file's read lock between operations.  Must not
  // outlive the body it was taken in.
  class Statement {
   public:
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&&) = delete;
    ~Statement();
    SQLite::Statement& operator*() const { return *statement_; }
    SQLite::Statement* operator->() const { return statement_; }

   private:
    friend class Database;
    Statement(SQLite::Statement* kept, bool* inUse);
    explicit Statement(std::unique_ptr<SQLite::Statement> own);
    SQLite::Statement* statement_ = nullptr;
    bool* inUse_ = nullptr;  // the kept statement's flag; null for one made for this use only
    std::unique_ptr<SQLite::Statement> own_;
  };

  struct Outcome {
    bool ok = false;
    // True when the file could not be opened and the body never ran.
    bool unavailable = false;
    std::string error;
    explicit operator bool() const { return ok; }
  };

  // The object for `path` shared by every holder in the process (the first
  // caller's `prepare` is the one kept).  `prepare` runs in a transaction each
  // time the file is opened, to create or upgrade tables and indexes; when it
  // throws, the open fails.  Nothing is opened here.
  static std::shared_ptr<Database> atPath(const std::string& path, Body prepare);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // BEGIN IMMEDIATE: takes the file's write lock at the start.
  Outcome write(const Body& body);
  // A deferred transaction: one consistent snapshot for the whole body.
  Outcome read(const Body& body);
  // A read whose body runs a single statement, which is then its own
  // transaction: it spares the BEGIN and COMMIT around it.  A body that runs
  // more than one would see a snapshot per statement; use read() for that.
  // Nested in another operation, it is a read() of that transaction.
  Outcome readOne(const Body& body);

  // The statement for `sql` on the current connection, prepared the first
  // time it is asked for and kept until the connection is dropped (closed,
  // damaged, moved or replaced, or a fault of the file).  For use inside a
  // body only (std::logic_error otherwise).  A text whose kept statement is
  // already in use by an enclosing body gets one prepared for this use alone.
  Statement statement(const std::string& sql);

  // Changes whenever a new connection is opened.  What a body learned about
  // the file under one number (PRAGMA data_version, say) does not hold under
  // another: the file may have been replaced in between.
  std::uint64_t connectionSerial();

  // Opens the file now unless open; unavailable (with the cause) when it
  // cannot be opened.
  Outcome open();
  bool isOpen();
  // Drops the connection; the next operation opens the file again.
  void close();

  const std::string& path() const { return path_; }

  // The one recovery of a damaged SQLite file, shared by every file of the
  // kit: renames `path` to "<path>.corrupt-<seconds since 1970>" (a suffix
  // keeps earlier ones), takes its -wal along - it may hold the last committed
  // transactions, so it is never deleted - removes its -shm (rebuilt from the
  // -wal) and prints one console line.  Answers the new name, or "" (with a
  // console line) when the file could not be moved.
  static std::string moveAside(const std::string& path, const std::string& why);

 private:
  Database(std::string path, Body prepare);
  bool ensureOpen(std::string* error) PELK_REQUIRES(mutex_);
  void openOrRecover() PELK_REQUIRES(mutex_);
  std::unique_ptr<SQLite::Database> openOnce();
  void checkFile(SQLite::Database& db, bool readOnly);
  void recoverFromDamage(const std::string& why) PELK_REQUIRES(mutex_);
  bool fileHasMoved() PELK_REQUIRES(mutex_);
  void setAsideOldLog() PELK_REQUIRES(mutex_);
  Outcome run(const Body& body, const std::string& begin);
  Statement kept(const std::string& sql) PELK_REQUIRES(mutex_);
  void execKept(const std::string& sql) PELK_REQUIRES(mutex_);
  // Finalises the kept statements, then closes the connection.
  void dropConnection() PELK_REQUIRES(mutex_);

  struct Kept {
    std::unique_ptr<SQLite::Statement> statement;
    bool inUse = false;
  };
  // Texts built from data must not fill the cache: past this many, statements
  // are prepared for one use.
  static constexpr std::size_t kMaxKept = 64;

  const std::string path_;
  const Body prepare_;
  // Lock order: after the settings suite's lock, before the leaves; a body runs under it (platform/LockOrder.h).
  platform::RecursiveMutex mutex_;
  std::unique_ptr<SQLite::Database> db_ PELK_GUARDED_BY(mutex_);
  // Declared after db_: destroyed (finalised) before the connection closes.
  std::unordered_map<std::string, Kept> kept_ PELK_GUARDED_BY(mutex_);
  std::uint64_t connectionSerial_ PELK_GUARDED_BY(mutex_) = 0;
  // Device and inode of the -wal the connection opened with: the file's own log.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> logId_ PELK_GUARDED_BY(mutex_);
  int depth_ PELK_GUARDED_BY(mutex_) = 0;
  // Set when an operation of the current outer transaction met damage.
  bool damaged_ PELK_GUARDED_BY(mutex_) = false;
  std::string damage_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk::platform
