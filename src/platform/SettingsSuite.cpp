#include "platform/SettingsSuite.h"

#include <exception>
#include <set>

#include <SQLiteCpp/SQLiteCpp.h>

#include "platform/Console.h"
#include "platform/Paths.h"

namespace pelk::platform {
namespace {

std::mutex gRegistryMutex;
std::map<std::string, std::shared_ptr<SettingsSuite>>& registry() {
  static auto* r = new std::map<std::string, std::shared_ptr<SettingsSuite>>();
  return *r;
}

// The one table of a suite file.  A table of that name with other columns is
// not ours to write into: the file is treated as damaged and set aside.
void prepareEntries(SQLite::Database& db) {
  db.exec(
      "CREATE TABLE IF NOT EXISTS entries (key TEXT PRIMARY KEY NOT NULL, kind INTEGER NOT NULL, "
      "value BLOB NOT NULL)");
  std::set<std::string> columns;
  SQLite::Statement info(db, "PRAGMA table_info(entries)");
  while (info.executeStep()) {
    columns.insert(info.getColumn(1).getString() + " " + info.getColumn(2).getString() + " " +
                   std::to_string(info.getColumn(5).getInt()));
  }
  const std::set<std::string> expected = {"key TEXT 1", "kind INTEGER 0", "value BLOB 0"};
  if (columns != expected) throw Database::DamagedFile("settings table has another shape");
}

std::string blobOf(const SQLite::Column& col) {
  return std::string(static_cast<const char*>(col.getBlob()), static_cast<std::size_t>(col.getBytes()));
}

void undecodable(const std::string& key) {
  Console::print("pelk: settings value of " + key + " cannot be read; treated as absent");
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

SettingsSuite::SettingsSuite(std::string path)
    : path_(std::move(path)), db_(Database::atPath(path_, prepareEntries)) {
  if (const auto outcome = db_->open(); !outcome) {
    Console::print("pelk: settings file " + path_ + " cannot be opened: " + outcome.error);
  }
}

SettingsSuite::~SettingsSuite() = default;

void SettingsSuite::failed(const char* what, const std::string& key, const Database::Outcome& outcome) {
  if (outcome.unavailable) {
    Console::print("pelk: settings file " + path_ + " cannot be opened: " + outcome.error + "; " + what + " " +
                   key + " dropped");
  } else {
    Console::print(std::string("pelk: settings ") + what + " of " + key + " failed on " + path_ + ": " +
                   outcome.error);
  }
  // Inside a transaction the failure dooms the whole of it.
  if (transactionDepth_ > 0) transactionFailed_ = true;
}

std::optional<SettingValue> SettingsSuite::value(const std::string& key) {
  std::lock_guard lock(mutex_);
  std::optional<std::string> bytes;
  const auto outcome = db_->read([&](SQLite::Database& db) {
    SQLite::Statement q(db, "SELECT value FROM entries WHERE key = ?");
    q.bind(1, key);
    if (q.executeStep()) bytes = blobOf(q.getColumn(0));
  });
  if (!outcome) {
    failed("read", key, outcome);
    return std::nullopt;
  }
  if (!bytes) return std::nullopt;
  auto v = SettingValue::decode(*bytes);
  if (!v) undecodable(key);
  return v;
}

bool SettingsSuite::contains(const std::string& key) { return value(key).has_value(); }

void SettingsSuite::set(const std::string& key, const SettingValue& v) {
  std::lock_guard lock(mutex_);
  if (v.depth() > SettingValue::kMaxDepth) {
    Console::print("pelk: settings value of " + key + " is nested too deep to be read back; not saved");
    if (transactionDepth_ > 0) transactionFailed_ = true;
    return;
  }
  const std::string bytes = v.encode();
  const auto outcome = db_->write([&](SQLite::Database& db) {
    SQLite::Statement q(db, "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?, ?, ?)");
    q.bind(1, key);
    q.bind(2, static_cast<int>(v.kind()));
    q.bind(3, bytes.data(), static_cast<int>(bytes.size()));
    q.exec();
  });
  if (!outcome) failed("write", key, outcome);
}

void SettingsSuite::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto outcome = db_->write([&](SQLite::Database& db) {
    SQLite::Statement q(db, "DELETE FROM entries WHERE key = ?");
    q.bind(1, key);
    q.exec();
  });
  if (!outcome) failed("remove", key, outcome);
}

std::vector<std::string> SettingsSuite::keys() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  const auto outcome = db_->read([&](SQLite::Database& db) {
    SQLite::Statement q(db, "SELECT key FROM entries");
    while (q.executeStep()) out.push_back(q.getColumn(0).getString());
  });
  if (!outcome) {
    failed("listing", "the keys", outcome);
    return {};
  }
  return out;
}

std::map<std::string, SettingValue> SettingsSuite::dictionaryRepresentation() {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, std::string>> rows;
  const auto outcome = db_->read([&](SQLite::Database& db) {
    SQLite::Statement q(db, "SELECT key, value FROM entries");
    while (q.executeStep()) rows.emplace_back(q.getColumn(0).getString(), blobOf(q.getColumn(1)));
  });
  if (!outcome) {
    failed("read", "every entry", outcome);
    return {};
  }
  std::map<std::string, SettingValue> out;
  for (auto& [key, bytes] : rows) {
    if (auto v = SettingValue::decode(bytes)) {
      out.emplace(key, std::move(*v));
    } else {
      undecodable(key);
    }
  }
  return out;
}

bool SettingsSuite::synchronize() {
  std::lock_guard lock(mutex_);
  return db_->open().ok;
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

  transactionFailed_ = false;
  ++transactionDepth_;
  std::exception_ptr thrown;
  const auto outcome = db_->write([&](SQLite::Database&) {
    try {
      body();
    } catch (...) {
      thrown = std::current_exception();
      throw;
    }
    if (transactionFailed_) throw std::runtime_error("an operation inside the transaction failed");
  });
  --transactionDepth_;
  transactionFailed_ = false;
  if (thrown) std::rethrow_exception(thrown);
  if (!outcome) {
    Console::print("pelk: settings transaction on " + path_ + " not committed: " + outcome.error);
    return false;
  }
  return true;
}

}  // namespace pelk::platform
