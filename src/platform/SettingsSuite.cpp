#include "platform/SettingsSuite.h"

#include <atomic>
#include <exception>
#include <filesystem>
#include <system_error>
#include <set>

#include <SQLiteCpp/SQLiteCpp.h>

#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

// Lock order: before the database registry and the suites' locks (platform/LockOrder.h).
Mutex gRegistryMutex;
std::map<std::string, std::shared_ptr<SettingsSuite>>& registry() PELK_REQUIRES(gRegistryMutex) {
  static auto* r = new std::map<std::string, std::shared_ptr<SettingsSuite>>();
  return *r;
}

// Set once the process has begun to exit and the lazy values were written:
// from then on every write is committed as it happens.
std::atomic<bool> gExiting{false};

std::set<std::string> entryColumns(SQLite::Database& db) {
  std::set<std::string> columns;
  SQLite::Statement info(db, "PRAGMA table_info(entries)");
  while (info.executeStep()) {
    columns.insert(info.getColumn(1).getString() + " " + info.getColumn(2).getString() + " " +
                   std::to_string(info.getColumn(5).getInt()));
  }
  return columns;
}

// The one table of a suite file.  A table of that name with other columns is
// not ours to write into: the file is treated as damaged and set aside.  A
// table that lacks only the kind of each value still holds every key and
// value (a value's bytes tell its kind): it gains the column and keeps them.
void prepareEntries(SQLite::Database& db) {
  db.exec(
      "CREATE TABLE IF NOT EXISTS entries (key TEXT PRIMARY KEY NOT NULL, kind INTEGER NOT NULL, "
      "value BLOB NOT NULL)");
  const std::set<std::string> expected = {"key TEXT 1", "kind INTEGER 0", "value BLOB 0"};
  auto columns = entryColumns(db);
  if (columns == std::set<std::string>{"key TEXT 1", "value BLOB 0"}) {
    db.exec("ALTER TABLE entries ADD COLUMN kind INTEGER NOT NULL DEFAULT 0");
    Console::print("pelk: settings table gained column kind");
    columns = entryColumns(db);
  }
  if (columns != expected) throw Database::DamagedFile("settings table has another shape");
}

std::string blobOf(const SQLite::Column& col) {
  return std::string(static_cast<const char*>(col.getBlob()), static_cast<std::size_t>(col.getBytes()));
}

std::string normalised(const std::string& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return abs.lexically_normal().string();
}

// The suite's statement texts, never destroyed: settings may still be read
// while the process exits.
struct Texts {
  const std::string dataVersion = "PRAGMA data_version";
  const std::string selectAll = "SELECT key, value FROM entries";
  const std::string upsert = "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?, ?, ?)";
  const std::string remove = "DELETE FROM entries WHERE key = ?";
};
const Texts& texts() {
  static const auto* t = new Texts();
  return *t;
}

void undecodable(const std::string& key) {
  Console::print("pelk: settings value of " + key + " cannot be read; treated as absent", Console::Level::Error);
}

}  // namespace

std::shared_ptr<SettingsSuite> SettingsSuite::named(const std::string& name) {
  return atPath(Paths::preferences() + "/" + name + ".settings");
}

std::shared_ptr<SettingsSuite> SettingsSuite::atPath(const std::string& path) {
  // One object per file, however the path is spelled: the memory of two
  // objects on one connection could not see each other's writes.
  const std::string key = normalised(path);
  LockGuard lock(gRegistryMutex);
  auto& r = registry();
  auto it = r.find(key);
  if (it != r.end()) return it->second;
  std::shared_ptr<SettingsSuite> suite(new SettingsSuite(path));
  r.emplace(key, suite);
  return suite;
}

SettingsSuite::SettingsSuite(std::string path) : path_(std::move(path)), db_(Database::atPath(path_, prepareEntries)) {
  if (const auto outcome = db_->open(); !outcome) {
    Console::print("pelk: settings file " + path_ + " cannot be opened: " + outcome.error, Console::Level::Error);
  }
}

SettingsSuite::~SettingsSuite() = default;

void SettingsSuite::failed(const char* what, const std::string& key, const Database::Outcome& outcome) {
  if (outcome.unavailable) {
    Console::print(
        "pelk: settings file " + path_ + " cannot be opened: " + outcome.error + "; " + what + " " + key + " dropped",
        Console::Level::Error);
  } else {
    Console::print(std::string("pelk: settings ") + what + " of " + key + " failed on " + path_ + ": " + outcome.error,
                   Console::Level::Error);
  }
  // Inside a transaction the failure dooms the whole of it.
  if (transactionDepth_ > 0) transactionFailed_ = true;
}

bool SettingsSuite::memoryIsCurrent(std::int64_t* version, std::uint64_t* serial) {
  *serial = db_->connectionSerial();
  auto q = db_->statement(texts().dataVersion);
  *version = q->executeStep() ? q->getColumn(0).getInt64() : 0;
  return memory_ && memory_->connectionSerial == *serial && memory_->dataVersion == *version;
}

void SettingsSuite::refresh() {
  std::uint64_t serial = 0;
  std::int64_t version = 0;
  if (memoryIsCurrent(&version, &serial)) return;
  // Forgotten first: a load that fails half-way must not leave half a memory.
  memory_.reset();
  Memory loaded;
  loaded.dataVersion = version;
  loaded.connectionSerial = serial;
  auto q = db_->statement(texts().selectAll);
  while (q->executeStep()) {
    loaded.entries.emplace(q->getColumn(0).getString(), SettingValue::decode(blobOf(q->getColumn(1))));
  }
  memory_ = std::move(loaded);
}

bool SettingsSuite::current(const char* what, const std::string& key) {
  // A transaction holds the write lock and a block holds its snapshot: what
  // was true at their start is true throughout.
  if ((transactionDepth_ > 0 || readDepth_ > 0) && memory_) return true;
  // The common case, nothing changed, costs one statement: asking the file.
  bool unchanged = false;
  auto outcome = db_->readOne([&](SQLite::Database&) PELK_REQUIRES(mutex_) {
    std::uint64_t serial = 0;
    std::int64_t version = 0;
    unchanged = memoryIsCurrent(&version, &serial);
  });
  // Else the question is asked again in the transaction that loads the
  // entries, so the number kept is the one of the entries loaded.
  if (outcome && !unchanged) outcome = db_->read([&](SQLite::Database&) PELK_REQUIRES(mutex_) { refresh(); });
  if (!outcome || !memory_) {
    memory_.reset();
    failed(what, key, outcome);
    return false;
  }
  return true;
}

std::optional<SettingValue> SettingsSuite::value(const std::string& key) {
  platform::LockGuard lock(mutex_);
  if (const auto it = lazy_.find(key); it != lazy_.end()) return it->second.value;
  if (!current("read", key)) return std::nullopt;
  const auto it = memory_->entries.find(key);
  if (it == memory_->entries.end()) return std::nullopt;
  if (!it->second) undecodable(key);
  return it->second;
}

bool SettingsSuite::contains(const std::string& key) { return value(key).has_value(); }

void SettingsSuite::set(const std::string& key, const SettingValue& v) {
  platform::LockGuard lock(mutex_);
  if (v.depth() > SettingValue::kMaxDepth) {
    Console::print("pelk: settings value of " + key + " is nested too deep to be read back; not saved",
                   Console::Level::Error);
    if (transactionDepth_ > 0) transactionFailed_ = true;
    return;
  }
  if (lazyKeys_.count(key) != 0 && !gExiting.load()) {
    lazy_.insert_or_assign(key, Lazy{v, ++lazyGeneration_});
    if (!lazyWritePosted_) {
      lazyWritePosted_ = true;
      scheduleLazyWrite();
    }
    return;
  }
  lazy_.erase(key);
  const std::string bytes = v.encode();
  // A commit on its own takes the lazy values along; inside a transaction
  // or a block they go with its commit.
  const bool outer = transactionDepth_ == 0 && readDepth_ == 0;
  std::uint64_t written = 0;
  if (!outer) transactionWrote_ = true;
  const auto outcome = db_->write([&](SQLite::Database&) PELK_REQUIRES(mutex_) {
    if (outer) written = writeLazy();
    auto q = db_->statement(texts().upsert);
    q->bind(1, key);
    q->bind(2, static_cast<int>(v.kind()));
    q->bind(3, bytes.data(), static_cast<int>(bytes.size()));
    q->exec();
  });
  if (!outcome) {
    memory_.reset();
    failed("write", key, outcome);
    return;
  }
  if (outer) lazyCommitted(written);
  // Were the memory behind the file (another writer committed since it was
  // loaded), the next read still finds the file changed and loads it whole.
  if (memory_) memory_->entries.insert_or_assign(key, v);
}

std::uint64_t SettingsSuite::writeLazy() {
  for (const auto& [key, lazy] : lazy_) {
    const std::string bytes = lazy.value.encode();
    auto q = db_->statement(texts().upsert);
    q->bind(1, key);
    q->bind(2, static_cast<int>(lazy.value.kind()));
    q->bind(3, bytes.data(), static_cast<int>(bytes.size()));
    q->exec();
  }
  return lazyGeneration_;
}

void SettingsSuite::lazyCommitted(std::uint64_t generation) {
  for (auto it = lazy_.begin(); it != lazy_.end();) {
    if (it->second.generation > generation) {
      ++it;
      continue;
    }
    if (memory_) memory_->entries.insert_or_assign(it->first, std::move(it->second.value));
    it = lazy_.erase(it);
  }
  // The next lazy value waits its full delay from its own set(); a write
  // posted earlier finds nothing to do, or writes early.
  if (lazy_.empty()) lazyWritePosted_ = false;
}

bool SettingsSuite::writeLazyValues() {
  platform::LockGuard lock(mutex_);
  if (lazy_.empty()) return true;
  if (transactionDepth_ > 0 || readDepth_ > 0) return false;
  std::uint64_t written = 0;
  const auto outcome = db_->write([&](SQLite::Database&) PELK_REQUIRES(mutex_) { written = writeLazy(); });
  if (!outcome) {
    memory_.reset();
    failed("write", std::to_string(lazy_.size()) + " values waiting (kept for the next commit)", outcome);
    return false;
  }
  lazyCommitted(written);
  return lazy_.empty();
}

void SettingsSuite::scheduleLazyWrite() {
  // Called with the suite's lock held; the queue's lock is a leaf.
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(writeLazyAtExit); });
  std::weak_ptr<SettingsSuite> weak = weak_from_this();
  Dispatch::global().asyncAfter(lazyDelay_, [weak] {
    auto suite = weak.lock();
    if (!suite) return;
    {
      LockGuard lock(suite->mutex_);
      suite->lazyWritePosted_ = false;
    }
    suite->writeLazyValues();
  });
}

void SettingsSuite::writeLazyAtExit() {
  gExiting.store(true);
  writeEveryLazyValue();
}

void SettingsSuite::writeEveryLazyValue() {
  std::vector<std::shared_ptr<SettingsSuite>> suites;
  {
    LockGuard lock(gRegistryMutex);
    for (const auto& [path, suite] : registry()) suites.push_back(suite);
  }
  for (const auto& suite : suites) suite->writeLazyValues();
}

void SettingsSuite::setLazyKeys(std::set<std::string> keys) {
  platform::LockGuard lock(mutex_);
  lazyKeys_ = std::move(keys);
}

void SettingsSuite::setLazyDelay(Duration delay) {
  platform::LockGuard lock(mutex_);
  lazyDelay_ = delay;
}

void SettingsSuite::remove(const std::string& key) {
  platform::LockGuard lock(mutex_);
  // A lazy value not yet written simply goes.
  lazy_.erase(key);
  // A key the file does not hold leaves nothing to commit.  An entry whose
  // value cannot be decoded is held all the same, and goes.
  if (current("remove", key) && memory_->entries.count(key) == 0) return;
  const bool outer = transactionDepth_ == 0 && readDepth_ == 0;
  std::uint64_t written = 0;
  if (!outer) transactionWrote_ = true;
  const auto outcome = db_->write([&](SQLite::Database&) PELK_REQUIRES(mutex_) {
    if (outer) written = writeLazy();
    auto q = db_->statement(texts().remove);
    q->bind(1, key);
    q->exec();
  });
  if (!outcome) {
    memory_.reset();
    failed("remove", key, outcome);
    return;
  }
  if (outer) lazyCommitted(written);
  if (memory_) memory_->entries.erase(key);
}

std::vector<std::string> SettingsSuite::keys() {
  platform::LockGuard lock(mutex_);
  std::set<std::string> all;
  if (current("listing", "the keys")) {
    for (const auto& entry : memory_->entries) all.insert(entry.first);
  }
  for (const auto& entry : lazy_) all.insert(entry.first);
  return {all.begin(), all.end()};
}

std::map<std::string, SettingValue> SettingsSuite::dictionaryRepresentation() {
  platform::LockGuard lock(mutex_);
  std::map<std::string, SettingValue> out;
  if (current("read", "every entry")) {
    for (const auto& [key, v] : memory_->entries) {
      if (lazy_.count(key) != 0) continue;
      if (v) {
        out.emplace(key, *v);
      } else {
        undecodable(key);
      }
    }
  }
  for (const auto& [key, lazy] : lazy_) out.insert_or_assign(key, lazy.value);
  return out;
}

bool SettingsSuite::synchronize() {
  platform::LockGuard lock(mutex_);
  return db_->open().ok;
}

bool SettingsSuite::transaction(const std::function<void()>& body) {
  platform::LockGuard lock(mutex_);
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
  transactionWrote_ = false;
  // The lazy values are part of what the transaction undoes when it fails.
  auto lazyBefore = lazy_;
  ++transactionDepth_;
  std::exception_ptr thrown;
  std::uint64_t written = 0;
  const auto outcome = db_->write([&](SQLite::Database&) PELK_REQUIRES(mutex_) {
    // With the write lock held nobody else can commit: what the file holds
    // now is what every read in the body answers.
    refresh();
    try {
      body();
    } catch (...) {
      thrown = std::current_exception();
      throw;
    }
    if (transactionFailed_) throw std::runtime_error("an operation inside the transaction failed");
    // A body that wrote only lazy values commits nothing; one that commits
    // takes the lazy values along.
    if (transactionWrote_) written = writeLazy();
  });
  --transactionDepth_;
  transactionFailed_ = false;
  if (outcome && transactionWrote_) lazyCommitted(written);
  transactionWrote_ = false;
  // The body's writes are in the memory already: undone in the file, they
  // must go from the memory too.
  if (!outcome || thrown) {
    memory_.reset();
    lazy_ = std::move(lazyBefore);
  }
  if (thrown) std::rethrow_exception(thrown);
  if (!outcome) {
    Console::print("pelk: settings transaction on " + path_ + " not committed: " + outcome.error,
                   Console::Level::Error);
    return false;
  }
  return true;
}

bool SettingsSuite::readTogether(const std::function<void()>& body) {
  platform::LockGuard lock(mutex_);
  if (transactionDepth_ > 0 || readDepth_ > 0) {
    body();
    return true;
  }
  bool ran = false;
  ++readDepth_;
  std::exception_ptr thrown;
  const auto outcome = db_->read([&](SQLite::Database&) PELK_REQUIRES(mutex_) {
    refresh();
    ran = true;
    try {
      body();
    } catch (...) {
      thrown = std::current_exception();
      throw;
    }
  });
  --readDepth_;
  if (!outcome) memory_.reset();
  if (thrown) std::rethrow_exception(thrown);
  if (!ran) {
    // The file could not be read: each read tries for itself and says so.
    body();
    return false;
  }
  return outcome.ok;
}

}  // namespace pelk::platform
