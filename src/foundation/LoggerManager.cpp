#include "foundation/LoggerManager.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {

using platform::SettingValue;

// The records written to the file but not yet to the settings, oldest first,
// kept within the array's bounds.  Lock order: the log's lock comes after
// every other lock of the kit but the leaves (platform/LockOrder.h): it is
// taken after the settings suite's lock when the records are written, and
// nothing but the file system is touched under it.  It also keeps lines
// whole, a rotation unraced, and the lines and the records in one order.
struct LogState {
  platform::Mutex mutex;
  std::deque<SettingValue> waiting PELK_GUARDED_BY(mutex);
  std::size_t waitingBytes PELK_GUARDED_BY(mutex) = 0;
  // Waiting records were dropped to keep within the bounds: the stored ones
  // are older still, and kept they would leave a gap before the waiting ones.
  bool overflowed PELK_GUARDED_BY(mutex) = false;
  bool flushPosted PELK_GUARDED_BY(mutex) = false;
  // Counts the logout's resets (discardWaiting): records taken out by a flush
  // before one of them belong to the time before it.
  std::uint64_t discards PELK_GUARDED_BY(mutex) = 0;
};

LogState& logState() {
  static auto* state = new LogState();  // lines may still be logged while the process exits
  return *state;
}

// The bytes of text a record holds (a value of another form, left by an older
// build, counts by its stored size).
std::size_t recordBytes(const SettingValue& record) {
  if (const auto* dict = record.get<SettingValue::Dictionary>()) {
    std::size_t bytes = 0;
    for (const auto& [key, value] : *dict) {
      const auto* text = value.get<std::string>();
      bytes += key.size() + (text ? text->size() : value.encode().size());
    }
    return bytes;
  }
  return record.encode().size();
}

// How many of the newest of `records` fit the array's bounds (one at least).
template <class Records>
std::size_t newestThatFit(const Records& records) {
  std::size_t bytes = 0, keep = 0;
  for (auto it = records.rbegin(); it != records.rend() && keep < LoggerManager::kMaxRecords; ++it) {
    const std::size_t next = recordBytes(*it);
    if (keep > 0 && bytes + next > LoggerManager::kMaxRecordBytes) break;
    bytes += next;
    ++keep;
  }
  return keep;
}

// Inside a transaction of `suite`: the stored records (unless `replaceStored`)
// followed by `batch`, cut to the newest that fit.  A value of another form
// under the key is replaced.
void appendRecords(platform::SettingsSuite& suite, const std::deque<SettingValue>& batch, bool replaceStored) {
  std::vector<SettingValue> all;
  if (auto existing = replaceStored ? std::nullopt : suite.value(kSaveLocationServerLogs)) {
    // The copy read is this call's own: its records move on.
    if (auto* list = const_cast<SettingValue::List*>(existing->get<SettingValue::List>())) all = std::move(*list);
  }
  all.insert(all.end(), batch.begin(), batch.end());
  const std::size_t keep = newestThatFit(all);
  SettingValue::List records(std::make_move_iterator(all.end() - static_cast<std::ptrdiff_t>(keep)),
                             std::make_move_iterator(all.end()));
  suite.set(kSaveLocationServerLogs, SettingValue(std::move(records)));
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// With the log's lock held: appends `line` to `file` (moved to `previous`
// when full); a line that cannot be
// written is dropped without disturbing the caller.  The file holds positions
// and replies: it is private to the owner like the kit's other files, and is
// not written at all when it cannot be made so.
void appendLine(const std::string& file, const std::string& previous, const std::string& line) {
  int fd = platform::Paths::openPrivateFile(file, O_WRONLY | O_APPEND);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0 &&
      static_cast<std::uintmax_t>(st.st_size) + line.size() > LoggerManager::kMaxFileBytes) {
    ::close(fd);
    // The full file becomes the previous one; should it not move (something
    // in the way), it is emptied instead, so the log stays within its bound.
    if (std::rename(file.c_str(), previous.c_str()) == 0) {
      fd = platform::Paths::openPrivateFile(file, O_WRONLY | O_APPEND);
    } else {
      fd = platform::Paths::openPrivateFile(file, O_WRONLY | O_APPEND | O_TRUNC);
    }
    if (fd < 0) return;
  }
  writeAll(fd, line);
  ::close(fd);
}

// With the log's lock held: one more record waiting, the oldest dropped when
// the waiting ones pass the array's bounds.
void addWaiting(LogState& state, SettingValue record) PELK_REQUIRES(state.mutex) {
  state.waitingBytes += recordBytes(record);
  state.waiting.push_back(std::move(record));
  while (state.waiting.size() > LoggerManager::kMaxRecords ||
         (state.waitingBytes > LoggerManager::kMaxRecordBytes && state.waiting.size() > 1)) {
    state.waitingBytes -= recordBytes(state.waiting.front());
    state.waiting.pop_front();
    state.overflowed = true;
  }
}

SettingValue makeRecord(const std::string& text) {
  return SettingValue::Dictionary{{"timeStamp", LoggerManager::getCurrentTimeStamp()}, {"response", text}};
}

// The records that wait when the process exits are written then; a line
// logged after that stays in the file only.
void flushAtExit() { LoggerManager::flush(); }

// Writes the waiting records kFlushDelay from now on the shared background
// queue.  Called with no lock of the log held.
void postFlush() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(flushAtExit); });
  platform::Dispatch::global().asyncAfter(LoggerManager::kFlushDelay, [] { LoggerManager::flush(); });
}

}  // namespace

LoggerManager& LoggerManager::sharedInstance() {
  static auto* instance = new LoggerManager();
  return *instance;
}

std::string LoggerManager::fileUrl() { return platform::Paths::caches() + "/Zezovu.log"; }

std::string LoggerManager::previousFileUrl() { return fileUrl() + ".1"; }

std::string LoggerManager::getCurrentTimeStamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(platform::Clock::now());
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) == 0) return "";
  return buf;
}

void LoggerManager::savelocationServerLogs(const std::string& text) {
  {
    auto& state = logState();
    platform::LockGuard lock(state.mutex);
    addWaiting(state, makeRecord(text));
  }
  flush();
}

void LoggerManager::flush() {
  auto& state = logState();
  {
    platform::LockGuard lock(state.mutex);
    if (state.waiting.empty()) return;
  }
  auto suite = SharedUtil::userDefaultValue();
  // The records are taken inside the transaction, so that two writers (the
  // posted one and a caller's) store them in the order they were logged.
  std::deque<SettingValue> batch;
  bool overflowed = false;
  std::uint64_t discards = 0;
  const bool committed = suite->transaction([&] {
    {
      platform::LockGuard lock(state.mutex);
      discards = state.discards;
      batch.swap(state.waiting);
      state.waitingBytes = 0;
      overflowed = std::exchange(state.overflowed, false);
      state.flushPosted = false;
    }
    if (!batch.empty()) appendRecords(*suite, batch, overflowed);
  });
  suite->synchronize();
  if (!committed) {
    // Settings that cannot be written now: the records wait again, before
    // any logged meanwhile (within their bounds), and the next line tries
    // again - unless a logout's reset dropped the waiting records since they
    // were taken: logged before it, they must not come back after it.
    platform::LockGuard lock(state.mutex);
    if (state.discards != discards) {
      state.flushPosted = false;
      return;
    }
    std::deque<SettingValue> newer;
    newer.swap(state.waiting);
    state.waitingBytes = 0;
    state.overflowed = state.overflowed || overflowed;
    for (auto& record : batch) addWaiting(state, std::move(record));
    for (auto& record : newer) addWaiting(state, std::move(record));
    state.flushPosted = false;
  }
}

void LoggerManager::discardWaiting() {
  auto& state = logState();
  platform::LockGuard lock(state.mutex);
  state.waiting.clear();
  state.waitingBytes = 0;
  state.overflowed = false;
  ++state.discards;
}

void LoggerManager::writeLocationToFile(const std::string& text) {
  if (text.empty()) return;
  if (!SharedUtil::getDefaultBoolean(kLoggingEnabled)) return;

  SettingValue record = makeRecord(text);
  const std::string line = getCurrentTimeStamp() + "        " + text + "\n";
  // The paths are worked out before the lock: working them out takes the
  // directories' own locks.
  const std::string file = fileUrl();
  const std::string previous = previousFileUrl();
  auto& state = logState();
  bool post = false;
  {
    platform::LockGuard lock(state.mutex);
    appendLine(file, previous, line);
    addWaiting(state, std::move(record));
    post = !state.flushPosted;
    state.flushPosted = true;
  }
  if (post) postFlush();
}

}  // namespace pelk
