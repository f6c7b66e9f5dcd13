#include "platform/SettingsSuite.h"

#include <filesystem>
#include <system_error>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace pelk::platform {
namespace {

std::mutex gRegistryMutex;
std::map<std::string, std::shared_ptr<SettingsSuite>>& registry() {
  static auto* r = new std::map<std::string, std::shared_ptr<SettingsSuite>>();
  return *r;
}

bool isCorruption(const SQLite::Exception& e) {
  const int code = e.getErrorCode() & 0xff;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

}  // namespace

std::shared_ptr<SettingsSuite> SettingsSuite::named(const std::string& name) {
  return atPath(Paths::preferences() + "/" + name + ".settings");
}

std::shared_ptr<SettingsSuite> SettingsSuite::atPath(const std::string& path) {
  std::lock_guard lock(gRegistryMutex);
  auto& r = registry();
  auto it = r.find(path);
  if (it != r.end()) return it->second;
  std::shared_ptr<SettingsSuite> suite(new SettingsSuite(path));
  r.emplace(path, suite);
  return suite;
}

SettingsSuite::SettingsSuite(std::string path) : path_(std::move(path)) {
  std::lock_guard lock(mutex_);
  ensureOpen();
}

SettingsSuite::~SettingsSuite() = default;

void SettingsSuite::openOrRecover() {
  auto open = [this] {
    auto db = std::make_unique<SQLite::Database>(path_, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db->setBusyTimeout(5000);
    db->exec("PRAGMA journal_mode=WAL");
    db->exec("PRAGMA synchronous=FULL");
    db->exec(
        "CREATE TABLE IF NOT EXISTS entries (key TEXT PRIMARY KEY NOT NULL, kind INTEGER NOT NULL, "
        "value BLOB NOT NULL)");
    // Touch the table so an unreadable file shows itself now, not on a later read.
    SQLite::Statement probe(*db, "SELECT count(*) FROM entries");
    probe.executeStep();
    return db;
  };
  try {
    db_ = open();
  } catch (const SQLite::Exception& e) {
    if (!isCorruption(e)) throw;
    db_.reset();
    const auto stamp = std::to_string(static_cast<long long>(Clock::secondsSince1970(Clock::now())));
    const std::string aside = path_ + ".corrupt-" + stamp;
    std::error_code ec;
    std::filesystem::rename(path_, aside, ec);
    std::filesystem::remove(path_ + "-wal", ec);
    std::filesystem::remove(path_ + "-shm", ec);
    Console::print("pelk: settings file " + path_ + " was unreadable; moved to " + aside + ", starting empty");
    db_ = open();
  }
}

bool SettingsSuite::ensureOpen() {
  if (db_) return true;
  try {
    Paths::ensureDirectory(std::filesystem::path(path_).parent_path().string());
    openOrRecover();
    return true;
  } catch (const std::exception& e) {
    db_.reset();
    Console::print(std::string("pelk: settings file ") + path_ + " cannot be opened: " + e.what());
    return false;
  }
}

void SettingsSuite::closeAfterFailure(const char* what, const std::exception& e) {
  Console::print(std::string("pelk: settings ") + what + " failed on " + path_ + ": " + e.what());
  // Inside a transaction the failure dooms the whole of it; otherwise reopen on
  // the next use (a file that went bad is moved aside then).
  if (transactionDepth_ > 0) {
    transactionFailed_ = true;
  } else {
    db_.reset();
  }
}

std::optional<SettingValue> SettingsSuite::value(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (!ensureOpen()) return std::nullopt;
  try {
    SQLite::Statement q(*db_, "SELECT value FROM entries WHERE key = ?");
    q.bind(1, key);
    if (!q.executeStep()) return std::nullopt;
    const auto col = q.getColumn(0);
    return SettingValue::decode(std::string(static_cast<const char*>(col.getBlob()),
                                            static_cast<std::size_t>(col.getBytes())));
  } catch (const std::exception& e) {
    closeAfterFailure("read", e);
    return std::nullopt;
  }
}

bool SettingsSuite::contains(const std::string& key) { return value(key).has_value(); }

void SettingsSuite::set(const std::string& key, const SettingValue& v) {
  std::lock_guard lock(mutex_);
  if (!ensureOpen()) {
    Console::print("pelk: settings write of " + key + " dropped");
    if (transactionDepth_ > 0) transactionFailed_ = true;
    return;
  }
  try {
    const std::string bytes = v.encode();
    SQLite::Statement q(*db_, "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?, ?, ?)");
    q.bind(1, key);
    q.bind(2, static_cast<int>(v.kind()));
    q.bind(3, bytes.data(), static_cast<int>(bytes.size()));
    q.exec();
  } catch (const std::exception& e) {
    closeAfterFailure("write", e);
  }
}

void SettingsSuite::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (!ensureOpen()) return;
  try {
    SQLite::Statement q(*db_, "DELETE FROM entries WHERE key = ?");
    q.bind(1, key);
    q.exec();
  } catch (const std::exception& e) {
    closeAfterFailure("remove", e);
  }
}

std::map<std::string, SettingValue> SettingsSuite::dictionaryRepresentation() {
  std::map<std::string, SettingValue> out;
  std::lock_guard lock(mutex_);
  if (!ensureOpen()) return out;
  try {
    SQLite::Statement q(*db_, "SELECT key, value FROM entries");
    while (q.executeStep()) {
      const auto col = q.getColumn(1);
      auto v = SettingValue::decode(
          std::string(static_cast<const char*>(col.getBlob()), static_cast<std::size_t>(col.getBytes())));
      if (v) out.emplace(q.getColumn(0).getString(), std::move(*v));
    }
  } catch (const std::exception& e) {
    closeAfterFailure("read", e);
  }
  return out;
}

bool SettingsSuite::synchronize() {
  std::lock_guard lock(mutex_);
  return ensureOpen();
}

bool SettingsSuite::transaction(const std::function<void()>& body) {
  std::lock_guard lock(mutex_);
  if (transactionDepth_ > 0) {
    // Nested: part of the outer transaction, which decides.
    ++transactionDepth_;
    try {
      body();
    } catch (...) {
      --transactionDepth_;
      transactionFailed_ = true;
      throw;
    }
    --transactionDepth_;
    return !transactionFailed_;
  }

  if (!ensureOpen()) return false;
  try {
    db_->exec("BEGIN IMMEDIATE");
  } catch (const std::exception& e) {
    closeAfterFailure("transaction", e);
    return false;
  }
  transactionFailed_ = false;
  ++transactionDepth_;
  auto rollback = [this] {
    try {
      if (db_) db_->exec("ROLLBACK");
    } catch (...) {
    }
  };
  try {
    body();
  } catch (...) {
    --transactionDepth_;
    rollback();
    throw;
  }
  --transactionDepth_;
  if (transactionFailed_ || !db_) {
    rollback();
    return false;
  }
  try {
    db_->exec("COMMIT");
    return true;
  } catch (const std::exception& e) {
    rollback();
    closeAfterFailure("commit", e);
    return false;
  }
}

}  // namespace pelk::platform
