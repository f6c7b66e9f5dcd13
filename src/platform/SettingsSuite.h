#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Database.h"
#include "platform/SettingValue.h"

namespace pelk::platform {

// A named, typed key-value suite kept in one SQLite file, one row per key.
// Every write is committed durably before it returns; reads always go to the
// file, so a value written by another process (or an earlier launch) is seen.
// Safe to use from any thread.
//
// The file is a Database (see there): private to the owner, moved aside when
// it is damaged - at open or later - or when its table has another shape, and
// opened again when it is deleted or replaced while in use.  A stored value
// that cannot be decoded (damaged, or nested deeper than
// SettingValue::kMaxDepth) reads as absent, with a console line.
class SettingsSuite {
 public:
  // The one suite object of this name in the process, kept in
  // Paths::preferences()/<name>.settings.  The path is worked out at this call:
  // callers that must keep using one file keep the object.
  static std::shared_ptr<SettingsSuite> named(const std::string& name);
  // The suite object for an explicit file.
  static std::shared_ptr<SettingsSuite> atPath(const std::string& path);

  ~SettingsSuite();
  SettingsSuite(const SettingsSuite&) = delete;
  SettingsSuite& operator=(const SettingsSuite&) = delete;

  std::optional<SettingValue> value(const std::string& key);
  bool contains(const std::string& key);
  // A value nested deeper than SettingValue::kMaxDepth is refused (console
  // line), since it could not be read back.
  void set(const std::string& key, const SettingValue& value);
  void remove(const std::string& key);
  // Every stored key, whether or not its value can be decoded.
  std::vector<std::string> keys();
  // The decodable entries.
  std::map<std::string, SettingValue> dictionaryRepresentation();

  // Writes are durable as they happen; kept for callers that flush explicitly.
  bool synchronize();

  // Runs `body` with the suite locked and its reads and writes in one
  // transaction, so a read-modify-write cannot interleave with other writers
  // (threads of this process or other processes).  Answers whether it was
  // committed whole; when the transaction cannot start, or a read or write
  // inside it fails, nothing of it is kept.  Nested calls join the outer one.
  bool transaction(const std::function<void()>& body);

  const std::string& path() const { return path_; }

 private:
  explicit SettingsSuite(std::string path);
  void failed(const char* what, const std::string& key, const Database::Outcome& outcome);

  const std::string path_;
  const std::shared_ptr<Database> db_;
  std::recursive_mutex mutex_;
  int transactionDepth_ = 0;
  bool transactionFailed_ = false;
};

}  // namespace pelk::platform
