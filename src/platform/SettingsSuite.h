#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/SettingValue.h"

namespace SQLite {
class Database;
}

namespace pelk::platform {

// A named, typed key-value suite kept in one SQLite file, one row per key.
// Every write is committed durably before it returns; reads always go to the
// file, so a value written by another process (or an earlier launch) is seen.
// Safe to use from any thread.
class SettingsSuite {
 public:
  // The one suite object of this name in the process, kept in
  // Paths::preferences()/<name>.settings.
  static std::shared_ptr<SettingsSuite> named(const std::string& name);
  // The suite object for an explicit file.
  static std::shared_ptr<SettingsSuite> atPath(const std::string& path);

  ~SettingsSuite();
  SettingsSuite(const SettingsSuite&) = delete;
  SettingsSuite& operator=(const SettingsSuite&) = delete;

  std::optional<SettingValue> value(const std::string& key);
  bool contains(const std::string& key);
  void set(const std::string& key, const SettingValue& value);
  void remove(const std::string& key);
  std::map<std::string, SettingValue> dictionaryRepresentation();

  // Writes are durable as they happen; kept for callers that flush explicitly.
  bool synchronize();

  // Runs `body` with the suite locked and its reads and writes in one
  // transaction, so a read-modify-write cannot interleave with other writers
  // (threads of this process or other processes).  Answers whether it was
  // committed whole; when the transaction cannot start, or a write inside it
  // fails, nothing of it is kept.
  bool transaction(const std::function<void()>& body);

  const std::string& path() const { return path_; }

 private:
  explicit SettingsSuite(std::string path);
  bool ensureOpen();
  void openOrRecover();
  void closeAfterFailure(const char* what, const std::exception& e);

  const std::string path_;
  std::recursive_mutex mutex_;
  std::unique_ptr<SQLite::Database> db_;
  int transactionDepth_ = 0;
  bool transactionFailed_ = false;
};

}  // namespace pelk::platform
