#include "platform/Database.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include <sys/stat.h>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/CountedFiles.h"
#include "platform/Paths.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

// Lock order: after the suite registry, before the files' locks (platform/LockOrder.h).
Mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<Database>>& registry() PELK_REQUIRES(gRegistryMutex) {
  static auto* r = new std::map<std::string, std::weak_ptr<Database>>();
  return *r;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> fileId(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
}

int primaryCode(const SQLite::Exception& e) { return e.getErrorCode() & 0xff; }

bool isCorruption(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

// Faults of the file or the connection rather than of one statement: the
// connection is dropped so that the next operation opens the file afresh.
bool isConnectionFault(int code) {
  switch (code) {
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_FULL:
    case SQLITE_PERM:
      return true;
    default:
      return false;
  }
}

// A file name as the path of a "file:" URI.
std::string uriPath(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7f) {
      static const char* hex = "0123456789ABCDEF";
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// How long an operation waits for a file another connection holds.
constexpr std::chrono::milliseconds kBusyTimeout{5000};

// Switches the file to write-ahead logging (nothing to do when it is in that
// mode already).  The switch takes the file for a moment, and SQLite does not
// wait for a busy file there as it does for a transaction: a second process
// creating or opening the same fresh file at that instant answers "database
// is locked" at once, and its first write would be dropped.  It tries again,
// for as long as a transaction would wait.
void switchToLogMode(SQLite::Database& db) {
  const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
    try {
      db.exec("PRAGMA journal_mode=WAL");
      return;
    } catch (const SQLite::Exception& e) {
      if (primaryCode(e) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) throw;
    }
    std::this_thread::sleep_for(pause);
  }
}

std::string normalised(const std::string& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return abs.lexically_normal().string();
}

}  // namespace

std::shared_ptr<Database> Database::atPath(const std::string& path, Body prepare) {
  const std::string key = normalised(path);
  LockGuard lock(gRegistryMutex);
  auto& r = registry();
  if (auto it = r.find(key); it != r.end()) {
    if (auto existing = it->second.lock()) return existing;
  }
  // Forget entries whose objects are gone, so the registry does not grow.
  for (auto it = r.begin(); it != r.end();) {
    it = it->second.expired() ? r.erase(it) : std::next(it);
  }
  std::shared_ptr<Database> db(new Database(key, std::move(prepare)));
  r[key] = db;
  return db;
}

Database::Database(std::string path, Body prepare) : path_(std::move(path)), prepare_(std::move(prepare)) {}

Database::~Database() = default;

Database::Statement::Statement(SQLite::Statement* kept, bool* inUse) : statement_(kept), inUse_(inUse) {
  *inUse_ = true;
}

Database::Statement::Statement(std::unique_ptr<SQLite::Statement> own) : statement_(own.get()), own_(std::move(own)) {}

Database::Statement::Statement(Statement&& other) noexcept
    : statement_(other.statement_), inUse_(other.inUse_), own_(std::move(other.own_)) {
  other.statement_ = nullptr;
  other.inUse_ = nullptr;
}

Database::Statement::~Statement() {
  if (!statement_) return;
  // A statement left stepping would hold the read lock (and its snapshot)
  // until its next use; its error, if any, was reported by the step itself.
  statement_->tryReset();
  if (inUse_) *inUse_ = false;
}

Database::Statement Database::statement(const std::string& sql) {
  platform::LockGuard lock(mutex_);
  if (depth_ == 0 || !db_) throw std::logic_error("a kept statement is for use inside a body only");
  return kept(sql);
}

Database::Statement Database::kept(const std::string& sql) {
  auto it = kept_.find(sql);
  if (it == kept_.end()) {
    auto fresh = std::make_unique<SQLite::Statement>(*db_, sql);
    if (kept_.size() >= kMaxKept) return Statement(std::move(fresh));
    it = kept_.emplace(sql, Kept{std::move(fresh)}).first;
  } else if (it->second.inUse) {
    // An enclosing body is still stepping through it.
    return Statement(std::make_unique<SQLite::Statement>(*db_, sql));
  } else {
    it->second.statement->tryReset();
    it->second.statement->clearBindings();
  }
  return Statement(it->second.statement.get(), &it->second.inUse);
}

void Database::execKept(const std::string& sql) { kept(sql)->exec(); }

void Database::dropConnection() {
  kept_.clear();
  db_.reset();
}

std::uint64_t Database::connectionSerial() {
  platform::LockGuard lock(mutex_);
  return connectionSerial_;
}

std::string Database::moveAside(const std::string& path, const std::string& why) {
  const auto stamp = std::to_string(static_cast<long long>(Clock::secondsSince1970(Clock::now())));
  std::string aside = path + ".corrupt-" + stamp;
  std::error_code ec;
  // Never overwrite an earlier copy set aside in the same second.
  for (int n = 1; std::filesystem::exists(aside, ec) || std::filesystem::exists(aside + "-wal", ec); ++n) {
    aside = path + ".corrupt-" + stamp + "-" + std::to_string(n);
  }
  std::filesystem::rename(path, aside, ec);
  if (ec) {
    Console::print("pelk: database " + path + " " + why + " but could not be moved aside: " + ec.message());
    return "";
  }
  // The log may hold the last committed transactions of the old file: keep it with it.
  if (std::filesystem::exists(path + "-wal", ec)) std::filesystem::rename(path + "-wal", aside + "-wal", ec);
  std::filesystem::remove(path + "-shm", ec);
  Console::print("pelk: database " + path + " " + why + "; moved to " + aside + ", starting empty");
  return aside;
}

std::unique_ptr<SQLite::Database> Database::openOnce() {
  // Created private before SQLite sees it: SQLite gives the -wal and -shm the
  // mode of the main file.
  if (Paths::ensurePrivateFile(path_)) {
    std::error_code ec;
    for (const char* suffix : {"-wal", "-shm"}) {
      if (std::filesystem::exists(path_ + suffix, ec)) Paths::ensurePrivateFile(path_ + suffix, false);
    }
  }
  // Through the counting file layer: what each file costs the storage is
  // known (CountedFiles).
  const char* layer = CountedFiles::layerName();
  const std::string vfs = layer ? layer : "";
  auto db = std::make_unique<SQLite::Database>(path_, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 0, vfs);
  db->setBusyTimeout(static_cast<int>(kBusyTimeout.count()));
  const bool readOnly = sqlite3_db_readonly(db->getHandle(), "main") == 1;
  if (readOnly) {
    try {
      checkFile(*db, true);
    } catch (const SQLite::Exception& e) {
      const int code = primaryCode(e);
      std::error_code ec;
      if ((code != SQLITE_READONLY && code != SQLITE_CANTOPEN) || std::filesystem::exists(path_ + "-wal", ec)) throw;
      // A file of the log mode whose log cannot be made here (a read-only
      // folder or mount): with no log left over, the file itself holds every
      // committed row and can be read as it is.
      db = std::make_unique<SQLite::Database>("file:" + uriPath(path_) + "?immutable=1",
                                              SQLite::OPEN_READONLY | SQLite::OPEN_URI, 0, vfs);
      checkFile(*db, true);
    }
    Console::print("pelk: database " + path_ + " can only be read; writes to it will fail");
    return db;
  }
  switchToLogMode(*db);
  checkFile(*db, false);
  return db;
}

void Database::checkFile(SQLite::Database& db, bool readOnly) {
  db.exec("PRAGMA synchronous=FULL");
  db.exec("PRAGMA foreign_keys=ON");
  db.exec(readOnly ? "BEGIN" : "BEGIN IMMEDIATE");
  try {
    // Every page of every table and index is read, so damage anywhere in the
    // file shows itself now rather than on some later operation.
    SQLite::Statement check(db, "PRAGMA quick_check(1)");
    if (!check.executeStep() || check.getColumn(0).getString() != "ok") {
      throw DamagedFile(check.hasRow() ? check.getColumn(0).getString() : "integrity check gave no answer");
    }
    check.reset();
    // A file that can only be read keeps the tables it has: nothing can be created.
    if (prepare_ && !readOnly) prepare_(db);
    db.exec("COMMIT");
  } catch (...) {
    try {
      db.exec("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
}

void Database::openOrRecover() {
  try {
    db_ = openOnce();
    return;
  } catch (const SQLite::Exception& e) {
    if (!isCorruption(primaryCode(e))) throw;
    damage_ = e.what();
  } catch (const DamagedFile& e) {
    damage_ = e.what();
  }
  dropConnection();
  if (moveAside(path_, "was unreadable (" + damage_ + ")").empty()) {
    throw std::runtime_error("damaged file could not be moved aside");  // stay unavailable rather than overwrite it
  }
  db_ = openOnce();
}

void Database::recoverFromDamage(const std::string& why) {
  // Closing first lets SQLite finish with the old file (and its -wal) before it moves.
  dropConnection();
  moveAside(path_, "is damaged (" + why + ")");
}

bool Database::fileHasMoved() {
  int moved = 0;
  if (sqlite3_file_control(db_->getHandle(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) return false;
  return moved != 0;
}

void Database::setAsideOldLog() {
  // SQLite folds no log into a file that has moved, and leaves it where it
  // was: the file now at the path would take it for its own and read the old
  // file's last transactions as its pages.  A log the newcomer brought along
  // is another file and stays.
  if (!logId_ || fileId(path_ + "-wal") != logId_) return;
  logId_.reset();
  const auto stamp = std::to_string(static_cast<long long>(Clock::secondsSince1970(Clock::now())));
  std::string aside = path_ + ".replaced-" + stamp;
  std::error_code ec;
  for (int n = 1; std::filesystem::exists(aside + "-wal", ec); ++n)
    aside = path_ + ".replaced-" + stamp + "-" + std::to_string(n);
  // Kept, not deleted: it holds the last committed transactions of the file that went.
  std::filesystem::rename(path_ + "-wal", aside + "-wal", ec);
  if (ec) {
    std::filesystem::remove(path_ + "-wal", ec);
    Console::print("pelk: log of the earlier " + path_ + " could not be kept aside; removed");
    return;
  }
  Console::print("pelk: log of the earlier " + path_ + " moved to " + aside + "-wal");
}

bool Database::ensureOpen(std::string* error) {
  if (db_) return true;
  try {
    const auto parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) Paths::ensureDirectory(parent.string());
    dropConnection();
    openOrRecover();
    ++connectionSerial_;
    logId_ = fileId(path_ + "-wal");
    return true;
  } catch (const std::exception& e) {
    dropConnection();
    if (error) *error = e.what();
    return false;
  }
}

Database::Outcome Database::open() {
  platform::LockGuard lock(mutex_);
  Outcome out;
  out.ok = ensureOpen(&out.error);
  out.unavailable = !out.ok;
  return out;
}

bool Database::isOpen() {
  platform::LockGuard lock(mutex_);
  return db_ != nullptr;
}

void Database::close() {
  platform::LockGuard lock(mutex_);
  if (depth_ == 0) dropConnection();
}

namespace {
// The transaction texts, made once: they are looked up among the kept
// statements on every operation.  Never destroyed: a store task may still run
// while the process exits.
struct TransactionTexts {
  const std::string beginImmediate = "BEGIN IMMEDIATE";
  const std::string beginDeferred = "BEGIN";
  const std::string commit = "COMMIT";
  const std::string rollback = "ROLLBACK";
  const std::string none;
};
const TransactionTexts& texts() {
  static const auto* t = new TransactionTexts();
  return *t;
}
}  // namespace

Database::Outcome Database::write(const Body& body) { return run(body, texts().beginImmediate); }

Database::Outcome Database::read(const Body& body) { return run(body, texts().beginDeferred); }

Database::Outcome Database::readOne(const Body& body) { return run(body, texts().none); }

Database::Outcome Database::run(const Body& body, const std::string& begin) {
  platform::LockGuard lock(mutex_);
  Outcome out;
  const bool outer = depth_ == 0;
  if (outer && db_ && fileHasMoved()) {
    // Writes would go to a file no one can find any more; the path decides.
    Console::print("pelk: database " + path_ + " was deleted or replaced while open; opening it again");
    dropConnection();
    setAsideOldLog();
  }
  if (outer && !ensureOpen(&out.error)) {
    out.unavailable = true;
    return out;
  }
  if (outer) damaged_ = false;
  const std::string savepoint = outer ? std::string() : "pelk_sp" + std::to_string(depth_);
  int faultCode = 0;
  auto attempt = [&](auto&& step) PELK_REQUIRES(mutex_) {
    try {
      step();
      return true;
    } catch (const SQLite::Exception& e) {
      out.error = e.what();
      faultCode = primaryCode(e);
      if (isCorruption(faultCode)) {
        damaged_ = true;
        damage_ = e.what();
      }
    } catch (const DamagedFile& e) {
      out.error = e.what();
      damaged_ = true;
      damage_ = e.what();
    } catch (const std::exception& e) {
      out.error = e.what();
    } catch (...) {
      out.error = "unknown failure";
    }
    return false;
  };
  auto finishFailure = [&]() PELK_REQUIRES(mutex_) {
    if (!outer) return;
    if (damaged_) {
      damaged_ = false;
      recoverFromDamage(damage_);
    } else if (isConnectionFault(faultCode)) {
      dropConnection();
    }
  };

  if (outer && begin.empty()) {
    // One statement in autocommit: its own transaction, all or nothing.
    ++depth_;
    const bool bodyDone = attempt([&]() PELK_REQUIRES(mutex_) { body(*db_); });
    --depth_;
    if (bodyDone && !damaged_) {
      out.ok = true;
      return out;
    }
    if (out.error.empty()) out.error = "damaged file: " + damage_;
    finishFailure();
    return out;
  }
  // Transaction texts are kept statements too: preparing them is most of
  // their cost.
  if (!attempt([&]() PELK_REQUIRES(mutex_) { execKept(outer ? begin : "SAVEPOINT " + savepoint); })) {
    finishFailure();
    return out;
  }
  ++depth_;
  const bool bodyDone = attempt([&]() PELK_REQUIRES(mutex_) { body(*db_); });
  --depth_;
  // Damage met by a nested operation dooms the whole transaction.
  if (bodyDone && !(outer && damaged_) &&
      attempt([&]() PELK_REQUIRES(mutex_) { execKept(outer ? texts().commit : "RELEASE " + savepoint); })) {
    out.ok = true;
    return out;
  }
  if (out.error.empty()) out.error = "damaged file: " + damage_;
  // The body or the commit failed: undo everything this call did.
  try {
    if (outer) {
      execKept(texts().rollback);
    } else {
      execKept("ROLLBACK TO " + savepoint);
      execKept("RELEASE " + savepoint);
    }
  } catch (...) {
    // SQLite has already ended the transaction by itself on some errors.
  }
  finishFailure();
  return out;
}

}  // namespace pelk::platform
