#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Database.h"
#include "platform/ThreadSafety.h"
#include "platform/SettingValue.h"

namespace pelk::platform {

// A named, typed key-value suite kept in one SQLite file, one row per key.
// Every write is committed durably before it returns, but for the lazy keys
// (below).  Reads are served from
// the decoded entries the suite keeps in memory, yet each one still opens a
// read transaction on the file and asks whether another connection (another
// process, or anything else with the file open) has committed since the
// entries were loaded: if so, or when the connection was opened afresh, they
// are loaded again whole.  So a value written elsewhere is seen by the next
// read, as if every read went to the file.  The suite's own writes update the
// memory once committed; a write or transaction that fails forgets it, and the
// next read loads the file as it is.  Inside transaction() and readTogether()
// the file cannot change under the suite (or the block reads one snapshot), so
// reads there are answered from memory without another trip to the file.
// Write the file through its suite object only (there is one per file in the
// process); a raw connection's writes are seen like another process's.
// Safe to use from any thread.
//
// The file is a Database (see there): private to the owner, moved aside when
// it is damaged - at open or later - or when its table has another shape, and
// opened again when it is deleted or replaced while in use.  A stored value
// that cannot be decoded (damaged, or nested deeper than
// SettingValue::kMaxDepth) reads as absent, with a console line.
//
// Lazy keys.  A key named by setLazyKeys() is written without a commit of its
// own: set() keeps the value in memory, where every read of this process sees
// it at once, and the file gets it with the suite's next commit of any other
// key, within kLazyDelay in any case, or when the process exits (exit() or a
// return from main), whichever comes first; lazy values waiting are written
// together, in one commit.  For values the kit can rebuild or do without and
// writes at every position (counters, caches, log records): the file is not
// committed and synced for each.  A crash or a kill loses at most the last
// kLazyDelay of them; another process sees them that late.  Removing a key is
// always committed at once (a logout's reset does not come back).
class SettingsSuite : public std::enable_shared_from_this<SettingsSuite> {
 public:
  // The longest a lazy value waits for the file, unless set otherwise: at one
  // position every few seconds, one commit for several positions.
  static constexpr Duration kLazyDelay = std::chrono::seconds(30);

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
  // Removing a key the file does not hold commits nothing.
  void remove(const std::string& key);
  // Every stored key, whether or not its value can be decoded.
  std::vector<std::string> keys();
  // The decodable entries.
  std::map<std::string, SettingValue> dictionaryRepresentation();

  // Writes are durable as they happen (lazy keys aside); kept for callers
  // that flush explicitly.  Leaves the lazy values waiting.
  bool synchronize();

  // The keys written lazily (see above); replaces the earlier set.
  void setLazyKeys(std::set<std::string> keys);
  // How long a lazy value may wait (kLazyDelay unless set); counts from the
  // next lazy value set.
  void setLazyDelay(Duration delay);
  // Writes the lazy values waiting now, in one commit; true when none is left
  // waiting.  Inside a transaction or a block it leaves them to wait.
  bool writeLazyValues();
  // writeLazyValues() of every suite of the process.
  static void writeEveryLazyValue();

  // Runs `body` with the suite locked and its reads and writes in one
  // transaction, so a read-modify-write cannot interleave with other writers
  // (threads of this process or other processes).  Answers whether it was
  // committed whole; when the transaction cannot start, or a read or write
  // inside it fails, nothing of it is kept.  Nested calls join the outer one.
  bool transaction(const std::function<void()>& body);

  // Runs `body` with the suite locked and its reads in one read transaction:
  // the file is asked once whether it changed, and every read in the body
  // answers from that one snapshot.  For groups of reads (a write inside
  // joins the block's transaction and commits with it).  When the file cannot
  // be read the body still runs and its reads fail one by one, as they would
  // outside.  Answers whether the block's transaction committed.  Nested calls
  // join the outer block or transaction.
  bool readTogether(const std::function<void()>& body);

  const std::string& path() const { return path_; }

 private:
  explicit SettingsSuite(std::string path);
  void failed(const char* what, const std::string& key, const Database::Outcome& outcome) PELK_REQUIRES(mutex_);
  // Inside a body of db_: whether the memory is what the file holds now
  // (and the file's numbers it was asked by).
  bool memoryIsCurrent(std::int64_t* version, std::uint64_t* serial) PELK_REQUIRES(mutex_);
  // Inside a body of db_: makes the memory what the file holds now.
  void refresh() PELK_REQUIRES(mutex_);
  // Makes sure the memory is true now; false (with a console line) when the
  // file cannot be read.
  bool current(const char* what, const std::string& key) PELK_REQUIRES(mutex_);
  // Inside a body of db_: writes every lazy value waiting; answers the
  // generation written up to.
  std::uint64_t writeLazy() PELK_REQUIRES(mutex_);
  // After a commit that wrote the lazy values up to `generation`: they are
  // the file's now.
  void lazyCommitted(std::uint64_t generation) PELK_REQUIRES(mutex_);
  void scheduleLazyWrite() PELK_REQUIRES(mutex_);
  static void writeLazyAtExit();

  // The entries as last loaded plus the suite's own committed writes; an
  // entry that cannot be decoded is kept as nothing, so that its key still
  // lists.
  struct Memory {
    std::map<std::string, std::optional<SettingValue>> entries;
    std::int64_t dataVersion = 0;
    std::uint64_t connectionSerial = 0;
  };

  const std::string path_;
  const std::shared_ptr<Database> db_;
  // Lock order: after the suite registry, before the file's Database lock and the leaves (platform/LockOrder.h).
  platform::RecursiveMutex mutex_;
  std::optional<Memory> memory_ PELK_GUARDED_BY(mutex_);
  int transactionDepth_ PELK_GUARDED_BY(mutex_) = 0;
  int readDepth_ PELK_GUARDED_BY(mutex_) = 0;
  bool transactionFailed_ PELK_GUARDED_BY(mutex_) = false;
  // The outer transaction has written a key that is not lazy: it commits
  // anyway, and takes the lazy values along.
  bool transactionWrote_ PELK_GUARDED_BY(mutex_) = false;

  struct Lazy {
    SettingValue value;
    std::uint64_t generation = 0;
  };
  std::set<std::string> lazyKeys_ PELK_GUARDED_BY(mutex_);
  // Lazy values not in the file yet, each with the generation of its set().
  std::map<std::string, Lazy> lazy_ PELK_GUARDED_BY(mutex_);
  std::uint64_t lazyGeneration_ PELK_GUARDED_BY(mutex_) = 0;
  Duration lazyDelay_ PELK_GUARDED_BY(mutex_) = kLazyDelay;
  bool lazyWritePosted_ PELK_GUARDED_BY(mutex_) = false;
};

}  // namespace pelk::platform
