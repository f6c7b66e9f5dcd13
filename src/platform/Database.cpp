#include "platform/Database.h"

#include <filesystem>
#include <map>
#include <system_error>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace pelk::platform {
namespace {

std::mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<Database>>& registry() {
  static auto* r = new std::map<std::string, std::weak_ptr<Database>>();
  return *r;
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

std::string normalised(const std::string& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return abs.lexically_normal().string();
}

}  // namespace

std::shared_ptr<Database> Database::atPath(const std::string& path, Body prepare) {
  const std::string key = normalised(path);
  std::lock_guard lock(gRegistryMutex);
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

void Database::openOrRecover() {
  auto openOnce = [this] {
    auto db = std::make_unique<SQLite::Database>(path_, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db->setBusyTimeout(5000);
    db->exec("PRAGMA journal_mode=WAL");
    db->exec("PRAGMA synchronous=FULL");
    db->exec("PRAGMA foreign_keys=ON");
    db->exec("BEGIN IMMEDIATE");
    try {
      // Reading the schema makes a file that is not a database show itself now.
      db->exec("SELECT count(*) FROM sqlite_master");
      if (prepare_) prepare_(*db);
      db->exec("COMMIT");
    } catch (...) {
      try {
        db->exec("ROLLBACK");
      } catch (...) {
      }
      throw;
    }
    return db;
  };
  try {
    db_ = openOnce();
  } catch (const SQLite::Exception& e) {
    if (!isCorruption(primaryCode(e))) throw;
    db_.reset();
    const auto stamp = std::to_string(static_cast<long long>(Clock::secondsSince1970(Clock::now())));
    const std::string aside = path_ + ".corrupt-" + stamp;
    std::error_code ec;
    std::filesystem::rename(path_, aside, ec);
    if (ec) throw;  // cannot move it: stay unavailable rather than overwrite it
    // The log may hold the last transactions of the old file: keep it with it.
    std::filesystem::rename(path_ + "-wal", aside + "-wal", ec);
    std::filesystem::remove(path_ + "-shm", ec);
    Console::print("pelk: database " + path_ + " was unreadable; moved to " + aside + ", starting empty");
    db_ = openOnce();
  }
}

bool Database::ensureOpen(std::string* error) {
  if (db_) return true;
  try {
    const auto parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) Paths::ensureDirectory(parent.string());
    openOrRecover();
    return true;
  } catch (const std::exception& e) {
    db_.reset();
    if (error) *error = e.what();
    return false;
  }
}

Database::Outcome Database::open() {
  std::lock_guard lock(mutex_);
  Outcome out;
  out.ok = ensureOpen(&out.error);
  out.unavailable = !out.ok;
  return out;
}

bool Database::isOpen() {
  std::lock_guard lock(mutex_);
  return db_ != nullptr;
}

void Database::close() {
  std::lock_guard lock(mutex_);
  if (depth_ == 0) db_.reset();
}

Database::Outcome Database::write(const Body& body) { return run(body, "BEGIN IMMEDIATE"); }

Database::Outcome Database::read(const Body& body) { return run(body, "BEGIN"); }

Database::Outcome Database::run(const Body& body, const char* begin) {
  std::lock_guard lock(mutex_);
  Outcome out;
  if (depth_ == 0 && !ensureOpen(&out.error)) {
    out.unavailable = true;
    return out;
  }
  const bool outer = depth_ == 0;
  const std::string savepoint = "pelk_sp" + std::to_string(depth_);
  int faultCode = 0;
  auto attempt = [&](const std::function<void()>& step) {
    try {
      step();
      return true;
    } catch (const SQLite::Exception& e) {
      out.error = e.what();
      faultCode = primaryCode(e);
    } catch (const std::exception& e) {
      out.error = e.what();
    } catch (...) {
      out.error = "unknown failure";
    }
    return false;
  };

  if (!attempt([&] { db_->exec(outer ? std::string(begin) : "SAVEPOINT " + savepoint); })) {
    if (outer && isConnectionFault(faultCode)) db_.reset();
    return out;
  }
  ++depth_;
  const bool bodyDone = attempt([&] { body(*db_); });
  --depth_;
  if (bodyDone && attempt([&] { db_->exec(outer ? std::string("COMMIT") : "RELEASE " + savepoint); })) {
    out.ok = true;
    return out;
  }
  // The body or the commit failed: undo everything this call did.
  try {
    if (outer) {
      db_->exec("ROLLBACK");
    } else {
      db_->exec("ROLLBACK TO " + savepoint);
      db_->exec("RELEASE " + savepoint);
    }
  } catch (...) {
    // SQLite has already ended the transaction by itself on some errors.
  }
  if (outer && isConnectionFault(faultCode)) db_.reset();
  return out;
}

}  // namespace pelk::platform
